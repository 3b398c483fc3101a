// The mechanism table as C_GetMechanismList and C_GetMechanismInfo report it,
// on a token injected into the process-wide core.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library_initialised.h"
#include "pkcs11_core.h"

namespace {

// {type, min, max, flags} as PKCS#11 v2.20 numbers, in the order the token lists them.
struct row {
    CK_MECHANISM_TYPE type;
    CK_ULONG min, max;
    CK_FLAGS flags;
};
const row expected[] = {
    {0x0, 1024, 2048, 0x10001},     {0x1, 1024, 2048, 0x62B01},     {0x3, 1024, 2048, 0x2B01},
    {0x6, 1024, 2048, 0x2801},      {0xA, 1024, 2048, 0x10001},     {0xB, 1024, 2048, 0x2801},
    {0xC, 1024, 2048, 0x2801},      {0x40, 1024, 2048, 0x2801},     {0x41, 1024, 2048, 0x2801},
    {0x42, 1024, 2048, 0x2801},     {0x5, 1024, 2048, 0x2801},      {0x210, 128, 128, 0x401},
    {0x220, 160, 160, 0x401},       {0x250, 256, 256, 0x401},       {0x270, 512, 512, 0x401},
    {0x120, 64, 64, 0x8001},        {0x121, 64, 64, 0x60301},       {0x122, 64, 64, 0x60301},
    {0x125, 64, 64, 0x60301},       {0x131, 192, 192, 0x8001},      {0x132, 192, 192, 0x60301},
    {0x133, 192, 192, 0x60301},     {0x136, 192, 192, 0x60301},     {0x1080, 16, 32, 0x8001},
    {0x1081, 16, 32, 0x60301},      {0x1082, 16, 32, 0x60301},      {0x1085, 16, 32, 0x60301},
    {0x100, 8, 1024, 0x8000},       {0x101, 1, 1024, 0x300},        {0x102, 1, 1024, 0x300},
    {0x110, 8, 2048, 0x8000},       {0x111, 8, 2048, 0x300},        {0x390, 128, 128, 0x80000},
    {0x392, 160, 160, 0x80000},     {0x393, 256, 256, 0x80000},     {0x395, 512, 512, 0x80000},
    {0x83000000, 256, 256, 0x2B01}, {0x83000001, 256, 256, 0x2801}, {0x83000100, 16, 16, 0x8001},
    {0x83000101, 16, 16, 0x60301},  {0x83000102, 16, 16, 0x60301},  {0x83000103, 16, 16, 0x60301},
    {0x83000300, 256, 256, 0x401},  {0x83000400, 16, 16, 0x8001},   {0x83000401, 16, 16, 0x60301},
    {0x83000402, 16, 16, 0x60301},  {0x83000403, 16, 16, 0x60301},
};
static_assert(std::size(expected) == 47);

class Mechanisms : public ::testing::Test {
  protected:
    void SetUp() override {
        static int n = 0;
        const std::string name = "mechanism test reader " + std::to_string(n++);
        int32_t slot_id = -1;
        bool created = false;
        token = pkcs11_core().token_mgr().find_or_add_token(name.c_str(), &slot_id, &created);
        ASSERT_NE(token, nullptr);
        slot = static_cast<CK_SLOT_ID>(slot_id);
    }
    void TearDown() override { pkcs11_core().token_mgr().remove_token(token); }
    pkcs11_token* token = nullptr;
    CK_SLOT_ID slot = 0;
};

TEST_F(Mechanisms, ListHasAll47InTableOrderAtFullWidth) {
    CK_ULONG count = ~0UL;
    ASSERT_EQ(C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 47u);
    std::vector<CK_MECHANISM_TYPE> list(47, ~0UL);
    ASSERT_EQ(C_GetMechanismList(slot, list.data(), &count), CKR_OK);
    for (size_t i = 0; i < 47; ++i)
        EXPECT_EQ(list[i], expected[i].type) << "row " << i + 1;
}

TEST_F(Mechanisms, ShortBufferGetsCountAndBufferTooSmall) {
    std::vector<CK_MECHANISM_TYPE> list(46, 0x5A5A);
    CK_ULONG count = 46;
    EXPECT_EQ(C_GetMechanismList(slot, list.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 47u);
    EXPECT_EQ(list[0], 0x5A5Au); // nothing written
}

TEST_F(Mechanisms, InfoForEveryRow) {
    for (const row& r : expected) {
        CK_MECHANISM_INFO info{~0UL, ~0UL, ~0UL};
        ASSERT_EQ(C_GetMechanismInfo(slot, r.type, &info), CKR_OK) << std::hex << r.type;
        EXPECT_EQ(info.ulMinKeySize, r.min) << std::hex << r.type;
        EXPECT_EQ(info.ulMaxKeySize, r.max) << std::hex << r.type;
        EXPECT_EQ(info.flags, r.flags) << std::hex << r.type;
    }
}

TEST_F(Mechanisms, SoftwareAndDerivationRowsCarryNoHardwareFlag) {
    for (const row& r : expected) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(C_GetMechanismInfo(slot, r.type, &info), CKR_OK);
        const bool software =
            (r.type >= 0x100 && r.type <= 0x111) || (r.type >= 0x390 && r.type <= 0x395);
        EXPECT_EQ((info.flags & CKF_HW) == 0, software) << std::hex << r.type;
    }
}

TEST_F(Mechanisms, UnknownTypesAndBadArguments) {
    CK_MECHANISM_INFO info{};
    const CK_MECHANISM_TYPE unknown[] = {
        CKM_SHA384,         CKM_SHA384_KEY_DERIVATION,
        0x2 /* RSA 9796 */, (CK_MECHANISM_TYPE{1} << 32) | CKM_RSA_PKCS,
        0x83000404,         ~0UL};
    for (CK_MECHANISM_TYPE t : unknown)
        EXPECT_EQ(C_GetMechanismInfo(slot, t, &info), CKR_MECHANISM_INVALID) << std::hex << t;
    EXPECT_EQ(C_GetMechanismInfo(slot, CKM_RSA_PKCS, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetMechanismList(slot, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    CK_ULONG count = 0;
    for (CK_SLOT_ID bad : {slot + 1000, (CK_SLOT_ID{1} << 32) | slot, ~0UL}) {
        EXPECT_EQ(C_GetMechanismList(bad, nullptr, &count), CKR_SLOT_ID_INVALID);
        EXPECT_EQ(C_GetMechanismInfo(bad, CKM_RSA_PKCS, &info), CKR_SLOT_ID_INVALID);
    }
}

} // namespace
