#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <new>

#include <sys/wait.h>
#include <unistd.h>

#include "os_sync.h"
#include "test_dirs.h"

namespace {

using namespace std::chrono_literals;

class OsMutex : public ::testing::Test {
  protected:
    void SetUp() override {
        use_test_dirs();
        mutex = os_mutex_new();
        ASSERT_EQ(os_mutex_open(mutex, "Global\\DAZuru11Zeriz_test"), OS_MUTEX_OK);
    }
    void TearDown() override { EXPECT_EQ(os_mutex_free(mutex), 0); }
    os_mutex* mutex = nullptr;

    // os_mutex_lock from another thread, released again when taken.
    int lock_elsewhere(uint32_t milliseconds) {
        int result = 99;
        auto thread = plat::thread::start([&] {
            result = os_mutex_lock(mutex, milliseconds);
            if (result == OS_MUTEX_OK) os_mutex_unlock(mutex);
            return 0u;
        });
        thread->join(plat::infinite);
        return result;
    }
};

TEST(OsMutexRecord, NullAndUnopenedRecordsDoNothing) {
    EXPECT_EQ(os_mutex_open(nullptr, "x"), OS_MUTEX_OK);
    EXPECT_EQ(os_mutex_lock(nullptr, plat::infinite), OS_MUTEX_OK);
    EXPECT_EQ(os_mutex_unlock(nullptr), 0);
    EXPECT_EQ(os_mutex_free(nullptr), 0);
    os_mutex* unopened = os_mutex_new();
    ASSERT_NE(unopened, nullptr);
    EXPECT_EQ(os_mutex_lock(unopened, plat::infinite), OS_MUTEX_OK) << "returns at once";
    EXPECT_EQ(unopened->lock_count, 0);
    EXPECT_EQ(os_mutex_unlock(unopened), 0);
    EXPECT_EQ(os_mutex_open(unopened, ""), OS_MUTEX_NO_HANDLE);
    EXPECT_EQ(unopened->opened, 0);
    EXPECT_EQ(os_mutex_free(unopened), 0);
}

TEST_F(OsMutex, CountsLocksAndTimesOut) {
    EXPECT_EQ(os_mutex_unlock(mutex), 0) << "count 0: nothing released";
    EXPECT_EQ(os_mutex_lock(mutex, plat::infinite), OS_MUTEX_OK);
    EXPECT_EQ(os_mutex_lock(mutex, 0), OS_MUTEX_OK);
    EXPECT_EQ(mutex->lock_count, 2);
    EXPECT_EQ(lock_elsewhere(0), OS_MUTEX_TIMEOUT);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_elsewhere(50), OS_MUTEX_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    EXPECT_EQ(os_mutex_unlock(mutex), 1);
    EXPECT_EQ(os_mutex_unlock(mutex), 0);
    EXPECT_EQ(lock_elsewhere(0), OS_MUTEX_OK);
}

TEST_F(OsMutex, UnlockFromAThreadThatDoesNotOwnItChangesNothing) {
    ASSERT_EQ(os_mutex_lock(mutex, plat::infinite), OS_MUTEX_OK);
    int result = -5;
    auto thread = plat::thread::start([&] {
        result = os_mutex_unlock(mutex);
        return 0u;
    });
    thread->join(plat::infinite);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(mutex->lock_count, 1);
    EXPECT_EQ(lock_elsewhere(0), OS_MUTEX_TIMEOUT) << "still held by this thread";
    EXPECT_EQ(os_mutex_unlock(mutex), 0);
}

TEST_F(OsMutex, FreeReleasesWhatTheCallerHolds) {
    ASSERT_EQ(os_mutex_lock(mutex, plat::infinite), OS_MUTEX_OK);
    ASSERT_EQ(os_mutex_lock(mutex, plat::infinite), OS_MUTEX_OK);
    EXPECT_EQ(os_mutex_free(mutex), 0);
    mutex = os_mutex_new();
    ASSERT_EQ(os_mutex_open(mutex, "Global\\DAZuru11Zeriz_test"), OS_MUTEX_OK);
    EXPECT_EQ(lock_elsewhere(0), OS_MUTEX_OK);
}

TEST_F(OsMutex, AbandonedByADeadProcessIsTakenOver) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        os_mutex* own = os_mutex_new();
        if (os_mutex_open(own, "Global\\DAZuru11Zeriz_test") == OS_MUTEX_OK &&
            os_mutex_lock(own, plat::infinite) == OS_MUTEX_OK)
            (void)!write(ready[1], "L", 1);
        pause(); // killed while holding the mutex
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(os_mutex_lock(mutex, 0), OS_MUTEX_TIMEOUT);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(os_mutex_lock(mutex, 1000), OS_MUTEX_OK);
    EXPECT_EQ(mutex->lock_count, 1);
    EXPECT_EQ(os_mutex_unlock(mutex), 0);
    EXPECT_EQ(lock_elsewhere(0), OS_MUTEX_OK) << "released exactly once";
}

