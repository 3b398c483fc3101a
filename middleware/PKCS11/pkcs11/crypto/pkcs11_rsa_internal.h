// What the RSA sources share among themselves (padding, the token's handler
// and the key contexts); not for use outside them.
#pragma once

#include <cstdint>

#include "pkcs11.h"
#include "pkcs11_key_container.h"

class pkcs11_object;
class pkcs11_token;

// The modulus length in bytes of a key, completed first when needed.
CK_RV key_bytes(pkcs11_token* token, pkcs11_object& key, uint32_t& k);
// The X9.31 trailer byte of a hash identifier; `present` is false for none.
uint32_t x931_trailer(uint32_t hash_id, bool& present);
