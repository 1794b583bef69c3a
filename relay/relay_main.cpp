// Relay start-up and lifecycle: options and their clamping, the per-CID semaphore,
// signal handling, the choice of mode, the two live threads and the idle loop.
#include "relay/relay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/os.h"
#include "platform/signal_note.h"

static void plain_sleep(unsigned ms) {
    os_sleep_ms(ms);
}

relay_state g_relay = {
    {50, "%SYSTEM-F-GAMEOVER, all your base are belong to us"},
    0,
    0,
    {12, "%TEMP\\vcache"},
    -1,
    7,
    0,
    55,
    0,
    {0},
    {0},
    {-1},
    0,
    ZERO_TAIL_WAIT_MS,
    plain_sleep,
};

option_entry g_relay_options[] = {
    option_def("sid", &g_relay.sid, 255, OPT_TEXT),
    option_def("chunk", &g_relay.chunk, 4, OPT_INT),
    option_def("cid", &g_relay.cid, 4, OPT_INT),
    option_def("dir", &g_relay.dir, 255, OPT_TEXT),
    option_def("trace", &g_trace, 4, OPT_FLAG),
    option_def("chan", &g_relay.chan, 4, OPT_INT),
    option_def("delay", &g_relay.delay, 4, OPT_INT),
    option_def("hls", &g_relay.hls, 4, OPT_FLAG),
    option_def("duration", &g_relay.duration, 4, OPT_INT),
    option_def("hls_list", &g_relay.hls_list, 4, OPT_INT),
    option_entry{},
};

void relay_clamp_options() {
    if (g_relay.delay < 2) g_relay.delay = 2;
    if (g_relay.delay > 17) g_relay.delay = 17;
    if (g_relay.duration == 0)
        g_relay.duration = 55;
    else if (g_relay.duration < 7)
        g_relay.duration = 7;
    else if (g_relay.duration > 67)
        g_relay.duration = 67;
    if (g_relay.hls_list < 0) g_relay.hls_list = 0;
    if (g_relay.hls_list > 0 && g_relay.hls_list < HLS_LIST_MIN) g_relay.hls_list = HLS_LIST_MIN;
    if (g_relay.hls_list > HLS_LIST_MAX) g_relay.hls_list = HLS_LIST_MAX;
}

enum { SEGV_GRACE_MS = 2000 };

// Only notes the signal: the line needs local time and stdio, whose locks the
// interrupted thread may hold, so signal_watch writes it and ends the process.
static void sig_handler(int sig) {
    signal_note(sig);
    if (sig == SIGSEGV) {
        // Returning would fault again at once: wait here for signal_watch, and end
        // the process without the line should it not get through.
        os_sleep_ms(SEGV_GRACE_MS);
        std::_Exit(sig);
    }
}

// Ends the relay at once on a signal, whatever the mode is doing, with the signal
// number as exit code; the orderly stop of the main thread does not run.
static void signal_watch() {
    int sig = signal_wait();
    log_trace_printf(RELAY_TAG, SEV_I, "Get the %d/%x signal, set exit_flag!", RELAY_PROG,
                     "sig_handler", __LINE__, sig, sig);
    g_relay.exit_flag = SEV_I;
    fflush(stdout);
    std::_Exit(sig);
}

void relay_install_signals() {
    static const char op[] = "main";
    static bool watching = false;
    if (!watching) {
        signal_note_init();
        try {
            std::thread(signal_watch).detach();
            watching = true;
        } catch (const std::system_error &e) {
            // Without the watcher a noted signal would end nothing: keep the
            // system's default action, which ends the process.
            log_trace_printf(RELAY_TAG, SEV_E, "Error establishing signal's handler, error = %d",
                             RELAY_PROG, op, __LINE__, e.code().value());
            return;
        }
    }
    static const int signals[] = {SIGTERM, SIGINT, SIGSEGV};
    for (int sig : signals) {
        if (std::signal(sig, sig_handler) == SIG_ERR)
            log_trace_printf(RELAY_TAG, SEV_E, "Error establishing signal's handler, error = %d",
                             RELAY_PROG, op, __LINE__, errno);
    }
}

