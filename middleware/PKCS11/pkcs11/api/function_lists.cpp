// The static CK_FUNCTION_LIST and M_FUNCTION_LIST, and the three function-list
// entries that differ from the exports of the same names.
#include <cstring>
#include <ctime>
#include <optional>

#include "abi_boundary.h"
#include "dispatch.h"
#include "pkcs11_object.h"
#include "pkcs11_session.h"
#include "pkcs11_token.h"
#include "sign_log.h"

namespace {

// C_GetTokenInfo through the function list: the firmware version reads 3.11.
CK_RV get_token_info_fw(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return dispatch::locked([&]() -> CK_RV {
        const CK_RV rv = pkcs11_core().get_token_info(slotID, pInfo);
        if (rv == CKR_OK) pInfo->firmwareVersion = {3, 11};
        return rv;
    });
}

// Appends a time stamp to the "LogSign" data object of the session's token.
// It walks the token's object list itself instead of running a search in the
// session, so an object search the application has running in this session
// is left exactly where it was. The object is the first token data object
// labelled "LogSign" (7 bytes, a trailing NUL tolerated, as a search finds
// it) that the session may see; a session object of that label is never
// taken. Its value is read as into a 181-byte buffer: a value that is missing
// or longer is the application's own, and it is left as it is and nothing is
// logged. The new value is stored as C_SetAttributeValue stores it. Failures
// of the log are not reported.
void append_sign_log(CK_SESSION_HANDLE hSession) {
    dispatch::target t;
    if (dispatch::find_session_token(hSession, t) != CKR_OK) return;
    const uint32_t level = t.session->access_class();
    // The token's data-object files are read as a search for data objects would.
    {
        CK_OBJECT_CLASS data_class = CKO_DATA;
        CK_ATTRIBUTE entry{CKA_CLASS, &data_class, sizeof data_class};
        p11abi::inner_template find;
        if (p11abi::inner_template::from_input(&entry, 1, find) != CKR_OK) return;
        (void)t.token->load_objects_for_find(find);
    }
    const uint8_t label[] = {'L', 'o', 'g', 'S', 'i', 'g', 'n'};
    std::shared_ptr<pkcs11_object> log;
    for (const auto& o : t.token->objects().objects()) {
        if (o->object_class() != CKO_DATA || !o->object_is_token()) continue;
        const pkcs11_attribute* l = o->attributes().find(CKA_LABEL);
        if (l == nullptr || l->length() < sizeof label || l->length() > sizeof label + 1) continue;
        if (std::memcmp(l->value.data(), label, sizeof label) != 0) continue;
        if (l->length() == sizeof label + 1 && l->value[sizeof label] != 0) continue;
        if (!object_searchable_at(o->object_storage_kind(), level)) continue;
        log = o;
        break;
    }
    if (log == nullptr) return;
    // A stored value is read from the card first (values are read lazily).
    if (t.token->read_object_values(*log) != CKR_OK) return;
    const pkcs11_attribute* value = log->attributes().find(CKA_VALUE);
    if (value == nullptr) return;
    std::optional<sign_log_record> record = sign_log_from_value(value->value);
    if (!record) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return;
    sign_log_append(*record, local);
    CK_ATTRIBUTE entry{CKA_VALUE, record->data(), static_cast<CK_ULONG>(record->size())};
    p11abi::inner_template tmpl;
    if (p11abi::inner_template::from_input(&entry, 1, tmpl) == CKR_OK)
        (void)t.token->set_attribute_value(level, log->handle(), tmpl);
}

// C_Sign through the function list: on success a time stamp is logged (also
// after a size query); the log's own failure is not reported.
CK_RV sign_and_log(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                   CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return dispatch::locked([&]() -> CK_RV {
        const CK_RV rv =
            dispatch::sign_body(hSession, pData, ulDataLen, pSignature, pulSignatureLen);
        if (rv != CKR_OK) return rv;
        append_sign_log(hSession);
        return CKR_OK;
    });
}

// C_SignFinal through the function list: forwarded unchanged.
CK_RV sign_final_forward(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                         CK_ULONG_PTR pulSignatureLen) {
    return dispatch::locked(
        [&] { return dispatch::sign_final_body(hSession, pSignature, pulSignatureLen); });
}

} // namespace

