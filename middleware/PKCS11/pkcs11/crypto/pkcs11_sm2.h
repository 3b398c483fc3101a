// SM2 on the token and SM3 in the library: the handler through which the SM2
// key contexts reach the card (signing, verification, encryption, decryption,
// key-pair generation), and the constructors of the three context classes:
// ZELT_CKM_SM2 (sign or verify a 32-byte digest the caller computed, encrypt,
// decrypt, generate a pair), ZELT_CKM_SM3_SM2 (hash SM3 over Z and the message,
// then sign or verify on the card) and ZELT_CKM_SM3 (digest).
//
// Signatures seen by applications are r || s (64 bytes); cipher texts are DER
// (sm2_codec.h). The signer identity is always the GM/T 0009 default.
#pragma once

#include <cstdint>
#include <memory>

#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_key_ctx.h"

class pkcs11_object;
class pkcs11_token;

inline constexpr uint32_t sm2_signature_size = 64;
// The size query of an SM2 signature answers this (twice the signature).
inline constexpr uint32_t sm2_signature_query_size = 128;
// Largest DER cipher text taken for decryption.
inline constexpr uint32_t sm2_decrypt_input_max = 1024;

class pkcs11_token_sm2_handler {
  public:
    explicit pkcs11_token_sm2_handler(pkcs11_token* token) : token_(token) {}
    virtual ~pkcs11_token_sm2_handler() = default;

    CK_RV sm2_sign(pkcs11_object& key, const uint8_t* digest, uint32_t len, uint8_t* out,
                   uint32_t* out_len);
    CK_RV sm2_verify(pkcs11_object& key, const uint8_t* digest, uint32_t len, const uint8_t* sig,
                     uint32_t sig_len);
    CK_RV sm2_encrypt(pkcs11_object& key, uint32_t len, const uint8_t* data, uint32_t* out_len,
                      uint8_t* out);
    CK_RV sm2_decrypt(pkcs11_object& key, uint32_t len, const uint8_t* data, uint32_t* out_len,
                      uint8_t* out);
    CK_RV sm2_generate_pair(const char* container_name, pkcs11_object& public_key,
                            pkcs11_object& private_key);

    // The ECCPUBLICKEYBLOB of a key object's CKA_EC_POINT (the object is
    // completed from its container first): x and y are its last 64 bytes. No
    // point: CKR_ATTRIBUTE_TYPE_INVALID; over 256 bytes: CKR_BUFFER_TOO_SMALL;
    // under 64 bytes: CKR_DATA_INVALID.
    CK_RV public_blob(pkcs11_object& key, ECCPUBLICKEYBLOB& blob);

  private:
    pkcs11_token* token_;
};

// Constructors for the factory table.
std::unique_ptr<pkcs11_key_ctx> make_sm2_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>,
                                             pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx> make_sm3sm2_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>,
                                                pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx>
make_soft_sm3_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
