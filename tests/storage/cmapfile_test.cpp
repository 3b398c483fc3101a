// "cmapfile" and "cardcf" contents from container lists, without a card.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "param_name.h"
#include "pkcs11_storage_records.h"
#include "storage_expect.h"

namespace {

using storage_test::expected_cardcf;
using storage_test::expected_cmapfile;

std::vector<uint8_t> as_vector(const std::array<uint8_t, cmapfile_size>& a) {
    return {a.begin(), a.end()};
}

struct cmap_case {
    const char* what;
    std::vector<cmap_container> containers;
    std::string default_name;
    std::vector<storage_test::expected_record> expected;
};

std::vector<cmap_container> numbered(int n) {
    std::vector<cmap_container> list;
    for (int i = 0; i < n; ++i)
        list.push_back({"k" + std::to_string(i), gm_container_sm2, 256, 0});
    return list;
}

std::vector<storage_test::expected_record> numbered_records(int n) {
    std::vector<storage_test::expected_record> list;
    for (int i = 0; i < n; ++i)
        list.push_back({"k" + std::to_string(i), uint8_t(i == 0 ? 3 : 1), 256, 0});
    return list;
}

const std::string name39(39, 'n');
const std::string name40(40, 'n');

class cmapfile_layout : public ::testing::TestWithParam<cmap_case> {};

TEST_P(cmapfile_layout, bytes_as_laid_out) {
    const auto& c = GetParam();
    EXPECT_EQ(as_vector(build_cmapfile(c.containers, c.default_name)),
              expected_cmapfile(c.expected))
        << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    cases, cmapfile_layout,
    ::testing::Values(
        cmap_case{"named default",
                  {{"A", gm_container_rsa, 1024, 2048},
                   {"B", gm_container_empty, 0, 0},
                   {"C", gm_container_sm2, 0, 256}},
                  "C",
                  {{"A", 1, 1024, 2048}, {"C", 3, 0, 256}}},
        cmap_case{"no default name: the first record",
                  {{"A", gm_container_rsa, 1024, 0},
                   {"B", gm_container_empty, 0, 0},
                   {"C", gm_container_sm2, 256, 256}},
                  "",
                  {{"A", 3, 1024, 0}, {"C", 1, 256, 256}}},
        cmap_case{"default names an empty container: the first record",
                  {{"A", gm_container_rsa, 1024, 0}, {"B", gm_container_empty, 0, 0}},
                  "B",
                  {{"A", 3, 1024, 0}}},
        cmap_case{"default matches exactly, not a prefix",
                  {{"AB", gm_container_rsa, 2048, 0}, {"A", gm_container_rsa, 1024, 0}},
                  "A",
                  {{"AB", 1, 2048, 0}, {"A", 3, 1024, 0}}},
        cmap_case{"no containers", {}, "X", {}},
        cmap_case{"only empty containers", {{"E", gm_container_empty, 0, 0}}, "", {}},
        cmap_case{"nine with keys: eight records", numbered(9), "", numbered_records(8)},
        cmap_case{"default past the eighth is not marked", numbered(9), "k8", numbered_records(8)},
        cmap_case{"39 characters fit, 40 do not",
                  {{name39, gm_container_rsa, 1024, 0}, {name40, gm_container_rsa, 2048, 0}},
                  name40,
                  {{name39, 1, 1024, 0}, {"", 3, 2048, 0}}},
        cmap_case{"key sizes keep their low 16 bits",
                  {{"W", gm_container_rsa, 0x12345, 0x10000}},
                  "",
                  {{"W", 3, 0x2345, 0}}}),
    [](const ::testing::TestParamInfo<cmap_case>& info) {
        return test_support::param_name(info.param.what);
    });

TEST(cmapfile_layout_bytes, high_bytes_are_sign_extended_like_a_char_widened) {
    const std::vector<cmap_container> list = {{std::string("a\xE9", 2), gm_container_rsa, 1024, 0}};
    const auto file = build_cmapfile(list, "");
    EXPECT_EQ(file[0], 'a');
    EXPECT_EQ(file[1], 0);
    EXPECT_EQ(file[2], 0xE9);
    EXPECT_EQ(file[3], 0xFF);
    EXPECT_EQ(file[4], 0); // the NUL
    EXPECT_EQ(file[5], 0);
}

TEST(cardcf_layout, new_file_then_bumps_wrapping_at_their_widths) {
    const auto fresh = next_cardcf(nullptr);
    EXPECT_EQ(std::vector<uint8_t>(fresh.begin(), fresh.end()), expected_cardcf(0, 0, 0));

    std::array<uint8_t, cardcf_size> current{};
    current[0] = 7;    // an older version byte is rewritten as 1
    current[1] = 0xFF; // pins wraps at 8 bits
    current[2] = 0xFF; // containers 0x01FF -> 0x0200
    current[3] = 0x01;
    current[4] = 0xFF; // files 0xFFFF -> 0
    current[5] = 0xFF;
    for (size_t i = 6; i < cardcf_size; ++i)
        current[i] = static_cast<uint8_t>(i); // kept as read
    const auto next = next_cardcf(&current);
    auto expected = expected_cardcf(0, 0x0200, 0);
    for (size_t i = 6; i < cardcf_size; ++i)
        expected[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(std::vector<uint8_t>(next.begin(), next.end()), expected);
}

} // namespace
