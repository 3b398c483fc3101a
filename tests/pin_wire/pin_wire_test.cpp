// What a PC/SC sniffer sees of the PINs: every command APDU the simulated
// token receives while PINs are verified, set, changed, unblocked and while
// the token is initialised, driven through the built module (dlopen +
// C_GetFunctionList). None of these may appear in them as a byte string:
//  - a PIN (old or new, user or SO) or its PIN key (first 16 bytes of SHA-1
//    over the PIN in a zero-filled 16-byte buffer);
//  - the device authentication key;
//  - a session key derived from a card challenge (the first 8 bytes of a
//    GenRandom reply of the same step): SM4-ECB(K, challenge || 00 x 8) for
//    K the key of any SO PIN (ReloadPin's S, the remote unblock response R)
//    or the device authentication key (CreateApplication's S). A challenge
//    answered by DevAuth is the exception: DevAuth's cryptogram is
//    SM4-ECB(device key, challenge || 00 x 8) by design, and the card uses
//    each challenge once.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
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
// The device authentication key every format installs.
const bytes dev_auth_key = {'7', '3', '5', '0', '9', '1', '4', '8',
                            '2', '6', '0', '5', '7', '3', '1', '9'};

// One SM4-ECB block by OpenSSL.
bytes sm4_ecb_block(const bytes& key, const bytes& in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    bytes out(16);
    int n = 0;
    if (!ctx || key.size() != 16 || in.size() != 16 ||
        EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.data(), nullptr) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), 16) != 1 || n != 16) return {};
    return out;
}

// SM4-ECB(key, challenge || 00 x 8).
bytes challenge_key(const bytes& key, const bytes& challenge) {
    bytes block(challenge.begin(), challenge.begin() + 8);
    block.resize(16, 0);
    return sm4_ecb_block(key, block);
}

bool is_gen_random(const bytes& apdu) {
    return apdu.size() >= 2 && apdu[0] == 0x80 && apdu[1] == 0x50;
}
bool is_format(const bytes& apdu) {
    return apdu.size() >= 2 && (apdu[0] & ~0x10) == 0xC0 && apdu[1] == 0x00;
}

bool is_dev_auth(const bytes& apdu) {
    return apdu.size() >= 2 && apdu[0] == 0x80 && apdu[1] == 0x10;
}

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

// A secret that must not cross PC/SC: a PIN text or a key.
struct secret {
    std::string what;
    bytes value;
    bool so_key = false; // an SO PIN's key: challenge keys are made from it
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
        secrets.push_back({"PIN " + p, bytes(p.begin(), p.end())});
        const auto key = cardsim::sm_pin_key(p);
        ASSERT_TRUE(key.has_value());
        // Any PIN may have been an SO PIN at some step.
        secrets.push_back({"PIN key of " + p, bytes(key->begin(), key->end()), true});
    }

    // The session keys a step's challenges give: SM4-ECB(K, challenge ||
    // 00 x 8) for every SO PIN key and the device authentication key.
    std::vector<secret> challenge_keys(const std::vector<bytes>& apdus,
                                       const std::vector<bytes>& replies) const {
        std::vector<secret> keys;
        for (size_t i = 0; i < apdus.size() && i < replies.size(); ++i) {
            const bytes& r = replies[i];
            if (!is_gen_random(apdus[i]) || r.size() < 8 + 2 || r[r.size() - 2] != 0x90) continue;
            // A challenge answered by DevAuth: its cryptogram is that very
            // value by design (the card's device authentication), and the
            // card takes the challenge once, so no key is made from it.
            if (i + 1 < apdus.size() && is_dev_auth(apdus[i + 1])) continue;
            const bytes challenge(r.begin(), r.begin() + 8);
            keys.push_back({"device session key of challenge " + hex(challenge),
                            challenge_key(dev_auth_key, challenge)});
            for (const secret& s : secrets)
                if (s.so_key)
                    keys.push_back({"session key of " + s.what + ", challenge " + hex(challenge),
                                    challenge_key(s.value, challenge)});
        }
        return keys;
    }

    // Runs one step with a clean APDU log and keeps what the card received.
    void step(const std::string& name, const std::function<void()>& body) {
        token->sim().clear_log();
        body();
        steps.push_back({name, token->sim().apdu_log(), token->sim().reply_log()});
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    simulated_token* token = nullptr;
    std::vector<secret> secrets;
    struct recorded {
        std::string name;
        std::vector<bytes> apdus;
        std::vector<bytes> replies;
    };
    std::vector<recorded> steps;
};

