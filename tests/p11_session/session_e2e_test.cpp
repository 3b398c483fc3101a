// Sessions, login states and mechanisms through the built module (dlopen +
// C_GetFunctionList) on simulated tokens behind pcscd, and pkcs11-tool's
// mechanism list. Each test runs in its own process (gtest_discover_tests),
// so the module's token list starts empty.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "token_session.h"
#include "wait_until.h"

using cardsim::test::first_port;
using cardsim::test::simulated_token;

namespace {

constexpr const char* so_pin = "pevot";
constexpr const char* user_pin = "24681357";

cardsim::card_options token_options() {
    return test_support::module_token_options();
}

CK_UTF8CHAR_PTR text(const char* s) {
    return test_support::utf8(s);
}

class SessionE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    std::vector<CK_SLOT_ID> token_slots() { return test_support::token_slots(f); }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, bool rw) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr,
                                   nullptr, &h),
                  CKR_OK);
        return h;
    }
    CK_STATE state(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }
    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const std::string& pin) {
        return f->C_Login(h, type, text(pin.c_str()), pin.size());
    }
    // The slot of a fresh token whose user PIN the SO has set.
    CK_SLOT_ID ready_slot() {
        const auto slots = token_slots();
        EXPECT_EQ(slots.size(), 1u);
        const CK_SLOT_ID slot = slots.empty() ? 0 : slots[0];
        const CK_SESSION_HANDLE h = open(slot, true);
        EXPECT_EQ(login(h, CKU_SO, so_pin), CKR_OK);
        EXPECT_EQ(f->C_InitPIN(h, text(user_pin), 8), CKR_OK);
        EXPECT_EQ(f->C_CloseSession(h), CKR_OK);
        return slot;
    }

    CK_FUNCTION_LIST* f = nullptr;
};

