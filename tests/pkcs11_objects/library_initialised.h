// The exports answer CKR_CRYPTOKI_NOT_INITIALIZED outside C_Initialize ..
// C_Finalize. Tests that call them in-process on injected tokens initialise
// the library once per test program, with an in-process lock of their own
// (so no lock file is shared with other test processes).
#pragma once

#include <gtest/gtest.h>

#include <mutex>

#include "pkcs11.h"

namespace library_initialised_detail {

inline CK_RV create(CK_VOID_PTR_PTR m) {
    *m = new std::recursive_mutex;
    return CKR_OK;
}
inline CK_RV destroy(CK_VOID_PTR m) {
    delete static_cast<std::recursive_mutex*>(m);
    return CKR_OK;
}
inline CK_RV lock(CK_VOID_PTR m) {
    static_cast<std::recursive_mutex*>(m)->lock();
    return CKR_OK;
}
inline CK_RV unlock(CK_VOID_PTR m) {
    static_cast<std::recursive_mutex*>(m)->unlock();
    return CKR_OK;
}

class environment : public ::testing::Environment {
  public:
    void SetUp() override {
        CK_C_INITIALIZE_ARGS args{};
        args.CreateMutex = create;
        args.DestroyMutex = destroy;
        args.LockMutex = lock;
        args.UnlockMutex = unlock;
        ASSERT_EQ(C_Initialize(&args), CKR_OK);
    }
    void TearDown() override { EXPECT_EQ(C_Finalize(nullptr), CKR_OK); }
};

inline ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new environment);

} // namespace library_initialised_detail
