// Command-line splitting, starting children with one inherited descriptor, exit
// codes, termination, waits on many processes, and the kill-on-close job.
#include "platform/net.h"
#include "platform/os.h"
#include "platform/process.h"
#include "tests/support/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

static std::vector<std::string> split(const char *line, size_t cap = 4096, int max_args = 64) {
    std::vector<char> storage(cap);
    std::vector<char *> argv(static_cast<size_t>(max_args));
    int n = cmdline_split(line, storage.data(), cap, argv.data(), max_args);
    std::vector<std::string> out;
    if (n < 0) {
        out.push_back("<error>");
        return out;
    }
    EXPECT_EQ(argv[size_t(n)], nullptr);
    for (int i = 0; i < n; i++)
        out.push_back(argv[size_t(i)]);
    return out;
}

using words = std::vector<std::string>;

TEST(PlatformProcess, CommandLineSplitByWindowsRules) {
    EXPECT_EQ(split("prog a b"), (words{"prog", "a", "b"}));
    EXPECT_EQ(split("  prog \t a\t\tb   "), (words{"prog", "a", "b"}));
    EXPECT_EQ(split(""), words{});
    EXPECT_EQ(split("   "), words{});
    // The program name: quotes group, backslashes are plain.
    EXPECT_EQ(split("\"C:\\Program Files\\x.exe\" -a"), (words{"C:\\Program Files\\x.exe", "-a"}));
    EXPECT_EQ(split("C:\\dir\\x.exe\\\" b"), (words{"C:\\dir\\x.exe\\ b"}));
    // Arguments: quotes group; backslashes escape only before a quote.
    EXPECT_EQ(split("p \"a b\" c"), (words{"p", "a b", "c"}));
    EXPECT_EQ(split("p a\\\\b c\\"), (words{"p", "a\\\\b", "c\\"}));
    EXPECT_EQ(split("p a\\\"b"), (words{"p", "a\"b"}));
    EXPECT_EQ(split("p a\\\\\\\"b"), (words{"p", "a\\\"b"}));
    EXPECT_EQ(split("p \"a\\\\\"b c"), (words{"p", "a\\b", "c"}));
    EXPECT_EQ(split("p \"\" x"), (words{"p", "", "x"}));
    EXPECT_EQ(split("p \"a\"\"b\""), (words{"p", "a\"b"}));
    EXPECT_EQ(split("p a\"b c\"d e"), (words{"p", "ab cd", "e"}));
    EXPECT_EQ(split("p \"open to the end"), (words{"p", "open to the end"}));
    // A streamer's command line with empty flags leaves only blanks behind.
    EXPECT_EQ(split("KVT-Relay.exe -chan=5 -cid=7 -dir=/c -sid= -chunk=0  "),
              (words{"KVT-Relay.exe", "-chan=5", "-cid=7", "-dir=/c", "-sid=", "-chunk=0"}));
    // Limits: too little storage fails; at most max_args - 1 arguments.
    EXPECT_EQ(split("prog abcdef", 8), words{"<error>"});
    EXPECT_EQ(split("a b c d e", 4096, 3), (words{"a", "b"}));
}

static std::string helper() {
    return bin_path("platform_helper");
}

static bool start(const std::string &line, intptr_t inherit, os_process *p) {
    return proc_start(helper().c_str(), line.c_str(), inherit, p);
}

