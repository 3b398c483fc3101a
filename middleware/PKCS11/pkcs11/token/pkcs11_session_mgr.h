// All sessions of all slots, in order of opening.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pkcs11_session.h"

class pkcs11_session_mgr {
  public:
    pkcs11_session_mgr() = default;
    virtual ~pkcs11_session_mgr();
    pkcs11_session_mgr(const pkcs11_session_mgr&) = delete;
    pkcs11_session_mgr& operator=(const pkcs11_session_mgr&) = delete;

    // Appends a new session with a fresh handle and returns it.
    pkcs11_session* create(uint32_t slot_id, CK_VOID_PTR application, CK_NOTIFY notify);
    // The first session with that handle; a host value above 32 bits names none.
    pkcs11_session* find(CK_SESSION_HANDLE handle) const;
    // Removes and deletes the session; false when there is none with that handle.
    bool remove(uint32_t handle);
    // Re-states every session of the session's slot from the login type.
    CK_RV update_session_states(const pkcs11_session& session, int32_t login_type);
    // The same for every session of a slot.
    CK_RV update_slot_states(uint32_t slot_id, int32_t login_type);
    // Closes every session of a slot at once, without the token's session
    // bookkeeping: for a token that has left (its sessions must never attach
    // to the next token that takes the slot id). The number closed.
    size_t close_slot_sessions(uint32_t slot_id);
    // Deletes every session (C_Finalize, after the tokens' bookkeeping).
    void close_all() { sessions_.clear(); }
    // Handles of the sessions of a slot, in list order.
    std::vector<uint32_t> sessions_of_slot(uint32_t slot_id) const;
    bool has_so_session(uint32_t slot_id) const;
    size_t size() const { return sessions_.size(); }

  private:
    static uint32_t next_handle();
    std::vector<std::unique_ptr<pkcs11_session>> sessions_;
};
