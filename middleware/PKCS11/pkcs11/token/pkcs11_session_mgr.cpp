#include "pkcs11_session_mgr.h"

#include <algorithm>

#include "abi_boundary.h"

pkcs11_session_mgr::~pkcs11_session_mgr() = default;

// Session handles come from one process-wide counter: distinct, never 0 and
// never reused, so a stale handle can never name a newer session. The base is
// well above the small numbers clients use as made-up invalid handles.
uint32_t pkcs11_session_mgr::next_handle() {
    static std::atomic<uint32_t> counter{0x01000001u};
    uint32_t h = counter.fetch_add(1);
    while (h == 0)
        h = counter.fetch_add(1);
    return h;
}

pkcs11_session* pkcs11_session_mgr::create(uint32_t slot_id, CK_VOID_PTR application,
                                           CK_NOTIFY notify) {
    sessions_.push_back(
        std::make_unique<pkcs11_session>(next_handle(), slot_id, application, notify));
    return sessions_.back().get();
}

pkcs11_session* pkcs11_session_mgr::find(CK_SESSION_HANDLE handle) const {
    const auto h = p11abi::narrow_id(handle);
    if (!h) return nullptr;
    for (const auto& s : sessions_)
        if (s->handle() == *h) return s.get();
    return nullptr;
}

bool pkcs11_session_mgr::remove(uint32_t handle) {
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const auto& s) { return s->handle() == handle; });
    if (it == sessions_.end()) return false;
    sessions_.erase(it);
    return true;
}

CK_RV pkcs11_session_mgr::update_session_states(const pkcs11_session& session, int32_t login_type) {
    return update_slot_states(session.slot_id(), login_type);
}

CK_RV pkcs11_session_mgr::update_slot_states(uint32_t slot_id, int32_t login_type) {
    for (const auto& s : sessions_)
        if (s->slot_id() == slot_id) (void)s->session_state_from_login(login_type);
    return CKR_OK;
}

size_t pkcs11_session_mgr::close_slot_sessions(uint32_t slot_id) {
    return std::erase_if(sessions_, [&](const auto& s) { return s->slot_id() == slot_id; });
}

std::vector<uint32_t> pkcs11_session_mgr::sessions_of_slot(uint32_t slot_id) const {
    std::vector<uint32_t> handles;
    for (const auto& s : sessions_)
        if (s->slot_id() == slot_id) handles.push_back(s->handle());
    return handles;
}

bool pkcs11_session_mgr::has_so_session(uint32_t slot_id) const {
    return std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
        return s->slot_id() == slot_id && s->state() == CKS_RW_SO_FUNCTIONS;
    });
}
