#include "pkcs11_mechanism.h"

#include "abi_boundary.h"
#include "pkcs11_algo.h"

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

using kind = key_ctx_kind;
using pre = key_ctx_precondition;
using dk = digest_kind;

constexpr mechanism_row row(uint32_t type, uint32_t min, uint32_t max, uint32_t flags,
                            key_ctx_route route, digest_kind d = dk::none,
                            card_cipher c = {0, 0, 0}) {
    return {type, min, max, flags, route, d, c};
}

// Card ciphers: device algorithm, block size, PKCS#5 padding on the card.
constexpr card_cipher des_ecb{card_alg_des_ecb, 8, 0};
constexpr card_cipher des_cbc{card_alg_des_cbc, 8, 0};
constexpr card_cipher des_cbc_pad{card_alg_des_cbc, 8, 1};
constexpr card_cipher des3_ecb{card_alg_des3_ecb, 8, 0};
constexpr card_cipher des3_cbc{card_alg_des3_cbc, 8, 0};
constexpr card_cipher des3_cbc_pad{card_alg_des3_cbc, 8, 1};
constexpr card_cipher aes_ecb{card_alg_aes128_ecb, 16, 0};
constexpr card_cipher aes_cbc{card_alg_aes128_cbc, 16, 0};
constexpr card_cipher aes_cbc_pad{card_alg_aes128_cbc, 16, 1};
constexpr card_cipher sm1_ecb{card_alg_sm1_ecb, 16, 0};
constexpr card_cipher sm1_cbc{card_alg_sm1_cbc, 16, 0};
constexpr card_cipher sm1_cbc_pad{card_alg_sm1_cbc, 16, 1};
constexpr card_cipher sm4_ecb{card_alg_sm4_ecb, 16, 0};
constexpr card_cipher sm4_cbc{card_alg_sm4_cbc, 16, 0};
constexpr card_cipher sm4_cbc_pad{card_alg_sm4_cbc, 16, 1};

constexpr key_ctx_route token_key(kind k) {
    return {k, pre::token_key};
}
constexpr key_ctx_route not_token_key(kind k) {
    return {k, pre::not_token_key};
}
constexpr key_ctx_route any_key(kind k) {
    return {k, pre::none};
}

} // namespace

