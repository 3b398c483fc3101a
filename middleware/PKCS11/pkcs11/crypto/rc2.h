// RC2 (RFC 2268) and RC4, the library's own: mbed TLS has no RC2, and its
// ARC4 is deprecated. Used by the software cipher contexts.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t rc2_block_size = 8;
inline constexpr uint32_t rc2_max_key = 128; // bytes
inline constexpr uint32_t rc2_max_effective_bits = 1024;

struct rc2_schedule {
    uint32_t k[64] = {}; // 16-bit subkeys, one per word
};

// RFC 2268 key expansion of `length` key bytes (cut to 128; at least 1) with
// `effective_bits` effective key bits (below 1 or above 1024: 1024).
void rc2_key_expand(rc2_schedule& s, size_t length, const uint8_t* key, uint32_t effective_bits);
// One 8-byte block; in and out may be the same.
void rc2_encrypt_block(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8]);
void rc2_decrypt_block(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8]);
void rc2_ecb_encrypt(const rc2_schedule& s, const uint8_t in[8], uint8_t out[8], bool encrypt);
// CBC over whole blocks (a partial last block is zero-filled before
// encryption); `chain` (8 bytes) is updated in place.
void rc2_cbc_encrypt(const uint8_t* in, uint8_t* out, size_t length, const rc2_schedule& s,
                     uint8_t chain[8], bool encrypt);

struct rc4_state {
    uint32_t i = 0;
    uint32_t j = 0;
    uint32_t s[256] = {};
};

// RC4 key scheduling over `length` key bytes (at least 1).
void rc4_set_key(rc4_state& st, size_t length, const uint8_t* key);
// XORs the key stream into `length` bytes; the indices carry over.
void rc4_crypt(rc4_state& st, size_t length, const uint8_t* in, uint8_t* out);
