// The tray program's logic in-process, through a face that records what the user
// would see: the menu per state, the command table's balloons, the dialogs' rules,
// clear_cache with files in use, and the tray pipe: texts made fit for a balloon,
// silent clients dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "panel/panel.h"
#include "panel/seams.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/test_support.h"

namespace {

std::vector<std::string> g_balloons;
std::atomic<int> g_posts{0};
int g_dialog_result = 2;
std::vector<std::string> g_limit_texts;

void record_balloon(const panel_icon_record *icon) {
    g_balloons.push_back(icon->balloon_text);
}
void count_post() {
    g_posts++;
}
int limits_dialog_typing() {
    const char *texts[3] = {g_limit_texts[0].c_str(), g_limit_texts[1].c_str(),
                            g_limit_texts[2].c_str()};
    char shown[3][16];
    limits_dialog_open(shown);
    return limits_dialog_ok(texts);
}
int fixed_dialog() {
    return g_dialog_result;
}
const panel_face test_face = {record_balloon, count_post, fixed_dialog, limits_dialog_typing,
                              nullptr};

const char *const KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex";

struct panel_test : ::testing::Test {
    test_world world;
    void SetUp() override {
        g_balloons.clear();
        g_posts = 0;
        g_panel_restart_pause_ms = 0;
        ASSERT_EQ(panel_startup(&test_face), -1);
        panel_fill_icon();
        // Programs this test provides lie in its own folder.
        snprintf(g_panel.update_program_path, sizeof g_panel.update_program_path, "%s",
                 world.path("varnex-update").c_str());
        snprintf(g_panel.keeper_program_path, sizeof g_panel.keeper_program_path, "%s",
                 world.path("KVT-Keeper").c_str());
        g_panel.stored_uid = 0;
        g_panel.stored_password[0] = 0;
        for (int32_t &v : g_panel.stored_limits)
            v = 0;
    }
    void TearDown() override {
        named_object_close(&g_panel.instance);
        named_object_close(&g_panel.trace_mutex);
        EXPECT_FALSE(named_object_exists(PANEL_INSTANCE_MUTEX)) << "the tray's start left it held";
    }
    std::string registry_text() const {
        return read_text_file(world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg");
    }
    // A stand-in update program: records its arguments, exits with code.
    void fake_update_program(int code) {
        std::string script = "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                             world.path("args.txt") + "'\nexit " + std::to_string(code) + "\n";
        ASSERT_TRUE(write_text_file(g_panel.update_program_path, script));
        chmod(g_panel.update_program_path, 0755);
    }
};

std::string menu_text(bool running, bool tracing) {
    panel_menu_item items[MENU_ITEMS_MAX];
    int n = panel_build_menu(running, tracing, items);
    std::string out;
    for (int i = 0; i < n; i++)
        out += std::to_string(items[i].id) + ":" + items[i].text + (items[i].separator ? "*" : "") +
               "|";
    return out;
}

TEST(PanelMenu, ItemsForEachState) {
    EXPECT_EQ(menu_text(false, false),
              "104:About|32783:SEP*|32781:Start|32785:Check for Updates|32788:Set UID, Password|"
              "32783:SEP*|32787:Clear Cache|32779:Trace On|32783:SEP*|1003:Set Limits|"
              "32783:SEP*|105:Exit|");
    EXPECT_EQ(menu_text(true, true),
              "104:About|32783:SEP*|32780:Stop|32785:Check for Updates|32788:Set UID, Password|"
              "32783:SEP*|32787:Clear Cache|32778:Trace Off|32783:SEP*|1003:Set Limits|"
              "32783:SEP*|105:Exit|");
    EXPECT_NE(menu_text(true, false).find("32780:Stop|"), std::string::npos);
    EXPECT_NE(menu_text(true, false).find("32779:Trace On|"), std::string::npos);
}

TEST_F(panel_test, CommandsShowTheirBalloons) {
    // The refused start forgets the handle this process holds; TearDown must still
    // release it, or the next test's start is refused where the name is process-wide.
    named_object held = g_panel.instance;
    EXPECT_EQ(panel_startup(&test_face), 3) << "a second instance must be refused";
    g_panel.instance = held;

    reg_key k;
    ASSERT_TRUE(reg_open(KEY, true, &k));
    ASSERT_TRUE(reg_set_string(&k, "Version", "2.7.1"));
    reg_close(&k);

    stdout_capture out;
    for (uint32_t id : {104u, 32781u, 32780u, 32787u, 32779u})
        EXPECT_TRUE(panel_command(id)) << id;
    EXPECT_TRUE(named_object_exists(PANEL_TRACE_MUTEX));
    EXPECT_TRUE(g_panel.trace_on);
    EXPECT_TRUE(panel_command(32778));
    EXPECT_FALSE(named_object_exists(PANEL_TRACE_MUTEX));
    EXPECT_FALSE(panel_command(32786)) << "the menu resource's Clear Cache id is not a command";
    EXPECT_FALSE(panel_command(1));

    // Check for Updates with no update program: one severity-4 line, no balloon.
    size_t before = g_balloons.size();
    EXPECT_TRUE(panel_command(32785));
    EXPECT_EQ(g_balloons.size(), before);
    fake_update_program(0);
    EXPECT_TRUE(panel_command(32785));
    fake_update_program(1);
    EXPECT_TRUE(panel_command(32785));

    const std::vector<std::string> want = {"Varnex Swarm Node, Version: 2.7.1",
                                           "Starting Varnex Swarm Node ...",
                                           "Stoping Varnex Swarm Node ...",
                                           "Cache has been cleared",
                                           "Tracing has been switched on",
                                           "Tracing has been switched off",
                                           "You already have the latest version of Varnex"};
    EXPECT_EQ(g_balloons, want);
    const panel_icon_record &icon = g_panel.icon;
    EXPECT_EQ(icon.flags, 1u + 2u + 4u + 16u);
    EXPECT_EQ(icon.balloon_info_flags, 5u);
    EXPECT_EQ(icon.balloon_timeout_ms, 3500u);
    EXPECT_STREQ(icon.balloon_title, "");
    EXPECT_STREQ(icon.tip, "Varnex Control Program");

    std::string log = out.text();
    EXPECT_NE(log.find("%UTILS-F: CreateProcess('" + world.path("varnex-update") + "', '') : 2"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("StartService(VarnexService, 0, 0) -> "), std::string::npos) << log;
    EXPECT_NE(log.find("ControlService(SERVICE_CONTROL_STOP, VarnexService) -> "),
              std::string::npos);

    // About without the key shows an empty version and logs the failed query.
    ASSERT_TRUE(reg_open(KEY, true, &k));
    ASSERT_TRUE(reg_delete_value(&k, "Version"));
    reg_close(&k);
    panel_command(104);
    EXPECT_EQ(g_balloons.back(), "Varnex Swarm Node, Version: ");
}

TEST_F(panel_test, ServiceProbeFollowsTheKeepersMutex) {
    EXPECT_FALSE(service_is_running());
    EXPECT_FALSE(service_is_running()) << "the probe itself must not leave the mutex behind";
    named_object keeper;
    ASSERT_EQ(named_mutex_create(PANEL_SERVICE_MUTEX, &keeper), NAMED_CREATED);
    EXPECT_TRUE(service_is_running());
    named_object_close(&keeper);
    EXPECT_FALSE(service_is_running());
}

TEST_F(panel_test, AccountDialogRules) {
    const std::string stored = "0123456789abcdef0123456789abcdef01234567";
    reg_key k;
    ASSERT_TRUE(reg_open(KEY, true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 42));
    ASSERT_TRUE(reg_set_string(&k, "Password", stored.c_str()));
    reg_close(&k);

    char uid[16], pw[PASSWORD_SHOWN + 1];
    account_dialog_open(uid, pw);
    EXPECT_STREQ(uid, "42");
    EXPECT_STREQ(pw, "01234567");

    // Unchanged (as shown, or the shown 8 characters followed by more): no update run.
    EXPECT_EQ(account_dialog_ok("42", pw), DIALOG_OK);
    EXPECT_TRUE(g_panel.settings_changed);
    EXPECT_EQ(account_dialog_ok("42", "01234567whatever"), DIALOG_OK);
    EXPECT_FALSE(std::ifstream(world.path("args.txt")).good());

    // Refusals keep the dialog open and clear settings_changed.
    EXPECT_EQ(account_dialog_ok("", "secret"), DIALOG_STAY_OPEN);
    EXPECT_FALSE(g_panel.settings_changed);
    EXPECT_EQ(account_dialog_ok("999", "secret"), DIALOG_STAY_OPEN);
    EXPECT_EQ(account_dialog_ok("0999xyz", "secret"), DIALOG_STAY_OPEN);
    EXPECT_EQ(account_dialog_ok("43", ""), DIALOG_STAY_OPEN);
    EXPECT_EQ(account_dialog_ok("43", "secret"), DIALOG_STAY_OPEN) << "no update program";

    // An e-mail login converts to 0: changed, passed on as typed; odd exit accepts.
    fake_update_program(1);
    EXPECT_EQ(account_dialog_ok("user@example.org", "01234567"), DIALOG_OK);
    EXPECT_TRUE(g_panel.settings_changed);
    EXPECT_EQ(read_text_file(world.path("args.txt")),
              "-auth\n-login=user@example.org\n-pass=01234567\n");
    // A password with blanks and quotes reaches the program as one argument, and the
    // typed password is never logged.
    {
        stdout_capture out;
        EXPECT_EQ(account_dialog_ok("7", "a b \"c\\\" -host=10.1.1.1"), DIALOG_OK);
        EXPECT_EQ(out.text().find("-host=10.1.1.1"), std::string::npos) << out.text();
        EXPECT_NE(out.text().find("-auth -login=7 -pass=********') : "), std::string::npos);
    }
    EXPECT_EQ(read_text_file(world.path("args.txt")),
              "-auth\n-login=7\n-pass=a b \"c\\\" -host=10.1.1.1\n");
    char line[600];
    auth_command_line("42", "pw", line, sizeof line);
    EXPECT_EQ(std::string(line),
              "\"" + world.path("varnex-update") + "\" -auth -login=42 -pass=pw");

    // An even exit refuses: the dialog stays open.
    fake_update_program(2);
    EXPECT_EQ(account_dialog_ok("43", "secret"), DIALOG_STAY_OPEN);
    EXPECT_FALSE(g_panel.settings_changed);
    EXPECT_EQ(dialog_cancel(), DIALOG_CANCEL);

    // Without the key the fields stay empty.
    ASSERT_EQ(::remove((world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg").c_str()),
              0);
    g_panel.stored_uid = 0;
    g_panel.stored_password[0] = 0;
    account_dialog_open(uid, pw);
    EXPECT_STREQ(uid, "");
    EXPECT_STREQ(pw, "");
}

TEST_F(panel_test, LimitsDialogRulesAndRestart) {
    EXPECT_EQ(text_to_int("  -5"), -5);
    EXPECT_EQ(text_to_int("12ab"), 12);
    EXPECT_EQ(text_to_int("99999999999"), 2147483647);
    EXPECT_EQ(text_to_int("-99999999999"), -2147483647 - 1);

    reg_key k;
    ASSERT_TRUE(reg_open(KEY, true, &k));
    ASSERT_TRUE(reg_set_dword(&k, "uprate", 100));
    ASSERT_TRUE(reg_set_dword(&k, "downrate", 0));
    ASSERT_TRUE(reg_set_dword(&k, "maxpeers", 7));
    reg_close(&k);
    char texts[3][16];
    limits_dialog_open(texts);
    EXPECT_STREQ(texts[0], "100");
    EXPECT_STREQ(texts[1], "") << "a limit stored as 0 shows as an empty field";
    EXPECT_STREQ(texts[2], "7");

    // Unchanged: nothing written, no restart.
    const char *same[3] = {"100", "", "7"};
    std::string before = registry_text();
    EXPECT_EQ(limits_dialog_ok(same), DIALOG_OK);
    EXPECT_FALSE(g_panel.settings_changed);
    EXPECT_EQ(registry_text(), before);

    // Empty is 0, minus 5 is its two's complement; OK restarts the service.
    g_limit_texts = {"", "-5", "3"};
    stdout_capture out;
    EXPECT_TRUE(panel_command(CMD_SET_LIMITS));
    std::string reg = registry_text();
    EXPECT_NE(reg.find("\"uprate\"=dword:00000000"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"downrate\"=dword:fffffffb"), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"maxpeers\"=dword:00000003"), std::string::npos) << reg;
    EXPECT_FALSE(g_panel.settings_changed) << "cleared after the dialog";
    std::string log = out.text();
    EXPECT_NE(log.find("ControlService(SERVICE_CONTROL_STOP, VarnexService)"), std::string::npos);
    EXPECT_NE(log.find("StartService(VarnexService"), std::string::npos) << log;

    // A dialog ended with Cancel, or OK without a change, restarts nothing.
    stdout_capture quiet;
    g_dialog_result = 2;
    panel_command(CMD_SET_ACCOUNT);
    g_limit_texts = {"", "-5", "3"};
    panel_command(CMD_SET_LIMITS);
    EXPECT_EQ(quiet.text().find("ControlService"), std::string::npos);
}

TEST_F(panel_test, ClearCacheSkipsFilesInUse) {
    std::string dir = world.temp_dir() + "/vcache";
    {
        stdout_capture out;
        clear_cache(); // no cache folder yet: logged
        EXPECT_NE(out.text().find("FindFirstFile('" + dir + "') failure : "), std::string::npos);
    }
    ASSERT_TRUE(make_dirs(dir));
    {
        stdout_capture out;
        clear_cache(); // empty: nothing logged
        EXPECT_EQ(out.text(), "");
    }
    for (const char *name :
         {"7---1.dat", "7---2.dat", "7---3.dat", "900---x.avi", "keep.txt", "7---nodot"})
        ASSERT_TRUE(write_text_file(dir + "/" + name, "data"));
    os_file held;
    ASSERT_TRUE(file_open_read((dir + "/7---2.dat").c_str(), &held));
    stdout_capture out;
    clear_cache();
    file_close(&held);
    EXPECT_EQ(out.text(), "") << "a file in use is skipped silently";
    auto exists = [&](const char *name) { return std::ifstream(dir + "/" + name).good(); };
    EXPECT_FALSE(exists("7---1.dat"));
    EXPECT_TRUE(exists("7---2.dat"));
    EXPECT_FALSE(exists("7---3.dat"));
    EXPECT_FALSE(exists("900---x.avi"));
    EXPECT_TRUE(exists("keep.txt"));
    EXPECT_TRUE(exists("7---nodot"));
    EXPECT_EQ(g_balloons.back(), "Cache has been cleared");
}

// A cache folder that is a link to another folder is not entered: nothing there is
// deleted, and the balloon still comes.
TEST_F(panel_test, ClearCacheNeverLeavesItsFolder) {
    const std::string outside = world.path("outside");
    ASSERT_TRUE(make_dirs(outside));
    ASSERT_TRUE(write_text_file(outside + "/7---1.dat", "theirs"));
    ASSERT_EQ(symlink(outside.c_str(), (world.temp_dir() + "/vcache").c_str()), 0);
    stdout_capture out;
    clear_cache();
    EXPECT_EQ(read_text_file(outside + "/7---1.dat"), "theirs");
    EXPECT_NE(out.text().find("FindFirstFile('" + world.temp_dir() + "/vcache') failure : "),
              std::string::npos)
        << out.text();
    EXPECT_EQ(g_balloons.back(), "Cache has been cleared");
}

// Waits until the listener has posted n times.
bool wait_posts(int n, int ms) {
    for (int64_t end = test_now_ms() + ms; test_now_ms() < end;) {
        if (g_posts >= n) return true;
        os_sleep_ms(10);
    }
    return g_posts >= n;
}

bool send_to_tray(const std::string &text, int delay_ms = 0) {
    msg_pipe p;
    for (int i = 0; i < 500 && !msgpipe_open(PANEL_TRAY_PIPE, &p); i++)
        os_sleep_ms(10);
    if (p.conn < 0) return false;
    if (delay_ms) os_sleep_ms(unsigned(delay_ms));
    bool ok = msgpipe_write(&p, text.c_str(), text.size() + 1) == long(text.size() + 1);
    msgpipe_close(&p);
    return ok;
}

TEST_F(panel_test, PipeMessagesBecomeBalloonsCutTo255) {
    char out[BALLOON_TEXT_SIZE];
    balloon_text_of("abc\0def", 7, out);
    EXPECT_STREQ(out, "abc");
    balloon_text_of("xyz", 3, out); // no terminator within the octets read
    EXPECT_STREQ(out, "xyz");
    // Ill-formed UTF-8 (a lone continuation, an overlong form, a cut sequence) is replaced.
    balloon_text_of("a\x80"
                    "b\xC0\xAF"
                    "c\xE2\x82",
                    8, out);
    EXPECT_STREQ(out, "a\uFFFDb\uFFFD\uFFFDc\uFFFD");

    ASSERT_EQ(panel_start_listener(), -1);
    const std::string up = "Varnex SwarmNode is Up & Running";
    std::string longer;
    while (longer.size() < 600)
        longer += "\u00E9"; // 300 characters of two octets
    ASSERT_TRUE(send_to_tray(up));
    ASSERT_TRUE(wait_posts(1, 10000));
    panel_on_pipe_data();
    ASSERT_TRUE(send_to_tray(longer));
    ASSERT_TRUE(wait_posts(2, 10000));
    os_sleep_ms(700); // a slow window thread: the listener must not post again meanwhile
    EXPECT_EQ(g_posts, 2);
    panel_on_pipe_data();
    // A client that writes only after connecting for a while is still delivered.
    ASSERT_TRUE(send_to_tray("late", 500));
    ASSERT_TRUE(wait_posts(3, 10000));
    panel_on_pipe_data();
    // A client that leaves without a text, and one that stays without writing, are
    // dropped: the texts after them are still shown.
    for (bool stays : {false, true}) {
        msg_pipe silent;
        ASSERT_TRUE(msgpipe_open(PANEL_TRAY_PIPE, &silent));
        for (int i = 0; i < 500 && silent.pending_admission; i++, os_sleep_ms(10))
            EXPECT_EQ(msgpipe_peek(&silent), 0); // until the tray has taken it in
        if (!stays) msgpipe_close(&silent);
        EXPECT_TRUE(send_to_tray(stays ? "after a mute client" : "after a silent client"));
        msgpipe_close(&silent);
        ASSERT_TRUE(wait_posts(stays ? 5 : 4, 10000));
        panel_on_pipe_data();
    }
    ASSERT_EQ(g_balloons.size(), 5u);
    EXPECT_EQ(g_balloons[0], up);
    EXPECT_EQ(g_balloons[1], longer.substr(0, 254)); // whole characters only
    EXPECT_EQ(g_balloons[2], "late");
    EXPECT_EQ(g_balloons[3], "after a silent client");
    EXPECT_EQ(g_balloons[4], "after a mute client");
}

} // namespace