// In the order C_GetMechanismList reports them. A key generation row names
// the cipher of the keys it makes (their type and length).
const std::array<mechanism_row, mechanism_count> mechanism_table = {{
    row(CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, key_pair_gen, token_key(kind::rsa_pkcs)),
    row(CKM_RSA_PKCS, 1024, 2048, rsa_all, token_key(kind::rsa_pkcs)),
    row(CKM_RSA_X_509, 1024, 2048, crypt_sign, any_key(kind::rsa_raw)),
    row(CKM_SHA1_RSA_PKCS, 1024, 2048, sign_verify, token_key(kind::shax_rsa_pkcs), dk::sha1),
    row(CKM_RSA_X9_31_KEY_PAIR_GEN, 1024, 2048, key_pair_gen, token_key(kind::rsa_x931)),
    row(CKM_RSA_X9_31, 1024, 2048, sign_verify, token_key(kind::rsa_x931)),
    row(CKM_SHA1_RSA_X9_31, 1024, 2048, sign_verify, any_key(kind::rsa_sha_x931), dk::sha1),
    row(CKM_SHA256_RSA_PKCS, 1024, 2048, sign_verify, token_key(kind::shax_rsa_pkcs), dk::sha256),
    row(CKM_SHA384_RSA_PKCS, 1024, 2048, sign_verify, token_key(kind::shax_rsa_pkcs), dk::sha384),
    row(CKM_SHA512_RSA_PKCS, 1024, 2048, sign_verify, token_key(kind::shax_rsa_pkcs), dk::sha512),
    row(CKM_MD5_RSA_PKCS, 1024, 2048, sign_verify, token_key(kind::md5_rsa_pkcs), dk::md5),
    row(CKM_MD5, 128, 128, digest, any_key(kind::device_hash), dk::md5),
    row(CKM_SHA_1, 160, 160, digest, any_key(kind::device_hash), dk::sha1),
    row(CKM_SHA256, 256, 256, digest, any_key(kind::device_hash), dk::sha256),
    // SHA-384 digests on the card like its neighbours, so it is listed with them.
    row(CKM_SHA384, 384, 384, digest, any_key(kind::device_hash), dk::sha384),
    row(CKM_SHA512, 512, 512, digest, any_key(kind::device_hash), dk::sha512),
    row(CKM_DES_KEY_GEN, 64, 64, key_gen, any_key(kind::device_symmetric), dk::none, des_ecb),
    row(CKM_DES_ECB, 64, 64, cipher, any_key(kind::device_symmetric), dk::none, des_ecb),
    row(CKM_DES_CBC, 64, 64, cipher, any_key(kind::device_symmetric), dk::none, des_cbc),
    row(CKM_DES_CBC_PAD, 64, 64, cipher, any_key(kind::device_symmetric), dk::none, des_cbc_pad),
    row(CKM_DES3_KEY_GEN, 192, 192, key_gen, any_key(kind::device_symmetric), dk::none, des3_ecb),
    row(CKM_DES3_ECB, 192, 192, cipher, any_key(kind::soft_des3), dk::none, des3_ecb),
    row(CKM_DES3_CBC, 192, 192, cipher, any_key(kind::soft_des3), dk::none, des3_cbc),
    row(CKM_DES3_CBC_PAD, 192, 192, cipher, any_key(kind::device_symmetric), dk::none,
        des3_cbc_pad),
    row(CKM_AES_KEY_GEN, 16, 32, key_gen, any_key(kind::device_symmetric), dk::none, aes_ecb),
    row(CKM_AES_ECB, 16, 32, cipher, any_key(kind::device_symmetric), dk::none, aes_ecb),
    row(CKM_AES_CBC, 16, 32, cipher, any_key(kind::device_symmetric), dk::none, aes_cbc),
    row(CKM_AES_CBC_PAD, 16, 32, cipher, any_key(kind::device_symmetric), dk::none, aes_cbc_pad),
    row(CKM_RC2_KEY_GEN, 8, 1024, soft_key_gen, not_token_key(kind::soft_rc2)),
    row(CKM_RC2_ECB, 1, 1024, soft_cipher, not_token_key(kind::soft_rc2)),
    row(CKM_RC2_CBC, 1, 1024, soft_cipher, not_token_key(kind::soft_rc2)),
    row(CKM_RC4_KEY_GEN, 8, 2048, soft_key_gen, not_token_key(kind::soft_rc4)),
    row(CKM_RC4, 8, 2048, soft_cipher, not_token_key(kind::soft_rc4)),
    row(CKM_MD5_KEY_DERIVATION, 128, 128, derive, any_key(kind::device_hash), dk::md5),
    row(CKM_SHA1_KEY_DERIVATION, 160, 160, derive, any_key(kind::device_hash), dk::sha1),
    row(CKM_SHA256_KEY_DERIVATION, 256, 256, derive, any_key(kind::device_hash), dk::sha256),
    row(CKM_SHA512_KEY_DERIVATION, 512, 512, derive, any_key(kind::device_hash), dk::sha512),
    // SM2 key pairs are generated with ZELT_CKM_SM2 (no other mechanism
    // makes them), and the calls take a mechanism only for what its row flags.
    row(ZELT_CKM_SM2, 256, 256, crypt_sign | CKF_GENERATE_KEY_PAIR, any_key(kind::sm2)),
    row(ZELT_CKM_SM3_SM2, 256, 256, sign_verify, any_key(kind::sm3_sm2), dk::sm3),
    row(ZELT_CKM_SM1_KEY_GEN, 16, 16, key_gen, any_key(kind::device_symmetric), dk::none, sm1_ecb),
    row(ZELT_CKM_SM1_ECB, 16, 16, cipher, any_key(kind::device_symmetric), dk::none, sm1_ecb),
    row(ZELT_CKM_SM1_CBC, 16, 16, cipher, any_key(kind::device_symmetric), dk::none, sm1_cbc),
    row(ZELT_CKM_SM1_CBC_PAD, 16, 16, cipher, any_key(kind::device_symmetric), dk::none,
        sm1_cbc_pad),
    // SM3 also derives keys (the digest of the base key's value), and it is
    // the only mechanism that derives with SM3.
    row(ZELT_CKM_SM3, 256, 256, digest | CKF_DERIVE, any_key(kind::soft_sm3), dk::sm3),
    row(ZELT_CKM_SM4_KEY_GEN, 16, 16, key_gen, any_key(kind::device_symmetric), dk::none, sm4_ecb),
    row(ZELT_CKM_SM4_ECB, 16, 16, cipher, any_key(kind::device_symmetric), dk::none, sm4_ecb),
    row(ZELT_CKM_SM4_CBC, 16, 16, cipher, any_key(kind::device_symmetric), dk::none, sm4_cbc),
    row(ZELT_CKM_SM4_CBC_PAD, 16, 16, cipher, any_key(kind::device_symmetric), dk::none,
        sm4_cbc_pad),
}};

const mechanism_row* mechanism_find(CK_MECHANISM_TYPE type) {
    const auto inner = p11abi::narrow_id(type);
    if (!inner) return nullptr;
    for (const mechanism_row& r : mechanism_table)
        if (r.type == *inner) return &r;
    return nullptr;
}

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
