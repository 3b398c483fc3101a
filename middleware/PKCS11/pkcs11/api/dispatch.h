// What the exports share: the exception shield, the locked section, the
// session and token lookups, and the bodies that the function list reuses.
#pragma once

#include <new>

#include "abi_boundary.h"
#include "library_lock.h"
#include "pkcs11.h"
#include "pkcs11_core.h"

#define TESSVIK_EXPORT extern "C" __attribute__((visibility("default")))

namespace dispatch {

// The answer for the exception being handled: allocation failure is
// CKR_HOST_MEMORY, anything else CKR_GENERAL_ERROR. Only called in a handler.
inline CK_RV exception_answer() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// No exception crosses the C boundary.
template <typename F> CK_RV shielded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return exception_answer();
    }
}

// The library lock held for the whole call, initialised or not: only for
// M_SetEnumString, which sets the process's configuration (the enumeration
// string and the identifier that names the default lock at the next
// C_Initialize) and so is called before C_Initialize.
template <typename F> CK_RV serialised(F&& f) noexcept {
    return shielded([&]() -> CK_RV {
        mutex guard;
        if (const CK_RV rv = guard.take(); rv != CKR_OK) return rv;
        return f();
    });
}

// The library lock held for the whole call; a failed lock is the call's
// result. Outside C_Initialize..C_Finalize every such call answers
// CKR_CRYPTOKI_NOT_INITIALIZED (PKCS#11 v2.20 section 11.4): sessions and
// tokens of an earlier initialisation are gone, and a forked child has not
// initialised its own library yet.
template <typename F> CK_RV locked(F&& f) noexcept {
    return shielded([&]() -> CK_RV {
        mutex guard;
        if (const CK_RV rv = guard.take(); rv != CKR_OK) return rv;
        if (!pkcs11_core().initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return f();
    });
}

// An input length the inner world keeps in 32 bits.
inline bool length_ok(CK_ULONG length) {
    return p11abi::narrow_length(length).has_value();
}

struct target {
    pkcs11_session* session = nullptr;
    pkcs11_token* token = nullptr;
};

// Session by handle (none: CKR_SESSION_HANDLE_INVALID).
inline CK_RV find_session(CK_SESSION_HANDLE handle, target& t) {
    t.session = pkcs11_core().session_mgr().find(handle);
    return t.session != nullptr ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

// Session, then the token of its slot (gone: CKR_DEVICE_REMOVED).
inline CK_RV find_session_token(CK_SESSION_HANDLE handle, target& t) {
    if (const CK_RV rv = find_session(handle, t); rv != CKR_OK) return rv;
    t.token = pkcs11_core().token_mgr().find_token(t.session->slot_id());
    return t.token != nullptr ? CKR_OK : CKR_DEVICE_REMOVED;
}

// Token by slot id; a slot without a token: missing; an id that names no
// slot: CKR_SLOT_ID_INVALID.
inline CK_RV find_token(CK_SLOT_ID slot, target& t, CK_RV missing) {
    CK_RV rv = CKR_OK;
    t.token = pkcs11_core().token_in_slot(slot, &rv, missing);
    return rv;
}

// Bodies run inside a held library lock.
CK_RV sign_body(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen);
CK_RV sign_final_body(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                      CK_ULONG_PTR pulSignatureLen);

extern const CK_INFO library_info; // zero-padded texts; blank-padded on the way out

} // namespace dispatch

// The two static tables.
extern CK_FUNCTION_LIST tessvik_function_list;
extern M_FUNCTION_LIST tessvik_ext_function_list;
