// The fixture of end-to-end tests that work in one user session: a fresh
// simulated token behind pcscd, the built module (module_loader.h, loaded
// from TESSVIK_MODULE_PATH), and a read-write session on the token with the
// user logged in. The module is finalized after each test.
#pragma once

#include <gtest/gtest.h>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "token_session.h"

namespace test_support {

class user_session_test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.inserted()) << token_.error();
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_TRUE(start_user_session(f, slot, h));
    }
    void TearDown() override {
        if (f != nullptr) f->C_Finalize(nullptr);
    }

    cardsim::test::simulated_token token_{module_token_options()};
    CK_FUNCTION_LIST* f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
};

} // namespace test_support
