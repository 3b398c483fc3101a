// Files, containers and certificates end to end: device API -> transport ->
// pcscd -> vpcd -> simulated token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token_fixture.h"

namespace {

using namespace gm_test;

// Offset (P-less data bytes 2-3) of the WriteFile and ReadFile commands in
// the card's log: CLA INS P1 P2 00 Lc Lc | app(2) offset(2) ...
uint32_t file_offset_of(const std::vector<uint8_t>& apdu) {
    return (uint32_t{apdu[9]} << 8) | apdu[10];
}

class files : public token_test {
  protected:
    HAPPLICATION app = 0;
    void SetUp() override {
        token_test::SetUp();
        if (HasFatalFailure()) return;
        app = open_app();
        uint32_t retry = 0;
        ASSERT_EQ(SKF_VerifyPIN(app, 1, user_pin, &retry), SAR_OK);
    }
    std::vector<uint32_t> offsets_of(uint8_t ins) const {
        std::vector<uint32_t> offsets;
        for (const auto& apdu : token->sim().apdu_log())
            if (apdu.size() > 10 && apdu[0] == 0x80 && apdu[1] == ins)
                offsets.push_back(file_offset_of(apdu));
        return offsets;
    }
};

struct create_refusal {
    const char* name;
    uint32_t size, read, write, expected;
};

TEST_F(files, create_refusals_send_nothing) {
    const std::string long_name(33, 'f');
    const create_refusal cases[] = {
        {long_name.c_str(), 10, 0xFF, 0xFF, SAR_NAMELENERR},
        {"f", 0x10000, 0xFF, 0xFF, SAR_INDATALENERR},
        {"f", 10, 0x02, 0xFF, SAR_INVALIDPARAMERR},
        {"f", 10, 0xFF, 0x12, SAR_INVALIDPARAMERR},
        {nullptr, 10, 0xFF, 0xFF, SAR_INVALIDPARAMERR},
        {"", 10, 0xFF, 0xFF, SAR_INVALIDPARAMERR},
    };
    clear_log();
    for (const auto& c : cases)
        EXPECT_EQ(SKF_CreateFile(app, c.name, c.size, c.read, c.write), c.expected)
            << (c.name ? c.name : "null");
    EXPECT_EQ(commands(), 0u) << log_text();
    EXPECT_EQ(SKF_CreateFile(dev, "f", 10, 0xFF, 0xFF), SAR_INVALIDHANDLEERR);
    // The largest size and a 32-byte name are accepted.
    EXPECT_EQ(SKF_CreateFile(app, std::string(32, 'g').c_str(), 0xFFFF, 0x11, 0x01), SAR_OK);
}

TEST_F(files, written_in_chunks_and_read_back) {
    const uint32_t c = chunk();
    const uint32_t file_size = 2 * c + 100;
    ASSERT_EQ(SKF_CreateFile(app, "data", file_size, 0xFF, 0xFF), SAR_OK);
    EXPECT_EQ(SKF_CreateFile(app, "data", 10, 0xFF, 0xFF), SAR_FILE_ALREADY_EXIST);

    const std::vector<uint8_t> data = pattern(file_size, 7);
    clear_log();
    ASSERT_EQ(SKF_WriteFile(app, "data", 0, data.data(), 2 * c), SAR_OK);
    EXPECT_EQ(offsets_of(0x3A), (std::vector<uint32_t>{0, c}));
    clear_log();
    ASSERT_EQ(SKF_WriteFile(app, "data", 2 * c, data.data() + 2 * c, 100), SAR_OK);
    EXPECT_EQ(offsets_of(0x3A), (std::vector<uint32_t>{2 * c}));
    clear_log();
    EXPECT_EQ(SKF_WriteFile(app, "data", 5, data.data(), 0), SAR_OK);
    EXPECT_EQ(commands(), 0u) << log_text();

    std::vector<uint8_t> back(file_size + 50);
    uint32_t length = static_cast<uint32_t>(back.size());
    clear_log();
    ASSERT_EQ(SKF_ReadFile(app, "data", 0, file_size, back.data(), &length), SAR_OK);
    ASSERT_EQ(length, file_size);
    back.resize(length);
    EXPECT_EQ(back, data);
    EXPECT_EQ(offsets_of(0x38), (std::vector<uint32_t>{0, c, 2 * c}));

    // At an offset, and past the end of the file (the file ends first).
    std::vector<uint8_t> part(300);
    length = 300;
    ASSERT_EQ(SKF_ReadFile(app, "data", c - 20, 50, part.data(), &length), SAR_OK);
    ASSERT_EQ(length, 50u);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 50, data.begin() + (c - 20)));
    length = 300;
    ASSERT_EQ(SKF_ReadFile(app, "data", file_size - 10, 300, part.data(), &length), SAR_OK);
    ASSERT_EQ(length, 10u);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 10, data.end() - 10));

    FILEATTRIBUTE info{};
    ASSERT_EQ(SKF_GetFileInfo(app, "data", &info), SAR_OK);
    EXPECT_STREQ(info.FileName, "data");
    EXPECT_EQ(info.FileSize, file_size);
    EXPECT_EQ(info.ReadRights, 0xFFu);
    EXPECT_EQ(info.WriteRights, 0xFFu);
    EXPECT_EQ(SKF_GetFileInfo(app, "data", nullptr), SAR_OK);
    EXPECT_EQ(SKF_GetFileInfo(app, std::string(33, 'd').c_str(), &info), SAR_INVALIDPARAMERR);
}

