// One pkcs11_token per token device that the device API lists, each with its
// slot id (lowest free id for a new device name), and the 8-entry table of
// slots that changed, which C_WaitForSlotEvent drains.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pkcs11_token.h"

class pkcs11_token_mgr {
  public:
    static constexpr size_t slot_event_count = 8;

    pkcs11_token_mgr();
    virtual ~pkcs11_token_mgr();
    pkcs11_token_mgr(const pkcs11_token_mgr&) = delete;
    pkcs11_token_mgr& operator=(const pkcs11_token_mgr&) = delete;

    // Brings the token list in line with the device list; empties the slot-event table.
    uint32_t enumerate_tokens(bool* added, bool* removed);
    pkcs11_token* find_or_add_token(const char* name, int32_t* slot_id, bool* created);
    // Removes the first token whose name is not in the NUL-separated list (at most one).
    void remove_missing_token(const char* names, bool* removed);
    void remove_token(pkcs11_token* token);
    uint32_t count_answering_tokens();
    // The slot-event thread's step (called without the library lock): 0 after a
    // handled arrival or removal, else the reason for the thread to end.
    uint32_t wait_device_event(uint32_t* event_type);
    // Under the library lock: records the slots of the tokens that came or went.
    uint32_t handle_device_event();
    // The first pending slot id, taken out of the table; -1 when none.
    int32_t take_slot_event();
    void delete_all_tokens();
    // C_Finalize's step: every token starts again from nothing but its device
    // name, its slot id and its card's serial number (its device closed, all it
    // read from the card dropped). The tokens themselves stay until unload.
    void renew_tokens();
    // C_Initialize's step after a C_Finalize: a token whose reader no longer
    // holds its card (pulled, or another card put in meanwhile) leaves the
    // list and its slot is recorded as changed; the others are connected.
    void drop_absent_tokens();

    // Called with the slot id of every token that leaves the list, before it
    // is deleted: the owner closes that slot's sessions with it, so that no
    // session outlives its token or reaches the next token given the slot id.
    void set_token_removed_hook(std::function<void(int32_t slot_id)> hook) {
        token_removed_ = std::move(hook);
    }

    // The first token with that slot id; a host value above 32 bits names none.
    pkcs11_token* find_token(CK_SLOT_ID slot_id) const;
    // Whether a token has had that slot id since the library was loaded.
    bool slot_assigned(CK_SLOT_ID slot_id) const;
    uint32_t token_count() const { return static_cast<uint32_t>(tokens_.size()); }
    const std::vector<std::unique_ptr<pkcs11_token>>& tokens() const { return tokens_; }
    int32_t slot_event(size_t index) const { return slot_event_table_[index].load(); }

  private:
    void record_slot_event(int32_t slot_id);
    void clear_slot_events();
    pkcs11_token* find_by_name(const char* name) const;

    std::vector<std::unique_ptr<pkcs11_token>> tokens_;
    std::function<void(int32_t)> token_removed_;
    std::vector<int32_t> assigned_slots_;
    std::array<std::atomic<int32_t>, slot_event_count> slot_event_table_;
};
