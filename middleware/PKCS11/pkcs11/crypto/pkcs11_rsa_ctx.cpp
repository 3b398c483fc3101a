// The RSA key contexts (raw, PKCS#1 v1.5, hash-then-sign, X9.31) and their
// key-pair generation.
#include <mbedtls/md.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_key_container.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_rsa_internal.h"
#include "pkcs11_token.h"

namespace {

constexpr uint32_t max_collected = 256; // PKCS#1 and raw contexts collect at most this much
constexpr const char* private_key_default_label = "A private object";

// A streaming digest of mbed TLS chosen by the card's hash identifier.
class rsa_digest {
  public:
    rsa_digest() { mbedtls_md_init(&ctx_); }
    ~rsa_digest() { mbedtls_md_free(&ctx_); }
    rsa_digest(const rsa_digest&) = delete;
    rsa_digest& operator=(const rsa_digest&) = delete;

    CK_RV start(uint32_t hash_id) {
        const digest_row* d = digest_by_hash_id(hash_id);
        if (d == nullptr || d->md == MBEDTLS_MD_NONE) return CKR_MECHANISM_INVALID;
        const mbedtls_md_info_t* info = mbedtls_md_info_from_type(d->md);
        if (info == nullptr) return CKR_MECHANISM_INVALID;
        mbedtls_md_free(&ctx_);
        mbedtls_md_init(&ctx_);
        started_ = false;
        if (mbedtls_md_setup(&ctx_, info, 0) != 0 || mbedtls_md_starts(&ctx_) != 0)
            return CKR_HOST_MEMORY;
        length_ = mbedtls_md_get_size(info);
        started_ = true;
        return CKR_OK;
    }
    CK_RV update(const uint8_t* data, uint32_t len) {
        if (!started_) return CKR_OPERATION_NOT_INITIALIZED;
        if (len == 0) return CKR_OK;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        return mbedtls_md_update(&ctx_, data, len) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
    }
    // The digest; the state is spent afterwards.
    CK_RV finish(uint8_t* out, uint32_t& len) {
        if (!started_) return CKR_OPERATION_NOT_INITIALIZED;
        started_ = false;
        if (mbedtls_md_finish(&ctx_, out) != 0) return CKR_FUNCTION_FAILED;
        len = length_;
        return CKR_OK;
    }

  private:
    mbedtls_md_context_t ctx_;
    uint32_t length_ = 0;
    bool started_ = false;
};

} // namespace

// ---- the context classes ----

namespace {

// What every RSA context shares: the handler and the collected data.
class rsa_ctx : public card_key_ctx {
  public:
    rsa_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token)
        : card_key_ctx(m, std::move(key), token), handler_(token) {}

  protected:
    CK_RV modulus_bytes(uint32_t& k) { return key_bytes(token(), *key(), k); }
    // The start of a sign_final that writes one block of the modulus length k:
    // the context is ready, and the size-query rule answers a null output with
    // the length and a short one with the length and CKR_BUFFER_TOO_SMALL.
    // `done` is set when the returned code is already the step's answer.
    CK_RV signature_output(const uint8_t* sig, uint32_t* sig_len, uint32_t& k, bool& done) {
        done = true;
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig != nullptr && *sig_len >= k) {
            done = false;
            return CKR_OK;
        }
        const CK_RV answer = sig == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        *sig_len = k;
        return answer;
    }
    // The start of a verify_final: the context is ready and the signature is
    // exactly one block of the modulus length k.
    CK_RV signature_input(uint32_t sig_len, uint32_t& k) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        return sig_len == k ? CKR_OK : CKR_SIGNATURE_LEN_RANGE;
    }
    // The end of a sign_final that formatted `block` (k bytes) itself: the
    // card's private-key operation, the signature out (sig holds k bytes, as
    // signature_output checked), and the operation ends.
    CK_RV sign_block(std::vector<uint8_t>& block, uint32_t k, uint8_t* sig, uint32_t* sig_len) {
        if (CK_RV rv = handler_.rsa_private_raw(*key(), k, block.data()); rv != CKR_OK) return rv;
        std::memcpy(sig, block.data(), k);
        *sig_len = k;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV collect(const uint8_t* data, uint32_t len, bool limited) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (len == 0) return CKR_OK;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        if (limited && uint64_t{buffer_.unread()} + len > max_collected) return CKR_DATA_LEN_RANGE;
        if (buffer_.append(data, len) != len) return CKR_HOST_MEMORY;
        return CKR_OK;
    }
    std::vector<uint8_t> collected() const {
        return std::vector<uint8_t>(buffer_.data(), buffer_.data() + buffer_.unread());
    }

    pkcs11_token_rsa_handler handler_;
    key_ctx_buffer buffer_;
};

} // namespace

