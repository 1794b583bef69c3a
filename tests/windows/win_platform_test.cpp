// The Windows platform layer under test, in-process and with windows_helper.exe as
// the child where behaviour crosses processes: error kinds, registry, named
// objects, message pipes, shared files and search, folder watches, processes and
// waits on more than 64 of them, the kill-on-close job, sockets and the two ways a
// socket reaches another process.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/msgpipe.h"
#include "platform/named_object.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/signal_note.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

namespace {

// True when the process with this id has ended (or no longer exists) within ms.
bool pid_ended(int pid, unsigned ms) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!h) return true;
    bool ended = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

std::string unique(const char *base) {
    return std::string(base) + "-" + std::to_string(os_process_id());
}

bool start_helper(const std::string &args, os_process *p, intptr_t inherit = -1) {
    std::string line = "windows_helper.exe " + args;
    return proc_start(bin_path("windows_helper").c_str(), line.c_str(), inherit, p);
}

int exit_code_after(os_process *p, unsigned ms) {
    int code = -1;
    if (!proc_wait(p, ms) || !proc_exit_code(p, &code)) return -1;
    return code;
}

// Reads until the peer closes; "" after 10 s without an end.
std::string read_all(net_sock s) {
    std::string got;
    char buf[256];
    while (net_wait_readable(s, 10000) == 1) {
        long n = net_recv(s, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

struct loopback_listener {
    net_sock s = NET_BAD_SOCK;
    uint16_t port = 0;
    loopback_listener() {
        net_startup();
        s = net_tcp_socket();
        if (net_bind(s, net_parse_ipv4("127.0.0.1"), 0) && net_listen(s, 8))
            net_local_name(s, nullptr, &port);
    }
    ~loopback_listener() { net_close(s); }
};

} // namespace

TEST(WinPlatform, ErrorKindsAndBasics) {
    EXPECT_EQ(os_error_kind_of(2), OS_E_NOT_FOUND);
    EXPECT_EQ(os_error_kind_of(18), OS_E_NOT_FOUND); // no more files
    EXPECT_EQ(os_error_kind_of(183), OS_E_EXISTS);
    EXPECT_EQ(os_error_kind_of(5), OS_E_ACCESS);
    EXPECT_EQ(os_error_kind_of(32), OS_E_SHARING);
    EXPECT_EQ(os_error_kind_of(231), OS_E_BUSY);
    EXPECT_EQ(os_error_kind_of(10054), OS_E_CONN_RESET);
    EXPECT_EQ(os_error_kind_of(997), OS_E_PENDING);
    EXPECT_EQ(os_error_kind_of(258), OS_E_TIMEOUT);
    EXPECT_EQ(os_error_kind_of(3), OS_E_OTHER); // path not found

    char path[OS_PATH_MAX], dir[OS_PATH_MAX];
    ASSERT_TRUE(os_module_path(path, sizeof path));
    ASSERT_TRUE(os_program_dir(dir, sizeof dir));
    EXPECT_NE(strstr(path, "win_platform_tests.exe"), nullptr) << path;
    EXPECT_EQ(std::string(path), std::string(dir) + "\\win_platform_tests.exe");

    test_world w;
    char root[OS_PATH_MAX];
    ASSERT_TRUE(os_temp_root(root, sizeof root));
    EXPECT_EQ(std::string(root), w.temp_dir());
    EXPECT_EQ(std::string(os_runtime_dir()), w.runtime_dir());

    os_local_time t;
    os_local_time_now(&t);
    EXPECT_GE(t.year, 2020u);
    EXPECT_LT(t.millisecond, 1000u);
    uint32_t t0 = os_tick_ms();
    os_sleep_ms(100);
    EXPECT_GE(os_tick_ms() - t0, 50u); // the tick counts in steps of up to 16 ms
}

TEST(WinPlatform, RegistryValues) {
    std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\" + unique("VarnexTest");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + unique("VarnexTest")).c_str());
    reg_key k;
    ASSERT_FALSE(reg_open(key.c_str(), false, &k));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    ASSERT_TRUE(reg_open(key.c_str(), true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 42));
    ASSERT_TRUE(reg_set_string(&k, "CachePath", "C:\\cache \"x\""));
    EXPECT_FALSE(reg_set_string(&k, "Bad", "two\nlines"));

    reg_key r;
    ASSERT_TRUE(reg_open(key.c_str(), false, &r));
    reg_type type;
    uint32_t v = 0, size = sizeof v;
    ASSERT_TRUE(reg_query(&r, "username", &type, &v, &size)); // names ignore case
    EXPECT_EQ(type, REG_T_DWORD);
    EXPECT_EQ(v, 42u);
    char text[64];
    size = sizeof text;
    ASSERT_TRUE(reg_query(&r, "CachePath", &type, text, &size));
    EXPECT_EQ(type, REG_T_SZ);
    EXPECT_STREQ(text, "C:\\cache \"x\"");
    EXPECT_EQ(size, strlen(text) + 1);
    size = 4;
    EXPECT_FALSE(reg_query(&r, "CachePath", &type, text, &size));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_OTHER);
    EXPECT_EQ(size, strlen("C:\\cache \"x\"") + 1);
    size = sizeof text;
    EXPECT_FALSE(reg_query(&r, "Missing", &type, text, &size));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    EXPECT_FALSE(reg_set_dword(&r, "UserName", 1)); // opened for reading
    ASSERT_TRUE(reg_delete_value(&k, "UserName"));
    ASSERT_TRUE(reg_delete_value(&k, "CachePath"));
    EXPECT_FALSE(reg_delete_value(&k, "CachePath"));
    reg_close(&r);
    reg_close(&k);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + unique("VarnexTest")).c_str());
}

