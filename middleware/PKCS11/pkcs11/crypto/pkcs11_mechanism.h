// The mechanism table: one row per mechanism the module knows, holding
// everything every part of the module needs to know about it. The token's
// mechanism manager lists the rows for C_GetMechanismList and
// C_GetMechanismInfo, and a session takes a mechanism only for the operations
// its flags name (pkcs11_session_ops.cpp); the key-context factory
// (pkcs11_key_ctx.h) makes the context class the row's route names; the card
// handlers take the row's hash
// identifier and digest kind, and the card cipher contexts its device
// algorithm (pkcs11_algo.h). A mechanism outside the table is nowhere.
#pragma once

#include <mbedtls/md.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gm_api.h"
#include "pkcs11.h"

// The context classes the factory makes.
enum class key_ctx_kind : uint8_t {
    rsa_pkcs,         // PKCS#1 v1.5 with the caller's data, and its key-pair generation
    rsa_raw,          // raw RSA (X.509)
    md5_rsa_pkcs,     // MD5 then PKCS#1 v1.5
    shax_rsa_pkcs,    // SHA-1/256/384/512 then PKCS#1 v1.5
    rsa_x931,         // ANSI X9.31 without a hash, and its key-pair generation
    rsa_sha_x931,     // SHA-1 then ANSI X9.31
    soft_rc2,         // RC2 in the library
    soft_rc4,         // RC4 in the library
    device_symmetric, // DES, triple DES, AES, SM1, SM4 on the card
    soft_des3,        // triple DES ECB and CBC in the library
    device_hash,      // MD5 and the SHA family on the card, and key derivation by them
    sm2,              // SM2 signing and encryption on the card
    sm3_sm2,          // SM3 in the library, then SM2 signing on the card
    soft_sm3,         // SM3 in the library
};
inline constexpr size_t key_ctx_kind_count = 14;
static_assert(static_cast<size_t>(key_ctx_kind::soft_sm3) + 1 == key_ctx_kind_count);

// What the key object must be for the factory to make a context.
enum class key_ctx_precondition : uint8_t { none, token_key, not_token_key };

struct key_ctx_route {
    key_ctx_kind kind;
    key_ctx_precondition precondition;
};

// The digest a mechanism computes or signs over.
enum class digest_kind : uint8_t { none, md5, sha1, sha256, sha384, sha512, sm3 };

// What a digest kind is to the card and to the library.
struct digest_row {
    digest_kind kind;
    // The card's hash identifier: the algorithm of its digest commands and the
    // hash of its RSA signing and verification commands (0x80: no hash; the
    // card takes the block as given).
    uint32_t hash_id;
    uint32_t length; // bytes
    // mbed TLS's digest for the library's own hashing; MBEDTLS_MD_NONE where
    // mbed TLS has none (SM3 is the module's own code).
    mbedtls_md_type_t md;
    // The hash identifier byte of an ANSI X9.31 trailer (ISO/IEC 10118);
    // 0xFF for a hash X9.31 names none; no trailer byte at all for none.
    uint8_t x931_trailer;
};

inline constexpr std::array<digest_row, 7> digest_table = {{
    {digest_kind::none, gm_digest_none, 0, MBEDTLS_MD_NONE, 0},
    {digest_kind::md5, gm_digest_md5, 16, MBEDTLS_MD_MD5, 0xFF},
    {digest_kind::sha1, gm_digest_sha1, 20, MBEDTLS_MD_SHA1, 0x33},
    {digest_kind::sha256, gm_digest_sha256, 32, MBEDTLS_MD_SHA256, 0x34},
    {digest_kind::sha384, gm_digest_sha384, 48, MBEDTLS_MD_SHA384, 0x36},
    {digest_kind::sha512, gm_digest_sha512, 64, MBEDTLS_MD_SHA512, 0x35},
    {digest_kind::sm3, gm_digest_sm3, 32, MBEDTLS_MD_NONE, 0xFF},
}};

constexpr const digest_row& digest_info(digest_kind kind) {
    return digest_table[static_cast<size_t>(kind)];
}
static_assert(digest_info(digest_kind::sm3).kind == digest_kind::sm3, "indexed by kind");

// The row of a card hash identifier; null for an identifier the card does not know.
constexpr const digest_row* digest_by_hash_id(uint32_t hash_id) {
    for (const digest_row& d : digest_table)
        if (d.hash_id == hash_id) return &d;
    return nullptr;
}

// The card's side of a card cipher: the device API's algorithm identifier
// (GM/T 0016 style; for triple DES and AES the one of the default key length,
// pkcs11_algo.h picks by the key), the block size and whether the card adds
// and removes PKCS#5 padding. All zero for a mechanism that is no card cipher.
struct card_cipher {
    uint32_t device_alg;
    uint32_t block_size;
    uint32_t padding;
};

// One mechanism: type, minimum and maximum key size (reported exactly as
// stored, in the unit PKCS#11 v2.20 gives each mechanism), the CKF_ flags,
// the context route, the digest (its card hash identifier is
// digest_info(digest).hash_id), and the card cipher.
struct mechanism_row {
    uint32_t type;
    uint32_t min_key_size;
    uint32_t max_key_size;
    uint32_t flags;
    key_ctx_route route;
    digest_kind digest;
    card_cipher cipher;
};

inline constexpr size_t mechanism_count = 48;
extern const std::array<mechanism_row, mechanism_count> mechanism_table;

// The row of a mechanism type; null for any other type (also a host value
// with high bits set).
const mechanism_row* mechanism_find(CK_MECHANISM_TYPE type);

class pkcs11_mechanism {
  public:
    explicit pkcs11_mechanism(const mechanism_row& row)
        : type_(row.type), min_key_size_(row.min_key_size), max_key_size_(row.max_key_size),
          flags_(row.flags) {}
    virtual ~pkcs11_mechanism() = default;

    uint32_t type() const { return type_; }
    uint32_t min_key_size() const { return min_key_size_; }
    uint32_t max_key_size() const { return max_key_size_; }
    uint32_t flags() const { return flags_; }

  private:
    uint32_t type_;
    uint32_t min_key_size_;
    uint32_t max_key_size_;
    uint32_t flags_;
};

class pkcs11_mechanism_mgr {
  public:
    pkcs11_mechanism_mgr() = default;
    virtual ~pkcs11_mechanism_mgr() = default;
    pkcs11_mechanism_mgr(const pkcs11_mechanism_mgr&) = delete;
    pkcs11_mechanism_mgr& operator=(const pkcs11_mechanism_mgr&) = delete;

    // Appends one entry per table row, in table order.
    void load_mechanisms();

    // C_GetMechanismList with the size-query rule: a null list gets the count;
    // a list shorter than the count gets the count and CKR_BUFFER_TOO_SMALL.
    CK_RV mechanism_list(CK_MECHANISM_TYPE* list, uint32_t* count) const;
    // C_GetMechanismInfo from the first entry of that type; none (also a host
    // value with high bits set): CKR_MECHANISM_INVALID.
    CK_RV mechanism_info(CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) const;
    const pkcs11_mechanism* find(CK_MECHANISM_TYPE type) const;

    size_t size() const { return entries_.size(); }

  private:
    std::vector<std::unique_ptr<pkcs11_mechanism>> entries_;
};