// Version 2.2 (not 2.20) in the function list, as the module has always reported it.
CK_FUNCTION_LIST tessvik_function_list = {
    .version = {2, 2},
    .C_Initialize = C_Initialize,
    .C_Finalize = C_Finalize,
    .C_GetInfo = C_GetInfo,
    .C_GetFunctionList = C_GetFunctionList,
    .C_GetSlotList = C_GetSlotList,
    .C_GetSlotInfo = C_GetSlotInfo,
    .C_GetTokenInfo = get_token_info_fw,
    .C_GetMechanismList = C_GetMechanismList,
    .C_GetMechanismInfo = C_GetMechanismInfo,
    .C_InitToken = C_InitToken,
    .C_InitPIN = C_InitPIN,
    .C_SetPIN = C_SetPIN,
    .C_OpenSession = C_OpenSession,
    .C_CloseSession = C_CloseSession,
    .C_CloseAllSessions = C_CloseAllSessions,
    .C_GetSessionInfo = C_GetSessionInfo,
    .C_GetOperationState = C_GetOperationState,
    .C_SetOperationState = C_SetOperationState,
    .C_Login = C_Login,
    .C_Logout = C_Logout,
    .C_CreateObject = C_CreateObject,
    .C_CopyObject = C_CopyObject,
    .C_DestroyObject = C_DestroyObject,
    .C_GetObjectSize = C_GetObjectSize,
    .C_GetAttributeValue = C_GetAttributeValue,
    .C_SetAttributeValue = C_SetAttributeValue,
    .C_FindObjectsInit = C_FindObjectsInit,
    .C_FindObjects = C_FindObjects,
    .C_FindObjectsFinal = C_FindObjectsFinal,
    .C_EncryptInit = C_EncryptInit,
    .C_Encrypt = C_Encrypt,
    .C_EncryptUpdate = C_EncryptUpdate,
    .C_EncryptFinal = C_EncryptFinal,
    .C_DecryptInit = C_DecryptInit,
    .C_Decrypt = C_Decrypt,
    .C_DecryptUpdate = C_DecryptUpdate,
    .C_DecryptFinal = C_DecryptFinal,
    .C_DigestInit = C_DigestInit,
    .C_Digest = C_Digest,
    .C_DigestUpdate = C_DigestUpdate,
    .C_DigestKey = C_DigestKey,
    .C_DigestFinal = C_DigestFinal,
    .C_SignInit = C_SignInit,
    .C_Sign = sign_and_log,
    .C_SignUpdate = C_SignUpdate,
    .C_SignFinal = sign_final_forward,
    .C_SignRecoverInit = C_SignRecoverInit,
    .C_SignRecover = C_SignRecover,
    .C_VerifyInit = C_VerifyInit,
    .C_Verify = C_Verify,
    .C_VerifyUpdate = C_VerifyUpdate,
    .C_VerifyFinal = C_VerifyFinal,
    .C_VerifyRecoverInit = C_VerifyRecoverInit,
    .C_VerifyRecover = C_VerifyRecover,
    .C_DigestEncryptUpdate = C_DigestEncryptUpdate,
    .C_DecryptDigestUpdate = C_DecryptDigestUpdate,
    .C_SignEncryptUpdate = C_SignEncryptUpdate,
    .C_DecryptVerifyUpdate = C_DecryptVerifyUpdate,
    .C_GenerateKey = C_GenerateKey,
    .C_GenerateKeyPair = C_GenerateKeyPair,
    .C_WrapKey = C_WrapKey,
    .C_UnwrapKey = C_UnwrapKey,
    .C_DeriveKey = C_DeriveKey,
    .C_SeedRandom = C_SeedRandom,
    .C_GenerateRandom = C_GenerateRandom,
    .C_GetFunctionStatus = C_GetFunctionStatus,
    .C_CancelFunction = C_CancelFunction,
    .C_WaitForSlotEvent = C_WaitForSlotEvent,
};

M_FUNCTION_LIST tessvik_ext_function_list = {
    .version = {1, 0},
    .reserved = {},
    .M_GetUserInfo = M_GetUserInfo,
    .M_GetExtFunctionList = M_GetExtFunctionList,
    .M_UnblockUserPin = M_UnblockUserPin,
    .M_SetTokenLabel = M_SetTokenLabel,
    .M_FormatToken = M_FormatToken,
    .M_CreateContainer = M_CreateContainer,
    .M_DeleteContainer = M_DeleteContainer,
    .M_EnumContainer = M_EnumContainer,
    .M_GetContainerInfo = M_GetContainerInfo,
    .M_WriteSectors = M_WriteSectors,
    .M_ReadSectors = M_ReadSectors,
    .M_ReloadObjects = M_ReloadObjects,
    .M_CreateFile = M_CreateFile,
    .M_DeleteFile = M_DeleteFile,
    .M_WriteFile = M_WriteFile,
    .M_ReadFile = M_ReadFile,
    .M_GetFileInfo = M_GetFileInfo,
    .M_GetApplicationInfo = M_GetApplicationInfo,
    .M_SetEnumString = M_SetEnumString,
    .M_ConstructMSCMapFiles = M_ConstructMSCMapFiles,
    .unused = {},
};
