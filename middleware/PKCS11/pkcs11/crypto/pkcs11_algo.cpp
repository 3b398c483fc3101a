#include "pkcs11_algo.h"

#include "pkcs11_mechanism.h"
#include "pkcs11_object.h"

namespace {

constexpr uint32_t des_ecb = card_alg_des_ecb, des_cbc = card_alg_des_cbc;
constexpr uint32_t des2_ecb = card_alg_des2_ecb, des2_cbc = card_alg_des2_cbc;
constexpr uint32_t des3_ecb = card_alg_des3_ecb, des3_cbc = card_alg_des3_cbc;
constexpr uint32_t aes128_ecb = card_alg_aes128_ecb, aes128_cbc = card_alg_aes128_cbc;
constexpr uint32_t aes192_ecb = card_alg_aes192_ecb, aes192_cbc = card_alg_aes192_cbc;
constexpr uint32_t aes256_ecb = card_alg_aes256_ecb, aes256_cbc = card_alg_aes256_cbc;

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
    const mechanism_row* row = mechanism_find(mechanism);
    if (row == nullptr) return CKR_MECHANISM_INVALID;
    if (row->cipher.device_alg != 0) {
        algo.device_alg = row->cipher.device_alg;
        algo.block_size = row->cipher.block_size;
        algo.padding = row->cipher.padding;
        return CKR_OK;
    }
    if (row->digest != digest_kind::none) {
        algo.device_alg = digest_info(row->digest).hash_id;
        algo.digest_length = digest_info(row->digest).length;
        return CKR_OK;
    }
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
    const mechanism_row* row = mechanism_find(mechanism);
    return row != nullptr && row->cipher.device_alg != 0 && (row->flags & CKF_GENERATE) != 0;
}

uint32_t algo_key_type(uint32_t mechanism) {
    pkcs11_algo algo;
    if (algo_lookup(mechanism, algo) != CKR_OK || algo.block_size == 0) return 0;
    if (is_des(algo.device_alg)) return CKK_DES;
    if (is_des3(algo.device_alg)) return CKK_DES3;
    if (is_aes(algo.device_alg)) return CKK_AES;
    return 0;
}
