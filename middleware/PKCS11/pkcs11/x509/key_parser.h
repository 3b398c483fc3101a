// The module's own DER reader for RSA private keys (PKCS#8 PrivateKeyInfo,
// RFC 5208, and PKCS#1 RSAPrivateKey, RFC 8017 A.1.2) and the conversion of
// such a key into the GM/T 0016 RSAPRIVATEKEYBLOB that the card imports.
// Keys are never encrypted here: no password is ever supplied.
#pragma once

#include <cstddef>
#include <cstdint>

#include <mbedtls/pk.h>

#include "gm_types.h"

// Parses an RSA private key into `key` (initialised by the caller, who frees
// it). Tries PKCS#8 PrivateKeyInfo, then PKCS#1 RSAPrivateKey; 0 or a negative
// code (cert_parser.h): -0x2D00 when neither form reads. The key's components
// are checked for consistency. Elliptic-curve keys are not read.
int private_key_parse(mbedtls_pk_context* key, const uint8_t* der, size_t length);

// DER RSA private key to the 1164-byte blob: AlgID 0x00010000, BitLen = the
// modulus length in bytes * 8, every number big-endian and right-aligned in
// its field (the CRT values in n / 2 bytes). 0, or 1 when the key cannot be
// parsed, its modulus is longer than the blob's 256-byte field, or any number
// does not fit its field; on 1 the blob holds zeros.
int rsa_der_to_components(const uint8_t* der, size_t length, RSAPRIVATEKEYBLOB* blob);

// A complete RSA key of mbed TLS to the same blob. 0, or 1 when its modulus is
// empty or longer than 256 bytes or any number does not fit its field; on 1
// the blob holds zeros.
int rsa_context_to_blob(const mbedtls_rsa_context* rsa, RSAPRIVATEKEYBLOB* blob);
