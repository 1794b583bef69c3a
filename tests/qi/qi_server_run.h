// The real QI server as a child process of a test.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

// A 40-character stored password and the account the tests use.
inline const char *const QI_TEST_PASSWORD = "5f4dcc3b5aa765d61d8327deb882cf99a1b2c3d4";
inline const unsigned QI_TEST_UID = 42;

struct qi_server_run {
    child_run proc;
    uint16_t port = 0;

    // Starts varnex-qi-server on a free port with the test account and extra options.
    bool start(const test_world &w, const std::string &name, std::vector<std::string> args = {}) {
        port = free_tcp_port();
        args.insert(args.begin(),
                    {"-port=" + std::to_string(port),
                     "-account=" + std::to_string(QI_TEST_UID) + ":" + QI_TEST_PASSWORD});
        if (!proc.start(w, bin_path("varnex-qi-server"), args, name + ".log")) return false;
        return proc.wait_for_log("QI server listening on port", 10000);
    }
    std::string entry() const { return "127.0.0.1:" + std::to_string(port); }
};
