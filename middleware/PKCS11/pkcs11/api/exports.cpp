// The exported PKCS#11 functions. Each one takes the library lock, checks its
// pointer arguments, finds its session and token, calls one operation and
// converts between the host ABI and the inner 32-bit values. The vendor
// extension's M_ functions are in exports_vendor.cpp.
#include <cstring>
#include <initializer_list>

#include "abi_boundary.h"
#include "dispatch.h"
#include "pkcs11_config.h"

using dispatch::find_session;
using dispatch::find_session_token;
using dispatch::find_token;
using dispatch::length_ok;
using dispatch::locked;
using dispatch::shielded;
using dispatch::target;
using p11abi::inner_template;
using p11abi::ulong_inout;

namespace {

// The functions the module does not offer still name a session that must exist.
CK_RV not_supported_body(CK_SESSION_HANDLE hSession) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV not_parallel_body(CK_SESSION_HANDLE hSession) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        return CKR_FUNCTION_NOT_PARALLEL;
    });
}

CK_RV op_init(CK_SESSION_HANDLE hSession, session_op op, CK_MECHANISM_PTR pMechanism,
              CK_OBJECT_HANDLE hKey) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.session->op_init(op, pMechanism, hKey, *t.token);
    });
}

// How a call drives its operation: a one-shot or final call finishes it, an
// update call continues it.
enum class step_kind { finishing, continuing };

// Runs one call of the session's operations `ops` and applies PKCS#11 v2.20
// section 11's rule to its answer, whoever gave it (the checks of the export,
// the session or the key context): a one-shot or final call (C_Encrypt,
// C_EncryptFinal, ... C_Verify, C_VerifyFinal) ends its operation on every
// answer but CKR_BUFFER_TOO_SMALL and a successful size query (a null output
// buffer); an update call ends it on every error but CKR_BUFFER_TOO_SMALL.
// The application must then initialise again. A handle that names no session
// has nothing to end. Runs inside the held library lock.
template <typename F>
CK_RV op_step(CK_SESSION_HANDLE hSession, step_kind kind, bool size_query,
              std::initializer_list<session_op> ops, F&& run) {
    CK_RV rv = CKR_OK;
    try {
        rv = run();
    } catch (...) {
        rv = dispatch::exception_answer();
    }
    const bool goes_on = rv == CKR_BUFFER_TOO_SMALL ||
                         (rv == CKR_OK && (kind == step_kind::continuing || size_query));
    if (!goes_on) {
        if (pkcs11_session* session = pkcs11_core().session_mgr().find(hSession))
            for (const session_op op : ops)
                session->op_end(op);
    }
    return rv;
}

CK_RV op_oneshot_body(CK_SESSION_HANDLE hSession, session_op op, CK_BYTE_PTR in, CK_ULONG in_len,
                      CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
    return op_step(hSession, step_kind::finishing, out == nullptr, {op}, [&]() -> CK_RV {
        if (in == nullptr || out_len == nullptr) return CKR_ARGUMENTS_BAD;
        if (!length_ok(in_len)) return CKR_DATA_LEN_RANGE;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        ulong_inout length(out_len);
        return t.session->op_oneshot(op, in, static_cast<uint32_t>(in_len), out, length.get());
    });
}

CK_RV op_final_body(CK_SESSION_HANDLE hSession, session_op op, CK_BYTE_PTR out,
                    CK_ULONG_PTR out_len) {
    return op_step(hSession, step_kind::finishing, out == nullptr, {op}, [&]() -> CK_RV {
        if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        ulong_inout length(out_len);
        return t.session->op_final(op, out, length.get());
    });
}