TEST_F(SessionE2E, LoginStatesAcrossTwoSessionsAndAfterLogout) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    const CK_SLOT_ID slot = ready_slot();

    const CK_SESSION_HANDLE rw = open(slot, true);
    const CK_SESSION_HANDLE ro = open(slot, false);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state(ro), CKS_RO_PUBLIC_SESSION);

    ASSERT_EQ(login(ro, CKU_USER, user_pin), CKR_OK); // from either session: both change
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(login(rw, CKU_SO, so_pin), CKR_SESSION_READ_ONLY_EXISTS);

    ASSERT_EQ(f->C_Logout(rw), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state(ro), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(f->C_Logout(ro), CKR_USER_NOT_LOGGED_IN);

    // The SO: only beside read-write sessions.
    EXPECT_EQ(login(rw, CKU_SO, so_pin), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(f->C_CloseSession(ro), CKR_OK);
    ASSERT_EQ(login(rw, CKU_SO, so_pin), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(login(rw, CKU_USER, user_pin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    const CK_SESSION_HANDLE rw2 = open(slot, true);
    EXPECT_EQ(state(rw2), CKS_RW_SO_FUNCTIONS);
    ASSERT_EQ(f->C_Logout(rw2), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);

    // Closing the last session logs the user out.
    ASSERT_EQ(login(rw, CKU_USER, user_pin), CKR_OK);
    ASSERT_EQ(f->C_CloseAllSessions(slot), CKR_OK);
    const CK_SESSION_HANDLE again = open(slot, false);
    EXPECT_EQ(state(again), CKS_RO_PUBLIC_SESSION);
    CK_SESSION_INFO info{};
    EXPECT_EQ(f->C_GetSessionInfo(rw, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(SessionE2E, ContextSpecificLoginLeavesTheUserLoggedIn) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    const CK_SLOT_ID slot = ready_slot();
    const CK_SESSION_HANDLE rw = open(slot, true);
    const CK_SESSION_HANDLE ro = open(slot, false);

    EXPECT_EQ(login(rw, CKU_CONTEXT_SPECIFIC, user_pin), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);

    ASSERT_EQ(login(rw, CKU_USER, user_pin), CKR_OK);
    ASSERT_EQ(login(ro, CKU_CONTEXT_SPECIFIC, user_pin), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(ro), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(login(ro, CKU_CONTEXT_SPECIFIC, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(ro), CKS_RO_USER_FUNCTIONS);
    ASSERT_EQ(f->C_Logout(ro), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
}

TEST_F(SessionE2E, ForcedLogoutRestatesEverySessionAtOnce) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    const CK_SLOT_ID slot = ready_slot();
    const CK_SESSION_HANDLE rw = open(slot, true);
    const CK_SESSION_HANDLE ro = open(slot, false);
    ASSERT_EQ(login(rw, CKU_USER, user_pin), CKR_OK);
    const auto force_logout = reinterpret_cast<M_ForceLogout_FN>(module().symbol("M_ForceLogout"));
    ASSERT_NE(force_logout, nullptr);
    ASSERT_EQ(force_logout(slot), CKR_OK);
    // No session still acts as the user: there is nobody to log out.
    EXPECT_EQ(f->C_Logout(ro), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(f->C_Logout(rw), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state(ro), CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(login(ro, CKU_USER, user_pin), CKR_OK); // and the user can log in again
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
}

TEST_F(SessionE2E, ALoggedInSessionOfAPulledCardNeverReachesTheNextCardInItsSlot) {
    ASSERT_TRUE(set_module_timing(module(), 100, 0));
    std::optional<simulated_token> first(std::in_place, token_options(), first_port());
    ASSERT_TRUE(first->inserted()) << first->error();
    const CK_SLOT_ID slot = ready_slot();
    const CK_SESSION_HANDLE old_rw = open(slot, true);
    const CK_SESSION_HANDLE old_ro = open(slot, false);
    ASSERT_EQ(login(old_rw, CKU_USER, user_pin), CKR_OK);

    ASSERT_TRUE(first->remove());
    first.reset();
    // The module enumerates again once its (shortened) interval has passed.
    ASSERT_TRUE(
        test_support::wait_until([&] { return token_slots().empty(); }, std::chrono::seconds(10)));
    // Another card in the other reader takes the lowest free slot id: the same one.
    simulated_token second(token_options(), cardsim::test::second_port());
    ASSERT_TRUE(second.inserted()) << second.error();
    ASSERT_EQ(token_slots(), std::vector<CK_SLOT_ID>{slot});

    CK_SESSION_INFO info{};
    CK_MECHANISM sha1{CKM_SHA_1, nullptr, 0};
    for (CK_SESSION_HANDLE old : {old_rw, old_ro}) {
        EXPECT_EQ(f->C_GetSessionInfo(old, &info), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_Logout(old), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_FindObjectsInit(old, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_DigestInit(old, &sha1), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_CloseSession(old), CKR_SESSION_HANDLE_INVALID);
    }
    CK_TOKEN_INFO token{};
    ASSERT_EQ(f->C_GetTokenInfo(slot, &token), CKR_OK);
    EXPECT_EQ(token.ulSessionCount, 0u);
    EXPECT_EQ(token.ulRwSessionCount, 0u);
    const CK_SESSION_HANDLE fresh = open(slot, true);
    EXPECT_EQ(state(fresh), CKS_RW_PUBLIC_SESSION); // nobody is logged in on the new card
}

TEST_F(SessionE2E, SessionCallsRefuseBadInputAndReadOnlySessionsWhereWritingIsNeeded) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    const CK_SLOT_ID slot = ready_slot();
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_OpenSession(slot, CKF_RW_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(
        f->C_OpenSession((CK_SLOT_ID{1} << 32) | slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
        CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_CloseAllSessions((CK_SLOT_ID{1} << 32) | slot), CKR_SLOT_ID_INVALID);

    const CK_SESSION_HANDLE ro = open(slot, false);
    EXPECT_EQ(f->C_GetSessionInfo(ro, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_InitPIN(ro, text(user_pin), 8), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(ro, CKU_USER, user_pin), CKR_OK);
    EXPECT_EQ(f->C_SetPIN(ro, text(user_pin), 8, text("13572468"), 8), CKR_SESSION_READ_ONLY);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE token_object[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, 1}};
    CK_OBJECT_HANDLE o = 0;
    EXPECT_EQ(f->C_CreateObject(ro, token_object, 2, &o), CKR_SESSION_READ_ONLY);
    CK_MECHANISM gen{CKM_AES_KEY_GEN, nullptr, 0};
    EXPECT_EQ(f->C_GenerateKey(ro, &gen, token_object + 1, 1, &o), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(f->C_DigestInit(ro, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_SignInit(ro, nullptr, 1), CKR_ARGUMENTS_BAD);
    // A mechanism without a context class.
    CK_MECHANISM no_context{CKM_SHA384_KEY_DERIVATION, nullptr, 0};
    EXPECT_EQ(f->C_DigestInit(ro, &no_context), CKR_MECHANISM_INVALID);
    CK_ULONG len = 0;
    CK_BYTE in[4] = {};
    EXPECT_EQ(f->C_Digest(ro, in, 4, nullptr, &len), CKR_OPERATION_NOT_INITIALIZED);
    // The session is unharmed and still logged in.
    EXPECT_EQ(state(ro), CKS_RO_USER_FUNCTIONS);
    const CK_SESSION_HANDLE rw = open(slot, true);
    ASSERT_EQ(f->C_SetPIN(rw, text(user_pin), 8, text("13572468"), 8), CKR_OK);
}

TEST_F(SessionE2E, MechanismsOfTheSimulatedToken) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    const auto slots = token_slots();
    ASSERT_EQ(slots.size(), 1u);
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_GetMechanismList(slots[0], nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 48u);
    std::vector<CK_MECHANISM_TYPE> list(n);
    ASSERT_EQ(f->C_GetMechanismList(slots[0], list.data(), &n), CKR_OK);
    for (CK_MECHANISM_TYPE t : list) {
        CK_MECHANISM_INFO info{};
        EXPECT_EQ(f->C_GetMechanismInfo(slots[0], t, &info), CKR_OK) << std::hex << t;
        EXPECT_NE(info.flags, 0u) << std::hex << t;
        EXPECT_LE(info.ulMinKeySize, info.ulMaxKeySize) << std::hex << t;
    }
    // SHA-384 digests on the card, so it is listed like the other digests.
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(f->C_GetMechanismInfo(slots[0], CKM_SHA384, &info), CKR_OK);
    EXPECT_EQ(info.ulMinKeySize, 384u);
    EXPECT_EQ(info.ulMaxKeySize, 384u);
    EXPECT_EQ(info.flags, CKF_HW | CKF_DIGEST);
    EXPECT_EQ(f->C_GetMechanismInfo(slots[0], CKM_SHA384_KEY_DERIVATION, &info),
              CKR_MECHANISM_INVALID);
    EXPECT_EQ(f->C_GetMechanismInfo(slots[0], (CK_MECHANISM_TYPE{1} << 32) | CKM_SHA_1, &info),
              CKR_MECHANISM_INVALID);
}

// pkcs11-tool in a process of its own; this process does not load the module.
TEST(SessionTool, ListMechanismsOnTheSimulatedToken) {
    simulated_token card(token_options(), first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    std::string command;
    if (TESSVIK_SANITIZED)
        command = "LD_PRELOAD=$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 ";
    command +=
        std::string(PKCS11_TOOL) + " --module " + TESSVIK_MODULE_PATH + " --list-mechanisms 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, p)) > 0)
        output.append(buffer, got);
    const int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("Supported mechanisms:"), std::string::npos) << output;
    // One line per mechanism: "  NAME, keySize={min,max}, flags...".
    int count = 0;
    std::istringstream lines(output);
    for (std::string l; std::getline(lines, l);)
        if (l.rfind("  ", 0) == 0 && l.find(", keySize={") != std::string::npos) ++count;
    EXPECT_EQ(count, 48) << output;
    for (const char* expected :
         {"RSA-PKCS, keySize={1024,2048}, hw, encrypt, decrypt, sign, verify, wrap, unwrap",
          "SHA256, keySize={256,256}, hw, digest", "SHA384, keySize={384,384}, hw, digest",
          "RC4, keySize={8,2048}, encrypt, decrypt",
          "AES-CBC-PAD, keySize={16,32}, hw, encrypt, decrypt, wrap, unwrap"})
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
}

} // namespace