// Thread routines: the parameter is an atomic the test reads back.
uint32_t wait_for_stop(void* seen_running) {
    os_thread* self = os_thread_current();
    static_cast<std::atomic<uint32_t>*>(seen_running)->store(self ? self->running.load() : 77);
    return os_thread_wait_stop(self, plat::infinite) == plat::wait_object_0 ? 7 : 8;
}

uint32_t poll_running(void*) {
    while (os_thread_current()->running)
        os_sleep(5);
    return 5;
}

uint32_t slow_to_stop(void* started) {
    static_cast<std::atomic<uint32_t>*>(started)->store(1);
    while (os_thread_wait_stop(os_thread_current(), 10) != plat::wait_object_0) {
    }
    os_sleep(1300); // longer than the ten polls of 100 ms
    return 9;
}

uint32_t throws(void*) {
    throw std::bad_alloc();
}

TEST(OsThread, ARoutineThatThrowsEndsAsAbortedAndIsStillStoppedAndFreed) {
    os_thread_ptr thread(os_thread_start(throws, nullptr, "throws"));
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(thread->thread->join(5000));
    EXPECT_EQ(os_thread_stop(thread.get()), plat::thread_aborted);
}

TEST(OsThread, StopEndsAThreadWaitingOnItsStopEvent) {
    std::atomic<uint32_t> seen_running{0};
    os_thread* thread = os_thread_start(wait_for_stop, &seen_running, "slot_event");
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->parameter, &seen_running);
    auto start = std::chrono::steady_clock::now();
    while (seen_running == 0 && std::chrono::steady_clock::now() - start < 5s)
        os_sleep(1);
    EXPECT_EQ(seen_running, 1u) << "the record is complete when the routine starts";
    EXPECT_EQ(thread->thread->exit_code(), plat::still_active);
    EXPECT_EQ(os_thread_stop(thread), 7u);
    EXPECT_EQ(thread->running, 0u);
    EXPECT_EQ(thread->thread, nullptr);
    EXPECT_EQ(os_thread_stop(thread), 0u) << "already stopped";
    EXPECT_EQ(os_thread_free(thread), 0);
}

TEST(OsThread, StopEndsAThreadPollingItsFlag) {
    os_thread* thread = os_thread_start(poll_running, nullptr, "poll");
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(os_thread_stop(thread), 5u);
    EXPECT_EQ(os_thread_free(thread), 0);
}

TEST(OsThread, SlowRoutineIsWaitedForNotKilled) {
    std::atomic<uint32_t> started{0};
    os_thread* thread = os_thread_start(slow_to_stop, &started, nullptr);
    ASSERT_NE(thread, nullptr);
    while (started == 0)
        os_sleep(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_thread_stop(thread), 9u) << "the routine ran to its end";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1250ms);
    EXPECT_EQ(os_thread_free(thread), 0);
}

TEST(OsThread, FreeStopsARunningThreadAndNullIsHarmless) {
    EXPECT_EQ(os_thread_stop(nullptr), 0u);
    EXPECT_EQ(os_thread_free(nullptr), 0);
    EXPECT_EQ(os_thread_wait_stop(nullptr, 0), plat::wait_failed);
    EXPECT_EQ(os_thread_start(nullptr, nullptr, "none"), nullptr);
    std::atomic<uint32_t> seen{0};
    os_thread* thread = os_thread_start(wait_for_stop, &seen, "free");
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(os_thread_free(thread), 0); // joins; ASan reports the record if it leaks
    EXPECT_EQ(os_sleep(0), 0);
}

} // namespace