TEST(PlatformProcess, StartInheritOneDescriptorAndExitCodes) {
    test_world world;
    // A connected socket to hand over, and descriptors that must not cross: a
    // close-on-exec listening socket and a plain descriptor opened without the flag.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    net_sock ls = net_tcp_socket();
    int plain = open("/dev/null", O_RDONLY);
    ASSERT_GE(plain, 0);

    std::string report = world.path("report.txt");
    std::string line = "platform_helper report " + report + " \"two words\" a\\\"b";
    os_process p;
    ASSERT_TRUE(start(line, pair[1], &p));
    EXPECT_GT(p.pid, 0);
    EXPECT_GE(p.handle, 0);
    ASSERT_TRUE(proc_wait(&p, 10000));
    int code = -1;
    ASSERT_TRUE(proc_exit_code(&p, &code));
    EXPECT_EQ(code, 0);
    proc_close(&p);
    EXPECT_EQ(p.handle, -1);
    EXPECT_EQ(read_text_file(report), "argc=5\nargv[0]=<platform_helper>\nargv[1]=<report>\n"
                                      "argv[2]=<" +
                                          report +
                                          ">\nargv[3]=<two words>\nargv[4]=<a\"b>\n"
                                          "fds=0,1,2," +
                                          std::to_string(pair[1]) + "\n");
    // The parent's copy keeps its close-on-exec flag.
    EXPECT_TRUE(fcntl(pair[1], F_GETFD) & FD_CLOEXEC);

    // Nothing inherited at all.
    ASSERT_TRUE(start("platform_helper report " + report, -1, &p));
    ASSERT_TRUE(proc_wait(&p, 10000));
    proc_close(&p);
    EXPECT_NE(read_text_file(report).find("fds=0,1,2\n"), std::string::npos);
    close(plain);
    close(pair[0]);
    close(pair[1]);
    net_close(ls);

    // Exit codes, and the code of a process that still runs.
    for (int want : {0, 3, 4, 255}) {
        ASSERT_TRUE(start("platform_helper exit " + std::to_string(want), -1, &p));
        ASSERT_TRUE(proc_wait(&p, 10000));
        ASSERT_TRUE(proc_exit_code(&p, &code));
        EXPECT_EQ(code, want);
        proc_close(&p);
    }
    ASSERT_TRUE(start("platform_helper sleep 60000", -1, &p));
    ASSERT_TRUE(proc_exit_code(&p, &code));
    EXPECT_EQ(code, 259);
    EXPECT_FALSE(proc_wait(&p, 50));
    ASSERT_TRUE(proc_terminate(&p, 1));
    ASSERT_TRUE(proc_wait(&p, 5000));
    ASSERT_TRUE(proc_exit_code(&p, &code));
    EXPECT_EQ(code, 128 + SIGKILL);
    proc_close(&p);

    // A program that cannot run is reported by proc_start itself, with the child's errno.
    EXPECT_FALSE(proc_start(world.path("missing").c_str(), "missing", -1, &p));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    EXPECT_EQ(p.pid, 0);
    std::string not_exec = world.path("data.txt");
    ASSERT_TRUE(write_text_file(not_exec, "not a program"));
    EXPECT_FALSE(proc_start(not_exec.c_str(), "data", -1, &p));
    EXPECT_EQ(os_error(), EACCES);
    EXPECT_FALSE(start("platform_helper report " + report, 555, &p)); // not a descriptor
    EXPECT_EQ(os_error(), EBADF);
    // An empty command line runs the program with its path as the only argument.
    ASSERT_TRUE(proc_start(helper().c_str(), "", -1, &p));
    ASSERT_TRUE(proc_wait(&p, 10000));
    ASSERT_TRUE(proc_exit_code(&p, &code));
    EXPECT_EQ(code, 1); // the helper's usage failure
    proc_close(&p);
}

TEST(PlatformProcess, ChildOutlivesTheThreadThatStartedIt) {
    test_world world;
    os_process p{};
    bool ok = false;
    std::thread t([&] { ok = start("platform_helper sleep 60000", -1, &p); });
    t.join();
    ASSERT_TRUE(ok);
    // The starting thread is gone; the child must still run.
    EXPECT_FALSE(proc_wait(&p, 300));
    proc_terminate(&p, 1);
    EXPECT_TRUE(proc_wait(&p, 5000));
    proc_close(&p);

    // A detached program leads its own session (and has no parent-death signal).
    ASSERT_TRUE(proc_start_detached(helper().c_str(), "platform_helper sleep 60000", &p));
    int64_t end = test_now_ms() + 5000;
    while (getsid(p.pid) != p.pid && test_now_ms() < end)
        usleep(1000);
    EXPECT_EQ(getsid(p.pid), p.pid);
    std::string status = read_text_file("/proc/" + std::to_string(p.pid) + "/status");
    EXPECT_NE(status.find("platform_helper"), std::string::npos);
    proc_terminate(&p, 1);
    EXPECT_TRUE(proc_wait(&p, 5000));
    proc_close(&p);
}

TEST(PlatformProcess, WaitAnyOfUpTo512) {
    test_world world;
    os_process procs[3];
    ASSERT_TRUE(start("platform_helper sleep 20000", -1, &procs[0]));
    ASSERT_TRUE(start("platform_helper sleep 200", -1, &procs[1]));
    ASSERT_TRUE(start("platform_helper sleep 20000", -1, &procs[2]));
    EXPECT_EQ(proc_wait_any(procs, 3, 20), PROC_WAIT_TIMEOUT);
    EXPECT_EQ(proc_wait_any(procs, 3, 10000), 1);
    // Ended but not reaped: the wait keeps reporting it.
    EXPECT_EQ(proc_wait_any(procs, 3, 0), 1);
    proc_close(&procs[1]);

    // 512 handles: 511 copies of a running child's handle, the last one ends.
    static os_process many[PROC_WAIT_MAX + 1];
    for (unsigned i = 0; i < PROC_WAIT_MAX; i++) {
        many[i].pid = procs[0].pid;
        many[i].handle = fcntl(int(procs[0].handle), F_DUPFD_CLOEXEC, 3);
        ASSERT_GE(many[i].handle, 0);
    }
    close(int(many[PROC_WAIT_MAX - 1].handle));
    ASSERT_TRUE(start("platform_helper sleep 100", -1, &many[PROC_WAIT_MAX - 1]));
    EXPECT_EQ(proc_wait_any(many, PROC_WAIT_MAX, 10000), PROC_WAIT_MAX - 1);
    many[PROC_WAIT_MAX] = procs[2];
    EXPECT_EQ(proc_wait_any(many, PROC_WAIT_MAX + 1, 0), PROC_WAIT_FAILED);
    EXPECT_EQ(proc_wait_any(many, 0, 0), PROC_WAIT_FAILED);
    proc_close(&many[PROC_WAIT_MAX - 1]);
    for (unsigned i = 0; i + 1 < PROC_WAIT_MAX; i++)
        close(int(many[i].handle));
    os_process bad{1, 9999};
    EXPECT_EQ(proc_wait_any(&bad, 1, 0), PROC_WAIT_FAILED);
    os_process closed{0, -1};
    EXPECT_EQ(proc_wait_any(&closed, 1, 0), PROC_WAIT_FAILED);

    proc_terminate(&procs[0], 1);
    proc_terminate(&procs[2], 1);
    EXPECT_EQ(proc_wait_any(&procs[2], 1, 5000), 0);
    proc_close(&procs[0]);
    proc_close(&procs[2]);
}