TEST_F(PinWire, no_pin_and_no_pin_key_cross_pcsc) {
    cardsim::card_options options;
    options.oem_identifier = "Tavrel01"; // a token the module lists
    simulated_token card(options, first_port());
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
    const char* const user5 = "55556666";
    const char* const user6 = "66667777";
    const char* const fmt_so = "fmt-so-77";
    const char* const fmt_user = "fmt-user-88";
    for (const char* pin : {template_so_pin, template_user_pin, user1, user2, user3, user4, user5,
                            user6, so2, fmt_so, fmt_user, "wrong-pin"})
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
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    // The remote form: the SO's side answers the card's challenge with R =
    // SM4-ECB(K(SO PIN), challenge || 00 x 8); the caller hands R and the new
    // PIN to the module, which sends neither.
    lock_user_pin(h);
    auto unblock_ms = reinterpret_cast<decltype(&M_RemoteUnblockUserPinMS)>(
        module().symbol("M_RemoteUnblockUserPinMS"));
    ASSERT_NE(unblock_ms, nullptr);
    step("M_RemoteUnblockUserPinMS", [&] {
        bytes challenge(8);
        ASSERT_EQ(f->C_GenerateRandom(h, challenge.data(), challenge.size()), CKR_OK);
        const auto so_key = cardsim::sm_pin_key(so2);
        ASSERT_TRUE(so_key.has_value());
        bytes data = challenge_key(bytes(so_key->begin(), so_key->end()), challenge);
        ASSERT_EQ(data.size(), 16u);
        secrets.push_back({"response R", data});
        data.insert(data.end(), user5, user5 + std::strlen(user5));
        std::vector<CK_BYTE> reply(256);
        CK_ULONG retries = 0;
        ASSERT_EQ(unblock_ms(h, data.data(), data.size(), reply.data(), &retries), CKR_OK);
    });
    ASSERT_EQ(login(h, CKU_USER, user5), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(h), CKR_OK);

    std::string label = "wire check";
    label.resize(32, ' ');
    step("C_InitToken", [&] {
        ASSERT_EQ(f->C_InitToken(0, text(so2), std::strlen(so2), text(label.c_str())), CKR_OK);
    });
    // A fresh SO login on the new application, then the user PIN.
    const CK_SESSION_HANDLE i = open_rw();
    step("C_Login SO (new token)", [&] { ASSERT_EQ(login(i, CKU_SO, so2), CKR_OK); });
    step("C_InitPIN (new token)",
         [&] { ASSERT_EQ(f->C_InitPIN(i, text(user6), std::strlen(user6)), CKR_OK); });
    ASSERT_EQ(f->C_Logout(i), CKR_OK);
    ASSERT_EQ(login(i, CKU_USER, user6), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(i), CKR_OK);

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
    secrets.push_back({"device authentication key", dev_auth_key});
    for (const recorded& r : steps) {
        ASSERT_FALSE(r.apdus.empty()) << r.name;
        ASSERT_EQ(r.replies.size(), r.apdus.size()) << r.name;
        std::vector<secret> all = secrets;
        const std::vector<secret> derived = challenge_keys(r.apdus, r.replies);
        all.insert(all.end(), derived.begin(), derived.end());
        size_t create_application = 0;
        for (const bytes& apdu : r.apdus) {
            EXPECT_FALSE(contains(apdu, reserved)) << r.name << ": " << hex(apdu);
            EXPECT_FALSE(apdu.size() >= 2 &&
                         ((apdu[0] == 0xC0 && apdu[1] == 0x12) || // SetSessionKey
                          (apdu[0] == 0x80 && (apdu[1] == 0xBC || apdu[1] == 0xC0 ||
                                               apdu[1] == 0xC2)))) // MacInit/Update/Final
                << r.name << ": " << hex(apdu);
            create_application += is_create_application(apdu);
            for (const secret& sec : all) {
                // "Format" is the card's personalisation: its key block
                // installs the device authentication key.
                if (is_format(apdu) && sec.what == "device authentication key") continue;
                EXPECT_FALSE(contains(apdu, sec.value))
                    << r.name << ": " << sec.what << " in " << hex(apdu, 160);
            }
        }
        const bool formats = r.name == "C_InitToken" || r.name == "M_FormatToken";
        EXPECT_EQ(create_application, formats ? 1u : 0u) << r.name;
    }

    // The cost of the PIN commands on the wire (10-30 ms an APDU on a real
    // token): a PIN change is challenge + VerifyPin (old PIN) + challenge +
    // ChangePin, with nothing for the MAC.
    for (const recorded& r : steps)
        std::printf("[ APDUs    ] %-26s %zu\n", r.name.c_str(), r.apdus.size());
    const auto change = std::find_if(steps.begin(), steps.end(),
                                     [](const recorded& r) { return r.name == "C_SetPIN user"; });
    ASSERT_NE(change, steps.end());
    EXPECT_LE(change->apdus.size(), 6u);
}

