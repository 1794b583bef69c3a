// Child process of the Windows platform tests. The first argument names what to do:
//   exit CODE         end with that exit code
//   sleep MS          sleep, then end with 0
//   inherit SOCK      take over the inherited socket SOCK, send "direct" (usable as
//                     inherited) or "imported" (taken over through a share record)
//                     on it and end
//   share PIPE        open the message pipe PIPE, read one share record, send
//                     "shared" on the socket it stands for and end
//   mutex NAME        create the named mutex, then hold it for 60 s
//   job FILE          start two "sleep" children in a job, write their pids to FILE,
//                     then wait
//   service start|stop|running NAME
//                     control the service NAME through the manager as the tray does:
//                     0 when it worked (running: when it runs), else 1 and the error
//   access service NAME | access key PATH | access file PATH
//                     print the access list in force as SDDL text (a file or folder:
//                     its owner too, "O:..D:..."): 0, else 1 and the error
//   attributes PATH   print the attributes GetFileAttributes reports, in hex
//   -install          stands in for KVT-Keeper.exe -install failing half way, as seen
//                     when the manager was not settled: records VarnexService, then
//                     fails as the access step did and ends with 4
//   setaccess service NAME SDDL | setaccess key PATH SDDL
//                     replace the access list (a key that nobody may write makes
//                     KVT-Keeper.exe -install fail after it recorded the service)
//   redirect FILE TEXT
//                     send standard output to FILE as KVT-Keeper's -log does and
//                     write TEXT: 0, or 4 when the file was refused
//   tray-delete DESKTOP TITLE ID
//                     on the desktop DESKTOP ("shell" of the Wine checks), remove
//                     notification icon ID of the window titled TITLE, as a restarted
//                     Explorer has lost it
//   broadcast DESKTOP NAME
//                     post the registered message NAME (TaskbarCreated) to every
//                     top-level window of the desktop DESKTOP
#include "platform/access.h"
#include "platform/msgpipe.h"
#include "platform/named_object.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/process.h"
#include "platform/service.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

// The owner and access list of a file or folder, as SDDL text; the link itself when
// the path is one.
static bool file_access_text(const char *path, char *out, size_t cap) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD err =
        GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &sd);
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return false;
    }
    char *text = nullptr;
    bool ok = ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what, &text,
                                                                   nullptr);
    if (ok) snprintf(out, cap, "%s", text);
    LocalFree(text);
    LocalFree(sd);
    return ok;
}

// Records VarnexService as -install does, then ends as -install did when the access
// step failed (1060: the manager did not know the service it had just recorded).
static int failing_install() {
    char self[OS_PATH_MAX], command_line[OS_PATH_MAX + 16];
    if (!os_module_path(self, sizeof self)) return 2;
    snprintf(command_line, sizeof command_line, "\"%s\" -service", self);
    if (!service_install("VarnexService", command_line)) {
        printf("Installing VarnexService -> %d\n", os_error());
        return 4;
    }
    printf("VarnexService was installed\nSetting the access of VarnexService -> 1060\n");
    return 4;
}

// Windows are found and messages broadcast on the thread's own desktop: the tray's
// one is another than a console program's.
static bool use_desktop(const char *name) {
    HDESK desk = OpenDesktopA(name, 0, FALSE, GENERIC_ALL);
    return desk && SetThreadDesktop(desk);
}