// The card makes every RSA key with the exponent F4 = 65537. An application
// that asks for another one (CKA_PUBLIC_EXPONENT in a template, big-endian,
// PKCS#11 v2.20 section 12.1.4) cannot have it, and must not silently get F4.
bool rsa_exponent_is_cards(const pkcs11_object& o) {
    const pkcs11_attribute* e = o.attributes().find(CKA_PUBLIC_EXPONENT);
    if (e == nullptr) return true;
    size_t i = 0;
    while (i < e->value.size() && e->value[i] == 0)
        ++i;
    static constexpr uint8_t f4[] = {0x01, 0x00, 0x01};
    return e->value.size() - i == sizeof f4 && std::equal(f4, f4 + sizeof f4, e->value.begin() + i);
}

namespace {

// Key-pair generation of the PKCS#1 and X9.31 contexts: naming of the pair's
// container, identifier and key spec, then the pair on the card.
CK_RV generate_rsa_pair(pkcs11_token* token, pkcs11_token_rsa_handler& handler, pkcs11_object& pub,
                        pkcs11_object& priv) {
    if (token == nullptr) return CKR_GENERAL_ERROR;
    if (!rsa_exponent_is_cards(pub) || !rsa_exponent_is_cards(priv))
        return CKR_TEMPLATE_INCONSISTENT;
    if (CK_RV rv = key_pair_names_fit(pub, priv); rv != CKR_OK) return rv;
    const bool named = key_pair_mirror(pub, priv, ZELT_CKA_CONTAINER_NAME);
    // Without a container name the pair's container is named by the private
    // key's label, which the public key takes too.
    std::string label;
    if (!named) {
        if (const pkcs11_attribute* l = priv.attributes().find(CKA_LABEL);
            l != nullptr && l->length() != 0) {
            const char* p = reinterpret_cast<const char*>(l->value.data());
            label.assign(p, strnlen(p, l->length()));
            if (label != private_key_default_label)
                pub.object_set_attribute(CKA_LABEL, l->value.data(), l->length());
        }
    }

    if (CK_RV rv = key_pair_share_id_and_spec(pub, priv); rv != CKR_OK) return rv;

    uint32_t bits = 0;
    if (rsa_modulus_bits(pub, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;

    pkcs11_container_manager& mgr = token->containers();
    // A label that names a container already holding a pair of this key spec
    // would have the card overwrite that pair: the new pair then gets a
    // container of its own.
    if (!named) {
        const std::string fresh = mgr.container_name_for_new_key(
            label, private_key_default_label, container_reuse::without_key_of_spec,
            pub.object_key_spec());
        key_pair_set(pub, priv, ZELT_CKA_CONTAINER_NAME, fresh.c_str(),
                     static_cast<uint32_t>(fresh.size() + 1));
    }

    const auto name = container_name_of(pub);
    if (!name) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = key_pair_container(*token, *name); rv != CKR_OK) return rv;
    return handler.rsa_generate_pair(name->c_str(), pub, priv);
}

// CKM_RSA_PKCS (and its key-pair generation).
class rsa_pkcs_ctx : public rsa_ctx {
  public:
    using rsa_ctx::rsa_ctx;

    CK_RV encrypt_init() override { return begin(CKO_PUBLIC_KEY); }
    CK_RV decrypt_init() override { return begin(CKO_PRIVATE_KEY); }
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        return encrypt_with(data, len, out, out_len);
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        const CK_RV rv = decrypt_with(data, len, out, out_len);
        if (rv == CKR_OK && out != nullptr) finish();
        return rv;
    }
    CK_RV sign_init() override { return begin(CKO_PRIVATE_KEY); }
    CK_RV verify_init() override { return begin(CKO_PUBLIC_KEY); }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override {
        return collect(data, len, true);
    }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override {
        return collect(data, len, true);
    }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        uint32_t k = 0;
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, k, done); done) return rv;
        const std::vector<uint8_t> data = collected();
        if (CK_RV rv = handler_.rsa_sign(*key(), rsa_hash_none, data.data(),
                                         static_cast<uint32_t>(data.size()), sig, sig_len);
            rv != CKR_OK)
            return rv;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        uint32_t k = 0;
        if (CK_RV rv = signature_input(sig_len, k); rv != CKR_OK) return rv;
        const std::vector<uint8_t> data = collected();
        if (CK_RV rv = handler_.rsa_verify(*key(), rsa_hash_none, data.data(),
                                           static_cast<uint32_t>(data.size()), sig, sig_len);
            rv != CKR_OK)
            return rv;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV generate_key_pair(pkcs11_object& pub, pkcs11_object& priv) override {
        return generate_rsa_pair(token(), handler_, pub, priv);
    }
    CK_RV wrap_key(pkcs11_object& to_wrap, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = key_of_class(CKO_PUBLIC_KEY); rv != CKR_OK) return rv;
        return handler_.rsa_wrap(*key(), to_wrap, out, out_len);
    }
    CK_RV unwrap_key(const uint8_t* wrapped, uint32_t len, pkcs11_object& new_key) override {
        if (CK_RV rv = key_of_class(CKO_PRIVATE_KEY); rv != CKR_OK) return rv;
        std::vector<uint8_t> plain(len);
        uint32_t plain_len = len;
        if (CK_RV rv = decrypt_with(wrapped, len, plain.data(), &plain_len); rv != CKR_OK)
            return rv;
        new_key.object_set_attribute(CKA_VALUE, plain.data(), plain_len);
        std::fill(plain.begin(), plain.end(), 0);
        return CKR_OK;
    }

  private:
    CK_RV begin(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        buffer_.clear();
        start();
        return CKR_OK;
    }
    CK_RV encrypt_with(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) {
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (len > k - 11) return CKR_DATA_LEN_RANGE;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        if (out == nullptr) {
            *out_len = k;
            return CKR_OK;
        }
        if (*out_len < k) {
            *out_len = k;
            return CKR_BUFFER_TOO_SMALL;
        }
        const CK_RV rv = handler_.rsa_encrypt(*key(), len, data, out_len, out);
        if (rv == CKR_OK) finish();
        return rv;
    }
    // A buffer shorter than the modulus is answered with the modulus length
    // and CKR_DATA_LEN_RANGE.
    CK_RV decrypt_with(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) {
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (len != k) return CKR_DATA_LEN_RANGE;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        if (out == nullptr) {
            *out_len = k;
            return CKR_OK;
        }
        if (*out_len < k) {
            *out_len = k;
            return CKR_DATA_LEN_RANGE;
        }
        return handler_.rsa_decrypt(*key(), len, data, out_len, out);
    }
};

