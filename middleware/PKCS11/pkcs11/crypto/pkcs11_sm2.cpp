#include "pkcs11_sm2.h"

#include <mbedtls/platform_util.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_key_container.h"
#include "pkcs11_object.h"
#include "pkcs11_token.h"
#include "sm2_codec.h"
#include "sm3.h"

namespace {

constexpr uint32_t max_point_length = 256;

// x || y of a key object's EC point (completed from its container first):
// its last 64 bytes. With `marked` the point must also be the uncompressed
// point (sm2_point_marked).
CK_RV point_xy(pkcs11_token* token, pkcs11_object& key, uint8_t xy[64], bool marked = false) {
    if (CK_RV rv = complete_key(token, key); rv != CKR_OK) return rv;
    const pkcs11_attribute* point = key.attributes().find(CKA_EC_POINT);
    if (point == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (point->length() > max_point_length) return CKR_BUFFER_TOO_SMALL;
    if (marked && !sm2_point_marked(point->value)) return CKR_DATA_INVALID;
    const uint8_t* p = nullptr;
    if (!sm2_point_xy(point->value, p)) return CKR_DATA_INVALID;
    std::memcpy(xy, p, 64);
    return CKR_OK;
}

} // namespace

// ---- the handler ----

CK_RV pkcs11_token_sm2_handler::public_blob(pkcs11_object& key, ECCPUBLICKEYBLOB& blob) {
    uint8_t xy[64];
    if (CK_RV rv = point_xy(token_, key, xy); rv != CKR_OK) return rv;
    std::memset(&blob, 0, sizeof blob);
    blob.BitLen = 256;
    std::memcpy(blob.XCoordinate + 32, xy, 32);
    std::memcpy(blob.YCoordinate + 32, xy + 32, 32);
    return CKR_OK;
}

CK_RV pkcs11_token_sm2_handler::sm2_sign(pkcs11_object& key, const uint8_t* digest, uint32_t len,
                                         uint8_t* out, uint32_t* out_len) {
    if (out != nullptr && *out_len < sm2_signature_size) return CKR_BUFFER_TOO_SMALL;
    if (len != gm_sm2_value_size || digest == nullptr) return CKR_DATA_LEN_RANGE;
    if (out == nullptr) {
        *out_len = sm2_signature_size;
        return CKR_OK;
    }
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    ECCSIGNATUREBLOB sig{};
    const uint32_t rv = gm_ecc_sign_data(c->handle, device_key_spec(key), digest, len, &sig);
    close_container(c);
    if (rv != SAR_OK) return ckr_from_sar(rv, sar_use::private_key);
    std::memcpy(out, sig.r + 32, 32);
    std::memcpy(out + 32, sig.s + 32, 32);
    *out_len = sm2_signature_size;
    return CKR_OK;
}

CK_RV pkcs11_token_sm2_handler::sm2_verify(pkcs11_object& key, const uint8_t* digest, uint32_t len,
                                           const uint8_t* sig, uint32_t sig_len) {
    if (len != gm_sm2_value_size || digest == nullptr) return CKR_DATA_LEN_RANGE;
    if (sig_len != sm2_signature_size || sig == nullptr) return CKR_SIGNATURE_LEN_RANGE;
    ECCPUBLICKEYBLOB blob{};
    if (CK_RV rv = public_blob(key, blob); rv != CKR_OK) return rv;
    ECCSIGNATUREBLOB s{};
    std::memcpy(s.r + 32, sig, 32);
    std::memcpy(s.s + 32, sig + 32, 32);
    const uint32_t rv = SKF_ECCVerify(token_->device_handle(), &blob, digest, len, &s);
    return ckr_from_sar(rv, sar_use::verify);
}

CK_RV pkcs11_token_sm2_handler::sm2_encrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    const uint64_t required = uint64_t{len} + ECCCIPHERBLOB_FIXED_SIZE;
    if (required > 0xFFFFFFFFu) return CKR_DATA_LEN_RANGE;
    if (out == nullptr) {
        *out_len = static_cast<uint32_t>(required);
        return CKR_OK;
    }
    if (*out_len < required) {
        *out_len = static_cast<uint32_t>(required);
        return CKR_BUFFER_TOO_SMALL;
    }
    if (len == 0 || len > gm_sm2_encrypt_max || data == nullptr) return CKR_DATA_LEN_RANGE;
    ECCPUBLICKEYBLOB blob{};
    if (CK_RV rv = public_blob(key, blob); rv != CKR_OK) return rv;
    std::vector<uint8_t> record(ECCCIPHERBLOB_FIXED_SIZE + len);
    if (const uint32_t rv = SKF_ExtECCEncrypt(token_->device_handle(), &blob, data, len,
                                              reinterpret_cast<ECCCIPHERBLOB*>(record.data()));
        rv != SAR_OK)
        return rv;
    if (sm2_cipher_der_encode(record, out, out_len) != 0) return CKR_DATA_INVALID;
    return CKR_OK;
}

