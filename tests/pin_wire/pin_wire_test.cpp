// What a PC/SC sniffer sees of the PINs: every command APDU the simulated
// token receives while PINs are verified, set, changed, unblocked and while
// the token is initialised, driven through the built module (dlopen +
// C_GetFunctionList). No PIN and no PIN key (first 16 bytes of SHA-1 over
// the PIN in a zero-filled 16-byte buffer) may appear in them as a byte
// string. The one command whose layout carries PINs by design is the card's
// application record ("CreateApplication", GM/T 0016 application creation):
// the card stores the two PINs it is given there. It is checked to be the
// only such command, and to carry no PIN key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "sm_mac.h"

using cardsim::test::first_port;
using cardsim::test::simulated_token;

namespace {

using bytes = std::vector<uint8_t>;

constexpr const char* template_so_pin = "pevot";      // the format template's SO PIN
constexpr const char* template_user_pin = "58204716"; // and its user PIN

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

bool contains(const bytes& haystack, const bytes& needle) {
    return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                          needle.end()) != haystack.end();
}

bool is_create_application(const bytes& apdu) {
    return apdu.size() >= 4 && apdu[0] == 0x80 && apdu[1] == 0x20 && apdu[2] == 0x00 &&
           apdu[3] == 0x00;
}

std::string hex(const bytes& b, size_t limit = 24) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size() && i < limit; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}

// A secret that must not cross PC/SC: a PIN text or the PIN key derived
// from it.
struct secret {
    std::string what;
    bytes value;
    bool is_pin;
};

