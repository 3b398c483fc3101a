// The card's view of a mechanism: the device algorithm identifier, key
// length, block size, digest length and padding flag of the device API's
// cipher and digest functions, read from the mechanism table's row.
#pragma once

#include <cstdint>

#include "pkcs11.h"

class pkcs11_object;

// Cipher identifiers of the device API (the GM/T 0016 style ECB and CBC
// identifiers of the card's algorithms).
inline constexpr uint32_t card_alg_des_ecb = 0x80000211, card_alg_des_cbc = 0x80000212;
inline constexpr uint32_t card_alg_des2_ecb = 0x80000221, card_alg_des2_cbc = 0x80000222;
inline constexpr uint32_t card_alg_des3_ecb = 0x80000241, card_alg_des3_cbc = 0x80000242;
inline constexpr uint32_t card_alg_aes128_ecb = 0x80000111, card_alg_aes128_cbc = 0x80000112;
inline constexpr uint32_t card_alg_aes192_ecb = 0x80000121, card_alg_aes192_cbc = 0x80000122;
inline constexpr uint32_t card_alg_aes256_ecb = 0x80000141, card_alg_aes256_cbc = 0x80000142;
inline constexpr uint32_t card_alg_sm1_ecb = 0x101, card_alg_sm1_cbc = 0x102;
inline constexpr uint32_t card_alg_sm4_ecb = 0x401, card_alg_sm4_cbc = 0x402;

struct pkcs11_algo {
    virtual ~pkcs11_algo() = default;

    uint32_t device_alg = 0;
    uint32_t key_length = 0; // bytes
    uint32_t block_size = 0;
    uint32_t digest_length = 0;
    uint32_t padding = 0; // 1: the card adds and removes PKCS#5 block padding
};

// Fills the record from the mechanism table: a card cipher's algorithm, block
// size and padding, or a digest's hash identifier and length.
// CKR_MECHANISM_INVALID (the record left zero) for a mechanism that is neither.
CK_RV algo_lookup(uint32_t mechanism, pkcs11_algo& algo);

// algo_lookup, then the key length: the key object's CKA_VALUE_LEN (at most 4
// bytes) when present, else the length the mechanism's keys have (DES 8,
// triple DES 24, AES, SM1 and SM4 16).
void algo_fill(uint32_t mechanism, const pkcs11_object* key, pkcs11_algo& algo);

// The device algorithm for a key value of `length` bytes. The table names the
// 128-bit AES and three-key DES identifiers; the key decides: AES-192/256 and
// two-key (K1 K2 K1) triple DES have identifiers of their own, so a longer or
// shorter key is never run under another algorithm. Any other length:
// CKR_KEY_SIZE_RANGE.
CK_RV algo_device_alg_for_key(const pkcs11_algo& algo, uint32_t length, uint32_t& device_alg);

// Whether the mechanism is a key generation mechanism of the card ciphers.
bool algo_is_key_gen(uint32_t mechanism);
// The CKK_ key type of the mechanism's keys, 0 for the vendor ciphers.
uint32_t algo_key_type(uint32_t mechanism);
