// Loading and unloading the module while its slot-event thread runs: the
// thread is stopped cleanly at unload, and the module can be loaded again.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "wait_until.h"

namespace {

// Application lock callbacks: the library's named mutex keeps a process-wide
// registry in the platform layer that is meant to live for the whole process,
// which the leak checker would report once the module is unmapped.
std::mutex* live_mutex = nullptr; // the application owns it until DestroyMutex
CK_RV app_create(CK_VOID_PTR_PTR pp) {
    live_mutex = new std::mutex;
    *pp = live_mutex;
    return CKR_OK;
}
CK_RV app_destroy(CK_VOID_PTR p) {
    delete static_cast<std::mutex*>(p);
    live_mutex = nullptr;
    return CKR_OK;
}
CK_RV app_lock(CK_VOID_PTR p) {
    static_cast<std::mutex*>(p)->lock();
    return CKR_OK;
}
CK_RV app_unlock(CK_VOID_PTR p) {
    static_cast<std::mutex*>(p)->unlock();
    return CKR_OK;
}
CK_C_INITIALIZE_ARGS args = {app_create, app_destroy, app_lock, app_unlock, 0, nullptr};

TEST(ModuleUnload, UnloadStopsTheSlotEventThread) {
    // No card may come or go in the lane's readers meanwhile.
    ASSERT_TRUE(cardsim::test::hold_pcscd_test_lock()) << cardsim::test::lane_lock_path();
    const int base = thread_count();
    for (int round = 0; round < 3; ++round) {
        loaded_module mod;
        std::string error;
        ASSERT_TRUE(mod.load(&error)) << error;
        ASSERT_EQ(mod.f->C_Initialize(&args), CKR_OK);
        CK_SLOT_ID slot;
        EXPECT_EQ(mod.f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
        // The slot-event thread runs; the reader watch it starts for its
        // first device-event wait may already run beside it.
        const int running = thread_count();
        EXPECT_GE(running, base + 1) << "round " << round;
        EXPECT_LE(running, base + 2) << "round " << round;
        // Rounds 0 and 2 unload without C_Finalize (the application's lock is
        // then left to the application).
        if (round == 1) {
            EXPECT_EQ(mod.f->C_Finalize(nullptr), CKR_OK);
        }
        mod.unload();
        // The slot-event thread was joined, but the kernel may list an ended
        // thread in /proc/self/task for a moment after the join returns.
        EXPECT_TRUE(test_support::wait_until([&] { return thread_count() == base; },
                                             std::chrono::seconds(5)))
            << "round " << round << ": " << thread_count() << " threads, expected " << base;
        delete live_mutex;
        live_mutex = nullptr;
    }
}

// The slot-event thread scans the readers before its first device-event wait,
// and that scan may still be under way when the module is unloaded. It goes on
// during the unload (the hook holds it until the unload has begun) and must
// find the device layer's objects standing: they go only after the thread has
// been stopped.
TEST(ModuleUnload, ScanUnderWayAtUnloadFindsTheDeviceLayer) {
    ASSERT_TRUE(cardsim::test::hold_pcscd_test_lock()) << cardsim::test::lane_lock_path();
    const int base = thread_count();
    loaded_module mod;
    std::string error;
    ASSERT_TRUE(mod.load(&error)) << error;
    ASSERT_EQ(mod.f->C_Initialize(&args), CKR_OK);
    ASSERT_TRUE(hold_reader_listing(mod)) << "the module has no hook to hold a reader listing";
    CK_SLOT_ID slot;
    EXPECT_EQ(mod.f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    ASSERT_TRUE(test_support::wait_until([&] { return reader_listing_held(mod) == 1; },
                                         std::chrono::seconds(10)))
        << "the slot-event thread never listed the readers";
    mod.unload();
    EXPECT_TRUE(
        test_support::wait_until([&] { return thread_count() == base; }, std::chrono::seconds(5)))
        << thread_count() << " threads, expected " << base;
    delete live_mutex;
    live_mutex = nullptr;
}

// A thread blocked in C_WaitForSlotEvent is released by C_Finalize before unload.
TEST(ModuleUnload, BlockedWaiterReleasedThenUnloaded) {
    ASSERT_TRUE(cardsim::test::hold_pcscd_test_lock()) << cardsim::test::lane_lock_path();
    loaded_module mod;
    std::string error;
    ASSERT_TRUE(mod.load(&error)) << error;
    ASSERT_EQ(mod.f->C_Initialize(&args), CKR_OK);
    CK_RV waited = CKR_OK;
    CK_SLOT_ID slot;
    std::thread waiter([&] { waited = mod.f->C_WaitForSlotEvent(0, &slot, nullptr); });
    // C_Finalize must find the waiter inside its wait, not before it.
    const bool waiting = test_support::wait_until([&] { return slot_event_waiters(mod) == 1; },
                                                  std::chrono::seconds(10));
    EXPECT_TRUE(waiting) << "the waiter never entered C_WaitForSlotEvent's wait";
    EXPECT_EQ(mod.f->C_Finalize(nullptr), CKR_OK);
    waiter.join();
    EXPECT_EQ(waited, CKR_CRYPTOKI_NOT_INITIALIZED);
    mod.unload();
}

} // namespace