TEST(WinPlatform, NamedMutexAndSemaphore) {
    std::string name = "Global\\" + unique("Varnex Test Mutex");
    named_object a, b;
    ASSERT_EQ(named_mutex_create(name.c_str(), &a), NAMED_CREATED);
    EXPECT_EQ(os_error(), 0);
    EXPECT_EQ(named_mutex_create(name.c_str(), &b), NAMED_EXISTS);
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    EXPECT_TRUE(named_object_exists(name.c_str()));
    named_object_close(&a);
    EXPECT_FALSE(named_object_exists(name.c_str()));

    // Held by another process, and free again when that process ends.
    std::string other = unique("Varnex Test Held");
    os_process p;
    ASSERT_TRUE(start_helper("mutex \"" + other + "\"", &p));
    int64_t end = test_now_ms() + 10000;
    while (!named_object_exists(other.c_str()) && test_now_ms() < end)
        os_sleep_ms(20);
    EXPECT_TRUE(named_object_exists(other.c_str()));
    EXPECT_EQ(named_mutex_create(other.c_str(), &b), NAMED_EXISTS);
    ASSERT_TRUE(proc_terminate(&p, 9));
    EXPECT_EQ(exit_code_after(&p, 10000), 9);
    proc_close(&p);
    EXPECT_FALSE(named_object_exists(other.c_str()));

    std::string sema = "Global\\" + unique("Corvane-TV-CID=7");
    named_object s1, s2;
    ASSERT_EQ(named_semaphore_create(sema.c_str(), &s1), NAMED_CREATED);
    ASSERT_EQ(named_semaphore_create(sema.c_str(), &s2), NAMED_EXISTS);
    named_object_close(&s1);
    EXPECT_TRUE(named_object_exists(sema.c_str())); // s2 still holds it
    named_object_close(&s2);
    EXPECT_FALSE(named_object_exists(sema.c_str()));
}

