// Ciphers computed entirely in the library, with the key value taken from the
// secret-key object's CKA_VALUE: RC2 (ECB, CBC; RFC 2268), RC4, and DES3 in ECB
// and CBC mode (two- or three-key DES-EDE of mbed TLS). Block modes take whole
// 8-byte blocks (no padding); updates keep a partial block for the next step.
// Their key generation draws the key bytes from the card's random generator.
#pragma once

#include <cstdint>
#include <memory>

#include "pkcs11.h"
#include "pkcs11_key_ctx.h"

class pkcs11_object;
class pkcs11_token;

// Constructors for the factory table.
std::unique_ptr<pkcs11_key_ctx>
make_soft_rc2_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx>
make_soft_rc4_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
std::unique_ptr<pkcs11_key_ctx>
make_soft_des3_ctx(const CK_MECHANISM&, std::shared_ptr<pkcs11_object>, pkcs11_token*, uint8_t);
