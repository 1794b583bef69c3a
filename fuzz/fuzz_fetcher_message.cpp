// Fuzz target: dwnldr-pipe messages as the fetcher reads them. The input is a run
// of reads, each a two-octet length (up to the fetcher's 1024-octet read buffer)
// and that many octets; the high bit of the length also passes a real socket with
// the message, as the supervisor passes a QI session. After the run every CID is
// stopped and every passed socket must be closed: none is lost or kept.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fetcher/fetcher.h"
#include "fuzz_temp.h"

namespace {

enum { MAX_READS = 16, READ_BUF = 1024 };

void set_text(option_text *t, const char *v) {
    size_t n = strnlen(v, 255);
    t->len = uint8_t(n);
    memcpy(t->text, v, n);
    t->text[n] = 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The log lines are not wanted, but when a finding is looked at.
    if (!getenv("FUZZ_SHOW_LOG") && !freopen("/dev/null", "w", stdout)) return 0;
    std::string templ = fuzz_temp_folder("fuzz-fetcher-XXXXXX");
    char *root = &templ[0];
    if (!mkdtemp(root)) abort();
    fetcher_state &g = g_fetcher;
    set_text(&g.dir, root);
    // No readable source: each writer ends at once, so a run stays short.
    set_text(&g.source, "/nonexistent/source.ts");
    set_text(&g.signal, "/nonexistent/signal.ts");
    g.chunk_ms = 2000;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int passed_fds[MAX_READS];
    int passed_count = 0;
    size_t at = 0;
    for (int reads = 0; reads < MAX_READS && at + 2 <= size; reads++) {
        unsigned head = unsigned(data[at]) << 8 | data[at + 1];
        at += 2;
        size_t n = (head & 0x7fff) % (READ_BUF + 1);
        if (n > size - at) n = size - at;
        if (n == 0) break; // the pipe's end
        // The fetcher's own steps: the read into a zeroed message, the length as read.
        fetch_message m;
        memset(&m, 0, sizeof m);
        memcpy(&m, data + at, n < sizeof m ? n : sizeof m);
        at += n;
        intptr_t passed = -1;
        if (head & 0x8000) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
            close(pair[1]); // the QI server's end: a session that has ended
            passed = pair[0];
            passed_fds[passed_count++] = pair[0];
        }
        handle_message(&m, long(n), passed);
    }
    stop_everything();
    for (int i = 0; i < passed_count; i++)
        if (fcntl(passed_fds[i], F_GETFD) != -1) abort(); // a passed socket left open
    return 0;
}