CK_RV pkcs11_token_sm2_handler::sm2_decrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    // The plain text is shorter than the DER cipher text: its length answers the query.
    if (out == nullptr) {
        *out_len = len;
        return CKR_OK;
    }
    if (*out_len < len) {
        *out_len = len;
        return CKR_BUFFER_TOO_SMALL;
    }
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    if (len > sm2_decrypt_input_max) return CKR_DATA_LEN_RANGE;
    if (len == 0 || data == nullptr || data[0] != 0x30) return CKR_DATA_INVALID;
    std::vector<uint8_t> record(ECCCIPHERBLOB_FIXED_SIZE + len);
    uint32_t record_size = 0;
    if (sm2_cipher_der_decode({data, len}, record, record_size) != 0) return CKR_DATA_INVALID;
    return ckr_from_sar(
        gm_ecc_private_decrypt(c->handle, device_key_spec(key),
                               reinterpret_cast<const ECCCIPHERBLOB*>(record.data()), out, out_len),
        sar_use::private_key);
}

namespace {

// Whether the container's pair of that key spec is the given public key
// (the card's "ExportPublicKey"). A slot without a key is not it.
bool slot_holds(HCONTAINER container, uint32_t spec, const ECCPUBLICKEYBLOB& key) {
    ECCPUBLICKEYBLOB held{};
    uint32_t length = sizeof held;
    if (SKF_ExportPublicKey(container, spec == key_spec_signature,
                            reinterpret_cast<uint8_t*>(&held), &length) != SAR_OK ||
        length != sizeof held)
        return false;
    return std::memcmp(held.XCoordinate + 32, key.XCoordinate + 32, 32) == 0 &&
           std::memcmp(held.YCoordinate + 32, key.YCoordinate + 32, 32) == 0;
}

} // namespace

CK_RV pkcs11_token_sm2_handler::sm2_generate_pair(const char* container_name,
                                                  pkcs11_object& public_key,
                                                  pkcs11_object& private_key) {
    const uint32_t wanted =
        public_key.object_key_spec() == key_spec_signature ? key_spec_signature : key_spec_exchange;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, public_key, c); rv != CKR_OK) return rv;
    // The card's key-pair generation names no pair: the card chooses by its
    // own rules which of the container's two pairs it makes (for both uses
    // the command carries SGD_SM2_1). The objects must name the pair that
    // holds the new key, or signing and decryption would address the other
    // one: the card is asked which of the two it is.
    ECCPUBLICKEYBLOB blob{};
    if (const uint32_t rv = SKF_GenECCKeyPair(c->handle, SGD_SM2_1, &blob); rv != SAR_OK) return rv;
    const uint32_t other = wanted == key_spec_signature ? key_spec_exchange : key_spec_signature;
    uint32_t spec = wanted;
    if (!slot_holds(c->handle, wanted, blob)) {
        if (!slot_holds(c->handle, other, blob)) return CKR_DEVICE_ERROR;
        spec = other;
    }
    std::memset(blob.XCoordinate, 0, 32);
    std::memset(blob.YCoordinate, 0, 32);
    key_pair_keep_id(*token_, container_name, public_key);

    uint8_t z[sm2_z_size];
    sm2_compute_z(blob, z);
    const auto point = sm2_point_attribute(blob.XCoordinate + 32, blob.YCoordinate + 32);
    key_pair_mark_generated(public_key, private_key, static_cast<uint32_t>(ZELT_CKK_SM2), spec);
    public_key.object_set_attribute(CKA_VALUE, &blob, sizeof blob);
    public_key.object_set_attribute(ZELT_CKA_SM2_ZA, z, sizeof z);
    key_pair_set(public_key, private_key, CKA_EC_POINT, point.data(), point.size());
    return CKR_OK;
}

