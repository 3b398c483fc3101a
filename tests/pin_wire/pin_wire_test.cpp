// The token's card protocol as the simulated token receives it, driven
// through the built module (dlopen + C_GetFunctionList): the APDUs of
// C_InitToken, M_FormatToken, C_InitPIN, C_SetPIN (user, SO, unblock form),
// M_UnblockUserPin, M_RemoteUnblockUserPinMS and SM2 key-pair generation,
// checked against the card command tables (header, length form, data
// layout):
//  - "CreateApplication" 80 20 00 00, E-Lc, the 84-byte application record,
//    right after the device authentication (GenRandom of 8, DevAuth);
//  - "ChangePin" 84 16 00 type, "UnblockPin" 84 1A 00 00 and "ReloadPin"
//    C4 34 00 00, E-Lc: app || the secure-messaging block of the new PIN ||
//    4 MAC bytes, the block under the key the command names (the current
//    PIN's key, the SO PIN's key, the challenge block); the MAC comes from
//    the card's MAC sequence right before (SetSessionKey C0 12 with that key,
//    MacInit 80 BC with the challenge block as IV, padding 0, feedback 0,
//    MacUpdate 80 C0 with the new PIN, MacFinal 80 C2 with Le 16): the
//    command carries the first 4 bytes of MacFinal's answer;
//  - "UnblockPin_MS" 84 1A 00 01, E-Lc: app || the response as given (of
//    any length) || the new PIN without terminator;
//  - "GenECCKeyPair" 80 70 00 00, E-LcLe: app || cont || 00 00 01 00 (the bit
//    length 256) for the signature and the exchange pair alike.
// "VerifyPin" carries the PIN only wrapped: no PIN and no PIN key in any
// APDU of a login.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "sm4_oracle.h"
#include "sm_mac.h"

using cardsim::test::first_port;
using cardsim::test::simulated_token;

