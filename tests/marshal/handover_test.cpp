// The supervisor's opt-in options: -hls_list (passed to the live and HLS relays) and
// -handover_ms, a bad value of each, and a hand-over of 0 ms that still hands every
// connection to a child of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "marshal_world.h"

TEST(MarshalOptions, BadValuesAreRefusedAtStartUp) {
    marshal_world w;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"-hls_list=1", "Illegal value 1 in option -hls_list, allowed 0 or 3 to 20"},
        {"-handover_ms=10001", "Illegal value 10001 in option -handover_ms, allowed 0 to 10000"}};
    for (const auto &b : bad) {
        EXPECT_FALSE(w.start({b.first}, b.first.substr(1) + ".log")) << b.first;
        int code = -1;
        ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << b.first;
        EXPECT_EQ(code, 4) << b.first;
        EXPECT_EQ(w.count("%MRSHL-F: " + b.second + "\n"), 1) << w.log();
        EXPECT_EQ(w.count("KVT-Fetcher was started"), 0) << w.log();
    }
}

// Live and HLS requests in a row with no hand-over pause: each is answered by a child
// of its own, and each relay is told the list length.
TEST(MarshalHandover, ZeroPauseHandsEveryConnectionToItsChild) {
    marshal_world w;
    write_text_file(w.bin + "/end-at-once", "");
    ASSERT_TRUE(w.start({"-hls_list=3", "-handover_ms=0"}));
    enum { REQUESTS = 40 };
    std::set<std::string> children;
    for (int i = 0; i < REQUESTS; i++) {
        const std::string kind = i % 4 == 0 ? "hls" : "stream";
        const std::string a = http_exchange(w.port,
                                            "GET /" + kind + "?cid=" + std::to_string(11 + i % 3) +
                                                "&sid=s HTTP/1.1\r\n\r\n",
                                            8000);
        const size_t at = a.find("\r\n\r\nchild ");
        ASSERT_NE(at, std::string::npos) << i << ": '" << a << "'\n" << w.log();
        children.insert(a.substr(at + 4));
    }
    EXPECT_EQ(children.size(), size_t(REQUESTS));
    ASSERT_TRUE(w.wait_started(REQUESTS, 10000));
    size_t hls = 0;
    for (const auto &args : w.started()) {
        EXPECT_NE(std::find(args.begin(), args.end(), "-hls_list=3"), args.end());
        hls += std::find(args.begin(), args.end(), "-hls") != args.end();
    }
    EXPECT_EQ(hls, size_t(REQUESTS / 4));
}
