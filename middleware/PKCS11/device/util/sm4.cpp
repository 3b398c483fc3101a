// SM4 per GB/T 32907-2016. The round function T = L∘τ is computed with four
// 256-entry tables that merge the S-box with the linear transform L (the
// usual word-wise technique), so a block costs 32 × (4 lookups + 4 XORs).
// The tables are built at compile time from the S-box.
#include "sm4.h"

#include "byte_order.h"

#include <mbedtls/platform_util.h>

#include <algorithm>
#include <bit>
#include <cstdint>

namespace {

// The S-box of GB/T 32907 §6.2 (row = high nibble, column = low nibble).
constexpr std::array<uint8_t, 256> sbox = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

constexpr bool is_permutation(const std::array<uint8_t, 256>& box) {
    std::array<bool, 256> seen{};
    for (uint8_t v : box) {
        if (seen[v]) return false;
        seen[v] = true;
    }
    return true;
}
static_assert(is_permutation(sbox), "the SM4 S-box is a bijection");

// System parameters FK (GB/T 32907 §7.3.1).
constexpr std::array<uint32_t, 4> fk = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

// Fixed parameters CK (§7.3.2): byte j of CK[i] is (4i + j) × 7 mod 256.
constexpr std::array<uint32_t, sm4_rounds> make_ck() {
    std::array<uint32_t, sm4_rounds> ck{};
    for (uint32_t i = 0; i < ck.size(); ++i) {
        uint32_t word = 0;
        for (uint32_t j = 0; j < 4; ++j)
            word = (word << 8) | (((4 * i + j) * 7) & 0xff);
        ck[i] = word;
    }
    return ck;
}
constexpr std::array<uint32_t, sm4_rounds> ck = make_ck();
static_assert(ck[0] == 0x00070e15 && ck[31] == 0x646b7279, "CK constants of GB/T 32907");

// Linear transform L of the encryption round (§6.2).
constexpr uint32_t linear(uint32_t b) {
    return b ^ std::rotl(b, 2) ^ std::rotl(b, 10) ^ std::rotl(b, 18) ^ std::rotl(b, 24);
}

// Linear transform L' of the key expansion (§7.3).
constexpr uint32_t linear_key(uint32_t b) {
    return b ^ std::rotl(b, 13) ^ std::rotl(b, 23);
}

// Non-linear transform τ: the S-box on each byte.
constexpr uint32_t tau(uint32_t a) {
    return (uint32_t{sbox[a >> 24]} << 24) | (uint32_t{sbox[(a >> 16) & 0xff]} << 16) |
           (uint32_t{sbox[(a >> 8) & 0xff]} << 8) | uint32_t{sbox[a & 0xff]};
}

// table[k][x] = L(S(x) placed in byte k, counted from the most significant).
// L commutes with rotation, so the four tables are rotations of the first.
using round_tables = std::array<std::array<uint32_t, 256>, 4>;
constexpr round_tables make_tables() {
    round_tables t{};
    for (unsigned x = 0; x < 256; ++x) {
        const uint32_t v = linear(uint32_t{sbox[x]} << 24);
        for (int k = 0; k < 4; ++k)
            t[k][x] = std::rotr(v, 8 * k);
    }
    return t;
}
constexpr round_tables tables = make_tables();

// The round function T(a) = L(τ(a)).
constexpr uint32_t round_t(uint32_t a) {
    return tables[0][a >> 24] ^ tables[1][(a >> 16) & 0xff] ^ tables[2][(a >> 8) & 0xff] ^
           tables[3][a & 0xff];
}
static_assert(round_t(0x01234567) == linear(tau(0x01234567)) &&
                  round_t(0xfedcba98) == linear(tau(0xfedcba98)),
              "round tables agree with L∘τ");

} // namespace

void sm4_key_schedule(sm4_round_keys& round_keys, const uint8_t key[sm4_key_size]) {
    uint32_t k0 = get_be32(key) ^ fk[0];
    uint32_t k1 = get_be32(key + 4) ^ fk[1];
    uint32_t k2 = get_be32(key + 8) ^ fk[2];
    uint32_t k3 = get_be32(key + 12) ^ fk[3];
    for (int i = 0; i < sm4_rounds; ++i) {
        const uint32_t next = k0 ^ linear_key(tau(k1 ^ k2 ^ k3 ^ ck[i]));
        round_keys[i] = next;
        k0 = k1;
        k1 = k2;
        k2 = k3;
        k3 = next;
    }
}

void sm4_reverse_round_keys(sm4_round_keys& round_keys) {
    std::reverse(round_keys.begin(), round_keys.end());
}

void sm4_block(const sm4_round_keys& rk, const uint8_t in[sm4_block_size],
               uint8_t out[sm4_block_size]) {
    // Read the whole block before writing, so in and out may alias.
    uint32_t x0 = get_be32(in);
    uint32_t x1 = get_be32(in + 4);
    uint32_t x2 = get_be32(in + 8);
    uint32_t x3 = get_be32(in + 12);
    for (int i = 0; i < sm4_rounds; i += 4) {
        x0 ^= round_t(x1 ^ x2 ^ x3 ^ rk[i]);
        x1 ^= round_t(x2 ^ x3 ^ x0 ^ rk[i + 1]);
        x2 ^= round_t(x3 ^ x0 ^ x1 ^ rk[i + 2]);
        x3 ^= round_t(x0 ^ x1 ^ x2 ^ rk[i + 3]);
    }
    // Reverse transform R: the last four words in reverse order.
    put_be32(x3, out);
    put_be32(x2, out + 4);
    put_be32(x1, out + 8);
    put_be32(x0, out + 12);
}

sm4_result sm4_ecb(const uint8_t key[sm4_key_size], uint8_t* buffer, size_t length, int mode) {
    if (length == 0) return sm4_result::ok;
    if (key == nullptr || buffer == nullptr) return sm4_result::null_argument;
    // A length beyond PTRDIFF_MAX is a negative count converted to size_t.
    if (length % sm4_block_size != 0 || length > static_cast<size_t>(PTRDIFF_MAX))
        return sm4_result::bad_length;

    sm4_round_keys rk;
    sm4_key_schedule(rk, key);
    if (mode != sm4_encrypt) sm4_reverse_round_keys(rk);
    for (size_t offset = 0; offset < length; offset += sm4_block_size)
        sm4_block(rk, buffer + offset, buffer + offset);
    // The round keys are key material: do not leave them on the stack.
    mbedtls_platform_zeroize(rk.data(), sizeof(rk));
    return sm4_result::ok;
}
