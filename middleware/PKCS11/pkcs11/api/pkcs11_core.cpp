#include "pkcs11_core.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "abi_boundary.h"
#include "gm_api.h"
#include "gm_filters.h"
#include "library_lock.h"
#include "os_sync.h"
#include "pkcs11_config.h"
#include "pkcs11_timing.h"

Pkcs11Core::Pkcs11Core() {
    (void)library_lock();
    // A token that leaves takes its sessions with it (their handles are never reused).
    token_mgr_.set_token_removed_hook([this](int32_t slot_id) {
        for (uint32_t handle : session_mgr_.sessions_of_slot(static_cast<uint32_t>(slot_id)))
            session_mgr_.remove(handle);
    });
}

Pkcs11Core::~Pkcs11Core() {
    SKF_CancelWaitForDevEvent();
    // A thread that did not end within the bounded wait keeps its record: the
    // unload is not held up by joining it.
    if (!stop_slot_event_thread()) (void)slot_event_thread_record_.release();
    token_mgr_.delete_all_tokens();
}

namespace {

// The core of this process. A forked child gets a core of its own at once
// (PKCS#11 v2.20 section 6.6.1: the child initialises the library afresh);
// the one it inherited stays untouched and is never freed, because its
// threads, locks, sessions and PC/SC connections belong to the parent.
struct core_holder {
    std::atomic<Pkcs11Core*> core{nullptr};
    std::atomic<pid_t> owner{0};
    Pkcs11Core* inherited = nullptr; // kept reachable, never used
    ~core_holder() {
        Pkcs11Core* c = core.exchange(nullptr);
        if (c != nullptr && owner.load() == getpid()) delete c;
    }
};

core_holder& holder() {
    static core_holder h;
    return h;
}

void start_fresh_in_child() {
    library_lock_after_fork();
    holder().inherited = holder().core.load();
    holder().core = new Pkcs11Core;
    holder().owner = getpid();
}

} // namespace

// Built on first use, after every object of the library's load-time
// initialisation (and after the library lock), so that it is destroyed (and
// its thread stopped) first, at unload and at exit alike. Whatever the
// slot-event thread or this destructor uses must therefore be built while the
// library loads, as the device layer's objects are (its mutex, handle
// registry, device-event state and device list, and the platform's tables of
// named mutexes and message windows): an object first built later, on first
// use by that thread, would be destroyed before the thread is stopped.
Pkcs11Core& pkcs11_core() {
    static const bool built = [] {
        (void)library_lock();
        core_holder& h = holder();
        h.core = new Pkcs11Core;
        h.owner = getpid();
        // glibc drops this handler when the module is unloaded (dlclose).
        pthread_atfork(nullptr, nullptr, &start_fresh_in_child);
        return true;
    }();
    (void)built;
    return *holder().core.load();
}

// ---- library initialisation ----

