// RSA rules computed without the card: PKCS#1 v1.5 type 2 padding for
// encryption, the ANSI X9.31 signature block, and an unwrapped DER private
// key made object attributes.
#include "pkcs11_rsa.h"

#include <mbedtls/platform_util.h>

#include <cstring>
#include <random>

#include "key_parser.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa_internal.h"

// The X9.31 trailer's hash identifier byte for a card hash identifier (the
// mechanism table's digest rows); none for rsa_hash_none.
uint32_t x931_trailer(uint32_t hash_id, bool& present) {
    const digest_row* d = digest_by_hash_id(hash_id);
    present = d == nullptr || d->kind != digest_kind::none;
    return d != nullptr ? d->x931_trailer : 0xFF;
}

// ---- rules without a card ----

CK_RV rsa_modulus_bits(const pkcs11_object& key, uint32_t& bits) {
    return key.object_rsa_bits(bits);
}

CK_RV pkcs1_type2_pad(uint8_t* block, uint32_t k, const uint8_t* data, uint32_t n) {
    if (uint64_t{k} < uint64_t{n} + 11) return CKR_DATA_LEN_RANGE;
    // Non-zero random padding bytes from the system's random source.
    std::random_device source;
    block[0] = 0x00;
    block[1] = 0x02;
    const uint32_t pad = k - n - 3;
    for (uint32_t i = 0; i < pad;) {
        const uint32_t word = source();
        for (int b = 0; b < 4 && i < pad; ++b) {
            const uint8_t byte = static_cast<uint8_t>(word >> (8 * b));
            if (byte != 0) block[2 + i++] = byte;
        }
    }
    block[2 + pad] = 0x00;
    if (n != 0) std::memmove(block + 3 + pad, data, n);
    return CKR_OK;
}

CK_RV x931_format(uint8_t* block, uint32_t k, const uint8_t* input, uint32_t m, uint32_t hash_id) {
    bool present = false;
    const uint8_t trailer = static_cast<uint8_t>(x931_trailer(hash_id, present));
    const uint64_t total = uint64_t{m} + (present ? 1 : 0);
    if (total + 2 > k) return CKR_DATA_INVALID;
    const uint32_t r = static_cast<uint32_t>(k - total - 2);
    uint32_t pos = 0;
    if (r == 0) {
        block[pos++] = 0x6A;
    } else {
        block[pos++] = 0x6B;
        std::memset(block + pos, 0xBB, r - 1);
        pos += r - 1;
        block[pos++] = 0xBA;
    }
    if (m != 0) std::memmove(block + pos, input, m);
    pos += m;
    if (present) block[pos++] = trailer;
    block[pos++] = 0xCC;
    return CKR_OK;
}

CK_RV x931_check(const uint8_t* block, uint32_t k, uint32_t& payload_offset,
                 uint32_t& payload_length) {
    if (k < 3) return CKR_DATA_INVALID;
    if (block[0] == 0x6A) {
        payload_offset = 1;
        payload_length = k - 2;
    } else if (block[0] == 0x6B) {
        uint32_t count = 0;
        uint32_t i = 1;
        bool ended = false;
        for (; i < 1 + (k - 3); ++i) {
            if (block[i] == 0xBB) {
                ++count;
            } else if (block[i] == 0xBA) {
                ended = true;
                break;
            } else {
                return CKR_DATA_INVALID;
            }
        }
        if (!ended || count == 0) return CKR_DATA_INVALID;
        payload_offset = i + 1;
        payload_length = k - 3 - count;
    } else {
        return CKR_DATA_INVALID;
    }
    if (payload_offset + payload_length >= k || block[payload_offset + payload_length] != 0xCC)
        return CKR_DATA_INVALID;
    return CKR_OK;
}

CK_RV rsa_private_key_from_der(const uint8_t* der, size_t length, pkcs11_object& key) {
    RSAPRIVATEKEYBLOB blob{};
    if (rsa_der_to_components(der, length, &blob) != 0) return CKR_DATA_INVALID;
    const uint32_t k = blob.BitLen / 8;
    const uint32_t half = k / 2;
    // The numbers are right-aligned in their fields.
    const auto tail = [](const uint8_t* field, size_t size, uint32_t n) {
        return field + size - n;
    };
    key.object_set_attribute(CKA_MODULUS, tail(blob.Modulus, sizeof blob.Modulus, k), k);
    key.object_set_attribute(CKA_PRIME_1, tail(blob.Prime1, sizeof blob.Prime1, half), half);
    key.object_set_attribute(CKA_PRIME_2, tail(blob.Prime2, sizeof blob.Prime2, half), half);
    key.object_set_attribute(CKA_EXPONENT_1,
                             tail(blob.Prime1Exponent, sizeof blob.Prime1Exponent, half), half);
    key.object_set_attribute(CKA_EXPONENT_2,
                             tail(blob.Prime2Exponent, sizeof blob.Prime2Exponent, half), half);
    key.object_set_attribute(CKA_COEFFICIENT, tail(blob.Coefficient, sizeof blob.Coefficient, half),
                             half);
    key.object_set_attribute(CKA_PUBLIC_EXPONENT, blob.PublicExponent, sizeof blob.PublicExponent);
    key.object_set_attribute(CKA_PRIVATE_EXPONENT,
                             tail(blob.PrivateExponent, sizeof blob.PrivateExponent, k), k);
    mbedtls_platform_zeroize(&blob, sizeof blob);
    return CKR_OK;
}
