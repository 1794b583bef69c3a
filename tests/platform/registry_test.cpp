// The settings store: key files in the REGEDIT4 text form, typed values, damaged
// files, writers killed in the middle of a write, and a key file that cannot be read.
#include "platform/os.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex";

TEST(PlatformRegistry, TypedValuesInTheTextForm) {
    test_world world;
    std::string file = world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg";
    reg_key k;
    EXPECT_FALSE(reg_open(KEY, false, &k));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    ASSERT_TRUE(reg_open(KEY, true, &k));
    EXPECT_EQ(std::string(k.path), file);
    EXPECT_EQ(read_text_file(file), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n");

    ASSERT_TRUE(reg_set_string(&k, "CachePath", "/var/cache"));
    ASSERT_TRUE(reg_set_dword(&k, "UserName", 42));
    ASSERT_TRUE(reg_set_string(&k, "Odd", "C:\\dir \"quoted\""));
    EXPECT_EQ(read_text_file(file), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n"
                                    "\"CachePath\"=\"/var/cache\"\n"
                                    "\"UserName\"=dword:0000002a\n"
                                    "\"Odd\"=\"C:\\\\dir \\\"quoted\\\"\"\n");
    // Setting again replaces in place; names compare without case.
    ASSERT_TRUE(reg_set_dword(&k, "username", 0xdeadbeef));
    EXPECT_NE(read_text_file(file).find("\"UserName\"=dword:deadbeef\n\"Odd\""), std::string::npos)
        << read_text_file(file);
    reg_close(&k);

    ASSERT_TRUE(reg_open(KEY, false, &k));
    reg_type type = REG_T_NONE;
    char buf[64];
    uint32_t size = sizeof buf;
    ASSERT_TRUE(reg_query(&k, "CachePath", &type, buf, &size));
    EXPECT_EQ(type, REG_T_SZ);
    EXPECT_EQ(size, 11u); // with the zero
    EXPECT_STREQ(buf, "/var/cache");
    size = sizeof buf;
    ASSERT_TRUE(reg_query(&k, "Odd", &type, buf, &size));
    EXPECT_STREQ(buf, "C:\\dir \"quoted\"");
    uint32_t v = 0;
    size = sizeof v;
    ASSERT_TRUE(reg_query(&k, "USERNAME", &type, &v, &size));
    EXPECT_EQ(type, REG_T_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(v, 0xdeadbeefu);
    // Too small a buffer, a size-only query, a missing value.
    size = 5;
    EXPECT_FALSE(reg_query(&k, "CachePath", &type, buf, &size));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_OTHER);
    EXPECT_EQ(size, 11u);
    size = 0;
    ASSERT_TRUE(reg_query(&k, "CachePath", &type, nullptr, &size));
    EXPECT_EQ(size, 11u);
    size = sizeof buf;
    EXPECT_FALSE(reg_query(&k, "Missing", &type, buf, &size));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    // A key opened for reading is not written.
    EXPECT_FALSE(reg_set_dword(&k, "X", 1));
    reg_close(&k);

    ASSERT_TRUE(reg_open(KEY, true, &k));
    ASSERT_TRUE(reg_delete_value(&k, "Odd"));
    EXPECT_FALSE(reg_delete_value(&k, "Odd"));
    EXPECT_FALSE(reg_set_string(&k, "Bad", "two\nlines"));
    EXPECT_EQ(read_text_file(file), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n"
                                    "\"CachePath\"=\"/var/cache\"\n"
                                    "\"UserName\"=dword:deadbeef\n");
    reg_close(&k);
    EXPECT_FALSE(reg_open("HKEY_LOCAL_MACHINE\\..\\x", true, &k));
    EXPECT_FALSE(reg_open("", true, &k));
}

TEST(PlatformRegistry, DamagedFilesAreReadSafely) {
    test_world world;
    std::string dir = world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE";
    make_dirs(dir);
    // A file edited by hand, with CR LF endings and lines that do not parse.
    ASSERT_TRUE(write_text_file(dir + "/Varnex.reg",
                                "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\r\n"
                                "\"Good\"=dword:00000007\r\n"
                                "\"NoEnd\"=\"unterminated\r\n"
                                "\"Long\"=dword:123456789\r\n"
                                "\"Hex\"=dword:zz\r\n"
                                "garbage line\r\n"
                                "\"Trailing\"=\"x\" y\r\n"
                                "=\"no name\"\r\n"
                                "\"Text\"=\"fine\"\r\n"
                                "\"Cut\"=dwo"));
    reg_key k;
    ASSERT_TRUE(reg_open(KEY, true, &k));
    uint32_t v = 0, size = 4;
    reg_type type;
    ASSERT_TRUE(reg_query(&k, "Good", &type, &v, &size));
    EXPECT_EQ(v, 7u);
    char buf[32];
    size = sizeof buf;
    ASSERT_TRUE(reg_query(&k, "Text", &type, buf, &size));
    EXPECT_STREQ(buf, "fine");
    for (const char *bad : {"NoEnd", "Long", "Hex", "Trailing", "Cut"}) {
        size = sizeof buf;
        EXPECT_FALSE(reg_query(&k, bad, &type, buf, &size)) << bad;
    }
    // The next write leaves a clean file with the values that parsed.
    ASSERT_TRUE(reg_set_dword(&k, "New", 1));
    EXPECT_EQ(read_text_file(dir + "/Varnex.reg"),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n"
              "\"Good\"=dword:00000007\n\"Text\"=\"fine\"\n\"New\"=dword:00000001\n");

    // Binary junk never crashes the reader.
    std::string junk;
    for (int i = 0; i < 5000; i++)
        junk.push_back(char((i * 131 + 7) % 256));
    ASSERT_TRUE(write_text_file(dir + "/Varnex.reg", junk));
    size = sizeof buf;
    EXPECT_FALSE(reg_query(&k, "Good", &type, buf, &size));
    reg_close(&k);
}

TEST(PlatformRegistry, WriterKilledMidWriteLeavesOldOrNew) {
    test_world world;
    std::string file = world.registry_dir() + "/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg";
    std::string a(3000, 'a'), b(3000, 'b');
    for (int round = 0; round < 6; round++) {
        child_run writer;
        ASSERT_TRUE(writer.start(world, bin_path("platform_helper"), {"regloop", KEY}));
        ASSERT_TRUE(writer.wait_for_log("writing", 10000)) << writer.log();
        usleep(useconds_t(20000 + round * 7000));
        writer.kill_now();
        EXPECT_EQ(writer.exit_code, 128 + SIGKILL) << writer.log();

        std::string text = read_text_file(file);
        std::string header = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n";
        ASSERT_EQ(text.compare(0, header.size(), header), 0) << text.substr(0, 200);
        reg_key k;
        ASSERT_TRUE(reg_open(KEY, false, &k));
        std::vector<char> buf(4000);
        uint32_t size = uint32_t(buf.size());
        reg_type type;
        ASSERT_TRUE(reg_query(&k, "Value", &type, buf.data(), &size));
        std::string value(buf.data());
        EXPECT_TRUE(value == a || value == b) << value.size();
        uint32_t count = 0;
        size = 4;
        EXPECT_TRUE(reg_query(&k, "Count", &type, &count, &size) || count == 0);
        reg_close(&k);
    }
}

// A key file that exists but cannot be read (here: not readable by its user) is not
// "no file yet": a write fails and leaves the account in it as it was.
TEST(PlatformRegistry, UnreadableKeyFileIsNotReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    test_world world;
    const unsigned uid = spare_uid();
    const std::string home = "/tmp/varnex-" + std::to_string(uid);
    struct cleanup {
        std::string dir;
        ~cleanup() { std::filesystem::remove_all(dir); }
    } gone{home};
    std::filesystem::remove_all(home);
    auto regset = [&](const char *value, std::string *out) {
        child_run c;
        int code = -1;
        if (!c.start(world, as_user_program(),
                     as_user_without_folders(uid, bin_path("platform_helper"),
                                             {"regset", KEY, "Uprate", value})) ||
            !c.wait_exit(10000, &code))
            return -1;
        *out = c.log();
        return code;
    };
    std::string out;
    ASSERT_EQ(regset("1", &out), 0) << out; // makes the user's folders and the key
    const std::string file = home + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg";
    const std::string account = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex]\n"
                                "\"UserName\"=dword:000004d2\n"
                                "\"Password\"=\"0123456789abcdef0123456789abcdef01234567\"\n";
    ASSERT_TRUE(write_text_file(file, account));
    ASSERT_EQ(chmod(file.c_str(), 0200), 0);

    EXPECT_EQ(regset("5", &out), 2);
    EXPECT_NE(out.find("set failed " + std::to_string(EACCES)), std::string::npos) << out;
    EXPECT_EQ(read_text_file(file), account);

    // Readable again: the value joins the account.
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(regset("5", &out), 0) << out;
    EXPECT_EQ(read_text_file(file), account + "\"Uprate\"=dword:00000005\n");
}