CK_RV Pkcs11Core::initialize(CK_VOID_PTR pInitArgs) {
    std::lock_guard guard(init_mutex_);
    if (initialised_) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    lock_callbacks callbacks = default_lock_callbacks();
    if (pInitArgs != nullptr) {
        const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
        const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                          (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        // CKF_OS_LOCKING_OK makes no difference: without callbacks the library's own lock is used.
        if (given == 4)
            callbacks = lock_callbacks{args->CreateMutex, args->DestroyMutex, args->LockMutex,
                                       args->UnlockMutex};
    }
    // A lock that cannot be created is reported: running on without it would
    // let every export race.
    if (CK_RV rv = library_lock().install(callbacks); rv != CKR_OK) return rv;
    const std::string enum_string = pkcs11_enum_string();
    const std::string enum_id = pkcs11_enum_id();
    gm_set_enum_filters(enum_string.c_str(), enum_id.c_str());
    if (token_mgr_.token_count() > 0) {
        // Tokens kept over an earlier C_Finalize keep their slot ids. One
        // whose card left its reader meanwhile, or was replaced by another
        // card, must not answer as present: it leaves before any export
        // can reach it.
        mutex held;
        if (CK_RV rv = held.take(); rv != CKR_OK) {
            (void)library_lock().destroy();
            return rv;
        }
        token_mgr_.drop_absent_tokens();
    }
    initialised_ = true;
    return CKR_OK;
}

CK_RV Pkcs11Core::finalize(CK_VOID_PTR pReserved) {
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::lock_guard guard(init_mutex_);
    if (!initialised_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    initialised_ = false;
    wait_release_flag_ = true;
    // The slot-event thread takes the library lock: it is stopped before the
    // lock is destroyed, and may be started again after the next C_Initialize.
    stop_slot_event_thread();
    SKF_CancelWaitForDevEvent();
    {
        // PKCS#11 v2.20 section 11.4: C_Finalize ends the application's use
        // of the library. Every session closes (which logs its token out) and
        // the tokens close their devices and drop what they read from their
        // cards. The tokens themselves and their slot ids stay until unload:
        // applications keep slot ids across C_Finalize and C_Initialize.
        // Exports that came in before the flag was cleared end first; those
        // after it answer CKR_CRYPTOKI_NOT_INITIALIZED.
        mutex held;
        (void)held.take();
        for (const auto& t : token_mgr_.tokens())
            for (uint32_t handle :
                 session_mgr_.sessions_of_slot(static_cast<uint32_t>(t->slot_id())))
                (void)close_session(handle);
        session_mgr_.close_all();
        token_mgr_.renew_tokens();
        // No slot-event thread watches the readers until the next
        // initialisation: the first C_GetSlotList after it looks for new
        // cards whatever the last enumeration found.
        enumerate_next_ = true;
        pending_slot_event_ = -1;
    }
    (void)library_lock().destroy();
    return CKR_OK;
}

bool Pkcs11Core::slot_known(CK_SLOT_ID slotID) const {
    if (token_mgr_.slot_assigned(slotID)) return true;
    for (CK_SLOT_ID listed : listed_slots_)
        if (listed == slotID) return true;
    // The four slots shown while no token is present.
    return token_mgr_.token_count() == 0 && slotID < placeholder_slots;
}

pkcs11_token* Pkcs11Core::token_in_slot(CK_SLOT_ID slotID, CK_RV* rv, CK_RV empty_slot) {
    pkcs11_token* token = token_mgr_.find_token(slotID);
    if (token != nullptr) {
        *rv = CKR_OK;
        return token;
    }
    *rv = slot_known(slotID) ? empty_slot : CKR_SLOT_ID_INVALID;
    return nullptr;
}

void Pkcs11Core::note_listed_slot(CK_SLOT_ID slotID) {
    for (CK_SLOT_ID listed : listed_slots_)
        if (listed == slotID) return;
    listed_slots_.push_back(slotID);
}

// ---- the slot-event thread ----

uint32_t Pkcs11Core::slot_event_thread(void* parameter) {
    auto* core = static_cast<Pkcs11Core*>(parameter);
    os_thread* self = os_thread_current();
    try {
        while (self == nullptr || self->running.load() != 0) {
            uint32_t event = 0;
            if (core->token_mgr_.wait_device_event(&event) != 0) break;
        }
    } catch (...) {
        // Out of memory or a failure below: the thread ends as it does when
        // the device-event wait fails; the next C_WaitForSlotEvent or
        // enumeration after C_Finalize starts a new one.
    }
    return 0;
}

void Pkcs11Core::start_slot_event_thread() {
    std::lock_guard guard(thread_record_mutex_);
    if (slot_event_thread_record_ != nullptr) return; // at most one per initialisation
    slot_event_thread_record_.reset(
        os_thread_start(&Pkcs11Core::slot_event_thread, this, "DAZuru11Zeriz_slot_event"));
}

bool Pkcs11Core::stop_slot_event_thread() {
    os_thread* record = nullptr;
    {
        std::lock_guard guard(thread_record_mutex_);
        record = slot_event_thread_record_.get();
    }
    if (record == nullptr) return true;
    record->running = 0;
    // The thread may enter the device-event wait just after a cancel: cancel
    // again until it has ended. It is never killed, and the wait is bounded:
    // a thread that does not end keeps its record (a later stop tries again,
    // and no second thread is started beside it).
    constexpr int attempts = 100; // 5 s
    if (record->thread) {
        int i = 0;
        for (; i < attempts; ++i) {
            SKF_CancelWaitForDevEvent();
            if (record->thread->join(50)) break;
        }
        if (i == attempts) return false;
    }
    os_thread_ptr ended; // freed after the record lock is left
    {
        std::lock_guard guard(thread_record_mutex_);
        if (slot_event_thread_record_.get() != record) return true; // another stop freed it
        ended = std::move(slot_event_thread_record_);
    }
    return true;
}

bool Pkcs11Core::slot_event_thread_running() {
    std::lock_guard guard(thread_record_mutex_);
    return slot_event_thread_record_ != nullptr && slot_event_thread_record_->thread &&
           slot_event_thread_record_->thread->exit_code() == plat::still_active;
}

// ---- slots ----

uint32_t Pkcs11Core::refresh_tokens() {
    const auto now = std::chrono::steady_clock::now();
    if (!enumerated_once_) {
        enumerated_once_ = true;
        last_enumeration_ = now;
    }
    const pkcs11_timing timing = pkcs11_get_timing();
    const uint32_t n = token_mgr_.token_count();
    if (n > 0 && !enumerate_next_) {
        if (now - last_enumeration_ < timing.enumeration_interval) return n;
        const uint32_t answering = token_mgr_.count_answering_tokens();
        last_enumeration_ = std::chrono::steady_clock::now();
        if (answering == n) return n;
    }
    bool added = false;
    bool removed = false;
    token_mgr_.enumerate_tokens(&added, &removed);
    enumerate_next_ = false;
    const uint32_t m = token_mgr_.token_count();
    last_enumeration_ = std::chrono::steady_clock::now();
    pending_slot_event_ = -1;
    if (m > 0) {
        start_slot_event_thread();
        if (timing.settle_pause.count() > 0) std::this_thread::sleep_for(timing.settle_pause);
    }
    return m;
}

CK_RV Pkcs11Core::get_slot_list(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                CK_ULONG_PTR pulCount) {
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    const uint32_t n = refresh_tokens();
    if (n == 0 && !tokenPresent) {
        // Without tokens the module shows four empty slots.
        constexpr CK_ULONG empty_slots = placeholder_slots;
        if (pSlotList == nullptr) {
            *pulCount = empty_slots;
            return CKR_OK;
        }
        if (*pulCount < empty_slots) {
            *pulCount = empty_slots;
            return CKR_BUFFER_TOO_SMALL;
        }
        for (CK_ULONG i = 0; i < empty_slots; ++i) {
            pSlotList[i] = i;
            note_listed_slot(i);
        }
        *pulCount = empty_slots;
        return CKR_OK;
    }
    if (pSlotList == nullptr) {
        *pulCount = n;
        return CKR_OK;
    }
    const CK_ULONG given = *pulCount;
    *pulCount = n;
    if (given < n) return CKR_BUFFER_TOO_SMALL;
    size_t i = 0;
    for (const auto& t : token_mgr_.tokens()) {
        pSlotList[i] = static_cast<CK_SLOT_ID>(t->slot_id());
        note_listed_slot(pSlotList[i++]);
    }
    return CKR_OK;
}

CK_RV Pkcs11Core::get_slot_info(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    if (!slot_known(slotID)) return CKR_SLOT_ID_INVALID;
    CK_SLOT_INFO info{};
    char description[80];
    std::snprintf(description, sizeof description, "Tavrel Token PKCS11 Module V1 %lu", slotID);
    p11abi::put_text(info.slotDescription, sizeof info.slotDescription, description);
    p11abi::put_text(info.manufacturerID, sizeof info.manufacturerID, "");
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (token_mgr_.find_token(slotID) != nullptr) info.flags |= CKF_TOKEN_PRESENT;
    info.hardwareVersion = {1, 0};
    info.firmwareVersion = {1, 0};
    *pInfo = info;
    return CKR_OK;
}

CK_RV Pkcs11Core::get_token_info(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    pkcs11_token* token = token_mgr_.find_token(slotID);
    if (token == nullptr) return CKR_SLOT_ID_INVALID; // the placeholder slots answer so too
    const CK_RV rv = token->refresh_token_info();
    *pInfo = token->token_info();
    p11abi::blank_pad_texts(*pInfo);
    return rv;
}

CK_RV Pkcs11Core::wait_for_slot_event(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot) {
    if (pSlot == nullptr) return CKR_ARGUMENTS_BAD;
    start_slot_event_thread();
    if (flags & CKF_DONT_BLOCK) {
        const int32_t slot = token_mgr_.take_slot_event();
        pending_slot_event_ = slot;
        if (slot < 0) return CKR_NO_EVENT;
        *pSlot = static_cast<CK_SLOT_ID>(slot);
        pending_slot_event_ = -1;
        return CKR_OK;
    }
    wait_release_flag_ = false;
    blocked_waiters_.fetch_add(1);
    struct leave_wait {
        std::atomic<int>& count;
        ~leave_wait() { count.fetch_sub(1); }
    } const leave{blocked_waiters_};
    for (;;) {
        // Another waiter may take an entry between the scan and the take; then
        // the take reads -1 and the wait goes on.
        const int32_t slot = token_mgr_.take_slot_event();
        if (slot >= 0) {
            *pSlot = static_cast<CK_SLOT_ID>(slot);
            pending_slot_event_ = -1;
            return CKR_OK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (wait_release_flag_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
}

// ---- sessions ----

CK_RV Pkcs11Core::open_session(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                               CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    pkcs11_token* token = token_mgr_.find_token(slotID);
    if (token == nullptr) return CKR_SLOT_ID_INVALID;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    const bool read_write = (flags & CKF_RW_SESSION) != 0;
    const auto slot = static_cast<uint32_t>(token->slot_id());
    if (!read_write && session_mgr_.has_so_session(slot)) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    pkcs11_session* session = session_mgr_.create(slot, pApplication, Notify);
    // The card may answer "no application" here (a token to be formatted): the
    // session is opened anyway.
    (void)token->refresh_login_state();
    session->set_flags(CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0));
    if (session->session_state_from_login(token->login_type()) != CKR_OK) {
        session_mgr_.remove(session->handle());
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    }
    token->session_opened(read_write);
    *phSession = session->handle();
    return CKR_OK;
}

CK_RV Pkcs11Core::close_session(CK_SESSION_HANDLE hSession) {
    pkcs11_session* session = session_mgr_.find(hSession);
    if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
    if (pkcs11_token* token = token_mgr_.find_token(session->slot_id()))
        token->token_session_closed(session->handle(), session->read_only());
    session_mgr_.remove(session->handle());
    return CKR_OK;
}

CK_RV Pkcs11Core::close_all_sessions(CK_SLOT_ID slotID) {
    CK_RV found = CKR_OK;
    pkcs11_token* token = token_in_slot(slotID, &found, CKR_DEVICE_REMOVED);
    if (token == nullptr) return found;
    for (uint32_t handle : session_mgr_.sessions_of_slot(static_cast<uint32_t>(token->slot_id())))
        (void)close_session(handle);
    return token->pkcs11_token_logout();
}

CK_RV Pkcs11Core::get_session_info(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    pkcs11_session* session = session_mgr_.find(hSession);
    if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
    pkcs11_token* token = token_mgr_.find_token(session->slot_id());
    if (token == nullptr) return CKR_DEVICE_REMOVED;
    (void)token->refresh_login_state();
    if (CK_RV rv = session->session_state_from_login(token->login_type()); rv != CKR_OK) return rv;
    CK_SESSION_INFO info{};
    info.slotID = session->slot_id();
    info.state = session->state();
    info.flags = session->flags();
    info.ulDeviceError = gm_get_last_status_word();
    *pInfo = info;
    return CKR_OK;
}

CK_RV Pkcs11Core::set_enum_string(const char* pEnumString, const char* pIdentifier,
                                  const char* pAppName) {
    // The identifier becomes part of the default lock's file name.
    if (!pkcs11_enum_id_acceptable(pIdentifier)) return CKR_ARGUMENTS_BAD;
    gm_set_enum_filters(pEnumString, pIdentifier);
    pkcs11_store_config(pEnumString, pIdentifier, pAppName);
    return CKR_OK;
}

CK_RV Pkcs11Core::force_logout(CK_SLOT_ID slotID) {
    CK_RV found = CKR_OK;
    pkcs11_token* token = token_in_slot(slotID, &found, CKR_DEVICE_REMOVED);
    if (token == nullptr) return found;
    const CK_RV rv = token->force_logout();
    // The sessions follow at once, as after C_Logout: none keeps a user or SO state.
    (void)session_mgr_.update_slot_states(static_cast<uint32_t>(token->slot_id()),
                                          token->login_type());
    return rv;
}
