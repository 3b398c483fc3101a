// Helpers shared by the card's computing families (keys, session keys,
// cipher, digest, MAC, fingerprint). OpenSSL 3 underneath.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <openssl/evp.h>

#include "dispatch.h"

namespace cardsim {

namespace sw {
inline constexpr uint16_t key_not_found = 0x6A8C;
inline constexpr uint16_t signature_invalid = 0x6A98;
inline constexpr uint16_t bad_padding = 0x6984;
} // namespace sw

// The standard SM2 signer identity (GM/T 0009).
inline constexpr char sm2_default_id[] = "1234567812345678";

// The digest of a hash identifier as the host sends it (1 SM3, 2 SHA-1,
// 3 and 4 SHA-256, 0x81 MD5, 0x82 SHA-384, 0x83 SHA-512); null otherwise.
const EVP_MD* md_of_hash_id(uint32_t id);

// Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y) of an SM2 public key
// given as 32-byte X and Y. nullopt when the identity is too long (ENTL is
// 16 bits) or OpenSSL fails.
std::optional<std::vector<uint8_t>>
sm2_z(std::span<const uint8_t> id, std::span<const uint8_t, 32> x, std::span<const uint8_t, 32> y);

// One-shot digest; empty on failure.
std::vector<uint8_t> digest_of(const EVP_MD* md, std::span<const uint8_t> data);

} // namespace cardsim
