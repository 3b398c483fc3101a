// Independent references for the PIN command tests: the PIN key, the SM
// block and SM4 through OpenSSL, and the secure-messaging MAC through the
// module's own SM4 (the simulated card computes it with OpenSSL), so neither
// side's mistake is copied into the other.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sm4_oracle.h"
#include "sm_wrap.h" // the module's SM4 (its sm4.h, next to it)

namespace oracle {

using bytes = std::vector<uint8_t>;
using block16 = std::array<uint8_t, 16>;

// SM4-ECB by OpenSSL and the PIN key (tests/support).
using test_support::pin_key;
using test_support::sm4_ecb;

// Plain text of an SM block: decrypted, length prefix and padding checked.
inline std::optional<bytes> unwrap(std::span<const uint8_t> key, std::span<const uint8_t> block) {
    const bytes plain = sm4_ecb(key, block, false);
    if (plain.size() != block.size() || plain.size() < 16) return std::nullopt;
    const size_t n = plain[0] | static_cast<size_t>(plain[1]) << 8;
    if (plain.size() != 16 * ((n + 2) / 16 + 1) || plain[2 + n] != 0x80) return std::nullopt;
    for (size_t i = 3 + n; i < plain.size(); ++i)
        if (plain[i] != 0) return std::nullopt;
    return bytes(plain.begin() + 2, plain.begin() + 2 + static_cast<std::ptrdiff_t>(n));
}

// SM4-CBC-MAC with ISO/IEC 9797-1 padding method 2; the last cipher block.
inline block16 cbc_mac(std::span<const uint8_t> key, std::span<const uint8_t> iv,
                       std::span<const uint8_t> data) {
    bytes padded(data.begin(), data.end());
    padded.push_back(0x80);
    padded.resize((padded.size() + 15) / 16 * 16, 0);
    sm4_round_keys rk{};
    sm4_key_schedule(rk, key.data());
    block16 chain{};
    std::copy_n(iv.begin(), 16, chain.begin());
    for (size_t off = 0; off < padded.size(); off += 16) {
        for (size_t i = 0; i < 16; ++i)
            chain[i] ^= padded[off + i];
        sm4_block(rk, chain.data(), chain.data());
    }
    return chain;
}

inline block16 challenge_block(std::span<const uint8_t> challenge) {
    block16 b{};
    std::copy_n(challenge.begin(), std::min<size_t>(challenge.size(), 8), b.begin());
    return b;
}

} // namespace oracle