TEST_F(files, read_size_query_rules) {
    ASSERT_EQ(SKF_CreateFile(app, "small", 40, 0xFF, 0xFF), SAR_OK);
    clear_log();
    uint8_t buffer[100];
    uint32_t length = 10;
    EXPECT_EQ(SKF_ReadFile(app, "small", 0, 20, buffer, &length), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);
    length = 10;
    EXPECT_EQ(SKF_ReadFile(app, "missing", 0, 20, nullptr, &length), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(commands(), 0u);
    // A null buffer with enough length asks for the file's real size.
    length = 100;
    EXPECT_EQ(SKF_ReadFile(app, "small", 0, 100, nullptr, &length), SAR_OK);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(SKF_ReadFile(app, "small", 0, 100, buffer, nullptr), SAR_INVALIDPARAMERR);
    length = 100;
    EXPECT_EQ(SKF_ReadFile(app, "missing", 0, 100, buffer, &length), SAR_FILE_NOT_EXIST);
}

TEST_F(files, writes_beyond_the_offset_field_send_nothing) {
    ASSERT_EQ(SKF_CreateFile(app, "edge", 0xFFFF, 0xFF, 0xFF), SAR_OK);
    const std::vector<uint8_t> data = pattern(64, 3);
    clear_log();
    EXPECT_EQ(SKF_WriteFile(app, "edge", 0xFFF0, data.data(), 0x20), SAR_INDATALENERR);
    EXPECT_EQ(SKF_WriteFile(app, "edge", 0x10000, data.data(), 1), SAR_INDATALENERR);
    EXPECT_EQ(SKF_WriteFile(app, "edge", 0, nullptr, 1), SAR_INVALIDPARAMERR);
    EXPECT_EQ(commands(), 0u);
    EXPECT_EQ(SKF_WriteFile(app, "edge", 0xFFEF, data.data(), 0x10), SAR_OK);
    uint8_t back[16] = {};
    uint32_t length = 16;
    ASSERT_EQ(SKF_ReadFile(app, "edge", 0xFFEF, 16, back, &length), SAR_OK);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(0, std::memcmp(back, data.data(), 16));
}

TEST_F(files, listed_and_deleted) {
    ASSERT_EQ(SKF_CreateFile(app, "one", 10, 0xFF, 0xFF), SAR_OK);
    ASSERT_EQ(SKF_CreateFile(app, "two", 10, 0xFF, 0xFF), SAR_OK);
    uint32_t size = 0;
    ASSERT_EQ(SKF_EnumFiles(app, nullptr, &size), SAR_OK);
    std::vector<char> list(size);
    uint32_t small = size - 1;
    EXPECT_EQ(SKF_EnumFiles(app, list.data(), &small), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, size);
    ASSERT_EQ(SKF_EnumFiles(app, list.data(), &size), SAR_OK);
    const std::string names(list.data(), size);
    EXPECT_NE(names.find(std::string("one\0", 4)), std::string::npos);
    EXPECT_NE(names.find(std::string("two\0", 4)), std::string::npos);

    ASSERT_EQ(SKF_DeleteFile(app, "one"), SAR_OK);
    EXPECT_EQ(SKF_GetFileInfo(app, "one", nullptr), SAR_FILE_NOT_EXIST);
    EXPECT_EQ(SKF_DeleteFile(app, "one"), SAR_FILE_NOT_EXIST);
    EXPECT_EQ(SKF_DeleteFile(app, std::string(200, 'x').c_str()), SAR_NAMELENERR);
    size = static_cast<uint32_t>(list.size());
    ASSERT_EQ(SKF_EnumFiles(app, list.data(), &size), SAR_OK);
    EXPECT_EQ(std::string(list.data(), size).find("one"), std::string::npos);
}

TEST_F(files, read_rights_are_checked_by_the_library) {
    const std::vector<uint8_t> data = pattern(16, 9);
    ASSERT_EQ(SKF_CreateFile(app, "user", 16, 0x10, 0xFF), SAR_OK);
    ASSERT_EQ(SKF_CreateFile(app, "admin", 16, 0x01, 0xFF), SAR_OK);
    ASSERT_EQ(SKF_CreateFile(app, "anyone", 16, 0xFF, 0xFF), SAR_OK);
    for (const char* name : {"user", "admin", "anyone"})
        ASSERT_EQ(SKF_WriteFile(app, name, 0, data.data(), 16), SAR_OK);
    ASSERT_EQ(SKF_ClearSecureState(app), SAR_OK);

    uint8_t back[16];
    uint32_t length = 16;
    clear_log();
    EXPECT_EQ(SKF_ReadFile(app, "user", 0, 16, back, &length), SAR_USER_NOT_LOGGED_IN);
    length = 16;
    EXPECT_EQ(SKF_ReadFile(app, "admin", 0, 16, back, &length), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(count(0x80, 0x38), 0); // no ReadFile reached the card
    length = 16;
    EXPECT_EQ(SKF_ReadFile(app, "anyone", 0, 16, back, &length), SAR_OK);
    EXPECT_EQ(length, 16u);

    uint32_t retry = 0;
    ASSERT_EQ(SKF_VerifyPIN(app, 0, so_pin, &retry), SAR_OK);
    length = 16;
    EXPECT_EQ(SKF_ReadFile(app, "admin", 0, 16, back, &length), SAR_OK);
    length = 16;
    EXPECT_EQ(SKF_ReadFile(app, "user", 0, 16, back, &length), SAR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(SKF_VerifyPIN(app, 1, user_pin, &retry), SAR_OK);
    length = 16;
    EXPECT_EQ(SKF_ReadFile(app, "user", 0, 16, back, &length), SAR_OK);
    EXPECT_EQ(0, std::memcmp(back, data.data(), 16));
}

TEST_F(files, set_file_info_changes_the_rights) {
    ASSERT_EQ(SKF_CreateFile(app, "rights", 8, 0xFF, 0xFF), SAR_OK);
    const uint8_t info[8] = {0x10, 0, 0, 0, 0x11, 0, 0, 0};
    ASSERT_EQ(gm_set_file_info(app, "rights", info), SAR_OK);
    FILEATTRIBUTE attribute{};
    ASSERT_EQ(SKF_GetFileInfo(app, "rights", &attribute), SAR_OK);
    EXPECT_EQ(attribute.ReadRights, 0x10u);
    EXPECT_EQ(attribute.WriteRights, 0x11u);
    EXPECT_EQ(gm_set_file_info(app, "rights", nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_set_file_info(app, "missing", info), SAR_FILE_NOT_EXIST);
}

class containers : public files {};

TEST_F(containers, created_listed_described_and_deleted) {
    const std::string name39(39, 'k'), name40(40, 'k');
    HCONTAINER c = 0, c39 = 0;
    ASSERT_EQ(SKF_CreateContainer(app, "first", &c), SAR_OK);
    ASSERT_EQ(SKF_CreateContainer(app, name39.c_str(), &c39), SAR_OK);
    HCONTAINER refused = 0;
    clear_log();
    EXPECT_EQ(SKF_CreateContainer(app, name40.c_str(), &refused), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_CreateContainer(app, "", &refused), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_CreateContainer(app, "x", nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_OpenContainer(app, std::string(200, 'n').c_str(), &refused), SAR_INVALIDPARAMERR);
    EXPECT_EQ(commands(), 0u);
    EXPECT_EQ(refused, 0u);
    EXPECT_NE(SKF_CreateContainer(app, "first", &refused), SAR_OK); // exists on the card
    EXPECT_EQ(refused, 0u);

    uint32_t size = 0;
    ASSERT_EQ(SKF_EnumContainer(app, nullptr, &size), SAR_OK);
    std::vector<char> list(size);
    ASSERT_EQ(SKF_EnumContainer(app, list.data(), &size), SAR_OK);
    const std::string names(list.data(), size);
    EXPECT_NE(names.find(std::string("first\0", 6)), std::string::npos);
    EXPECT_NE(names.find(name39 + '\0'), std::string::npos);

    uint8_t type = 9, sign_cert = 9, exch_cert = 9;
    uint32_t sign_bits = 9, exch_bits = 9;
    ASSERT_EQ(gm_get_container_info(c, &type, &sign_bits, &exch_bits, &sign_cert, &exch_cert),
              SAR_OK);
    EXPECT_EQ(type, gm_container_empty);
    EXPECT_EQ(sign_bits, 0u);
    EXPECT_EQ(exch_bits, 0u);
    EXPECT_EQ(sign_cert, 0);
    EXPECT_EQ(exch_cert, 0);
    gm_container_info info;
    ASSERT_EQ(gm_get_container_info_ex(c39, &info), SAR_OK);
    EXPECT_EQ(info.name, name39);
    EXPECT_EQ(info.application, app);

    // Two opens, two handles; deleting the name ends every handle of it.
    HCONTAINER o1 = 0, o2 = 0;
    ASSERT_EQ(SKF_OpenContainer(app, "first", &o1), SAR_OK);
    ASSERT_EQ(SKF_OpenContainer(app, "first", &o2), SAR_OK);
    EXPECT_NE(o1, o2);
    EXPECT_EQ(SKF_CloseContainer(o1), SAR_OK);
    EXPECT_EQ(SKF_CloseContainer(o1), SAR_INVALIDHANDLEERR);
    ASSERT_EQ(SKF_DeleteContainer(app, "first"), SAR_OK);
    EXPECT_EQ(gm_get_container_info(o2, &type, nullptr, nullptr, nullptr, nullptr),
              SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_get_container_info(c, &type, nullptr, nullptr, nullptr, nullptr),
              SAR_INVALIDHANDLEERR);
    HCONTAINER missing = 0;
    EXPECT_NE(SKF_OpenContainer(app, "first", &missing), SAR_OK);
    EXPECT_EQ(missing, 0u);
    // Handles of other kinds are not containers.
    EXPECT_EQ(SKF_CloseContainer(app), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(gm_get_container_info(dev, &type, nullptr, nullptr, nullptr, nullptr),
              SAR_INVALIDHANDLEERR);

    ASSERT_EQ(SKF_ClearSecureState(app), SAR_OK);
    clear_log();
    EXPECT_EQ(SKF_DeleteContainer(app, name39.c_str()), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(commands(), 0u);
    // Opening needs no login.
    HCONTAINER reopened = 0;
    EXPECT_EQ(SKF_OpenContainer(app, name39.c_str(), &reopened), SAR_OK);
}

TEST_F(containers, certificates_round_trip_byte_identical) {
    HCONTAINER c = 0;
    ASSERT_EQ(SKF_CreateContainer(app, "certs", &c), SAR_OK);
    // Larger than one chunk and than one reply: chained import, export in pieces.
    const std::vector<uint8_t> sign_cert = pattern(chunk() + 1000, 11);
    const std::vector<uint8_t> exch_cert = pattern(5000, 12);

    uint32_t length = 0;
    EXPECT_EQ(SKF_ExportCertificate(c, 1, nullptr, &length), SAR_CERTNOTFOUNTERR);
    ASSERT_EQ(
        SKF_ImportCertificate(c, 1, sign_cert.data(), static_cast<uint32_t>(sign_cert.size())),
        SAR_OK);
    ASSERT_EQ(
        SKF_ImportCertificate(c, 0, exch_cert.data(), static_cast<uint32_t>(exch_cert.size())),
        SAR_OK);

    uint8_t sign_flag = 0, exch_flag = 0;
    ASSERT_EQ(gm_get_container_info(c, nullptr, nullptr, nullptr, &sign_flag, &exch_flag), SAR_OK);
    EXPECT_EQ(sign_flag, 1);
    EXPECT_EQ(exch_flag, 1);

    for (const auto& [flag, expected] : {std::pair{1, &sign_cert}, std::pair{0, &exch_cert}}) {
        length = 0;
        ASSERT_EQ(SKF_ExportCertificate(c, flag, nullptr, &length), SAR_OK);
        EXPECT_EQ(length, expected->size());
        std::vector<uint8_t> out(expected->size());
        uint32_t small = length - 1;
        EXPECT_EQ(SKF_ExportCertificate(c, flag, out.data(), &small), SAR_BUFFER_TOO_SMALL);
        EXPECT_EQ(small, expected->size());
        length = static_cast<uint32_t>(out.size());
        ASSERT_EQ(SKF_ExportCertificate(c, flag, out.data(), &length), SAR_OK);
        EXPECT_EQ(out, *expected) << "sign flag " << flag;
    }

    EXPECT_EQ(SKF_ImportCertificate(0, 1, sign_cert.data(), 10), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_ImportCertificate(app, 1, sign_cert.data(), 10), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF_ImportCertificate(c, 1, nullptr, 10), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ImportCertificate(c, 1, sign_cert.data(), 0), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ExportCertificate(c, 1, nullptr, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ExportCertificate(0, 1, nullptr, &length), SAR_INVALIDHANDLEERR);
}

} // namespace
