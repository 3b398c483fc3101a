#include "pkcs11_token_mgr.h"

#include <algorithm>
#include <cstring>

#include "library_lock.h"

namespace {

constexpr size_t name_list_size = 1024;

// Calls f for every name of a NUL-separated list ended by an empty name.
template <typename F> void for_each_name(const char* list, size_t size, F f) {
    size_t pos = 0;
    while (pos < size && list[pos] != '\0') {
        const size_t len = strnlen(list + pos, size - pos);
        if (pos + len >= size) break; // unterminated: ignore the rest
        f(list + pos);
        pos += len + 1;
    }
}

bool name_listed(const char* list, size_t size, const std::string& name) {
    bool found = false;
    for_each_name(list, size, [&](const char* n) { found = found || name == n; });
    return found;
}

} // namespace

pkcs11_token_mgr::pkcs11_token_mgr() {
    clear_slot_events();
}

pkcs11_token_mgr::~pkcs11_token_mgr() {
    token_removed_ = nullptr; // the owner's session list may be gone already
    delete_all_tokens();
}

void pkcs11_token_mgr::clear_slot_events() {
    for (auto& e : slot_event_table_)
        e.store(-1);
}

pkcs11_token* pkcs11_token_mgr::find_by_name(const char* name) const {
    for (const auto& t : tokens_)
        if (t->device_name() == name) return t.get();
    return nullptr;
}

pkcs11_token* pkcs11_token_mgr::find_token(CK_SLOT_ID slot_id) const {
    const auto id = p11abi::narrow_id(slot_id);
    if (!id || *id > 0x7FFFFFFFu) return nullptr;
    for (const auto& t : tokens_)
        if (t->slot_id() == static_cast<int32_t>(*id)) return t.get();
    return nullptr;
}

bool pkcs11_token_mgr::slot_assigned(CK_SLOT_ID slot_id) const {
    if (find_token(slot_id) != nullptr) return true;
    const auto id = p11abi::narrow_id(slot_id);
    if (!id || *id > 0x7FFFFFFFu) return false;
    return std::find(assigned_slots_.begin(), assigned_slots_.end(), static_cast<int32_t>(*id)) !=
           assigned_slots_.end();
}

uint32_t pkcs11_token_mgr::enumerate_tokens(bool* added, bool* removed) {
    char names[name_list_size] = {};
    uint32_t size = sizeof names - 1; // keep a final NUL whatever the device API writes
    if (SKF_EnumDev(1, names, &size) != SAR_OK || names[0] == '\0') {
        // No list: no card in any reader, or PC/SC failed for a moment. Only
        // a token that cannot be reached leaves (the first such one); a token
        // that still answers keeps its slot and its sessions.
        for (const auto& t : tokens_) {
            if (!t->device_present()) {
                remove_token(t.get());
                if (removed != nullptr) *removed = true;
                break;
            }
        }
        clear_slot_events();
        return token_count();
    }
    bool left = false;
    remove_missing_token(names, &left);
    if (left) {
        if (removed != nullptr) *removed = true;
        // A list taken while a reader changes cards can miss that reader for
        // one round: the list is taken again before new tokens are added, so
        // a card put in place of the one that left is not overlooked.
        char again[name_list_size] = {};
        uint32_t again_size = sizeof again - 1;
        if (SKF_EnumDev(1, again, &again_size) == SAR_OK && again[0] != '\0')
            std::memcpy(names, again, sizeof names);
    }
    for_each_name(names, sizeof names, [&](const char* name) {
        int32_t slot = -1;
        bool created = false;
        find_or_add_token(name, &slot, &created);
        if (created && added != nullptr) *added = true;
    });
    clear_slot_events();
    return token_count();
}

pkcs11_token* pkcs11_token_mgr::find_or_add_token(const char* name, int32_t* slot_id,
                                                  bool* created) {
    if (created != nullptr) *created = false;
    if (pkcs11_token* t = find_by_name(name)) {
        if (t->device_answers()) {
            if (slot_id != nullptr) *slot_id = t->slot_id();
            return t;
        }
        remove_token(t);
    }
    int32_t id = 0;
    while (std::any_of(tokens_.begin(), tokens_.end(),
                       [&](const auto& t) { return t->slot_id() == id; }))
        ++id;
    auto token = std::make_unique<pkcs11_token>(name);
    token->set_slot_id(id);
    tokens_.push_back(std::move(token));
    if (std::find(assigned_slots_.begin(), assigned_slots_.end(), id) == assigned_slots_.end())
        assigned_slots_.push_back(id);
    if (slot_id != nullptr) *slot_id = id;
    if (created != nullptr) *created = true;
    return tokens_.back().get();
}

