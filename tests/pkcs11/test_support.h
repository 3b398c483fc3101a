// Shared by the module tests: a fixture that starts each test with the module
// loaded and not initialised, and ends it finalised. The tests expect no
// token in pcscd's readers: each takes the machine-wide lock of the pcscd
// tests, so the simulated tokens of another build tree's tests are not in a
// reader meanwhile.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cardsim_harness.h"
#include "module_loader.h"

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cardsim::test::hold_pcscd_test_lock()) << cardsim::test::lane_lock_path();
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        m = module().m;
    }
    void TearDown() override { f->C_Finalize(nullptr); }
    void init() { ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK); }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
};

inline std::string field(const CK_UTF8CHAR* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}
inline std::string padded(const std::string& text, size_t n) {
    return text + std::string(n - text.size(), ' ');
}
