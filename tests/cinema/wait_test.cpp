// The wait for a movie file that is not there yet, in-process: with a replaced tick
// source the 300000 ms limit passes in a few short slices, across the 32-bit wrap of
// the tick count; with the real clock a file written during the wait is found.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "cinema/cinema.h"
#include "tests/cinema/cinema_harness.h"

static uint32_t g_fake_now;
static int g_fake_reads;
// Every reading of the clock moves it on by 100 s; it starts just before the wrap.
static uint32_t fake_tick() {
    g_fake_reads++;
    uint32_t now = g_fake_now;
    g_fake_now += 100000;
    return now;
}

static void set_text(option_text *t, const std::string &s) {
    t->len = uint8_t(s.size());
    memcpy(t->text, s.data(), s.size());
    t->text[s.size()] = 0;
}

TEST(CinemaWait, GivesUpAfterTheLimitWithStatus2) {
    test_world world;
    std::string cache = world.path("vcache");
    ASSERT_TRUE(make_dirs(cache));
    // Names that do not begin with the CID text do not count, nor those of a longer
    // CID, nor live chunk files.
    ASSERT_TRUE(write_text_file(cache + "/142.avi", "x"));
    ASSERT_TRUE(write_text_file(cache + "/4.avi", "x"));
    ASSERT_TRUE(write_text_file(cache + "/420.avi", "x"));
    ASSERT_TRUE(write_text_file(cache + "/42---7.dat", "x"));
    ASSERT_TRUE(write_text_file(cache + "/42---12.DAT", "x"));

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    cinema_reset_state();
    g_cinema.pid = 4242;
    set_text(&g_cinema.cid, "42");
    set_text(&g_cinema.dir, cache);
    g_cinema.chan = pair[0];
    g_cinema.tick = fake_tick;
    g_cinema.wait_slice_ms = 20;
    g_fake_now = 0xFFFFFFFFu - 150000;
    g_fake_reads = 0;
    log_set_style(LOG_STYLE_CINEMA);

    int32_t status;
    std::string out;
    testing::internal::CaptureStdout();
    status = find_movie();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 2);
    EXPECT_EQ(g_cinema.stop_code.load(), 2);
    // Start of the wait, then checks at +100 s, +200 s, +300 s (not yet over the
    // limit) and +400 s: four slices of waiting.
    EXPECT_EQ(g_fake_reads, 5);
    ASSERT_GE(out.size(), 24u);
    EXPECT_EQ(out.substr(24), "%CINEMA-E:[4242/42] : Waiting files timeout, aborting...\n");

    // The socket was closed: the player sees the end of the connection.
    char c;
    EXPECT_EQ(recv(pair[1], &c, 1, 0), 0);
    close(pair[1]);
}

TEST(CinemaWait, FindsTheFileWrittenDuringTheWait) {
    test_world world;
    std::string cache = world.path("vcache");
    ASSERT_TRUE(make_dirs(cache));
    cinema_reset_state();
    // The real clock, also after a test in this process replaced it.
    g_cinema.tick = os_tick_ms;
    g_cinema.wait_slice_ms = MOVIE_WAIT_SLICE_MS;
    g_cinema.pid = 4243;
    set_text(&g_cinema.cid, "43");
    set_text(&g_cinema.dir, cache);
    g_cinema.chan = -1;

    std::thread fetcher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        write_text_file(cache + "/143.avi", "not this one");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        write_text_file(cache + "/43---2.dat", "a live chunk");
        write_text_file(cache + "/430.avi", "another movie");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        write_text_file(cache + "/43-movie.avi", "this one");
    });
    int64_t begin = test_now_ms();
    int32_t status = find_movie();
    int64_t took = test_now_ms() - begin;
    fetcher.join();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(std::string(g_cinema.path), cache + "/43-movie.avi");
    EXPECT_GE(took, 650); // found through the change, not by an early search
    EXPECT_EQ(g_cinema.stop_code.load(), 0);
}
