// The OID tables: every row found from the DER of its dotted identifier
// (encoded by the test, independently of the tables), the digest table in both
// directions, and near misses found nowhere.
#include <gtest/gtest.h>

#include "cert_test_support.h"
#include "oid_table.h"
#include "param_name.h"

using namespace certtest;

namespace {

enum which { pk, ext, md };

struct oid_case {
    which table;
    const char* dotted;
    int value; // -1: not in the table
};

const oid_case oid_cases[] = {
    {pk, "1.2.840.113549.1.1.1", 1},
    {pk, "1.2.840.10045.2.1", 2},
    {pk, "1.3.132.1.12", 3},
    {pk, "1.2.156.10197.1.301", 6},
    {pk, "1.2.156.10197.1.301.1", 6},
    {pk, "1.2.156.10197.1.301.2", 6},
    {pk, "1.2.156.10197.1.301.3", 6},
    {pk, "1.2.156.10197.1.301.4", -1},
    {pk, "1.2.840.113549.1.1", -1},
    {ext, "2.5.29.19", 0x100},
    {ext, "2.5.29.15", 0x4},
    {ext, "2.5.29.37", 0x800},
    {ext, "2.5.29.17", 0x20},
    {ext, "2.16.840.1.113730.1.1", 0x10000},
    {ext, "2.5.29.14", -1},
    {md, "1.2.840.113549.2.2", 1},
    {md, "1.2.840.113549.2.4", 2},
    {md, "1.2.840.113549.2.5", 3},
    {md, "1.3.14.3.2.26", 4},
    {md, "2.16.840.1.101.3.4.2.4", 5},
    {md, "2.16.840.1.101.3.4.2.1", 6},
    {md, "2.16.840.1.101.3.4.2.2", 7},
    {md, "2.16.840.1.101.3.4.2.3", 8},
    {md, "2.16.840.1.101.3.4.2.5", -1},
};

class OidTable : public ::testing::TestWithParam<oid_case> {};

TEST_P(OidTable, LooksUpExactBytes) {
    const oid_case& c = GetParam();
    const bytes der = oid(c.dotted);
    const uint8_t* content = der.data() + 2;
    const size_t len = der.size() - 2;
    int value = -1;
    const int ret = c.table == pk    ? oid_lookup_pk_alg(content, len, &value)
                    : c.table == ext ? oid_lookup_x509_ext(content, len, &value)
                                     : oid_lookup_md(content, len, &value);
    EXPECT_EQ(ret, c.value < 0 ? -1 : 0);
    if (c.value >= 0) {
        EXPECT_EQ(value, c.value);
    }
    if (c.table == md && c.value >= 0) {
        const uint8_t* back = nullptr;
        size_t back_len = 0;
        ASSERT_EQ(oid_lookup_by_md(c.value, &back, &back_len), 0);
        EXPECT_EQ(hex(back, back_len), hex(content, len));
    }
}

// The table and the identifier: "pk_1_2_840_113549_1_1_1".
INSTANTIATE_TEST_SUITE_P(Rows, OidTable, ::testing::ValuesIn(oid_cases),
                         [](const ::testing::TestParamInfo<oid_case>& info) {
                             const char* table = info.param.table == pk    ? "pk_"
                                                 : info.param.table == ext ? "ext_"
                                                                           : "md_";
                             return table + test_support::param_name(info.param.dotted);
                         });

TEST(OidTable, UnknownDigestAndNullInput) {
    const uint8_t* back = nullptr;
    size_t len = 0;
    EXPECT_EQ(oid_lookup_by_md(9, &back, &len), -1);
    int value = 0;
    EXPECT_EQ(oid_lookup_pk_alg(nullptr, 0, &value), -1);
    size_t rows = 0;
    oid_md_table(&rows);
    EXPECT_EQ(rows, 9u); // SHA-1 has two identical rows; the first wins
}

} // namespace