static int send_text(net_sock s, const char *text) {
    long n = net_send_all(s, text, strlen(text));
    net_shutdown(s);
    net_close(s);
    return n == long(strlen(text)) ? 0 : 3;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "-install") == 0) return failing_install();
    if (argc < 3) return 2;
    const char *mode = argv[1];
    if (strcmp(mode, "exit") == 0) return atoi(argv[2]);
    if (strcmp(mode, "sleep") == 0) {
        os_sleep_ms(unsigned(atoi(argv[2])));
        return 0;
    }
    if (strcmp(mode, "attributes") == 0) {
        printf("0x%lx\n", (unsigned long)GetFileAttributesA(argv[2]));
        return 0;
    }
    if (strcmp(mode, "service") == 0 && argc > 3) {
        const char *verb = argv[2], *name = argv[3];
        bool ok = strcmp(verb, "start") == 0  ? service_start(name, nullptr)
                  : strcmp(verb, "stop") == 0 ? service_stop(name)
                                              : service_running(name);
        if (!ok) printf("service %s %s -> %d\n", verb, name, os_error());
        return ok ? 0 : 1;
    }
    if (strcmp(mode, "access") == 0 && argc > 3) {
        static char text[4096];
        const char *kind = argv[2];
        bool ok = strcmp(kind, "service") == 0 ? service_access_text(argv[3], text, sizeof text)
                  : strcmp(kind, "file") == 0  ? file_access_text(argv[3], text, sizeof text)
                                               : reg_access_text(argv[3], text, sizeof text);
        if (ok)
            printf("%s\n", text);
        else
            printf("access %s %s -> %d\n", argv[2], argv[3], os_error());
        return ok ? 0 : 1;
    }
    if (strcmp(mode, "setaccess") == 0 && argc > 4) {
        bool ok = strcmp(argv[2], "service") == 0 ? service_set_access(argv[3], argv[4])
                                                  : reg_set_access(argv[3], argv[4]);
        if (!ok) printf("setaccess %s %s -> %d\n", argv[2], argv[3], os_error());
        return ok ? 0 : 1;
    }
    if (strcmp(mode, "redirect") == 0 && argc > 3) { // the log as the keeper opens it
        if (!os_redirect_stdout(argv[2])) return 4;
        printf("%s\n", argv[3]);
        fflush(stdout);
        return 0;
    }
    if (strcmp(mode, "tray-delete") == 0 && argc > 4) { // what a restarted Explorer loses
        if (!use_desktop(argv[2])) return 3;
        NOTIFYICONDATAA icon{};
        icon.cbSize = sizeof icon;
        icon.hWnd = FindWindowA(nullptr, argv[3]);
        icon.uID = UINT(atoi(argv[4]));
        if (!icon.hWnd) return 4;
        return Shell_NotifyIconA(NIM_DELETE, &icon) ? 0 : 1;
    }
    if (strcmp(mode, "broadcast") == 0 && argc > 3) { // a registered message to every window
        if (!use_desktop(argv[2])) return 3;
        UINT message = RegisterWindowMessageA(argv[3]);
        return message && PostMessageA(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
    }
    if (net_startup() != 0) return 2;
    if (strcmp(mode, "inherit") == 0) {
        net_sock given = net_sock(strtoll(argv[2], nullptr, 10));
        net_sock s = net_adopt_inherited(given);
        return send_text(s, s == given ? "direct" : "imported");
    }
    if (strcmp(mode, "share") == 0) {
        msg_pipe p;
        if (!msgpipe_open(argv[2], &p)) return 4;
        uint8_t info[NET_SHARE_INFO_SIZE];
        if (msgpipe_read(&p, info, sizeof info, nullptr, 10000) != long(sizeof info)) return 5;
        net_sock s = net_socket_from_share(info, -1);
        msgpipe_close(&p);
        if (s == NET_BAD_SOCK) return 6;
        return send_text(s, "shared");
    }
    if (strcmp(mode, "mutex") == 0) {
        named_object m;
        if (named_mutex_create(argv[2], &m) != NAMED_CREATED) return 4;
        os_sleep_ms(60000);
        return 0;
    }
    if (strcmp(mode, "job") == 0) {
        char self[OS_PATH_MAX];
        os_job job;
        if (!os_module_path(self, sizeof self) || !job_create(&job)) return 2;
        os_process kids[2];
        for (os_process &k : kids)
            if (!proc_start(self, "windows_helper.exe sleep 60000", -1, &k) ||
                !job_assign(&job, &k))
                return 3;
        FILE *f = fopen(argv[2], "w");
        if (!f) return 4;
        fprintf(f, "%d %d\n", kids[0].pid, kids[1].pid);
        fclose(f);
        os_sleep_ms(60000);
        return 0;
    }
    return 2;
}
