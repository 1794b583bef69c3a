// The parts of the shared test support (tests/support/test_support.h) that the
// tests run under Wine use, for Windows: temporary worlds, built-program paths,
// text files, logged child processes and loopback TCP clients. A child started here
// is in the platform layer's kill-on-close job, so it ends with the test process;
// signals do not exist here (signal() reports failure).
#include "tests/support/test_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/process.h"
#include <winsock2.h>
#include <windows.h>

#include <tlhelp32.h>

int64_t test_now_ms() {
    return int64_t(GetTickCount64());
}

bool make_dirs(const std::string &path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

namespace {

// The settings key of the system: a world starts and ends without it, as a fresh
// registry folder does on Linux. These tests run one at a time in a Wine prefix of
// their own (scripts/test-windows.sh), never against a machine's real settings.
void clear_settings_key() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnex");
}

// Windows Sockets for the helpers below, started once.
void ensure_winsock() {
    static bool started = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    (void)started;
}

} // namespace

test_world::test_world() {
    static int serial = 0;
    clear_settings_key();
    char base[MAX_PATH];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n >= sizeof base) abort();
    root_ = std::string(base) + "varnex-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++serial);
    runtime_ = root_ + "\\run";
    registry_ = root_ + "\\registry";
    temp_ = root_ + "\\temp";
    make_dirs(runtime_);
    make_dirs(registry_);
    make_dirs(temp_);
    SetEnvironmentVariableA("VARNEX_RUNTIME_DIR", runtime_.c_str());
    SetEnvironmentVariableA("VARNEX_REGISTRY_DIR", registry_.c_str());
    SetEnvironmentVariableA("TEMP", temp_.c_str());
    SetEnvironmentVariableA("TMP", temp_.c_str());
}

test_world::~test_world() {
    clear_settings_key();
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

std::string bin_path(const char *program) {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (n == 0 || n >= sizeof exe) return program;
    std::string dir(exe, n);
    size_t slash = dir.rfind('\\');
    if (slash != std::string::npos) dir.resize(slash);
    std::string name = program;
    if (name.find('.') == std::string::npos) name += ".exe";
    return dir + "\\" + name;
}

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool write_text_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out.flush());
}

int tcp_connect_loopback(uint16_t port) {
    ensure_winsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        closesocket(s);
        return -1;
    }
    return int(s);
}

std::string http_exchange(uint16_t port, const std::string &request, int timeout_ms) {
    int fd = tcp_connect_loopback(port);
    if (fd < 0) return "";
    SOCKET s = SOCKET(fd);
    send(s, request.data(), int(request.size()), 0);
    std::string got;
    int64_t end = test_now_ms() + timeout_ms;
    for (;;) {
        int64_t left = end - test_now_ms();
        if (left <= 0) break;
        fd_set r;
        FD_ZERO(&r);
        FD_SET(s, &r);
        timeval tv{long(left / 1000), long(left % 1000) * 1000};
        if (select(0, &r, nullptr, nullptr, &tv) <= 0) break;
        char buf[4096];
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    closesocket(s);
    return got;
}

uint16_t free_tcp_port() {
    ensure_winsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    closesocket(s);
    return port;
}

// ---- child processes

namespace {

std::mutex s_children_lock;
std::map<int, os_process> s_children; // by pid: the handle of each running child

// One argument as the C run-time splits it back: quoted when it holds blanks or
// quotes, with backslashes before a quote doubled.
std::string quote_arg(const std::string &a) {
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            slashes++;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out.push_back(c);
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

bool take_child(int pid, os_process *out) {
    std::lock_guard<std::mutex> hold(s_children_lock);
    auto it = s_children.find(pid);
    if (it == s_children.end()) return false;
    *out = it->second;
    return true;
}

void forget_child(int pid) {
    std::lock_guard<std::mutex> hold(s_children_lock);
    auto it = s_children.find(pid);
    if (it == s_children.end()) return;
    proc_close(&it->second);
    s_children.erase(it);
}

} // namespace

child_run::~child_run() {
    if (running()) kill_now();
}

bool child_run::start(const test_world &world, const std::string &program,
                      const std::vector<std::string> &args, const std::string &log_name) {
    static int serial = 0;
    std::string name = log_name;
    if (name.empty()) {
        size_t slash = program.find_last_of("\\/");
        name = (slash == std::string::npos ? program : program.substr(slash + 1)) + "-" +
               std::to_string(++serial) + ".log";
    }
    return start_logged(program, args, world.path(name));
}

bool child_run::start_logged(const std::string &program, const std::vector<std::string> &args,
                             const std::string &path) {
    if (running()) return false;
    log_path = path;
    exit_code = -1;
    std::string line = quote_arg(program);
    for (const std::string &a : args)
        line += " " + quote_arg(a);
    // The child's standard output and error are the log file, appended to.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return false;
    HANDLE keep_out = GetStdHandle(STD_OUTPUT_HANDLE), keep_err = GetStdHandle(STD_ERROR_HANDLE);
    os_process p{};
    bool ok;
    {
        // proc_start passes this process's standard handles: the log for a moment.
        std::lock_guard<std::mutex> hold(s_children_lock);
        fflush(stdout);
        SetStdHandle(STD_OUTPUT_HANDLE, log);
        SetStdHandle(STD_ERROR_HANDLE, log);
        ok = proc_start(program.c_str(), line.c_str(), -1, &p);
        SetStdHandle(STD_OUTPUT_HANDLE, keep_out);
        SetStdHandle(STD_ERROR_HANDLE, keep_err);
        if (ok) s_children[p.pid] = p;
    }
    CloseHandle(log);
    pid = ok ? p.pid : 0;
    return ok;
}

bool child_run::wait_exit(int timeout_ms, int *code) {
    os_process p;
    if (pid <= 0 || !take_child(pid, &p)) {
        if (code) *code = exit_code;
        return exit_code != -1;
    }
    if (!proc_wait(&p, unsigned(timeout_ms))) return false;
    int c = -1;
    proc_exit_code(&p, &c);
    exit_code = c;
    forget_child(pid);
    pid = 0;
    if (code) *code = exit_code;
    return true;
}

bool child_run::running() {
    if (pid <= 0) return false;
    return !wait_exit(0);
}

// Handles of the processes that pid started (they end with its job).
static std::vector<HANDLE> children_of(int pid) {
    std::vector<HANDLE> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e)) {
        if (e.th32ParentProcessID != DWORD(pid)) continue;
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, e.th32ProcessID);
        if (h) out.push_back(h);
    }
    CloseHandle(snap);
    return out;
}

// Ends the child and waits until the processes it started have ended as well, so
// that the next test finds their pipes and objects gone.
void child_run::kill_now() {
    os_process p;
    if (pid <= 0 || !take_child(pid, &p)) return;
    std::vector<HANDLE> grandchildren = children_of(pid);
    proc_terminate(&p, 137);
    wait_exit(10000);
    for (HANDLE h : grandchildren) {
        WaitForSingleObject(h, 10000);
        CloseHandle(h);
    }
}

bool child_run::signal(int sig) {
    (void)sig;
    return false;
}

bool child_run::wait_for_log(const char *text, int timeout_ms) const {
    int64_t end = test_now_ms() + timeout_ms;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (test_now_ms() >= end) return false;
        Sleep(10);
    }
}

std::string child_run::log() const {
    return read_text_file(log_path);
}
