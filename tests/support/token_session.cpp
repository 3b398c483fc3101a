#include "token_session.h"

#include <cstring>
#include <iomanip>
#include <sstream>

namespace test_support {

namespace {

::testing::AssertionResult failed(const char* call, CK_RV rv) {
    std::ostringstream s;
    s << call << " returned 0x" << std::hex << std::uppercase << rv;
    return ::testing::AssertionFailure() << s.str();
}

} // namespace

cardsim::card_options module_token_options() {
    cardsim::card_options o;
    o.oem_identifier = "Tavrel01";
    return o;
}

CK_UTF8CHAR_PTR utf8(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text));
}

std::vector<CK_SLOT_ID> token_slots(CK_FUNCTION_LIST* f) {
    CK_ULONG n = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    std::vector<CK_SLOT_ID> slots(n);
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots.data(), &n), CKR_OK);
    slots.resize(n);
    return slots;
}

::testing::AssertionResult first_token_slot(CK_FUNCTION_LIST* f, CK_SLOT_ID& slot) {
    CK_ULONG n = 0;
    if (const CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n); rv != CKR_OK)
        return failed("C_GetSlotList", rv);
    if (n == 0) return ::testing::AssertionFailure() << "no slot with a token";
    std::vector<CK_SLOT_ID> slots(n);
    if (const CK_RV rv = f->C_GetSlotList(CK_TRUE, slots.data(), &n); rv != CKR_OK)
        return failed("C_GetSlotList", rv);
    if (n == 0) return ::testing::AssertionFailure() << "no slot with a token";
    slot = slots[0];
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult login_new_user(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                          const char* so, const char* user) {
    if (const CK_RV rv = f->C_Login(session, CKU_SO, utf8(so), std::strlen(so)); rv != CKR_OK)
        return failed("C_Login(CKU_SO)", rv);
    if (const CK_RV rv = f->C_InitPIN(session, utf8(user), std::strlen(user)); rv != CKR_OK)
        return failed("C_InitPIN", rv);
    if (const CK_RV rv = f->C_Logout(session); rv != CKR_OK) return failed("C_Logout", rv);
    if (const CK_RV rv = f->C_Login(session, CKU_USER, utf8(user), std::strlen(user)); rv != CKR_OK)
        return failed("C_Login(CKU_USER)", rv);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult start_user_session(CK_FUNCTION_LIST* f, CK_SLOT_ID& slot,
                                              CK_SESSION_HANDLE& session) {
    if (const CK_RV rv = f->C_Initialize(nullptr); rv != CKR_OK) return failed("C_Initialize", rv);
    if (auto found = first_token_slot(f, slot); !found) return found;
    if (const CK_RV rv =
            f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        rv != CKR_OK)
        return failed("C_OpenSession", rv);
    return login_new_user(f, session);
}

} // namespace test_support
