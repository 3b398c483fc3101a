// DES, triple DES with padding, AES, SM1 and SM4 on the card: the handler
// that imports a secret key's value as a session key and drives the device
// API's cipher functions, and the key context of those mechanisms.
//
// The key value lives in the secret-key object (CKA_VALUE); each encrypt or
// decrypt init imports it into the application's reserved container (name F0
// F1 ... F7) and the card key is destroyed when the operation ends (or when
// the context goes). The card keeps a cipher state per session key, so
// operations of different sessions and processes never share one.
#pragma once

#include <cstdint>
#include <memory>

#include "gm_api.h"
#include "pkcs11.h"
#include "pkcs11_algo.h"
#include "pkcs11_key_ctx.h"

class pkcs11_object;
class pkcs11_token;

class pkcs11_token_cryption_handler {
  public:
    explicit pkcs11_token_cryption_handler(pkcs11_token* token) : token_(token) {}
    virtual ~pkcs11_token_cryption_handler() { (void)symm_release(); }
    pkcs11_token_cryption_handler(const pkcs11_token_cryption_handler&) = delete;
    pkcs11_token_cryption_handler& operator=(const pkcs11_token_cryption_handler&) = delete;

    // Key-length random bytes from the card into CKA_VALUE, with
    // CKA_VALUE_LEN and CKA_LOCAL.
    CK_RV symm_generate_key(pkcs11_object& key, const pkcs11_algo& algo);
    // Imports the key (or takes its card handle) and starts the operation
    // with the IV given.
    CK_RV symm_init(bool encrypt, const pkcs11_algo& algo, const uint8_t* iv, uint32_t iv_length,
                    pkcs11_object& key);
    // Destroys the imported card key and closes the container.
    CK_RV symm_release();

    HANDLE key_handle() const { return key_; }
    bool imported() const { return imported_; }

  private:
    pkcs11_token* token_;
    HANDLE key_ = 0;
    HCONTAINER container_ = 0;
    bool imported_ = false;
};

std::unique_ptr<pkcs11_key_ctx> make_vorline_symetric_ctx(const CK_MECHANISM&,
                                                          std::shared_ptr<pkcs11_object>,
                                                          pkcs11_token*, uint8_t);
