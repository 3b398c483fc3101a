#include "pkcs11_algo.h"

#include <span>

#include "pkcs11_object.h"

namespace {

struct algo_row {
    uint32_t mechanism;
    uint32_t device_alg;
    uint32_t block;
    uint32_t digest;
    uint32_t padding;
};

constexpr uint32_t des_ecb = 0x80000211, des_cbc = 0x80000212;
constexpr uint32_t des2_ecb = 0x80000221, des2_cbc = 0x80000222;
constexpr uint32_t des3_ecb = 0x80000241, des3_cbc = 0x80000242;
constexpr uint32_t aes128_ecb = 0x80000111, aes128_cbc = 0x80000112;
constexpr uint32_t aes192_ecb = 0x80000121, aes192_cbc = 0x80000122;
constexpr uint32_t aes256_ecb = 0x80000141, aes256_cbc = 0x80000142;

constexpr algo_row standard_rows[] = {
    {CKM_MD5_RSA_PKCS, 0x81, 0, 16, 0},
    {CKM_MD5, 0x81, 0, 16, 0},
    {CKM_MD5_KEY_DERIVATION, 0x81, 0, 16, 0},
    {CKM_SHA1_RSA_PKCS, 2, 0, 20, 0},
    {CKM_SHA1_RSA_X9_31, 2, 0, 20, 0},
    {CKM_SHA_1, 2, 0, 20, 0},
    {CKM_SHA1_KEY_DERIVATION, 2, 0, 20, 0},
    {CKM_SHA256_RSA_PKCS, 4, 0, 32, 0},
    {CKM_SHA256, 4, 0, 32, 0},
    {CKM_SHA256_KEY_DERIVATION, 4, 0, 32, 0},
    {CKM_SHA384_RSA_PKCS, 0x82, 0, 48, 0},
    {CKM_SHA384, 0x82, 0, 48, 0},
    {CKM_SHA384_KEY_DERIVATION, 0x82, 0, 48, 0},
    {CKM_SHA512_RSA_PKCS, 0x83, 0, 64, 0},
    {CKM_SHA512, 0x83, 0, 64, 0},
    {CKM_SHA512_KEY_DERIVATION, 0x83, 0, 64, 0},
    {CKM_DES_KEY_GEN, des_ecb, 8, 0, 0},
    {CKM_DES_ECB, des_ecb, 8, 0, 0},
    {CKM_DES_CBC, des_cbc, 8, 0, 0},
    {CKM_DES_CBC_PAD, des_cbc, 8, 0, 1},
    {CKM_DES3_KEY_GEN, des3_ecb, 8, 0, 0},
    {CKM_DES3_ECB, des3_ecb, 8, 0, 0},
    {CKM_DES3_CBC, des3_cbc, 8, 0, 0},
    {CKM_DES3_CBC_PAD, des3_cbc, 8, 0, 1},
    {CKM_AES_KEY_GEN, aes128_ecb, 16, 0, 0},
    {CKM_AES_ECB, aes128_ecb, 16, 0, 0},
    {CKM_AES_CBC, aes128_cbc, 16, 0, 0},
    {CKM_AES_CBC_PAD, aes128_cbc, 16, 0, 1},
};

constexpr algo_row vendor_rows[] = {
    {ZELT_CKM_SM1_KEY_GEN, 0x101, 16, 0, 0}, {ZELT_CKM_SM1_ECB, 0x101, 16, 0, 0},
    {ZELT_CKM_SM1_CBC, 0x102, 16, 0, 0},     {ZELT_CKM_SM1_CBC_PAD, 0x102, 16, 0, 1},
    {ZELT_CKM_SM4_KEY_GEN, 0x401, 16, 0, 0}, {ZELT_CKM_SM4_ECB, 0x401, 16, 0, 0},
    {ZELT_CKM_SM4_CBC, 0x402, 16, 0, 0},     {ZELT_CKM_SM4_CBC_PAD, 0x402, 16, 0, 1},
};

bool is_des(uint32_t alg) {
    return alg == des_ecb || alg == des_cbc;
}
bool is_des3(uint32_t alg) {
    return alg == des3_ecb || alg == des3_cbc || alg == des2_ecb || alg == des2_cbc;
}
bool is_aes(uint32_t alg) {
    return (alg & 0xFFFFFF0Fu) == 0x80000101u || (alg & 0xFFFFFF0Fu) == 0x80000102u;
}
bool is_cbc(uint32_t alg) {
    return (alg & 0xF) == 2;
}

// The length of a mechanism's keys when the key object names none.
uint32_t default_key_length(uint32_t device_alg) {
    if (is_des(device_alg)) return 8;
    // Triple DES keys are three DES keys (PKCS#11 v2.20 section 12.15).
    if (is_des3(device_alg)) return 24;
    return 16;
}

} // namespace

