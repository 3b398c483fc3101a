// Slots, tokens, login and PINs through the built module, loaded with dlopen
// and driven through C_GetFunctionList, on simulated tokens behind pcscd.
// Each test runs in its own process (gtest_discover_tests), so the module's
// token list starts empty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "p11_objects.h"
#include "token_session.h"
#include "wait_until.h"

using cardsim::test::first_port;
using cardsim::test::second_port;
using cardsim::test::simulated_token;

namespace {

constexpr const char* so_pin = "pevot";
constexpr const char* default_user_pin = "58204716";

// A simulated token the module lists: it carries the module's OEM identifier.
cardsim::card_options token_options(bool blank = false) {
    cardsim::card_options o = test_support::module_token_options();
    o.blank = blank;
    return o;
}

// The module enumerates again only when its enumeration interval (3 s) has
// passed since the last enumeration. Tests that need new enumerations
// shorten the interval through the test build's hook.
constexpr unsigned short_interval_ms = 100;

CK_UTF8CHAR_PTR text(const char* s) {
    return test_support::utf8(s);
}

// An M_FormatToken record: SO PIN "so-pin-1", user PIN "user-pin-1", five
// tries each, PINs of 4 to 16 bytes.
token_format_info format_record(const char* label) {
    token_format_info record{};
    std::strcpy(record.label, label);
    std::strcpy(record.manufacturer, "Quessar");
    std::strcpy(record.model, "Quessar");
    std::strcpy(record.so_pin, "so-pin-1");
    std::strcpy(record.user_pin, "user-pin-1");
    record.user_pin_retry_count = 5;
    record.so_pin_retry_count = 5;
    record.user_pin_min_len = 4;
    record.user_pin_max_len = 16;
    record.so_pin_min_len = 4;
    record.so_pin_max_len = 16;
    return record;
}

std::string trimmed(const CK_UTF8CHAR* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

class TokenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        m = module().m;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    void short_enumeration_interval() {
        ASSERT_TRUE(set_module_timing(module(), short_interval_ms, 0));
    }

    std::vector<CK_SLOT_ID> token_slots() { return test_support::token_slots(f); }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, bool rw = true) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr,
                                   nullptr, &h),
                  CKR_OK);
        return h;
    }
    CK_TOKEN_INFO token_info(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
        return info;
    }
    CK_ULONG state(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }
    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE type, const std::string& pin) {
        return f->C_Login(h, type, text(pin.c_str()), pin.size());
    }
    // A fresh token's user PIN is not initialised: the SO sets it.
    void init_user_pin(CK_SLOT_ID slot, const std::string& pin) {
        const CK_SESSION_HANDLE h = open(slot);
        ASSERT_EQ(login(h, CKU_SO, so_pin), CKR_OK);
        ASSERT_EQ(f->C_InitPIN(h, text(pin.c_str()), pin.size()), CKR_OK);
        ASSERT_EQ(f->C_CloseSession(h), CKR_OK);
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
};

// ---------------------------------------------------------------- slots

TEST_F(TokenTest, two_tokens_take_slots_0_and_1_and_a_removed_one_leaves_with_its_sessions) {
    short_enumeration_interval();
    std::optional<simulated_token> a(std::in_place, token_options(), first_port());
    simulated_token b(token_options(), second_port());
    ASSERT_TRUE(a->inserted() && b.inserted());
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0, 1}));
    const CK_SESSION_HANDLE s0 = open(0);
    const CK_SESSION_HANDLE s1 = open(1);
    ASSERT_TRUE(a->remove());
    std::vector<CK_SLOT_ID> slots;
    ASSERT_TRUE(test_support::wait_until([&] { return (slots = token_slots()).size() == 1; },
                                         std::chrono::seconds(10)));
    const CK_SLOT_ID gone = slots[0] == 0 ? 1 : 0;
    CK_SESSION_INFO info{};
    EXPECT_EQ(f->C_GetSessionInfo(gone == 0 ? s0 : s1, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_GetSessionInfo(gone == 0 ? s1 : s0, &info), CKR_OK);
    CK_TOKEN_INFO ti{};
    EXPECT_EQ(f->C_GetTokenInfo(gone, &ti), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_CloseAllSessions(gone), CKR_DEVICE_REMOVED);
    CK_SLOT_INFO si{};
    ASSERT_EQ(f->C_GetSlotInfo(gone, &si), CKR_OK);
    EXPECT_EQ(si.flags & CKF_TOKEN_PRESENT, 0u);
}

