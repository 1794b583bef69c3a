// A small stand-in for the supervisor, for the relay's system tests and benchmark:
// it listens on 127.0.0.1, reads each player's request and starts KVT-Relay with the
// accepted connection inherited at the same descriptor number (-chan), as the
// supervisor does. Linux only.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Starts program with args; the descriptor keep_fd stays open in the child, stdout and
// stderr go to log_path. Returns the child's pid, or -1.
int spawn_with_socket(const std::string &program, const std::vector<std::string> &args, int keep_fd,
                      const std::string &log_path);
// Waits for a child started by spawn_with_socket; *code gets the exit code (128 + signal).
bool wait_child(int pid, int timeout_ms, int *code);

struct relay_gate {
    struct relay_run {
        int pid = 0;
        std::string log_path;
        std::string request_line;
        bool reaped = false;
        int exit_code = -1;
    };

    relay_gate() = default;
    ~relay_gate();
    relay_gate(const relay_gate &) = delete;
    relay_gate &operator=(const relay_gate &) = delete;

    // Listens on a free loopback port and serves requests in a thread. Every relay
    // gets -dir=dir and -delay=2 plus extra_args; its log lands in log_dir/relay-N.log.
    bool start(const std::string &relay_program, const std::string &dir, const std::string &log_dir,
               const std::vector<std::string> &extra_args);
    void stop(); // stops accepting and kills relays that still run

    size_t relay_count();
    relay_run relay(size_t i);
    // Waits until relay i has been started and then until it ends.
    bool wait_relay(size_t i, int timeout_ms, int *code);
    // Waits until relay i exists and its log holds text.
    bool wait_relay_log(size_t i, const char *text, int timeout_ms);

    uint16_t port = 0;

  private:
    void serve();
    int listen_fd_ = -1;
    std::string program_, dir_, log_dir_;
    std::vector<std::string> extra_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<relay_run> runs_;
};
