// What the RSA sources share among themselves (padding, the token's handler
// and the key contexts); not for use outside them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pkcs11.h"

class pkcs11_object;
class pkcs11_token;

// The stored text of a key's container-name attribute (a trailing NUL is not
// part of it); none when absent, empty or longer than a container name.
std::optional<std::string> container_name_of(const pkcs11_object& key);
// Completes a token key from its container (modulus, exponent) when needed.
CK_RV complete_key(pkcs11_token* token, pkcs11_object& key);
// The modulus length in bytes of a key, completed first when needed.
CK_RV key_bytes(pkcs11_token* token, pkcs11_object& key, uint32_t& k);
// The X9.31 trailer byte of a hash identifier; `present` is false for none.
uint32_t x931_trailer(uint32_t hash_id, bool& present);
