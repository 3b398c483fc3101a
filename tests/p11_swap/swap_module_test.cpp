// A card swapped in one reader, seen through the built module (dlopen +
// C_GetFunctionList) on simulated tokens behind pcscd. Each test runs in its
// own process (gtest_discover_tests), so the module's token list starts empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "token_session.h"
#include "wait_until.h"

using cardsim::test::first_port;
using cardsim::test::second_port;
using cardsim::test::simulated_token;

namespace {

constexpr const char* so_pin = "pevot";

cardsim::card_options token_options() {
    return test_support::module_token_options();
}

// The module enumerates again only when its enumeration interval (3 s by
// default) has passed since the last one; the test build lets a test shorten
// it, so the swap is seen after a short wait on the slot list itself.
constexpr unsigned short_interval_ms = 200;

CK_UTF8CHAR_PTR text(const char* s) {
    return test_support::utf8(s);
}

class SwapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_TRUE(set_module_timing(module(), short_interval_ms, 0));
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    std::vector<CK_SLOT_ID> token_slots() { return test_support::token_slots(f); }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        return h;
    }
    std::string serial(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
        return std::string(reinterpret_cast<const char*>(info.serialNumber),
                           sizeof info.serialNumber);
    }

    CK_FUNCTION_LIST* f = nullptr;
};

// The slot (0 or 1) whose token is the card of `token`: C_GetTokenInfo checks
// that the token's card still answers, which reaches only that card.
CK_SLOT_ID slot_of(CK_FUNCTION_LIST* f, simulated_token& token) {
    for (CK_SLOT_ID slot : {CK_SLOT_ID{0}, CK_SLOT_ID{1}}) {
        token.sim().clear_log();
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(slot, &info) == CKR_OK && !token.sim().apdu_log().empty())
            return slot;
    }
    return CK_UNAVAILABLE_INFORMATION;
}

// Two tokens take slots 0 and 1. The card of slot 0 is pulled and another
// card goes into the same reader; it lies idle until the module lists the
// slots again.
TEST_F(SwapTest,
       a_card_swapped_into_a_reader_takes_the_lowest_free_id_and_old_sessions_never_reach_it) {
    const uint16_t ports[2] = {first_port(), second_port()};
    std::optional<simulated_token> tokens[2];
    for (int i = 0; i < 2; ++i) {
        tokens[i].emplace(token_options(), ports[i]);
        ASSERT_TRUE(tokens[i]->inserted()) << tokens[i]->error();
    }
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0, 1}));
    const CK_SLOT_ID slot_first = slot_of(f, *tokens[0]);
    ASSERT_LE(slot_first, 1u);
    const int pulled = slot_first == 0 ? 0 : 1; // the token in slot 0
    const std::string serial0 = serial(0);
    const std::string serial1 = serial(1);
    ASSERT_NE(serial0, serial1);

    const CK_SESSION_HANDLE old_session = open(0);
    const CK_SESSION_HANDLE other_session = open(1);
    ASSERT_EQ(f->C_Login(old_session, CKU_SO, text(so_pin), 5), CKR_OK);

    ASSERT_TRUE(tokens[pulled]->remove());
    tokens[pulled].reset();
    simulated_token swapped(token_options(), ports[pulled]);
    ASSERT_TRUE(swapped.inserted()) << swapped.error();
    // The next enumeration after the interval finds the new card in slot 0.
    CK_TOKEN_INFO listed_info{};
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            const std::vector<CK_SLOT_ID> listed = token_slots();
            return listed.size() == 2 &&
                   std::find(listed.begin(), listed.end(), CK_SLOT_ID{0}) != listed.end() &&
                   f->C_GetTokenInfo(0, &listed_info) == CKR_OK &&
                   std::string(reinterpret_cast<const char*>(listed_info.serialNumber),
                               sizeof listed_info.serialNumber) != serial0;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(short_interval_ms)))
        << "the module does not list the swapped card";

    // The list keeps the tokens' order of arrival; the ids are what count.
    std::vector<CK_SLOT_ID> slots = token_slots();
    std::sort(slots.begin(), slots.end());
    ASSERT_EQ(slots, (std::vector<CK_SLOT_ID>{0, 1}));
    EXPECT_NE(serial(0), serial0) << "slot 0 still shows the pulled card";
    EXPECT_EQ(serial(1), serial1);
    EXPECT_EQ(slot_of(f, swapped), 0u);

    // The old session went with its token; the other token's session stays.
    swapped.sim().clear_log();
    CK_SESSION_INFO info{};
    EXPECT_EQ(f->C_GetSessionInfo(old_session, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_Login(old_session, CKU_SO, text(so_pin), 5), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_SetPIN(old_session, text(so_pin), 5, text("taken01"), 7),
              CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_Logout(old_session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(swapped.sim().apdu_log().empty()) << "an old session reached the new card";
    ASSERT_EQ(f->C_GetSessionInfo(other_session, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 1u);

    // A new session on slot 0 is a new handle, and the SO login of the old
    // card's session does not carry over to the new card.
    const CK_SESSION_HANDLE fresh = open(0);
    EXPECT_NE(fresh, old_session);
    ASSERT_EQ(f->C_GetSessionInfo(fresh, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_ULONG>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(f->C_Login(fresh, CKU_SO, text(so_pin), 5), CKR_OK);
}

// Nothing watches the readers while the library is finalised. At the next
// C_Initialize a token whose card was replaced, or pulled, has left its slot:
// it answers neither as present nor with the old card's data, and the change
// is reported as a slot event; the next C_GetSlotList lists the cards there
// are then.
TEST_F(SwapTest,
       a_card_swapped_or_pulled_while_finalized_has_left_its_slot_at_the_next_initialize) {
    std::optional<simulated_token> card;
    card.emplace(token_options(), first_port());
    ASSERT_TRUE(card->inserted()) << card->error();
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    const std::string pulled_serial = serial(0);
    const auto slot_holds_no_token = [&] {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_SLOT_ID_INVALID);
        CK_SLOT_INFO slot_info{};
        ASSERT_EQ(f->C_GetSlotInfo(0, &slot_info), CKR_OK); // still a slot
        EXPECT_EQ(slot_info.flags & CKF_TOKEN_PRESENT, 0u);
        CK_SLOT_ID changed = 99;
        EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &changed, nullptr), CKR_OK);
        EXPECT_EQ(changed, 0u);
    };

    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_TRUE(card->remove());
    card.reset();
    card.emplace(token_options(), first_port());
    ASSERT_TRUE(card->inserted()) << card->error();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    {
        SCOPED_TRACE("swapped");
        slot_holds_no_token();
    }
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    EXPECT_NE(serial(0), pulled_serial);

    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_TRUE(card->remove());
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    {
        SCOPED_TRACE("pulled");
        slot_holds_no_token();
    }
    EXPECT_TRUE(token_slots().empty());
}

// A card put into the other reader while the library is finalised is listed
// by the first C_GetSlotList after C_Initialize, beside the kept token.
TEST_F(SwapTest, a_card_put_in_while_finalized_is_listed_by_the_first_slot_list_after_initialize) {
    simulated_token kept(token_options(), first_port());
    ASSERT_TRUE(kept.inserted()) << kept.error();
    ASSERT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0}));
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    simulated_token added(token_options(), second_port());
    ASSERT_TRUE(added.inserted()) << added.error();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(token_slots(), (std::vector<CK_SLOT_ID>{0, 1}));
    EXPECT_EQ(slot_of(f, kept), 0u);
    EXPECT_EQ(slot_of(f, added), 1u);
}

} // namespace
