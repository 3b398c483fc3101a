// MD5, SHA-1, SHA-256, SHA-384 and SHA-512 on the card, and the key
// derivations by those digests: the digest handler over the device API's
// digest functions and the key context of those mechanisms.
//
// The card has one digest context for all its users (every session and
// every process). A context therefore collects the data of a multi-part
// digest and has the card hash it at the final step, from DigestInit to
// DigestFinal under one hold of the device mutex, which serialises that
// card context between threads and processes.
#pragma once

#include <cstdint>
#include <memory>

#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_key_ctx.h"

class pkcs11_object;
class pkcs11_token;

class pkcs11_token_digest_handler {
  public:
    explicit pkcs11_token_digest_handler(pkcs11_token* token) : token_(token) {}
    virtual ~pkcs11_token_digest_handler() { close(); }
    pkcs11_token_digest_handler(const pkcs11_token_digest_handler&) = delete;
    pkcs11_token_digest_handler& operator=(const pkcs11_token_digest_handler&) = delete;

    // The whole digest of len bytes on the card (DigestInit, the data, the
    // final step) without another digest in between; *out_len is the
    // capacity in and the length out. A card that cannot be reached or
    // refuses the init: CKR_CANCEL.
    CK_RV digest_once(uint32_t device_alg, const uint8_t* data, uint32_t len, uint8_t* out,
                      uint32_t* out_len);

  private:
    void close();

    pkcs11_token* token_;
    HANDLE digest_ = 0;
};

// Most bytes a multi-part card digest collects.
inline constexpr uint32_t vorline_hash_max_data = 64u << 20;

std::unique_ptr<pkcs11_key_ctx>
make_vorline_hash_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
