#include "rc2.h"

#include <cstring>

namespace {

// RFC 2268 section 2: the permutation of 0..255 built from the digits of pi.
constexpr uint8_t pitable[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

inline uint16_t rol16(uint16_t x, unsigned n) {
    return static_cast<uint16_t>(x << n | x >> (16 - n));
}
inline uint16_t ror16(uint16_t x, unsigned n) {
    return static_cast<uint16_t>(x >> n | x << (16 - n));
}

// The four 16-bit words of a block are little-endian (RFC 2268 section 3).
void load(const uint8_t* in, uint16_t r[4]) {
    for (int i = 0; i < 4; ++i)
        r[i] = static_cast<uint16_t>(in[2 * i] | in[2 * i + 1] << 8);
}
void store(const uint16_t r[4], uint8_t* out) {
    for (int i = 0; i < 4; ++i) {
        out[2 * i] = static_cast<uint8_t>(r[i]);
        out[2 * i + 1] = static_cast<uint8_t>(r[i] >> 8);
    }
}

} // namespace

void rc2_key_expand(rc2_schedule& s, size_t length, const uint8_t* key, uint32_t effective_bits) {
    if (length > rc2_max_key) length = rc2_max_key;
    if (effective_bits < 1 || effective_bits > rc2_max_effective_bits)
        effective_bits = rc2_max_effective_bits;
    uint8_t l[128] = {};
    if (length != 0) std::memcpy(l, key, length);
    const size_t t = length;
    if (t != 0) {
        for (size_t i = t; i < 128; ++i)
            l[i] = pitable[static_cast<uint8_t>(l[i - 1] + l[i - t])];
    }
    const uint32_t t8 = (effective_bits + 7) / 8;
    const uint8_t tm = static_cast<uint8_t>(0xFF >> (8 * t8 - effective_bits));
    l[128 - t8] = pitable[l[128 - t8] & tm];
    for (int i = 127 - static_cast<int>(t8); i >= 0; --i)
        l[i] = pitable[l[i + 1] ^ l[i + t8]];
    for (int i = 0; i < 64; ++i)
        s.k[i] = uint32_t{l[2 * i]} | uint32_t{l[2 * i + 1]} << 8;
    std::memset(l, 0, sizeof l);
}

void rc2_encrypt_block(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8]) {
    uint16_t r[4];
    load(in, r);
    unsigned j = 0;
    const auto mix = [&] {
        r[0] = rol16(static_cast<uint16_t>(r[0] + s.k[j++] + (r[3] & r[2]) + (~r[3] & r[1])), 1);
        r[1] = rol16(static_cast<uint16_t>(r[1] + s.k[j++] + (r[0] & r[3]) + (~r[0] & r[2])), 2);
        r[2] = rol16(static_cast<uint16_t>(r[2] + s.k[j++] + (r[1] & r[0]) + (~r[1] & r[3])), 3);
        r[3] = rol16(static_cast<uint16_t>(r[3] + s.k[j++] + (r[2] & r[1]) + (~r[2] & r[0])), 5);
    };
    const auto mash = [&] {
        r[0] = static_cast<uint16_t>(r[0] + s.k[r[3] & 63]);
        r[1] = static_cast<uint16_t>(r[1] + s.k[r[0] & 63]);
        r[2] = static_cast<uint16_t>(r[2] + s.k[r[1] & 63]);
        r[3] = static_cast<uint16_t>(r[3] + s.k[r[2] & 63]);
    };
    for (int i = 0; i < 5; ++i)
        mix();
    mash();
    for (int i = 0; i < 6; ++i)
        mix();
    mash();
    for (int i = 0; i < 5; ++i)
        mix();
    store(r, out);
}

void rc2_decrypt_block(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8]) {
    uint16_t r[4];
    load(in, r);
    int j = 63;
    const auto rmix = [&] {
        r[3] = static_cast<uint16_t>(ror16(r[3], 5) - s.k[j--] - (r[2] & r[1]) - (~r[2] & r[0]));
        r[2] = static_cast<uint16_t>(ror16(r[2], 3) - s.k[j--] - (r[1] & r[0]) - (~r[1] & r[3]));
        r[1] = static_cast<uint16_t>(ror16(r[1], 2) - s.k[j--] - (r[0] & r[3]) - (~r[0] & r[2]));
        r[0] = static_cast<uint16_t>(ror16(r[0], 1) - s.k[j--] - (r[3] & r[2]) - (~r[3] & r[1]));
    };
    const auto rmash = [&] {
        r[3] = static_cast<uint16_t>(r[3] - s.k[r[2] & 63]);
        r[2] = static_cast<uint16_t>(r[2] - s.k[r[1] & 63]);
        r[1] = static_cast<uint16_t>(r[1] - s.k[r[0] & 63]);
        r[0] = static_cast<uint16_t>(r[0] - s.k[r[3] & 63]);
    };
    for (int i = 0; i < 5; ++i)
        rmix();
    rmash();
    for (int i = 0; i < 6; ++i)
        rmix();
    rmash();
    for (int i = 0; i < 5; ++i)
        rmix();
    store(r, out);
}

void rc2_ecb_encrypt(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8], bool encrypt) {
    if (encrypt)
        rc2_encrypt_block(s, in, out);
    else
        rc2_decrypt_block(s, in, out);
}

void rc2_cbc_encrypt(const uint8_t* in, uint8_t* out, size_t length, const rc2_schedule& s,
                     uint8_t chain[8], bool encrypt) {
    uint8_t block[8];
    while (length != 0) {
        const size_t n = length < 8 ? length : 8;
        if (encrypt) {
            std::memset(block, 0, sizeof block);
            std::memcpy(block, in, n);
            for (int i = 0; i < 8; ++i)
                block[i] ^= chain[i];
            rc2_encrypt_block(s, block, chain);
            std::memcpy(out, chain, 8);
            out += 8;
        } else {
            if (n < 8) break; // cipher text comes in whole blocks
            std::memcpy(block, in, 8);
            rc2_decrypt_block(s, block, out);
            for (int i = 0; i < 8; ++i)
                out[i] ^= chain[i];
            std::memcpy(chain, block, 8);
            out += 8;
        }
        in += n;
        length -= n;
    }
}

void rc4_set_key(rc4_state& st, size_t length, const uint8_t* key) {
    st.i = st.j = 0;
    for (uint32_t k = 0; k < 256; ++k)
        st.s[k] = k;
    if (length == 0) return;
    uint32_t j = 0;
    size_t at = 0;
    for (uint32_t k = 0; k < 256; ++k) {
        j = (j + st.s[k] + key[at]) & 0xFF;
        const uint32_t t = st.s[k];
        st.s[k] = st.s[j];
        st.s[j] = t;
        if (++at == length) at = 0;
    }
}

void rc4_crypt(rc4_state& st, size_t length, const uint8_t* in, uint8_t* out) {
    uint32_t i = st.i, j = st.j;
    uint32_t* s = st.s;
    const auto next = [&]() -> uint8_t {
        i = (i + 1) & 0xFF;
        const uint32_t a = s[i];
        j = (j + a) & 0xFF;
        const uint32_t b = s[j];
        s[i] = b;
        s[j] = a;
        return static_cast<uint8_t>(s[(a + b) & 0xFF]);
    };
    size_t n = 0;
    for (; n + 8 <= length; n += 8)
        for (int k = 0; k < 8; ++k)
            out[n + k] = static_cast<uint8_t>(in[n + k] ^ next());
    for (; n < length; ++n)
        out[n] = static_cast<uint8_t>(in[n] ^ next());
    st.i = i;
    st.j = j;
}
