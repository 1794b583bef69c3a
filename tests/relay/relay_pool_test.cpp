// Buffer pool: queue invariants, the four statuses, the wake-up thresholds and the
// reuse of data areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "relay/relay.h"

// Walks a pool and checks head, tail, links, owners and count agree.
static void expect_consistent(buffer_pool *pool) {
    int n = 0;
    stream_buffer *prev = nullptr;
    for (stream_buffer *b = pool->head; b; b = b->next) {
        EXPECT_EQ(b->owner, pool);
        EXPECT_EQ(b->previous, prev);
        prev = b;
        n++;
    }
    EXPECT_EQ(pool->tail, prev);
    EXPECT_EQ(pool->count, n);
    if (n == 0) {
        EXPECT_EQ(pool->head, nullptr);
        EXPECT_EQ(pool->tail, nullptr);
    }
}

TEST(RelayPool, InitialisedQueuesAndStatuses) {
    pools_init();
    EXPECT_EQ(g_free_pool.count, 1536);
    EXPECT_EQ(g_busy_pool.count, 0);
    expect_consistent(&g_free_pool);
    expect_consistent(&g_busy_pool);
    EXPECT_EQ(g_free_pool.head, &g_buffers[0]);
    EXPECT_EQ(g_free_pool.tail, &g_buffers[1535]);

    stream_buffer *b = nullptr;
    EXPECT_EQ(pool_take(&g_busy_pool, &b), 0x1582EC);
    EXPECT_EQ(b, nullptr);

    // Taken in array order; a held buffer has no links and no owner.
    stream_buffer *first = nullptr, *second = nullptr;
    ASSERT_EQ(pool_take(&g_free_pool, &first), 1);
    ASSERT_EQ(pool_take(&g_free_pool, &second), 1);
    EXPECT_EQ(first, &g_buffers[0]);
    EXPECT_EQ(second, &g_buffers[1]);
    EXPECT_EQ(first->owner, nullptr);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->previous, nullptr);
    EXPECT_EQ(g_free_pool.head->previous, nullptr);
    EXPECT_EQ(g_free_pool.count, 1534);

    // FIFO through the busy pool.
    int32_t before = -7;
    EXPECT_EQ(pool_put(&g_busy_pool, first, &before), 1);
    EXPECT_EQ(before, 0);
    EXPECT_EQ(pool_put(&g_busy_pool, second, &before), 1);
    EXPECT_EQ(before, 1);
    expect_consistent(&g_busy_pool);

    // Appending to the pool it is in changes nothing; to the other pool is refused.
    EXPECT_EQ(pool_put(&g_busy_pool, first), 1);
    EXPECT_EQ(g_busy_pool.count, 2);
    EXPECT_EQ(pool_put(&g_free_pool, first), 0x2C);
    EXPECT_EQ(first->owner, &g_busy_pool);
    expect_consistent(&g_busy_pool);
    expect_consistent(&g_free_pool);

    stream_buffer *out = nullptr;
    ASSERT_EQ(pool_take(&g_busy_pool, &out), 1);
    EXPECT_EQ(out, first);
    ASSERT_EQ(pool_take(&g_busy_pool, &out), 1);
    EXPECT_EQ(out, second);
    // Taking the only buffer left empties the pool completely.
    EXPECT_EQ(g_busy_pool.count, 0);
    EXPECT_EQ(g_busy_pool.head, nullptr);
    EXPECT_EQ(g_busy_pool.tail, nullptr);
    EXPECT_EQ(pool_take(&g_busy_pool, &out), 0x1582EC);

    EXPECT_EQ(pool_put(&g_free_pool, first), 1);
    EXPECT_EQ(pool_put(&g_free_pool, second), 1);
    EXPECT_EQ(g_free_pool.tail, second);
    expect_consistent(&g_free_pool);

    // A lock held by another thread: the try-lock gives up and the operations report it.
    g_pool_lock_tries = 10000;
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        g_busy_pool.lock.lock();
        held = true;
        while (!release)
            std::this_thread::yield();
        g_busy_pool.lock.unlock();
    });
    while (!held)
        std::this_thread::yield();
    EXPECT_EQ(pool_lock(&g_busy_pool), 0x2C);
    EXPECT_EQ(pool_take(&g_busy_pool, &out), 0x830);
    ASSERT_EQ(pool_take(&g_free_pool, &out), 1);
    EXPECT_EQ(pool_put(&g_busy_pool, out), 0x830);
    EXPECT_EQ(out->owner, nullptr);
    release = true;
    holder.join();
    EXPECT_EQ(pool_put(&g_busy_pool, out), 1);
    expect_consistent(&g_busy_pool);
}

