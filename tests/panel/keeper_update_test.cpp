// KVT-Keeper and varnex-update as real processes: the keeper restarts a killed
// supervisor and a stop leaves no process behind; -auth checks the account with the
// QI server and stores it; the update check against a file and an HTTP source.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/named_object.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "tests/qi/qi_server_run.h"
#include "tests/support/test_support.h"

namespace {

// Copies the built programs into the test's own program folder.
std::string install_programs(const test_world &w, std::initializer_list<const char *> programs) {
    std::string bin = w.path("bin");
    make_dirs(bin);
    for (const char *p : programs)
        std::filesystem::copy_file(bin_path(p), bin + "/" + p,
                                   std::filesystem::copy_options::overwrite_existing);
    return bin;
}

// Processes whose program lies in folder.
std::vector<int> processes_in(const std::string &folder) {
    std::vector<int> pids;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        int pid = atoi(e->d_name);
        if (pid <= 0) continue;
        char exe[4096];
        ssize_t n =
            readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0) continue;
        exe[n] = 0;
        if (std::string(exe).rfind(folder + "/", 0) == 0) pids.push_back(pid);
    }
    if (d) closedir(d);
    return pids;
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

bool wait_count(const std::string &file, const std::string &what, int n, int ms) {
    for (int64_t end = test_now_ms() + ms; test_now_ms() < end; os_sleep_ms(50))
        if (count_of(read_text_file(file), what) >= n) return true;
    return count_of(read_text_file(file), what) >= n;
}

// The pid in the latest "Started KVT-Marshal, pid N" line.
int marshal_pid(const std::string &log) {
    size_t at = log.rfind("Started KVT-Marshal, pid ");
    return at == std::string::npos ? 0 : atoi(log.c_str() + at + 25);
}