// Update of a digest or signature context (no output).
CK_RV op_update_plain(CK_SESSION_HANDLE hSession, session_op op, CK_BYTE_PTR pPart,
                      CK_ULONG ulPartLen) {
    return locked([&]() -> CK_RV {
        return op_step(hSession, step_kind::continuing, false, {op}, [&]() -> CK_RV {
            if (pPart == nullptr) return CKR_ARGUMENTS_BAD;
            if (!length_ok(ulPartLen)) return CKR_DATA_LEN_RANGE;
            target t;
            if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
            return t.session->op_update(op, pPart, static_cast<uint32_t>(ulPartLen), nullptr,
                                        nullptr);
        });
    });
}

// Update of the cipher context, optionally followed (under the same hold of the
// lock) by a digest or signature update: over the plain input when encrypting,
// over the decrypted output when decrypting. A size query (null output) or a
// failed first step skips the second. An error of a combined call ends both
// operations: the application cannot tell how far either went.
CK_RV cipher_update(CK_SESSION_HANDLE hSession, session_op cipher, CK_BYTE_PTR in, CK_ULONG in_len,
                    CK_BYTE_PTR out, CK_ULONG_PTR out_len, bool has_second, session_op second) {
    return locked([&]() -> CK_RV {
        const auto run = [&]() -> CK_RV {
            if (in == nullptr || out_len == nullptr) return CKR_ARGUMENTS_BAD;
            if (!length_ok(in_len)) return CKR_DATA_LEN_RANGE;
            target t;
            if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
            ulong_inout length(out_len);
            CK_RV rv =
                t.session->op_update(cipher, in, static_cast<uint32_t>(in_len), out, length.get());
            if (rv != CKR_OK || !has_second || out == nullptr) return rv;
            if (cipher == session_op::encrypt)
                return t.session->op_update(second, in, static_cast<uint32_t>(in_len), nullptr,
                                            nullptr);
            return t.session->op_update(second, out, length.value(), nullptr, nullptr);
        };
        if (has_second)
            return op_step(hSession, step_kind::continuing, false, {cipher, second}, run);
        return op_step(hSession, step_kind::continuing, false, {cipher}, run);
    });
}

} // namespace

namespace dispatch {

const CK_INFO library_info = {
    {2, 20}, "Tavrel Technology", 0, "Tavrel PKCS11 Module V1", {2, 0},
};

CK_RV sign_body(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return op_oneshot_body(hSession, session_op::sign, pData, ulDataLen, pSignature,
                           pulSignatureLen);
}

CK_RV sign_final_body(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                      CK_ULONG_PTR pulSignatureLen) {
    return op_final_body(hSession, session_op::sign, pSignature, pulSignatureLen);
}

} // namespace dispatch

// ---------------------------------------------------------------- library

TESSVIK_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return shielded([&] { return pkcs11_core().initialize(pInitArgs); });
}

TESSVIK_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return shielded([&] { return pkcs11_core().finalize(pReserved); });
}

TESSVIK_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return locked([&]() -> CK_RV {
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        *pInfo = dispatch::library_info;
        p11abi::blank_pad_texts(*pInfo);
        return CKR_OK;
    });
}

TESSVIK_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &tessvik_function_list;
    return CKR_OK;
}

TESSVIK_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    return not_parallel_body(hSession);
}
TESSVIK_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) {
    return not_parallel_body(hSession);
}
TESSVIK_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) {
    return not_supported_body(hSession);
}
TESSVIK_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG,
                                         CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return not_supported_body(hSession);
}
TESSVIK_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR,
                                       CK_OBJECT_HANDLE) {
    return not_supported_body(hSession);
}
TESSVIK_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR,
                                         CK_OBJECT_HANDLE) {
    return not_supported_body(hSession);
}
TESSVIK_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                     CK_ULONG_PTR) {
    return not_supported_body(hSession);
}

TESSVIK_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                   CK_ULONG_PTR) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

// ---------------------------------------------------------------- slots and tokens

TESSVIK_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                   CK_ULONG_PTR pulCount) {
    return locked(
        [&]() -> CK_RV { return pkcs11_core().get_slot_list(tokenPresent, pSlotList, pulCount); });
}