TEST_F(TokenTest, a_card_put_in_place_of_the_token_is_never_acted_on_through_its_sessions) {
    std::optional<simulated_token> a(std::in_place, token_options(), first_port());
    ASSERT_TRUE(a->inserted()) << a->error();
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    const CK_SESSION_HANDLE h = open(0);
    ASSERT_EQ(login(h, CKU_SO, so_pin), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // Another card goes into the reader before the module enumerates again.
    ASSERT_TRUE(a->remove());
    a.reset();
    simulated_token c(token_options(), first_port());
    ASSERT_TRUE(c.inserted()) << c.error();
    c.sim().clear_log();
    // The old token's sessions find its card gone (CKR_DEVICE_REMOVED), or
    // are gone themselves once the slot-event thread has seen the swap and
    // dropped the token with its sessions (CKR_SESSION_HANDLE_INVALID).
    const auto refused = [](CK_RV rv) {
        return rv == CKR_DEVICE_REMOVED || rv == CKR_SESSION_HANDLE_INVALID;
    };
    EXPECT_PRED1(refused, login(h, CKU_SO, so_pin));
    EXPECT_PRED1(refused, f->C_SetPIN(h, text(default_user_pin), 8, text("55556666"), 8));
    EXPECT_PRED1(refused, m->M_SetTokenLabel(h, "taken over"));
    // Nothing but the card check reached the new card: no PIN, no label.
    for (const auto& apdu : c.sim().apdu_log()) {
        ASSERT_GE(apdu.size(), 2u);
        EXPECT_NE(apdu[1], 0x18) << "VerifyPin";
        EXPECT_NE(apdu[1], 0x16) << "ChangePin";
        EXPECT_FALSE(apdu[0] == 0x80 && apdu[1] == 0x02) << "SetLabel";
    }
}

TEST_F(TokenTest, a_failed_enumeration_keeps_a_token_that_still_answers) {
    short_enumeration_interval();
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    const CK_SESSION_HANDLE h = open(0);
    // From here every slot-list call enumerates: the next one meets the faults.
    ASSERT_TRUE(set_module_timing(module(), 0, 0));
    // The answering test and the enumeration's reads fail once (a reader
    // hiccup); the card itself is still there.
    a.sim().clear_log();
    a.sim().inject_status_word(0x6F00, 3);
    const auto slots = token_slots();
    EXPECT_GE(a.sim().apdu_log().size(), 3u);
    EXPECT_EQ(slots, (std::vector<CK_SLOT_ID>{0}));
    CK_SESSION_INFO info{};
    EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
}

// ---------------------------------------------------------------- login and PIN state

TEST_F(TokenTest, login_states_follow_the_token_across_sessions_and_logout) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const CK_TOKEN_INFO fresh = token_info(0);
    EXPECT_EQ(trimmed(fresh.label, 32), "Oskarvel");
    EXPECT_NE(fresh.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(fresh.flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_NE(fresh.flags & CKF_USER_PIN_TO_BE_CHANGED, 0u);
    EXPECT_EQ(fresh.ulMinPinLen, 4u);
    EXPECT_EQ(fresh.ulMaxPinLen, 16u);

    const CK_SESSION_HANDLE rw = open(0);
    EXPECT_EQ(login(rw, CKU_USER, default_user_pin), CKR_USER_PIN_NOT_INITIALIZED);
    const CK_SESSION_HANDLE ro = open(0, false);
    EXPECT_EQ(login(rw, CKU_SO, so_pin), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(f->C_CloseSession(ro), CKR_OK);

    ASSERT_EQ(login(rw, CKU_SO, so_pin), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_SO_FUNCTIONS);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    ASSERT_EQ(f->C_InitPIN(rw, text("11112222"), 8), CKR_OK);
    EXPECT_EQ(login(rw, CKU_USER, "11112222"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    ASSERT_EQ(f->C_Logout(rw), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
    // The user PIN was set: initialised, and no longer the default one.
    const CK_TOKEN_INFO set = token_info(0);
    EXPECT_NE(set.flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_EQ(set.flags & CKF_USER_PIN_TO_BE_CHANGED, 0u);

    const CK_SESSION_HANDLE ro2 = open(0, false);
    ASSERT_EQ(login(ro2, CKU_USER, "11112222"), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(ro2), CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(login(rw, CKU_SO, so_pin), CKR_SESSION_READ_ONLY_EXISTS);
    // A context-specific login re-verifies and leaves the user logged in.
    EXPECT_EQ(login(rw, CKU_CONTEXT_SPECIFIC, "11112222"), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    ASSERT_EQ(f->C_Logout(ro2), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(state(ro2), CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(f->C_Logout(ro2), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(TokenTest, wrong_pins_count_down_then_lock_and_the_flags_follow_the_card_back) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    init_user_pin(0, "11112222");
    const CK_SESSION_HANDLE h = open(0);
    constexpr CK_FLAGS pin_state = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY |
                                   CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED;
    EXPECT_EQ(token_info(0).flags & pin_state, 0u);

    for (unsigned left = 9; left >= 1; --left) {
        ASSERT_EQ(login(h, CKU_USER, "99999999"), CKR_PIN_INCORRECT) << left;
        user_pin_info pi{};
        ASSERT_EQ(m->M_GetUserInfo(0, CKU_USER, &pi), CKR_OK);
        EXPECT_EQ(pi.remaining_tries, left);
        EXPECT_EQ(pi.maximum_tries, 10u);
        const CK_FLAGS flags = token_info(0).flags;
        EXPECT_NE(flags & CKF_USER_PIN_COUNT_LOW, 0u) << left;
        EXPECT_EQ((flags & CKF_USER_PIN_FINAL_TRY) != 0, left == 1) << left;
        EXPECT_EQ(flags & CKF_USER_PIN_LOCKED, 0u) << left;
    }
    EXPECT_EQ(login(h, CKU_USER, "99999999"), CKR_PIN_LOCKED);
    EXPECT_NE(token_info(0).flags & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(login(h, CKU_USER, "11112222"), CKR_PIN_LOCKED);
    user_pin_info pi{};
    ASSERT_EQ(m->M_GetUserInfo(0, CKU_USER, &pi), CKR_OK);
    EXPECT_EQ(pi.locked, 1);
    EXPECT_EQ(pi.remaining_tries, 0u);

    // Unblocked with the SO PIN, given with its length and no NUL after it.
    const char so_exact[5] = {'p', 'e', 'v', 'o', 't'};
    const char new_pin[8] = {'3', '3', '3', '3', '4', '4', '4', '4'};
    ASSERT_EQ(m->M_UnblockUserPin(h, text(so_exact), 5, text(new_pin), 8), CKR_OK);
    EXPECT_EQ(token_info(0).flags &
                  (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED),
              0u);
    EXPECT_EQ(login(h, CKU_USER, "33334444"), CKR_OK);
}

TEST_F(TokenTest, so_pin_failures_set_the_so_flags_only) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const CK_SESSION_HANDLE h = open(0);
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(login(h, CKU_SO, "wrong"), CKR_PIN_INCORRECT);
    user_pin_info pi{};
    ASSERT_EQ(m->M_GetUserInfo(0, CKU_SO, &pi), CKR_OK);
    EXPECT_EQ(pi.remaining_tries, 1u);
    EXPECT_EQ(pi.final_try, 1);
    const CK_FLAGS flags = token_info(0).flags;
    EXPECT_NE(flags & CKF_SO_PIN_FINAL_TRY, 0u);
    EXPECT_EQ(flags & CKF_USER_PIN_FINAL_TRY, 0u);
    ASSERT_EQ(login(h, CKU_SO, so_pin), CKR_OK);
    EXPECT_EQ(token_info(0).flags & (CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW), 0u);
}

TEST_F(TokenTest, a_vanished_card_during_login_is_a_device_error_not_a_pin_verdict) {
    std::optional<simulated_token> a(std::in_place, token_options(), first_port());
    ASSERT_TRUE(a->inserted()) << a->error();
    ASSERT_EQ(token_slots().size(), 1u);
    const CK_SESSION_HANDLE h = open(0);
    a->sim().inject_empty_reply(50);
    const CK_RV rv = login(h, CKU_SO, so_pin);
    EXPECT_TRUE(rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED) << std::hex << rv;
    a->sim().clear_faults();
    ASSERT_TRUE(a->remove());
    const CK_RV gone = login(h, CKU_SO, so_pin);
    EXPECT_TRUE(gone == CKR_DEVICE_ERROR || gone == CKR_DEVICE_REMOVED) << std::hex << gone;
}

TEST_F(TokenTest, set_pin_changes_the_pin_the_card_checks) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    init_user_pin(0, "11112222");
    const CK_SESSION_HANDLE h = open(0);
    EXPECT_EQ(f->C_SetPIN(h, text("11112222"), 8, text("123"), 3), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(f->C_SetPIN(h, text("00000000"), 8, text("55556666"), 8), CKR_PIN_INCORRECT);
    ASSERT_EQ(f->C_SetPIN(h, text("11112222"), 8, text("55556666"), 8), CKR_OK);
    EXPECT_EQ(login(h, CKU_USER, "11112222"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, CKU_USER, "55556666"), CKR_OK);
    const CK_SESSION_HANDLE ro = open(0, false);
    EXPECT_EQ(f->C_SetPIN(ro, text("55556666"), 8, text("77778888"), 8), CKR_SESSION_READ_ONLY);
    // The SO PIN from an SO session; the old one is refused afterwards.
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(ro), CKR_OK);
    ASSERT_EQ(login(h, CKU_SO, so_pin), CKR_OK);
    ASSERT_EQ(f->C_SetPIN(h, text(so_pin), 5, text("newso123"), 8), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(login(h, CKU_SO, so_pin), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, CKU_SO, "newso123"), CKR_OK);
}

// ---------------------------------------------------------------- initialisation and labels

TEST_F(TokenTest, init_token_formats_with_the_callers_so_pin_and_label) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    init_user_pin(0, "11112222");
    std::string label = "fresh start";
    label.resize(32, ' ');
    const CK_SESSION_HANDLE h = open(0);
    EXPECT_EQ(f->C_InitToken(0, text(so_pin), 5, text(label.c_str())), CKR_SESSION_EXISTS);
    ASSERT_EQ(f->C_CloseSession(h), CKR_OK);
    EXPECT_EQ(f->C_InitToken(0, text("wrong"), 5, text(label.c_str())), CKR_PIN_INCORRECT);
    ASSERT_EQ(f->C_InitToken(0, text(so_pin), 5, text(label.c_str())), CKR_OK);

    const CK_TOKEN_INFO info = token_info(0);
    EXPECT_EQ(trimmed(info.label, 32), "fresh start");
    EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_EQ(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
    const CK_SESSION_HANDLE s = open(0);
    EXPECT_EQ(login(s, CKU_USER, "11112222"), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(login(s, CKU_SO, so_pin), CKR_OK);
}

// PKCS#11 passes the label as 32 blank-padded characters; the card keeps 31
// (SKF_SetLabel), so a label without a blank is cut, not refused after the
// format. C_GetTokenInfo shows what the card kept, blank-padded.
TEST_F(TokenTest, init_token_takes_any_32_character_label_and_shows_what_the_card_kept) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const struct {
        std::string given;
        std::string shown;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234 "},
        {"abcdefghijklmnopqrstuvwxyz01234 ", "abcdefghijklmnopqrstuvwxyz01234 "},
        // The cut leaves a trailing blank, which goes as well.
        {"abcdefghijklmnopqrstuvwxyz0123 Z", "abcdefghijklmnopqrstuvwxyz0123  "},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.given.size(), 32u);
        ASSERT_EQ(f->C_InitToken(0, text(so_pin), 5, text(c.given.c_str())), CKR_OK) << c.given;
        const CK_TOKEN_INFO info = token_info(0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), 32), c.shown) << c.given;
        EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u) << c.given;
    }
    const CK_SESSION_HANDLE s = open(0);
    EXPECT_EQ(login(s, CKU_SO, so_pin), CKR_OK);
}

// An input the new application's record cannot take is refused before the
// format, so the token keeps its objects, PINs and label.
TEST_F(TokenTest, inputs_refused_before_the_format_leave_the_token_as_it_was) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const std::string kept = "kept";
    const std::vector<uint8_t> value = {1, 2, 3};
    {
        const CK_SESSION_HANDLE s = open(0);
        ASSERT_TRUE(test_support::login_new_user(f, s));
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_PRIVATE, &yes, 1},
                            {CKA_LABEL, const_cast<char*>(kept.data()), kept.size()},
                            {CKA_VALUE, const_cast<uint8_t*>(value.data()), value.size()}};
        CK_OBJECT_HANDLE h = 0;
        ASSERT_EQ(f->C_CreateObject(s, t, std::size(t), &h), CKR_OK);
        ASSERT_EQ(f->C_CloseSession(s), CKR_OK);
    }

    token_format_info valid = format_record("formatted");
    // An empty PIN is within these lengths; the record is still refused.
    valid.user_pin_min_len = 0;
    valid.so_pin_min_len = 0;
    const auto format = [&](void (*change)(token_format_info&)) {
        token_format_info record = valid;
        change(record);
        const CK_SESSION_HANDLE s = open(0);
        const CK_RV rv = m->M_FormatToken(s, &record);
        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
        return rv;
    };
    const std::string label(32, ' ');
    // An SO PIN with a NUL inside: the card would be given "pevot".
    const char nul_pin[] = {'p', 'e', 'v', 'o', 't', '\0', 'x'};
    const struct {
        const char* name;
        std::function<CK_RV()> call;
        CK_RV expected;
    } cases[] = {
        {"C_InitToken, an SO PIN with a NUL",
         [&] {
             return f->C_InitToken(0, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(nul_pin)),
                                   sizeof nul_pin, text(label.c_str()));
         },
         CKR_PIN_INVALID},
        {"M_FormatToken, an empty SO PIN of no minimum length",
         [&] { return format([](token_format_info& r) { r.so_pin[0] = '\0'; }); },
         CKR_PIN_LEN_RANGE},
        {"M_FormatToken, an empty user PIN of no minimum length",
         [&] { return format([](token_format_info& r) { r.user_pin[0] = '\0'; }); },
         CKR_PIN_LEN_RANGE},
    };
    for (const auto& c : cases) {
        a.sim().clear_log();
        EXPECT_EQ(c.call(), c.expected) << c.name;
        for (const auto& apdu : a.sim().apdu_log())
            EXPECT_FALSE(apdu.size() >= 2 && apdu[0] == 0xC0 && apdu[1] == 0x00)
                << c.name << ": the card was formatted";

        const CK_SESSION_HANDLE s = open(0);
        ASSERT_EQ(login(s, CKU_USER, default_user_pin), CKR_OK) << c.name;
        CK_OBJECT_CLASS cls = CKO_DATA;
        const auto found =
            test_support::find_objects(f, s,
                                       {{CKA_CLASS, &cls, sizeof cls},
                                        {CKA_LABEL, const_cast<char*>(kept.data()), kept.size()}});
        ASSERT_EQ(found.size(), 1u) << c.name;
        EXPECT_EQ(test_support::attribute_value(f, s, found[0], CKA_VALUE), value) << c.name;
        ASSERT_EQ(f->C_CloseSession(s), CKR_OK);
    }
    EXPECT_EQ(trimmed(token_info(0).label, 32), "Oskarvel");
    const CK_SESSION_HANDLE s = open(0);
    EXPECT_EQ(login(s, CKU_SO, so_pin), CKR_OK);
}

TEST_F(TokenTest, format_token_on_a_blank_card_creates_the_application) {
    simulated_token a(token_options(true), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    EXPECT_EQ(token_info(0).flags & CKF_TOKEN_INITIALIZED, 0u);
    const CK_SESSION_HANDLE h = open(0);
    token_format_info record = format_record("Blank no more");
    // The configured application name goes into the new application's
    // record, which holds 32 characters: a longer one is refused before the
    // card's device authentication.
    ASSERT_EQ(m->M_SetEnumString(nullptr, nullptr, std::string(33, 'N').c_str()), CKR_OK);
    a.sim().clear_log();
    EXPECT_EQ(m->M_FormatToken(h, &record), CK_RV{0x0A000009}); // the device API's SAR_NAMELENERR
    for (const auto& apdu : a.sim().apdu_log())
        EXPECT_FALSE(apdu.size() >= 2 && apdu[0] == 0x80 && apdu[1] == 0x10) << "DevAuth sent";
    ASSERT_EQ(m->M_SetEnumString(nullptr, nullptr, "APP"), CKR_OK);
    ASSERT_EQ(m->M_FormatToken(h, &record), CKR_OK);
    EXPECT_NE(token_info(0).flags & CKF_TOKEN_INITIALIZED, 0u);
    user_pin_info pi{};
    ASSERT_EQ(m->M_GetUserInfo(0, CKU_USER, &pi), CKR_OK);
    EXPECT_EQ(pi.maximum_tries, 5u);
    EXPECT_EQ(login(h, CKU_SO, "so-pin-1"), CKR_OK);
}

TEST_F(TokenTest, labels_lose_trailing_blanks_but_keep_their_first_two_characters) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const CK_SESSION_HANDLE h = open(0);
    const struct {
        std::string given;
        std::string stored;
    } cases[] = {
        {"Seven c" + std::string(25, ' '), "Seven c"},
        {"A" + std::string(30, ' '), "A "},
        {"B", "B"},
        {"two words", "two words"},
        {std::string(31, 'L'), std::string(31, 'L')},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(m->M_SetTokenLabel(h, c.given.c_str()), CKR_OK) << c.given;
        const CK_TOKEN_INFO info = token_info(0);
        // The stored text is followed by blank padding up to 32.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), c.stored.size()), c.stored)
            << c.given;
        EXPECT_EQ(trimmed(info.label, 32),
                  std::string(c.stored).erase(c.stored.find_last_not_of(' ') + 1));
    }
    // The card's label holds 31 characters: a longer one is refused, and the
    // label stays.
    for (const std::string& longer :
         {std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"), std::string(40, 'M')}) {
        EXPECT_EQ(m->M_SetTokenLabel(h, longer.c_str()), CK_RV{0x0A000006})
            << longer; // SAR_INVALIDPARAMERR
        EXPECT_EQ(trimmed(token_info(0).label, 32), std::string(31, 'L'));
    }
}

// ---------------------------------------------------------------- bad input

TEST_F(TokenTest, bad_slot_ids_session_handles_pointers_and_pin_lengths_get_their_codes) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted()) << a.error();
    ASSERT_EQ(token_slots().size(), 1u);
    const CK_SESSION_HANDLE h = open(0);
    const CK_SLOT_ID high = CK_SLOT_ID{1} << 32;
    CK_TOKEN_INFO ti{};
    CK_SESSION_HANDLE out = 0;
    user_pin_info pi{};
    CK_ULONG caps1 = 0, caps2 = 0;
    std::string label(32, ' ');

    for (const CK_SLOT_ID bad : {CK_SLOT_ID{7}, high, high | 0, ~CK_SLOT_ID{0}}) {
        EXPECT_EQ(f->C_GetTokenInfo(bad, &ti), CKR_SLOT_ID_INVALID) << bad;
        EXPECT_EQ(f->C_OpenSession(bad, CKF_SERIAL_SESSION, nullptr, nullptr, &out),
                  CKR_SLOT_ID_INVALID)
            << bad;
        EXPECT_EQ(f->C_InitToken(bad, text(so_pin), 5, text(label.c_str())), CKR_SLOT_ID_INVALID)
            << bad;
        EXPECT_EQ(m->M_GetUserInfo(bad, CKU_USER, &pi), CKR_SLOT_ID_INVALID) << bad;
        EXPECT_EQ(reinterpret_cast<CK_RV (*)(CK_SLOT_ID, CK_ULONG_PTR, CK_ULONG_PTR)>(
                      module().symbol("M_GetDevCaps"))(bad, &caps1, &caps2),
                  CKR_SLOT_ID_INVALID)
            << bad;
    }
    for (const CK_SESSION_HANDLE bad :
         {CK_SESSION_HANDLE{0}, h | (CK_SESSION_HANDLE{1} << 32), h + 1000}) {
        EXPECT_EQ(login(bad, CKU_SO, so_pin), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_InitPIN(bad, text("11112222"), 8), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_SetPIN(bad, text("11112222"), 8, text("22221111"), 8),
                  CKR_SESSION_HANDLE_INVALID);
    }
    const auto get_dev_caps = reinterpret_cast<CK_RV (*)(CK_SLOT_ID, CK_ULONG_PTR, CK_ULONG_PTR)>(
        module().symbol("M_GetDevCaps"));
    caps1 = caps2 = ~CK_ULONG{0};
    EXPECT_EQ(get_dev_caps(0, &caps1, &caps2), CKR_OK);
    EXPECT_LE(caps1, 0xFFFFu); // two 16-bit words of the card, widened
    EXPECT_LE(caps2, 0xFFFFu);
    EXPECT_EQ(get_dev_caps(0, nullptr, &caps2), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(m->M_GetUserInfo(0, CKU_USER, nullptr), CKR_OK);
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 8), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(f->C_Login(h, CKU_USER | (CK_USER_TYPE{1} << 32), text(default_user_pin), 8),
              CKR_USER_TYPE_INVALID);
    EXPECT_EQ(f->C_SetPIN(h, nullptr, 8, text("22221111"), 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(m->M_UnblockUserPin(h, nullptr, 5, text("22221111"), 8), CKR_ARGUMENTS_BAD);

    // PIN lengths: 0, above the maximum, and a value with high bits set.
    const std::string long_pin(100, '7');
    for (const CK_ULONG len : {CK_ULONG{0}, CK_ULONG{17}, CK_ULONG{100}, (CK_ULONG{1} << 32) | 5}) {
        if (len != 0) {
            EXPECT_EQ(f->C_Login(h, CKU_SO, text(long_pin.c_str()), len), CKR_PIN_LEN_RANGE) << len;
        }
        EXPECT_EQ(f->C_SetPIN(h, text(long_pin.c_str()), len, text("22221111"), 8),
                  CKR_PIN_LEN_RANGE)
            << len;
        EXPECT_EQ(m->M_UnblockUserPin(h, text(so_pin), 5, text(long_pin.c_str()), len),
                  CKR_PIN_LEN_RANGE)
            << len;
        EXPECT_EQ(m->M_UnblockUserPin(h, text(long_pin.c_str()), len, text("22221111"), 8),
                  CKR_PIN_LEN_RANGE)
            << len;
    }
    ASSERT_EQ(f->C_CloseSession(h), CKR_OK);
    for (const CK_ULONG len :
         {CK_ULONG{0}, CK_ULONG{3}, CK_ULONG{17}, CK_ULONG{100}, (CK_ULONG{1} << 32) | 5})
        EXPECT_EQ(f->C_InitToken(0, text(long_pin.c_str()), len, text(label.c_str())),
                  CKR_PIN_LEN_RANGE)
            << len;
    const CK_SESSION_HANDLE so = open(0);
    ASSERT_EQ(login(so, CKU_SO, so_pin), CKR_OK);
    for (const CK_ULONG len : {CK_ULONG{0}, CK_ULONG{17}, CK_ULONG{100}, (CK_ULONG{1} << 32) | 5})
        EXPECT_EQ(f->C_InitPIN(so, text(long_pin.c_str()), len), CKR_PIN_LEN_RANGE) << len;
    // Nothing of the above reached the card's retry counters.
    user_pin_info so_info{};
    ASSERT_EQ(m->M_GetUserInfo(0, CKU_SO, &so_info), CKR_OK);
    EXPECT_EQ(so_info.remaining_tries, 10u);
}

} // namespace

// ---------------------------------------------------------------- container map

TEST_F(TokenTest, construct_msc_map_files_writes_the_map_and_bumps_the_freshness_file) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted());
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    init_user_pin(0, "12345678");
    const CK_SESSION_HANDLE h = open(0);
    ASSERT_EQ(login(h, CKU_USER, "12345678"), CKR_OK);

    auto cardcf_counter = [&]() -> uint32_t {
        uint8_t buf[88] = {};
        CK_ULONG len = sizeof buf;
        EXPECT_EQ(m->M_ReadFile(h, "cardcf", 0, sizeof buf, buf, &len), CKR_OK);
        // Minidriver cache-file header: version, pin freshness, then the
        // container freshness counter (little-endian u16 at offset 2).
        return uint32_t{buf[2]} | (uint32_t{buf[3]} << 8);
    };

    EXPECT_EQ(m->M_ConstructMSCMapFiles(0, ""), CKR_OK);
    CK_ULONG size = 0, read_rights = 0, write_rights = 0;
    ASSERT_EQ(m->M_GetFileInfo(h, "cmapfile", &size, &read_rights, &write_rights), CKR_OK);
    EXPECT_EQ(size, 8u * 86u);
    const uint32_t first = cardcf_counter();
    EXPECT_EQ(m->M_ConstructMSCMapFiles(0, nullptr), CKR_OK);
    EXPECT_EQ(cardcf_counter(), first + 1);
    EXPECT_EQ(m->M_ConstructMSCMapFiles(57, ""), CKR_SLOT_ID_INVALID); // no slot 57
}

TEST_F(TokenTest, files_of_the_token_application_through_the_vendor_functions) {
    simulated_token a(token_options(), first_port());
    ASSERT_TRUE(a.inserted());
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    init_user_pin(0, "12345678");
    const CK_SESSION_HANDLE h = open(0);
    ASSERT_EQ(login(h, CKU_USER, "12345678"), CKR_OK);

    std::vector<CK_BYTE> data(3000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<CK_BYTE>(i * 7);
    ASSERT_EQ(m->M_CreateFile(h, "notes", 4096, 0x10, 0x10), CKR_OK);
    ASSERT_EQ(m->M_WriteFile(h, "notes", 100, data.data(), data.size()), CKR_OK);

    std::vector<CK_BYTE> back(data.size());
    CK_ULONG len = back.size();
    ASSERT_EQ(m->M_ReadFile(h, "notes", 100, back.size(), back.data(), &len), CKR_OK);
    EXPECT_EQ(len, data.size());
    EXPECT_EQ(back, data);
    // A buffer smaller than the request: the device API's size rule, nothing read.
    len = 10;
    EXPECT_NE(m->M_ReadFile(h, "notes", 0, 100, back.data(), &len), CKR_OK);
    EXPECT_EQ(len, 100u);

    ASSERT_EQ(m->M_DeleteFile(h, "notes"), CKR_OK);
    CK_ULONG size = 0, r = 0, w = 0;
    EXPECT_NE(m->M_GetFileInfo(h, "notes", &size, &r, &w), CKR_OK);
    EXPECT_EQ(m->M_DeleteFile(h, nullptr), CKR_ARGUMENTS_BAD);
}
