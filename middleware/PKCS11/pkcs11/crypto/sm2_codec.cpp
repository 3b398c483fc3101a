#include "sm2_codec.h"

#include <cstring>

#include "sm3.h"

namespace {

// GM/T 0003 recommended curve: a, b and the base point, big-endian.
constexpr uint8_t curve_params[128] = {
    // a
    0xFF,
    0xFF,
    0xFF,
    0xFE,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0x00,
    0x00,
    0x00,
    0x00,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFF,
    0xFC,
    // b
    0x28,
    0xE9,
    0xFA,
    0x9E,
    0x9D,
    0x9F,
    0x5E,
    0x34,
    0x4D,
    0x5A,
    0x9E,
    0x4B,
    0xCF,
    0x65,
    0x09,
    0xA7,
    0xF3,
    0x97,
    0x89,
    0xF5,
    0x15,
    0xAB,
    0x8F,
    0x92,
    0xDD,
    0xBC,
    0xBD,
    0x41,
    0x4D,
    0x94,
    0x0E,
    0x93,
    // xG
    0x32,
    0xC4,
    0xAE,
    0x2C,
    0x1F,
    0x19,
    0x81,
    0x19,
    0x5F,
    0x99,
    0x04,
    0x46,
    0x6A,
    0x39,
    0xC9,
    0x94,
    0x8F,
    0xE3,
    0x0B,
    0xBF,
    0xF2,
    0x66,
    0x0B,
    0xE1,
    0x71,
    0x5A,
    0x45,
    0x89,
    0x33,
    0x4C,
    0x74,
    0xC7,
    // yG
    0xBC,
    0x37,
    0x36,
    0xA2,
    0xF4,
    0xF6,
    0x77,
    0x9C,
    0x59,
    0xBD,
    0xCE,
    0xE3,
    0x6B,
    0x69,
    0x21,
    0x53,
    0xD0,
    0xA9,
    0x87,
    0x7C,
    0xC6,
    0x2A,
    0x47,
    0x40,
    0x02,
    0xDF,
    0x32,
    0xE5,
    0x21,
    0x39,
    0xF0,
    0xA0,
};

constexpr uint32_t blob_fixed = ECCCIPHERBLOB_FIXED_SIZE; // X 64, Y 64, HASH 32, CipherLen 4
constexpr uint32_t offset_x = offsetof(ECCCIPHERBLOB, XCoordinate);
constexpr uint32_t offset_y = offsetof(ECCCIPHERBLOB, YCoordinate);
constexpr uint32_t offset_hash = offsetof(ECCCIPHERBLOB, HASH);
constexpr uint32_t offset_len = offsetof(ECCCIPHERBLOB, CipherLen);
static_assert(offset_x == 0 && offset_y == 64 && offset_hash == 128 && offset_len == 160);

// Bytes of a DER length field (short form, 0x81 nn or 0x82 nn nn).
constexpr uint32_t length_field_size(uint32_t n) {
    return n < 0x80 ? 1 : n < 0x100 ? 2 : 3;
}

uint8_t* put_length(uint8_t* p, uint32_t n) {
    if (n >= 0x100) {
        *p++ = 0x82;
        *p++ = static_cast<uint8_t>(n >> 8);
    } else if (n >= 0x80) {
        *p++ = 0x81;
    }
    *p++ = static_cast<uint8_t>(n);
    return p;
}

// Content length of the SEQUENCE for a cipher text of n bytes.
constexpr uint64_t content_length(uint64_t n) {
    return 35 + 35 + 34 + 1 + length_field_size(static_cast<uint32_t>(n)) + n;
}

// A bounds-checked reader over the DER input.
struct cursor {
    const uint8_t* p;
    size_t left;

    bool byte(uint8_t& b) {
        if (left == 0) return false;
        b = *p++;
        --left;
        return true;
    }
    // A definite length in short form or in one or two bytes.
    bool length(uint32_t& n) {
        uint8_t b = 0;
        if (!byte(b)) return false;
        if (b < 0x80) {
            n = b;
            return true;
        }
        if (b == 0x81) {
            if (!byte(b)) return false;
            n = b;
            return true;
        }
        if (b == 0x82) {
            uint8_t hi = 0, lo = 0;
            if (!byte(hi) || !byte(lo)) return false;
            n = uint32_t{hi} << 8 | lo;
            return true;
        }
        return false;
    }
    bool element(uint8_t tag, const uint8_t*& value, uint32_t& n) {
        uint8_t t = 0;
        if (!byte(t) || t != tag || !length(n) || n > left) return false;
        value = p;
        p += n;
        left -= n;
        return true;
    }
};

// An unsigned INTEGER of at most 32 bytes, right-aligned so that it ends at
// the end of the 64-byte field.
bool read_coordinate(cursor& c, uint8_t* field) {
    const uint8_t* v = nullptr;
    uint32_t n = 0;
    if (!c.element(0x02, v, n) || n == 0) return false;
    if (v[0] & 0x80) return false; // negative
    if (n > 32) {
        if (n != 33 || v[0] != 0) return false;
        ++v;
        --n;
    }
    std::memcpy(field + 64 - n, v, n);
    return true;
}

} // namespace