TESSVIK_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return locked([&] { return pkcs11_core().get_slot_info(slotID, pInfo); });
}

TESSVIK_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return locked([&] { return pkcs11_core().get_token_info(slotID, pInfo); });
}

TESSVIK_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR) {
    return shielded([&]() -> CK_RV {
        if (!pkcs11_core().initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        if (flags != 0 && flags != CKF_DONT_BLOCK) return CKR_ARGUMENTS_BAD;
        return pkcs11_core().wait_for_slot_event(flags, pSlot);
    });
}

TESSVIK_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                        CK_ULONG_PTR pulCount) {
    return locked([&]() -> CK_RV {
        if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_SLOT_ID_INVALID); rv != CKR_OK) return rv;
        ulong_inout count(pulCount);
        return t.token->mechanism_list(pMechanismList, count.get());
    });
}

TESSVIK_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                        CK_MECHANISM_INFO_PTR pInfo) {
    return locked([&]() -> CK_RV {
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_SLOT_ID_INVALID); rv != CKR_OK) return rv;
        return t.token->mechanism_info(type, pInfo);
    });
}

TESSVIK_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                                 CK_UTF8CHAR_PTR pLabel) {
    return locked([&]() -> CK_RV {
        if (pLabel == nullptr || (pPin == nullptr && ulPinLen != 0)) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_SLOT_ID_INVALID); rv != CKR_OK) return rv;
        return t.token->init_token(pPin, ulPinLen, pLabel);
    });
}

TESSVIK_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin,
                               CK_ULONG ulPinLen) {
    return locked([&]() -> CK_RV {
        if (pPin == nullptr && ulPinLen != 0) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        if (t.session->state() != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->init_user_pin(pPin, ulPinLen);
    });
}

TESSVIK_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin,
                              CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        switch (t.session->state()) {
        case CKS_RW_PUBLIC_SESSION:
        case CKS_RW_USER_FUNCTIONS:
            return t.token->change_user_pin(pOldPin, ulOldLen, pNewPin, ulNewLen);
        case CKS_RW_SO_FUNCTIONS:
            return t.token->change_so_pin(pOldPin, ulOldLen, pNewPin, ulNewLen);
        default:
            return CKR_SESSION_READ_ONLY;
        }
    });
}

// ---------------------------------------------------------------- sessions

TESSVIK_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                                   CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    return locked([&]() -> CK_RV {
        if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        if (phSession == nullptr) return CKR_ARGUMENTS_BAD;
        return pkcs11_core().open_session(slotID, flags, pApplication, Notify, phSession);
    });
}

TESSVIK_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return locked([&] { return pkcs11_core().close_session(hSession); });
}

TESSVIK_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return locked([&] { return pkcs11_core().close_all_sessions(slotID); });
}

TESSVIK_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return locked([&] { return pkcs11_core().get_session_info(hSession, pInfo); });
}

TESSVIK_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType,
                             CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return locked([&]() -> CK_RV {
        if (userType > CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        const CK_RV rv =
            t.token->pkcs11_token_login(static_cast<uint32_t>(userType), pPin, ulPinLen);
        if (rv == CKR_OK)
            pkcs11_core().session_mgr().update_session_states(*t.session, t.token->login_type());
        return rv;
    });
}

TESSVIK_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        const auto state = t.session->state();
        if (state != CKS_RO_USER_FUNCTIONS && state != CKS_RW_USER_FUNCTIONS &&
            state != CKS_RW_SO_FUNCTIONS)
            return CKR_USER_NOT_LOGGED_IN;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        const CK_RV rv = t.token->pkcs11_token_logout();
        pkcs11_core().session_mgr().update_session_states(*t.session, t.token->login_type());
        return rv;
    });
}

// ---------------------------------------------------------------- objects

TESSVIK_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    return locked([&]() -> CK_RV {
        if (phObject == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        return t.token->create_object(t.session->handle(), t.session->access_class(), tmpl,
                                      phObject);
    });
}

