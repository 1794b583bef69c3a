// The movie streamers' read positions: records written and read back, slots taken
// by process, stale and hostile records passed over, offsets clamped to the movie.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/fs.h"
#include "platform/os.h"
#include "tests/support/test_support.h"
#include "utils/read_position.h"

namespace {

std::string pos_file(int32_t cid) {
    char path[OS_PATH_MAX + 32];
    EXPECT_TRUE(read_pos_path(cid, path, sizeof path));
    return path;
}

} // namespace

TEST(ReadPosition, RecordsOfTwoStreamersAreReadBackWaitingFirst) {
    test_world world;
    const uint32_t now = 5000;
    read_pos_writer a, b;
    ASSERT_TRUE(read_pos_open(&a, 31, 1001, now));
    EXPECT_EQ(a.slot, 1001 % READ_POS_SLOTS);
    read_pos_note(&a, 1000, 50000, false, now);
    ASSERT_TRUE(read_pos_open(&b, 31, 1009, now)); // the same home slot, taken: another
    EXPECT_NE(b.slot, a.slot);
    read_pos_note(&b, 40000, 50000, true, now);
    uint64_t at[4] = {0};
    ASSERT_EQ(read_pos_fresh(31, 50000, now + 10, at, 4), 2);
    EXPECT_EQ(at[0], 40000u); // the waiting one first
    EXPECT_EQ(at[1], 1000u);
    // Only the waiting one, for a caller that has room for one.
    ASSERT_EQ(read_pos_fresh(31, 50000, now + 10, at, 1), 1);
    EXPECT_EQ(at[0], 40000u);
    // Another CID's file is another file.
    EXPECT_EQ(read_pos_fresh(32, 50000, now, at, 4), 0);
    read_pos_close(&a);
    ASSERT_EQ(read_pos_fresh(31, 50000, now + 10, at, 4), 1);
    EXPECT_EQ(at[0], 40000u);
    read_pos_close(&b);
    EXPECT_EQ(read_pos_fresh(31, 50000, now + 10, at, 4), 0);
    EXPECT_EQ(read_text_file(pos_file(31)).size(), size_t(READ_POS_FILE));
}

TEST(ReadPosition, WritesAreSpacedUnlessTheWaitChanges) {
    test_world world;
    read_pos_writer w;
    ASSERT_TRUE(read_pos_open(&w, 5, 77, 100));
    read_pos_note(&w, 10, 1000, false, 100);
    read_pos_note(&w, 20, 1000, false, 200); // too soon: the file keeps 10
    uint64_t at = 0;
    ASSERT_EQ(read_pos_fresh(5, 1000, 250, &at, 1), 1);
    EXPECT_EQ(at, 10u);
    read_pos_note(&w, 30, 1000, true, 260); // starts to wait: at once
    ASSERT_EQ(read_pos_fresh(5, 1000, 270, &at, 1), 1);
    EXPECT_EQ(at, 30u);
    read_pos_note(&w, 40, 1000, false, 100 + 260 + READ_POS_EVERY_MS);
    ASSERT_EQ(read_pos_fresh(5, 1000, 900, &at, 1), 1);
    EXPECT_EQ(at, 40u);
    // A streamer that stops writing goes stale.
    EXPECT_EQ(read_pos_fresh(5, 1000, 860 + READ_POS_FRESH_MS + 1, &at, 1), 0);
    read_pos_close(&w);
}

TEST(ReadPosition, HostileFilesArePassedOverOrClamped) {
    test_world world;
    const std::string path = pos_file(9);
    uint64_t at[READ_POS_SLOTS + 4];
    // Garbage, a short file, an empty one.
    ASSERT_TRUE(write_text_file(path, std::string(READ_POS_FILE, 'x')));
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    ASSERT_TRUE(write_text_file(path, "KVTp"));
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    ASSERT_TRUE(write_text_file(path, ""));
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    // Every slot well formed, fresh and far beyond the movie; a file longer than the
    // slots; and a record with process id 0.
    std::string all;
    for (int i = 0; i < READ_POS_SLOTS + 2; i++) {
        read_pos r{uint32_t(i + 1), 10, 0, ~0ull - uint64_t(i), 0};
        uint8_t rec[READ_POS_RECORD];
        read_pos_encode(r, rec);
        all.append(reinterpret_cast<char *>(rec), sizeof rec);
    }
    ASSERT_TRUE(write_text_file(path, all));
    ASSERT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS + 4), READ_POS_SLOTS);
    for (int i = 0; i < READ_POS_SLOTS; i++)
        EXPECT_EQ(at[i], 999u);
    EXPECT_EQ(read_pos_fresh(9, 0, 10, at, READ_POS_SLOTS), 0); // no movie size yet
    all.replace(4, 4, std::string(4, '\0'));
    ASSERT_TRUE(write_text_file(path, all));
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), READ_POS_SLOTS - 1);
    // A folder, a FIFO (never waited on) and a link in its place.
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    read_pos_writer w;
    EXPECT_FALSE(read_pos_open(&w, 9, 5, 10));
    read_pos_note(&w, 1, 1000, true, 10); // a writer without a file notes nothing
    read_pos_close(&w);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_TRUE(write_text_file(world.path("elsewhere"), all));
    ASSERT_EQ(symlink(world.path("elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(read_pos_fresh(9, 1000, 10, at, READ_POS_SLOTS), 0);
    EXPECT_FALSE(read_pos_open(&w, 9, 5, 10));
}
