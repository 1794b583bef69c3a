// A private installation of the supervisor for one test: its programs copied into
// the test's own folder (the supervisor starts children from its own folder), the
// test child standing in for KVT-Relay and KVT-Cinema, the real KVT-Fetcher, a
// free port, and helpers to read the log and the children's command lines.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/msgpipe.h"
#include "tests/support/test_support.h"

struct marshal_world {
    test_world world;
    std::string bin; // the program folder
    uint16_t port = 0;
    std::unique_ptr<child_run> sup; // the running supervisor (a new one per start)

    marshal_world();
    // Copies a built program into the program folder under a name.
    bool install(const char *built, const char *as);
    // Starts the supervisor with -port and the extra options (ending one started
    // before); waits until it listens (true) or ends.
    bool start(const std::vector<std::string> &extra, const std::string &log_name = "marshal.log");
    // The supervisor's log, its lines ended by "\n" (on Windows as well).
    std::string log() const;
    // The socket number of the latest accepted connection ("sd = N").
    int last_sd() const;
    // Open descriptors of the running supervisor (from /proc).
    int descriptors() const;
    // Number of occurrences of text in the log.
    int count(const std::string &text) const;
    bool wait_count(const std::string &text, int n, int timeout_ms) const;
    // Arguments of every started test child, one list per child, oldest first.
    std::vector<std::vector<std::string>> started() const;
    bool wait_started(size_t n, int timeout_ms) const;
};

// Server end of tray-pipe that collects every notification text.
struct tray_listener {
    explicit tray_listener(bool start_reading = true);
    ~tray_listener();
    std::vector<std::string> texts();
    bool wait_text(const std::string &text, int timeout_ms);
    msg_pipe pipe{-1, -1, {}, -1, 0};
    bool ok = false;

  private:
    void run();
    std::thread reader;
    std::mutex lock;
    std::vector<std::string> got;
    std::atomic<bool> stop{false};
};

// A connection to the supervisor that stays open (a player being served).
struct player_conn {
    int fd = -1;
    bool open(uint16_t port, const std::string &request);
    std::string read_some(int timeout_ms); // what arrives until timeout or close
    // Reads until text has arrived (true), the peer closes or timeout_ms passes.
    bool read_until(const std::string &text, int timeout_ms);
    void close();
    ~player_conn() { close(); }
};