// ---- the context classes ----

namespace {

// What the card-backed SM2 contexts share: the handler and the signature
// size rule.
class sm2_ctx_base : public card_key_ctx {
  public:
    sm2_ctx_base(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token)
        : card_key_ctx(m, std::move(key), token), handler_(token) {}

  protected:
    // The start of a signature final: a null output is a size query answered
    // with twice the signature size; a shorter buffer gets that length and
    // CKR_BUFFER_TOO_SMALL. `done` is set when the code is the step's answer.
    CK_RV signature_output(const uint8_t* sig, uint32_t* sig_len, bool& done) {
        done = true;
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (sig != nullptr && *sig_len >= sm2_signature_query_size) {
            done = false;
            return CKR_OK;
        }
        const CK_RV answer = sig == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        *sig_len = sm2_signature_query_size;
        return answer;
    }

    pkcs11_token_sm2_handler handler_;
};

// Naming of a new pair's container, identifier and key spec, then the pair on
// the card (ZELT_CKM_SM2 key-pair generation).
CK_RV generate_sm2_pair(pkcs11_token* token, pkcs11_token_sm2_handler& handler, pkcs11_object& pub,
                        pkcs11_object& priv) {
    if (token == nullptr) return CKR_GENERAL_ERROR;
    if (CK_RV rv = key_pair_names_fit(pub, priv); rv != CKR_OK) return rv;
    pkcs11_container_manager& mgr = token->containers();
    if (CK_RV rv = token->open_application(); rv != CKR_OK) return rv;
    if (mgr.application() != token->application()) (void)mgr.container_manager_load();
    if (!key_pair_mirror(pub, priv, ZELT_CKA_CONTAINER_NAME)) {
        const std::string name = mgr.container_name_for_new_key({}, {}, container_reuse::none, 0);
        key_pair_set(pub, priv, ZELT_CKA_CONTAINER_NAME, name.c_str(),
                     static_cast<uint32_t>(name.size() + 1));
    }

    if (CK_RV rv = key_pair_share_id_and_spec(pub, priv); rv != CKR_OK) return rv;

    const auto name = container_name_of(pub);
    if (!name) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = key_pair_container(*token, *name); rv != CKR_OK) return rv;
    return handler.sm2_generate_pair(name->c_str(), pub, priv);
}

// ZELT_CKM_SM2: the caller's 32-byte digest is signed or verified on the card;
// encryption on the card with the public key, decryption with the private key.
class hardware_sm2_ctx : public sm2_ctx_base {
  public:
    using sm2_ctx_base::sm2_ctx_base;

    CK_RV encrypt_init() override { return begin_plain(CKO_PUBLIC_KEY); }
    CK_RV decrypt_init() override { return begin_plain(CKO_PRIVATE_KEY); }
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        const CK_RV rv = handler_.sm2_encrypt(*key(), len, data, out_len, out);
        if (rv == CKR_OK && out != nullptr) finish();
        return rv;
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        const CK_RV rv = handler_.sm2_decrypt(*key(), len, data, out_len, out);
        if (rv == CKR_OK && out != nullptr) finish();
        return rv;
    }
    CK_RV sign_init() override { return begin_collect(CKO_PRIVATE_KEY); }
    CK_RV verify_init() override { return begin_collect(CKO_PUBLIC_KEY); }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return collect(data, len); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return collect(data, len); }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, done); done) return rv;
        if (CK_RV rv = handler_.sm2_sign(*key(), buffer_.data(), buffer_.unread(), sig, sig_len);
            rv != CKR_OK)
            return rv;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (sig_len != sm2_signature_size) return CKR_SIGNATURE_LEN_RANGE;
        if (CK_RV rv = handler_.sm2_verify(*key(), buffer_.data(), buffer_.unread(), sig, sig_len);
            rv != CKR_OK)
            return rv;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV generate_key_pair(pkcs11_object& pub, pkcs11_object& priv) override {
        return generate_sm2_pair(token(), handler_, pub, priv);
    }

  private:
    CK_RV begin_plain(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        start();
        return CKR_OK;
    }
    CK_RV begin_collect(uint32_t object_class) {
        if (CK_RV rv = key_of_class(object_class); rv != CKR_OK) return rv;
        buffer_.clear();
        start();
        return CKR_OK;
    }
    CK_RV collect(const uint8_t* data, uint32_t len) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (len == 0) return CKR_OK;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        if (buffer_.append(data, len) != len) return CKR_HOST_MEMORY;
        return CKR_OK;
    }

    key_ctx_buffer buffer_;
};