void pkcs11_token_mgr::remove_missing_token(const char* names, bool* removed) {
    for (const auto& t : tokens_) {
        if (!name_listed(names, name_list_size, t->device_name())) {
            remove_token(t.get());
            if (removed != nullptr) *removed = true;
            return;
        }
    }
}

void pkcs11_token_mgr::remove_token(pkcs11_token* token) {
    const auto it = std::find_if(tokens_.begin(), tokens_.end(),
                                 [&](const auto& t) { return t.get() == token; });
    if (it == tokens_.end()) return;
    if (token_removed_) token_removed_((*it)->slot_id());
    (*it)->token_close();
    tokens_.erase(it);
}

uint32_t pkcs11_token_mgr::count_answering_tokens() {
    uint32_t n = 0;
    for (const auto& t : tokens_)
        if (t->device_answers()) ++n;
    return n;
}

uint32_t pkcs11_token_mgr::wait_device_event(uint32_t* event_type) {
    std::vector<char> names(name_list_size);
    uint32_t size = static_cast<uint32_t>(names.size());
    uint32_t event = 0;
    uint32_t rv = SKF_WaitForDevEvent(names.data(), &size, &event);
    if (rv == SAR_BUFFER_TOO_SMALL) {
        // More reader names than the usual buffer takes: the event waits in
        // the device API until a buffer of the size it gave takes it.
        names.resize(size);
        rv = SKF_WaitForDevEvent(names.data(), &size, &event);
    }
    if (event_type != nullptr) *event_type = event;
    if (rv != SAR_OK) return rv;
    // A wake-up that names no device is no reason to stop watching.
    if (event != GM_DEV_EVENT_INSERTED && event != GM_DEV_EVENT_REMOVED) return 0;
    mutex guard;
    if (CK_RV lrv = guard.take(); lrv != CKR_OK) return static_cast<uint32_t>(lrv);
    (void)handle_device_event();
    return 0;
}

uint32_t pkcs11_token_mgr::handle_device_event() {
    char names[name_list_size] = {};
    uint32_t size = sizeof names - 1;
    if (SKF_EnumDev(1, names, &size) != SAR_OK || names[0] == '\0') {
        // No list (the device API reports "no card anywhere" as a failure, as
        // it does a PC/SC hiccup): every token that cannot be reached leaves.
        for (bool again = true; again;) {
            again = false;
            for (const auto& t : tokens_) {
                if (!t->device_present()) {
                    record_slot_event(t->slot_id());
                    remove_token(t.get());
                    again = true;
                    break;
                }
            }
        }
        return 0;
    }
    for (bool again = true; again;) {
        again = false;
        for (const auto& t : tokens_) {
            if (!name_listed(names, sizeof names, t->device_name())) {
                record_slot_event(t->slot_id());
                remove_token(t.get());
                again = true;
                break;
            }
        }
    }
    for_each_name(names, sizeof names, [&](const char* name) {
        if (find_by_name(name) != nullptr) return;
        int32_t slot = -1;
        find_or_add_token(name, &slot, nullptr);
        record_slot_event(slot);
    });
    return 0;
}

void pkcs11_token_mgr::record_slot_event(int32_t slot_id) {
    for (auto& e : slot_event_table_) {
        const int32_t v = e.load();
        if (v == slot_id) return;
        if (v == -1) {
            e.store(slot_id);
            return;
        }
    }
}

int32_t pkcs11_token_mgr::take_slot_event() {
    for (auto& e : slot_event_table_) {
        if (e.load() == -1) continue;
        mutex guard;
        if (guard.take() != CKR_OK) return -1;
        return e.exchange(-1);
    }
    return -1;
}

void pkcs11_token_mgr::delete_all_tokens() {
    for (const auto& t : tokens_) {
        if (token_removed_) token_removed_(t->slot_id());
        t->token_close();
    }
    tokens_.clear();
}

void pkcs11_token_mgr::renew_tokens() {
    for (auto& token : tokens_) {
        // Nothing read from the card before (token information, objects,
        // containers, login state) is used after; the serial number lets the
        // next connection tell whether the reader still holds the same card.
        auto fresh = std::make_unique<pkcs11_token>(token->device_name().c_str());
        fresh->set_slot_id(token->slot_id());
        fresh->expect_card(token->card_serial());
        (void)token->token_close();
        token = std::move(fresh);
    }
}

void pkcs11_token_mgr::drop_absent_tokens() {
    for (bool again = true; again;) {
        again = false;
        for (const auto& t : tokens_) {
            if (t->token_open_device() != CKR_OK) {
                record_slot_event(t->slot_id());
                remove_token(t.get());
                again = true;
                break;
            }
        }
    }
}
