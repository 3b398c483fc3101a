#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <thread.h>

#include "gm_filters.h"
#include "mk_mutex.h"
#include "test_dirs.h"

namespace {

constexpr const char* device_mutex = "Global\\q9gm_mutex";

class MkMutex : public ::testing::Test {
  protected:
    void SetUp() override { dirs = &use_test_dirs(); }
    const test_dirs* dirs = nullptr;
};

TEST_F(MkMutex, ZeroMillisecondsOpensNothing) {
    mk_mutex mutex;
    EXPECT_EQ(mutex.lock(device_mutex, 0), mk_lock_result::not_attempted);
    EXPECT_FALSE(mutex.is_open());
    EXPECT_STREQ(mutex.name(), "");
    EXPECT_FALSE(std::filesystem::exists(plat::mutex_lock_path(device_mutex)));
}

TEST_F(MkMutex, SetNameOnlyOnce) {
    mk_mutex mutex;
    mutex.set_name(nullptr);
    EXPECT_STREQ(mutex.name(), gm_device_filter()) << "no text: the reader filter";
    mutex.set_name("other");
    EXPECT_STREQ(mutex.name(), gm_device_filter()) << "a named mutex keeps its name";

    mk_mutex open;
    ASSERT_EQ(open.lock(device_mutex, plat::infinite), mk_lock_result::locked);
    open.unlock();
    open.set_name("other");
    EXPECT_STREQ(open.name(), device_mutex);
    open.close();
    EXPECT_STREQ(open.name(), "");
    EXPECT_FALSE(open.is_open());
}

TEST_F(MkMutex, InstancesExcludeEachOtherAndTimeOut) {
    mk_mutex first;
    ASSERT_EQ(first.lock(device_mutex, plat::infinite), mk_lock_result::locked);
    ASSERT_EQ(first.lock(device_mutex, plat::infinite), mk_lock_result::locked) << "recursive";
    mk_lock_result other = mk_lock_result::failed;
    auto thread = plat::thread::start([&] {
        mk_mutex second;
        other = second.lock(device_mutex, 30);
        return 0u;
    });
    thread->join(plat::infinite);
    EXPECT_EQ(other, mk_lock_result::timed_out);
    first.unlock();
    first.unlock();
    thread = plat::thread::start([&] {
        mk_mutex second;
        mk_auto_mutex hold(&second, device_mutex);
        other = hold.locked() ? mk_lock_result::locked : mk_lock_result::failed;
        return 0u;
    });
    thread->join(plat::infinite);
    EXPECT_EQ(other, mk_lock_result::locked);
}

TEST_F(MkMutex, FailedLockIsReportedAndNotReleased) {
    const char* saved = std::getenv("TESSVIK_LOCK_DIR");
    std::string kept = saved;
    setenv("TESSVIK_LOCK_DIR", "/dev/null/locks", 1); // cannot exist
    mk_mutex mutex;
    EXPECT_EQ(mutex.lock(device_mutex, plat::infinite), mk_lock_result::failed);
    EXPECT_FALSE(mutex.is_open());
    {
        mk_auto_mutex hold(&mutex, device_mutex);
        EXPECT_FALSE(hold.locked()) << "the guarded call must not go ahead";
    }
    setenv("TESSVIK_LOCK_DIR", kept.c_str(), 1);
    mk_auto_mutex nothing(nullptr, device_mutex);
    EXPECT_TRUE(nothing.locked());
}

// In a child process without the rights to the global lock directory (as
// another user when the tests run as root).
int lock_without_rights(void* runtime_dir) {
    if (geteuid() == 0 && setuid(65534) != 0) return 10;
    setenv("XDG_RUNTIME_DIR", static_cast<const char*>(runtime_dir), 1);
    mk_mutex mutex;
    if (mutex.lock(device_mutex, plat::infinite) != mk_lock_result::locked) return 11;
    if (std::strcmp(mutex.name(), "q9gm_mutex_ex") != 0) return 12;
    mutex.unlock();
    if (mutex.lock(device_mutex, 100) != mk_lock_result::locked) return 13;
    if (std::strcmp(mutex.name(), "q9gm_mutex_ex") != 0) return 14; // kept for later locks
    mutex.unlock();
    mutex.close();
    if (mutex.name()[0] != '\0') return 15;
    return 0;
}

TEST_F(MkMutex, AccessDeniedFallsBackToTheSessionMutex) {
    { // the shared mutex exists but its directory is closed to others
        auto global = open_or_create_global_mutex(device_mutex);
        ASSERT_TRUE(global);
    }
    ASSERT_EQ(chmod(dirs->root.c_str(), 0711), 0); // the other user reaches its own directory
    ASSERT_EQ(chmod(dirs->global_dir.c_str(), 0700), 0);
    std::string runtime = dirs->root + "/other-user";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(chown(runtime.c_str(), 65534, 65534), geteuid() == 0 ? 0 : -1);
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dirs->global_dir.c_str(), 0), 0);
    }
    int result = run_in_child(lock_without_rights, runtime.data());
    chmod(dirs->global_dir.c_str(), 01777);
    chmod(dirs->root.c_str(), 0700);
    EXPECT_EQ(result, 0);
}

TEST(GmFilters, SetKeepsOnNullOrEmptyAndCuts) {
    EXPECT_STREQ(gm_device_filter(), gm_default_device_filter);
    EXPECT_STREQ(gm_oem_filter(), "vx8100");
    EXPECT_EQ(gm_set_enum_filters(nullptr, ""), 0u);
    EXPECT_STREQ(gm_device_filter(), gm_default_device_filter);
    EXPECT_STREQ(gm_oem_filter(), "vx8100");
    std::string long_filter(2000, 'r');
    std::string long_oem(100, 'o');
    gm_set_enum_filters(long_filter.c_str(), long_oem.c_str());
    EXPECT_EQ(std::strlen(gm_device_filter()), 1023u);
    EXPECT_EQ(std::strlen(gm_oem_filter()), 63u);
    gm_set_enum_filters("Virtual PCD,vid_0000&pid_0000,", "*");
    EXPECT_STREQ(gm_device_filter(), "Virtual PCD,vid_0000&pid_0000,");
    EXPECT_STREQ(gm_oem_filter(), "*");
    gm_set_enum_filters(gm_default_device_filter, gm_default_oem_filter);
}

} // namespace