class PinWire : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        m = module().m;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const char* pin) {
        return f->C_Login(h, type, text(pin), std::strlen(pin));
    }
    CK_RV set_pin(CK_SESSION_HANDLE h, const char* old_pin, const char* new_pin) {
        return f->C_SetPIN(h, text(old_pin), std::strlen(old_pin), text(new_pin),
                           std::strlen(new_pin));
    }
    CK_SESSION_HANDLE open_rw() {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    // Wrong user PINs until the card locks the user PIN (10 tries at most
    // on the format template).
    void lock_user_pin(CK_SESSION_HANDLE h) {
        for (int i = 0; i < 16; ++i)
            if (login(h, CKU_USER, "wrong-pin") == CKR_PIN_LOCKED) return;
        ADD_FAILURE() << "the user PIN never locked";
    }

    void remember(const char* pin) {
        const std::string p(pin);
        if (std::any_of(secrets.begin(), secrets.end(),
                        [&](const secret& s) { return s.what == "PIN " + p; }))
            return;
        secrets.push_back({"PIN " + p, bytes(p.begin(), p.end()), true});
        const auto key = cardsim::sm_pin_key(p);
        ASSERT_TRUE(key.has_value());
        secrets.push_back({"PIN key of " + p, bytes(key->begin(), key->end()), false});
    }

    // Runs one step with a clean APDU log and keeps what the card received.
    void step(const std::string& name, const std::function<void()>& body) {
        token->sim().clear_log();
        body();
        steps.push_back({name, token->sim().apdu_log()});
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    simulated_token* token = nullptr;
    std::vector<secret> secrets;
    struct recorded {
        std::string name;
        std::vector<bytes> apdus;
    };
    std::vector<recorded> steps;
};

TEST_F(PinWire, no_pin_and_no_pin_key_cross_pcsc) {
    cardsim::card_options options;
    options.oem_identifier = "Tavrel01"; // a token the module lists
    simulated_token card(options, first_port);
    ASSERT_TRUE(card.inserted()) << card.error();
    token = &card;
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 1u);

    const char* const user1 = "11112222";
    const char* const user2 = "22223333";
    const char* const user3 = "33334444";
    const char* const user4 = "44445555";
    const char* const so2 = "so-new-9";
    const char* const fmt_so = "fmt-so-77";
    const char* const fmt_user = "fmt-user-88";
    for (const char* pin : {template_so_pin, template_user_pin, user1, user2, user3, user4, so2,
                            fmt_so, fmt_user, "wrong-pin"})
        remember(pin);

    const CK_SESSION_HANDLE h = open_rw();
    step("C_Login SO", [&] { ASSERT_EQ(login(h, CKU_SO, template_so_pin), CKR_OK); });
    step("C_InitPIN", [&] { ASSERT_EQ(f->C_InitPIN(h, text(user1), std::strlen(user1)), CKR_OK); });
    step("C_SetPIN SO", [&] { ASSERT_EQ(set_pin(h, template_so_pin, so2), CKR_OK); });
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    step("C_Login user", [&] { ASSERT_EQ(login(h, CKU_USER, user1), CKR_OK); });
    step("C_SetPIN user", [&] { ASSERT_EQ(set_pin(h, user1, user2), CKR_OK); });
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    step("wrong user PINs", [&] { lock_user_pin(h); });
    // Nobody logged in and the user PIN locked: C_SetPIN takes the old PIN
    // as the SO PIN and unblocks the user PIN with the new one.
    step("C_SetPIN unblock form", [&] { ASSERT_EQ(set_pin(h, so2, user3), CKR_OK); });
    ASSERT_EQ(login(h, CKU_USER, user3), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    lock_user_pin(h);
    step("M_UnblockUserPin", [&] {
        ASSERT_EQ(
            m->M_UnblockUserPin(h, text(so2), std::strlen(so2), text(user4), std::strlen(user4)),
            CKR_OK);
    });
    ASSERT_EQ(login(h, CKU_USER, user4), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(h), CKR_OK);

    std::string label = "wire check";
    label.resize(32, ' ');
    step("C_InitToken", [&] {
        ASSERT_EQ(f->C_InitToken(0, text(so2), std::strlen(so2), text(label.c_str())), CKR_OK);
    });

    const CK_SESSION_HANDLE s = open_rw();
    token_format_info record{};
    std::strcpy(record.label, "formatted");
    std::strcpy(record.manufacturer, "Quessar");
    std::strcpy(record.model, "Quessar");
    std::strcpy(record.so_pin, fmt_so);
    std::strcpy(record.user_pin, fmt_user);
    record.user_pin_retry_count = 5;
    record.so_pin_retry_count = 5;
    record.user_pin_min_len = 4;
    record.user_pin_max_len = 16;
    record.so_pin_min_len = 4;
    record.so_pin_max_len = 16;
    step("M_FormatToken", [&] { ASSERT_EQ(m->M_FormatToken(s, &record), CKR_OK); });
    EXPECT_EQ(login(s, CKU_SO, fmt_so), CKR_OK);

    // The reserved secure-messaging name F0..F7 (application and container
    // of an on-card MAC) never goes out: the MAC is computed by the library.
    const bytes reserved{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7};
    for (const recorded& r : steps) {
        ASSERT_FALSE(r.apdus.empty()) << r.name;
        size_t create_application = 0;
        for (const bytes& apdu : r.apdus) {
            EXPECT_FALSE(contains(apdu, reserved)) << r.name << ": " << hex(apdu);
            EXPECT_FALSE(apdu.size() >= 2 &&
                         ((apdu[0] == 0xC0 && apdu[1] == 0x12) || // SetSessionKey
                          (apdu[0] == 0x80 && (apdu[1] == 0xBC || apdu[1] == 0xC0 ||
                                               apdu[1] == 0xC2)))) // MacInit/Update/Final
                << r.name << ": " << hex(apdu);
            const bool record_command = is_create_application(apdu);
            create_application += record_command;
            for (const secret& sec : secrets) {
                if (!contains(apdu, sec.value)) continue;
                // The application record carries the PINs the card stores.
                if (sec.is_pin && record_command) continue;
                ADD_FAILURE() << r.name << ": " << sec.what << " in " << hex(apdu);
            }
        }
        const bool formats = r.name == "C_InitToken" || r.name == "M_FormatToken";
        EXPECT_EQ(create_application, formats ? 1u : 0u) << r.name;
    }

    // The cost of the PIN commands on the wire (10-30 ms an APDU on a real
    // token): a PIN change is challenge + VerifyPin (old PIN) + challenge +
    // ChangePin, with nothing for the MAC.
    for (const recorded& r : steps)
        std::printf("[ APDUs    ] %-22s %zu\n", r.name.c_str(), r.apdus.size());
    const auto change = std::find_if(steps.begin(), steps.end(),
                                     [](const recorded& r) { return r.name == "C_SetPIN user"; });
    ASSERT_NE(change, steps.end());
    EXPECT_LE(change->apdus.size(), 6u);
}

} // namespace
