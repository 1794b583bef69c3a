// Test infrastructure shared by every test folder (Linux): a private world of
// folders per test, the built programs next to the test executable, child
// processes with their output in a log file, and small loopback TCP clients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh temporary folder for one test. Sets VARNEX_RUNTIME_DIR, VARNEX_REGISTRY_DIR,
// TEMP and TMP to subfolders of it in this process (children inherit them) and
// removes the whole folder when destroyed.
struct test_world {
    test_world();
    ~test_world();
    test_world(const test_world &) = delete;
    test_world &operator=(const test_world &) = delete;

    const std::string &root() const { return root_; }             // the folder itself
    const std::string &runtime_dir() const { return runtime_; }   // $VARNEX_RUNTIME_DIR
    const std::string &registry_dir() const { return registry_; } // $VARNEX_REGISTRY_DIR
    const std::string &temp_dir() const { return temp_; }         // $TEMP and $TMP
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

  private:
    std::string root_, runtime_, registry_, temp_;
};

// Path of a built program that lies in the same folder as the running test executable.
std::string bin_path(const char *program);

// Whole content of a file ("" when it cannot be read), and writing one (true on success).
std::string read_text_file(const std::string &path);
bool write_text_file(const std::string &path, const std::string &text);
// Runs a shell command with a time limit; returns its exit code and its output
// (stdout and stderr together).
int run_command(const std::string &command, std::string *output);
// A script in the world that runs program in a user namespace of its own whose inotify
// instance limit is 0, so that inotify_init1 fails with EMFILE as it does for a user
// whose instances are all taken. Empty, with the reason in *why, where user namespaces
// are not to be had.
std::string without_inotify(const test_world &world, const std::string &program, std::string *why);
// Creates a folder and its missing parents.
bool make_dirs(const std::string &path);

// One child process. Its stdout and stderr are appended to a log file; stdin is /dev/null.
// The destructor kills (SIGKILL) and reaps the child if it still runs. A child started
// from the main thread also dies when the test process dies (crash, time-out).
struct child_run {
    child_run() = default;
    ~child_run();
    child_run(const child_run &) = delete;
    child_run &operator=(const child_run &) = delete;

    // Starts program with argv[0] = program and then args; false (errno set) when it
    // cannot be executed. The log file is
    // world.path(log_name), or "<program file name>-<n>.log" there when log_name is empty.
    bool start(const test_world &world, const std::string &program,
               const std::vector<std::string> &args, const std::string &log_name = "");
    // Same, with an explicit log file path.
    bool start_logged(const std::string &program, const std::vector<std::string> &args,
                      const std::string &log_path);

    // Waits up to timeout_ms for the child to end; *code gets the exit status, or
    // 128 + the signal number when a signal ended it. False on time-out.
    bool wait_exit(int timeout_ms, int *code = nullptr);
    bool running();       // true while started and not yet reaped
    void kill_now();      // SIGKILL and reap
    bool signal(int sig); // sends a signal, the child keeps running (or not) as it decides

    // Polls the log until it contains text; false after timeout_ms.
    bool wait_for_log(const char *text, int timeout_ms) const;
    std::string log() const;

    int pid = 0;
    int exit_code = -1; // set once reaped
    std::string log_path;
};

// Acting as another local user (root only). spare_uid: a user id that no account
// has, different for each test process. as_user_without_folders: the program and
// arguments for child_run that run program as that user (through env and setpriv)
// with VARNEX_RUNTIME_DIR, VARNEX_REGISTRY_DIR, XDG_RUNTIME_DIR and HOME unset, so
// that the per-user default folder "/tmp/varnex-<uid>" applies.
unsigned spare_uid();
std::string as_user_program();
std::vector<std::string> as_user_without_folders(unsigned uid, const std::string &program,
                                                 const std::vector<std::string> &args);

// Blocking connection to 127.0.0.1:port, close-on-exec; -1 on failure.
int tcp_connect_loopback(uint16_t port);
// Connects, sends request, then reads until the peer closes or timeout_ms passes.
// Returns what was received ("" when the connection failed).
std::string http_exchange(uint16_t port, const std::string &request, int timeout_ms);
// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t free_tcp_port();
// Milliseconds of a monotonic clock.
int64_t test_now_ms();
