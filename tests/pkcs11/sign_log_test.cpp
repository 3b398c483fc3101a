// The signature time log: entry format and the ring of ten entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkcs11_config.h"
#include "sign_log.h"

namespace {

std::tm at(int second) {
    std::tm t{};
    t.tm_mday = 10;
    t.tm_mon = 11;   // December
    t.tm_year = 126; // 2026
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = second;
    return t;
}

std::string entry(const sign_log_record& r, size_t n) {
    return std::string(reinterpret_cast<const char*>(r.data()) + 1 + 18 * n, 18);
}

TEST(SignLog, EntriesFormRingOfTen) {
    sign_log_record r = sign_log_from_value({}).value();
    sign_log_append(r, at(7));
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(entry(r, 0), "10-12-26-09-05-07|");
    for (int i = 1; i < 10; ++i)
        sign_log_append(r, at(i + 10));
    EXPECT_EQ(r[0], 10);
    EXPECT_EQ(entry(r, 9), "10-12-26-09-05-19|");
    sign_log_append(r, at(42)); // the eleventh overwrites entry 0
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(entry(r, 0), "10-12-26-09-05-42|");
    EXPECT_EQ(entry(r, 1), "10-12-26-09-05-11|");
}

TEST(SignLog, LongerValueIsNoRecordAndCorruptIndexRestarts) {
    // Read as into 181 bytes: a longer value does not fit, a shorter one is
    // padded with zeros.
    EXPECT_FALSE(sign_log_from_value(std::vector<uint8_t>(182, 'x')).has_value());
    EXPECT_FALSE(sign_log_from_value(std::vector<uint8_t>(300, 'x')).has_value());
    const auto shorter = sign_log_from_value(std::vector<uint8_t>(20, 'y'));
    ASSERT_TRUE(shorter.has_value());
    EXPECT_EQ((*shorter)[19], 'y');
    EXPECT_EQ((*shorter)[20], 0);
    std::vector<uint8_t> value(181, 'x');
    value[0] = 200; // an index beyond the ring
    sign_log_record r = sign_log_from_value(value).value();
    sign_log_append(r, at(1));
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(entry(r, 0), "10-12-26-09-05-01|");
    EXPECT_EQ(r[180], 'x');
}

TEST(EnumIdentifier, PathCharactersAreNotAcceptable) {
    struct id_case {
        const char* id;
        bool ok;
    } const cases[] = {{"Tavrel01", true}, {"", true},      {nullptr, true}, {"vx8100,*", true},
                       {"../x", false},    {"a\\b", false}, {"a\nb", false}};
    for (const auto& c : cases)
        EXPECT_EQ(pkcs11_enum_id_acceptable(c.id), c.ok) << (c.id ? c.id : "null");
}

} // namespace