TESSVIK_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                  CK_OBJECT_HANDLE_PTR phNewObject) {
    return locked([&]() -> CK_RV {
        if (phNewObject == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        return t.token->copy_object(t.session->handle(), t.session->access_class(), hObject, tmpl,
                                    phNewObject);
    });
}

TESSVIK_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->destroy_object(t.session->access_class(), hObject);
    });
}

TESSVIK_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                     CK_ULONG_PTR pulSize) {
    return locked([&]() -> CK_RV {
        if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        uint32_t size = 0;
        const CK_RV rv = t.token->object_size(hObject, &size);
        if (rv == CKR_OK) p11abi::put_ulong(pulSize, size);
        return rv;
    });
}

TESSVIK_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                         CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return locked([&]() -> CK_RV {
        if (pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::for_output(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        const CK_RV rv = t.token->get_attribute_value(t.session->access_class(), hObject, tmpl);
        if (rv != CKR_OBJECT_HANDLE_INVALID) tmpl.finish_output();
        return rv;
    });
}

TESSVIK_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                         CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return locked([&]() -> CK_RV {
        if (pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        return t.token->set_attribute_value(t.session->access_class(), hObject, tmpl);
    });
}

TESSVIK_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                       CK_ULONG ulCount) {
    return locked([&]() -> CK_RV {
        if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::for_search(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        if (t.session->search_active()) (void)t.session->find_final();
        return t.session->find_init(tmpl, *t.token);
    });
}

TESSVIK_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                                   CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return locked([&]() -> CK_RV {
        if (pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
        if (phObject == nullptr && ulMaxObjectCount != 0) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        if (!t.session->search_active()) return CKR_OPERATION_NOT_INITIALIZED;
        // The search walks the token's object list: the token must still be there.
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        const uint32_t max =
            ulMaxObjectCount > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(ulMaxObjectCount);
        uint32_t count = 0;
        const CK_RV rv = t.session->find_objects(*t.token, phObject, max, &count);
        p11abi::put_ulong(pulObjectCount, count);
        return rv;
    });
}

TESSVIK_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        if (t.session->search_active()) (void)t.session->find_final();
        return CKR_OK;
    });
}

// ---------------------------------------------------------------- cryptographic operations

TESSVIK_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                   CK_OBJECT_HANDLE hKey) {
    return op_init(hSession, session_op::encrypt, pMechanism, hKey);
}

TESSVIK_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return locked([&] {
        return op_oneshot_body(hSession, session_op::encrypt, pData, ulDataLen, pEncryptedData,
                               pulEncryptedDataLen);
    });
}

TESSVIK_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                     CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                                     CK_ULONG_PTR pulEncryptedPartLen) {
    return cipher_update(hSession, session_op::encrypt, pPart, ulPartLen, pEncryptedPart,
                         pulEncryptedPartLen, false, session_op::encrypt);
}

TESSVIK_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                                    CK_ULONG_PTR pulLastEncryptedPartLen) {
    return locked([&] {
        return op_final_body(hSession, session_op::encrypt, pLastEncryptedPart,
                             pulLastEncryptedPartLen);
    });
}

TESSVIK_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                   CK_OBJECT_HANDLE hKey) {
    return op_init(hSession, session_op::decrypt, pMechanism, hKey);
}

TESSVIK_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
                               CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                               CK_ULONG_PTR pulDataLen) {
    return locked([&] {
        return op_oneshot_body(hSession, session_op::decrypt, pEncryptedData, ulEncryptedDataLen,
                               pData, pulDataLen);
    });
}

TESSVIK_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                     CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                     CK_ULONG_PTR pulPartLen) {
    return cipher_update(hSession, session_op::decrypt, pEncryptedPart, ulEncryptedPartLen, pPart,
                         pulPartLen, false, session_op::decrypt);
}

TESSVIK_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart,
                                    CK_ULONG_PTR pulLastPartLen) {
    return locked(
        [&] { return op_final_body(hSession, session_op::decrypt, pLastPart, pulLastPartLen); });
}