namespace {

using bytes = std::vector<uint8_t>;

constexpr const char* template_so_pin = "pevot"; // the format template's SO PIN
constexpr const char* template_user_pin = "58204716";
const bytes dev_auth_key = {'7', '3', '5', '0', '9', '1', '4', '8',
                            '2', '6', '0', '5', '7', '3', '1', '9'};

// SM4-ECB by OpenSSL over whole blocks.
using test_support::sm4_ecb;

// The PIN key (tests/support) as bytes.
bytes pin_key(const std::string& pin) {
    const auto key = test_support::pin_key(pin);
    return bytes(key.begin(), key.end());
}

// The data of a secure-messaging block: LE16(n) || data || 80 || 00...
std::optional<bytes> unwrap(const bytes& key, const bytes& block) {
    const bytes plain = sm4_ecb(key, block, false);
    if (plain.size() < 16) return std::nullopt;
    const size_t n = plain[0] | plain[1] << 8;
    if (n + 3 > plain.size() || plain[2 + n] != 0x80) return std::nullopt;
    for (size_t i = 3 + n; i < plain.size(); ++i)
        if (plain[i] != 0) return std::nullopt;
    return bytes(plain.begin() + 2, plain.begin() + 2 + static_cast<std::ptrdiff_t>(n));
}

bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}
bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bool contains(const bytes& haystack, const bytes& needle) {
    return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                          needle.end()) != haystack.end();
}
std::string hex(const bytes& b, size_t limit = 48) {
    std::string s;
    char two[4];
    for (size_t i = 0; i < b.size() && i < limit; ++i) {
        std::snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}
CK_UTF8CHAR_PTR utf8(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

// One command APDU taken apart by its ISO 7816-4 length form.
struct apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    enum form_t { invalid, header_only, e_le, e_lc, e_lcle } form = invalid;
    bytes data;
    uint32_t le = 0;
};

apdu parse(const bytes& b) {
    apdu a;
    if (b.size() < 4) return a;
    a.cla = b[0], a.ins = b[1], a.p1 = b[2], a.p2 = b[3];
    if (b.size() == 4) {
        a.form = apdu::header_only;
        return a;
    }
    if (b.size() < 7 || b[4] != 0) return a;
    const size_t n = b[5] << 8 | b[6];
    if (b.size() == 7) {
        a.form = apdu::e_le;
        a.le = static_cast<uint32_t>(n);
        return a;
    }
    if (n == 0 || (b.size() != 7 + n && b.size() != 9 + n)) return a;
    a.data.assign(b.begin() + 7, b.begin() + 7 + static_cast<std::ptrdiff_t>(n));
    if (b.size() == 9 + n) {
        a.form = apdu::e_lcle;
        a.le = static_cast<uint32_t>(b[7 + n] << 8 | b[8 + n]);
    } else {
        a.form = apdu::e_lc;
    }
    return a;
}

// What one step sent and got.
struct recorded {
    std::string name;
    std::vector<bytes> apdus;
    std::vector<bytes> replies;

    size_t size() const { return apdus.size(); }
    bool is(size_t i, uint8_t cla, uint8_t ins) const {
        return i < apdus.size() && apdus[i].size() >= 2 && (apdus[i][0] & ~0x10) == cla &&
               apdus[i][1] == ins;
    }
    // The index of the first command cla/ins at or after from; size() if none.
    size_t find(uint8_t cla, uint8_t ins, size_t from = 0) const {
        for (size_t i = from; i < apdus.size(); ++i)
            if (is(i, cla, ins)) return i;
        return apdus.size();
    }
    size_t count(uint8_t cla, uint8_t ins) const {
        size_t n = 0;
        for (size_t i = 0; i < apdus.size(); ++i)
            n += is(i, cla, ins);
        return n;
    }
    bytes body(size_t i) const {
        const bytes& r = replies.at(i);
        return r.size() < 2 ? bytes{} : bytes(r.begin(), r.end() - 2);
    }
    bool ok(size_t i) const {
        const bytes& r = replies.at(i);
        return r.size() >= 2 && r[r.size() - 2] == 0x90 && r.back() == 0x00;
    }
    // The challenge of the last GenRandom before index i.
    bytes challenge_before(size_t i) const {
        for (size_t j = i; j-- > 0;)
            if (is(j, 0x80, 0x50)) {
                const bytes c = body(j);
                return c.size() >= 8 ? bytes(c.begin(), c.begin() + 8) : bytes{};
            }
        return {};
    }
};

bytes block_of(const bytes& challenge) {
    bytes b = challenge;
    b.resize(16, 0);
    return b;
}

// The PIN command at index `at` and the card's MAC sequence before it:
// SetSessionKey (SM4, the key), MacInit (iv, padding 0, feedback 0),
// MacUpdate (the new PIN), MacFinal (Le 16); the command is E-Lc with
// app || the block of new_pin under key || the first 4 bytes of MacFinal's
// answer. The card answered 9000 to each.
void expect_mac_protected(const recorded& r, size_t at, uint8_t cla, uint8_t ins, uint8_t p2,
                          const bytes& key, const bytes& iv, const std::string& new_pin) {
    SCOPED_TRACE(r.name);
    ASSERT_LT(at, r.size());
    ASSERT_GE(at, 5u);
    const apdu set_key = parse(r.apdus[at - 5]);
    const apdu init = parse(r.apdus[at - 4]);
    const apdu update = parse(r.apdus[at - 3]);
    const apdu final = parse(r.apdus[at - 2]);
    const apdu destroy = parse(r.apdus[at - 1]);
    const apdu command = parse(r.apdus[at]);

    // SetSessionKey C0 12 00 00, E-LcLe: app, cont, 00 00 04 01, the key in a
    // 32-byte field.
    ASSERT_EQ(set_key.cla, 0xC0);
    ASSERT_EQ(set_key.ins, 0x12);
    EXPECT_EQ(set_key.form, apdu::e_lcle);
    ASSERT_EQ(set_key.data.size(), 40u);
    const bytes ids(set_key.data.begin(), set_key.data.begin() + 4);
    EXPECT_EQ(bytes(set_key.data.begin() + 4, set_key.data.end()),
              cat(cat(bytes{0x00, 0x00, 0x04, 0x01}, key), bytes(16, 0)));
    const bytes key_id = r.body(at - 5);
    ASSERT_EQ(key_id.size(), 2u);
    const bytes prefix = cat(ids, key_id);
    // MacInit 80 BC 00 00, E-Lc: app, cont, key, IV (2), padding 0, feedback 0.
    EXPECT_EQ(init.cla, 0x80);
    EXPECT_EQ(init.ins, 0xBC);
    EXPECT_EQ(init.form, apdu::e_lc);
    EXPECT_EQ(init.data, cat(cat(cat(prefix, bytes{0x00, 0x10}), iv), bytes(8, 0)));
    // MacUpdate 80 C0 00 00, E-Lc: app, cont, key, the new PIN in plain.
    EXPECT_EQ(update.ins, 0xC0);
    EXPECT_EQ(update.form, apdu::e_lc);
    EXPECT_EQ(update.data, cat(prefix, text(new_pin)));
    // MacFinal 80 C2 00 00, E-LcLe, Le 16: app, cont, key.
    EXPECT_EQ(final.ins, 0xC2);
    EXPECT_EQ(final.form, apdu::e_lcle);
    EXPECT_EQ(final.le, 16u);
    EXPECT_EQ(final.data, prefix);
    const bytes mac = r.body(at - 2);
    ASSERT_GE(mac.size(), 4u);
    // The simulated card's own MAC (its MacFinal and its PIN-command check
    // share it).
    std::array<uint8_t, 16> k{}, v{};
    std::copy_n(key.begin(), 16, k.begin());
    std::copy_n(iv.begin(), 16, v.begin());
    const auto card_mac = cardsim::sm4_cbc_mac(k, v, text(new_pin));
    ASSERT_TRUE(card_mac);
    EXPECT_EQ(mac, bytes(card_mac->begin(), card_mac->end()));
    // The MAC's key is destroyed before the PIN command.
    EXPECT_EQ(destroy.ins, 0xC4);
    EXPECT_EQ(destroy.data, prefix);
    for (size_t i = at - 5; i < at; ++i)
        EXPECT_TRUE(r.ok(i)) << hex(r.apdus[i]);

    EXPECT_EQ(command.cla, cla);
    EXPECT_EQ(command.ins, ins);
    EXPECT_EQ(command.p1, 0x00);
    EXPECT_EQ(command.p2, p2);
    EXPECT_EQ(command.form, apdu::e_lc);
    const size_t block = 16 * ((new_pin.size() + 2) / 16 + 1);
    ASSERT_EQ(command.data.size(), 2 + block + 4) << hex(r.apdus[at]);
    const auto plain = unwrap(key, bytes(command.data.begin() + 2, command.data.end() - 4));
    ASSERT_TRUE(plain) << "the block does not open under the command's key";
    EXPECT_EQ(*plain, text(new_pin));
    EXPECT_EQ(bytes(command.data.end() - 4, command.data.end()),
              bytes(mac.begin(), mac.begin() + 4));
    EXPECT_TRUE(r.ok(at));
}

// The device authentication and the 84-byte application record right after.
void expect_formatting(const recorded& r, const std::string& so_pin, uint32_t so_tries,
                       const std::string& user_pin, uint32_t user_tries, uint8_t user_min,
                       uint8_t user_max, uint8_t so_min, uint8_t so_max) {
    SCOPED_TRACE(r.name);
    const size_t create = r.find(0x80, 0x20);
    ASSERT_LT(create, r.size());
    EXPECT_EQ(r.count(0x80, 0x20), 1u);
    // GenRandom (Le 8), DevAuth under the device authentication key, then
    // the record: nothing in between.
    ASSERT_GE(create, 2u);
    const apdu random = parse(r.apdus[create - 2]);
    const apdu auth = parse(r.apdus[create - 1]);
    EXPECT_EQ(r.apdus[create - 2], (bytes{0x80, 0x50, 0x00, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(auth.cla, 0x80);
    EXPECT_EQ(auth.ins, 0x10);
    EXPECT_EQ(auth.p2, 0x00);
    EXPECT_EQ(auth.form, apdu::e_lc);
    EXPECT_EQ(auth.data, sm4_ecb(dev_auth_key, block_of(r.challenge_before(create - 1)), true));
    (void)random;

    const apdu a = parse(r.apdus[create]);
    EXPECT_EQ(r.apdus[create].size(), 7u + 84u);
    EXPECT_EQ(a.cla, 0x80);
    EXPECT_EQ(a.p1, 0x00);
    EXPECT_EQ(a.p2, 0x00);
    EXPECT_EQ(a.form, apdu::e_lc);
    ASSERT_EQ(a.data.size(), 84u);
    const bytes& d = a.data;
    auto field = [&](size_t at, const std::string& value, size_t width) {
        bytes f = text(value);
        f.resize(width, 0);
        return bytes(d.begin() + static_cast<std::ptrdiff_t>(at),
                     d.begin() + static_cast<std::ptrdiff_t>(at + width)) == f;
    };
    auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(d[at] << 24 | d[at + 1] << 16 | d[at + 2] << 8 | d[at + 3]);
    };
    EXPECT_TRUE(field(0, "APP", 32)) << hex(d, 84);
    EXPECT_TRUE(field(32, so_pin, 16)) << hex(d, 84);
    EXPECT_EQ(be32(48), so_tries);
    EXPECT_TRUE(field(52, user_pin, 16)) << hex(d, 84);
    EXPECT_EQ(be32(68), user_tries);
    EXPECT_EQ(bytes(d.begin() + 72, d.begin() + 80), (bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes(d.begin() + 80, d.end()), (bytes{user_min, user_max, so_min, so_max}));
    EXPECT_TRUE(r.ok(create));
}

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
        return f->C_Login(h, type, utf8(pin), std::strlen(pin));
    }
    CK_RV set_pin(CK_SESSION_HANDLE h, const char* old_pin, const char* new_pin) {
        return f->C_SetPIN(h, utf8(old_pin), std::strlen(old_pin), utf8(new_pin),
                           std::strlen(new_pin));
    }
    CK_SESSION_HANDLE open_rw() {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    void lock_user_pin(CK_SESSION_HANDLE h) {
        for (int i = 0; i < 16; ++i)
            if (login(h, CKU_USER, "wrong-pin") == CKR_PIN_LOCKED) return;
        ADD_FAILURE() << "the user PIN never locked";
    }
    const recorded& step(const std::string& name, const std::function<void()>& body) {
        token->sim().clear_log();
        body();
        steps.push_back({name, token->sim().apdu_log(), token->sim().reply_log()});
        EXPECT_EQ(steps.back().apdus.size(), steps.back().replies.size()) << name;
        return steps.back();
    }
    // A login's APDUs carry neither the PIN nor its key; its VerifyPin is the
    // challenge wrapped under the PIN's key.
    void expect_wrapped_login(const recorded& r, const std::string& pin, uint8_t type) {
        SCOPED_TRACE(r.name);
        for (const bytes& a : r.apdus) {
            EXPECT_FALSE(contains(a, text(pin))) << hex(a);
            EXPECT_FALSE(contains(a, pin_key(pin))) << hex(a);
        }
        const size_t verify = r.find(0x80, 0x18);
        ASSERT_LT(verify, r.size());
        const apdu v = parse(r.apdus[verify]);
        EXPECT_EQ(v.p2, type);
        EXPECT_EQ(v.form, apdu::e_lc);
        ASSERT_EQ(v.data.size(), 18u);
        const auto plain = unwrap(pin_key(pin), bytes(v.data.begin() + 2, v.data.end()));
        ASSERT_TRUE(plain);
        EXPECT_EQ(*plain, r.challenge_before(verify));
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    simulated_token* token = nullptr;
    std::vector<recorded> steps;
};

TEST_F(PinWire, pin_and_format_commands_carry_what_the_command_tables_lay_out) {
    cardsim::card_options options;
    options.oem_identifier = "Tavrel01"; // a token the module lists
    simulated_token card(options, first_port());
    ASSERT_TRUE(card.inserted()) << card.error();
    token = &card;
    CK_ULONG n = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 1u);

    const std::string user1 = "11112222", user2 = "22223333", user3 = "33334444",
                      user4 = "44445555", user5 = "55556666", user6 = "66667777", so2 = "so-new-9";
    const CK_SESSION_HANDLE h = open_rw();
    expect_wrapped_login(
        step("C_Login SO", [&] { ASSERT_EQ(login(h, CKU_SO, template_so_pin), CKR_OK); }),
        template_so_pin, 0);

    // C_InitPIN: ReloadPin under the challenge block (key and IV).
    {
        const recorded& r = step("C_InitPIN", [&] {
            ASSERT_EQ(f->C_InitPIN(h, utf8(user1.c_str()), user1.size()), CKR_OK);
        });
        const size_t at = r.find(0xC4, 0x34);
        const bytes iv = block_of(r.challenge_before(at));
        ASSERT_EQ(iv.size(), 16u);
        expect_mac_protected(r, at, 0xC4, 0x34, 0x00, iv, iv, user1);
    }
    // C_SetPIN as SO: the old PIN verified, then ChangePin under its key.
    {
        const recorded& r = step(
            "C_SetPIN SO", [&] { ASSERT_EQ(set_pin(h, template_so_pin, so2.c_str()), CKR_OK); });
        const size_t at = r.find(0x84, 0x16);
        expect_mac_protected(r, at, 0x84, 0x16, 0x00, pin_key(template_so_pin),
                             block_of(r.challenge_before(at)), so2);
    }
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    expect_wrapped_login(
        step("C_Login user", [&] { ASSERT_EQ(login(h, CKU_USER, user1.c_str()), CKR_OK); }), user1,
        1);
    {
        const recorded& r = step(
            "C_SetPIN user", [&] { ASSERT_EQ(set_pin(h, user1.c_str(), user2.c_str()), CKR_OK); });
        const size_t at = r.find(0x84, 0x16);
        expect_mac_protected(r, at, 0x84, 0x16, 0x01, pin_key(user1),
                             block_of(r.challenge_before(at)), user2);
    }
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    lock_user_pin(h);
    // Nobody logged in and the user PIN locked: C_SetPIN unblocks with the
    // old PIN as the SO PIN.
    {
        const recorded& r = step("C_SetPIN unblock form", [&] {
            ASSERT_EQ(set_pin(h, so2.c_str(), user3.c_str()), CKR_OK);
        });
        const size_t at = r.find(0x84, 0x1A);
        expect_mac_protected(r, at, 0x84, 0x1A, 0x00, pin_key(so2),
                             block_of(r.challenge_before(at)), user3);
    }
    ASSERT_EQ(login(h, CKU_USER, user3.c_str()), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    lock_user_pin(h);
    {
        const recorded& r = step("M_UnblockUserPin", [&] {
            ASSERT_EQ(m->M_UnblockUserPin(h, utf8(so2.c_str()), so2.size(), utf8(user4.c_str()),
                                          user4.size()),
                      CKR_OK);
        });
        const size_t at = r.find(0x84, 0x1A);
        expect_mac_protected(r, at, 0x84, 0x1A, 0x00, pin_key(so2),
                             block_of(r.challenge_before(at)), user4);
    }
    ASSERT_EQ(login(h, CKU_USER, user4.c_str()), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // M_RemoteUnblockUserPinMS: the SO's side answered the card's challenge
    // and the new PIN follows its response; the data goes as given, whatever
    // the length of the response. This card's format is the 16-byte
    // SM4-ECB under the SO PIN's key of challenge || 00 x 8, which unblocks;
    // responses of other formats it may refuse, but they are sent all the
    // same.
    lock_user_pin(h);
    auto unblock_ms = reinterpret_cast<decltype(&M_RemoteUnblockUserPinMS)>(
        module().symbol("M_RemoteUnblockUserPinMS"));
    ASSERT_NE(unblock_ms, nullptr);
    const struct {
        size_t response_length;
        std::string new_pin;
        bool this_cards_format;
    } unblock_ms_rows[] = {{12, "4321", false}, {24, "5566778899001122", false}, {16, user5, true}};
    for (const auto& row : unblock_ms_rows) {
        bytes data;
        const recorded& r =
            step("M_RemoteUnblockUserPinMS " + std::to_string(row.response_length), [&] {
                bytes challenge(8);
                ASSERT_EQ(f->C_GenerateRandom(h, challenge.data(), challenge.size()), CKR_OK);
                // This card's response, cut or run on into a second block
                // for the other formats.
                bytes response =
                    sm4_ecb(pin_key(so2), cat(block_of(challenge), block_of({})), true);
                response.resize(row.response_length);
                data = cat(response, text(row.new_pin));
                std::vector<CK_BYTE> reply(256);
                CK_ULONG retries = 0;
                const CK_RV rv = unblock_ms(h, data.data(), data.size(), reply.data(), &retries);
                if (row.this_cards_format) {
                    EXPECT_EQ(rv, CKR_OK);
                }
            });
        const size_t at = r.find(0x84, 0x1A);
        ASSERT_LT(at, r.size()) << r.name;
        EXPECT_EQ(r.count(0x84, 0x1A), 1u) << r.name;
        const apdu a = parse(r.apdus[at]);
        EXPECT_EQ(a.p1, 0x00) << r.name;
        EXPECT_EQ(a.p2, 0x01) << r.name;
        EXPECT_EQ(a.form, apdu::e_lc) << r.name;
        ASSERT_EQ(a.data.size(), 2 + row.response_length + row.new_pin.size()) << r.name;
        EXPECT_EQ(bytes(a.data.begin() + 2, a.data.end()), data) << r.name;
        if (row.this_cards_format) {
            EXPECT_TRUE(r.ok(at)) << r.name;
        }
        EXPECT_EQ(r.count(0x80, 0xC2), 0u) << "no MAC";
    }
    ASSERT_EQ(login(h, CKU_USER, user5.c_str()), CKR_OK);

    // SM2 key-pair generation: GenECCKeyPair with the bit length 256 for both uses.
    for (CK_ULONG spec : {2ul, 1ul}) {
        const recorded& r = step("SM2 key pair " + std::to_string(spec), [&] {
            CK_BBOOL yes = CK_TRUE;
            CK_KEY_TYPE kt = ZELT_CKK_SM2;
            CK_MECHANISM mech{ZELT_CKM_SM2, nullptr, 0};
            CK_ATTRIBUTE pt[] = {{CKA_TOKEN, &yes, 1},
                                 {CKA_KEY_TYPE, &kt, sizeof kt},
                                 {ZELT_CKA_KEY_SPEC, &spec, sizeof spec}};
            CK_ATTRIBUTE st[] = {
                {CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_KEY_TYPE, &kt, sizeof kt}};
            CK_OBJECT_HANDLE pub = 0, priv = 0;
            ASSERT_EQ(f->C_GenerateKeyPair(h, &mech, pt, 3, st, 3, &pub, &priv), CKR_OK);
        });
        const size_t at = r.find(0x80, 0x70);
        ASSERT_LT(at, r.size());
        EXPECT_EQ(r.count(0x80, 0x70), 1u);
        const apdu a = parse(r.apdus[at]);
        EXPECT_EQ(a.p1, 0x00);
        EXPECT_EQ(a.p2, 0x00);
        EXPECT_EQ(a.form, apdu::e_lcle);
        EXPECT_EQ(a.le, 0u);
        ASSERT_EQ(a.data.size(), 8u);
        EXPECT_EQ(bytes(a.data.begin() + 4, a.data.end()), (bytes{0x00, 0x00, 0x01, 0x00}));
        EXPECT_TRUE(r.ok(at));
    }
    ASSERT_EQ(f->C_CloseSession(h), CKR_OK);

    // C_InitToken: the caller's SO PIN and the template's user PIN, tries and
    // bounds in the record.
    std::string label = "wire check";
    label.resize(32, ' ');
    expect_formatting(
        step("C_InitToken",
             [&] {
                 ASSERT_EQ(f->C_InitToken(0, utf8(so2.c_str()), so2.size(), utf8(label.c_str())),
                           CKR_OK);
             }),
        so2, 10, template_user_pin, 10, 4, 16, 4, 16);
    const CK_SESSION_HANDLE i = open_rw();
    expect_wrapped_login(
        step("C_Login SO (new token)", [&] { ASSERT_EQ(login(i, CKU_SO, so2.c_str()), CKR_OK); }),
        so2, 0);
    ASSERT_EQ(f->C_InitPIN(i, utf8(user6.c_str()), user6.size()), CKR_OK);
    ASSERT_EQ(f->C_Logout(i), CKR_OK);
    ASSERT_EQ(login(i, CKU_USER, user6.c_str()), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(i), CKR_OK);

    const CK_SESSION_HANDLE s = open_rw();
    token_format_info record{};
    std::strcpy(record.label, "formatted");
    std::strcpy(record.manufacturer, "Quessar");
    std::strcpy(record.model, "Quessar");
    std::strcpy(record.so_pin, "fmt-so-77");
    std::strcpy(record.user_pin, "fmt-user-88");
    record.user_pin_retry_count = 5;
    record.so_pin_retry_count = 6;
    record.user_pin_min_len = 4;
    record.user_pin_max_len = 15;
    record.so_pin_min_len = 5;
    record.so_pin_max_len = 14;
    expect_formatting(
        step("M_FormatToken", [&] { ASSERT_EQ(m->M_FormatToken(s, &record), CKR_OK); }),
        "fmt-so-77", 6, "fmt-user-88", 5, 4, 15, 5, 14);
    EXPECT_EQ(login(s, CKU_SO, "fmt-so-77"), CKR_OK);

    // The cost on the wire (10-30 ms an APDU on a real token).
    for (const recorded& r : steps)
        std::printf("[ APDUs    ] %-26s %zu\n", r.name.c_str(), r.apdus.size());
}

} // namespace
