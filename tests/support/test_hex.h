// Hex text in tests: expected card commands and replies written as hex, and
// bytes printed in failure messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// Two upper-case digits a byte, nothing between them.
std::string to_hex(const uint8_t* data, size_t size);
inline std::string to_hex(const std::vector<uint8_t>& b) {
    return to_hex(b.data(), b.size());
}

// The bytes of pairs of hex digits (either case). Anything else in the text
// (spaces, colons, line breaks) is skipped, so "80 CA 00" and "80ca00" are the
// same; a last lone digit is dropped.
std::vector<uint8_t> from_hex(std::string_view text);

} // namespace test_support