TESSVIK_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return op_init(hSession, session_op::digest, pMechanism, CK_INVALID_HANDLE);
}

TESSVIK_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                              CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return locked([&] {
        return op_oneshot_body(hSession, session_op::digest, pData, ulDataLen, pDigest,
                               pulDigestLen);
    });
}

TESSVIK_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                    CK_ULONG ulPartLen) {
    return op_update_plain(hSession, session_op::digest, pPart, ulPartLen);
}

TESSVIK_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hKey) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.session->digest_key(*t.token, hKey);
    });
}

TESSVIK_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                                   CK_ULONG_PTR pulDigestLen) {
    return locked(
        [&] { return op_final_body(hSession, session_op::digest, pDigest, pulDigestLen); });
}

TESSVIK_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                CK_OBJECT_HANDLE hKey) {
    return op_init(hSession, session_op::sign, pMechanism, hKey);
}

TESSVIK_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                            CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return locked([&] {
        return dispatch::sign_body(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
    });
}

TESSVIK_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                  CK_ULONG ulPartLen) {
    return op_update_plain(hSession, session_op::sign, pPart, ulPartLen);
}

TESSVIK_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                 CK_ULONG_PTR pulSignatureLen) {
    return locked([&] { return dispatch::sign_final_body(hSession, pSignature, pulSignatureLen); });
}

TESSVIK_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_OBJECT_HANDLE hKey) {
    return op_init(hSession, session_op::verify, pMechanism, hKey);
}

TESSVIK_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                              CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return locked([&]() -> CK_RV {
        // A verification has no size query.
        return op_step(hSession, step_kind::finishing, false, {session_op::verify}, [&]() -> CK_RV {
            // A missing signature is an error, never a valid signature.
            if (pData == nullptr || pSignature == nullptr) return CKR_ARGUMENTS_BAD;
            if (!length_ok(ulDataLen)) return CKR_DATA_LEN_RANGE;
            if (!length_ok(ulSignatureLen)) return CKR_SIGNATURE_LEN_RANGE;
            target t;
            if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
            uint32_t signature_len = static_cast<uint32_t>(ulSignatureLen);
            return t.session->op_oneshot(session_op::verify, pData,
                                         static_cast<uint32_t>(ulDataLen), pSignature,
                                         &signature_len);
        });
    });
}

TESSVIK_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                    CK_ULONG ulPartLen) {
    return op_update_plain(hSession, session_op::verify, pPart, ulPartLen);
}

TESSVIK_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                   CK_ULONG ulSignatureLen) {
    return locked([&]() -> CK_RV {
        return op_step(hSession, step_kind::finishing, false, {session_op::verify}, [&]() -> CK_RV {
            if (pSignature == nullptr) return CKR_ARGUMENTS_BAD;
            if (!length_ok(ulSignatureLen)) return CKR_SIGNATURE_LEN_RANGE;
            target t;
            if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
            uint32_t signature_len = static_cast<uint32_t>(ulSignatureLen);
            return t.session->op_final(session_op::verify, pSignature, &signature_len);
        });
    });
}

TESSVIK_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                           CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                                           CK_ULONG_PTR pulEncryptedPartLen) {
    return cipher_update(hSession, session_op::encrypt, pPart, ulPartLen, pEncryptedPart,
                         pulEncryptedPartLen, true, session_op::digest);
}

TESSVIK_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                           CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                           CK_ULONG_PTR pulPartLen) {
    return cipher_update(hSession, session_op::decrypt, pEncryptedPart, ulEncryptedPartLen, pPart,
                         pulPartLen, true, session_op::digest);
}

TESSVIK_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                         CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                                         CK_ULONG_PTR pulEncryptedPartLen) {
    return cipher_update(hSession, session_op::encrypt, pPart, ulPartLen, pEncryptedPart,
                         pulEncryptedPartLen, true, session_op::sign);
}

