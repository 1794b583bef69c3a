// KVT-Panel on a desktop: Xvfb, the session bus this test runs under
// (dbus-run-session), the XEmbed tray host trayer and the notification daemon dunst.
// The test drives the tray with xdotool as a user would (right click, menu keys,
// typing into the dialogs) and checks the effects on the real keeper, supervisor,
// relay, update program and QI server. Screenshots of the menu and of each dialog go
// to the output folder named at the end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/msgpipe.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "tests/qi/qi_server_run.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

// Output of a shell command (stderr dropped).
std::string sh(const std::string &cmd) {
    std::string out;
    FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool wait_until(const std::function<bool()> &ok, int ms) {
    for (int64_t end = test_now_ms() + ms; test_now_ms() < end; os_sleep_ms(100))
        if (ok()) return true;
    return ok();
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::vector<int> processes_in(const std::string &folder, const std::string &name = "") {
    std::vector<int> pids;
    for (const auto &e : fs::directory_iterator("/proc")) {
        int pid = atoi(e.path().filename().c_str());
        if (pid <= 0) continue;
        std::error_code ec;
        fs::path exe = fs::read_symlink(e.path() / "exe", ec);
        if (ec) continue;
        if (exe.parent_path() == folder && (name.empty() || exe.filename() == name))
            pids.push_back(pid);
    }
    return pids;
}

struct desktop {
    test_world w;
    std::string bin, out_dir, keeper_log;
    child_run xvfb, dunst, trayer, panel, bus_monitor;
    qi_server_run qi;
    uint16_t port = 0;
    std::vector<std::string> shots;
    std::string typed = "tray secret", stored;

    std::string reg() const {
        return read_text_file(w.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg");
    }
    std::string panel_log() const { return panel.log(); }
    std::string keeper() const { return read_text_file(keeper_log); }
    std::string notifications() const { return sh("dunstctl history"); }
    // Every text sent to the notification daemon (a balloon replaces the shown one, so
    // the daemon's history keeps only some of them).
    bool sent(const std::string &text, int ms = 15000) const {
        return wait_until(
            [&] { return bus_monitor.log().find("string \"" + text + "\"") != std::string::npos; },
            ms);
    }

    void shot(const std::string &name) {
        std::string path = out_dir + "/" + name + ".png";
        sh("import -window root '" + path + "'");
        if (fs::exists(path)) shots.push_back(path);
    }
    std::string icon_window() const {
        std::string id = sh("xdotool search --name '^Varnex Control Program$' | head -1");
        while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
            id.pop_back();
        return id;
    }
    // Right click on the icon; true when the menu opened: the panel logged it and its
    // window is on the screen (the keys that choose an item go to it).
    bool open_menu() {
        int before = count_of(panel_log(), "Menu: ");
        wait_until([&] { return sh("xdotool search --onlyvisible --class KVTPANEL").empty(); },
                   10000);
        sh("xdotool mousemove --window " + icon_window() + " 12 12 click 3");
        return wait_until(
            [&] {
                return count_of(panel_log(), "Menu: ") > before &&
                       !sh("xdotool search --onlyvisible --class KVTPANEL").empty();
            },
            10000);
    }
    // Chooses the n-th item (separators not counted) of the open menu with the keys.
    void choose(int n) {
        os_sleep_ms(300);
        std::string keys;
        for (int i = 0; i < n; i++)
            keys += " Down";
        sh("xdotool key --delay 80" + keys + " Return");
    }
    std::string wait_window(const std::string &title) {
        std::string id;
        wait_until(
            [&] {
                id = sh("xdotool search --onlyvisible --name '^" + title + "$' | head -1");
                return !id.empty();
            },
            10000);
        while (!id.empty() && id.back() == '\n')
            id.pop_back();
        return id;
    }
    void type_into(const std::string &window, const std::vector<std::string> &fields) {
        sh("xdotool windowfocus --sync " + window);
        os_sleep_ms(300);
        for (size_t i = 0; i < fields.size(); i++) {
            if (i) sh("xdotool key Tab");
            sh("xdotool key ctrl+a BackSpace");
            if (!fields[i].empty()) sh("xdotool type --delay 30 -- '" + fields[i] + "'");
        }
    }
    // True once the port is listening (the supervisor's own lines may wait in its buffer).
    bool listening() const {
        char hex[16];
        snprintf(hex, sizeof hex, ":%04X ", port);
        std::string table = read_text_file("/proc/net/tcp");
        for (size_t at = table.find(hex); at != std::string::npos; at = table.find(hex, at + 1))
            if (table.compare(at + 6 + 13, 3, " 0A") == 0) return true;
        return false;
    }
    // The n-th supervisor the keepers started is listening.
    bool wait_restarts(int n) {
        return wait_until(
            [&] { return count_of(keeper(), "Started KVT-Marshal, pid") >= n && listening(); },
            40000);
    }
};

TEST(PanelDesktop, TrayMenuDialogsNotificationsAndService) {
    desktop d;
    d.out_dir = VARNEX_PANEL_SHOTS_DIR;
    std::error_code ignored;
    fs::remove_all(d.out_dir, ignored);
    make_dirs(d.out_dir);
    for (const char *tool : {"Xvfb", "dunst", "dunstctl", "trayer", "xdotool", "import"})
        ASSERT_FALSE(sh(std::string("command -v ") + tool).empty())
            << tool << " is missing: run scripts/install-deps.sh";
    ASSERT_NE(getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";

    // The installation: the programs in one folder, the icon beside them.
    d.bin = d.w.path("bin");
    make_dirs(d.bin + "/icons");
    for (const char *p : {"KVT-Panel", "KVT-Keeper", "KVT-Marshal", "KVT-Fetcher", "KVT-Relay",
                          "KVT-Cinema", "varnex-update", "test-channel.ts"})
        fs::copy_file(bin_path(p), d.bin + "/" + p);
    fs::copy_file(bin_path("icons/kvt-panel.svg"), d.bin + "/icons/kvt-panel.svg");
    d.stored = sh("printf %s '" + d.typed + "' | sha1sum | cut -c1-40");
    d.stored.pop_back();
    ASSERT_TRUE(d.qi.start(d.w, "qi", {"-account=77:" + d.stored, "-duration=8"}));
    d.port = free_tcp_port();
    d.keeper_log = d.w.path("keeper.log");
    ASSERT_TRUE(write_text_file(d.bin + "/KVT-Keeper.options",
                                "-marshal_args=-port=" + std::to_string(d.port) +
                                    " -host=" + d.qi.entry() + "\n-log=" + d.keeper_log +
                                    "\n-backoff_ms=500\n"));
    ASSERT_TRUE(
        write_text_file(d.bin + "/varnex-update.options",
                        "-host=" + d.qi.entry() + "\n-source=" + d.w.path("newest.txt") + "\n"));
    ASSERT_TRUE(write_text_file(d.w.path("newest.txt"), "1.0.0\n"));
    reg_key k;
    ASSERT_TRUE(reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &k));
    ASSERT_TRUE(reg_set_string(&k, "Version", "1.0.0"));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 42));
    ASSERT_TRUE(reg_set_string(&k, "Password", "abcdefghijklmnopqrstuvwxyz0123456789ABCD"));
    reg_close(&k);
    // No systemd user manager in this world: the keeper is started directly.
    make_dirs(d.w.path("xdg"));
    setenv("XDG_RUNTIME_DIR", d.w.path("xdg").c_str(), 1);

    // The desktop.
    // -noreset: the server stays as it is when its last client leaves (the probe below,
    // a tray host started again), instead of resetting while the next one connects.
    ASSERT_TRUE(d.xvfb.start(
        d.w, "/bin/sh",
        {"-c", "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>'" +
                   d.w.path("display") + "'"},
        "xvfb.log"));
    ASSERT_TRUE(wait_until([&] { return !read_text_file(d.w.path("display")).empty(); }, 15000));
    std::string display = ":" + read_text_file(d.w.path("display"));
    display.erase(display.find_last_not_of("\n ") + 1);
    setenv("DISPLAY", display.c_str(), 1);
    // On a loaded machine the display may take a while to take clients.
    ASSERT_TRUE(wait_until([&] { return sh("xdpyinfo >/dev/null && echo up") == "up\n"; }, 30000))
        << "display " << display << "; Xvfb: " << d.xvfb.log();
    ASSERT_TRUE(d.bus_monitor.start(
        d.w, "/usr/bin/dbus-monitor",
        {"--session", "interface='org.freedesktop.Notifications',member='Notify'"}, "notify.log"));
    // dunst reads markup in a body, as the common desktops' notification servers do.
    ASSERT_TRUE(write_text_file(d.w.path("dunstrc"), "[global]\n    markup = full\n"));
    auto start_dunst = [&](const char *log) {
        return d.dunst.start(d.w, "/usr/bin/dunst", {"-config", d.w.path("dunstrc")}, log);
    };
    ASSERT_TRUE(start_dunst("dunst.log"));
    // The tray host; started once more if its window does not come (seen once, with
    // nothing in its log).
    auto start_trayer = [&](const char *log) {
        return d.trayer.start(d.w, "/usr/bin/trayer",
                              {"--edge", "top", "--align", "left", "--widthtype", "pixel",
                               "--width", "96", "--height", "32", "--transparent", "false"},
                              log);
    };
    auto trayer_up = [&] { return !sh("xdotool search --class trayer").empty(); };
    ASSERT_TRUE(start_trayer("trayer.log"));
    if (!wait_until(trayer_up, 10000)) {
        std::printf("trayer did not come up (log: %s); starting it again\n",
                    d.trayer.log().c_str());
        d.trayer.kill_now();
        ASSERT_TRUE(start_trayer("trayer-2.log"));
    }
    ASSERT_TRUE(wait_until(trayer_up, 10000))
        << "display " << display << "; trayer: " << d.trayer.log() << "; Xvfb: " << d.xvfb.log();
    // dunst owns the notification service once it answers (else the bus would try to
    // start another one without a display); started once more if it does not.
    auto dunst_up = [&] { return sh("dunstctl is-paused") == "false\n"; };
    if (!wait_until(dunst_up, 15000)) {
        std::printf("dunst did not come up (log: %s); starting it again\n", d.dunst.log().c_str());
        d.dunst.kill_now();
        ASSERT_TRUE(start_dunst("dunst-2.log"));
    }
    ASSERT_TRUE(wait_until(dunst_up, 15000)) << d.dunst.log();

    // In sanitizer builds: fontconfig's lifetime caches are not the panel's leaks.
    setenv("LSAN_OPTIONS", "suppressions=" VARNEX_PANEL_LSAN_SUPP, 1);
    ASSERT_TRUE(d.panel.start(d.w, d.bin + "/KVT-Panel", {}, "panel.log"));
    unsetenv("LSAN_OPTIONS");
    ASSERT_TRUE(wait_until([&] { return !d.icon_window().empty(); }, 15000))
        << "the icon did not appear; " << d.panel_log();
    d.shot("01-icon");

    // The menu with the service stopped; Start reaches the keeper, and the
    // supervisor's first notification reaches the notification daemon.
    ASSERT_TRUE(d.open_menu());
    d.shot("02-menu-stopped");
    EXPECT_NE(d.panel_log().find("Menu: About | - | Start | Check for Updates | Set UID, Password "
                                 "| - | Clear Cache | Trace On | - | Set Limits | - | Exit"),
              std::string::npos)
        << d.panel_log();
    d.choose(2);
    ASSERT_TRUE(d.wait_restarts(1)) << d.keeper() << d.panel_log();
    EXPECT_TRUE(wait_until(
        [&] {
            return d.notifications().find("Varnex SwarmNode is Up &amp; Running") !=
                   std::string::npos;
        },
        15000))
        << d.notifications() << d.panel_log();
    EXPECT_TRUE(d.sent("Starting Varnex Swarm Node ...")) << d.panel_log() << d.dunst.log();
    // The texts reach dunst escaped, as plain text; a long text of two-octet
    // characters arrives cut to whole characters (254 octets).
    EXPECT_TRUE(d.sent("Varnex SwarmNode is Up &amp; Running"));
    std::string accented;
    while (accented.size() < 600)
        accented += "\u00E9";
    for (const std::string &text : {std::string("<b>CID=7</b> & more"), accented}) {
        msg_pipe p;
        long sent = -1;
        for (int i = 0; i < 100 && sent < 0; i++, os_sleep_ms(50))
            if (msgpipe_open("tray-pipe", &p)) {
                sent = msgpipe_write(&p, text.c_str(), text.size() + 1);
                msgpipe_close(&p);
            }
        EXPECT_EQ(sent, long(text.size() + 1)) << os_error();
    }
    EXPECT_TRUE(d.sent("&lt;b&gt;CID=7&lt;/b&gt; &amp; more")) << d.panel_log();
    EXPECT_TRUE(d.sent(accented.substr(0, 254))) << d.panel_log();
    d.shot("02b-notification");

    ASSERT_TRUE(d.open_menu());
    d.shot("03-menu-running");
    EXPECT_NE(d.panel_log().find("Menu: About | - | Stop | "), std::string::npos);
    sh("xdotool key Escape");

    // About shows the installed Version; Check for Updates runs varnex-update, which
    // finds no newer version in its source.
    ASSERT_TRUE(d.open_menu());
    d.choose(1);
    EXPECT_TRUE(d.sent("Varnex Swarm Node, Version: 1.0.0")) << d.panel_log();
    ASSERT_TRUE(d.open_menu());
    d.choose(3);
    EXPECT_TRUE(d.sent("You already have the latest version of Varnex")) << d.panel_log();

    // A second tray finds the first one's lock and ends with 3.
    child_run second;
    ASSERT_TRUE(second.start(d.w, d.bin + "/KVT-Panel", {}, "panel-2.log"));
    int second_code = -1;
    EXPECT_TRUE(second.wait_exit(15000, &second_code));
    EXPECT_EQ(second_code, 3);

    // Account dialog: shows the stored UID and 8 characters; OK runs -auth against the
    // QI server, which stores the account, and the service restarts.
    ASSERT_TRUE(d.open_menu());
    d.choose(4);
    std::string dialog = d.wait_window("Set Varnex Account information");
    ASSERT_FALSE(dialog.empty()) << d.panel_log();
    d.shot("04-account-dialog");
    d.type_into(dialog, {"77", d.typed});
    d.shot("05-account-dialog-typed");
    sh("xdotool key Return");
    EXPECT_TRUE(wait_until(
        [&] { return d.reg().find("\"UserName\"=dword:0000004d") != std::string::npos; }, 30000))
        << d.reg() << d.panel_log();
    EXPECT_NE(d.reg().find("\"Password\"=\"" + d.stored + "\""), std::string::npos) << d.reg();
    EXPECT_NE(d.panel_log().find("-auth -login=77 -pass="), std::string::npos);
    EXPECT_EQ(d.panel_log().find(d.typed), std::string::npos) << "the typed password was logged";
    ASSERT_TRUE(d.wait_restarts(2)) << d.keeper();

    // Limits dialog: three DWORDs, empty as 0 is not needed here, minus 5 as two's complement.
    ASSERT_TRUE(d.open_menu());
    d.choose(7);
    dialog = d.wait_window("Set Limits");
    ASSERT_FALSE(dialog.empty()) << d.panel_log();
    d.shot("06-limits-dialog");
    d.type_into(dialog, {"1000", "-5", "3"});
    d.shot("07-limits-dialog-typed");
    sh("xdotool key Return");
    EXPECT_TRUE(wait_until(
        [&] { return d.reg().find("\"maxpeers\"=dword:00000003") != std::string::npos; }, 15000))
        << d.reg();
    EXPECT_NE(d.reg().find("\"uprate\"=dword:000003e8"), std::string::npos) << d.reg();
    EXPECT_NE(d.reg().find("\"downrate\"=dword:fffffffb"), std::string::npos) << d.reg();
    ASSERT_TRUE(d.wait_restarts(3)) << d.keeper();

    // Trace On: the keeper restarts and runs the supervisor with -trace, which traces.
    ASSERT_TRUE(d.open_menu());
    d.choose(6);
    ASSERT_TRUE(d.wait_restarts(4)) << d.keeper();
    std::string k4 = d.keeper();
    EXPECT_NE(k4.find("tracing on"), std::string::npos) << k4;
    EXPECT_NE(k4.rfind(" -trace"), std::string::npos);
    EXPECT_TRUE(
        wait_until([&] { return d.keeper().find("[KVT-MARSH\\") != std::string::npos; }, 10000))
        << "no trace line of the supervisor";
    EXPECT_TRUE(d.sent("Tracing has been switched on"));

    // Clear Cache while a relay serves a player: idle chunk files go, held ones stay.
    std::string cache = d.w.temp_dir() + "/vcache";
    ASSERT_TRUE(write_text_file(cache + "/555---1.dat", std::string(4096, 'x')));
    ASSERT_TRUE(write_text_file(cache + "/555---2.dat", std::string(4096, 'x')));
    child_run player;
    ASSERT_TRUE(player.start(d.w, "/usr/bin/curl",
                             {"-s", "--max-time", "60", "-o", d.w.path("player.ts"),
                              "http://127.0.0.1:" + std::to_string(d.port) + "/stream?cid=7"},
                             "player.log"));
    ASSERT_TRUE(wait_until(
        [&] {
            return fs::exists(d.w.path("player.ts")) &&
                   fs::file_size(d.w.path("player.ts")) > 200000;
        },
        40000))
        << d.keeper();
    // Cache files the relays hold open; a deleted one shows as "... (deleted)".
    auto relay_files = [&] {
        std::vector<std::string> held;
        for (int pid : processes_in(d.bin, "KVT-Relay"))
            for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
                std::error_code ec;
                std::string target = fs::read_symlink(e.path(), ec).string();
                if (!ec && target.rfind(cache + "/", 0) == 0) held.push_back(target);
            }
        return held;
    };
    ASSERT_FALSE(relay_files().empty()) << "the relay holds no chunk file";
    ASSERT_TRUE(d.open_menu());
    d.choose(5);
    EXPECT_TRUE(wait_until([&] { return !fs::exists(cache + "/555---1.dat"); }, 10000));
    EXPECT_FALSE(fs::exists(cache + "/555---2.dat"));
    std::vector<std::string> held = relay_files();
    EXPECT_FALSE(held.empty());
    for (const std::string &f : held)
        EXPECT_EQ(f.find(" (deleted)"), std::string::npos) << f << " was deleted while in use";
    EXPECT_TRUE(fs::file_size(d.w.path("player.ts")) > 0);
    EXPECT_EQ(d.panel_log().find("DeleteFile("), std::string::npos) << d.panel_log();
    player.kill_now();

    // Stop reaches the keeper: nothing of the service stays.
    ASSERT_TRUE(d.open_menu());
    d.choose(2);
    EXPECT_TRUE(wait_until([&] { return processes_in(d.bin).size() == 1; }, 20000))
        << processes_in(d.bin).size() << " processes in the program folder";
    EXPECT_TRUE(d.sent("Stoping Varnex Swarm Node ..."));
    EXPECT_TRUE(d.sent("Cache has been cleared"));

    // Exit ends the program with 0.
    ASSERT_TRUE(d.open_menu());
    d.choose(8);
    int code = -1;
    EXPECT_TRUE(d.panel.wait_exit(10000, &code));
    EXPECT_EQ(code, 0);

    std::string note = "Screenshots in " + d.out_dir + ":";
    for (const std::string &s : d.shots)
        note += " " + fs::path(s).filename().string();
    std::printf("%s\n", note.c_str());
    RecordProperty("screenshots", note);
    EXPECT_GE(d.shots.size(), 8u);
}

} // namespace