TEST(Keeper, RestartsAKilledSupervisorAndStopLeavesNothingBehind) {
    test_world w;
    std::string bin = install_programs(
        w, {"KVT-Keeper", "KVT-Marshal", "KVT-Fetcher", "KVT-Relay", "KVT-Cinema"});
    std::string log = w.path("keeper.log");
    uint16_t port = free_tcp_port();
    ASSERT_TRUE(write_text_file(bin + "/KVT-Keeper.options",
                                "-marshal_args=-port=" + std::to_string(port) +
                                    " -host=127.0.0.1:1\n-log=" + log + "\n-backoff_ms=300\n"));
    named_object trace;
    ASSERT_EQ(named_mutex_create("Global\\Varnex Trace=ON", &trace), NAMED_CREATED);

    ASSERT_TRUE(service_start("VarnexService", (bin + "/KVT-Keeper").c_str())) << os_error();
    named_object_close(&trace);
    EXPECT_TRUE(service_running("VarnexService"));
    EXPECT_TRUE(named_object_exists("Global\\Varnex KVT-Keeper"));
    EXPECT_FALSE(service_start("VarnexService", (bin + "/KVT-Keeper").c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    ASSERT_TRUE(wait_count(log, "Start listening on", 1, 30000)) << read_text_file(log);
    std::string text = read_text_file(log);
    EXPECT_NE(text.find("tracing on"), std::string::npos);
    EXPECT_NE(text.find(" -trace"), std::string::npos) << "the trace mutex existed at the start";

    // A second keeper finds the instance mutex and ends with 3.
    child_run second;
    ASSERT_TRUE(second.start(w, bin + "/KVT-Keeper", {}, "second.log"));
    int code = -1;
    ASSERT_TRUE(second.wait_exit(10000, &code));
    EXPECT_EQ(code, 3);

    int first = marshal_pid(text);
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(wait_count(log, "Start listening on", 2, 30000)) << read_text_file(log);
    text = read_text_file(log);
    EXPECT_NE(text.find("KVT-Marshal (pid " + std::to_string(first) +
                        ") ended with exit code 137; restarting in 300 ms"),
              std::string::npos)
        << text;
    int again = marshal_pid(text);
    EXPECT_GT(again, 0);
    EXPECT_NE(again, first);
    EXPECT_GE(processes_in(bin).size(), 3u) << "keeper, supervisor and fetcher";

    // A second quick end doubles the pause.
    ASSERT_EQ(kill(again, SIGKILL), 0);
    ASSERT_TRUE(wait_count(log, "Start listening on", 3, 30000)) << read_text_file(log);
    EXPECT_NE(read_text_file(log).find("KVT-Marshal (pid " + std::to_string(again) +
                                       ") ended with exit code 137; restarting in 600 ms"),
              std::string::npos);

    ASSERT_TRUE(service_stop("VarnexService")) << os_error();
    std::vector<int> left = processes_in(bin);
    for (int64_t end = test_now_ms() + 15000; !left.empty() && test_now_ms() < end;
         left = processes_in(bin))
        os_sleep_ms(50);
    EXPECT_TRUE(left.empty()) << left.size() << " processes left; " << read_text_file(log);
    // A host that is no longer listed may still be closing its files, the locked pid
    // file among them.
    for (int64_t end = test_now_ms() + 5000;
         service_running("VarnexService") && test_now_ms() < end;)
        os_sleep_ms(20);
    EXPECT_FALSE(service_running("VarnexService"));
    EXPECT_FALSE(named_object_exists("Global\\Varnex KVT-Keeper"));
    EXPECT_NE(read_text_file(log).find("KVT-Keeper stopped"), std::string::npos);
    EXPECT_FALSE(service_stop("VarnexService"));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
}

// The supervisor's standard output: where its descriptor 1 leads.
std::string stdout_of(int pid) {
    char target[4096];
    ssize_t n =
        readlink(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : "";
}

// The supervisor under a keeper, once it listens on port; 0 when it does not.
int listening_marshal(const std::string &bin, uint16_t port) {
    for (int64_t end = test_now_ms() + 30000; test_now_ms() < end; os_sleep_ms(100)) {
        int s = tcp_connect_loopback(port);
        if (s < 0) continue;
        close(s);
        std::error_code gone; // a process may end while it is looked at
        for (int pid : processes_in(bin))
            if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", gone) ==
                bin + "/KVT-Marshal")
                return pid;
    }
    return 0;
}

// A log file that cannot be opened leaves the keeper's standard output, and the
// supervisor's, where they were; a keeper started without standard output gives
// the supervisor /dev/null, never a file the supervisor opens itself.
TEST(Keeper, StandardOutputSurvivesABadLogAndAClosedDescriptor) {
    test_world w;
    std::string bin = install_programs(w, {"KVT-Keeper", "KVT-Marshal", "KVT-Fetcher"});
    uint16_t port = free_tcp_port();
    const std::string args = "-marshal_args=-port=" + std::to_string(port) + " -host=127.0.0.1:1";
    {
        child_run k;
        ASSERT_TRUE(
            k.start(w, bin + "/KVT-Keeper", {args, "-log=/nonexistent/dir/k.log"}, "out.log"));
        int marshal = listening_marshal(bin, port);
        ASSERT_GT(marshal, 0) << k.log();
        EXPECT_TRUE(k.wait_for_log("Cannot open the log file '/nonexistent/dir/k.log', errno = 2: "
                                   "logging to standard output instead",
                                   5000))
            << k.log();
        EXPECT_TRUE(k.wait_for_log("KVT-Keeper started", 5000)) << k.log();
        EXPECT_EQ(stdout_of(marshal), k.log_path);
        ASSERT_TRUE(k.signal(SIGTERM));
        ASSERT_TRUE(k.wait_exit(15000)) << k.log();
    }
    for (int64_t end = test_now_ms() + 15000; !processes_in(bin).empty() && test_now_ms() < end;)
        os_sleep_ms(50);
    child_run k;
    ASSERT_TRUE(k.start(w, "/bin/sh", {"-c", "exec \"$0\" \"$@\" >&-", bin + "/KVT-Keeper", args},
                        "closed.log"));
    int marshal = listening_marshal(bin, port);
    ASSERT_GT(marshal, 0) << k.log();
    EXPECT_EQ(stdout_of(marshal), "/dev/null");
    ASSERT_TRUE(k.signal(SIGTERM));
    ASSERT_TRUE(k.wait_exit(15000)) << k.log();
}

// A listening TCP socket on a free loopback port; -1 when none could be made.
int loopback_listener(uint16_t *port) {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(ls, 1) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (ls >= 0) close(ls);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return ls;
}

std::string registry_text(const test_world &w) {
    return read_text_file(w.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg");
}

TEST(Update, AuthStoresTheAccountOnlyWhenTheQiServerAccepts) {
    test_world w;
    const std::string typed = "correct horse";
    // printf %s 'correct horse' | sha1sum
    const std::string stored = "2f9e53523b62abc141a2b4d6019d23cba835dbd0";
    qi_server_run qi;
    ASSERT_TRUE(qi.start(w, "qi", {"-account=77:" + stored}));
    const std::string update = bin_path("varnex-update");
    const std::string host = "-host=127.0.0.1:1," + qi.entry(); // first entry refuses

    child_run wrong;
    ASSERT_TRUE(wrong.start(w, update, {"-auth", "-login=77", "-pass=wrong", host}, "wrong.log"));
    int code = -1;
    ASSERT_TRUE(wrong.wait_exit(60000, &code));
    EXPECT_EQ(code % 2, 0) << wrong.log();
    EXPECT_EQ(registry_text(w), "") << "nothing stored after a refusal";

    child_run mail;
    ASSERT_TRUE(mail.start(w, update, {"-auth", "-login=user@example.org", "-pass=" + typed, host},
                           "mail.log"));
    ASSERT_TRUE(mail.wait_exit(60000, &code));
    EXPECT_EQ(code % 2, 0);
    EXPECT_NE(mail.log().find("not a UID"), std::string::npos) << mail.log();

    child_run good;
    ASSERT_TRUE(good.start(w, update, {"-auth", "-login=77", "-pass=" + typed, host}, "good.log"));
    ASSERT_TRUE(good.wait_exit(60000, &code));
    EXPECT_EQ(code % 2, 1) << good.log();
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", false, &k));
    reg_type type;
    uint32_t uid = 0, size = 4;
    ASSERT_TRUE(reg_query(&k, "UserName", &type, &uid, &size));
    EXPECT_EQ(type, REG_T_DWORD);
    EXPECT_EQ(uid, 77u);
    char pw[128] = {};
    size = sizeof pw;
    ASSERT_TRUE(reg_query(&k, "Password", &type, pw, &size));
    EXPECT_EQ(type, REG_T_SZ);
    EXPECT_EQ(std::string(pw), stored);
    reg_close(&k);
    EXPECT_EQ(good.log().find(typed), std::string::npos) << "the typed password is never logged";
}

TEST(Update, CheckAgainstAFileAndAnHttpSource) {
    test_world w;
    const std::string update = bin_path("varnex-update");
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k));
    ASSERT_TRUE(reg_set_string(&k, "Version", "1.10.0"));
    reg_close(&k);
    auto run = [&](const std::string &source) {
        child_run c;
        int code = -1;
        if (!c.start(w, update, {"-source=" + source}) || !c.wait_exit(30000, &code)) return -1;
        return code;
    };
    ASSERT_TRUE(write_text_file(w.path("same.txt"), "  1.10\n"));
    ASSERT_TRUE(write_text_file(w.path("older.txt"), "1.9.7\n"));
    ASSERT_TRUE(write_text_file(w.path("newer.txt"), "1.10.1\r\nnotes\n"));
    EXPECT_EQ(run(w.path("same.txt")), 0);
    EXPECT_EQ(run(w.path("older.txt")), 0);
    EXPECT_EQ(run(w.path("newer.txt")), 1);
    EXPECT_EQ(run(w.path("missing.txt")), 2);

    // One HTTP answer from a loopback listener.
    uint16_t port = 0;
    int ls = loopback_listener(&port);
    ASSERT_GE(ls, 0);
    std::thread server([ls] {
        int c = accept(ls, nullptr, nullptr);
        char buf[1024];
        ssize_t got = read(c, buf, sizeof buf);
        (void)got;
        const char answer[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n2.0\n";
        ssize_t sent = write(c, answer, sizeof answer - 1);
        (void)sent;
        close(c);
    });
    EXPECT_EQ(run("http://127.0.0.1:" + std::to_string(port) + "/latest.txt"), 1);
    server.join();
    close(ls);
}

// A server that sends its answer one octet every 3 s: the update check ends at its
// overall deadline with exit code 2 all the same.
TEST(Update, CheckEndsAtItsDeadlineAgainstADribblingServer) {
    test_world w;
    uint16_t port = 0;
    int ls = loopback_listener(&port);
    ASSERT_GE(ls, 0);
    std::thread server([ls] {
        int c = accept(ls, nullptr, nullptr);
        const char answer[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"
                              "X-Padding: ..................................\r\n\r\n2.0\n";
        char buf[1024];
        // One octet, then 3 s of quiet unless the client leaves; at most 90 s.
        for (size_t i = 0; i < 30 && c >= 0; i++) {
            if (send(c, answer + i, 1, MSG_NOSIGNAL) != 1) break;
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 3000) > 0 && read(c, buf, sizeof buf) <= 0) break;
        }
        if (c >= 0) close(c);
    });
    child_run c;
    ASSERT_TRUE(c.start(w, bin_path("varnex-update"),
                        {"-source=http://127.0.0.1:" + std::to_string(port) + "/v"}));
    int code = -1;
    bool ended = c.wait_exit(60000, &code);
    if (!ended) c.kill_now();
    server.join();
    close(ls);
    ASSERT_TRUE(ended) << c.log();
    EXPECT_EQ(code, 2);
    EXPECT_NE(c.log().find("within 30 s"), std::string::npos) << c.log();
}

} // namespace