// CKM_RSA_X_509: raw RSA, no key class check at sign and verify init.
class rsa_raw_ctx : public rsa_ctx {
  public:
    using rsa_ctx::rsa_ctx;

    CK_RV encrypt_init() override { return begin_of(CKO_PUBLIC_KEY); }
    CK_RV decrypt_init() override { return begin_of(CKO_PRIVATE_KEY); }
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return raw(data, len, out, out_len, false);
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return raw(data, len, out, out_len, true);
    }
    CK_RV sign_init() override { return begin_any(); }
    CK_RV verify_init() override { return begin_any(); }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override {
        return collect(data, len, true);
    }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override {
        return collect(data, len, true);
    }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig == nullptr) {
            *sig_len = k;
            return CKR_OK;
        }
        if (*sig_len < k) return CKR_BUFFER_TOO_SMALL;
        if (buffer_.unread() != k) return CKR_SIGNATURE_LEN_RANGE;
        std::vector<uint8_t> block = collected();
        return sign_block(block, k, sig, sig_len);
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        uint32_t k = 0;
        if (CK_RV rv = signature_input(sig_len, k); rv != CKR_OK) return rv;
        if (buffer_.unread() != k) return CKR_SIGNATURE_LEN_RANGE;
        std::vector<uint8_t> block(sig, sig + k);
        if (CK_RV rv = handler_.rsa_public_raw(*key(), k, block.data()); rv != CKR_OK) return rv;
        if (std::memcmp(block.data(), buffer_.data(), k) != 0) {
            buffer_.clear();
            return CKR_SIGNATURE_INVALID;
        }
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV generate_key_pair(pkcs11_object&, pkcs11_object&) override {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    CK_RV wrap_key(pkcs11_object&, uint8_t*, uint32_t*) override {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    CK_RV unwrap_key(const uint8_t*, uint32_t, pkcs11_object&) override {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }

  private:
    CK_RV begin_of(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        start();
        return CKR_OK;
    }
    CK_RV begin_any() {
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        buffer_.clear();
        start();
        return CKR_OK;
    }
    CK_RV raw(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len, bool private_op) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (len != k || data == nullptr) return CKR_DATA_LEN_RANGE;
        if (out == nullptr) {
            *out_len = k;
            return CKR_OK;
        }
        if (*out_len < k) {
            *out_len = k;
            return private_op ? CKR_DATA_LEN_RANGE : CKR_BUFFER_TOO_SMALL;
        }
        std::vector<uint8_t> block(data, data + k);
        const CK_RV rv = private_op ? handler_.rsa_private_raw(*key(), k, block.data())
                                    : handler_.rsa_public_raw(*key(), k, block.data());
        if (rv != CKR_OK) return rv;
        std::memcpy(out, block.data(), k);
        *out_len = k;
        finish();
        return CKR_OK;
    }
};

