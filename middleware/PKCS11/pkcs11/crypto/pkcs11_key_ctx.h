// Key contexts: one object per cryptographic operation of a session, bound to
// one mechanism, one key object (or none, for digests) and the token. The
// session holds the contexts and calls these virtual operations; subclasses do
// the formatting, hashing, buffering and length checks and hand card work to
// the token or compute in software.
//
// `key_ctx_create` makes the context class that the mechanism's row in the
// mechanism table routes it to (pkcs11_mechanism.h); a mechanism without a
// row gets none (the session reports CKR_MECHANISM_INVALID).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pkcs11.h"
#include "pkcs11_mechanism.h"

class pkcs11_object;
class pkcs11_token;

// Growable byte queue of the multi-part contexts: append at the end, take from
// the front. Appending to an empty buffer reserves twice the appended length;
// before growing, the unread bytes move to the front.
class key_ctx_buffer {
  public:
    key_ctx_buffer() = default;
    ~key_ctx_buffer() = default;
    key_ctx_buffer(const key_ctx_buffer&) = delete;
    key_ctx_buffer& operator=(const key_ctx_buffer&) = delete;

    uint32_t unread() const { return write_ - read_; }
    uint32_t capacity() const { return capacity_; }
    const uint8_t* data() const { return storage_ ? storage_.get() + read_ : nullptr; }
    // Appends n bytes; the result is n (0 when n would overflow the 32-bit size).
    uint32_t append(const uint8_t* bytes, uint32_t n);
    // Takes up to n bytes (fewer when fewer are unread) into out (may be null
    // to drop them); the result is the count taken.
    uint32_t take(uint8_t* out, uint32_t n);
    void clear();

  private:
    std::unique_ptr<uint8_t[]> storage_;
    uint32_t read_ = 0;
    uint32_t write_ = 0;
    uint32_t capacity_ = 0;
};

class pkcs11_key_ctx {
  public:
    // The mechanism's parameter bytes are copied: clients pass IVs and
    // parameter structures on their stack and return between init and update.
    pkcs11_key_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_object> key,
                   pkcs11_token* token);
    virtual ~pkcs11_key_ctx();
    pkcs11_key_ctx(const pkcs11_key_ctx&) = delete;
    pkcs11_key_ctx& operator=(const pkcs11_key_ctx&) = delete;

    // Lengths are the inner 32-bit values; `out_len` is in/out (capacity in,
    // produced or required length out). The base inits mark the operation
    // begun; every other operation a class does not override answers
    // CKR_FUNCTION_NOT_SUPPORTED, never success without its output.
    virtual CK_RV encrypt_init();
    virtual CK_RV encrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                                 uint32_t* out_len);
    virtual CK_RV encrypt_final(uint8_t* out, uint32_t* out_len);
    virtual CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len);
    virtual CK_RV decrypt_init();
    virtual CK_RV decrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                                 uint32_t* out_len);
    virtual CK_RV decrypt_final(uint8_t* out, uint32_t* out_len);
    virtual CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len);
    virtual CK_RV digest_init();
    virtual CK_RV digest_update(const uint8_t* data, uint32_t len);
    virtual CK_RV digest_final(uint8_t* out, uint32_t* out_len);
    virtual CK_RV digest(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len);
    virtual CK_RV sign_init();
    virtual CK_RV sign_update(const uint8_t* data, uint32_t len);
    virtual CK_RV sign_final(uint8_t* sig, uint32_t* sig_len);
    virtual CK_RV sign(const uint8_t* data, uint32_t len, uint8_t* sig, uint32_t* sig_len);
    virtual CK_RV verify_init();
    virtual CK_RV verify(const uint8_t* data, uint32_t len, const uint8_t* sig, uint32_t sig_len);
    virtual CK_RV verify_update(const uint8_t* data, uint32_t len);
    virtual CK_RV verify_final(const uint8_t* sig, uint32_t sig_len);
    // The key object given at creation receives the key.
    virtual CK_RV generate_key();
    virtual CK_RV generate_key_pair(pkcs11_object& public_key, pkcs11_object& private_key);
    virtual CK_RV wrap_key(pkcs11_object& key, uint8_t* out, uint32_t* out_len);
    virtual CK_RV unwrap_key(const uint8_t* wrapped, uint32_t len, pkcs11_object& new_key);
    virtual CK_RV derive_key(pkcs11_object& new_key);

    uint32_t mechanism_type() const { return mechanism_type_; }
    const std::vector<uint8_t>& parameter() const { return parameter_; }
    bool active() const { return active_; }
    bool finished() const { return finished_; }

  protected:
    // Every successful init ends with start(); every successful final step
    // (and one-shot sign or verify) with finish().
    void start() {
        active_ = true;
        finished_ = false;
    }
    void finish() {
        if (!finished_) {
            finished_ = true;
            active_ = false;
        }
    }
    // CKR_OPERATION_NOT_INITIALIZED unless initialised and not finished.
    CK_RV check_active() const {
        return active_ && !finished_ ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
    }

    pkcs11_object* key() const { return key_.get(); }
    pkcs11_token* token() const { return token_; }
    // The key is still the object its handle names in the token's list: a
    // key destroyed, purged at logout or replaced by a reload since the init
    // gives CKR_KEY_HANDLE_INVALID (the context's own reference only keeps
    // the memory alive; it does not keep a removed key usable).
    CK_RV key_check() const;

  private:
    bool active_ = false;
    bool finished_ = false;
    uint32_t mechanism_type_;
    std::vector<uint8_t> parameter_;
    // The context's own reference: a purge of the token's object list cannot
    // free the key under a running operation; key_check() tells whether the
    // key is still listed.
    std::shared_ptr<pkcs11_object> key_;
    // Sessions, and with them their contexts, are closed before their token goes.
    pkcs11_token* token_;
};

// The route of a mechanism's row in the mechanism table; none for any other
// type (also a host value with high bits set).
std::optional<key_ctx_route> key_ctx_route_for(CK_MECHANISM_TYPE type);

// A key for the table's preconditions is a token key when its CKA_TOKEN is a
// true value of 0 or 1 byte. Without a key object (digest initialisation) a
// precondition that reads CKA_TOKEN is not met.
bool key_ctx_precondition_met(key_ctx_precondition precondition, const pkcs11_object* key);

// Builds the context for a mechanism; null when the mechanism has no row, or
// the key does not meet the precondition, or the class refuses to be made
// without a token or a key. `cipher_path` is the session's flag byte for the device
// symmetric class (always 0).
std::unique_ptr<pkcs11_key_ctx> key_ctx_create(const CK_MECHANISM& mechanism,
                                               std::shared_ptr<pkcs11_object> key,
                                               pkcs11_token* token, uint8_t cipher_path);

// The signature of the factory; a session may be given another one (tests).
using key_ctx_factory = std::unique_ptr<pkcs11_key_ctx> (*)(const CK_MECHANISM&,
                                                            std::shared_ptr<pkcs11_object>,
                                                            pkcs11_token*, uint8_t);
