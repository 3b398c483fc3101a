// C_Initialize / C_Finalize and the library lock: the application's callbacks,
// the library's own named lock across processes, and lock failures.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

// Counting application callbacks over a std::mutex.
struct app_lock_counters {
    std::atomic<int> created{0}, destroyed{0}, locked{0}, unlocked{0}, destroyed_while_held{0};
    std::atomic<CK_RV> lock_result{CKR_OK};
    std::atomic<CK_RV> create_result{CKR_OK};
    void reset() {
        created = destroyed = locked = unlocked = destroyed_while_held = 0;
        lock_result = CKR_OK;
        create_result = CKR_OK;
    }
} counters;

CK_RV app_create(CK_VOID_PTR_PTR pp) {
    ++counters.created;
    if (counters.create_result != CKR_OK) return counters.create_result;
    *pp = new std::mutex;
    return CKR_OK;
}
CK_RV app_destroy(CK_VOID_PTR p) {
    ++counters.destroyed;
    auto* m = static_cast<std::mutex*>(p);
    if (m->try_lock()) {
        m->unlock();
    } else {
        ++counters.destroyed_while_held;
    }
    delete m;
    return CKR_OK;
}
CK_RV app_lock(CK_VOID_PTR p) {
    if (counters.lock_result != CKR_OK) return counters.lock_result;
    static_cast<std::mutex*>(p)->lock();
    ++counters.locked;
    return CKR_OK;
}
CK_RV app_unlock(CK_VOID_PTR p) {
    ++counters.unlocked;
    static_cast<std::mutex*>(p)->unlock();
    return CKR_OK;
}

CK_C_INITIALIZE_ARGS app_args() {
    return {app_create, app_destroy, app_lock, app_unlock, 0, nullptr};
}

struct init_case {
    const char* name;
    CK_C_INITIALIZE_ARGS args;
    bool null_args;
    CK_RV expected;
};

void PrintTo(const init_case& c, std::ostream* os) {
    *os << c.name;
}

class InitTest : public ModuleTest, public ::testing::WithParamInterface<init_case> {};