TEST(RelayPool, WakeUpThresholds) {
    pools_init();
    // Data available: the first full block and each quarter of the pool.
    std::vector<uint32_t> data_signals_after;
    for (int i = 0; i < 1536; i++) {
        stream_buffer *b = nullptr;
        ASSERT_EQ(pool_take(&g_free_pool, &b), 1);
        ASSERT_EQ(busy_append_full(b), 1);
        data_signals_after.push_back(g_data_available.signals.load());
    }
    EXPECT_EQ(data_signals_after[0], 1u);   // busy pool was empty
    EXPECT_EQ(data_signals_after[1], 1u);   // the second block wakes nobody
    EXPECT_EQ(data_signals_after[383], 2u); // 384 buffers
    EXPECT_EQ(data_signals_after[767], 3u);
    EXPECT_EQ(data_signals_after[1151], 4u);
    EXPECT_EQ(data_signals_after[1534], 4u);
    EXPECT_EQ(data_signals_after[1535], 5u);
    EXPECT_EQ(g_free_pool.count, 0);

    // Space available: only when the returns bring the free pool to 768, 1152, 1383, 1536.
    std::vector<int> woke_at;
    for (int i = 1; i <= 1536; i++) {
        stream_buffer *b = nullptr;
        ASSERT_EQ(pool_take(&g_busy_pool, &b), 1);
        uint32_t s = g_space_available.signals.load();
        ASSERT_EQ(free_append(b), 1);
        if (g_space_available.signals.load() != s) woke_at.push_back(i);
    }
    EXPECT_EQ(woke_at, (std::vector<int>{768, 1152, 1383, 1536}));
    expect_consistent(&g_free_pool);
    expect_consistent(&g_busy_pool);

    // A reader sleeping on space available wakes on the signal, not only at its limit.
    g_relay.wait_ms = 60000;
    std::atomic<bool> woke{false};
    std::thread reader([&] {
        wake_wait(&g_space_available, nullptr);
        woke = true;
    });
    for (int i = 0; i < 200 && !woke; i++) {
        wake_signal(&g_space_available);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reader.join();
    EXPECT_TRUE(woke);
    g_relay.wait_ms = ZERO_TAIL_WAIT_MS;
}

// Buffer records leave the free pool first in, first out, but each taken record gets
// the data area returned last: the area just sent is the next one filled, so a relay
// whose reader keeps pace touches only the areas of the blocks in flight. Areas are
// never shared between buffers outside the free pool.
TEST(RelayPool, DataAreasReusedLastReturnedFirst) {
    pools_init();
    stream_buffer *a = nullptr, *b = nullptr;
    ASSERT_EQ(pool_take(&g_free_pool, &a), 1);
    ASSERT_EQ(pool_take(&g_free_pool, &b), 1);
    EXPECT_EQ(a, &g_buffers[0]);
    EXPECT_EQ(b, &g_buffers[1]);
    ASSERT_NE(a->data, nullptr);
    EXPECT_EQ(b->data, a->data + BUFFER_DATA); // first handed out in address order
    uint8_t *area_a = a->data, *area_b = b->data;
    memset(area_a, 0xA5, BUFFER_DATA);

    // a through the busy pool and back; the next record taken is g_buffers[2], with a's area.
    ASSERT_EQ(busy_append_full(a), 1);
    stream_buffer *out = nullptr;
    ASSERT_EQ(pool_take(&g_busy_pool, &out), 1);
    ASSERT_EQ(out, a);
    EXPECT_EQ(out->data, area_a); // a busy buffer keeps its data
    EXPECT_EQ(out->data[BUFFER_DATA - 1], 0xA5);
    ASSERT_EQ(free_append(a), 1);
    EXPECT_EQ(a->data, nullptr); // a free buffer has no area of its own
    EXPECT_EQ(g_free_pool.tail, a);
    stream_buffer *c = nullptr;
    ASSERT_EQ(pool_take(&g_free_pool, &c), 1);
    EXPECT_EQ(c, &g_buffers[2]);
    EXPECT_EQ(c->data, area_a);
    ASSERT_EQ(free_append(b), 1);
    ASSERT_EQ(free_append(c), 1);

    // Appending to the pool a buffer is already in, or to the other pool, moves no area.
    EXPECT_EQ(pool_put(&g_free_pool, b), 1);
    EXPECT_EQ(pool_put(&g_busy_pool, b), 0x2C);
    EXPECT_EQ(b->data, nullptr);

    // Every buffer taken out: 1536 distinct areas, each inside the one static data space.
    std::vector<uint8_t *> areas;
    for (int i = 0; i < 1536; i++) {
        stream_buffer *t = nullptr;
        ASSERT_EQ(pool_take(&g_free_pool, &t), 1);
        ASSERT_NE(t->data, nullptr);
        areas.push_back(t->data);
    }
    EXPECT_EQ(pool_take(&g_free_pool, &out), 0x1582EC);
    std::sort(areas.begin(), areas.end());
    for (size_t i = 1; i < areas.size(); i++)
        EXPECT_EQ(areas[i] - areas[i - 1], BUFFER_DATA) << i;
    EXPECT_TRUE(area_b >= areas.front() && area_b <= areas.back());
    expect_consistent(&g_free_pool);
}
