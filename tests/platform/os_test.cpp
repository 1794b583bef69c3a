// Basics: error kinds, clocks, the environment, program path, temp root and the
// runtime and registry folders.
#include "platform/os.h"
#include "tests/support/test_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

static bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(PlatformOs, ErrorKindsClocksAndEnvironment) {
    test_world world;

    EXPECT_EQ(os_error_kind_of(0), OS_E_NONE);
    EXPECT_EQ(os_error_kind_of(ENOENT), OS_E_NOT_FOUND);
    EXPECT_EQ(os_error_kind_of(EEXIST), OS_E_EXISTS);
    EXPECT_EQ(os_error_kind_of(EACCES), OS_E_ACCESS);
    EXPECT_EQ(os_error_kind_of(ETXTBSY), OS_E_SHARING);
    EXPECT_EQ(os_error_kind_of(EBUSY), OS_E_BUSY);
    EXPECT_EQ(os_error_kind_of(ECONNRESET), OS_E_CONN_RESET);
    EXPECT_EQ(os_error_kind_of(EPIPE), OS_E_CONN_RESET);
    EXPECT_EQ(os_error_kind_of(EINPROGRESS), OS_E_PENDING);
    EXPECT_EQ(os_error_kind_of(ETIMEDOUT), OS_E_TIMEOUT);
    EXPECT_EQ(os_error_kind_of(ENOTDIR), OS_E_OTHER);
    os_set_error(EMFILE);
    EXPECT_EQ(os_error(), EMFILE);

    // Local time agrees with the C library's view of now.
    os_local_time lt;
    os_local_time_now(&lt);
    time_t now = time(nullptr);
    tm parts;
    localtime_r(&now, &parts);
    EXPECT_EQ(lt.year, unsigned(parts.tm_year + 1900));
    EXPECT_EQ(lt.month, unsigned(parts.tm_mon + 1));
    EXPECT_LT(lt.millisecond, 1000u);
    EXPECT_LE(lt.hour, 23u);
    EXPECT_NEAR(double(os_time_seconds()), double(now), 2.0);

    // The tick count moves with sleeping, and sleeping lasts at least as asked.
    uint32_t t0 = os_tick_ms();
    os_sleep_ms(60);
    uint32_t waited = os_tick_ms() - t0;
    EXPECT_GE(waited, 60u);
    EXPECT_LT(waited, 5000u);
    EXPECT_EQ(os_process_id(), int(getpid()));

    char buf[OS_PATH_MAX];
    setenv("VARNEX_TEST_VALUE", "abc", 1);
    ASSERT_TRUE(os_getenv("VARNEX_TEST_VALUE", buf, sizeof buf));
    EXPECT_STREQ(buf, "abc");
    EXPECT_FALSE(os_getenv("VARNEX_TEST_VALUE", buf, 3)); // no room for the zero
    setenv("VARNEX_TEST_VALUE", "", 1);
    EXPECT_FALSE(os_getenv("VARNEX_TEST_VALUE", buf, sizeof buf));
    unsetenv("VARNEX_TEST_VALUE");
    EXPECT_FALSE(os_getenv("VARNEX_TEST_VALUE", buf, sizeof buf));

    // Program path and folder.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = 0;
    ASSERT_TRUE(os_module_path(buf, sizeof buf));
    EXPECT_STREQ(buf, exe);
    ASSERT_TRUE(os_program_dir(buf, sizeof buf));
    EXPECT_EQ(std::string(buf) + "/platform_tests", exe);
    EXPECT_EQ(bin_path("platform_helper"), std::string(buf) + "/platform_helper");
    EXPECT_FALSE(os_module_path(buf, 4));
}