CK_RV algo_lookup(uint32_t mechanism, pkcs11_algo& algo) {
    if (mechanism == ZELT_CKM_SM3 || mechanism == ZELT_CKM_SM3_SM2) {
        algo.device_alg = 1;
        algo.digest_length = 32;
        return CKR_OK;
    }
    const auto search = [&](std::span<const algo_row> rows) {
        for (const algo_row& r : rows) {
            if (r.mechanism != mechanism) continue;
            algo.device_alg = r.device_alg;
            algo.block_size = r.block;
            algo.digest_length = r.digest;
            algo.padding = r.padding;
            return true;
        }
        return false;
    };
    // The standard mechanisms first, then the vendor ones.
    if (search(standard_rows) || search(vendor_rows)) return CKR_OK;
    return CKR_MECHANISM_INVALID;
}

void algo_fill(uint32_t mechanism, const pkcs11_object* key, pkcs11_algo& algo) {
    if (algo_lookup(mechanism, algo) != CKR_OK) return;
    if (algo.block_size == 0) return; // a digest
    const pkcs11_attribute* value_len =
        key != nullptr ? key->attributes().find(CKA_VALUE_LEN) : nullptr;
    if (value_len != nullptr && value_len->length() <= 4 && value_len->length() != 0)
        algo.key_length = value_len->as_u32();
    else
        algo.key_length = default_key_length(algo.device_alg);
}

CK_RV algo_device_alg_for_key(const pkcs11_algo& algo, uint32_t length, uint32_t& device_alg) {
    const bool cbc = is_cbc(algo.device_alg);
    if (is_des(algo.device_alg)) {
        if (length != 8) return CKR_KEY_SIZE_RANGE;
        device_alg = algo.device_alg;
    } else if (is_des3(algo.device_alg)) {
        if (length == 16)
            device_alg = cbc ? des2_cbc : des2_ecb;
        else if (length == 24)
            device_alg = cbc ? des3_cbc : des3_ecb;
        else
            return CKR_KEY_SIZE_RANGE;
    } else if (is_aes(algo.device_alg)) {
        switch (length) {
        case 16:
            device_alg = cbc ? aes128_cbc : aes128_ecb;
            break;
        case 24:
            device_alg = cbc ? aes192_cbc : aes192_ecb;
            break;
        case 32:
            device_alg = cbc ? aes256_cbc : aes256_ecb;
            break;
        default:
            return CKR_KEY_SIZE_RANGE;
        }
    } else {
        if (length != 16) return CKR_KEY_SIZE_RANGE; // SM1, SM4
        device_alg = algo.device_alg;
    }
    return CKR_OK;
}

bool algo_is_key_gen(uint32_t mechanism) {
    return mechanism == CKM_DES_KEY_GEN || mechanism == CKM_DES3_KEY_GEN ||
           mechanism == CKM_AES_KEY_GEN || mechanism == ZELT_CKM_SM1_KEY_GEN ||
           mechanism == ZELT_CKM_SM4_KEY_GEN;
}

uint32_t algo_key_type(uint32_t mechanism) {
    pkcs11_algo algo;
    if (algo_lookup(mechanism, algo) != CKR_OK || algo.block_size == 0) return 0;
    if (is_des(algo.device_alg)) return CKK_DES;
    if (is_des3(algo.device_alg)) return CKK_DES3;
    if (is_aes(algo.device_alg)) return CKK_AES;
    return 0;
}
