// The run's deadline: a watch that ends the program with exit code 2 when the run
// has not finished in time, whatever it waits for (a resolver, a connect, a server
// that dribbles its answer); and the time left, for waits that can end earlier.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "companions/update/update.h"
#include "companions/update/update_deadline.h"
#include "platform/os.h"
#include "utils/log.h"

namespace {
struct deadline_state {
    std::mutex lock;
    std::condition_variable ended;
    bool stopped = false;
    std::thread watch;
    uint32_t start_ms = 0;
    const char *what = "";
};
deadline_state s_deadline;

void watch_body() {
    deadline_state &d = s_deadline;
    std::unique_lock<std::mutex> hold(d.lock);
    if (d.ended.wait_for(hold, std::chrono::milliseconds(UPDATE_DEADLINE_MS),
                         [&] { return d.stopped; }))
        return;
    // The lock stays held: a run that stops the watch from here on waits for the end.
    log_printf(UPDATE, SEV_E, "%s did not finish within %d s: giving up", d.what,
               UPDATE_DEADLINE_MS / 1000);
    std::fflush(stdout);
    std::_Exit(UPDATE_CHECK_FAILED);
}
} // namespace

bool deadline_start(const char *what) {
    deadline_state &d = s_deadline;
    d.what = what;
    d.start_ms = os_tick_ms();
    try {
        d.watch = std::thread(watch_body);
    } catch (const std::system_error &) { // the one place the run-time library throws
        return false;
    }
    return true;
}

void deadline_stop() {
    deadline_state &d = s_deadline;
    {
        std::lock_guard<std::mutex> hold(d.lock);
        d.stopped = true;
    }
    d.ended.notify_all();
    if (d.watch.joinable()) d.watch.join();
}

int deadline_left_ms() {
    uint32_t spent = os_tick_ms() - s_deadline.start_ms;
    return spent >= uint32_t(UPDATE_DEADLINE_MS) ? 0 : int(UPDATE_DEADLINE_MS - spent);
}
