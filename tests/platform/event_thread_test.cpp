#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include <event.h>
#include <thread.h>

namespace {

using namespace std::chrono_literals;

TEST(Event, ResetModes) {
    plat::event automatic(false, true);
    EXPECT_EQ(automatic.wait(0), plat::wait_object_0);
    EXPECT_EQ(automatic.wait(0), plat::wait_timeout) << "an auto-reset event lets one wait through";

    plat::event manual(true, false, "label");
    EXPECT_EQ(manual.wait(0), plat::wait_timeout);
    manual.set();
    EXPECT_EQ(manual.wait(0), plat::wait_object_0);
    EXPECT_EQ(manual.wait(0), plat::wait_object_0) << "a manual-reset event stays set";
    manual.reset();
    EXPECT_EQ(manual.wait(10), plat::wait_timeout);
}

TEST(Event, SetWakesAWaiterOnAnotherThread) {
    plat::event stop(false, false);
    auto waiter = plat::thread::start(
        [&] { return stop.wait(plat::infinite) == plat::wait_object_0 ? 1u : 2u; });
    ASSERT_TRUE(waiter);
    EXPECT_FALSE(waiter->join(50));
    EXPECT_EQ(waiter->exit_code(), plat::still_active);
    stop.set();
    EXPECT_TRUE(waiter->join(5000));
    EXPECT_EQ(waiter->exit_code(), 1u);
}

TEST(Event, TimedWaitTakesItsTime) {
    plat::event never(true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(never.wait(60), plat::wait_timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
}

TEST(Thread, ExitCodeAfterTheRoutineEnds) {
    std::atomic<bool> release{false};
    auto worker = plat::thread::start([&] {
        while (!release)
            plat::sleep_ms(1);
        return 42u;
    });
    ASSERT_TRUE(worker);
    EXPECT_EQ(worker->exit_code(), plat::still_active);
    release = true;
    EXPECT_TRUE(worker->join(plat::infinite));
    EXPECT_EQ(worker->exit_code(), 42u);
    EXPECT_TRUE(worker->join(0)) << "joining an ended thread again is harmless";
}

TEST(Thread, ARoutineThatThrowsEndsItsThreadOnly) {
    // Without the guard the exception would reach std::thread and end the
    // process; a waiter would wait for an end that is never recorded.
    auto worker =
        plat::thread::start([]() -> uint32_t { throw std::runtime_error("routine failed"); });
    ASSERT_TRUE(worker);
    EXPECT_TRUE(worker->join(5000));
    EXPECT_EQ(worker->exit_code(), plat::thread_aborted);
}

} // namespace