// ZELT_CKM_SM3_SM2: e = SM3(Z || message) in the library, signed or verified
// on the card. Z comes from the public key of the pair.
class hardware_sm3sm2_ctx : public sm2_ctx_base {
  public:
    using sm2_ctx_base::sm2_ctx_base;

    // Only the key check: every other encryption step is not supported.
    CK_RV encrypt_init() override {
        if (CK_RV rv = key_of_class(CKO_PUBLIC_KEY); rv != CKR_OK) return rv;
        start();
        return CKR_OK;
    }
    CK_RV sign_init() override {
        if (CK_RV rv = key_of_class(CKO_PRIVATE_KEY); rv != CKR_OK) return rv;
        pkcs11_object* twin = public_twin();
        if (twin == nullptr) return CKR_KEY_NEEDED;
        return begin(*twin, true);
    }
    CK_RV verify_init() override {
        if (CK_RV rv = key_of_class(CKO_PUBLIC_KEY); rv != CKR_OK) return rv;
        return begin(*key());
    }
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return feed(data, len); }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, done); done) return rv;
        uint8_t e[sm3_digest_size];
        message_digest(e);
        if (CK_RV rv = handler_.sm2_sign(*key(), e, sizeof e, sig, sig_len); rv != CKR_OK)
            return rv;
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (sig_len != sm2_signature_size) return CKR_SIGNATURE_LEN_RANGE;
        uint8_t e[sm3_digest_size];
        message_digest(e);
        if (CK_RV rv = handler_.sm2_verify(*key(), e, sizeof e, sig, sig_len); rv != CKR_OK)
            return rv;
        finish();
        return CKR_OK;
    }

  private:
    // The public key of the pair: exactly the private key's CKA_ID (a prefix
    // would join an exchange key "ab\0" to the signature pair "ab\0S"), of the
    // same container and key spec when the keys say so.
    pkcs11_object* public_twin() {
        if (token() == nullptr) return nullptr;
        const pkcs11_attribute* id = key()->attributes().find(CKA_ID);
        if (id == nullptr) return nullptr;
        const auto name = container_name_of(*key());
        const uint32_t spec = key()->object_key_spec();
        pkcs11_object* first = nullptr;
        for (const auto& o : token()->objects().objects()) {
            if (o->object_class() != CKO_PUBLIC_KEY) continue;
            const pkcs11_attribute* other = o->attributes().find(CKA_ID);
            if (other == nullptr || other->value != id->value) continue;
            if (name && container_name_of(*o) == name && o->object_key_spec() == spec)
                return o.get();
            if (first == nullptr) first = o.get();
        }
        return first;
    }
    // Z of the public key; a signature's key (the private key's twin) has its
    // point as the uncompressed point, a verification's any 64 bytes at the end.
    CK_RV begin(pkcs11_object& public_key, bool marked = false) {
        uint8_t xy[64];
        if (CK_RV rv = point_xy(token(), public_key, xy, marked); rv != CKR_OK) return rv;
        uint8_t z[sm2_z_size];
        sm2_compute_z_xy(xy, z);
        sm3_init(hash_);
        sm3_update(hash_, z, sizeof z);
        start();
        return CKR_OK;
    }
    CK_RV feed(const uint8_t* data, uint32_t len) {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        sm3_update(hash_, data, len);
        return CKR_OK;
    }
    // e over what was fed; the running state stays as it was, so a failed
    // card step leaves the operation as it stood.
    void message_digest(uint8_t e[sm3_digest_size]) {
        sm3_state copy = hash_;
        sm3_final(copy, e);
    }

    sm3_state hash_;
};

