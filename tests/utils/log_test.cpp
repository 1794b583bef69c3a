#include <gtest/gtest.h>

#include <string>

#include "platform/os.h"
#include "tests/support/stdout_capture.h"
#include "utils/log.h"

namespace {

void fixed_clock(log_clock_reading *t) {
    *t = {4, 7, 2017, 9, 5, 3, 7};
}

std::string stamp_pid() {
    char buf[64];
    snprintf(buf, sizeof buf, "04-07-2017 09:05:03.007 %6d ", os_process_id());
    return buf;
}

struct LogTest : ::testing::Test {
    void SetUp() override {
        log_set_clock(fixed_clock);
        log_set_style(LOG_STYLE_DEFAULT);
    }
    void TearDown() override {
        log_set_clock(nullptr);
        log_set_style(LOG_STYLE_DEFAULT);
    }
};

TEST_F(LogTest, SeverityLinesCarryStampTagAndLevelAndReturnTheSeverity) {
    stdout_capture cap;
    const int32_t sevs[] = {0, 1, 2, 3, 4, 5, -1, 16};
    for (int32_t s : sevs)
        EXPECT_EQ(s, log_printf("MRSHL", s, "value %d", s));
    auto lines = cap.lines();
    ASSERT_EQ(8u, lines.size());
    const char *names[] = {"-W: ", "-S: ", "-E: ", "-I: ", "-F: ", "-?: ", "-?: ", "-?: "};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(stamp_pid() + "%MRSHL" + names[i] + "value " + std::to_string(sevs[i]), lines[i]);
    // The low bit of the returned severity is the caller's success test.
    EXPECT_EQ(0, log_printf("X", SEV_W, "w") & 1);
    EXPECT_EQ(1, log_printf("X", SEV_I, "i") & 1);
}

TEST_F(LogTest, TraceAndCombinedLinesWithAndWithoutProgramTag) {
    stdout_capture cap;
    trace_printf("MRSHL: TCP Socket %d was created", "KVT-MARSH", "create_and_listen", 77u, 5);
    trace_printf("plain %s", nullptr, "send_ans", 12u, "text");
    EXPECT_EQ(2, log_trace_printf("RELAY", 2, "[#%d] CID=%d : oops", "KVT-RELAY", "send_stream",
                                  301u, 9, 1501));
    EXPECT_EQ(16, log_trace_printf("RELAY", 16, "odd", nullptr, "main", 1u));
    auto lines = cap.lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(stamp_pid() + "[KVT-MARSH\\create_and_listen\\77] MRSHL: TCP Socket 5 was created",
              lines[0]);
    EXPECT_EQ(stamp_pid() + "[send_ans\\12] plain text", lines[1]);
    EXPECT_EQ(stamp_pid() + "[KVT-RELAY\\send_stream\\301] %RELAY-E: [#9] CID=1501 : oops",
              lines[2]);
    EXPECT_EQ(stamp_pid() + "[main\\1] %RELAY-?: odd", lines[3]);
}

TEST_F(LogTest, MovieStreamerStyleHasNoProcessIdAndNoBlankAfterLevel) {
    log_set_style(LOG_STYLE_CINEMA);
    stdout_capture cap;
    log_printf("CINEMA", 1, "[%d/%s] : Started, net I/O chan = %d", 42, "7", 5);
    log_printf("CINEMA", 9, "x");
    auto lines = cap.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("04-07-2017 09:05:03.007 %CINEMA-S:[42/7] : Started, net I/O chan = 5", lines[0]);
    EXPECT_EQ("04-07-2017 09:05:03.007 %CINEMA-?:x", lines[1]);
}

TEST_F(LogTest, SuccessLinesWaitForTheNextFlushOthersAreFlushedAtOnce) {
    stdout_capture cap;
    log_printf("MRSHL", SEV_S, "buffered");
    EXPECT_EQ("", cap.unflushed_view());
    log_trace_printf("RELAY", SEV_S, "also buffered", "KVT-RELAY", "main", 3u);
    EXPECT_EQ("", cap.unflushed_view());
    log_printf("MRSHL", SEV_E, "flushes both");
    std::string seen = cap.unflushed_view();
    EXPECT_NE(std::string::npos, seen.find("buffered\n"));
    EXPECT_NE(std::string::npos, seen.find("also buffered\n"));
    EXPECT_NE(std::string::npos, seen.find("flushes both\n"));
    trace_printf("trace", nullptr, "op", 1u);
    EXPECT_NE(std::string::npos, cap.unflushed_view().find("trace\n"));
}

TEST_F(LogTest, OverlongMessageIsCutAndTheLineStillEndsWithNewline) {
    stdout_capture cap;
    std::string big(3000, 'x');
    log_printf("MRSHL", SEV_I, "%s", big.c_str());
    trace_printf("%s", "KVT-MARSH", "main", 1u, big.c_str());
    std::string all = cap.text();
    size_t first = all.find('\n');
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(size_t(LOG_LINE_MAX), first + 1);
    EXPECT_EQ(size_t(2 * LOG_LINE_MAX), all.size());
    EXPECT_EQ('\n', all.back());
}

} // namespace
