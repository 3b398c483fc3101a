// What the module answers outside C_Initialize..C_Finalize, and to slot ids
// and session handles that name nothing, for every function that takes one.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct call_case {
    const char* name;
    std::function<CK_RV()> call;
};

class Calls : public ModuleTest {
  protected:
    template <typename T> T sym(const char* name) {
        return reinterpret_cast<T>(module().symbol(name));
    }

    // Every function of both tables and the five vendor functions reachable by
    // name, with arguments that would be accepted, on session h and slot s.
    std::vector<call_case> every_call(CK_SESSION_HANDLE h, CK_SLOT_ID s) {
        CK_FUNCTION_LIST* l = f;
        M_FUNCTION_LIST* x = m;
        auto force_logout = sym<M_ForceLogout_FN>("M_ForceLogout");
        auto remote_unblock = sym<M_RemoteUnblockUserPin_FN>("M_RemoteUnblockUserPin");
        auto dev_caps = sym<M_GetDevCaps_FN>("M_GetDevCaps");
        auto inq = sym<M_SetInqString_FN>("M_SetInqString");
        auto remote_unblock_ms = sym<M_RemoteUnblockUserPinMS_FN>("M_RemoteUnblockUserPinMS");
        return {
            {"C_GetInfo", [=, this] { return l->C_GetInfo(&info); }},
            {"C_GetSlotList", [=, this] { return l->C_GetSlotList(CK_FALSE, nullptr, &n); }},
            {"C_GetSlotInfo", [=, this] { return l->C_GetSlotInfo(s, &slot_info); }},
            {"C_GetTokenInfo", [=, this] { return l->C_GetTokenInfo(s, &token_info); }},
            {"C_GetMechanismList", [=, this] { return l->C_GetMechanismList(s, nullptr, &n); }},
            {"C_GetMechanismInfo",
             [=, this] { return l->C_GetMechanismInfo(s, CKM_RSA_PKCS, &mech_info); }},
            {"C_InitToken", [=, this] { return l->C_InitToken(s, pin, 4, label); }},
            {"C_InitPIN", [=, this] { return l->C_InitPIN(h, pin, 4); }},
            {"C_SetPIN", [=, this] { return l->C_SetPIN(h, pin, 4, pin, 4); }},
            {"C_OpenSession",
             [=, this] {
                 return l->C_OpenSession(s, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
             }},
            {"C_CloseSession", [=] { return l->C_CloseSession(h); }},
            {"C_CloseAllSessions", [=] { return l->C_CloseAllSessions(s); }},
            {"C_GetSessionInfo", [=, this] { return l->C_GetSessionInfo(h, &session_info); }},
            {"C_GetOperationState", [=, this] { return l->C_GetOperationState(h, buf, &len); }},
            {"C_SetOperationState", [=, this] { return l->C_SetOperationState(h, buf, 4, 0, 0); }},
            {"C_Login", [=, this] { return l->C_Login(h, CKU_USER, pin, 4); }},
            {"C_Logout", [=] { return l->C_Logout(h); }},
            {"C_CreateObject", [=, this] { return l->C_CreateObject(h, tmpl, 1, &object); }},
            {"C_CopyObject", [=, this] { return l->C_CopyObject(h, 1, tmpl, 1, &object); }},
            {"C_DestroyObject", [=] { return l->C_DestroyObject(h, 1); }},
            {"C_GetObjectSize", [=, this] { return l->C_GetObjectSize(h, 1, &n); }},
            {"C_GetAttributeValue", [=, this] { return l->C_GetAttributeValue(h, 1, tmpl, 1); }},
            {"C_SetAttributeValue", [=, this] { return l->C_SetAttributeValue(h, 1, tmpl, 1); }},
            {"C_FindObjectsInit", [=, this] { return l->C_FindObjectsInit(h, tmpl, 1); }},
            {"C_FindObjects", [=, this] { return l->C_FindObjects(h, &object, 1, &n); }},
            {"C_FindObjectsFinal", [=] { return l->C_FindObjectsFinal(h); }},
            {"C_EncryptInit", [=, this] { return l->C_EncryptInit(h, &mech, 1); }},
            {"C_Encrypt", [=, this] { return l->C_Encrypt(h, buf, 4, buf, &len); }},
            {"C_EncryptUpdate", [=, this] { return l->C_EncryptUpdate(h, buf, 4, buf, &len); }},
            {"C_EncryptFinal", [=, this] { return l->C_EncryptFinal(h, buf, &len); }},
            {"C_DecryptInit", [=, this] { return l->C_DecryptInit(h, &mech, 1); }},
            {"C_Decrypt", [=, this] { return l->C_Decrypt(h, buf, 4, buf, &len); }},
            {"C_DecryptUpdate", [=, this] { return l->C_DecryptUpdate(h, buf, 4, buf, &len); }},
            {"C_DecryptFinal", [=, this] { return l->C_DecryptFinal(h, buf, &len); }},
            {"C_DigestInit", [=, this] { return l->C_DigestInit(h, &mech); }},
            {"C_Digest", [=, this] { return l->C_Digest(h, buf, 4, buf, &len); }},
            {"C_DigestUpdate", [=, this] { return l->C_DigestUpdate(h, buf, 4); }},
            {"C_DigestKey", [=] { return l->C_DigestKey(h, 1); }},
            {"C_DigestFinal", [=, this] { return l->C_DigestFinal(h, buf, &len); }},
            {"C_SignInit", [=, this] { return l->C_SignInit(h, &mech, 1); }},
            {"C_Sign", [=, this] { return l->C_Sign(h, buf, 4, buf, &len); }},
            {"C_SignUpdate", [=, this] { return l->C_SignUpdate(h, buf, 4); }},
            {"C_SignFinal", [=, this] { return l->C_SignFinal(h, buf, &len); }},
            {"C_SignRecoverInit", [=, this] { return l->C_SignRecoverInit(h, &mech, 1); }},
            {"C_SignRecover", [=, this] { return l->C_SignRecover(h, buf, 4, buf, &len); }},
            {"C_VerifyInit", [=, this] { return l->C_VerifyInit(h, &mech, 1); }},
            {"C_Verify", [=, this] { return l->C_Verify(h, buf, 4, buf, 8); }},
            {"C_VerifyUpdate", [=, this] { return l->C_VerifyUpdate(h, buf, 4); }},
            {"C_VerifyFinal", [=, this] { return l->C_VerifyFinal(h, buf, 8); }},
            {"C_VerifyRecoverInit", [=, this] { return l->C_VerifyRecoverInit(h, &mech, 1); }},
            {"C_VerifyRecover", [=, this] { return l->C_VerifyRecover(h, buf, 4, buf, &len); }},
            {"C_DigestEncryptUpdate",
             [=, this] { return l->C_DigestEncryptUpdate(h, buf, 4, buf, &len); }},
            {"C_DecryptDigestUpdate",
             [=, this] { return l->C_DecryptDigestUpdate(h, buf, 4, buf, &len); }},
            {"C_SignEncryptUpdate",
             [=, this] { return l->C_SignEncryptUpdate(h, buf, 4, buf, &len); }},
            {"C_DecryptVerifyUpdate",
             [=, this] { return l->C_DecryptVerifyUpdate(h, buf, 4, buf, &len); }},
            {"C_GenerateKey", [=, this] { return l->C_GenerateKey(h, &mech, tmpl, 1, &object); }},
            {"C_GenerateKeyPair",
             [=, this] {
                 return l->C_GenerateKeyPair(h, &mech, tmpl, 1, tmpl, 1, &object, &object2);
             }},
            {"C_WrapKey", [=, this] { return l->C_WrapKey(h, &mech, 1, 2, buf, &len); }},
            {"C_UnwrapKey",
             [=, this] { return l->C_UnwrapKey(h, &mech, 1, buf, 4, tmpl, 1, &object); }},
            {"C_DeriveKey", [=, this] { return l->C_DeriveKey(h, &mech, 1, tmpl, 1, &object); }},
            {"C_SeedRandom", [=, this] { return l->C_SeedRandom(h, buf, 4); }},
            {"C_GenerateRandom", [=, this] { return l->C_GenerateRandom(h, buf, 4); }},
            {"C_GetFunctionStatus", [=] { return l->C_GetFunctionStatus(h); }},
            {"C_CancelFunction", [=] { return l->C_CancelFunction(h); }},
            {"C_WaitForSlotEvent",
             [=, this] { return l->C_WaitForSlotEvent(CKF_DONT_BLOCK, &session, nullptr); }},
            {"M_GetUserInfo", [=, this] { return x->M_GetUserInfo(s, CKU_USER, &user_info); }},
            {"M_UnblockUserPin", [=, this] { return x->M_UnblockUserPin(h, pin, 4, pin, 4); }},
            {"M_SetTokenLabel", [=] { return x->M_SetTokenLabel(h, "label"); }},
            {"M_FormatToken", [=, this] { return x->M_FormatToken(h, &format); }},
            {"M_CreateContainer", [=] { return x->M_CreateContainer(h, "c"); }},
            {"M_DeleteContainer", [=] { return x->M_DeleteContainer(h, "c"); }},
            {"M_EnumContainer", [=, this] { return x->M_EnumContainer(h, nullptr, &len); }},
            {"M_GetContainerInfo",
             [=, this] { return x->M_GetContainerInfo(h, "c", buf, &n, &n, buf, buf); }},
            {"M_WriteSectors", [=, this] { return x->M_WriteSectors(h, 0, 0, buf); }},
            {"M_ReadSectors", [=, this] { return x->M_ReadSectors(h, 0, 0, buf); }},
            {"M_ReloadObjects", [=] { return x->M_ReloadObjects(h); }},
            {"M_CreateFile", [=] { return x->M_CreateFile(h, "f", 4, 0xFF, 0xFF); }},
            {"M_DeleteFile", [=] { return x->M_DeleteFile(h, "f"); }},
            {"M_WriteFile", [=, this] { return x->M_WriteFile(h, "f", 0, buf, 4); }},
            {"M_ReadFile", [=, this] { return x->M_ReadFile(h, "f", 0, 4, buf, &len); }},
            {"M_GetFileInfo", [=, this] { return x->M_GetFileInfo(h, "f", &n, &n, &n); }},
            {"M_GetApplicationInfo",
             [=, this] {
                 return x->M_GetApplicationInfo(s, app_name, buf, buf, buf, buf, &login_state);
             }},
            {"M_ConstructMSCMapFiles", [=] { return x->M_ConstructMSCMapFiles(s, ""); }},
            {"M_ForceLogout", [=] { return force_logout(s); }},
            {"M_RemoteUnblockUserPin", [=, this] { return remote_unblock(h, buf, 4); }},
            {"M_GetDevCaps", [=, this] { return dev_caps(s, &n, &n); }},
            {"M_SetInqString", [=] { return inq(s, "v", "p"); }},
            {"M_RemoteUnblockUserPinMS",
             [=, this] { return remote_unblock_ms(h, buf, 4, buf, &n); }},
        };
    }

    CK_INFO info{};
    CK_SLOT_INFO slot_info{};
    CK_TOKEN_INFO token_info{};
    CK_MECHANISM_INFO mech_info{};
    CK_SESSION_INFO session_info{};
    user_pin_info user_info{};
    token_format_info format{};
    CK_ULONG n = 0;
    CK_ULONG len = 16;
    CK_BYTE buf[64] = {1, 2, 3, 4};
    CK_UTF8CHAR pin[4] = {'1', '2', '3', '4'};
    CK_UTF8CHAR label[32] = {'l'};
    char app_name[64] = {};
    unsigned int login_state = 0;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE object = 0;
    CK_OBJECT_HANDLE object2 = 0;
    CK_MECHANISM mech{CKM_SHA_1, nullptr, 0};
    CK_OBJECT_CLASS data_class = CKO_DATA;
    CK_ATTRIBUTE tmpl[1] = {{CKA_CLASS, &data_class, sizeof data_class}};
};

// Before the first C_Initialize and after C_Finalize: nothing but
// C_Initialize, C_GetFunctionList, M_GetExtFunctionList (and the
// configuration setter M_SetEnumString) answers anything else.
TEST_F(Calls, EveryFunctionOutsideInitialisationIsNotInitialised) {
    const auto check = [&](const char* when) {
        for (const auto& c : every_call(0x4321, 0))
            EXPECT_EQ(c.call(), CKR_CRYPTOKI_NOT_INITIALIZED) << c.name << " " << when;
        CK_FUNCTION_LIST* list = nullptr;
        EXPECT_EQ(f->C_GetFunctionList(&list), CKR_OK);
        M_FUNCTION_LIST* ext = nullptr;
        EXPECT_EQ(m->M_GetExtFunctionList(&ext), CKR_OK);
        EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    };
    check("before C_Initialize");
    init();
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    check("after C_Finalize");
    init(); // and the library comes back
    EXPECT_EQ(f->C_GetInfo(&info), CKR_OK);
}

// Slot ids that name no slot and session handles that name no session, in
// every function that takes one; the four slots shown without tokens stay slots.
TEST_F(Calls, SlotIdsAndSessionHandlesThatNameNothing) {
    init();
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    if (count != 4) GTEST_SKIP() << "a token is present on this machine";
    const std::vector<std::string> by_slot = {
        "C_GetSlotInfo",          "C_GetTokenInfo", "C_GetMechanismList",
        "C_GetMechanismInfo",     "C_InitToken",    "C_OpenSession",
        "C_CloseAllSessions",     "M_GetUserInfo",  "M_GetApplicationInfo",
        "M_ConstructMSCMapFiles", "M_ForceLogout",  "M_GetDevCaps",
        "M_SetInqString"};
    const auto takes_slot = [&](const std::string& name) {
        for (const auto& s : by_slot)
            if (s == name) return true;
        return false;
    };
    const auto takes_session = [&](const std::string& name) {
        return !takes_slot(name) && name != "C_GetInfo" && name != "C_GetSlotList" &&
               name != "C_WaitForSlotEvent";
    };
    for (CK_SLOT_ID bad : {CK_SLOT_ID{4}, CK_SLOT_ID{88888}, CK_SLOT_ID{1} << 32, ~CK_SLOT_ID{0}}) {
        for (const auto& c : every_call(0x4321, bad)) {
            if (takes_slot(c.name)) {
                EXPECT_EQ(c.call(), CKR_SLOT_ID_INVALID) << c.name << " slot " << bad;
            }
        }
    }
    for (CK_SESSION_HANDLE bad :
         {CK_SESSION_HANDLE{0}, CK_SESSION_HANDLE{0x4321}, ~CK_SESSION_HANDLE{0}}) {
        for (const auto& c : every_call(bad, 0)) {
            if (takes_session(c.name)) {
                EXPECT_EQ(c.call(), CKR_SESSION_HANDLE_INVALID) << c.name << " session " << bad;
            }
        }
    }
    // The empty slots are slots.
    EXPECT_EQ(f->C_GetSlotInfo(3, &slot_info), CKR_OK);
    EXPECT_EQ(f->C_CloseAllSessions(3), CKR_DEVICE_REMOVED); // a slot, but no token in it
}

TEST_F(Calls, SeedRandomRefusesANullSeed) {
    init();
    EXPECT_EQ(f->C_SeedRandom(0x4321, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_SeedRandom(0x4321, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
}

} // namespace