// The new user PIN of C_InitPIN travels under a key made from the SO PIN
// this module verified itself. An SO logged in without it (on the token's
// fingerprint sensor, after this module's own SO key was dropped at
// C_Logout; or by another process) gets CKR_USER_NOT_LOGGED_IN, and no
// ReloadPin is sent.
TEST_F(PinWire, init_pin_needs_the_modules_own_so_verification) {
    cardsim::card_options options;
    options.oem_identifier = "Tavrel01";
    options.fingerprint_sensor = true;
    simulated_token card(options, first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    std::string label = "no so key";
    label.resize(32, ' ');
    ASSERT_EQ(f->C_InitToken(0, text(template_so_pin), 5, text(label.c_str())), CKR_OK);

    const CK_SESSION_HANDLE h = open_rw();
    ASSERT_EQ(login(h, CKU_SO, template_so_pin), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK); // the card keeps its SO login
    // The sensor answers the first poll with a matching finger.
    const bytes script = {0xC0, 0xB7, 0x00, 0x00, 0x04, 0, 0, 1, 1};
    ASSERT_EQ(card.sim().transmit(script), (bytes{0x90, 0x00}));
    ASSERT_EQ(f->C_Login(h, CKU_SO, nullptr, 0), CKR_OK);
    CK_SESSION_INFO info{};
    ASSERT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
    ASSERT_EQ(info.state, CKS_RW_SO_FUNCTIONS);

    card.sim().clear_log();
    EXPECT_EQ(f->C_InitPIN(h, text("11112222"), 8), CKR_USER_NOT_LOGGED_IN);
    for (const bytes& apdu : card.sim().apdu_log())
        EXPECT_FALSE(apdu.size() >= 2 && apdu[0] == 0xC4 && apdu[1] == 0x34) << hex(apdu);

    // With the SO PIN verified by this module, the same call succeeds.
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    ASSERT_EQ(login(h, CKU_SO, template_so_pin), CKR_OK);
    EXPECT_EQ(f->C_InitPIN(h, text("11112222"), 8), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(login(h, CKU_USER, "11112222"), CKR_OK);
}

} // namespace