TEST_P(InitTest, InitialiseThenFinalise) {
    const init_case& c = GetParam();
    CK_C_INITIALIZE_ARGS args = c.args;
    EXPECT_EQ(f->C_Initialize(c.null_args ? nullptr : &args), c.expected);
    if (c.expected == CKR_OK) {
        EXPECT_EQ(f->C_Initialize(c.null_args ? nullptr : &args), CKR_CRYPTOKI_ALREADY_INITIALIZED);
        CK_INFO info;
        EXPECT_EQ(f->C_GetInfo(&info), CKR_OK);
        EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    } else {
        CK_INFO info; // a refused initialisation leaves the library uninitialised
        EXPECT_EQ(f->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    }
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

int reserved_marker;
INSTANTIATE_TEST_SUITE_P(
    Cases, InitTest,
    ::testing::Values(
        init_case{"null_args", {}, true, CKR_OK},
        init_case{"no_callbacks", {nullptr, nullptr, nullptr, nullptr, 0, nullptr}, false, CKR_OK},
        init_case{"os_locking_ok",
                  {nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr},
                  false,
                  CKR_OK},
        init_case{"app_callbacks",
                  {app_create, app_destroy, app_lock, app_unlock, 0, nullptr},
                  false,
                  CKR_OK},
        init_case{"app_callbacks_and_os_locking",
                  {app_create, app_destroy, app_lock, app_unlock, CKF_OS_LOCKING_OK, nullptr},
                  false,
                  CKR_OK},
        init_case{"one_callback",
                  {app_create, nullptr, nullptr, nullptr, 0, nullptr},
                  false,
                  CKR_ARGUMENTS_BAD},
        init_case{"two_callbacks",
                  {app_create, nullptr, app_lock, nullptr, 0, nullptr},
                  false,
                  CKR_ARGUMENTS_BAD},
        init_case{"three_callbacks",
                  {nullptr, app_destroy, app_lock, app_unlock, 0, nullptr},
                  false,
                  CKR_ARGUMENTS_BAD},
        init_case{"reserved_set",
                  {nullptr, nullptr, nullptr, nullptr, 0, &reserved_marker},
                  false,
                  CKR_ARGUMENTS_BAD}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModuleTest, FinalizeChecksItsArgumentFirst) {
    int reserved = 0;
    EXPECT_EQ(f->C_Finalize(&reserved), CKR_ARGUMENTS_BAD); // not CKR_CRYPTOKI_NOT_INITIALIZED
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    init();
    EXPECT_EQ(f->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

// The application's callbacks make the one lock, and every locked export takes
// and releases it once; the lock-free exports do not touch it.
TEST_F(ModuleTest, ApplicationCallbacksAreUsedForEveryLockedExport) {
    counters.reset();
    CK_C_INITIALIZE_ARGS args = app_args();
    ASSERT_EQ(f->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(counters.created, 1);

    CK_SLOT_INFO slot_info;
    CK_ULONG count = 0;
    CK_INFO info;
    CK_SESSION_HANDLE session;
    EXPECT_EQ(f->C_GetSlotInfo(0, &slot_info), CKR_OK);
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(f->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_SLOT_ID_INVALID);
    EXPECT_EQ(m->M_SetEnumString(nullptr, nullptr, nullptr), CKR_OK);
    EXPECT_EQ(counters.locked, 5);
    EXPECT_EQ(counters.unlocked, 5);

    CK_FUNCTION_LIST* list;
    M_FUNCTION_LIST* ext;
    EXPECT_EQ(f->C_GetFunctionList(&list), CKR_OK);
    EXPECT_EQ(m->M_GetExtFunctionList(&ext), CKR_OK);
    EXPECT_EQ(counters.locked, 5);

    // C_Finalize holds the lock once, while it ends the sessions.
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(counters.destroyed, 1);
    EXPECT_EQ(counters.locked, 6);
    EXPECT_EQ(counters.unlocked, 6);
    // Between C_Finalize and C_Initialize the callbacks are no longer used.
    EXPECT_EQ(f->C_GetSlotInfo(0, &slot_info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(counters.locked, 6);
}

// C_Finalize destroys the lock only once no thread is inside a locked export,
// even when another thread keeps calling exports across the cycle (ASan would
// report a use of the destroyed lock).
TEST_F(ModuleTest, FinalizeNeverDestroysALockInUse) {
    counters.reset();
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::thread caller([&] {
        CK_SLOT_INFO info;
        while (!stop) {
            const CK_RV rv = f->C_GetSlotInfo(1, &info);
            EXPECT_TRUE(rv == CKR_OK || rv == CKR_CRYPTOKI_NOT_INITIALIZED) << rv;
            ++calls;
        }
    });
    CK_C_INITIALIZE_ARGS args = app_args();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(f->C_Initialize(&args), CKR_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    }
    stop = true;
    caller.join();
    EXPECT_GT(calls, 0);
    EXPECT_EQ(counters.created, 50);
    EXPECT_EQ(counters.destroyed, 50);
    EXPECT_EQ(counters.destroyed_while_held, 0);
    EXPECT_EQ(counters.locked, counters.unlocked);
}

// A lock that cannot be taken is the export's answer; nothing runs, nothing is released.
TEST_F(ModuleTest, FailedLockWaitIsReported) {
    counters.reset();
    CK_C_INITIALIZE_ARGS args = app_args();
    ASSERT_EQ(f->C_Initialize(&args), CKR_OK);
    counters.lock_result = CKR_CANT_LOCK;
    CK_SLOT_INFO slot_info;
    std::memset(&slot_info, 0xA5, sizeof slot_info);
    EXPECT_EQ(f->C_GetSlotInfo(0, &slot_info), CKR_CANT_LOCK);
    EXPECT_EQ(slot_info.flags, ~0UL & 0xA5A5A5A5A5A5A5A5UL); // untouched
    EXPECT_EQ(counters.unlocked, 0);
    counters.lock_result = CKR_OK;
    EXPECT_EQ(f->C_GetSlotInfo(0, &slot_info), CKR_OK);
}

// A lock that cannot be created is reported and leaves the library uninitialised.
TEST_F(ModuleTest, FailedLockCreationIsReported) {
    counters.reset();
    counters.create_result = CKR_HOST_MEMORY;
    CK_C_INITIALIZE_ARGS args = app_args();
    EXPECT_EQ(f->C_Initialize(&args), CKR_HOST_MEMORY);
    CK_INFO info;
    EXPECT_EQ(f->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    counters.create_result = CKR_OK;
    EXPECT_EQ(f->C_Initialize(&args), CKR_OK);
}

// ---- the default lock serialises processes ----

// Runs the lock-holder helper on the named mutex; returns once it holds it.
class lock_holder {
  public:
    lock_holder(const std::string& name, int hold_ms) {
        const std::string cmd =
            std::string(TESSVIK_LOCK_HOLDER) + " '" + name + "' " + std::to_string(hold_ms);
        pipe_ = popen(cmd.c_str(), "r");
        char line[64] = {};
        locked_ = pipe_ != nullptr && std::fgets(line, sizeof line, pipe_) != nullptr &&
                  std::string(line) == "locked\n";
    }
    ~lock_holder() { finish(); }
    bool locked() const { return locked_; }
    int finish() {
        if (pipe_ == nullptr) return -1;
        const int rc = pclose(pipe_);
        pipe_ = nullptr;
        return rc;
    }

  private:
    FILE* pipe_ = nullptr;
    bool locked_ = false;
};

std::chrono::milliseconds timed_slot_info(CK_FUNCTION_LIST* f, CK_RV* rv) {
    CK_SLOT_INFO info;
    const auto start = std::chrono::steady_clock::now();
    *rv = f->C_GetSlotInfo(0, &info);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

struct lock_case {
    const char* name;
    const char* identifier; // set with M_SetEnumString before C_Initialize (null: default)
    bool app_callbacks;
    const char* held_name;
    bool expect_blocked;
};

void PrintTo(const lock_case& c, std::ostream* os) {
    *os << c.name;
}

class CrossProcessLockTest : public ModuleTest, public ::testing::WithParamInterface<lock_case> {
  protected:
    void TearDown() override {
        ModuleTest::TearDown();
        m->M_SetEnumString(nullptr, "Tavrel01", nullptr); // back to the default identifier
    }
};

// Another process holds the named mutex: an export of this process waits until
// it is released. With the application's own lock, or under another
// identifier, the export does not wait, which shows the measurement is real.
TEST_P(CrossProcessLockTest, ExportWaitsForTheOtherProcess) {
    const lock_case& c = GetParam();
    if (c.identifier != nullptr) {
        ASSERT_EQ(m->M_SetEnumString(nullptr, c.identifier, nullptr), CKR_OK);
    }
    counters.reset();
    CK_C_INITIALIZE_ARGS args = app_args();
    ASSERT_EQ(f->C_Initialize(c.app_callbacks ? &args : nullptr), CKR_OK);

    constexpr int hold_ms = 800;
    lock_holder holder(c.held_name, hold_ms);
    ASSERT_TRUE(holder.locked());
    CK_RV rv = CKR_GENERAL_ERROR;
    const auto waited = timed_slot_info(f, &rv);
    EXPECT_EQ(rv, CKR_OK);
    if (c.expect_blocked) {
        EXPECT_GE(waited.count(), hold_ms - 200) << "the export did not wait for the other process";
    } else {
        EXPECT_LT(waited.count(), 300);
    }
    EXPECT_EQ(holder.finish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrossProcessLockTest,
    ::testing::Values(
        lock_case{"default_lock", nullptr, false, "Global\\DAZuru11Zeriz_Tavrel01", true},
        lock_case{"app_callbacks", nullptr, true, "Global\\DAZuru11Zeriz_Tavrel01", false},
        lock_case{"new_identifier", "Tavrel02", false, "Global\\DAZuru11Zeriz_Tavrel02", true},
        lock_case{"other_identifier_not_shared", "Tavrel02", false,
                  "Global\\DAZuru11Zeriz_Tavrel01", false}),
    [](const auto& info) { return std::string(info.param.name); });

// The identifier becomes part of a lock file name: path characters are refused
// and change nothing.
TEST_F(ModuleTest, IdentifierWithPathCharactersIsRefused) {
    init();
    for (const char* bad : {"../../etc/x", "a/b", "a\\b", "tab\there"})
        EXPECT_EQ(m->M_SetEnumString("pattern", bad, "APP2"), CKR_ARGUMENTS_BAD) << bad;
    EXPECT_EQ(m->M_SetEnumString(nullptr, "Tavrel01", nullptr), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    // Still the default name: the lock of "Tavrel01" is the one in use.
    init();
    lock_holder holder("Global\\DAZuru11Zeriz_Tavrel01", 600);
    ASSERT_TRUE(holder.locked());
    CK_RV rv;
    EXPECT_GE(timed_slot_info(f, &rv).count(), 400);
}

} // namespace
