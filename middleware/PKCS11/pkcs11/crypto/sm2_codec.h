// SM2 helpers that need no card: the signer's Z value (GM/T 0009 with the
// default user identity) and the conversion of SM2 cipher texts between the
// DER form applications see (GM/T 0009: SEQUENCE { INTEGER x, INTEGER y,
// OCTET STRING hash, OCTET STRING cipher }) and the GM/T 0016 ECCCIPHERBLOB.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "gm_types.h"

inline constexpr uint32_t sm2_z_size = 32;
// The default user identity of GM/T 0009 ("1234567812345678", 128 bits).
inline constexpr uint8_t sm2_default_id[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                               '1', '2', '3', '4', '5', '6', '7', '8'};

// Z = SM3(ENTL || ID || a || b || xG || yG || x || y) with the default
// identity and the recommended curve of GM/T 0003; x and y are the last 32
// bytes of the blob's 64-byte coordinate fields.
void sm2_compute_z(const ECCPUBLICKEYBLOB& key, uint8_t z[sm2_z_size]);
// The same from the 64 bytes x || y.
void sm2_compute_z_xy(const uint8_t xy[64], uint8_t z[sm2_z_size]);

// The 64 bytes x || y of an EC point attribute: its last 64 bytes, whatever
// precedes them (nothing, the uncompressed point's 04, or the 04 41 04 of the
// OCTET STRING that CKA_EC_POINT carries). Shorter than 64 bytes or longer
// than 256: false.
bool sm2_point_xy(std::span<const uint8_t> point, const uint8_t*& xy);
// Whether the attribute begins with 04 and holds more than x || y: the
// uncompressed point, alone or in its OCTET STRING.
bool sm2_point_marked(std::span<const uint8_t> point);

// The CKA_EC_POINT value of a key with coordinates x and y (32 bytes each):
// the uncompressed point 04 || x || y inside its 04 41 OCTET STRING wrapping.
std::array<uint8_t, 67> sm2_point_attribute(const uint8_t x[32], const uint8_t y[32]);

// DER length of the encoding of a cipher text of `cipher_len` bytes.
uint32_t sm2_cipher_der_length(uint32_t cipher_len);

// Encodes the blob (`blob` holds the whole record: 164 bytes and CipherLen
// cipher bytes) as DER. INTEGERs are always written as 02 21 00 and 32 bytes.
// A null output reports the total length and succeeds; a capacity below the
// total reports the total and fails. 0 or 1 (also for a CipherLen beyond the
// record).
int sm2_cipher_der_encode(std::span<const uint8_t> blob, uint8_t* out, uint32_t* out_len);

// Decodes DER into a blob record written to `blob` (cleared first), and its
// size (164 + CipherLen). Every element is checked: the tags, x and y at most
// 32 bytes after one optional leading zero (shorter, minimal INTEGERs are
// right-aligned), a 32-byte hash, a cipher that takes exactly the rest of the
// input and fits the record, and an outer length equal to the input's. 0 or 1.
int sm2_cipher_der_decode(std::span<const uint8_t> in, std::span<uint8_t> blob,
                          uint32_t& blob_size);
