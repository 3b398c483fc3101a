// RSA on the token: the handler through which the RSA key contexts reach the
// card, and the constructors of the six RSA context classes (raw, PKCS#1 v1.5,
// MD5 and SHA-family hash-then-sign, X9.31 raw and with SHA-1).
//
// Keys live in key containers on the card; only 1024- and 2048-bit keys are
// handled. PKCS#1 v1.5 signature blocks, DigestInfo included, are built by
// the card from a hash identifier ("RSASignEx"); X9.31 blocks are formatted
// here and signed with the raw private-key operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_key_ctx.h"

class pkcs11_object;
class pkcs11_token;

// Hash identifiers of the card's RSA signing and verification commands (the
// mechanism table's digest rows carry them).
inline constexpr uint32_t rsa_hash_none = digest_info(digest_kind::none).hash_id;
inline constexpr uint32_t rsa_hash_md5 = digest_info(digest_kind::md5).hash_id;
inline constexpr uint32_t rsa_hash_sha1 = digest_info(digest_kind::sha1).hash_id;
inline constexpr uint32_t rsa_hash_sha256 = digest_info(digest_kind::sha256).hash_id;
inline constexpr uint32_t rsa_hash_sha384 = digest_info(digest_kind::sha384).hash_id;
inline constexpr uint32_t rsa_hash_sha512 = digest_info(digest_kind::sha512).hash_id;

// Modulus size of a key object: CKA_MODULUS_BITS when present with a value
// of at most 4 bytes, else 8 x the length of CKA_MODULUS. Neither present:
// CKR_ATTRIBUTE_TYPE_INVALID; a size other than 1024 or 2048: CKR_KEY_SIZE_RANGE.
CK_RV rsa_modulus_bits(const pkcs11_object& key, uint32_t& bits);
// Whether a key-pair template asks for no exponent or for the card's own (F4).
bool rsa_exponent_is_cards(const pkcs11_object& key_template);

// A DER RSA private key (PKCS#8 or PKCS#1, key_parser.h) unwrapped into a
// private-key object: its modulus, exponents, primes, CRT exponents and
// coefficient become the object's attributes. A key that does not parse or
// does not fit the card's blob: CKR_DATA_INVALID.
CK_RV rsa_private_key_from_der(const uint8_t* der, size_t length, pkcs11_object& key);

// PKCS#1 v1.5 type 2 block of length k around n bytes of data:
// 00 02 <k - n - 3 non-zero random bytes> 00 data. k < n + 11: CKR_DATA_LEN_RANGE.
CK_RV pkcs1_type2_pad(uint8_t* block, uint32_t k, const uint8_t* data, uint32_t n);

// ANSI X9.31 block of length k around the input, with the trailer's hash
// identifier byte for the hash id (none for rsa_hash_none). Too long: CKR_DATA_INVALID.
CK_RV x931_format(uint8_t* block, uint32_t k, const uint8_t* input, uint32_t m, uint32_t hash_id);
// Checks a decoded X9.31 block of k bytes; out: offset and length of the payload.
CK_RV x931_check(const uint8_t* block, uint32_t k, uint32_t& payload_offset,
                 uint32_t& payload_length);

// The card work of the RSA contexts. It keeps only the token; every call
// reads what it needs from the key object it is given.
class pkcs11_token_rsa_handler {
  public:
    explicit pkcs11_token_rsa_handler(pkcs11_token* token) : token_(token) {}
    virtual ~pkcs11_token_rsa_handler() = default;

    CK_RV rsa_sign(pkcs11_object& key, uint32_t hash_id, const uint8_t* data, uint32_t len,
                   uint8_t* sig, uint32_t* sig_len);
    CK_RV rsa_verify(pkcs11_object& key, uint32_t hash_id, const uint8_t* data, uint32_t len,
                     const uint8_t* sig, uint32_t sig_len);
    CK_RV rsa_public_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer);
    CK_RV rsa_private_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer);
    CK_RV rsa_encrypt(pkcs11_object& key, uint32_t len, const uint8_t* data, uint32_t* out_len,
                      uint8_t* out);
    CK_RV rsa_decrypt(pkcs11_object& key, uint32_t len, const uint8_t* data, uint32_t* out_len,
                      uint8_t* out);
    CK_RV rsa_wrap(pkcs11_object& key, pkcs11_object& to_wrap, uint8_t* out, uint32_t* out_len);
    CK_RV rsa_generate_pair(const char* container_name, pkcs11_object& public_key,
                            pkcs11_object& private_key);

    // The RSAPUBLICKEYBLOB of a key object (completed from its container first).
    CK_RV rsa_public_blob(pkcs11_object& key, RSAPUBLICKEYBLOB& blob);

  private:
    pkcs11_token* token_;
};

// Constructors for the factory table.
std::unique_ptr<pkcs11_key_ctx>
make_rsa_pkcs_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx>
make_rsa_raw_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
// The digest-then-sign contexts (MD5 or SHA-x with PKCS #1 v1.5, X9.31 with or
// without SHA-1) take their card hash identifier from the mechanism's row.
std::unique_ptr<pkcs11_key_ctx>
make_hash_rsa_pkcs_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx>
make_rsa_x931_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
