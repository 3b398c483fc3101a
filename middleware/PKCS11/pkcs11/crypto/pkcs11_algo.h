// The card's view of a mechanism: the device algorithm identifier, key
// length, block size, digest length and padding flag of the device API's
// cipher and digest functions.
#pragma once

#include <cstdint>

#include "pkcs11.h"

class pkcs11_object;

struct pkcs11_algo {
    virtual ~pkcs11_algo() = default;

    uint32_t device_alg = 0;
    uint32_t key_length = 0; // bytes
    uint32_t block_size = 0;
    uint32_t digest_length = 0;
    uint32_t padding = 0; // 1: the card adds and removes PKCS#5 block padding
};

// Fills the record from the mechanism table; CKR_MECHANISM_INVALID (the
// record left zero) for a mechanism that is not run on the card.
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