// Hash-then-sign with PKCS#1 v1.5: MD5 and the SHA family. The card builds
// the DigestInfo from the hash identifier.
class hash_rsa_pkcs_ctx : public rsa_ctx {
  public:
    hash_rsa_pkcs_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                      pkcs11_token* token, uint32_t hash_id)
        : rsa_ctx(m, std::move(key), token), hash_id_(hash_id) {}

    CK_RV encrypt_init() override {
        if (CK_RV rv = key_of_class(CKO_PUBLIC_KEY); rv != CKR_OK) return rv;
        start();
        return CKR_OK;
    }
    CK_RV sign_init() override { return begin(CKO_PRIVATE_KEY); }
    CK_RV verify_init() override { return begin(CKO_PUBLIC_KEY); }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        uint32_t k = 0;
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, k, done); done) return rv;
        uint8_t digest[64];
        uint32_t n = 0;
        if (CK_RV rv = hash_.finish(digest, n); rv != CKR_OK) return rv;
        const CK_RV rv = handler_.rsa_sign(*key(), hash_id_, digest, n, sig, sig_len);
        if (rv != CKR_OK) return rv;
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        uint32_t k = 0;
        if (CK_RV rv = signature_input(sig_len, k); rv != CKR_OK) return rv;
        uint8_t digest[64];
        uint32_t n = 0;
        if (CK_RV rv = hash_.finish(digest, n); rv != CKR_OK) return rv;
        const CK_RV rv = handler_.rsa_verify(*key(), hash_id_, digest, n, sig, sig_len);
        if (rv != CKR_OK) return rv;
        finish();
        return CKR_OK;
    }

  private:
    CK_RV begin(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        if (CK_RV rv = hash_.start(hash_id_); rv != CKR_OK) return rv;
        buffer_.clear();
        start();
        return CKR_OK;
    }
    CK_RV feed(const uint8_t* data, uint32_t len) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        return hash_.update(data, len);
    }

    uint32_t hash_id_;
    rsa_digest hash_;
};

