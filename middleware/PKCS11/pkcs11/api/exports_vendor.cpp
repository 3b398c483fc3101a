// The exported functions of the vendor extension (M_): its function list,
// PIN and token management, files and sectors, containers. Like the PKCS#11
// exports, each one takes the library lock, checks its pointer arguments and
// converts between the host ABI and the inner 32-bit values.
#include <cstring>

#include "abi_boundary.h"
#include "dispatch.h"

using dispatch::find_session_token;
using dispatch::find_token;
using dispatch::length_ok;
using dispatch::locked;
using dispatch::target;
using p11abi::ulong_inout;

TESSVIK_EXPORT CK_RV M_GetExtFunctionList(M_FUNCTION_LIST_PTR_PTR ppList) {
    if (ppList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppList = &tessvik_ext_function_list;
    return CKR_OK;
}

TESSVIK_EXPORT CK_RV M_GetUserInfo(CK_SLOT_ID slotID, CK_USER_TYPE userType, user_pin_info* pInfo) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_DEVICE_REMOVED); rv != CKR_OK) return rv;
        if (userType > 0xFFFFFFFFul) return CKR_USER_TYPE_INVALID;
        return t.token->get_user_pin_info(static_cast<uint32_t>(userType), pInfo);
    });
}

TESSVIK_EXPORT CK_RV M_UnblockUserPin(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pSOPin,
                                      CK_ULONG ulSOPinLen, CK_UTF8CHAR_PTR pNewUserPin,
                                      CK_ULONG ulNewUserPinLen) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->unblock_user_pin(pSOPin, ulSOPinLen, pNewUserPin, ulNewUserPinLen);
    });
}

TESSVIK_EXPORT CK_RV M_RemoteUnblockUserPin(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
                                            CK_ULONG ulDataLen) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        if (pData == nullptr) return CKR_ARGUMENTS_BAD;
        return t.token->remote_unblock_user_pin(pData, ulDataLen);
    });
}

TESSVIK_EXPORT CK_RV M_RemoteUnblockUserPinMS(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData,
                                              CK_ULONG ulDataLen, CK_BYTE_PTR pReply,
                                              CK_ULONG_PTR pulRetryCount) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->unblock_user_pin_ms(pData, ulDataLen, pReply, pulRetryCount);
    });
}

TESSVIK_EXPORT CK_RV M_SetTokenLabel(CK_SESSION_HANDLE hSession, const char* pLabel) {
    return locked([&]() -> CK_RV {
        if (pLabel == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->set_token_label(pLabel);
    });
}

TESSVIK_EXPORT CK_RV M_FormatToken(CK_SESSION_HANDLE hSession, token_format_info* pFormatInfo) {
    return locked([&]() -> CK_RV {
        if (pFormatInfo == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        const size_t so_pin_length = strnlen(pFormatInfo->so_pin, sizeof pFormatInfo->so_pin);
        if (so_pin_length < pFormatInfo->so_pin_min_len) return CKR_PIN_LEN_RANGE;
        return t.token->format_token(*pFormatInfo, so_pin_length);
    });
}

TESSVIK_EXPORT CK_RV M_ForceLogout(CK_SLOT_ID slotID) {
    return locked([&] { return pkcs11_core().force_logout(slotID); });
}

TESSVIK_EXPORT CK_RV M_GetDevCaps(CK_SLOT_ID slotID, CK_ULONG_PTR pulCaps1, CK_ULONG_PTR pulCaps2) {
    return locked([&]() -> CK_RV {
        if (pulCaps1 == nullptr || pulCaps2 == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_DEVICE_REMOVED); rv != CKR_OK) return rv;
        uint32_t caps1 = 0;
        uint32_t caps2 = 0;
        if (t.token->dev_caps(&caps1, &caps2) != CKR_OK) return CKR_DEVICE_ERROR;
        p11abi::put_ulong(pulCaps1, caps1);
        p11abi::put_ulong(pulCaps2, caps2);
        return CKR_OK;
    });
}

TESSVIK_EXPORT CK_RV M_SetInqString(CK_SLOT_ID slotID, const char* pVendor, const char* pProduct) {
    return locked([&]() -> CK_RV {
        if (pVendor == nullptr || pProduct == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_DEVICE_REMOVED); rv != CKR_OK) return rv;
        return t.token->set_inquiry_string(pVendor, pProduct);
    });
}