void sm2_compute_z_xy(const uint8_t xy[64], uint8_t z[sm2_z_size]) {
    sm3_state s;
    sm3_init(s);
    const uint8_t entl[2] = {0x00, 0x80}; // 128 bits of identity
    sm3_update(s, entl, sizeof entl);
    sm3_update(s, sm2_default_id, sizeof sm2_default_id);
    sm3_update(s, curve_params, sizeof curve_params);
    sm3_update(s, xy, 64);
    sm3_final(s, z);
}

void sm2_compute_z(const ECCPUBLICKEYBLOB& key, uint8_t z[sm2_z_size]) {
    uint8_t xy[64];
    std::memcpy(xy, key.XCoordinate + 32, 32);
    std::memcpy(xy + 32, key.YCoordinate + 32, 32);
    sm2_compute_z_xy(xy, z);
}

bool sm2_point_xy(std::span<const uint8_t> point, const uint8_t*& xy) {
    if (point.size() < 64 || point.size() > 256) return false;
    xy = point.data() + point.size() - 64;
    return true;
}

bool sm2_point_marked(std::span<const uint8_t> point) {
    return point.size() > 64 && point[0] == 0x04;
}

std::array<uint8_t, 67> sm2_point_attribute(const uint8_t x[32], const uint8_t y[32]) {
    std::array<uint8_t, 67> point{0x04, 0x41, 0x04};
    std::memcpy(point.data() + 3, x, 32);
    std::memcpy(point.data() + 35, y, 32);
    return point;
}

uint32_t sm2_cipher_der_length(uint32_t cipher_len) {
    const uint64_t content = content_length(cipher_len);
    return static_cast<uint32_t>(1 + length_field_size(static_cast<uint32_t>(content)) + content);
}

int sm2_cipher_der_encode(std::span<const uint8_t> blob, uint8_t* out, uint32_t* out_len) {
    if (out_len == nullptr || blob.size() < blob_fixed) return 1;
    uint32_t cipher_len = 0;
    std::memcpy(&cipher_len, blob.data() + offset_len, 4);
    // Lengths up to 0xFFFF are written; the card encrypts at most 1024 bytes.
    if (cipher_len > blob.size() - blob_fixed || content_length(cipher_len) > 0xFFFF) return 1;
    const uint32_t total = sm2_cipher_der_length(cipher_len);
    if (out == nullptr) {
        *out_len = total;
        return 0;
    }
    if (*out_len < total) {
        *out_len = total;
        return 1;
    }
    uint8_t* p = out;
    *p++ = 0x30;
    p = put_length(p, static_cast<uint32_t>(content_length(cipher_len)));
    for (uint32_t field : {offset_x, offset_y}) {
        *p++ = 0x02;
        *p++ = 0x21;
        *p++ = 0x00;
        std::memcpy(p, blob.data() + field + 32, 32);
        p += 32;
    }
    *p++ = 0x04;
    *p++ = 0x20;
    std::memcpy(p, blob.data() + offset_hash, 32);
    p += 32;
    *p++ = 0x04;
    p = put_length(p, cipher_len);
    if (cipher_len != 0) std::memcpy(p, blob.data() + blob_fixed, cipher_len);
    p += cipher_len;
    *out_len = static_cast<uint32_t>(p - out);
    return 0;
}

int sm2_cipher_der_decode(std::span<const uint8_t> in, std::span<uint8_t> blob,
                          uint32_t& blob_size) {
    blob_size = 0;
    if (blob.size() < blob_fixed) return 1;
    cursor outer{in.data(), in.size()};
    const uint8_t* content = nullptr;
    uint32_t content_len = 0;
    if (!outer.element(0x30, content, content_len) || outer.left != 0) return 1;
    std::memset(blob.data(), 0, blob.size());
    cursor c{content, content_len};
    if (!read_coordinate(c, blob.data() + offset_x) || !read_coordinate(c, blob.data() + offset_y))
        return 1;
    const uint8_t* hash = nullptr;
    uint32_t hash_len = 0;
    if (!c.element(0x04, hash, hash_len) || hash_len != 32) return 1;
    std::memcpy(blob.data() + offset_hash, hash, 32);
    const uint8_t* cipher = nullptr;
    uint32_t cipher_len = 0;
    if (!c.element(0x04, cipher, cipher_len) || c.left != 0) return 1;
    if (cipher_len > blob.size() - blob_fixed) return 1;
    std::memcpy(blob.data() + offset_len, &cipher_len, 4);
    if (cipher_len != 0) std::memcpy(blob.data() + blob_fixed, cipher, cipher_len);
    blob_size = blob_fixed + cipher_len;
    return 0;
}
