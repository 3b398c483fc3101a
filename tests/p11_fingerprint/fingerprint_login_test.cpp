// Fingerprint login through the module on a simulated token whose sensor is
// scripted: C_InitToken makes the fingerprint record and the change counter,
// the token then offers CKF_PROTECTED_AUTHENTICATION_PATH, and C_Login with
// no PIN verifies the finger on the card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"

using cardsim::test::first_port;
using cardsim::test::simulated_token;

namespace {

constexpr const char* so_pin = "pevot";
constexpr const char* user_pin = "11112222";

cardsim::card_options token_options(bool sensor) {
    cardsim::card_options o;
    o.oem_identifier = "Tavrel01";
    o.fingerprint_sensor = sensor;
    return o;
}

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

class FingerprintLoginTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        m = module().m;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    // Formats the token (a new fingerprint record and change counter) and
    // sets the user PIN.
    void init_token(simulated_token& token) {
        CK_ULONG n = 0;
        ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        std::string label = "finger";
        label.resize(32, ' ');
        ASSERT_EQ(f->C_InitToken(0, text(so_pin), 5, text(label.c_str())), CKR_OK);
        const CK_SESSION_HANDLE h = open();
        ASSERT_EQ(f->C_Login(h, CKU_SO, text(so_pin), 5), CKR_OK);
        ASSERT_EQ(f->C_InitPIN(h, text(user_pin), 8), CKR_OK);
        CK_ULONG size = 0, read = 0, write = 0;
        EXPECT_EQ(m->M_GetFileInfo(h, "CacheFile", &size, &read, &write), CKR_OK);
        EXPECT_EQ(size, 4u);
        ASSERT_EQ(f->C_Logout(h), CKR_OK);
        ASSERT_EQ(f->C_CloseSession(h), CKR_OK);
        (void)token;
    }
    CK_SESSION_HANDLE open() {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    CK_FLAGS token_flags() {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
        return info.flags;
    }
    CK_STATE state(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }
    static void script_sensor(simulated_token& token, uint8_t pending_polls, bool match) {
        const std::vector<uint8_t> apdu = {
            0xC0, 0xB7, 0x00, 0x00, 0x04, 0, pending_polls, match ? uint8_t{1} : uint8_t{0}, 1};
        ASSERT_EQ(token.sim().transmit(apdu), (std::vector<uint8_t>{0x90, 0x00}));
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
};

// With a sensor the token asks for the finger; without one an empty PIN is a
// wrong PIN.
TEST_P(FingerprintLoginTest, login_without_a_pin_verifies_the_finger_on_a_token_with_a_sensor) {
    const bool sensor = GetParam();
    simulated_token token(token_options(sensor), first_port());
    ASSERT_TRUE(token.inserted()) << token.error();
    init_token(token);
    EXPECT_EQ((token_flags() & CKF_PROTECTED_AUTHENTICATION_PATH) != 0, sensor);

    const CK_SESSION_HANDLE h = open();
    script_sensor(token, 2, true);
    if (!sensor) {
        EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
        EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);
        return;
    }
    ASSERT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(state(h), CKS_RW_USER_FUNCTIONS);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // A finger that does not match: a wrong PIN with tries left; the last
    // try locks.
    script_sensor(token, 0, false);
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);
    // The PIN still works beside the finger.
    EXPECT_EQ(f->C_Login(h, CKU_USER, text(user_pin), 8), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // The finger's tries run out (the format gave it 10); the SO unblocks
    // it with M_UnblockUserPin and no new user PIN.
    CK_RV rv = CKR_PIN_INCORRECT;
    for (int i = 0; i < 10 && rv == CKR_PIN_INCORRECT; ++i) {
        script_sensor(token, 0, false);
        rv = f->C_Login(h, CKU_USER, nullptr, 0);
    }
    ASSERT_EQ(rv, CKR_PIN_LOCKED);
    script_sensor(token, 0, true);
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_LOCKED);
    EXPECT_EQ(m->M_UnblockUserPin(h, text("wrong"), 5, text(""), 0), CKR_PIN_INCORRECT);
    ASSERT_EQ(m->M_UnblockUserPin(h, text(so_pin), 5, text(""), 0), CKR_OK);
    script_sensor(token, 0, true);
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(Sensor, FingerprintLoginTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "with_sensor" : "without_sensor";
                         });

} // namespace
