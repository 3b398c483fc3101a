// SM3 hash (GB/T 32905-2016): 256-bit digest over 64-byte blocks, used by the
// ZELT_CKM_SM3 digest, by the SM3-with-SM2 signature (e = SM3(Z || M)) and for
// the signer's Z value (GM/T 0009).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t sm3_digest_size = 32;
inline constexpr uint32_t sm3_block_size = 64;

struct sm3_state {
    uint32_t total_low = 0; // input length in bytes, low and high 32-bit halves
    uint32_t total_high = 0;
    uint32_t v[8] = {}; // chaining value
    uint8_t block[sm3_block_size] = {};
};

// Loads the initial value and a zero length.
void sm3_init(sm3_state& s);
// Feeds `length` bytes; a length of 0 does nothing.
void sm3_update(sm3_state& s, const uint8_t* data, size_t length);
// Pads, writes the 32-byte digest. The state must be initialised again before reuse.
void sm3_final(sm3_state& s, uint8_t out[sm3_digest_size]);
// The compression function on `blocks` consecutive 64-byte blocks.
void sm3_compress(uint32_t v[8], const uint8_t* data, size_t blocks);
// One-shot digest.
void sm3(const uint8_t* data, size_t length, uint8_t out[sm3_digest_size]);
