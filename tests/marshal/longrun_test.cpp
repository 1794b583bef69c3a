// One supervisor through many child starts: under a limit of 64 open descriptors it
// serves 300 stream, HLS and movie requests whose streamers end at once, answers
// every one, and holds as many descriptors at the end as after the first starts.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <filesystem>

#include "marshal_world.h"
#include "request_mix.h"
#include "platform/os.h"

namespace {

enum { STARTS = 300, FD_LIMIT = 64 };

int open_descriptors(int pid) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        n++;
    return n;
}

} // namespace

TEST(MarshalLongRun, DescriptorsStayFlatThrough300ChildStartsUnderA64Limit) {
    marshal_world w;
    ASSERT_TRUE(w.install("marshal_quick", "KVT-Marshal"));
    ASSERT_TRUE(write_text_file(w.bin + "/end-at-once", ""));
    ASSERT_TRUE(w.start({}));
    const int pid = w.sup->pid;
    rlimit limit{FD_LIMIT, FD_LIMIT};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);

    int answered = 0, base = -1, most = 0;
    for (int i = 0; i < STARTS; i++) {
        std::string answer = http_exchange(w.port, mixed_request(i), 15000);
        if (answer.compare(0, 25, "HTTP/1.1 200 OK\r\n\r\nchild ") == 0)
            answered++;
        else
            ADD_FAILURE() << "request " << i << " answered '" << answer << "'";
        if (answered != i + 1 && i - answered > 3) break; // the supervisor has given up
        if (i == 29) {
            // The first 30 streamers have ended and been reaped: the reference.
            ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", 30, 10000));
            os_sleep_ms(200);
            base = open_descriptors(pid);
        }
        most = std::max(most, open_descriptors(pid));
    }
    EXPECT_EQ(answered, STARTS);
    ASSERT_TRUE(w.wait_count("KVT-Relay/KVT-Cinema has stopped", STARTS, 15000)) << w.log();
    os_sleep_ms(200);
    const int end = open_descriptors(pid);
    printf("descriptors: %d after 30 starts, %d after %d, at most %d\n", base, end, STARTS, most);
    EXPECT_GT(base, 0);
    EXPECT_LE(end, base) << "descriptors after 30 starts " << base << ", after " << STARTS << ": "
                         << end;
    EXPECT_LT(most, FD_LIMIT);
    EXPECT_TRUE(w.sup->running());
    EXPECT_EQ(w.count("errno = 24"), 0);

    // Every start reached the right streamer with the right mode.
    auto started = w.started();
    ASSERT_EQ(started.size(), size_t(STARTS));
    int relays = 0, hls = 0, movies = 0;
    for (auto &args : started) {
        if (args[0] == "KVT-Cinema") movies++;
        if (args[0] == "KVT-Relay") relays++;
        if (args.back() == "-hls") hls++;
    }
    EXPECT_EQ(movies, STARTS / 4);
    EXPECT_EQ(relays, STARTS - STARTS / 4);
    EXPECT_EQ(hls, STARTS / 2);
}