// ZELT_CKM_SM3 in the library. A multi-part digest (updates) and a one-shot
// digest (C_Digest, also its size query) are not mixed within one operation:
// the other kind of step is answered with CKR_OPERATION_ACTIVE.
class soft_sm3_ctx : public pkcs11_key_ctx {
  public:
    using pkcs11_key_ctx::pkcs11_key_ctx;

    CK_RV digest_init() override {
        sm3_init(state_);
        mode_ = mode::none;
        start();
        return CKR_OK;
    }
    CK_RV digest_update(const uint8_t* data, uint32_t len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (mode_ == mode::one_shot) return CKR_OPERATION_ACTIVE;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        mode_ = mode::multi_part;
        sm3_update(state_, data, len);
        return CKR_OK;
    }
    CK_RV digest_final(uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (mode_ == mode::one_shot) return CKR_OPERATION_ACTIVE;
        return write_digest(out, out_len);
    }
    CK_RV digest(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (mode_ == mode::multi_part) return CKR_OPERATION_ACTIVE;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        mode_ = mode::one_shot;
        if (out == nullptr || *out_len < sm3_digest_size) return write_digest(out, out_len);
        sm3_update(state_, data, len);
        return write_digest(out, out_len);
    }
    CK_RV derive_key(pkcs11_object& new_key) override {
        if (key() == nullptr) return CKR_KEY_HANDLE_INVALID;
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        const pkcs11_attribute* value = key()->attributes().find(CKA_VALUE);
        if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (value->length() > 64) return CKR_BUFFER_TOO_SMALL;
        uint8_t d[sm3_digest_size];
        ::sm3(value->value.data(), value->length(), d);
        uint32_t n = 16;
        if (const pkcs11_attribute* kt = new_key.attributes().find(CKA_KEY_TYPE); kt == nullptr) {
            const pkcs11_attribute* vl = new_key.attributes().find(CKA_VALUE_LEN);
            n = vl != nullptr ? vl->as_u32() : 0;
        } else if (kt->as_u32() == CKK_DES) {
            n = 8;
        } else if (kt->as_u32() == CKK_DES3) {
            n = 24;
        }
        if (n == 0) n = sm3_digest_size;
        // A key longer than the digest would take bytes that were never computed.
        if (n > sm3_digest_size) return CKR_TEMPLATE_INCONSISTENT;
        const uint8_t yes = 1;
        new_key.object_set_attribute(CKA_VALUE, d, n);
        new_key.object_set_attribute(CKA_LOCAL, &yes, 1);
        mbedtls_platform_zeroize(d, sizeof d);
        return CKR_OK;
    }

  private:
    enum class mode { none, one_shot, multi_part };

    // Size query: the length. Short buffer: the length and
    // CKR_BUFFER_TOO_SMALL, the state kept. Otherwise the digest, which ends
    // the operation.
    CK_RV write_digest(uint8_t* out, uint32_t* out_len) {
        if (out == nullptr) {
            *out_len = sm3_digest_size;
            return CKR_OK;
        }
        if (*out_len < sm3_digest_size) {
            *out_len = sm3_digest_size;
            return CKR_BUFFER_TOO_SMALL;
        }
        sm3_final(state_, out);
        *out_len = sm3_digest_size;
        finish();
        return CKR_OK;
    }

    sm3_state state_;
    mode mode_ = mode::none;
};

} // namespace

std::unique_ptr<pkcs11_key_ctx> make_sm2_ctx(const CK_MECHANISM& m,
                                             std::shared_ptr<pkcs11_object> key,
                                             pkcs11_token* token, uint8_t) {
    if (key == nullptr) return nullptr;
    return std::make_unique<hardware_sm2_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_sm3sm2_ctx(const CK_MECHANISM& m,
                                                std::shared_ptr<pkcs11_object> key,
                                                pkcs11_token* token, uint8_t) {
    if (key == nullptr) return nullptr;
    return std::make_unique<hardware_sm3sm2_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_soft_sm3_ctx(const CK_MECHANISM& m,
                                                  std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<soft_sm3_ctx>(m, std::move(key), token);
}
