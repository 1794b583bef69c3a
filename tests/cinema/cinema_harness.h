// What the movie streamer's tests share: movie files with known bytes, a small
// acceptor that stands in for the supervisor (it reads the player's request and
// starts KVT-Cinema with the connection, as the supervisor does), curl runs, and the
// expected answer header.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

// Bytes with no zero byte at all, so no region of them looks unwritten.
std::string movie_bytes(size_t size, uint32_t seed);
bool write_movie(const std::string &path, const std::string &bytes);

// The answer header for size and start, with the build stamp taken from answer (the
// stamp is the compiler's date and time, unknown to the test).
std::string expected_header(const std::string &answer, int64_t size, int64_t start);
std::string expected_refusal(const std::string &answer, int64_t size);

// Listens on 127.0.0.1, accepts up to max_connections players and starts one
// KVT-Cinema per connection with
// "KVT-Cinema -chan=%d -cid=%d -pos=%lld -dir=\"<cache>\"", pos taken from the
// request's "Range: bytes=N-" (0 without).
struct mini_supervisor {
    mini_supervisor(const test_world &world, const std::string &cache_dir, int cid);
    ~mini_supervisor();
    bool start(int max_connections);
    std::string url() const;

    // Waits for the i-th started streamer to end; its exit status in *code.
    bool wait_streamer(size_t i, int timeout_ms, int *code);
    size_t streamers();
    std::string streamer_log(size_t i);
    std::string request(size_t i); // the request text that streamer i got

    uint16_t port = 0;
    std::string program = bin_path("KVT-Cinema"); // what is started for each player

  private:
    void accept_loop(int max_connections);
    const test_world &world_;
    std::string cache_;
    int cid_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<std::unique_ptr<child_run>> children_;
    std::vector<std::string> requests_;
};

// Runs curl for url (with "Range: bytes=<range>" when range is not empty); the
// header and the body land in files of the world. Returns curl's exit status.
struct curl_result {
    int status = -1;
    std::string header;
    std::string body;
};
curl_result run_curl(const test_world &world, const std::string &url, const std::string &range,
                     const std::string &name, int timeout_ms = 60000);

// Lines of a log that contain text.
std::vector<std::string> lines_with(const std::string &log, const std::string &text);
// Whole log lines after their time stamp (the first 24 characters of a cinema line).
std::vector<std::string> log_messages(const std::string &log);
