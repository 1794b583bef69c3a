// Named mutexes and semaphores across processes: "already exists" while another
// process holds them, free again when the holder ends, also by SIGKILL.
#include "platform/named_object.h"
#include "platform/os.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

static std::string helper() {
    return bin_path("platform_helper");
}

TEST(PlatformNamedObject, MutexAcrossProcesses) {
    test_world world;
    const char *name = "Global\\Varnex KVT-Keeper";
    EXPECT_FALSE(named_object_exists(name));

    child_run holder;
    ASSERT_TRUE(holder.start(world, helper(), {"mutex", name}));
    ASSERT_TRUE(holder.wait_for_log("created", 10000)) << holder.log();
    EXPECT_TRUE(named_object_exists(name));
    EXPECT_TRUE(named_object_exists(name)); // probing holds nothing

    named_object obj;
    EXPECT_EQ(named_mutex_create(name, &obj), NAMED_EXISTS);
    EXPECT_EQ(os_error_kind_of(os_error()), OS_E_EXISTS);
    EXPECT_EQ(obj.handle, -1);
    // '\' and '/' make one flat name, distinct from other names.
    named_object other;
    ASSERT_EQ(named_mutex_create("Varnex KVT-Marshal", &other), NAMED_CREATED);
    EXPECT_EQ(os_error(), 0);

    // The holder is killed: the name is free at once.
    holder.kill_now();
    EXPECT_FALSE(named_object_exists(name));
    ASSERT_EQ(named_mutex_create(name, &obj), NAMED_CREATED);
    EXPECT_TRUE(named_object_exists(name));

    // Now we hold it, and another process is told it exists.
    child_run second;
    ASSERT_TRUE(second.start(world, helper(), {"mutex", name}));
    ASSERT_TRUE(second.wait_for_log("exists", 10000)) << second.log();
    second.kill_now();
    // Within one process too, a second creation is refused while held.
    named_object again;
    EXPECT_EQ(named_mutex_create(name, &again), NAMED_EXISTS);
    named_object_close(&obj);
    EXPECT_EQ(obj.handle, -1);
    EXPECT_FALSE(named_object_exists(name));
    named_object_close(&other);
}

TEST(PlatformNamedObject, SemaphoreManyHolders) {
    test_world world;
    const char *name = "Global\\Corvane-TV-CID=42";
    child_run first, second;
    ASSERT_TRUE(first.start(world, helper(), {"semaphore", name}));
    ASSERT_TRUE(first.wait_for_log("created", 10000)) << first.log();
    ASSERT_TRUE(second.start(world, helper(), {"semaphore", name}));
    ASSERT_TRUE(second.wait_for_log("exists", 10000)) << second.log();
    EXPECT_TRUE(named_object_exists(name));

    named_object mine;
    EXPECT_EQ(named_semaphore_create(name, &mine), NAMED_EXISTS);
    EXPECT_GE(mine.handle, 0); // held all the same

    // It exists as long as any holder lives.
    first.kill_now();
    EXPECT_TRUE(named_object_exists(name));
    named_object_close(&mine);
    EXPECT_TRUE(named_object_exists(name));
    second.kill_now();
    EXPECT_FALSE(named_object_exists(name));

    ASSERT_EQ(named_semaphore_create(name, &mine), NAMED_CREATED);
    EXPECT_TRUE(named_object_exists(name));
    named_object_close(&mine);
    EXPECT_FALSE(named_object_exists("Global\\Corvane-TV-CID=43"));
}
