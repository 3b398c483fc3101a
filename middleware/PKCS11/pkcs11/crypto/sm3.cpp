#include "sm3.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr uint32_t rotl(uint32_t x, int n) {
    return std::rotl(x, n);
}

constexpr uint32_t load_be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The round constants T_j rotated left by j (mod 32), GB/T 32905 section 5.3.3.
struct round_constants {
    uint32_t k[64];
    constexpr round_constants() : k() {
        for (unsigned j = 0; j < 64; ++j)
            k[j] = rotl(j < 16 ? 0x79CC4519u : 0x7A879D8Au, static_cast<int>(j % 32));
    }
};
constexpr round_constants constants;

constexpr uint32_t p0(uint32_t x) {
    return x ^ rotl(x, 9) ^ rotl(x, 17);
}
constexpr uint32_t p1(uint32_t x) {
    return x ^ rotl(x, 15) ^ rotl(x, 23);
}

constexpr uint32_t initial_value[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                                       0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

} // namespace

// The message expansion is done within the rounds, one word ahead of its
// use: as a separate loop, compilers vectorise it into something slower.
#define SM3_EXPAND(i)                                                                              \
    w[i] = p1(w[(i)-16] ^ w[(i)-9] ^ rotl(w[(i)-3], 15)) ^ rotl(w[(i)-13], 7) ^ w[(i)-6]

// One round updates B, D, F and H in place; the caller rotates the roles of
// the eight words instead of moving them (A B C D E F G H -> D A B C H E F G).
#define SM3_ROUND(A, B, C, D, E, F, G, H, j, FF, GG)                                               \
    do {                                                                                           \
        if ((j) + 4 >= 16) SM3_EXPAND((j) + 4);                                                    \
        const uint32_t a12 = rotl(A, 12);                                                          \
        const uint32_t ss1 = rotl(a12 + E + constants.k[j], 7);                                    \
        const uint32_t ss2 = ss1 ^ a12;                                                            \
        const uint32_t tt1 = FF(A, B, C) + D + ss2 + (w[j] ^ w[(j) + 4]);                          \
        const uint32_t tt2 = GG(E, F, G) + H + ss1 + w[j];                                         \
        B = rotl(B, 9);                                                                            \
        D = tt1;                                                                                   \
        F = rotl(F, 19);                                                                           \
        H = p0(tt2);                                                                               \
    } while (0)

#define SM3_FF0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_GG0(x, y, z) ((x) ^ (y) ^ (z))
#define SM3_FF1(x, y, z) (((x) & (y)) | ((z) & ((x) | (y))))
#define SM3_GG1(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))

#define SM3_FOUR(j, FF, GG)                                                                        \
    SM3_ROUND(a, b, c, d, e, f, g, h, (j), FF, GG);                                                \
    SM3_ROUND(d, a, b, c, h, e, f, g, (j) + 1, FF, GG);                                            \
    SM3_ROUND(c, d, a, b, g, h, e, f, (j) + 2, FF, GG);                                            \
    SM3_ROUND(b, c, d, a, f, g, h, e, (j) + 3, FF, GG)

void sm3_compress(uint32_t v[8], const uint8_t* data, size_t blocks) {
    uint32_t w[68];
    for (; blocks != 0; --blocks, data += sm3_block_size) {
        for (unsigned j = 0; j < 16; ++j)
            w[j] = load_be32(data + 4 * j);
        uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
        SM3_FOUR(0, SM3_FF0, SM3_GG0);
        SM3_FOUR(4, SM3_FF0, SM3_GG0);
        SM3_FOUR(8, SM3_FF0, SM3_GG0);
        SM3_FOUR(12, SM3_FF0, SM3_GG0);
        SM3_FOUR(16, SM3_FF1, SM3_GG1);
        SM3_FOUR(20, SM3_FF1, SM3_GG1);
        SM3_FOUR(24, SM3_FF1, SM3_GG1);
        SM3_FOUR(28, SM3_FF1, SM3_GG1);
        SM3_FOUR(32, SM3_FF1, SM3_GG1);
        SM3_FOUR(36, SM3_FF1, SM3_GG1);
        SM3_FOUR(40, SM3_FF1, SM3_GG1);
        SM3_FOUR(44, SM3_FF1, SM3_GG1);
        SM3_FOUR(48, SM3_FF1, SM3_GG1);
        SM3_FOUR(52, SM3_FF1, SM3_GG1);
        SM3_FOUR(56, SM3_FF1, SM3_GG1);
        SM3_FOUR(60, SM3_FF1, SM3_GG1);
        v[0] ^= a;
        v[1] ^= b;
        v[2] ^= c;
        v[3] ^= d;
        v[4] ^= e;
        v[5] ^= f;
        v[6] ^= g;
        v[7] ^= h;
    }
}

#undef SM3_FOUR
#undef SM3_FF0
#undef SM3_GG0
#undef SM3_FF1
#undef SM3_GG1
#undef SM3_ROUND
#undef SM3_EXPAND

void sm3_init(sm3_state& s) {
    s.total_low = 0;
    s.total_high = 0;
    std::memcpy(s.v, initial_value, sizeof s.v);
    std::memset(s.block, 0, sizeof s.block);
}

void sm3_update(sm3_state& s, const uint8_t* data, size_t length) {
    if (length == 0 || data == nullptr) return;
    size_t used = s.total_low % sm3_block_size;
    const uint64_t total = (uint64_t{s.total_high} << 32 | s.total_low) + length;
    s.total_low = static_cast<uint32_t>(total);
    s.total_high = static_cast<uint32_t>(total >> 32);
    if (used != 0) {
        const size_t take = std::min<size_t>(sm3_block_size - used, length);
        std::memcpy(s.block + used, data, take);
        used += take;
        data += take;
        length -= take;
        if (used < sm3_block_size) return;
        sm3_compress(s.v, s.block, 1);
    }
    const size_t whole = length / sm3_block_size;
    if (whole != 0) {
        sm3_compress(s.v, data, whole);
        data += whole * sm3_block_size;
        length -= whole * sm3_block_size;
    }
    if (length != 0) std::memcpy(s.block, data, length);
}

void sm3_final(sm3_state& s, uint8_t out[sm3_digest_size]) {
    const uint64_t bits = (uint64_t{s.total_high} << 32 | s.total_low) << 3;
    size_t used = s.total_low % sm3_block_size;
    s.block[used++] = 0x80;
    if (used > sm3_block_size - 8) {
        std::memset(s.block + used, 0, sm3_block_size - used);
        sm3_compress(s.v, s.block, 1);
        used = 0;
    }
    std::memset(s.block + used, 0, sm3_block_size - 8 - used);
    store_be32(s.block + 56, static_cast<uint32_t>(bits >> 32));
    store_be32(s.block + 60, static_cast<uint32_t>(bits));
    sm3_compress(s.v, s.block, 1);
    for (unsigned i = 0; i < 8; ++i)
        store_be32(out + 4 * i, s.v[i]);
    std::memset(s.block, 0, sizeof s.block);
}

void sm3(const uint8_t* data, size_t length, uint8_t out[sm3_digest_size]) {
    sm3_state s;
    sm3_init(s);
    sm3_update(s, data, length);
    sm3_final(s, out);
}
