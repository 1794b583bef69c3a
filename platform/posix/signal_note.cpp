// Linux: the handler writes one octet into a pipe (write is async-signal-safe) that
// the waiting thread reads.
#include "platform/signal_note.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

static std::atomic<int> noted{0};
static int wake_fds[2] = {-1, -1};
static_assert(std::atomic<int>::is_always_lock_free, "noted from a signal handler");

bool signal_note_init() {
    if (wake_fds[0] >= 0) return true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    fcntl(fds[1], F_SETFL, O_NONBLOCK); // a full pipe already holds a wake-up
    wake_fds[0] = fds[0];
    wake_fds[1] = fds[1];
    return true;
}

void signal_note(int sig) {
    int none = 0;
    noted.compare_exchange_strong(none, sig);
    if (wake_fds[1] >= 0) {
        int saved = errno; // the interrupted code may be about to read errno
        char one = 1;
        (void)!write(wake_fds[1], &one, 1);
        errno = saved;
    }
}

int signal_wait() {
    for (;;) {
        int sig = noted.load();
        if (sig != 0) return sig;
        char c;
        if (wake_fds[0] < 0 || (read(wake_fds[0], &c, 1) < 0 && errno != EINTR)) usleep(50000);
    }
}
