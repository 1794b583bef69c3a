// A test player of the relay's tests: sends one request and reads everything until
// the relay closes the connection.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/support/test_support.h"

// A player that reads everything until the relay closes the connection.
struct draining_player {
    int fd = -1;
    std::string got;
    std::mutex lock;
    std::atomic<bool> closed{false};
    std::thread reader;
    bool open(uint16_t port, const std::string &target) {
        fd = tcp_connect_loopback(port);
        if (fd < 0) return false;
        std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != ssize_t(req.size())) return false;
        reader = std::thread([this] {
            char buf[65536];
            for (;;) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                std::lock_guard<std::mutex> hold(lock);
                got.append(buf, size_t(n));
            }
            closed = true;
        });
        return true;
    }
    bool has(const std::string &part, int timeout_ms) {
        for (int64_t end = test_now_ms() + timeout_ms; test_now_ms() < end; usleep(20000)) {
            std::lock_guard<std::mutex> hold(lock);
            if (got.find(part) != std::string::npos) return true;
        }
        return false;
    }
    std::string all() {
        std::lock_guard<std::mutex> hold(lock);
        return got;
    }
    ~draining_player() {
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
        if (reader.joinable()) reader.join();
        if (fd >= 0) close(fd);
    }
};