namespace {

TEST(Install, LaysOutProgramsIconEntriesAndUnit) {
    test_world w;
    std::string prefix = w.path("prefix");
    std::string cmd = std::string("'") + VARNEX_CMAKE + "' --install '" + VARNEX_BUILD_DIR +
                      "' --prefix '" + prefix + "' > '" + w.path("install.log") + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << read_text_file(w.path("install.log"));
    for (const char *p :
         {"KVT-Keeper", "KVT-Marshal", "KVT-Relay", "KVT-Cinema", "KVT-Fetcher", "varnex-update"})
        EXPECT_EQ(access((prefix + "/bin/" + p).c_str(), X_OK), 0) << p;
    std::string unit = read_text_file(prefix + "/share/systemd/user/VarnexService.service");
    EXPECT_NE(unit.find("ExecStart=" + prefix + "/bin/KVT-Keeper\n"), std::string::npos) << unit;
    if (access(bin_path("KVT-Panel").c_str(), X_OK) == 0) {
        EXPECT_EQ(access((prefix + "/bin/KVT-Panel").c_str(), X_OK), 0);
        EXPECT_EQ(
            access((prefix + "/share/icons/hicolor/scalable/apps/kvt-panel.svg").c_str(), R_OK), 0);
        for (const char *entry : {"/share/applications/kvt-panel.desktop",
                                  "/share/kvt-panel/autostart/kvt-panel.desktop"})
            EXPECT_NE(read_text_file(prefix + entry).find("Exec=" + prefix + "/bin/KVT-Panel\n"),
                      std::string::npos)
                << entry;
    }
}

} // namespace
