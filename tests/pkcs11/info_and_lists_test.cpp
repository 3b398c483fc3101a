// CK_INFO, the two function tables and the module's exported symbols.
#include <cstdio>
#include <cstring>
#include <set>

#include "test_support.h"

namespace {

TEST_F(ModuleTest, InfoNeedsInitialisationAndIsBlankPadded) {
    CK_INFO info;
    EXPECT_EQ(f->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    init();
    std::memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(f->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 20);
    EXPECT_EQ(field(info.manufacturerID, 32), padded("Tavrel Technology", 32));
    EXPECT_EQ(field(info.libraryDescription, 32), padded("Tavrel PKCS11 Module V1", 32));
    EXPECT_EQ(info.flags, 0u); // full width: no stale high half
    EXPECT_EQ(info.libraryVersion.major, 2);
    EXPECT_EQ(info.libraryVersion.minor, 0);
}

// Every entry points at the export of its name, except the three that add
// behaviour (firmware override, signature log, SignFinal forwarder).
TEST_F(ModuleTest, FunctionListEntriesPointAtTheirExports) {
    EXPECT_EQ(f->version.major, 2);
    EXPECT_EQ(f->version.minor, 2);
    const std::set<std::string> differing = {"C_GetTokenInfo", "C_Sign", "C_SignFinal"};
    int checked = 0;
#define CHECK_ENTRY(name, params)                                                                  \
    {                                                                                              \
        void* exported = module().symbol(#name);                                                   \
        ASSERT_NE(exported, nullptr) << #name;                                                     \
        ASSERT_NE(reinterpret_cast<void*>(f->name), nullptr) << #name;                             \
        if (differing.count(#name))                                                                \
            EXPECT_NE(reinterpret_cast<void*>(f->name), exported) << #name;                        \
        else                                                                                       \
            EXPECT_EQ(reinterpret_cast<void*>(f->name), exported) << #name;                        \
        ++checked;                                                                                 \
    }
    TESSVIK_CK_FUNCTIONS(CHECK_ENTRY)
#undef CHECK_ENTRY
    EXPECT_EQ(checked, 68);
}

TEST_F(ModuleTest, ExtensionListHasTwentyEntriesAndFiveNullSlots) {
    const auto* raw = reinterpret_cast<const unsigned char*>(m);
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(raw[1], 0);
    for (int i = 2; i < 8; ++i)
        EXPECT_EQ(raw[i], 0) << "header byte " << i;
    int checked = 0;
#define CHECK_ENTRY(name, params)                                                                  \
    {                                                                                              \
        void* exported = module().symbol(#name);                                                   \
        ASSERT_NE(exported, nullptr) << #name;                                                     \
        EXPECT_EQ(reinterpret_cast<void*>(m->name), exported) << #name;                            \
        ++checked;                                                                                 \
    }
    TESSVIK_M_TABLE_FUNCTIONS(CHECK_ENTRY)
#undef CHECK_ENTRY
    EXPECT_EQ(checked, 20);
    void* slots[25];
    std::memcpy(slots, raw + 8, sizeof slots);
    for (int i = 20; i < 25; ++i)
        EXPECT_EQ(slots[i], nullptr) << "slot " << i;
    for (int i = 0; i < 20; ++i)
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    // The name-only functions exist but are not in the table.
    for (const char* name : {"M_ForceLogout", "M_RemoteUnblockUserPin", "M_GetDevCaps",
                             "M_SetInqString", "M_RemoteUnblockUserPinMS"}) {
        void* exported = module().symbol(name);
        ASSERT_NE(exported, nullptr) << name;
        for (void* slot : slots)
            EXPECT_NE(slot, exported) << name;
    }
}

TEST_F(ModuleTest, GetFunctionListAnswersWithoutInitialisation) {
    CK_FUNCTION_LIST* list = nullptr;
    EXPECT_EQ(f->C_GetFunctionList(&list), CKR_OK);
    EXPECT_EQ(list, f);
    EXPECT_EQ(f->C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
}

// The module exports exactly the 93 C_ and M_ functions and no other global
// function. (The other tests load the test build of the module, which adds
// its testing hooks; this one reads the production module.)
TEST(ModuleSymbols, ExactlyTheNinetyThreeExports) {
    std::set<std::string> expected;
#define ADD_NAME(name, params) expected.insert(#name);
    TESSVIK_CK_FUNCTIONS(ADD_NAME)
    TESSVIK_M_TABLE_FUNCTIONS(ADD_NAME)
    TESSVIK_M_NAME_ONLY_FUNCTIONS(ADD_NAME)
#undef ADD_NAME
    ASSERT_EQ(expected.size(), 93u);

    FILE* p = popen("nm -D --defined-only " TESSVIK_PRODUCTION_MODULE_PATH, "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> functions;
    std::set<std::string> others;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) != 3) continue;
        if (std::strcmp(type, "T") == 0 || std::strcmp(type, "W") == 0 ||
            std::strcmp(type, "i") == 0)
            functions.insert(name);
        else if (std::strcmp(type, "A") != 0)
            others.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(functions, expected);
    EXPECT_TRUE(others.empty()) << "unexpected exported data: " << *others.begin();
}

} // namespace