// A live thread and whether it has returned, so that main waits for it at most 5000 ms.
struct live_thread {
    std::thread thread;
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
};
static live_thread s_scanner, s_streamer;

static void mark_done(live_thread *t) {
    std::lock_guard<std::mutex> guard(t->lock);
    t->done = true;
    t->done_cv.notify_all();
}

static bool start_thread(live_thread *t, void (*body)()) {
    t->done = false;
    try {
        t->thread = std::thread([t, body] {
            body();
            mark_done(t);
        });
    } catch (const std::system_error &e) {
        errno = e.code().value(); // the reason, for the creation message
        return false;
    } catch (...) {
        return false;
    }
    return true;
}

// Joins a thread that ended within timeout_ms; one still running is left to the
// process end together with the wait objects it may use.
static bool finish_thread(live_thread *t, unsigned timeout_ms) {
    if (!t->thread.joinable()) return true;
    bool ended;
    {
        std::unique_lock<std::mutex> guard(t->lock);
        ended = t->done_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                    [t] { return t->done; });
    }
    if (ended)
        t->thread.join();
    else
        t->thread.detach();
    return ended;
}

static void scanner_body() {
    read_stream(g_relay.dir.text);
}
static void streamer_body() {
    send_stream(g_relay.chan);
}

int relay_main(int argc, char **argv) {
    static const char op[] = "main";
    log_trace_printf(RELAY_TAG, SEV_I, "Rev: X.54-03/Win64, Starting ... (built  at %s)",
                     RELAY_PROG, op, __LINE__, g_build_stamp);
    relay_install_signals();
    parse_command_line(argc, argv, g_relay_options);
    relay_clamp_options();
    list_options(g_relay_options);

    char sema_name[64];
    snprintf(sema_name, sizeof sema_name, "Global\\Corvane-TV-CID=%d", g_relay.cid);
    if (named_semaphore_create(sema_name, &g_relay.sema) == NAMED_FAILED)
        return log_trace_printf(RELAY_TAG, SEV_E, "CreateSemaphore(%s), errno = %d", RELAY_PROG, op,
                                __LINE__, sema_name, os_error());
    RLOG(SEV_I, op, "Started, sema = %s/%d", sema_name, (int)g_relay.sema.handle);

    int err = net_startup();
    if (err != 0) return RLOG(SEV_F, op, "WSAStartup(2.2), errno = %d", err);
    g_relay.chan = int32_t(net_adopt_inherited(g_relay.chan));

    if (g_relay.hls) {
        if (g_relay.hls_list && g_relay.chunk != 0) {
            send_exact_chunk(g_relay.dir.text);
        } else if (g_relay.hls_list) {
            send_list_playlist(g_relay.dir.text);
        } else if (g_relay.chunk != 0) {
            send_hls(g_relay.dir.text);
        } else {
            g_relay.hls_time = (int32_t)os_time_seconds();
            send_playlist();
        }
    } else {
        pools_init();
        if (!start_thread(&s_scanner, scanner_body)) {
            net_close(g_relay.chan);
            return RLOG(SEV_F, op, "Creation scanning thread, errno = %d", errno);
        }
        if (!start_thread(&s_streamer, streamer_body)) {
            g_relay.exit_flag = SEV_F;
            net_close(g_relay.chan);
            return RLOG(SEV_F, op, "Creation streaming thread, errno = %d", errno);
        }
        while (g_relay.exit_flag == 0) {
            int32_t v = g_relay.idle_loops.load();
            g_relay.idle_loops = v + 1;
            if (v >= 2 * g_relay.duration) {
                RLOG(SEV_W, op, "Stop main loop at %d idle loop.", v + 1);
                g_relay.exit_flag = SEV_I;
                break;
            }
            // Sleep the period in short steps so that a thread's stop is seen at once.
            for (int slept = 0; slept < IDLE_PERIOD_MS && g_relay.exit_flag == 0; slept += 100)
                g_relay.sleep_ms(100);
        }
        finish_thread(&s_scanner, 5000);
        finish_thread(&s_streamer, 5000);
    }
    net_close(g_relay.chan);
    return RLOG(SEV_I, op, "Stopped, idle_loops (2 * duration) = %d, exit_flag = %d",
                g_relay.idle_loops.load(), g_relay.exit_flag.load());
}
