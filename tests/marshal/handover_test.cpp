// The supervisor's opt-in options: -hls_list (passed to the live and HLS relays) and
// -handover_ms, their ranges, and a hand-over of 0 ms that still hands every
// connection to a child of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "marshal_world.h"

TEST(MarshalOptions, HlsListAndHandoverRangesAndTheRelayCommandLines) {
    marshal_world w;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"-hls_list=1", "Illegal value 1 in option -hls_list, allowed 0 or 3 to 20"},
        {"-hls_list=21", "Illegal value 21 in option -hls_list, allowed 0 or 3 to 20"},
        {"-handover_ms=-1", "Illegal value -1 in option -handover_ms, allowed 0 to 10000"},
        {"-handover_ms=10001", "Illegal value 10001 in option -handover_ms, allowed 0 to 10000"}};
    for (const auto &b : bad) {
        EXPECT_FALSE(w.start({b.first}, b.first.substr(1) + ".log")) << b.first;
        int code = -1;
        ASSERT_TRUE(w.sup->wait_exit(10000, &code)) << b.first;
        EXPECT_EQ(code, 4) << b.first;
        EXPECT_EQ(w.count("%MRSHL-F: " + b.second + "\n"), 1) << w.log();
        EXPECT_EQ(w.count("KVT-Fetcher was started"), 0) << w.log();
    }
    write_text_file(w.bin + "/end-at-once", "");
    ASSERT_TRUE(w.start({"-hls_list=3", "-handover_ms=0"}));
    http_exchange(w.port, "GET /hls?cid=5&sid=a HTTP/1.1\r\n\r\n", 8000);
    http_exchange(w.port, "GET /stream?cid=5&sid=b HTTP/1.1\r\n\r\n", 8000);
    ASSERT_TRUE(w.wait_started(2, 5000));
    const auto runs = w.started();
    auto has = [](const std::vector<std::string> &args, const std::string &a) {
        return std::find(args.begin(), args.end(), a) != args.end();
    };
    const auto &hls = has(runs[0], "-hls") ? runs[0] : runs[1];
    const auto &live = has(runs[0], "-hls") ? runs[1] : runs[0];
    EXPECT_TRUE(has(hls, "-hls_list=3"));
    EXPECT_TRUE(has(live, "-hls_list=3"));
}

TEST(MarshalHandover, ZeroPauseHandsEveryConnectionToItsChild) {
    marshal_world w;
    write_text_file(w.bin + "/end-at-once", "");
    ASSERT_TRUE(w.start({"-handover_ms=0"}));
    enum { REQUESTS = 40 };
    std::set<std::string> children;
    for (int i = 0; i < REQUESTS; i++) {
        const std::string a = http_exchange(
            w.port, "GET /stream?cid=" + std::to_string(11 + i % 3) + "&sid=s HTTP/1.1\r\n\r\n",
            8000);
        const size_t at = a.find("\r\n\r\nchild ");
        ASSERT_NE(at, std::string::npos) << i << ": '" << a << "'\n" << w.log();
        children.insert(a.substr(at + 4));
    }
    EXPECT_EQ(children.size(), size_t(REQUESTS));
    EXPECT_TRUE(w.wait_started(REQUESTS, 10000));
}