TEST(PlatformOs, TempRootAndRuntimeFolders) {
    test_world world;
    char buf[OS_PATH_MAX];

    // TEMP, then TMP, then TMPDIR, then /tmp.
    ASSERT_TRUE(os_temp_root(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), world.temp_dir());
    setenv("TEMP", "/first", 1);
    setenv("TMP", "/second", 1);
    setenv("TMPDIR", "/third", 1);
    ASSERT_TRUE(os_temp_root(buf, sizeof buf));
    EXPECT_STREQ(buf, "/first");
    unsetenv("TEMP");
    ASSERT_TRUE(os_temp_root(buf, sizeof buf));
    EXPECT_STREQ(buf, "/second");
    unsetenv("TMP");
    ASSERT_TRUE(os_temp_root(buf, sizeof buf));
    EXPECT_STREQ(buf, "/third");
    unsetenv("TMPDIR");
    ASSERT_TRUE(os_temp_root(buf, sizeof buf));
    EXPECT_STREQ(buf, "/tmp");

    // The folders follow the variables and are created on first use.
    EXPECT_EQ(std::string(os_runtime_dir()), world.runtime_dir());
    EXPECT_EQ(std::string(os_registry_dir()), world.registry_dir());
    std::string run2 = world.path("other/run"), reg2 = world.path("other/reg/deep");
    setenv("VARNEX_RUNTIME_DIR", run2.c_str(), 1);
    setenv("VARNEX_REGISTRY_DIR", reg2.c_str(), 1);
    EXPECT_EQ(std::string(os_runtime_dir()), run2);
    EXPECT_EQ(std::string(os_registry_dir()), reg2);
    EXPECT_TRUE(is_dir(run2));
    EXPECT_TRUE(is_dir(reg2));

    // Per-user defaults.
    std::string xdg = world.path("xdg"), home = world.path("home");
    unsetenv("VARNEX_RUNTIME_DIR");
    unsetenv("VARNEX_REGISTRY_DIR");
    setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(std::string(os_runtime_dir()), xdg + "/varnex");
    EXPECT_EQ(std::string(os_registry_dir()), home + "/.varnex/registry");
    EXPECT_TRUE(is_dir(xdg + "/varnex"));
    EXPECT_TRUE(is_dir(home + "/.varnex/registry"));
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("HOME");
    std::string fallback = "/tmp/varnex-" + std::to_string(getuid());
    EXPECT_EQ(std::string(os_runtime_dir()), fallback);
    EXPECT_EQ(std::string(os_registry_dir()), fallback + "/registry");
}

// Without folder variables the default lies in the shared /tmp, where another local
// user could make the name first: it is used only as a real folder of its own user
// with mode 0700 (made so when missing), for the runtime and the registry alike.
TEST(PlatformOs, SharedTmpDefaultOnlyWhenPrivate) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    test_world world;
    const unsigned uid = spare_uid();
    const std::string home = "/tmp/varnex-" + std::to_string(uid), elsewhere = home + "-elsewhere";
    struct cleanup {
        std::string a, b;
        ~cleanup() {
            std::filesystem::remove_all(a);
            std::filesystem::remove_all(b);
        }
    } gone{home, elsewhere};
    std::filesystem::remove_all(home);
    auto dirs = [&](std::string *out) {
        child_run c;
        int code = -1;
        if (!c.start(world, as_user_program(),
                     as_user_without_folders(uid, bin_path("platform_helper"), {"dirs"})) ||
            !c.wait_exit(10000, &code))
            return -1;
        *out = c.log();
        return code;
    };
    std::string out;
    ASSERT_EQ(dirs(&out), 0) << out;
    EXPECT_NE(out.find("runtime=" + home + " 0\nregistry=" + home + "/registry 0"),
              std::string::npos)
        << out;
    struct stat st;
    ASSERT_EQ(lstat(home.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // Open to others, or another user's: refused.
    ASSERT_EQ(chmod(home.c_str(), 0755), 0);
    EXPECT_EQ(dirs(&out), 2);
    EXPECT_NE(out.find("runtime=refused " + std::to_string(EACCES)), std::string::npos) << out;
    ASSERT_EQ(chmod(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), 0, 0), 0);
    EXPECT_EQ(dirs(&out), 2);
    EXPECT_NE(out.find("registry=refused " + std::to_string(EPERM)), std::string::npos) << out;

    // A link, even to a private folder of the user: refused.
    std::filesystem::remove_all(home);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(chown(elsewhere.c_str(), uid, uid), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), home.c_str()), 0);
    EXPECT_EQ(dirs(&out), 2);
    EXPECT_NE(out.find("runtime=refused " + std::to_string(ENOTDIR)), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/registry"));
}
