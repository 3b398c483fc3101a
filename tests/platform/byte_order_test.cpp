#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "byte_order.h"

namespace {

struct put_case {
    const char* what;
    uint32_t value;
    bool wide;
    std::vector<uint8_t> bytes;
};

TEST(ByteOrder, PutWritesMostSignificantFirst) {
    const put_case cases[] = {
        {"be16", 0x1234, false, {0x12, 0x34}},
        {"be16 keeps only the low 16 bits", 0xABCD1234, false, {0x12, 0x34}},
        {"be32", 0x01020304, true, {0x01, 0x02, 0x03, 0x04}},
        {"be32 high bit", 0x80000001, true, {0x80, 0x00, 0x00, 0x01}},
    };
    for (const auto& c : cases) {
        std::array<uint8_t, 6> out{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        if (c.wide) {
            put_be32(c.value, out.data());
        } else {
            put_be16(c.value, out.data());
        }
        std::vector<uint8_t> written(out.begin(), out.begin() + c.bytes.size());
        EXPECT_EQ(written, c.bytes) << c.what;
        EXPECT_EQ(out[c.bytes.size()], 0xEE) << c.what << ": wrote past the field";
        uint32_t read_back = c.wide ? get_be32(out.data()) : get_be16(out.data());
        EXPECT_EQ(read_back, c.wide ? c.value : c.value & 0xFFFF) << c.what;
    }
}

TEST(ByteOrder, ReverseBytes) {
    const std::vector<std::vector<uint8_t>> cases = {
        {}, {7}, {1, 2}, {1, 2, 3}, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5, 6},
    };
    for (const auto& input : cases) {
        std::vector<uint8_t> buffer = input;
        buffer.push_back(0xEE); // guard byte
        reverse_bytes(buffer.data(), input.size());
        std::vector<uint8_t> expected(input.rbegin(), input.rend());
        expected.push_back(0xEE);
        EXPECT_EQ(buffer, expected) << "length " << input.size();
    }
}

TEST(ByteOrder, SwapAndLittleEndian) {
    EXPECT_EQ(swap16(0x1234), 0x3412);
    EXPECT_EQ(swap16(0x00FF), 0xFF00);
    uint8_t out[4];
    put_le32(0x01020304, out);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[3], 0x01);
    EXPECT_EQ(get_le32(out), 0x01020304u);
    put_le16(0xBEEF, out);
    EXPECT_EQ(get_le16(out), 0xBEEF);
}

} // namespace
