// All state of the library: tokens and slot events, sessions, the slot-event
// thread, and the slot-level logic behind the library, slot and session exports.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "os_sync.h"
#include "pkcs11.h"
#include "pkcs11_session_mgr.h"
#include "pkcs11_token_mgr.h"

class Pkcs11Core {
  public:
    Pkcs11Core();
    virtual ~Pkcs11Core();
    Pkcs11Core(const Pkcs11Core&) = delete;
    Pkcs11Core& operator=(const Pkcs11Core&) = delete;

    // C_Initialize and C_Finalize (they take no library lock).
    CK_RV initialize(CK_VOID_PTR pInitArgs);
    CK_RV finalize(CK_VOID_PTR pReserved);
    bool initialised() const { return initialised_.load(); }

    // Under the library lock.
    uint32_t refresh_tokens();
    CK_RV get_slot_list(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount);
    CK_RV get_slot_info(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo);
    CK_RV get_token_info(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo);
    CK_RV open_session(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                       CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession);
    CK_RV close_session(CK_SESSION_HANDLE hSession);
    CK_RV close_all_sessions(CK_SLOT_ID slotID);
    CK_RV get_session_info(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo);
    CK_RV set_enum_string(const char* pEnumString, const char* pIdentifier, const char* pAppName);
    CK_RV force_logout(CK_SLOT_ID slotID);

    // Without the library lock (it takes it around each take from the table).
    CK_RV wait_for_slot_event(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot);
    // Threads inside a blocking C_WaitForSlotEvent (tests wait on it).
    int blocked_slot_event_waiters() const { return blocked_waiters_.load(); }

    // A slot id names a slot when a token has had it since the library was
    // loaded, when C_GetSlotList listed it, or, while no token is present,
    // when it is one of the four slots shown then.
    bool slot_known(CK_SLOT_ID slotID) const;
    // The token in a slot; none: *rv = empty_slot for a slot that exists,
    // CKR_SLOT_ID_INVALID for an id that names no slot.
    pkcs11_token* token_in_slot(CK_SLOT_ID slotID, CK_RV* rv, CK_RV empty_slot);
    static constexpr CK_ULONG placeholder_slots = 4;

    pkcs11_token_mgr& token_mgr() { return token_mgr_; }
    pkcs11_session_mgr& session_mgr() { return session_mgr_; }

    // The slot-event thread: started on the first enumeration that finds a
    // token or on the first C_WaitForSlotEvent; stopped by C_Finalize (after
    // which it may start again) and at unload.
    void start_slot_event_thread();
    // False when the thread did not end within the bounded wait (its record is kept).
    bool stop_slot_event_thread();
    bool slot_event_thread_running();

  private:
    static uint32_t slot_event_thread(void* parameter);
    void note_listed_slot(CK_SLOT_ID slotID);

    pkcs11_token_mgr token_mgr_;
    pkcs11_session_mgr session_mgr_;
    std::mutex thread_record_mutex_;
    os_thread_ptr slot_event_thread_record_;
    std::atomic<int32_t> pending_slot_event_{-1};
    std::atomic<bool> wait_release_flag_{false};
    std::atomic<int> blocked_waiters_{0};

    std::mutex init_mutex_; // C_Initialize and C_Finalize one at a time
    std::atomic<bool> initialised_{false};
    bool enumerated_once_ = false;
    bool enumerate_next_ = false;          // the next refresh enumerates (set by C_Finalize)
    std::vector<CK_SLOT_ID> listed_slots_; // placeholder slots handed out by C_GetSlotList
    std::chrono::steady_clock::time_point last_enumeration_{};
};

// The process-wide core, built on first use after the library lock; a forked
// child gets a fresh one (the parent's is left untouched).
Pkcs11Core& pkcs11_core();
