// Null pointer arguments: every export that checks a pointer answers
// CKR_ARGUMENTS_BAD (before any lookup), never writes through it, never crashes.
#include <functional>

#include "test_support.h"

namespace {

struct null_case {
    const char* name;
    std::function<CK_RV(CK_FUNCTION_LIST*, M_FUNCTION_LIST*)> call;
};

TEST_F(ModuleTest, NullPointerArgumentsAreRefused) {
    init();
    constexpr CK_SESSION_HANDLE h = 0x1234;
    CK_BYTE b[64] = {};
    CK_ULONG len = sizeof b;
    CK_MECHANISM mech = {CKM_SHA_1, nullptr, 0};
    CK_OBJECT_HANDLE obj = 0;
    auto exported_sign = reinterpret_cast<CK_C_Sign>(module().symbol("C_Sign"));
    auto dev_caps = reinterpret_cast<M_GetDevCaps_FN>(module().symbol("M_GetDevCaps"));
    auto inq = reinterpret_cast<M_SetInqString_FN>(module().symbol("M_SetInqString"));
    const null_case cases[] = {
        {"C_GetInfo", [&](auto* f, auto*) { return f->C_GetInfo(nullptr); }},
        {"C_GetFunctionList", [&](auto* f, auto*) { return f->C_GetFunctionList(nullptr); }},
        {"M_GetExtFunctionList", [&](auto*, auto* m) { return m->M_GetExtFunctionList(nullptr); }},
        {"C_GetSlotList", [&](auto* f, auto*) { return f->C_GetSlotList(CK_FALSE, nullptr, nullptr); }},
        {"C_GetSlotInfo", [&](auto* f, auto*) { return f->C_GetSlotInfo(0, nullptr); }},
        {"C_GetTokenInfo", [&](auto* f, auto*) { return f->C_GetTokenInfo(0, nullptr); }},
        {"C_WaitForSlotEvent", [&](auto* f, auto*) { return f->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr); }},
        {"C_GetMechanismList", [&](auto* f, auto*) { return f->C_GetMechanismList(0, nullptr, nullptr); }},
        {"C_GetMechanismInfo", [&](auto* f, auto*) { return f->C_GetMechanismInfo(0, CKM_SHA_1, nullptr); }},
        {"C_OpenSession", [&](auto* f, auto*) { return f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr); }},
        {"C_GetSessionInfo", [&](auto* f, auto*) { return f->C_GetSessionInfo(h, nullptr); }},
        {"C_CreateObject", [&](auto* f, auto*) { return f->C_CreateObject(h, nullptr, 0, nullptr); }},
        {"C_CopyObject", [&](auto* f, auto*) { return f->C_CopyObject(h, obj, nullptr, 0, nullptr); }},
        {"C_GetObjectSize", [&](auto* f, auto*) { return f->C_GetObjectSize(h, obj, nullptr); }},
        {"C_GetAttributeValue", [&](auto* f, auto*) { return f->C_GetAttributeValue(h, obj, nullptr, 1); }},
        {"C_SetAttributeValue", [&](auto* f, auto*) { return f->C_SetAttributeValue(h, obj, nullptr, 1); }},
        {"C_FindObjectsInit", [&](auto* f, auto*) { return f->C_FindObjectsInit(h, nullptr, 1); }},
        {"C_FindObjects count", [&](auto* f, auto*) { return f->C_FindObjects(h, &obj, 1, nullptr); }},
        {"C_FindObjects handles", [&](auto* f, auto*) { return f->C_FindObjects(h, nullptr, 1, &len); }},
        {"C_EncryptInit", [&](auto* f, auto*) { return f->C_EncryptInit(h, nullptr, obj); }},
        {"C_Encrypt data", [&](auto* f, auto*) { return f->C_Encrypt(h, nullptr, 1, b, &len); }},
        {"C_Encrypt length", [&](auto* f, auto*) { return f->C_Encrypt(h, b, 1, b, nullptr); }},
        {"C_EncryptUpdate", [&](auto* f, auto*) { return f->C_EncryptUpdate(h, nullptr, 1, b, &len); }},
        {"C_EncryptFinal", [&](auto* f, auto*) { return f->C_EncryptFinal(h, b, nullptr); }},
        {"C_DecryptInit", [&](auto* f, auto*) { return f->C_DecryptInit(h, nullptr, obj); }},
        {"C_Decrypt data", [&](auto* f, auto*) { return f->C_Decrypt(h, nullptr, 1, b, &len); }},
        {"C_Decrypt length", [&](auto* f, auto*) { return f->C_Decrypt(h, b, 1, b, nullptr); }},
        {"C_DecryptUpdate", [&](auto* f, auto*) { return f->C_DecryptUpdate(h, nullptr, 1, b, &len); }},
        {"C_DecryptFinal", [&](auto* f, auto*) { return f->C_DecryptFinal(h, b, nullptr); }},
        {"C_DigestInit", [&](auto* f, auto*) { return f->C_DigestInit(h, nullptr); }},
        {"C_Digest", [&](auto* f, auto*) { return f->C_Digest(h, nullptr, 1, b, &len); }},
        {"C_DigestUpdate", [&](auto* f, auto*) { return f->C_DigestUpdate(h, nullptr, 1); }},
        {"C_DigestFinal", [&](auto* f, auto*) { return f->C_DigestFinal(h, b, nullptr); }},
        {"C_SignInit", [&](auto* f, auto*) { return f->C_SignInit(h, nullptr, obj); }},
        {"C_Sign (list)", [&](auto* f, auto*) { return f->C_Sign(h, nullptr, 1, b, &len); }},
        {"C_Sign (export)", [&](auto*, auto*) { return exported_sign(h, nullptr, 1, b, &len); }},
        {"C_Sign length", [&](auto* f, auto*) { return f->C_Sign(h, b, 1, b, nullptr); }},
        {"C_SignUpdate", [&](auto* f, auto*) { return f->C_SignUpdate(h, nullptr, 1); }},
        {"C_SignFinal", [&](auto* f, auto*) { return f->C_SignFinal(h, b, nullptr); }},
        {"C_VerifyInit", [&](auto* f, auto*) { return f->C_VerifyInit(h, nullptr, obj); }},
        {"C_Verify data", [&](auto* f, auto*) { return f->C_Verify(h, nullptr, 1, b, 1); }},
        {"C_Verify signature", [&](auto* f, auto*) { return f->C_Verify(h, b, 1, nullptr, 1); }},
        {"C_VerifyUpdate", [&](auto* f, auto*) { return f->C_VerifyUpdate(h, nullptr, 1); }},
        {"C_VerifyFinal", [&](auto* f, auto*) { return f->C_VerifyFinal(h, nullptr, 1); }},
        {"C_DigestEncryptUpdate", [&](auto* f, auto*) { return f->C_DigestEncryptUpdate(h, nullptr, 1, b, &len); }},
        {"C_DecryptDigestUpdate", [&](auto* f, auto*) { return f->C_DecryptDigestUpdate(h, nullptr, 1, b, &len); }},
        {"C_SignEncryptUpdate", [&](auto* f, auto*) { return f->C_SignEncryptUpdate(h, nullptr, 1, b, &len); }},
        {"C_DecryptVerifyUpdate", [&](auto* f, auto*) { return f->C_DecryptVerifyUpdate(h, nullptr, 1, b, &len); }},
        {"C_GenerateKey", [&](auto* f, auto*) { return f->C_GenerateKey(h, nullptr, nullptr, 0, &obj); }},
        {"C_GenerateKeyPair", [&](auto* f, auto*) {
             return f->C_GenerateKeyPair(h, &mech, nullptr, 0, nullptr, 0, nullptr, &obj); }},
        {"C_WrapKey", [&](auto* f, auto*) { return f->C_WrapKey(h, &mech, obj, obj, b, nullptr); }},
        {"C_UnwrapKey", [&](auto* f, auto*) { return f->C_UnwrapKey(h, &mech, obj, nullptr, 1, nullptr, 0, &obj); }},
        {"C_DeriveKey", [&](auto* f, auto*) { return f->C_DeriveKey(h, &mech, obj, nullptr, 0, nullptr); }},
        {"M_SetTokenLabel", [&](auto*, auto* m) { return m->M_SetTokenLabel(h, nullptr); }},
        {"M_FormatToken", [&](auto*, auto* m) { return m->M_FormatToken(h, nullptr); }},
        {"M_CreateContainer", [&](auto*, auto* m) { return m->M_CreateContainer(h, nullptr); }},
        {"M_DeleteContainer", [&](auto*, auto* m) { return m->M_DeleteContainer(h, nullptr); }},
        {"M_EnumContainer", [&](auto*, auto* m) { return m->M_EnumContainer(h, nullptr, nullptr); }},
        {"M_GetContainerInfo", [&](auto*, auto* m) {
             return m->M_GetContainerInfo(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"M_WriteSectors", [&](auto*, auto* m) { return m->M_WriteSectors(h, 0, 1, nullptr); }},
        {"M_ReadSectors", [&](auto*, auto* m) { return m->M_ReadSectors(h, 0, 1, nullptr); }},
        {"M_CreateFile", [&](auto*, auto* m) { return m->M_CreateFile(h, nullptr, 16, 0xFF, 0xFF); }},
        {"M_DeleteFile", [&](auto*, auto* m) { return m->M_DeleteFile(h, nullptr); }},
        {"M_WriteFile", [&](auto*, auto* m) { return m->M_WriteFile(h, "f", 0, nullptr, 4); }},
        {"M_ReadFile", [&](auto*, auto* m) { return m->M_ReadFile(h, "f", 0, 4, b, nullptr); }},
        {"M_GetFileInfo", [&](auto*, auto* m) { return m->M_GetFileInfo(h, "f", nullptr, nullptr, nullptr); }},
        {"M_GetApplicationInfo", [&](auto*, auto* m) {
             return m->M_GetApplicationInfo(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"M_GetDevCaps", [&](auto*, auto*) { return dev_caps(0, nullptr, nullptr); }},
        {"M_SetInqString", [&](auto*, auto*) { return inq(0, nullptr, nullptr); }},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(f, m), CKR_ARGUMENTS_BAD) << c.name;
}

} // namespace
