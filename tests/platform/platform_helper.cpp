// Child process for the platform tests. The first argument names what to do:
//   report FILE          write "argc=N", "argv[i]=<...>" and "fds=0,1,2,..." to FILE
//   exit CODE            end with that exit code
//   sleep MS             sleep, then end with 0
//   mutex NAME           create the named mutex, print the outcome, hold it forever
//   semaphore NAME       the same for the named semaphore
//   hold FILE            open FILE for reading (shared lock), print "holding", wait
//   regloop KEY          set "Value" to long texts of 'a' and of 'b' in turn, forever
//   job                  start two "sleep" children in a job, print their pids, wait
//   pipeserver NAME      create the pipe, print "created", serve one client: echo
//                        each message until the client goes, then wait forever
//   pipeclient NAME      open the pipe, read one message with a socket, send the
//                        message text on that socket, write "done" back, end
//   pipehold NAME        open the pipe as a client, print "connected", wait forever
//   regset KEY NAME N    set the DWORD value NAME of KEY to N: print "set ok", or
//                        "set failed <errno>" and end with 2
//   dirs                 print "runtime=" and "registry=" with the folders, or
//                        "refused <errno>"; end with 0, or 2 when one was refused
// Output goes to stdout, which the tests collect in a log file. The Windows build
// runs it for the named-object tests.
#include "platform/fs.h"
#include "platform/msgpipe.h"
#include "platform/named_object.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

static void say(const char *fmt, const char *text, long value = 0) {
    printf(fmt, text, value);
    printf("\n");
    fflush(stdout);
}

[[noreturn]] static void wait_forever() {
    for (;;)
        os_sleep_ms(1000);
}

static int report(int argc, char **argv) {
#ifdef _WIN32
    FILE *f = fopen(argv[2], "w");
#else
    FILE *f = fopen(argv[2], "we");
#endif
    if (!f) return 2;
    fprintf(f, "argc=%d\n", argc);
    for (int i = 0; i < argc; i++)
        fprintf(f, "argv[%d]=<%s>\n", i, argv[i]);
#ifdef _WIN32
    fprintf(f, "fds=\n"); // descriptors are listed from /proc on Linux only
#else
    DIR *d = opendir("/proc/self/fd");
    int self = d ? dirfd(d) : -1;
    std::string fds;
    while (dirent *de = d ? readdir(d) : nullptr) {
        if (de->d_name[0] == '.' || atoi(de->d_name) == self) continue;
        int fd = atoi(de->d_name);
        if (fd == fileno(f)) continue;
        fds += (fds.empty() ? "" : ",") + std::to_string(fd);
    }
    if (d) closedir(d);
    fprintf(f, "fds=%s\n", fds.c_str());
#endif
    fclose(f);
    return 0;
}

static int job_mode() {
    char self[OS_PATH_MAX];
    if (!os_module_path(self, sizeof self)) return 2;
    os_job job;
    if (!job_create(&job)) return 2;
    os_process kids[2];
    for (os_process &k : kids) {
        if (!proc_start(self, "platform_helper sleep 60000", -1, &k) || !job_assign(&job, &k))
            return 3;
    }
    printf("children %d %d\n", kids[0].pid, kids[1].pid);
    fflush(stdout);
    wait_forever();
}

static int regloop(const char *key_path) {
    reg_key k;
    if (!reg_open(key_path, true, &k)) return 2;
    std::string a(3000, 'a'), b(3000, 'b');
    say("%s", "writing");
    for (unsigned i = 0;; i++) {
        if (!reg_set_string(&k, "Value", (i % 2 ? b : a).c_str())) return 3;
        if (!reg_set_dword(&k, "Count", i)) return 3;
    }
}

static int pipeserver(const char *name) {
    msg_pipe p;
    if (!msgpipe_create(name, &p)) {
        say("create failed %s %ld", "", os_error());
        return 2;
    }
    say("%s", "created");
    if (!msgpipe_wait_client(&p, -1)) return 3;
    char buf[1024];
    for (;;) {
        long n = msgpipe_read(&p, buf, sizeof buf);
        if (n <= 0) break;
        msgpipe_write(&p, buf, size_t(n));
    }
    say("%s", "client gone");
    wait_forever();
}

static int pipeclient(const char *name) {
    msg_pipe p;
    if (!msgpipe_open(name, &p)) {
        say("open failed%s %ld", "", os_error());
        return 2;
    }
    char buf[640];
    intptr_t got = -1;
    long n = msgpipe_read(&p, buf, sizeof buf, &got);
    if (n != 640) return 3;
    uint8_t info[NET_SHARE_INFO_SIZE];
    memcpy(info, buf + 268, sizeof info);
    net_sock s = net_socket_from_share(info, got);
    if (s == NET_BAD_SOCK) return 4;
    size_t len = strnlen(buf, 268);
    if (net_send_all(s, buf, len) != long(len)) return 5;
    net_close(s);
    if (msgpipe_write(&p, "done", 4) != 4) return 6;
    msgpipe_close(&p);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) return 1;
    std::string mode = argv[1];
    const char *arg = argc > 2 ? argv[2] : "";
    if (mode == "report" && argc > 2) return report(argc, argv);
    if (mode == "exit") return atoi(arg);
    if (mode == "sleep") {
        os_sleep_ms(unsigned(atoi(arg)));
        return 0;
    }
    if (mode == "mutex" || mode == "semaphore") {
        named_object obj;
        named_result r =
            mode == "mutex" ? named_mutex_create(arg, &obj) : named_semaphore_create(arg, &obj);
        say("%s", r == NAMED_CREATED ? "created" : r == NAMED_EXISTS ? "exists" : "failed");
        wait_forever();
    }
    if (mode == "hold") {
        os_file f;
        if (!file_open_read(arg, &f)) return 2;
        say("%s", "holding");
        wait_forever();
    }
    if (mode == "regloop") return regloop(arg);
    if (mode == "job") return job_mode();
    if (mode == "pipeserver") return pipeserver(arg);
    if (mode == "pipeclient") return pipeclient(arg);
    if (mode == "regset" && argc > 4) {
        reg_key k;
        if (!reg_open(arg, true, &k) || !reg_set_dword(&k, argv[3], uint32_t(atol(argv[4])))) {
            say("set failed%s %ld", "", os_error());
            return 2;
        }
        say("%s", "set ok");
        return 0;
    }
    if (mode == "dirs") {
        const char *run = os_runtime_dir();
        int run_error = os_error();
        const char *reg = os_registry_dir();
        int reg_error = os_error();
        printf("runtime=%s %d\nregistry=%s %d\n", run ? run : "refused", run ? 0 : run_error,
               reg ? reg : "refused", reg ? 0 : reg_error);
        return run && reg ? 0 : 2;
    }
    if (mode == "pipehold") {
        msg_pipe p;
        if (!msgpipe_open(arg, &p)) {
            say("open failed%s %ld", "", os_error());
            return 2;
        }
        say("%s", "connected");
        wait_forever();
    }
    return 1;
}