TESSVIK_EXPORT CK_RV M_SetEnumString(const char* pEnumString, const char* pIdentifier,
                                     const char* pAppName) {
    return dispatch::serialised(
        [&] { return pkcs11_core().set_enum_string(pEnumString, pIdentifier, pAppName); });
}

TESSVIK_EXPORT CK_RV M_ConstructMSCMapFiles(CK_SLOT_ID slotID, const char* pDefaultContainer) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_DEVICE_REMOVED); rv != CKR_OK) return rv;
        return t.token->update_cmapfile(pDefaultContainer != nullptr ? pDefaultContainer : "");
    });
}

TESSVIK_EXPORT CK_RV M_GetApplicationInfo(CK_SLOT_ID slotID, char* pAppName, CK_BYTE_PTR pMinPinLen,
                                          CK_BYTE_PTR pMaxPinLen, CK_BYTE_PTR pUserRetries,
                                          CK_BYTE_PTR pSoRetries, unsigned int* pLoginState) {
    return locked([&]() -> CK_RV {
        if (pAppName == nullptr || pMinPinLen == nullptr || pMaxPinLen == nullptr ||
            pUserRetries == nullptr || pSoRetries == nullptr || pLoginState == nullptr)
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_token(slotID, t, CKR_DEVICE_REMOVED); rv != CKR_OK) return rv;
        return t.token->application_info(pAppName, pMinPinLen, pMaxPinLen, pUserRetries, pSoRetries,
                                         pLoginState);
    });
}

TESSVIK_EXPORT CK_RV M_GetFileInfo(CK_SESSION_HANDLE hSession, const char* pName,
                                   CK_ULONG_PTR pulSize, CK_ULONG_PTR pulReadRights,
                                   CK_ULONG_PTR pulWriteRights) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr || pulSize == nullptr || pulReadRights == nullptr ||
            pulWriteRights == nullptr)
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        uint32_t size = 0;
        uint32_t read_rights = 0;
        uint32_t write_rights = 0;
        const CK_RV rv = t.token->get_file_info(pName, &size, &read_rights, &write_rights);
        if (rv == CKR_OK) {
            p11abi::put_ulong(pulSize, size);
            p11abi::put_ulong(pulReadRights, read_rights);
            p11abi::put_ulong(pulWriteRights, write_rights);
        }
        return rv;
    });
}

TESSVIK_EXPORT CK_RV M_CreateFile(CK_SESSION_HANDLE hSession, const char* pName, CK_ULONG ulSize,
                                  CK_ULONG ulReadRights, CK_ULONG ulWriteRights) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr) return CKR_ARGUMENTS_BAD;
        if (!length_ok(ulSize) || !length_ok(ulReadRights) || !length_ok(ulWriteRights))
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->file_create(pName, static_cast<uint32_t>(ulSize),
                                    static_cast<uint32_t>(ulReadRights),
                                    static_cast<uint32_t>(ulWriteRights));
    });
}

TESSVIK_EXPORT CK_RV M_DeleteFile(CK_SESSION_HANDLE hSession, const char* pName) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->file_delete(pName);
    });
}

TESSVIK_EXPORT CK_RV M_WriteFile(CK_SESSION_HANDLE hSession, const char* pName, CK_ULONG ulOffset,
                                 CK_BYTE_PTR pData, CK_ULONG ulSize) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr || (pData == nullptr && ulSize != 0)) return CKR_ARGUMENTS_BAD;
        if (!length_ok(ulOffset) || !length_ok(ulSize)) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->file_write(pName, static_cast<uint32_t>(ulOffset), pData,
                                   static_cast<uint32_t>(ulSize));
    });
}