TEST(WinPlatform, MessagePipe) {
    std::string name = unique("test-pipe");
    msg_pipe client;
    ASSERT_FALSE(msgpipe_open(name.c_str(), &client));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);

    msg_pipe server, second;
    ASSERT_TRUE(msgpipe_create(name.c_str(), &server));
    EXPECT_FALSE(msgpipe_create(name.c_str(), &second));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    char path[OS_PATH_MAX];
    msgpipe_path(name.c_str(), path, sizeof path);
    EXPECT_EQ(std::string(path), "\\\\.\\pipe\\" + name);

    EXPECT_FALSE(msgpipe_wait_client(&server, 100));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_TIMEOUT);
    ASSERT_TRUE(msgpipe_open(name.c_str(), &client)); // before the wait: counts as connected
    ASSERT_TRUE(msgpipe_wait_client(&server, 1000));
    msg_pipe third;
    EXPECT_FALSE(msgpipe_open(name.c_str(), &third));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_BUSY);

    // Message boundaries both ways, the size of the next message, a time-out.
    char buf[64];
    EXPECT_EQ(msgpipe_read(&client, buf, sizeof buf, nullptr, 100), 0);
    EXPECT_EQ(msgpipe_peek(&client), 0);
    ASSERT_EQ(msgpipe_write(&server, "first", 5), 5);
    ASSERT_EQ(msgpipe_write(&server, "second message", 14), 14);
    EXPECT_EQ(msgpipe_peek(&client), 5);
    ASSERT_EQ(msgpipe_read(&client, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "first");
    EXPECT_EQ(msgpipe_read(&client, buf, 6), -1); // longer than the buffer: dropped
    ASSERT_EQ(msgpipe_write(&server, "third", 5), 5);
    ASSERT_EQ(msgpipe_read(&client, buf, sizeof buf, nullptr, 1000), 5);
    EXPECT_EQ(std::string(buf, 5), "third");
    ASSERT_EQ(msgpipe_write(&client, "back", 4), 4);
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf), 4);
    EXPECT_EQ(msgpipe_write(&server, "", 0), -1);

    // The client goes: the server sees the end; the next client gets in.
    msgpipe_close(&client);
    EXPECT_EQ(msgpipe_read(&server, buf, sizeof buf), -1);
    msgpipe_disconnect(&server);
    std::thread late([&] {
        os_sleep_ms(100);
        msgpipe_open(name.c_str(), &third);
    });
    EXPECT_TRUE(msgpipe_wait_client(&server, 5000));
    late.join();
    ASSERT_EQ(msgpipe_write(&third, "again", 5), 5);
    ASSERT_EQ(msgpipe_read(&server, buf, sizeof buf, nullptr, 1000), 5);
    msgpipe_close(&server);
    EXPECT_EQ(msgpipe_read(&third, buf, sizeof buf), -1);

    // A client that came and went before the first wait leaves the instance free.
    ASSERT_TRUE(msgpipe_create(name.c_str(), &server));
    ASSERT_TRUE(msgpipe_open(name.c_str(), &client));
    msgpipe_close(&client);
    EXPECT_FALSE(msgpipe_wait_client(&server, 100));
    ASSERT_TRUE(msgpipe_open(name.c_str(), &client)) << os_error();
    EXPECT_TRUE(msgpipe_wait_client(&server, 1000));
    msgpipe_close(&client);
    msgpipe_close(&server);
    msgpipe_close(&third);
}

