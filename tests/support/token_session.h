// PKCS#11 end-to-end tests on a simulated token through the built module: the
// card the module lists, the PINs of a freshly formatted token, and the steps
// that start a test with a read-write session logged in as the user.
//
//   simulated_token token_{test_support::module_token_options()};
//   ASSERT_TRUE(test_support::start_user_session(f, slot, h));
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "card.h"
#include "pkcs11.h"

namespace test_support {

// The PINs a freshly formatted simulated token is issued with: the security
// officer's, and the user PIN the tests set with C_InitPIN.
inline constexpr const char* so_pin = "pevot";
inline constexpr const char* user_pin = "58204716";

// A simulated card whose OEM identifier is the one the module selects.
cardsim::card_options module_token_options();

// A text as the CK_UTF8CHAR_PTR that PINs and labels are passed as.
CK_UTF8CHAR_PTR utf8(const char* text);

// The slots with a token, as C_GetSlotList(CK_TRUE) lists them (a failed call
// is a test failure and gives what was listed).
std::vector<CK_SLOT_ID> token_slots(CK_FUNCTION_LIST* f);

// The first slot with a token.
::testing::AssertionResult first_token_slot(CK_FUNCTION_LIST* f, CK_SLOT_ID& slot);

// On a session of a freshly formatted token: the security officer logs in,
// sets the user PIN and logs out, then the user logs in.
::testing::AssertionResult login_new_user(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                          const char* so = so_pin, const char* user = user_pin);

// C_Initialize, the first token slot, a read-write session on it and
// login_new_user. The caller finalizes.
::testing::AssertionResult start_user_session(CK_FUNCTION_LIST* f, CK_SLOT_ID& slot,
                                              CK_SESSION_HANDLE& session);

} // namespace test_support
