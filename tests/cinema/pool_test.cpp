// The movie streamer's buffer lists: FIFO order, counts, ends and links, and the
// hand-over between two threads as the reading and streaming threads use them.
#include <gtest/gtest.h>

#include <thread>

#include "cinema/cinema.h"

static movie_buffer g_bufs[MOVIE_BUFFERS];

TEST(CinemaPool, FifoOrderCountsAndLinks) {
    buffer_list list;
    EXPECT_EQ(pool_get(&list), nullptr);

    // Each append reports the count before it, so the wake thresholds see 0, 255 ...
    for (int i = 0; i < MOVIE_BUFFERS; i++)
        ASSERT_EQ(pool_put(&list, &g_bufs[i]), i);
    EXPECT_EQ(list.count, MOVIE_BUFFERS);
    EXPECT_EQ(list.oldest, &g_bufs[0]);
    EXPECT_EQ(list.newest, &g_bufs[MOVIE_BUFFERS - 1]);
    EXPECT_EQ(g_bufs[5].older, &g_bufs[4]);
    EXPECT_EQ(g_bufs[5].newer, &g_bufs[6]);

    for (int i = 0; i < MOVIE_BUFFERS; i++) {
        movie_buffer *b = pool_get(&list);
        ASSERT_EQ(b, &g_bufs[i]) << "position " << i;
        EXPECT_EQ(list.count, MOVIE_BUFFERS - 1 - i);
        if (list.count) {
            EXPECT_EQ(list.oldest->older, nullptr);
        }
    }
    EXPECT_EQ(list.oldest, nullptr);
    EXPECT_EQ(list.newest, nullptr);
    EXPECT_EQ(pool_get(&list), nullptr);

    // Interleaved puts and gets keep the order of the puts.
    EXPECT_EQ(pool_put(&list, &g_bufs[7]), 0);
    EXPECT_EQ(pool_put(&list, &g_bufs[3]), 1);
    EXPECT_EQ(pool_get(&list), &g_bufs[7]);
    EXPECT_EQ(pool_put(&list, &g_bufs[9]), 1);
    EXPECT_EQ(pool_get(&list), &g_bufs[3]);
    EXPECT_EQ(pool_get(&list), &g_bufs[9]);
    EXPECT_EQ(pool_get(&list), nullptr);
    EXPECT_EQ(list.count, 0);

    // pool_fill appends in memory order.
    pool_fill(&list, g_bufs, 3);
    EXPECT_EQ(pool_get(&list), &g_bufs[0]);
    EXPECT_EQ(pool_get(&list), &g_bufs[1]);
    EXPECT_EQ(pool_get(&list), &g_bufs[2]);
}

// A producer and a consumer pass 200000 numbered buffers around the two lists, as
// the two threads do; every number arrives once and in order.
TEST(CinemaPool, TwoThreadsHandOverInOrder) {
    buffer_list free_list, busy_list;
    pool_fill(&free_list, g_bufs, MOVIE_BUFFERS);
    const int32_t total = 200000;
    std::thread producer([&] {
        for (int32_t n = 0; n < total;) {
            movie_buffer *b = pool_get(&free_list);
            if (!b) {
                std::this_thread::yield();
                continue;
            }
            b->length = n++;
            ASSERT_GE(pool_put(&busy_list, b), 0);
        }
    });
    int32_t expect = 0;
    while (expect < total) {
        movie_buffer *b = pool_get(&busy_list);
        if (!b) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(b->length, expect);
        expect++;
        ASSERT_GE(pool_put(&free_list, b), 0);
    }
    producer.join();
    EXPECT_EQ(busy_list.count, 0);
    EXPECT_EQ(free_list.count, MOVIE_BUFFERS);
}
