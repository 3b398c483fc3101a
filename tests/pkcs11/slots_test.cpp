// Slots without tokens, slot events, and the answers of exports whose work
// needs a token or a session when neither exists.
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "test_support.h"
#include "wait_until.h"

namespace {

constexpr CK_ULONG sentinel = ~0UL;

TEST_F(ModuleTest, SlotListWithoutTokensShowsFourEmptySlots) {
    CK_ULONG count = sentinel;
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    init();
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 4u); // written at full width over the sentinel

    CK_SLOT_ID slots[4];
    std::memset(slots, 0xFF, sizeof slots);
    count = 3;
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 4u);
    count = 4;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
    for (CK_ULONG i = 0; i < 4; ++i)
        EXPECT_EQ(slots[i], i);

    count = sentinel;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
}

// Before C_Initialize no slot is answered; after it the four slots shown
// without tokens are, and an id that names no slot is not.
TEST_F(ModuleTest, SlotInfoOfTheEmptySlotsOnlyWhileInitialised) {
    CK_SLOT_INFO info;
    EXPECT_EQ(f->C_GetSlotInfo(0, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    init();
    for (CK_SLOT_ID slot : {CK_SLOT_ID{0}, CK_SLOT_ID{3}}) {
        std::memset(&info, 0xA5, sizeof info);
        ASSERT_EQ(f->C_GetSlotInfo(slot, &info), CKR_OK);
        EXPECT_EQ(field(info.slotDescription, 64),
                  padded("Tavrel Token PKCS11 Module V1 " + std::to_string(slot), 64));
        EXPECT_EQ(field(info.manufacturerID, 32), std::string(32, ' '));
        EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
        EXPECT_EQ(info.hardwareVersion.major, 1);
        EXPECT_EQ(info.hardwareVersion.minor, 0);
        EXPECT_EQ(info.firmwareVersion.major, 1);
        EXPECT_EQ(info.firmwareVersion.minor, 0);
    }
    for (CK_SLOT_ID slot : {CK_SLOT_ID{4}, CK_SLOT_ID{57}, CK_SLOT_ID{88888}, CK_SLOT_ID{1} << 32})
        EXPECT_EQ(f->C_GetSlotInfo(slot, &info), CKR_SLOT_ID_INVALID) << slot;
}

TEST_F(ModuleTest, TokenInfoOfEmptySlotsIsSlotIdInvalid) {
    init();
    auto exported = reinterpret_cast<CK_C_GetTokenInfo>(module().symbol("C_GetTokenInfo"));
    for (CK_SLOT_ID slot :
         {CK_SLOT_ID{0}, CK_SLOT_ID{1}, CK_SLOT_ID{2}, CK_SLOT_ID{3}, CK_SLOT_ID{1} << 32}) {
        CK_TOKEN_INFO info;
        EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_SLOT_ID_INVALID) << slot;
        EXPECT_EQ(exported(slot, &info), CKR_SLOT_ID_INVALID) << slot;
    }
}

struct no_token_case {
    const char* name;
    std::function<CK_RV(CK_FUNCTION_LIST*, M_FUNCTION_LIST*)> call;
    CK_RV expected;
};

// What the exports answer with no token and no session present.
TEST_F(ModuleTest, AnswersWithoutTokensOrSessions) {
    init();
    constexpr CK_SESSION_HANDLE h = 0x1234;
    CK_BYTE buf[16] = {};
    CK_ULONG len = sizeof buf;
    CK_SESSION_HANDLE session = 0;
    CK_MECHANISM mech = {CKM_SHA_1, nullptr, 0};
    auto force_logout = reinterpret_cast<M_ForceLogout_FN>(module().symbol("M_ForceLogout"));
    auto dev_caps = reinterpret_cast<M_GetDevCaps_FN>(module().symbol("M_GetDevCaps"));
    const no_token_case cases[] = {
        {"OpenSession",
         [&](auto* f, auto*) {
             return f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
         },
         CKR_SLOT_ID_INVALID},
        {"OpenSession parallel",
         [&](auto* f, auto*) { return f->C_OpenSession(0, 0, nullptr, nullptr, &session); },
         CKR_SESSION_PARALLEL_NOT_SUPPORTED},
        {"CloseSession", [&](auto* f, auto*) { return f->C_CloseSession(h); },
         CKR_SESSION_HANDLE_INVALID},
        {"CloseAllSessions", [&](auto* f, auto*) { return f->C_CloseAllSessions(0); },
         CKR_DEVICE_REMOVED},
        {"GetSessionInfo",
         [&](auto* f, auto*) {
             CK_SESSION_INFO i;
             return f->C_GetSessionInfo(h, &i);
         },
         CKR_SESSION_HANDLE_INVALID},
        {"Login", [&](auto* f, auto*) { return f->C_Login(h, CKU_USER, buf, 4); },
         CKR_SESSION_HANDLE_INVALID},
        {"Login bad user type",
         [&](auto* f, auto*) { return f->C_Login(h, CKU_USER | (1UL << 32), buf, 4); },
         CKR_USER_TYPE_INVALID},
        {"Logout", [&](auto* f, auto*) { return f->C_Logout(h); }, CKR_SESSION_HANDLE_INVALID},
        {"GetMechanismList",
         [&](auto* f, auto*) { return f->C_GetMechanismList(0, nullptr, &len); },
         CKR_SLOT_ID_INVALID},
        {"InitToken", [&](auto* f, auto*) { return f->C_InitToken(0, buf, 4, buf); },
         CKR_SLOT_ID_INVALID},
        {"FindObjectsFinal", [&](auto* f, auto*) { return f->C_FindObjectsFinal(h); },
         CKR_SESSION_HANDLE_INVALID},
        {"SignRecover", [&](auto* f, auto*) { return f->C_SignRecover(h, buf, 1, buf, &len); },
         CKR_SESSION_HANDLE_INVALID},
        {"GetOperationState", [&](auto* f, auto*) { return f->C_GetOperationState(h, buf, &len); },
         CKR_SESSION_HANDLE_INVALID},
        {"VerifyRecover", [&](auto* f, auto*) { return f->C_VerifyRecover(h, buf, 1, buf, &len); },
         CKR_SESSION_HANDLE_INVALID},
        {"GetFunctionStatus", [&](auto* f, auto*) { return f->C_GetFunctionStatus(h); },
         CKR_SESSION_HANDLE_INVALID},
        {"CancelFunction", [&](auto* f, auto*) { return f->C_CancelFunction(h); },
         CKR_SESSION_HANDLE_INVALID},
        {"DigestInit", [&](auto* f, auto*) { return f->C_DigestInit(h, &mech); },
         CKR_SESSION_HANDLE_INVALID},
        {"Sign via list", [&](auto* f, auto*) { return f->C_Sign(h, buf, 1, nullptr, &len); },
         CKR_SESSION_HANDLE_INVALID},
        {"GenerateRandom", [&](auto* f, auto*) { return f->C_GenerateRandom(h, buf, 4); },
         CKR_SESSION_HANDLE_INVALID},
        {"Session handle above 32 bits",
         [&](auto* f, auto*) { return f->C_SeedRandom(h | (1UL << 32), buf, 1); },
         CKR_SESSION_HANDLE_INVALID},
        {"M_GetUserInfo",
         [&](auto*, auto* m) {
             user_pin_info i;
             return m->M_GetUserInfo(0, CKU_USER, &i);
         },
         CKR_DEVICE_REMOVED},
        {"M_ConstructMSCMapFiles", [&](auto*, auto* m) { return m->M_ConstructMSCMapFiles(0, ""); },
         CKR_DEVICE_REMOVED},
        {"M_ReloadObjects", [&](auto*, auto* m) { return m->M_ReloadObjects(h); },
         CKR_SESSION_HANDLE_INVALID},
        {"M_ForceLogout", [&](auto*, auto*) { return force_logout(0); }, CKR_DEVICE_REMOVED},
        {"M_GetDevCaps",
         [&](auto*, auto*) {
             CK_ULONG a, b;
             return dev_caps(0, &a, &b);
         },
         CKR_DEVICE_REMOVED},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.call(f, m), c.expected) << c.name;
}

TEST_F(ModuleTest, SlotEventWaitFlagsAndRelease) {
    CK_SLOT_ID slot = 77;
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    init();
    EXPECT_EQ(f->C_WaitForSlotEvent(2, &slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    EXPECT_EQ(slot, 77u);

    // A blocking wait ends with CKR_CRYPTOKI_NOT_INITIALIZED soon after C_Finalize.
    CK_RV waited = CKR_OK;
    std::thread waiter([&] { waited = f->C_WaitForSlotEvent(0, &slot, nullptr); });
    // C_Finalize must find the waiter inside its wait, not before it.
    EXPECT_TRUE(test_support::wait_until([&] { return slot_event_waiters(module()) == 1; },
                                         std::chrono::seconds(10)))
        << "the waiter never entered C_WaitForSlotEvent's wait";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    waiter.join();
    EXPECT_EQ(waited, CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(slot, 77u);
}

// The slot-event thread ends at C_Finalize and can start again after the next
// C_Initialize, so a finalise/initialise cycle leaves the library fully working.
TEST_F(ModuleTest, SlotEventThreadStopsAtFinalizeAndStartsAgain) {
    const int base = thread_count();
    CK_SLOT_ID slot = 0;
    for (int cycle = 0; cycle < 3; ++cycle) {
        init();
        EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
        EXPECT_EQ(thread_count(), base + 1) << "cycle " << cycle;
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
        EXPECT_EQ(thread_count(), base) << "cycle " << cycle;
    }
}

} // namespace
