// apdu_command: serialisation at the length boundaries, validation, reply
// parsing and the chaining bit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "apdu_command.h"

namespace {

using bytes = std::vector<uint8_t>;

struct serialise_case {
    const char* label;
    int32_t case_type;
    int32_t lc; // data bytes set (-1: none)
    int32_t le;
    int result;            // of serialise
    int32_t resolved_case; // after resolution
    bytes length_fields;   // bytes between the header and the data
    bytes trailer;         // bytes after the data
};

std::ostream& operator<<(std::ostream& os, const serialise_case& c) {
    return os << c.label;
}

class apdu_serialise : public ::testing::TestWithParam<serialise_case> {};

TEST_P(apdu_serialise, writes_iso_7816_4_form_or_refuses) {
    const serialise_case& c = GetParam();
    apdu_command command(c.case_type, 0x80, 0xCA, 0x01, 0x02, "Probe");
    bytes data;
    if (c.lc >= 0) {
        data.resize(static_cast<size_t>(c.lc));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        ASSERT_EQ(command.set_data(data), apdu_ok);
    }
    command.set_le(c.le);

    int32_t size = 0;
    ASSERT_EQ(command.serialise(nullptr, &size), apdu_ok);
    bytes out(static_cast<size_t>(size) + 16, 0xEE);
    int32_t length = static_cast<int32_t>(out.size());
    EXPECT_EQ(command.serialise(out.data(), &length), c.result);
    EXPECT_EQ(command.case_type(), c.resolved_case);
    if (c.result != apdu_ok) {
        EXPECT_EQ(out[0], 0xEE) << "nothing is written for a refused command";
        return;
    }
    // The size query and the serialisation agree.
    ASSERT_EQ(length, size);
    bytes expected = {0x80, 0xCA, 0x01, 0x02};
    expected.insert(expected.end(), c.length_fields.begin(), c.length_fields.end());
    expected.insert(expected.end(), data.begin(), data.end());
    expected.insert(expected.end(), c.trailer.begin(), c.trailer.end());
    out.resize(static_cast<size_t>(length));
    EXPECT_EQ(out, expected);
}

const serialise_case serialise_cases[] = {
    {"case1", apdu_case_1, -1, 0, apdu_ok, 1, {}, {}},
    {"case1_with_data", apdu_case_1, 1, 0, apdu_err_invalid, 1, {}, {}},
    {"case1_with_le", apdu_case_1, -1, 1, apdu_err_invalid, 1, {}, {}},
    {"case2_le0", apdu_case_2, -1, 0, apdu_ok, 2, {}, {0x00}},
    {"case2_le255", apdu_case_2, -1, 255, apdu_ok, 2, {}, {0xFF}},
    {"case2_le256", apdu_case_2, -1, 256, apdu_ok, 2, {}, {0x00}},
    {"case2_le257", apdu_case_2, -1, 257, apdu_err_invalid, 2, {}, {}},
    {"case2_with_data", apdu_case_2, 3, 1, apdu_err_invalid, 2, {}, {}},
    {"case3_lc0", apdu_case_3, 0, 0, apdu_err_invalid, 3, {}, {}},
    {"case3_lc1", apdu_case_3, 1, 0, apdu_ok, 3, {0x01}, {}},
    {"case3_lc255", apdu_case_3, 255, 0, apdu_ok, 3, {0xFF}, {}},
    {"case3_lc256", apdu_case_3, 256, 0, apdu_err_invalid, 3, {}, {}},
    {"case3_with_le", apdu_case_3, 4, 1, apdu_err_invalid, 3, {}, {}},
    {"case4_lc1_le256", apdu_case_4, 1, 256, apdu_ok, 4, {0x01}, {0x00}},
    {"case4_lc255_le255", apdu_case_4, 255, 255, apdu_ok, 4, {0xFF}, {0xFF}},
    {"case4_no_data", apdu_case_4, -1, 1, apdu_err_invalid, 4, {}, {}},
    {"ext2_le0", apdu_case_2_ext, -1, 0, apdu_ok, 0x12, {0x00}, {0x00, 0x00}},
    {"ext2_le255", apdu_case_2_ext, -1, 255, apdu_ok, 0x12, {0x00}, {0x00, 0xFF}},
    {"ext2_le256", apdu_case_2_ext, -1, 256, apdu_ok, 0x12, {0x00}, {0x01, 0x00}},
    {"ext2_le65535", apdu_case_2_ext, -1, 65535, apdu_ok, 0x12, {0x00}, {0xFF, 0xFF}},
    {"ext2_le65536", apdu_case_2_ext, -1, 65536, apdu_ok, 0x12, {0x00}, {0x00, 0x00}},
    {"ext2_le65537", apdu_case_2_ext, -1, 65537, apdu_err_invalid, 0x12, {}, {}},
    {"ext2_negative_le", apdu_case_2_ext, -1, -1, apdu_err_invalid, 0x12, {}, {}},
    {"ext3_lc0", apdu_case_3_ext, 0, 0, apdu_err_invalid, 0x13, {}, {}},
    {"ext3_lc255", apdu_case_3_ext, 255, 0, apdu_ok, 0x13, {0x00, 0x00, 0xFF}, {}},
    {"ext3_lc256", apdu_case_3_ext, 256, 0, apdu_ok, 0x13, {0x00, 0x01, 0x00}, {}},
    {"ext3_lc65535", apdu_case_3_ext, 65535, 0, apdu_ok, 0x13, {0x00, 0xFF, 0xFF}, {}},
    {"ext3_lc65536", apdu_case_3_ext, 65536, 0, apdu_err_invalid, 0x13, {}, {}},
    {"ext3_with_le", apdu_case_3_ext, 2, 5, apdu_err_invalid, 0x13, {}, {}},
    {"ext4_lc1_le0", apdu_case_4_ext, 1, 0, apdu_ok, 0x14, {0x00, 0x00, 0x01}, {0x00, 0x00}},
    {"ext4_lc65535_le65536",
     apdu_case_4_ext,
     65535,
     65536,
     apdu_ok,
     0x14,
     {0x00, 0xFF, 0xFF},
     {0x00, 0x00}},
    {"ext4_le65537", apdu_case_4_ext, 2, 65537, apdu_err_invalid, 0x14, {}, {}},
    {"auto2_le256_short", apdu_case_2_auto, -1, 256, apdu_ok, 2, {}, {0x00}},
    {"auto2_le257_extended", apdu_case_2_auto, -1, 257, apdu_ok, 0x12, {0x00}, {0x01, 0x01}},
    {"auto3_lc255_short", apdu_case_3_auto, 255, 0, apdu_ok, 3, {0xFF}, {}},
    {"auto3_lc256_extended", apdu_case_3_auto, 256, 0, apdu_ok, 0x13, {0x00, 0x01, 0x00}, {}},
    {"auto4_le256_short", apdu_case_4_auto, 10, 256, apdu_ok, 4, {0x0A}, {0x00}},
    {"auto4_le257_extended",
     apdu_case_4_auto,
     10,
     257,
     apdu_ok,
     0x14,
     {0x00, 0x00, 0x0A},
     {0x01, 0x01}},
    {"auto4_lc300_le1_extended",
     apdu_case_4_auto,
     300,
     1,
     apdu_ok,
     0x14,
     {0x00, 0x01, 0x2C},
     {0x00, 0x01}},
    {"unknown_case", 5, -1, 0, apdu_err_invalid, 5, {}, {}},
    {"unknown_extended_case", 0x15, 2, 0, apdu_err_invalid, 0x15, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(boundaries, apdu_serialise, ::testing::ValuesIn(serialise_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(apdu_command, short_capacity_is_refused_and_nothing_is_written) {
    apdu_command command(apdu_case_3_ext, 0x80, 0x02, 0x00, 0x00);
    const bytes data = {1, 2, 3, 4, 5};
    ASSERT_EQ(command.set_data(data), apdu_ok);
    ASSERT_EQ(command.serialised_length(), 12);
    uint8_t out[12];
    std::memset(out, 0xEE, sizeof(out));
    int32_t capacity = 10;
    EXPECT_EQ(command.serialise(out, &capacity), apdu_err_buffer_small);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(command.serialise(out, nullptr), apdu_err_invalid);
}

TEST(apdu_command, automatic_case_size_query_matches_serialisation) {
    apdu_command command(apdu_case_4_auto, 0x80, 0xB0, 0x00, 0x00);
    ASSERT_EQ(command.set_data(bytes(300, 0x5A)), apdu_ok);
    command.set_le(16);
    const int32_t size = command.serialised_length();
    EXPECT_EQ(size, 9 + 300);
    EXPECT_EQ(command.to_bytes().size(), static_cast<size_t>(size));
}

TEST(apdu_command, parse_reply_splits_body_and_status_word) {
    apdu_command command(apdu_case_2_ext, 0x80, 0x04, 0x00, 0x00);
    const uint8_t ok[] = {0x90, 0x00};
    ASSERT_EQ(command.parse_reply(ok, 2), apdu_ok);
    EXPECT_EQ(command.status_word(), 0x9000u);
    int32_t length = -1;
    EXPECT_EQ(command.reply(&length), nullptr);
    EXPECT_EQ(length, 0);

    const uint8_t with_body[] = {0xAA, 0xBB, 0xCC, 0x6A, 0x82};
    ASSERT_EQ(command.parse_reply(with_body, 5), apdu_ok);
    EXPECT_EQ(command.status_word(), 0x6A82u);
    EXPECT_EQ(command.sw1(), 0x6A);
    EXPECT_EQ(command.sw2(), 0x82);
    EXPECT_EQ(bytes(command.reply().begin(), command.reply().end()), (bytes{0xAA, 0xBB, 0xCC}));

    // One byte has no status word: refused, and the previous reply stays.
    const uint8_t one[] = {0x90};
    EXPECT_EQ(command.parse_reply(one, 1), apdu_err_no_data);
    EXPECT_EQ(command.parse_reply(nullptr, 2), apdu_err_no_data);
    EXPECT_EQ(command.status_word(), 0x6A82u);
    EXPECT_EQ(command.reply().size(), 3u);
}

TEST(apdu_command, set_data_replaces_the_copy_and_refuses_bad_input) {
    apdu_command command(apdu_case_3_ext, 0x80, 0x02, 0x00, 0x00);
    uint8_t first[] = {1, 2, 3};
    ASSERT_EQ(command.set_data(first, 3), apdu_ok);
    first[0] = 9; // the command keeps its own copy
    const uint8_t second[] = {7, 8};
    ASSERT_EQ(command.set_data(second, 2), apdu_ok);
    EXPECT_EQ(command.lc(), 2);
    EXPECT_EQ(bytes(command.data().begin(), command.data().end()), (bytes{7, 8}));
    EXPECT_EQ(command.set_data(nullptr, 4), apdu_err_invalid);
    EXPECT_EQ(command.set_data(second, -1), apdu_err_invalid);
    EXPECT_EQ(command.lc(), 2);
}

TEST(apdu_command, chaining_bit_and_clones) {
    apdu_command header(apdu_case_3_ext, 0x80, 0x3A, 0x01, 0x02, "ImportCertificate");
    header.set_timeout(500);
    header.set_le(4);
    header.set_chaining();
    EXPECT_EQ(header.cla(), 0x90);
    const uint8_t segment[] = {0xDE, 0xAD};
    auto clone = header.clone_with_data(segment);
    ASSERT_TRUE(clone);
    EXPECT_EQ(clone->cla(), 0x90);
    EXPECT_EQ(clone->case_type(), apdu_case_3_ext);
    EXPECT_EQ(clone->ins(), 0x3A);
    EXPECT_EQ(clone->p1(), 0x01);
    EXPECT_EQ(clone->p2(), 0x02);
    EXPECT_STREQ(clone->name(), "ImportCertificate");
    EXPECT_EQ(clone->le(), 0);
    EXPECT_EQ(clone->timeout(), 0);
    EXPECT_EQ(clone->lc(), 2);
    clone->clear_chaining();
    EXPECT_EQ(clone->cla(), 0x80);
    apdu_command vendor(apdu_case_1, 0xC0, 0x20, 0, 0);
    vendor.set_chaining();
    EXPECT_EQ(vendor.cla(), 0xD0);
}

TEST(apdu_command, name_is_cut_to_63_characters) {
    const std::string long_name(100, 'n');
    apdu_command command(apdu_case_1, 0x80, 0, 0, 0, long_name.c_str());
    EXPECT_EQ(std::string(command.name()), std::string(63, 'n'));
    apdu_command unnamed(apdu_case_1, 0x80, 0, 0, 0);
    EXPECT_STREQ(unnamed.name(), "");
}

} // namespace
