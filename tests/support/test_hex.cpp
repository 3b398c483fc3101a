#include "test_hex.h"

namespace test_support {

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string to_hex(const uint8_t* data, size_t size) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

std::vector<uint8_t> from_hex(std::string_view text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (const char c : text) {
        const int v = digit_value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

} // namespace test_support
