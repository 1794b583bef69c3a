// The reading thread in-process on real files: the look-ahead rule, the worked read
// pattern near the end of a file, and the 200 ms re-reads over a zero region until
// the fetcher has written it.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "cinema/cinema.h"
#include "tests/cinema/cinema_harness.h"

TEST(CinemaLookahead, RuleOverOneRead) {
    uint8_t data[MOVIE_READ_SIZE];
    int32_t chunk = -1, rest = -1;

    // A full read whose 4096 bytes after the chunk are all zero waits.
    memset(data, 0x11, sizeof data);
    memset(data + 4096, 0, 4096);
    EXPECT_FALSE(lookahead_chunk(data, 8192, &chunk, &rest));
    // One written byte at the very end is enough.
    data[8191] = 1;
    EXPECT_TRUE(lookahead_chunk(data, 8192, &chunk, &rest));
    EXPECT_EQ(chunk, 4096);
    EXPECT_EQ(rest, 4096);
    // Zeros inside the chunk itself do not matter.
    memset(data, 0, 4096);
    EXPECT_TRUE(lookahead_chunk(data, 8192, &chunk, &rest));

    // Short reads (the last 8192 bytes of the file) are queued as read, zeros included.
    memset(data, 0, sizeof data);
    EXPECT_TRUE(lookahead_chunk(data, 5000, &chunk, &rest));
    EXPECT_EQ(chunk, 4096);
    EXPECT_EQ(rest, 904);
    EXPECT_TRUE(lookahead_chunk(data, 904, &chunk, &rest));
    EXPECT_EQ(chunk, 904);
    EXPECT_EQ(rest, 0);
    EXPECT_TRUE(lookahead_chunk(data, 8191, &chunk, &rest));
    EXPECT_EQ(rest, 4095);
}

// Opens path for the reading thread from start, as the main thread does.
static void prepare_read(const std::string &path, int64_t start) {
    cinema_reset_state();
    g_cinema.pid = 1;
    snprintf(g_cinema.path, sizeof g_cinema.path, "%s", path.c_str());
    ASSERT_TRUE(file_open_read(g_cinema.path, &g_cinema.movie));
    uint64_t size = 0;
    ASSERT_TRUE(file_size(&g_cinema.movie, &size));
    g_cinema.size = int64_t(size);
    ASSERT_TRUE(file_seek(&g_cinema.movie, start, FILE_FROM_BEGIN, &g_cinema.start));
    pool_fill(&g_cinema.free_pool, g_movie_buffers, MOVIE_BUFFERS);
}

// Takes every queued buffer: their lengths in order, their bytes appended to data.
static std::vector<int32_t> drain(std::string *data) {
    std::vector<int32_t> lengths;
    while (movie_buffer *b = pool_get(&g_cinema.busy_pool)) {
        lengths.push_back(b->length);
        data->append(reinterpret_cast<const char *>(b->data), size_t(b->length));
        pool_put(&g_cinema.free_pool, b);
    }
    return lengths;
}

TEST(CinemaReader, WorkedExampleFullChunksThenTheTail) {
    test_world world;
    std::string path = world.path("77.avi");
    std::string bytes = movie_bytes(8192 + 5000, 3);
    ASSERT_TRUE(write_movie(path, bytes));

    prepare_read(path, 0);
    read_movie();
    EXPECT_EQ(g_cinema.reader_finished.load(), 1);
    std::string got;
    EXPECT_EQ(drain(&got), (std::vector<int32_t>{4096, 4096, 4096, 904}));
    EXPECT_EQ(got, bytes);
    file_close(&g_cinema.movie);

    // From 8192 only the 5000-byte tail is left: 4096, then 904.
    prepare_read(path, 8192);
    read_movie();
    got.clear();
    EXPECT_EQ(drain(&got), (std::vector<int32_t>{4096, 904}));
    EXPECT_EQ(got, bytes.substr(8192));
    file_close(&g_cinema.movie);
}

TEST(CinemaReader, ZeroRegionIsReadAgainUntilWritten) {
    test_world world;
    std::string path = world.path("78.avi");
    std::string bytes = movie_bytes(20000, 4);
    std::string holey = bytes;
    std::fill(holey.begin() + 8192, holey.begin() + 12288, '\0');
    ASSERT_TRUE(write_movie(path, holey));

    prepare_read(path, 0);
    std::thread reader(read_movie);
    // The chunk before the zero region waits: only the first one is queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(g_cinema.busy_pool.count, 1);
    EXPECT_EQ(g_cinema.reader_finished.load(), 0);

    os_file w;
    ASSERT_TRUE(file_open_write(path.c_str(), &w));
    ASSERT_EQ(file_pwrite(&w, bytes.data() + 8192, 4096, 8192), 4096);
    file_close(&w);
    reader.join();

    std::string got;
    drain(&got);
    EXPECT_EQ(got, bytes);
    file_close(&g_cinema.movie);
}
