// Files shared between a writer and readers, deletion of files in use, folder
// creation, wildcard search, folder watching and change notification.
#include "platform/fs.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

static std::string helper() {
    return bin_path("platform_helper");
}

TEST(PlatformFs, SharedReadWriteSeekSizeAndDelete) {
    test_world world;
    std::string path = world.path("12---3.dat");
    os_file missing;
    EXPECT_FALSE(file_open_read(path.c_str(), &missing));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);

    // A writer and a reader at once.
    os_file w, r;
    ASSERT_TRUE(file_open_write(path.c_str(), &w));
    EXPECT_TRUE(fcntl(int(w.handle), F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(file_write(&w, "0123456789", 10), 10);
    ASSERT_TRUE(file_open_read(path.c_str(), &r));
    char buf[32] = {};
    ASSERT_EQ(file_read(&r, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    int64_t pos = 0;
    ASSERT_TRUE(file_seek(&r, -2, FILE_FROM_CURRENT, &pos)); // relative, backwards
    EXPECT_EQ(pos, 2);
    ASSERT_EQ(file_read(&r, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "234");
    ASSERT_TRUE(file_seek(&r, -1, FILE_FROM_END, &pos));
    EXPECT_EQ(pos, 9);
    EXPECT_FALSE(file_seek(&r, -100, FILE_FROM_CURRENT, &pos));
    ASSERT_TRUE(file_seek(&r, 8, FILE_FROM_BEGIN, nullptr));
    ASSERT_EQ(file_read(&r, buf, sizeof buf), 2);
    EXPECT_EQ(file_read(&r, buf, sizeof buf), 0); // end of file
    // The writer grows the file zero-filled; the reader sees it grow.
    ASSERT_TRUE(file_set_size(&w, 8192));
    uint64_t size = 0;
    ASSERT_TRUE(file_size(&r, &size));
    EXPECT_EQ(size, 8192u);
    ASSERT_EQ(file_read(&r, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
    ASSERT_EQ(file_pwrite(&w, "XY", 2, 4096), 2);
    ASSERT_EQ(file_pread(&r, buf, 2, 4096), 2);
    EXPECT_EQ(std::string(buf, 2), "XY");
    ASSERT_TRUE(file_seek(&r, 0, FILE_FROM_CURRENT, &pos));
    EXPECT_EQ(pos, 14); // positioned reads leave the position alone
    // A second writer keeps the contents.
    os_file w2;
    ASSERT_TRUE(file_open_write(path.c_str(), &w2));
    ASSERT_TRUE(file_size(&w2, &size));
    EXPECT_EQ(size, 8192u);
    file_close(&w2);

    // In use: deletion is a sharing violation, for our own handles and another process's.
    EXPECT_FALSE(file_delete(path.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_SHARING);
    file_close(&w);
    EXPECT_FALSE(file_delete(path.c_str()));
    file_close(&r);
    EXPECT_EQ(r.handle, -1);
    child_run holder;
    ASSERT_TRUE(holder.start(world, helper(), {"hold", path}));
    ASSERT_TRUE(holder.wait_for_log("holding", 10000)) << holder.log();
    EXPECT_FALSE(file_delete(path.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_SHARING);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    holder.kill_now();
    EXPECT_TRUE(file_delete(path.c_str()));
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_FALSE(file_delete(path.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);

    // One folder level at a time.
    std::string dir = world.path("cache");
    ASSERT_TRUE(dir_create(dir.c_str()));
    EXPECT_FALSE(dir_create(dir.c_str()));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    EXPECT_FALSE(dir_create(world.path("a/b").c_str()));
    EXPECT_FALSE(file_open_read(dir.c_str(), &r)); // a folder is not a file
}

TEST(PlatformFs, WildcardSearchWithTimesAndSizes) {
    EXPECT_TRUE(wildcard_match("12---345.dat", "12---*.dat"));
    EXPECT_TRUE(wildcard_match("12---.dat", "12---*.dat"));
    EXPECT_FALSE(wildcard_match("112---3.dat", "12---*.dat"));
    EXPECT_TRUE(wildcard_match("movie77.ts", "movie77*"));
    EXPECT_TRUE(wildcard_match("a.b", "?.?"));
    EXPECT_FALSE(wildcard_match("ab.b", "?.?"));
    EXPECT_TRUE(wildcard_match("abcabd", "*abd"));
    EXPECT_TRUE(wildcard_match("anything", "*"));
    EXPECT_TRUE(wildcard_match("nodot", "*.*"));
    EXPECT_FALSE(wildcard_match("ABC", "abc"));
    EXPECT_TRUE(wildcard_match("", "*"));
    EXPECT_FALSE(wildcard_match("x", ""));

    test_world world;
    std::string dir = world.path("cache");
    make_dirs(dir);
    ASSERT_TRUE(write_text_file(dir + "/7---1.dat", "one"));
    ASSERT_TRUE(write_text_file(dir + "/7---2.dat", "twotwo"));
    ASSERT_TRUE(write_text_file(dir + "/17---1.dat", "x"));
    ASSERT_TRUE(write_text_file(dir + "/7---3.tmp", "x"));
    make_dirs(dir + "/7---9.dat");
    timespec times[2] = {{1500000000, 123456789}, {1500000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/7---2.dat").c_str(), times, 0), 0);

    dir_search s;
    dir_entry e;
    std::set<std::string> names;
    ASSERT_TRUE(dir_search_first((dir + "/7---*.dat").c_str(), &s, &e));
    do {
        names.insert(e.name);
        if (std::string(e.name) == "7---2.dat") {
            EXPECT_EQ(e.size, 6u);
            EXPECT_EQ(e.last_write_ns, 1500000000123456789LL);
            EXPECT_FALSE(e.is_dir);
        }
        if (std::string(e.name) == "7---9.dat") {
            EXPECT_TRUE(e.is_dir);
        }
    } while (dir_search_next(&s, &e));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    dir_search_close(&s);
    EXPECT_EQ(names, (std::set<std::string>{"7---1.dat", "7---2.dat", "7---9.dat"}));

    ASSERT_TRUE(dir_search_first((dir + "/17---?.dat").c_str(), &s, &e));
    EXPECT_STREQ(e.name, "17---1.dat");
    EXPECT_EQ(e.size, 1u);
    EXPECT_FALSE(dir_search_next(&s, &e));
    dir_search_close(&s);

    // Nothing matches: "not found"; a missing folder is another error.
    EXPECT_FALSE(dir_search_first((dir + "/99*").c_str(), &s, &e));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    EXPECT_FALSE(dir_search_first((dir + "/nope/7*").c_str(), &s, &e));
    EXPECT_NE(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    EXPECT_NE(os_error(), 0);
}

TEST(PlatformFs, WatchFolderRecordsOverflowAndNotification) {
    test_world world;
    std::string dir = world.path("cache");
    make_dirs(dir);
    ASSERT_TRUE(write_text_file(dir + "/old.dat", "x"));

    dir_watch w;
    ASSERT_TRUE(dirwatch_open(dir.c_str(), 4096, &w));
    dirwatch_record recs[DIRWATCH_MAX_RECORDS];
    bool signalled = true;
    EXPECT_EQ(dirwatch_read(&w, 30, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);
    EXPECT_FALSE(signalled);

    // Writes give "modified" records with the file names, once per file and read.
    os_file f;
    ASSERT_TRUE(file_open_write((dir + "/5---1.dat").c_str(), &f));
    for (int i = 0; i < 5; i++)
        file_write(&f, "data", 4);
    file_close(&f);
    ASSERT_TRUE(write_text_file(dir + "/5---2.dat", "more"));
    ASSERT_TRUE(write_text_file(dir + "/sub.txt", "")); // created, never written
    int n = dirwatch_read(&w, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    ASSERT_EQ(n, 2);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(recs[0].action, DIRWATCH_ACTION_MODIFIED);
    EXPECT_STREQ(recs[0].name, "5---1.dat");
    EXPECT_EQ(recs[1].action, DIRWATCH_ACTION_MODIFIED);
    EXPECT_STREQ(recs[1].name, "5---2.dat");
    EXPECT_EQ(dirwatch_read(&w, 0, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);
    EXPECT_FALSE(signalled);

    // A write from another thread ends a waiting read.
    std::thread writer([&] {
        os_sleep_ms(50);
        write_text_file(dir + "/old.dat", "changed");
    });
    n = dirwatch_read(&w, 5000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    writer.join();
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(recs[0].name, "old.dat");
    dirwatch_close(&w);

    // More changes than the buffer holds: no records, but signalled. A record for
    // "5---1.dat" takes 12 + 2 * 9 = 30, rounded up to 32 octets; four take 128.
    ASSERT_TRUE(dirwatch_open(dir.c_str(), 128, &w));
    for (int i = 1; i <= 4; i++)
        write_text_file(dir + "/5---" + std::to_string(i) + ".dat", "z");
    n = dirwatch_read(&w, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    EXPECT_EQ(n, 4);
    for (int i = 1; i <= 5; i++)
        write_text_file(dir + "/5---" + std::to_string(i) + ".dat", "z");
    n = dirwatch_read(&w, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(signalled);
    // More files than the caller's record array is an overflow too.
    for (int i = 1; i <= 3; i++)
        write_text_file(dir + "/5---" + std::to_string(i) + ".dat", "z");
    n = dirwatch_read(&w, 2000, recs, 2, &signalled);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(signalled);
    dirwatch_close(&w);

    // A folder removed right after a write: the records first, then the failure,
    // never a wait that lasts for ever.
    std::string doomed = world.path("doomed");
    make_dirs(doomed);
    ASSERT_TRUE(dirwatch_open(doomed.c_str(), 4096, &w));
    ASSERT_TRUE(write_text_file(doomed + "/5---9.dat", "z"));
    std::filesystem::remove_all(doomed);
    os_sleep_ms(50);
    EXPECT_EQ(dirwatch_read(&w, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled), 1);
    EXPECT_EQ(dirwatch_read(&w, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled), -1);
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);
    dirwatch_close(&w);
    EXPECT_FALSE(dirwatch_open(world.path("missing").c_str(), 4096, &w));
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_NOT_FOUND);

    // One-shot notification: fires after a write, re-arms, times out when quiet.
    dir_watch note;
    ASSERT_TRUE(dirnotify_open(dir.c_str(), &note));
    EXPECT_EQ(dirnotify_wait(&note, 30), 0);
    for (int i = 0; i < 300; i++)
        write_text_file(dir + "/m" + std::to_string(i) + ".ts", "v");
    EXPECT_EQ(dirnotify_wait(&note, 2000), 1);
    EXPECT_EQ(dirnotify_wait(&note, 30), 0);
    write_text_file(dir + "/m1.ts", "again");
    EXPECT_EQ(dirnotify_wait(&note, 2000), 1);
    dirnotify_close(&note);
}

TEST(PlatformFs, WatchByLookingReportsWrittenFilesOldestFirst) {
    test_world world;
    std::string dir = world.path("cache");
    make_dirs(dir);
    ASSERT_TRUE(write_text_file(dir + "/5---1.dat", "before"));
    static dir_poll poll; // 48 KiB: not on the stack
    ASSERT_TRUE(dirpoll_open(dir.c_str(), "5---*.dat", 50, &poll));
    dirwatch_record recs[DIRWATCH_MAX_RECORDS];
    bool signalled = true;
    // What was there at the first look is no news.
    EXPECT_EQ(dirpoll_read(&poll, 120, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);
    EXPECT_FALSE(signalled);

    // Written in the order 3, 2, 1: reported in that order, once; a file only made and
    // a file of another name give no record.
    ASSERT_TRUE(write_text_file(dir + "/5---3.dat", "three"));
    os_sleep_ms(20);
    ASSERT_TRUE(write_text_file(dir + "/5---2.dat", "two"));
    os_sleep_ms(20);
    ASSERT_TRUE(write_text_file(dir + "/5---1.dat", "changed"));
    ASSERT_TRUE(write_text_file(dir + "/5---4.dat", ""));
    ASSERT_TRUE(write_text_file(dir + "/6---1.dat", "other"));
    int n = dirpoll_read(&poll, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    ASSERT_EQ(n, 3);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(recs[0].action, DIRWATCH_ACTION_MODIFIED);
    EXPECT_STREQ(recs[0].name, "5---3.dat");
    EXPECT_STREQ(recs[1].name, "5---2.dat");
    EXPECT_STREQ(recs[2].name, "5---1.dat");
    EXPECT_EQ(dirpoll_read(&poll, 120, recs, DIRWATCH_MAX_RECORDS, &signalled), 0);

    // A write from another thread ends a waiting read; the made file counts once written.
    std::thread writer([&] {
        os_sleep_ms(100);
        write_text_file(dir + "/5---4.dat", "now");
    });
    n = dirpoll_read(&poll, 5000, recs, DIRWATCH_MAX_RECORDS, &signalled);
    writer.join();
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(recs[0].name, "5---4.dat");

    // More changed files than records: signalled, none.
    for (int i = 1; i <= 3; i++)
        write_text_file(dir + "/5---" + std::to_string(i) + ".dat", "again" + std::to_string(i));
    EXPECT_EQ(dirpoll_read(&poll, 2000, recs, 2, &signalled), 0);
    EXPECT_TRUE(signalled);

    // The folder gone: a failure, not a wait for ever; a missing folder cannot be opened.
    std::filesystem::remove_all(dir);
    EXPECT_EQ(dirpoll_read(&poll, 2000, recs, DIRWATCH_MAX_RECORDS, &signalled), -1);
    EXPECT_FALSE(dirpoll_open(dir.c_str(), "5---*.dat", 50, &poll));
    // The errors of an exhausted watch fall back to looking; a missing folder does not.
    EXPECT_TRUE(dirwatch_unavailable(EMFILE));
    EXPECT_TRUE(dirwatch_unavailable(ENOSPC));
    EXPECT_FALSE(dirwatch_unavailable(ENOENT));
}
