#include "pkcs11_mechanism.h"

#include "abi_boundary.h"

namespace {

// Flag combinations of the table (PKCS#11 v2.20 section 12.3).
constexpr uint32_t hw = CKF_HW;
constexpr uint32_t key_pair_gen = hw | CKF_GENERATE_KEY_PAIR;
constexpr uint32_t rsa_all =
    hw | CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY | CKF_WRAP | CKF_UNWRAP;
constexpr uint32_t crypt_sign = hw | CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY;
constexpr uint32_t sign_verify = hw | CKF_SIGN | CKF_VERIFY;
constexpr uint32_t digest = hw | CKF_DIGEST;
constexpr uint32_t key_gen = hw | CKF_GENERATE;
constexpr uint32_t cipher = hw | CKF_ENCRYPT | CKF_DECRYPT | CKF_WRAP | CKF_UNWRAP;
// RC2 and RC4 run in software: no CKF_HW.
constexpr uint32_t soft_key_gen = CKF_GENERATE;
constexpr uint32_t soft_cipher = CKF_ENCRYPT | CKF_DECRYPT;
constexpr uint32_t derive = CKF_DERIVE;

} // namespace

const std::array<mechanism_row, mechanism_count> mechanism_table = {{
    {CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, key_pair_gen},
    {CKM_RSA_PKCS, 1024, 2048, rsa_all},
    {CKM_RSA_X_509, 1024, 2048, crypt_sign},
    {CKM_SHA1_RSA_PKCS, 1024, 2048, sign_verify},
    {CKM_RSA_X9_31_KEY_PAIR_GEN, 1024, 2048, key_pair_gen},
    {CKM_RSA_X9_31, 1024, 2048, sign_verify},
    {CKM_SHA1_RSA_X9_31, 1024, 2048, sign_verify},
    {CKM_SHA256_RSA_PKCS, 1024, 2048, sign_verify},
    {CKM_SHA384_RSA_PKCS, 1024, 2048, sign_verify},
    {CKM_SHA512_RSA_PKCS, 1024, 2048, sign_verify},
    {CKM_MD5_RSA_PKCS, 1024, 2048, sign_verify},
    {CKM_MD5, 128, 128, digest},
    {CKM_SHA_1, 160, 160, digest},
    {CKM_SHA256, 256, 256, digest},
    {CKM_SHA512, 512, 512, digest},
    {CKM_DES_KEY_GEN, 64, 64, key_gen},
    {CKM_DES_ECB, 64, 64, cipher},
    {CKM_DES_CBC, 64, 64, cipher},
    {CKM_DES_CBC_PAD, 64, 64, cipher},
    {CKM_DES3_KEY_GEN, 192, 192, key_gen},
    {CKM_DES3_ECB, 192, 192, cipher},
    {CKM_DES3_CBC, 192, 192, cipher},
    {CKM_DES3_CBC_PAD, 192, 192, cipher},
    {CKM_AES_KEY_GEN, 16, 32, key_gen},
    {CKM_AES_ECB, 16, 32, cipher},
    {CKM_AES_CBC, 16, 32, cipher},
    {CKM_AES_CBC_PAD, 16, 32, cipher},
    {CKM_RC2_KEY_GEN, 8, 1024, soft_key_gen},
    {CKM_RC2_ECB, 1, 1024, soft_cipher},
    {CKM_RC2_CBC, 1, 1024, soft_cipher},
    {CKM_RC4_KEY_GEN, 8, 2048, soft_key_gen},
    {CKM_RC4, 8, 2048, soft_cipher},
    {CKM_MD5_KEY_DERIVATION, 128, 128, derive},
    {CKM_SHA1_KEY_DERIVATION, 160, 160, derive},
    {CKM_SHA256_KEY_DERIVATION, 256, 256, derive},
    {CKM_SHA512_KEY_DERIVATION, 512, 512, derive},
    {ZELT_CKM_SM2, 256, 256, crypt_sign},
    {ZELT_CKM_SM3_SM2, 256, 256, sign_verify},
    {ZELT_CKM_SM1_KEY_GEN, 16, 16, key_gen},
    {ZELT_CKM_SM1_ECB, 16, 16, cipher},
    {ZELT_CKM_SM1_CBC, 16, 16, cipher},
    {ZELT_CKM_SM1_CBC_PAD, 16, 16, cipher},
    {ZELT_CKM_SM3, 256, 256, digest},
    {ZELT_CKM_SM4_KEY_GEN, 16, 16, key_gen},
    {ZELT_CKM_SM4_ECB, 16, 16, cipher},
    {ZELT_CKM_SM4_CBC, 16, 16, cipher},
    {ZELT_CKM_SM4_CBC_PAD, 16, 16, cipher},
}};

void pkcs11_mechanism_mgr::load_mechanisms() {
    entries_.reserve(entries_.size() + mechanism_table.size());
    for (const mechanism_row& row : mechanism_table)
        entries_.push_back(std::make_unique<pkcs11_mechanism>(row));
}

CK_RV pkcs11_mechanism_mgr::mechanism_list(CK_MECHANISM_TYPE* list, uint32_t* count) const {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    const auto n = static_cast<uint32_t>(entries_.size());
    if (list == nullptr) {
        *count = n;
        return CKR_OK;
    }
    const uint32_t given = *count;
    *count = n;
    if (given < n) return CKR_BUFFER_TOO_SMALL;
    for (uint32_t i = 0; i < n; ++i)
        list[i] = entries_[i]->type();
    return CKR_OK;
}

const pkcs11_mechanism* pkcs11_mechanism_mgr::find(CK_MECHANISM_TYPE type) const {
    const auto inner = p11abi::narrow_id(type);
    if (!inner) return nullptr;
    for (const auto& m : entries_)
        if (m->type() == *inner) return m.get();
    return nullptr;
}

CK_RV pkcs11_mechanism_mgr::mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) const {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    const pkcs11_mechanism* m = find(type);
    if (m == nullptr) return CKR_MECHANISM_INVALID;
    info->ulMinKeySize = m->min_key_size();
    info->ulMaxKeySize = m->max_key_size();
    info->flags = m->flags();
    return CKR_OK;
}