// True once pid has ended (gone, or a zombie waiting for whoever adopted it).
static bool process_ended(int pid, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    for (;;) {
        std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        if (stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0))
            return true;
        if (test_now_ms() >= end) return false;
        usleep(10000);
    }
}

// True once pid has gone altogether: ended and reaped.
static bool process_gone(int pid, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    while (!read_text_file("/proc/" + std::to_string(pid) + "/stat").empty()) {
        if (test_now_ms() >= end) return false;
        usleep(10000);
    }
    return true;
}

// Closing the handle of a child that has not ended yet leaves no zombie behind:
// one just killed (a failed job assignment does that), or one that ends later.
TEST(PlatformProcess, ClosingBeforeTheEndLeavesNoZombie) {
    test_world world;
    os_process killed, running;
    ASSERT_TRUE(start("platform_helper sleep 60000", -1, &killed));
    ASSERT_TRUE(start("platform_helper sleep 300", -1, &running));
    int killed_pid = killed.pid, running_pid = running.pid;
    ASSERT_TRUE(proc_terminate(&killed, 1));
    proc_close(&killed);
    proc_close(&running);
    EXPECT_EQ(killed.handle, -1);
    EXPECT_TRUE(process_gone(killed_pid, 10000));
    EXPECT_TRUE(process_gone(running_pid, 10000));
}

TEST(PlatformJob, MembersDieOnCloseAndWithTheOwner) {
    test_world world;
    os_job job;
    ASSERT_TRUE(job_create(&job));
    os_process a, b, outside;
    ASSERT_TRUE(start("platform_helper sleep 60000", -1, &a));
    ASSERT_TRUE(start("platform_helper sleep 60000", -1, &b));
    ASSERT_TRUE(start("platform_helper sleep 60000", -1, &outside));
    ASSERT_TRUE(job_assign(&job, &a));
    ASSERT_TRUE(job_assign(&job, &b));
    // Members that have ended are dropped on the next assign: the job's descriptors
    // stay with the running children, however many have run.
    for (int i = 0; i < 40; i++) {
        os_process quick;
        ASSERT_TRUE(start("platform_helper exit 0", -1, &quick));
        ASSERT_TRUE(job_assign(&job, &quick));
        ASSERT_TRUE(proc_wait(&quick, 5000));
        proc_close(&quick);
    }
    EXPECT_EQ(job.count, 3u); // a, b and the last one, dropped at the next assign
    job_close(&job);
    int code = 0;
    ASSERT_TRUE(proc_wait(&a, 5000));
    ASSERT_TRUE(proc_exit_code(&a, &code));
    EXPECT_EQ(code, 128 + SIGKILL);
    ASSERT_TRUE(proc_wait(&b, 5000));
    EXPECT_FALSE(proc_wait(&outside, 100)); // not a member
    proc_terminate(&outside, 1);
    proc_wait(&outside, 5000);
    proc_close(&a);
    proc_close(&b);
    proc_close(&outside);

    // An owner killed with SIGKILL takes its children along.
    child_run owner;
    ASSERT_TRUE(owner.start(world, helper(), {"job"}));
    ASSERT_TRUE(owner.wait_for_log("children ", 10000)) << owner.log();
    std::istringstream in(owner.log().substr(owner.log().find("children ") + 9));
    int pid1 = 0, pid2 = 0;
    in >> pid1 >> pid2;
    ASSERT_GT(pid1, 0);
    ASSERT_GT(pid2, 0);
    EXPECT_FALSE(process_ended(pid1, 0));
    owner.kill_now();
    EXPECT_TRUE(process_ended(pid1, 5000));
    EXPECT_TRUE(process_ended(pid2, 5000));
}
