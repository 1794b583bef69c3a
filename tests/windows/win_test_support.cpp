// The parts of the shared test support (tests/support/test_support.h) that the
// tests run under Wine use, for Windows: temporary worlds, built-program paths,
// text files and loopback TCP clients. Logged child processes are not offered here.
#include "tests/support/test_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <winsock2.h>
#include <windows.h>

int64_t test_now_ms() {
    return int64_t(GetTickCount64());
}

bool make_dirs(const std::string &path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

test_world::test_world() {
    static int serial = 0;
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
