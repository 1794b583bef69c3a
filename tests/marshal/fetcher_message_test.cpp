// The fetcher's handling of one start message in this process: a socket passed with
// a share record the fetcher cannot use is closed at once, not kept for good.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "fetcher/fetcher.h"
#include "tests/support/test_support.h"

namespace {

void set_text(option_text *t, const std::string &v) {
    t->len = uint8_t(v.size());
    memcpy(t->text, v.c_str(), v.size() + 1);
}

} // namespace

TEST(MarshalFetcher, SocketPassedWithAForeignShareRecordIsClosed) {
    test_world world;
    set_text(&g_fetcher.dir, world.temp_dir());
    set_text(&g_fetcher.source, "/nonexistent/source.ts"); // the writer ends at once
    set_text(&g_fetcher.signal, "/nonexistent/signal.ts");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    fetch_message m;
    memset(&m, 0, sizeof m);
    m.cid = 7;
    m.command = 1;
    memcpy(m.share_info, "JUNK", 4);
    handle_message(&m, FETCH_MESSAGE_SIZE, pair[0]);
    char c;
    EXPECT_EQ(recv(pair[1], &c, 1, MSG_DONTWAIT), 0) << "the passed socket is still open";
    stop_everything();
    close(pair[1]);
}