TESSVIK_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                           CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                           CK_ULONG_PTR pulPartLen) {
    return cipher_update(hSession, session_op::decrypt, pEncryptedPart, ulEncryptedPartLen, pPart,
                         pulPartLen, true, session_op::verify);
}

// ---------------------------------------------------------------- keys and random numbers

TESSVIK_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                   CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                   CK_OBJECT_HANDLE_PTR phKey) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr || phKey == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulCount, tmpl); rv != CKR_OK)
            return rv;
        return t.session->generate_key(pMechanism, tmpl, *t.token, phKey);
    });
}

TESSVIK_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                       CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                                       CK_ULONG ulPublicKeyAttributeCount,
                                       CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                                       CK_ULONG ulPrivateKeyAttributeCount,
                                       CK_OBJECT_HANDLE_PTR phPublicKey,
                                       CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr || phPublicKey == nullptr || phPrivateKey == nullptr)
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session(hSession, t); rv != CKR_OK) return rv;
        if (t.session->state() == CKS_RW_SO_FUNCTIONS) return CKR_SESSION_READ_WRITE_SO_EXISTS;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template public_tmpl;
        inner_template private_tmpl;
        if (CK_RV rv = inner_template::from_input(pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                                  public_tmpl);
            rv != CKR_OK)
            return rv;
        if (CK_RV rv = inner_template::from_input(pPrivateKeyTemplate, ulPrivateKeyAttributeCount,
                                                  private_tmpl);
            rv != CKR_OK)
            return rv;
        return t.session->generate_key_pair(pMechanism, public_tmpl, private_tmpl, *t.token,
                                            phPublicKey, phPrivateKey);
    });
}

TESSVIK_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                               CK_OBJECT_HANDLE hWrappingKey, CK_OBJECT_HANDLE hKey,
                               CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr || pulWrappedKeyLen == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        ulong_inout length(pulWrappedKeyLen);
        return t.session->wrap_key(pMechanism, hWrappingKey, hKey, pWrappedKey, length.get(),
                                   *t.token);
    });
}

TESSVIK_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                 CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey,
                                 CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                                 CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr || pWrappedKey == nullptr || phKey == nullptr)
            return CKR_ARGUMENTS_BAD;
        if (!length_ok(ulWrappedKeyLen)) return CKR_WRAPPED_KEY_LEN_RANGE;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulAttributeCount, tmpl); rv != CKR_OK)
            return rv;
        return t.session->unwrap_key(pMechanism, hUnwrappingKey, pWrappedKey,
                                     static_cast<uint32_t>(ulWrappedKeyLen), tmpl, phKey, *t.token);
    });
}

TESSVIK_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                 CK_OBJECT_HANDLE hBaseKey, CK_ATTRIBUTE_PTR pTemplate,
                                 CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    return locked([&]() -> CK_RV {
        if (pMechanism == nullptr || phKey == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        inner_template tmpl;
        if (CK_RV rv = inner_template::from_input(pTemplate, ulAttributeCount, tmpl); rv != CKR_OK)
            return rv;
        return t.session->derive_key(pMechanism, hBaseKey, tmpl, phKey, *t.token);
    });
}

TESSVIK_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed,
                                  CK_ULONG ulSeedLen) {
    return locked([&]() -> CK_RV {
        if (pSeed == nullptr && ulSeedLen != 0) return CKR_ARGUMENTS_BAD;
        target t;
        return find_session_token(hSession, t); // the card's generator takes no seed
    });
}

TESSVIK_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                                      CK_ULONG ulRandomLen) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        if (ulRandomLen == 0) return CKR_OK;
        if (pRandomData == nullptr) return CKR_ARGUMENTS_BAD;
        if (!length_ok(ulRandomLen)) return CKR_DATA_LEN_RANGE;
        return t.token->token_random(pRandomData, static_cast<uint32_t>(ulRandomLen));
    });
}