TEST(WinPlatform, SharedFilesAndSearch) {
    test_world w;
    std::string dir = w.path("cache");
    ASSERT_TRUE(dir_create(dir.c_str()));
    EXPECT_FALSE(dir_create(dir.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    std::string name = dir + "\\7---12.dat";

    os_file writer, reader;
    ASSERT_TRUE(file_open_write(name.c_str(), &writer));
    ASSERT_TRUE(file_set_size(&writer, 1000)); // zero-filled
    ASSERT_EQ(file_pwrite(&writer, "abcd", 4, 10), 4);
    ASSERT_TRUE(file_open_read(name.c_str(), &reader)); // while it is being written
    char buf[16] = {};
    ASSERT_EQ(file_pread(&reader, buf, 6, 8), 6);
    EXPECT_EQ(std::string(buf, 6), std::string("\0\0abcd", 6));
    int64_t pos = -1;
    ASSERT_TRUE(file_seek(&reader, 0, FILE_FROM_CURRENT, &pos));
    EXPECT_EQ(pos, 0); // positioned reads leave the position alone
    uint64_t size = 0;
    ASSERT_TRUE(file_size(&reader, &size));
    EXPECT_EQ(size, 1000u);
    ASSERT_TRUE(file_seek(&reader, -2, FILE_FROM_END, &pos));
    EXPECT_EQ(file_read(&reader, buf, sizeof buf), 2);
    EXPECT_EQ(file_read(&reader, buf, sizeof buf), 0);

    // The open of a file read on a thread that must not wait: a disk file only.
    os_file regular;
    ASSERT_TRUE(file_open_regular(name.c_str(), &regular));
    EXPECT_EQ(file_read(&regular, buf, 4), 4);
    file_close(&regular);
    EXPECT_FALSE(file_open_regular(dir.c_str(), &regular)); // a folder
    EXPECT_FALSE(file_open_regular("NUL", &regular));       // a device
    EXPECT_EQ(os_error(), int(FILE_NOT_REGULAR));

    // In use: delete is refused as the sharing violation.
    EXPECT_FALSE(file_delete(name.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_SHARING);
    file_close(&reader);
    EXPECT_FALSE(file_delete(name.c_str()));
    file_close(&writer);

    ASSERT_TRUE(write_text_file(dir + "\\7---13.dat", "x"));
    ASSERT_TRUE(write_text_file(dir + "\\8---1.dat", "y"));
    dir_search s;
    dir_entry e;
    std::vector<std::string> seen;
    ASSERT_TRUE(dir_search_first((dir + "\\7---*.dat").c_str(), &s, &e));
    do {
        seen.push_back(e.name);
        EXPECT_FALSE(e.is_dir);
        EXPECT_GT(e.last_write_ns, int64_t(1500000000) * 1000000000);
    } while (dir_search_next(&s, &e));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    dir_search_close(&s);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"7---12.dat", "7---13.dat"}));
    EXPECT_FALSE(dir_search_first((dir + "\\9---*.dat").c_str(), &s, &e));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    EXPECT_FALSE(dir_search_first((dir + "\\missing\\*").c_str(), &s, &e));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_OTHER);
    EXPECT_TRUE(wildcard_match("7---12.dat", "7---*.dat"));
    EXPECT_TRUE(file_delete(name.c_str()));
    EXPECT_FALSE(file_delete(name.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
}

TEST(WinPlatform, FolderWatchAndNotification) {
    test_world w;
    std::string dir = w.path("watched");
    ASSERT_TRUE(make_dirs(dir));
    dir_watch watch, note;
    ASSERT_TRUE(dirwatch_open(dir.c_str(), 4096, &watch));
    ASSERT_TRUE(dirnotify_open(dir.c_str(), &note));
    dirwatch_record recs[DIRWATCH_MAX_RECORDS];
    bool signalled = true;
    EXPECT_EQ(dirwatch_read(&watch, 100, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);
    EXPECT_FALSE(signalled);
    EXPECT_EQ(dirnotify_wait(&note, 100), 0);

    os_file f;
    ASSERT_TRUE(file_open_write((dir + "\\5---1.dat").c_str(), &f));
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(file_write(&f, "data", 4), 4);
        os_sleep_ms(20);
    }
    // Records may come in more than one read; all name the one file.
    int64_t end = test_now_ms() + 5000;
    int records = 0;
    while (records == 0 && test_now_ms() < end) {
        int n = dirwatch_read(&watch, 1000, recs, DIRWATCH_MAX_RECORDS, &signalled);
        ASSERT_GE(n, 0);
        for (int i = 0; i < n; i++) {
            EXPECT_EQ(recs[i].action, DIRWATCH_ACTION_MODIFIED);
            EXPECT_STREQ(recs[i].name, "5---1.dat");
        }
        records += n;
    }
    EXPECT_GE(records, 1);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(dirnotify_wait(&note, 2000), 1);
    file_close(&f);
    dirwatch_close(&watch);
    dirnotify_close(&note);
}

// The look that stands in for a change watch the system does not give: the same
// folder search on this face.
TEST(WinPlatform, FolderWatchByLooking) {
    test_world w;
    std::string dir = w.path("looked");
    ASSERT_TRUE(make_dirs(dir));
    ASSERT_TRUE(write_text_file(dir + "\\5---1.dat", "before"));
    static dir_poll poll;
    ASSERT_TRUE(dirpoll_open(dir.c_str(), "5---*.dat", 50, &poll));
    dirwatch_record recs[DIRWATCH_MAX_RECORDS];
    bool signalled = true;
    EXPECT_EQ(dirpoll_read(&poll, 120, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);
    EXPECT_FALSE(signalled);
    ASSERT_TRUE(write_text_file(dir + "\\5---2.dat", "two"));
    ASSERT_TRUE(write_text_file(dir + "\\6---1.dat", "other"));
    EXPECT_EQ(dirpoll_read(&poll, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled), 1);
    EXPECT_TRUE(signalled);
    EXPECT_STREQ(recs[0].name, "5---2.dat");
    EXPECT_FALSE(dirpoll_open(w.path("missing").c_str(), "5---*.dat", 50, &poll));
    EXPECT_TRUE(dirwatch_unavailable(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_FALSE(dirwatch_unavailable(ERROR_PATH_NOT_FOUND));
}

TEST(WinPlatform, ProcessesExitCodesAndWaitsOnMoreThan64) {
    os_process p;
    ASSERT_FALSE(proc_start(bin_path("no-such-program").c_str(), "x", -1, &p));
    ASSERT_TRUE(start_helper("exit 7", &p));
    EXPECT_GT(p.pid, 0);
    EXPECT_EQ(exit_code_after(&p, 20000), 7);
    proc_close(&p);

    // 70 sleepers and one that ends at once, last in the list.
    std::vector<os_process> procs(71);
    for (size_t i = 0; i + 1 < procs.size(); i++)
        ASSERT_TRUE(start_helper("sleep 60000", &procs[i])) << i;
    EXPECT_EQ(proc_wait_any(procs.data(), 70, 200), PROC_WAIT_TIMEOUT);
    int code = 0;
    ASSERT_TRUE(proc_exit_code(&procs[0], &code));
    EXPECT_EQ(code, 259); // still active
    ASSERT_TRUE(start_helper("exit 3", &procs[70]));
    EXPECT_EQ(proc_wait_any(procs.data(), 71, 60000), 70);
    EXPECT_EQ(proc_wait_any(procs.data(), PROC_WAIT_MAX + 1, 0), PROC_WAIT_FAILED);
    ASSERT_TRUE(proc_terminate(&procs[65], 5));
    EXPECT_EQ(proc_wait_any(procs.data(), 70, 20000), 65);
    for (os_process &q : procs) {
        proc_terminate(&q, 1);
        proc_wait(&q, 10000);
        proc_close(&q);
    }
}

TEST(WinPlatform, JobEndsItsMembersWithItsOwner) {
    test_world w;
    std::string file = w.path("pids.txt");
    os_process owner;
    ASSERT_TRUE(start_helper("job \"" + file + "\"", &owner));
    int64_t end = test_now_ms() + 20000;
    int a = 0, b = 0;
    while (sscanf(read_text_file(file).c_str(), "%d %d", &a, &b) != 2 && test_now_ms() < end)
        os_sleep_ms(50);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_FALSE(pid_ended(a, 100));
    ASSERT_TRUE(proc_terminate(&owner, 1)); // the job handle closes with its owner
    proc_wait(&owner, 10000);
    proc_close(&owner);
    EXPECT_TRUE(pid_ended(a, 10000));
    EXPECT_TRUE(pid_ended(b, 10000));
    // Closing the job ends a member at once.
    os_job mine;
    ASSERT_TRUE(job_create(&mine));
    os_process member;
    ASSERT_TRUE(start_helper("sleep 60000", &member));
    ASSERT_TRUE(job_assign(&mine, &member));
    EXPECT_FALSE(proc_wait(&member, 200));
    // A detached program is in no job of ours: it outlives the job's end.
    os_process detached;
    ASSERT_TRUE(proc_start_detached(bin_path("windows_helper").c_str(),
                                    "windows_helper.exe sleep 60000", &detached));
    job_close(&mine);
    EXPECT_TRUE(proc_wait(&member, 10000));
    proc_close(&member);
    EXPECT_FALSE(proc_wait(&detached, 300));
    proc_terminate(&detached, 1);
    EXPECT_TRUE(proc_wait(&detached, 10000));
    proc_close(&detached);
}

TEST(WinPlatform, SocketsOnLoopback) {
    loopback_listener l;
    ASSERT_NE(l.port, 0);
    net_sock c = net_tcp_socket();
    ASSERT_TRUE(net_connect(c, net_parse_ipv4("127.0.0.1"), l.port));
    uint32_t peer = 0;
    uint16_t peer_port = 0;
    net_sock a = net_accept(l.s, &peer, &peer_port);
    ASSERT_NE(a, NET_BAD_SOCK);
    char text[16];
    EXPECT_STREQ(net_format_ipv4(peer, text), "127.0.0.1");
    EXPECT_TRUE(net_set_nodelay(a));
    EXPECT_EQ(net_wait_readable(a, 100), 0);
    EXPECT_EQ(net_wait_writable(a, 1000), 1);
    int err = -1;
    EXPECT_FALSE(net_peer_gone(a, &err));
    ASSERT_EQ(net_send_all(c, "hello", 5), 5);
    bool exceptional = true;
    EXPECT_EQ(net_wait_readable(a, 5000, &exceptional), 1);
    EXPECT_FALSE(exceptional);
    EXPECT_FALSE(net_peer_gone(a, &err)); // unread data is no end, and stays unread
    char buf[8];
    EXPECT_EQ(net_recv(a, buf, sizeof buf), 5);
    net_close(c);
    EXPECT_EQ(net_wait_readable(a, 5000), 1);
    EXPECT_TRUE(net_peer_gone(a, &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(net_recv(a, buf, sizeof buf), 0);
    net_close(a);

    // A reset (a close with unread data) counts as gone too.
    c = net_tcp_socket();
    ASSERT_TRUE(net_connect(c, net_parse_ipv4("127.0.0.1"), l.port));
    a = net_accept(l.s, nullptr, nullptr);
    ASSERT_NE(a, NET_BAD_SOCK);
    ASSERT_EQ(net_send_all(a, "unread", 6), 6);
    EXPECT_EQ(net_wait_readable(c, 5000), 1);
    net_close(c);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; i++) {
        gone = net_peer_gone(a, &err);
        if (!gone) os_sleep_ms(50);
    }
    EXPECT_TRUE(gone);
    // Wine 8 reports the reset as an orderly close (0); Windows gives WSAECONNRESET.
    EXPECT_TRUE(err == 0 || os_error_kind_of(err) == OS_E_CONN_RESET) << err;
    net_close(a);
    EXPECT_EQ(net_parse_ipv4("1.2.3"), net_parse_ipv4("1.2.0.3"));
    EXPECT_EQ(net_parse_ipv4("nonsense"), 0u);
    uint32_t addrs[NET_MAX_ADDRS];
    ASSERT_GE(net_resolve("localhost", addrs, NET_MAX_ADDRS), 1);
    EXPECT_STREQ(net_format_ipv4(addrs[0], text), "127.0.0.1");
}

// The player's socket handed to a child by inheritance: the child takes it over
// and answers on it. It reports whether the inherited handle worked as it was or
// had to be imported again (Wine).
TEST(WinPlatform, InheritedSocketReachesTheChild) {
    loopback_listener l;
    net_sock c = net_tcp_socket();
    ASSERT_TRUE(net_connect(c, net_parse_ipv4("127.0.0.1"), l.port));
    net_sock a = net_accept(l.s, nullptr, nullptr);
    ASSERT_NE(a, NET_BAD_SOCK);
    os_process p;
    ASSERT_TRUE(start_helper("inherit " + std::to_string(a), &p, a));
    net_close(a); // the parent's copy goes; the child's connection stays
    std::string got = read_all(c);
    EXPECT_TRUE(got == "direct" || got == "imported") << got;
    printf("inherited socket in the child: %s\n", got.c_str());
    EXPECT_EQ(exit_code_after(&p, 20000), 0);
    proc_close(&p);
    net_close(c);
}

// The fetcher's way: a share record for the child's process id inside a pipe message.
TEST(WinPlatform, SharedSocketThroughPipeMessage) {
    loopback_listener l;
    net_sock c = net_tcp_socket();
    ASSERT_TRUE(net_connect(c, net_parse_ipv4("127.0.0.1"), l.port));
    net_sock a = net_accept(l.s, nullptr, nullptr);
    std::string name = unique("share-pipe");
    msg_pipe pipe;
    ASSERT_TRUE(msgpipe_create(name.c_str(), &pipe));
    os_process p;
    ASSERT_TRUE(start_helper("share " + name, &p));
    ASSERT_TRUE(msgpipe_wait_client(&pipe, 20000));
    uint8_t info[NET_SHARE_INFO_SIZE];
    ASSERT_TRUE(net_share_for_process(a, p.pid, info));
    ASSERT_EQ(msgpipe_write(&pipe, info, sizeof info), long(sizeof info));
    EXPECT_EQ(read_all(c), "shared");
    EXPECT_EQ(exit_code_after(&p, 20000), 0);
    proc_close(&p);
    msgpipe_close(&pipe);
    net_close(a);
    net_close(c);
}

// A signal noted from its handler wakes the waiting thread; the first one stays.
static void note_handler(int sig) {
    signal_note(sig);
}

TEST(WinPlatform, SignalNoteWakesTheWaiter) {
    ASSERT_TRUE(signal_note_init());
    int seen = 0;
    std::thread waiter([&seen] { seen = signal_wait(); });
    os_sleep_ms(200);
    // The runtime puts the default action back before it calls a handler: one raise.
    ASSERT_NE(std::signal(SIGTERM, note_handler), SIG_ERR);
    std::raise(SIGTERM);
    signal_note(SIGINT);
    waiter.join();
    EXPECT_EQ(seen, SIGTERM);
    EXPECT_EQ(signal_wait(), SIGTERM);
}

// Service names the manager does not know: each call fails with the reason.
TEST(WinPlatform, ServiceControlOfAnUnknownService) {
    const char *name = "VarnexNoSuchService";
    EXPECT_FALSE(service_running(name));
    EXPECT_FALSE(service_start(name, nullptr));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND) << os_error();
    EXPECT_FALSE(service_stop(name));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND) << os_error();
    EXPECT_FALSE(service_uninstall(name));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND) << os_error();
}

namespace {

// The world's folder as Windows writes it (the shared support joins with '/').
std::string win_path(const test_world &w, const char *name) {
    std::string p = w.path(name);
    for (char &c : p)
        if (c == '/') c = '\\';
    return p;
}

bool is_folder(const std::string &path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool under_wine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A folder given the access list of the text after it was made (Wine takes a list
// given to CreateDirectory no further than the Unix mode its umask allows).
bool make_folder_with(const std::string &path, const char *sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!CreateDirectoryA(path.c_str(), nullptr) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    bool ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
              SetNamedSecurityInfoA(const_cast<char *>(path.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return ok;
}

// The Unix path of a Windows path under Wine ("" elsewhere).
std::string unix_path(const std::string &path) {
    using unix_name_fn = char *(CDECL *)(const wchar_t *);
    auto unix_name = reinterpret_cast<unix_name_fn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring wide(path.begin(), path.end());
    char *name = unix_name ? unix_name(wide.c_str()) : nullptr;
    if (!name) return "";
    std::string got = name;
    HeapFree(GetProcessHeap(), 0, name);
    return got;
}

// Starts a Unix program (Wine runs one given by its Z: path).
bool run_unix(const char *program, std::string line) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Waits up to 5 s for path to be a reparse point (linked) or to be gone (not linked):
// a Unix program's end is not reported to its Windows parent.
bool wait_attributes(const std::string &path, bool linked) {
    for (int i = 0; i < 100; i++) {
        DWORD attr = GetFileAttributesA(path.c_str());
        if (linked ? attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)
                   : attr == INVALID_FILE_ATTRIBUTES)
            return true;
        os_sleep_ms(50);
    }
    return false;
}

// Makes link a link to the folder target: a junction where the file system takes
// one (Windows); under Wine, which takes no reparse points, a Unix symbolic link made
// by ln (Wine starts Unix programs), which Wine shows as a reparse point.
bool make_folder_link(const std::string &link, const std::string &target) {
    if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
    HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::wstring sub = L"\\??\\" + std::wstring(target.begin(), target.end());
    alignas(8) unsigned char buf[2048] = {};
    auto put16 = [&](size_t at, size_t v) {
        buf[at] = uint8_t(v);
        buf[at + 1] = uint8_t(v >> 8);
    };
    size_t names = (sub.size() + 2) * 2; // substitute name, empty print name, each ended
    DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buf, &tag, 4);
    put16(4, 8 + names);
    put16(10, sub.size() * 2);       // the substitute name at offset 0
    put16(12, (sub.size() + 1) * 2); // the print name after it, empty
    memcpy(buf + 16, sub.data(), sub.size() * 2);
    DWORD got = 0;
    bool junction = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf, DWORD(16 + names), nullptr, 0,
                                    &got, nullptr) != 0;
    CloseHandle(h);
    if (junction) return true;
    std::string line = "ln -s \"" + unix_path(target) + "\" \"" + unix_path(link) + "\"";
    return RemoveDirectoryA(link.c_str()) && run_unix("Z:\\bin\\ln", line) &&
           wait_attributes(link, true);
}

// Removes the link that make_folder_link made (Wine's own calls cannot).
bool remove_folder_link(const std::string &link) {
    if (RemoveDirectoryA(link.c_str())) return true;
    return run_unix("Z:\\bin\\rm", "rm \"" + unix_path(link) + "\"") &&
           wait_attributes(link, false);
}

} // namespace

// The service's cache path: only a local absolute path, below folders that are no
// links and that no other account can change; each refusal names the folder.
TEST(WinPlatform, ServiceCacheFolderRules) {
    test_world w;
    char refused[MAX_PATH];
    std::string base = win_path(w, "");
    base.pop_back();
    ASSERT_TRUE(is_folder(base)) << base;

    const std::string not_local[] = {"\\\\127.0.0.1\\share\\vcache",
                                     "\\\\?\\" + base + "\\vcache",
                                     "\\\\.\\pipe\\vcache",
                                     "vcache",
                                     base.substr(0, 2) + "vcache",
                                     base + "\\..\\vcache",
                                     base + "/vcache",
                                     base + "\\vcache.",
                                     base + "\\vcache:stream",
                                     base + "\\\\vcache"};
    for (const std::string &p : not_local) {
        EXPECT_EQ(dir_make_service_private(p.c_str(), refused, sizeof refused),
                  DIR_PRIVATE_NOT_LOCAL)
            << p;
        EXPECT_EQ(std::string(refused), p);
    }
    EXPECT_FALSE(is_folder(base + "\\vcache"));

    // A folder of this account: made and held.
    std::string good = base + "\\good";
    ASSERT_TRUE(CreateDirectoryA(good.c_str(), nullptr));
    EXPECT_EQ(dir_make_service_private((good + "\\vcache").c_str(), refused, sizeof refused),
              DIR_PRIVATE_OK)
        << refused << " " << os_error();
    EXPECT_TRUE(is_folder(good + "\\vcache"));
    // Held, none of its folders can be renamed (Wine does not refuse renames of open
    // folders, so this part shows on Windows only).
    if (!under_wine()) {
        EXPECT_FALSE(MoveFileA((good + "\\vcache").c_str(), (good + "\\moved").c_str()));
        EXPECT_FALSE(MoveFileA(good.c_str(), (base + "\\moved").c_str()));
    }

    // Above it a folder that every account may change: refused, nothing made, while
    // the user's own rules take it.
    std::string open = base + "\\open";
    ASSERT_TRUE(make_folder_with(open, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)"));
    EXPECT_EQ(dir_make_service_private((open + "\\vcache").c_str(), refused, sizeof refused),
              DIR_PRIVATE_ABOVE);
    EXPECT_EQ(std::string(refused), open);
    EXPECT_FALSE(is_folder(open + "\\vcache"));
    EXPECT_EQ(dir_make_private((open + "\\vcache").c_str()), DIR_PRIVATE_OK);

    // The cache folder itself open to every account.
    std::string shared = good + "\\shared";
    ASSERT_TRUE(make_folder_with(shared, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)"));
    EXPECT_EQ(dir_make_service_private(shared.c_str(), refused, sizeof refused),
              DIR_PRIVATE_SHARED);
    EXPECT_EQ(std::string(refused), shared);

    // A link (junction) above the cache, to another folder: refused, nothing made in
    // the target, which the user's rules would have followed.
    std::string target = base + "\\target", link = base + "\\link";
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    ASSERT_TRUE(make_folder_link(link, target)) << GetLastError();
    EXPECT_EQ(dir_make_service_private((link + "\\vcache").c_str(), refused, sizeof refused),
              DIR_PRIVATE_ABOVE);
    EXPECT_EQ(std::string(refused), link);
    EXPECT_FALSE(is_folder(target + "\\vcache"));
    EXPECT_EQ(dir_make_private((link + "\\vcache").c_str()), DIR_PRIVATE_OK);
    EXPECT_TRUE(is_folder(target + "\\vcache"));
    // A link as the cache folder itself.
    EXPECT_EQ(dir_make_service_private(link.c_str(), refused, sizeof refused), DIR_PRIVATE_LINK);
    EXPECT_TRUE(remove_folder_link(link));
}

// The log opened as itself: a plain file takes the lines; a hard link to another
// file, a folder and a device are refused and stay untouched.
TEST(WinPlatform, LogFileOpenedAsItself) {
    test_world w;
    std::string log = win_path(w, "keeper.log"), other = win_path(w, "other.txt");
    auto redirect = [&](const std::string &path) {
        os_process p;
        if (!start_helper("redirect \"" + path + "\" line-written", &p)) return -1;
        int code = exit_code_after(&p, 20000);
        proc_close(&p);
        return code;
    };
    EXPECT_EQ(redirect(log), 0);
    EXPECT_EQ(redirect(log), 0);
    EXPECT_EQ(read_text_file(log), "line-written\r\nline-written\r\n"); // text mode, as before

    ASSERT_TRUE(write_text_file(other, "keep\n"));
    std::string hard = win_path(w, "hard.log");
    ASSERT_TRUE(CreateHardLinkA(hard.c_str(), other.c_str(), nullptr));
    EXPECT_EQ(redirect(hard), 4);
    EXPECT_EQ(read_text_file(other), "keep\n");
    std::string folder = win_path(w, "");
    folder.pop_back();
    EXPECT_EQ(redirect(folder), 4);
    EXPECT_EQ(redirect("NUL"), 4);
}
