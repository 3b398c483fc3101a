// What the RSA and SM2 key sources share: the key container a key object
// names, opened through its token, and the attributes the two halves of a new
// key pair must agree on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pkcs11.h"
#include "pkcs11_key_ctx.h"
#include "pkcs11_object.h"

class pkcs11_object;
class pkcs11_token;
struct pkcs11_container;

// The device API's key selector of a key object's key spec
// (device_key_spec of pkcs11_container_mgr.h).
uint32_t device_key_spec(const pkcs11_object& key);
// The stored text of a key's container-name attribute (a trailing NUL is not
// part of it); none when absent, empty or longer than a container name.
std::optional<std::string> container_name_of(const pkcs11_object& key);
// The container of a key, opened through the token's application; the handle
// is kept in the container record for reuse. CKR_KEY_HANDLE_INVALID when the
// key is a stored one the card no longer holds (pkcs11_token::stored_key_gone).
CK_RV open_key_container(pkcs11_token& token, const pkcs11_object& key, pkcs11_container*& out);
// Closing clears the record, so the next operation opens the container anew
// instead of using a dead handle.
void close_container(pkcs11_container* c);
// Completes a token key from its container (public values) when needed.
CK_RV complete_key(pkcs11_token* token, pkcs11_object& key);

// The two halves of a new key pair carry the same value of `type`: the half
// without it takes the other's. Answers whether either half had it.
bool key_pair_mirror(pkcs11_object& pub, pkcs11_object& priv, uint32_t type);
// The container names a new key pair's halves bring fit a container name;
// a longer one: CKR_ATTRIBUTE_VALUE_INVALID.
CK_RV key_pair_names_fit(const pkcs11_object& pub, const pkcs11_object& priv);
// CKA_ID and the key spec shared by both halves of a new key pair: a random
// identifier and the exchange spec where neither half has one; identifiers
// that differ: CKR_TEMPLATE_INCONSISTENT.
CK_RV key_pair_share_id_and_spec(pkcs11_object& pub, pkcs11_object& priv);
// Gives both halves of a new key pair the same value of `type`.
void key_pair_set(pkcs11_object& pub, pkcs11_object& priv, uint32_t type, const void* value,
                  uint32_t length);
// What the card's key-pair generation gives both halves of the new pair:
// their classes, the key type, CKA_LOCAL and CKA_TOKEN true, the key spec and
// the public key's container name.
void key_pair_mark_generated(pkcs11_object& pub, pkcs11_object& priv, uint32_t key_type,
                             uint32_t spec);
// Keeps a new pair's CKA_ID in its container's identifier file, so that the
// keys' CKA_ID survives a reload of the container. Nothing is written for a
// pair without one, nor for one the file cannot hold (container_write_key_id
// refuses it before anything is sent).
void key_pair_keep_id(pkcs11_token& token, std::string_view container_name,
                      const pkcs11_object& public_key);
// The container of a new key pair, listed or else created; an unacceptable
// name: ZELT_CKR_CONTAINER_NOT_FOUND. The token's change counter is read (on
// a new token: created) before this process's own change bumps it, so that
// the bump is not taken for another process's change at the next search,
// which would drop and rebuild the token's key objects and leave the handles
// of the new pair invalid.
CK_RV key_pair_container(pkcs11_token& token, const std::string& name);

// What the card-backed RSA and SM2 key contexts share: the answer
// CKR_MECHANISM_INVALID for what a mechanism cannot do, one-shot signing and
// verification as init, update and final (so that a size query followed by a
// second call with a buffer works), and the key check at every step.
class card_key_ctx : public pkcs11_key_ctx {
  public:
    using pkcs11_key_ctx::pkcs11_key_ctx;

    CK_RV encrypt_init() override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
        return CKR_MECHANISM_INVALID;
    }
    CK_RV encrypt_final(uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
        return CKR_MECHANISM_INVALID;
    }
    CK_RV decrypt_init() override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
        return CKR_MECHANISM_INVALID;
    }
    CK_RV decrypt_final(uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override {
        return CKR_MECHANISM_INVALID;
    }
    CK_RV generate_key_pair(pkcs11_object&, pkcs11_object&) override {
        return CKR_MECHANISM_INVALID;
    }
    CK_RV wrap_key(pkcs11_object&, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV unwrap_key(const uint8_t*, uint32_t, pkcs11_object&) override {
        return CKR_MECHANISM_INVALID;
    }

    CK_RV sign(const uint8_t* data, uint32_t len, uint8_t* sig, uint32_t* sig_len) override {
        if (CK_RV rv = sign_init(); rv != CKR_OK) return rv;
        if (CK_RV rv = sign_update(data, len); rv != CKR_OK) return rv;
        return sign_final(sig, sig_len);
    }
    CK_RV verify(const uint8_t* data, uint32_t len, const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = verify_init(); rv != CKR_OK) return rv;
        if (CK_RV rv = verify_update(data, len); rv != CKR_OK) return rv;
        return verify_final(sig, sig_len);
    }

  protected:
    // The key still listed by the token and of the class the step needs.
    CK_RV key_of_class(uint32_t object_class) {
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        const pkcs11_attribute* a = key()->attributes().find(CKA_CLASS);
        if (a == nullptr || a->as_u32() != object_class) return CKR_TEMPLATE_INCONSISTENT;
        return CKR_OK;
    }
    // Active and with its key still listed.
    CK_RV ready() {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        return key_check();
    }
};
