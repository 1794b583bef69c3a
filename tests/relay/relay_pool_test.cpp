// Buffer pool: queue invariants, the four statuses and the wake-up thresholds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