// ANSI X9.31 signatures: the block is formatted here, signed with the raw
// private operation; with a hash, the data is hashed first and the block
// carries the hash's identifier.
class rsa_x931_ctx : public rsa_ctx {
  public:
    rsa_x931_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token,
                 uint32_t hash_id)
        : rsa_ctx(m, std::move(key), token), hash_id_(hash_id) {}

    CK_RV encrypt_init() override { return plain_begin(CKO_PUBLIC_KEY); }
    CK_RV decrypt_init() override { return plain_begin(CKO_PRIVATE_KEY); }
    CK_RV sign_init() override { return begin(CKO_PRIVATE_KEY); }
    CK_RV verify_init() override { return begin(CKO_PUBLIC_KEY); }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        uint32_t k = 0;
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, k, done); done) return rv;
        std::vector<uint8_t> input;
        if (CK_RV rv = payload(input); rv != CKR_OK) return rv;
        std::vector<uint8_t> block(k);
        if (CK_RV rv = x931_format(block.data(), k, input.data(),
                                   static_cast<uint32_t>(input.size()), hash_id_);
            rv != CKR_OK)
            return rv;
        return sign_block(block, k, sig, sig_len);
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        uint32_t k = 0;
        if (CK_RV rv = signature_input(sig_len, k); rv != CKR_OK) return rv;
        std::vector<uint8_t> block(sig, sig + k);
        if (CK_RV rv = handler_.rsa_public_raw(*key(), k, block.data()); rv != CKR_OK) return rv;
        uint32_t offset = 0;
        uint32_t length = 0;
        if (x931_check(block.data(), k, offset, length) != CKR_OK) return CKR_SIGNATURE_INVALID;
        std::vector<uint8_t> expected;
        if (CK_RV rv = payload(expected); rv != CKR_OK) return rv;
        bool present = false;
        const uint8_t trailer = static_cast<uint8_t>(x931_trailer(hash_id_, present));
        if (present) expected.push_back(trailer);
        if (length != expected.size() ||
            std::memcmp(block.data() + offset, expected.data(), length) != 0)
            return CKR_SIGNATURE_INVALID;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV generate_key_pair(pkcs11_object& pub, pkcs11_object& priv) override {
        return generate_rsa_pair(token(), handler_, pub, priv);
    }

  private:
    bool hashed() const { return hash_id_ != rsa_hash_none; }
    CK_RV plain_begin(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        start();
        return CKR_OK;
    }
    CK_RV begin(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        if (hashed()) {
            if (CK_RV rv = hash_.start(hash_id_); rv != CKR_OK) return rv;
        }
        buffer_.clear();
        start();
        return CKR_OK;
    }
    CK_RV feed(const uint8_t* data, uint32_t len) {
        if (!hashed()) return collect(data, len, false);
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        return hash_.update(data, len);
    }
    // What goes into the block: the collected data, or the digest.
    CK_RV payload(std::vector<uint8_t>& out) {
        if (!hashed()) {
            out = collected();
            return CKR_OK;
        }
        uint8_t digest[64];
        uint32_t n = 0;
        if (CK_RV rv = hash_.finish(digest, n); rv != CKR_OK) return rv;
        out.assign(digest, digest + n);
        return CKR_OK;
    }

    uint32_t hash_id_;
    rsa_digest hash_;
};

// The card hash identifier of the mechanism's row (rsa_hash_none without a digest).
uint32_t hash_id_for(const CK_MECHANISM& m) {
    const mechanism_row* row = mechanism_find(m.mechanism);
    return row != nullptr ? digest_info(row->digest).hash_id : rsa_hash_none;
}

} // namespace

std::unique_ptr<pkcs11_key_ctx> make_rsa_pkcs_ctx(const CK_MECHANISM& m,
                                                  std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_pkcs_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_rsa_raw_ctx(const CK_MECHANISM& m,
                                                 std::shared_ptr<pkcs11_object> key,
                                                 pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_raw_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_hash_rsa_pkcs_ctx(const CK_MECHANISM& m,
                                                       std::shared_ptr<pkcs11_object> key,
                                                       pkcs11_token* token, uint8_t) {
    return std::make_unique<hash_rsa_pkcs_ctx>(m, std::move(key), token, hash_id_for(m));
}
std::unique_ptr<pkcs11_key_ctx> make_rsa_x931_ctx(const CK_MECHANISM& m,
                                                  std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_x931_ctx>(m, std::move(key), token, hash_id_for(m));
}