TESSVIK_EXPORT CK_RV M_ReadFile(CK_SESSION_HANDLE hSession, const char* pName, CK_ULONG ulOffset,
                                CK_ULONG ulSize, CK_BYTE_PTR pData, CK_ULONG_PTR pulLen) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr || pulLen == nullptr) return CKR_ARGUMENTS_BAD;
        if (!length_ok(ulOffset) || !length_ok(ulSize)) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        ulong_inout length(pulLen);
        return t.token->file_read(pName, static_cast<uint32_t>(ulOffset),
                                  static_cast<uint32_t>(ulSize), pData, length.get());
    });
}

TESSVIK_EXPORT CK_RV M_WriteSectors(CK_SESSION_HANDLE hSession, CK_ULONG ulFirstSector,
                                    CK_ULONG ulSectorCount, CK_BYTE_PTR pData) {
    return locked([&]() -> CK_RV {
        if (pData == nullptr || !length_ok(ulFirstSector) || !length_ok(ulSectorCount))
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->write_sectors(static_cast<uint32_t>(ulFirstSector),
                                      static_cast<uint32_t>(ulSectorCount), pData);
    });
}

TESSVIK_EXPORT CK_RV M_ReadSectors(CK_SESSION_HANDLE hSession, CK_ULONG ulFirstSector,
                                   CK_ULONG ulSectorCount, CK_BYTE_PTR pData) {
    return locked([&]() -> CK_RV {
        if (pData == nullptr || !length_ok(ulFirstSector) || !length_ok(ulSectorCount))
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->read_sectors(static_cast<uint32_t>(ulFirstSector),
                                     static_cast<uint32_t>(ulSectorCount), pData);
    });
}

TESSVIK_EXPORT CK_RV M_CreateContainer(CK_SESSION_HANDLE hSession, const char* pName) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->container_create(pName);
    });
}

TESSVIK_EXPORT CK_RV M_DeleteContainer(CK_SESSION_HANDLE hSession, const char* pName) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->container_delete(pName);
    });
}

TESSVIK_EXPORT CK_RV M_EnumContainer(CK_SESSION_HANDLE hSession, char* pBuffer,
                                     CK_ULONG_PTR pulSize) {
    return locked([&]() -> CK_RV {
        if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        ulong_inout size(pulSize);
        return t.token->container_enum(pBuffer, size.get());
    });
}

TESSVIK_EXPORT CK_RV M_GetContainerInfo(CK_SESSION_HANDLE hSession, const char* pName,
                                        CK_BYTE_PTR pType, CK_ULONG_PTR pulSignKeyBits,
                                        CK_ULONG_PTR pulExchKeyBits, CK_BYTE_PTR pSignCertFlag,
                                        CK_BYTE_PTR pExchCertFlag) {
    return locked([&]() -> CK_RV {
        if (pName == nullptr || pType == nullptr || pulSignKeyBits == nullptr ||
            pulExchKeyBits == nullptr || pSignCertFlag == nullptr || pExchCertFlag == nullptr)
            return CKR_ARGUMENTS_BAD;
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        uint32_t sign_bits = 0;
        uint32_t exch_bits = 0;
        const CK_RV rv = t.token->container_info(pName, pType, &sign_bits, &exch_bits,
                                                 pSignCertFlag, pExchCertFlag);
        if (rv == CKR_OK) {
            p11abi::put_ulong(pulSignKeyBits, sign_bits);
            p11abi::put_ulong(pulExchKeyBits, exch_bits);
        }
        return rv;
    });
}

TESSVIK_EXPORT CK_RV M_ReloadObjects(CK_SESSION_HANDLE hSession) {
    return locked([&]() -> CK_RV {
        target t;
        if (CK_RV rv = find_session_token(hSession, t); rv != CKR_OK) return rv;
        return t.token->reload_objects();
    });
}
