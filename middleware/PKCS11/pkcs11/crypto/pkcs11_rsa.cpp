#include "pkcs11_rsa.h"

#include <mbedtls/md.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_object.h"
#include "pkcs11_token.h"

namespace {

constexpr uint32_t max_collected = 256; // PKCS#1 and raw contexts collect at most this much
constexpr const char* private_key_default_label = "A private object";

uint32_t device_key_spec(const pkcs11_object& key) {
    return key.object_is_signature_key() ? gm_key_spec_signature : gm_key_spec_exchange;
}

// The stored text of a name attribute (a trailing NUL is not part of it).
std::optional<std::string> container_name_of(const pkcs11_object& key) {
    const pkcs11_attribute* a = key.attributes().find(ZELT_CKA_CONTAINER_NAME);
    if (a == nullptr || a->length() == 0 || a->length() > container_name_capacity) return std::nullopt;
    const char* p = reinterpret_cast<const char*>(a->value.data());
    return std::string(p, strnlen(p, a->length()));
}

// The container of a key, opened through the token's application; the handle
// is kept in the container record for reuse.
CK_RV open_key_container(pkcs11_token& token, const pkcs11_object& key, pkcs11_container*& out) {
    out = nullptr;
    const auto name = container_name_of(key);
    if (!name) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = token.open_application(); rv != CKR_OK) return rv;
    pkcs11_container_manager& mgr = token.containers();
    if (mgr.application() != token.application() || mgr.list().find(*name) == nullptr) {
        if (CK_RV rv = mgr.container_manager_load(); rv != CKR_OK) return rv;
    }
    pkcs11_container* c = mgr.list().find(*name);
    if (c == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (c->handle == 0) {
        HCONTAINER handle = 0;
        if (const uint32_t rv = SKF_OpenContainer(token.application(), name->c_str(), &handle); rv != SAR_OK)
            return rv;
        c->handle = handle;
    }
    out = c;
    return CKR_OK;
}

void close_container(pkcs11_container* c) {
    if (c != nullptr && c->handle != 0) {
        (void)SKF_CloseContainer(c->handle);
        c->handle = 0;
    }
}

// Completes a token key from its container (modulus, exponent) when needed.
CK_RV complete_key(pkcs11_token* token, pkcs11_object& key) {
    if (token == nullptr || !key.object_needs_value_load()) return CKR_OK;
    return token->read_object_values(key);
}

CK_RV key_bytes(pkcs11_token* token, pkcs11_object& key, uint32_t& k) {
    if (CK_RV rv = complete_key(token, key); rv != CKR_OK) return rv;
    uint32_t bits = 0;
    if (CK_RV rv = rsa_modulus_bits(key, bits); rv != CKR_OK) return rv;
    k = bits / 8;
    return CKR_OK;
}

uint32_t x931_trailer(uint32_t hash_id, bool& present) {
    present = true;
    switch (hash_id) {
    case rsa_hash_sha1: return 0x33;
    case rsa_hash_sha256: return 0x34;
    case rsa_hash_sha384: return 0x36;
    case rsa_hash_sha512: return 0x35;
    case rsa_hash_none: present = false; return 0;
    default: return 0xFF;
    }
}

// A streaming digest of mbed TLS chosen by the card's hash identifier.
class rsa_digest {
  public:
    rsa_digest() { mbedtls_md_init(&ctx_); }
    ~rsa_digest() { mbedtls_md_free(&ctx_); }
    rsa_digest(const rsa_digest&) = delete;
    rsa_digest& operator=(const rsa_digest&) = delete;

    CK_RV start(uint32_t hash_id) {
        mbedtls_md_type_t type = MBEDTLS_MD_NONE;
        switch (hash_id) {
        case rsa_hash_md5: type = MBEDTLS_MD_MD5; break;
        case rsa_hash_sha1: type = MBEDTLS_MD_SHA1; break;
        case rsa_hash_sha256: type = MBEDTLS_MD_SHA256; break;
        case rsa_hash_sha384: type = MBEDTLS_MD_SHA384; break;
        case rsa_hash_sha512: type = MBEDTLS_MD_SHA512; break;
        default: return CKR_MECHANISM_INVALID;
        }
        const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
        if (info == nullptr) return CKR_MECHANISM_INVALID;
        mbedtls_md_free(&ctx_);
        mbedtls_md_init(&ctx_);
        started_ = false;
        if (mbedtls_md_setup(&ctx_, info, 0) != 0 || mbedtls_md_starts(&ctx_) != 0) return CKR_HOST_MEMORY;
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

// ---- rules without a card ----

CK_RV rsa_modulus_bits(const pkcs11_object& key, uint32_t& bits) {
    return key.object_rsa_bits(bits);
}

CK_RV pkcs1_type2_pad(uint8_t* block, uint32_t k, const uint8_t* data, uint32_t n) {
    if (uint64_t{k} < uint64_t{n} + 11) return CKR_DATA_LEN_RANGE;
    // Non-zero random padding bytes from the system's random source.
    std::random_device source;
    block[0] = 0x00;
    block[1] = 0x02;
    const uint32_t pad = k - n - 3;
    for (uint32_t i = 0; i < pad;) {
        const uint32_t word = source();
        for (int b = 0; b < 4 && i < pad; ++b) {
            const uint8_t byte = static_cast<uint8_t>(word >> (8 * b));
            if (byte != 0) block[2 + i++] = byte;
        }
    }
    block[2 + pad] = 0x00;
    if (n != 0) std::memmove(block + 3 + pad, data, n);
    return CKR_OK;
}

CK_RV x931_format(uint8_t* block, uint32_t k, const uint8_t* input, uint32_t m, uint32_t hash_id) {
    bool present = false;
    const uint8_t trailer = static_cast<uint8_t>(x931_trailer(hash_id, present));
    const uint64_t total = uint64_t{m} + (present ? 1 : 0);
    if (total + 2 > k) return CKR_DATA_INVALID;
    const uint32_t r = static_cast<uint32_t>(k - total - 2);
    uint32_t pos = 0;
    if (r == 0) {
        block[pos++] = 0x6A;
    } else {
        block[pos++] = 0x6B;
        std::memset(block + pos, 0xBB, r - 1);
        pos += r - 1;
        block[pos++] = 0xBA;
    }
    if (m != 0) std::memmove(block + pos, input, m);
    pos += m;
    if (present) block[pos++] = trailer;
    block[pos++] = 0xCC;
    return CKR_OK;
}

CK_RV x931_check(const uint8_t* block, uint32_t k, uint32_t& payload_offset, uint32_t& payload_length) {
    if (k < 3) return CKR_DATA_INVALID;
    if (block[0] == 0x6A) {
        payload_offset = 1;
        payload_length = k - 2;
    } else if (block[0] == 0x6B) {
        uint32_t count = 0;
        uint32_t i = 1;
        bool ended = false;
        for (; i < 1 + (k - 3); ++i) {
            if (block[i] == 0xBB) {
                ++count;
            } else if (block[i] == 0xBA) {
                ended = true;
                break;
            } else {
                return CKR_DATA_INVALID;
            }
        }
        if (!ended || count == 0) return CKR_DATA_INVALID;
        payload_offset = i + 1;
        payload_length = k - 3 - count;
    } else {
        return CKR_DATA_INVALID;
    }
    if (payload_offset + payload_length >= k || block[payload_offset + payload_length] != 0xCC)
        return CKR_DATA_INVALID;
    return CKR_OK;
}

// ---- the handler ----

CK_RV pkcs11_token_rsa_handler::rsa_public_blob(pkcs11_object& key, RSAPUBLICKEYBLOB& blob) {
    if (CK_RV rv = complete_key(token_, key); rv != CKR_OK) return rv;
    const pkcs11_attribute* modulus = key.attributes().find(CKA_MODULUS);
    const pkcs11_attribute* exponent = key.attributes().find(CKA_PUBLIC_EXPONENT);
    if (modulus == nullptr || exponent == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    // Leading zero bytes are no part of the number.
    const uint8_t* m = modulus->value.data();
    uint32_t m_len = modulus->length();
    while (m_len > 0 && *m == 0) ++m, --m_len;
    const uint8_t* e = exponent->value.data();
    uint32_t e_len = exponent->length();
    while (e_len > 0 && *e == 0) ++e, --e_len;
    if (m_len > sizeof blob.Modulus) return CKR_KEY_SIZE_RANGE;
    if (e_len > sizeof blob.PublicExponent || e_len == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::memset(&blob, 0, sizeof blob);
    blob.AlgID = SGD_RSA;
    blob.BitLen = 8 * m_len;
    std::memcpy(blob.Modulus + sizeof blob.Modulus - m_len, m, m_len);
    std::memcpy(blob.PublicExponent + sizeof blob.PublicExponent - e_len, e, e_len);
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_sign(pkcs11_object& key, uint32_t hash_id, const uint8_t* data, uint32_t len,
                                         uint8_t* sig, uint32_t* sig_len) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (*sig_len < k && sig != nullptr) return CKR_BUFFER_TOO_SMALL;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (sig == nullptr) {
        *sig_len = k;
        return CKR_OK;
    }
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    uint32_t produced = k;
    const uint32_t rv = gm_rsa_sign_data(c->handle, device_key_spec(key), hash_id, data, len, sig, &produced);
    close_container(c);
    if (rv != SAR_OK) return rv;
    if (produced != 128 && produced != 256) return CKR_DEVICE_ERROR;
    *sig_len = produced;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_verify(pkcs11_object& key, uint32_t hash_id, const uint8_t* data, uint32_t len,
                                           const uint8_t* sig, uint32_t sig_len) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (sig_len != k) return CKR_SIGNATURE_LEN_RANGE;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    static const uint8_t empty = 0;
    const uint32_t rv = gm_rsa_verify(token_->device_handle(), &blob, hash_id, data != nullptr ? data : &empty, len,
                                      sig, sig_len);
    return ckr_from_sar(rv, sar_use::verify);
}

CK_RV pkcs11_token_rsa_handler::rsa_public_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k) return CKR_DATA_LEN_RANGE;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    uint32_t out_len = len;
    return SKF_ExtRSAPubKeyOperation(token_->device_handle(), &blob, buffer, len, buffer, &out_len);
}

CK_RV pkcs11_token_rsa_handler::rsa_private_raw(pkcs11_object& key, uint32_t len, uint8_t* buffer) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k) return CKR_DATA_LEN_RANGE;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    uint32_t out_len = len;
    return gm_rsa_private_operation(c->handle, device_key_spec(key), buffer, len, buffer, &out_len);
}

CK_RV pkcs11_token_rsa_handler::rsa_encrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len > k - 11) return CKR_DATA_LEN_RANGE;
    if (out == nullptr) {
        *out_len = k;
        return CKR_OK;
    }
    if (*out_len < k) return CKR_BUFFER_TOO_SMALL;
    RSAPUBLICKEYBLOB blob{};
    if (CK_RV rv = rsa_public_blob(key, blob); rv != CKR_OK) return rv;
    std::vector<uint8_t> block(k);
    if (CK_RV rv = pkcs1_type2_pad(block.data(), k, data, len); rv != CKR_OK) return rv;
    uint32_t produced = k;
    if (const uint32_t rv =
            SKF_ExtRSAPubKeyOperation(token_->device_handle(), &blob, block.data(), k, block.data(), &produced);
        rv != SAR_OK)
        return rv;
    if (produced != k) return CKR_DEVICE_ERROR;
    std::memcpy(out, block.data(), k);
    *out_len = k;
    return CKR_OK;
}

CK_RV pkcs11_token_rsa_handler::rsa_decrypt(pkcs11_object& key, uint32_t len, const uint8_t* data,
                                            uint32_t* out_len, uint8_t* out) {
    uint32_t k = 0;
    if (CK_RV rv = key_bytes(token_, key, k); rv != CKR_OK) return rv;
    if (len != k || *out_len < k - 11) return CKR_DATA_LEN_RANGE;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, key, c); rv != CKR_OK) return rv;
    return gm_rsa_private_decrypt(c->handle, device_key_spec(key), data, len, out, out_len);
}

CK_RV pkcs11_token_rsa_handler::rsa_wrap(pkcs11_object& key, pkcs11_object& to_wrap, uint8_t* out,
                                         uint32_t* out_len) {
    const pkcs11_attribute* value = to_wrap.attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value->length() > 64) return CKR_BUFFER_TOO_SMALL;
    return rsa_encrypt(key, value->length(), value->value.data(), out_len, out);
}

CK_RV pkcs11_token_rsa_handler::rsa_generate_pair(const char* container_name, pkcs11_object& public_key,
                                                  pkcs11_object& private_key) {
    const uint32_t spec = public_key.object_key_spec() == key_spec_signature ? key_spec_signature
                                                                             : key_spec_exchange;
    uint32_t bits = 0;
    if (rsa_modulus_bits(public_key, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
    pkcs11_container* c = nullptr;
    if (CK_RV rv = open_key_container(*token_, public_key, c); rv != CKR_OK) return rv;
    RSAPUBLICKEYBLOB blob{};
    if (const uint32_t rv = gm_gen_rsa_key_pair(
            c->handle, spec == key_spec_signature ? gm_key_spec_signature : gm_key_spec_exchange, bits, &blob);
        rv != SAR_OK)
        return rv;
    // The identifier file: the keys' CKA_ID survives a reload of the container.
    if (const pkcs11_attribute* id = public_key.attributes().find(CKA_ID);
        id != nullptr && id->length() != 0 && id->length() <= key_id_file_max)
        (void)token_->containers().container_write_key_id(container_name, id->value);

    const uint32_t k = bits / 8;
    const uint8_t* modulus = blob.Modulus + sizeof blob.Modulus - k;
    const uint32_t public_class = CKO_PUBLIC_KEY;
    const uint32_t private_class = CKO_PRIVATE_KEY;
    const uint32_t rsa = CKK_RSA;
    const uint8_t yes = 1;
    const pkcs11_attribute* name = public_key.attributes().find(ZELT_CKA_CONTAINER_NAME);
    const std::vector<uint8_t> stored_name = name != nullptr ? name->value : std::vector<uint8_t>{};

    public_key.object_set_attribute(CKA_CLASS, &public_class, 4);
    public_key.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
    public_key.object_set_attribute(CKA_KEY_TYPE, &rsa, 4);
    public_key.object_set_attribute(CKA_MODULUS, modulus, k);
    public_key.object_set_attribute(CKA_PUBLIC_EXPONENT, blob.PublicExponent, 4);
    public_key.object_set_attribute(CKA_LOCAL, &yes, 1);
    public_key.object_set_attribute(CKA_TOKEN, &yes, 1);
    public_key.object_set_attribute(ZELT_CKA_KEY_SPEC, &spec, 4);
    public_key.object_set_attribute(ZELT_CKA_CONTAINER_NAME, stored_name.data(),
                                    static_cast<uint32_t>(stored_name.size()));

    private_key.object_set_attribute(CKA_CLASS, &private_class, 4);
    private_key.object_set_attribute(CKA_KEY_TYPE, &rsa, 4);
    private_key.object_set_attribute(CKA_MODULUS, modulus, k);
    private_key.object_set_attribute(CKA_PUBLIC_EXPONENT, blob.PublicExponent, 4);
    private_key.object_set_attribute(CKA_LOCAL, &yes, 1);
    private_key.object_set_attribute(CKA_TOKEN, &yes, 1);
    private_key.object_set_attribute(ZELT_CKA_KEY_SPEC, &spec, 4);
    private_key.object_set_attribute(ZELT_CKA_CONTAINER_NAME, stored_name.data(),
                                     static_cast<uint32_t>(stored_name.size()));
    return CKR_OK;
}

// ---- the context classes ----

namespace {

// What every RSA context shares: the handler, the collected data, the key
// check at every step and the card-backed answer CKR_MECHANISM_INVALID for
// what the mechanism cannot do.
class rsa_ctx : public pkcs11_key_ctx {
  public:
    rsa_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token)
        : pkcs11_key_ctx(m, std::move(key), token), handler_(token) {}

    CK_RV encrypt_init() override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt_final(uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV encrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_init() override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt_final(uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV decrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV generate_key_pair(pkcs11_object&, pkcs11_object&) override { return CKR_MECHANISM_INVALID; }
    CK_RV wrap_key(pkcs11_object&, uint8_t*, uint32_t*) override { return CKR_MECHANISM_INVALID; }
    CK_RV unwrap_key(const uint8_t*, uint32_t, pkcs11_object&) override { return CKR_MECHANISM_INVALID; }

    // One-shot steps: init, update and final, so that a size query followed
    // by a second call with a buffer works.
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

}  // namespace

// The card makes every RSA key with the exponent F4 = 65537. An application
// that asks for another one (CKA_PUBLIC_EXPONENT in a template, big-endian,
// PKCS#11 v2.20 section 12.1.4) cannot have it, and must not silently get F4.
bool rsa_exponent_is_cards(const pkcs11_object& o) {
    const pkcs11_attribute* e = o.attributes().find(CKA_PUBLIC_EXPONENT);
    if (e == nullptr) return true;
    size_t i = 0;
    while (i < e->value.size() && e->value[i] == 0) ++i;
    static constexpr uint8_t f4[] = {0x01, 0x00, 0x01};
    return e->value.size() - i == sizeof f4 && std::equal(f4, f4 + sizeof f4, e->value.begin() + i);
}

namespace {

// Key-pair generation of the PKCS#1 and X9.31 contexts: naming of the pair's
// container, identifier and key spec, then the pair on the card.
CK_RV generate_rsa_pair(pkcs11_token* token, pkcs11_token_rsa_handler& handler, pkcs11_object& pub,
                        pkcs11_object& priv) {
    if (token == nullptr) return CKR_GENERAL_ERROR;
    if (!rsa_exponent_is_cards(pub) || !rsa_exponent_is_cards(priv)) return CKR_TEMPLATE_INCONSISTENT;
    const auto name_of = [](const pkcs11_object& o) { return o.attributes().find(ZELT_CKA_CONTAINER_NAME); };
    const pkcs11_attribute* pub_name = name_of(pub);
    const pkcs11_attribute* priv_name = name_of(priv);
    for (const pkcs11_attribute* n : {pub_name, priv_name})
        if (n != nullptr && n->length() > container_name_capacity) return CKR_ATTRIBUTE_VALUE_INVALID;
    bool named_by_label = false;
    if (pub_name == nullptr && priv_name == nullptr) {
        std::string name;
        const pkcs11_attribute* label = priv.attributes().find(CKA_LABEL);
        if (label != nullptr && label->length() != 0) {
            const char* p = reinterpret_cast<const char*>(label->value.data());
            name.assign(p, strnlen(p, label->length()));
            // The private-key class's default label is no name the application
            // chose: every unlabelled pair would share (and overwrite) one container.
            if (name == private_key_default_label) {
                name.clear();
            } else {
                pub.object_set_attribute(CKA_LABEL, label->value.data(), label->length());
            }
        }
        // A label the card cannot take as a container name gives a generated one.
        if (name.empty() || !container_name_acceptable(name)) {
            name = generate_container_name();
        } else {
            named_by_label = true;
        }
        pub.object_set_attribute(ZELT_CKA_CONTAINER_NAME, name.c_str(), static_cast<uint32_t>(name.size() + 1));
        priv.object_set_attribute(ZELT_CKA_CONTAINER_NAME, name.c_str(), static_cast<uint32_t>(name.size() + 1));
    } else if (pub_name == nullptr) {
        const std::vector<uint8_t> v = priv_name->value;
        pub.object_set_attribute(ZELT_CKA_CONTAINER_NAME, v.data(), static_cast<uint32_t>(v.size()));
    } else if (priv_name == nullptr) {
        const std::vector<uint8_t> v = pub_name->value;
        priv.object_set_attribute(ZELT_CKA_CONTAINER_NAME, v.data(), static_cast<uint32_t>(v.size()));
    }

    const pkcs11_attribute* pub_id = pub.attributes().find(CKA_ID);
    const pkcs11_attribute* priv_id = priv.attributes().find(CKA_ID);
    if (pub_id == nullptr && priv_id == nullptr) {
        std::string id;
        random_hex(id, 32);
        pub.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
        priv.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
    } else if (pub_id == nullptr) {
        const std::vector<uint8_t> v = priv_id->value;
        pub.object_set_attribute(CKA_ID, v.data(), static_cast<uint32_t>(v.size()));
    } else if (priv_id == nullptr) {
        const std::vector<uint8_t> v = pub_id->value;
        priv.object_set_attribute(CKA_ID, v.data(), static_cast<uint32_t>(v.size()));
    } else if (pub_id->value != priv_id->value) {
        return CKR_TEMPLATE_INCONSISTENT;
    }

    const pkcs11_attribute* pub_spec = pub.attributes().find(ZELT_CKA_KEY_SPEC);
    const pkcs11_attribute* priv_spec = priv.attributes().find(ZELT_CKA_KEY_SPEC);
    if (pub_spec == nullptr && priv_spec == nullptr) {
        const uint32_t one = key_spec_exchange;
        pub.object_set_attribute(ZELT_CKA_KEY_SPEC, &one, 4);
        priv.object_set_attribute(ZELT_CKA_KEY_SPEC, &one, 4);
    } else if (pub_spec == nullptr) {
        const std::vector<uint8_t> v = priv_spec->value;
        pub.object_set_attribute(ZELT_CKA_KEY_SPEC, v.data(), static_cast<uint32_t>(v.size()));
    } else if (priv_spec == nullptr) {
        const std::vector<uint8_t> v = pub_spec->value;
        priv.object_set_attribute(ZELT_CKA_KEY_SPEC, v.data(), static_cast<uint32_t>(v.size()));
    }

    uint32_t bits = 0;
    if (rsa_modulus_bits(pub, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;

    pkcs11_container_manager& mgr = token->containers();
    // A label that names a container already holding a pair of this key spec
    // would have the card overwrite that pair: the new pair gets a container of
    // its own.
    if (named_by_label) {
        const auto labelled = container_name_of(pub);
        if (labelled && mgr.container_has_key(*labelled, pub.object_key_spec())) {
            const std::string fresh = generate_container_name();
            pub.object_set_attribute(ZELT_CKA_CONTAINER_NAME, fresh.c_str(), static_cast<uint32_t>(fresh.size() + 1));
            priv.object_set_attribute(ZELT_CKA_CONTAINER_NAME, fresh.c_str(),
                                      static_cast<uint32_t>(fresh.size() + 1));
        }
    }

    const auto name = container_name_of(pub);
    if (!name || !container_name_acceptable(*name)) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = token->open_application(); rv != CKR_OK) return rv;
    if (mgr.application() != token->application() || mgr.list().find(*name) == nullptr)
        (void)mgr.container_manager_load();
    if (mgr.list().find(*name) == nullptr) {
        if (CK_RV rv = mgr.container_create(*name); rv != CKR_OK && rv != ZELT_CKR_CONTAINER_EXISTS) return rv;
    }
    if (mgr.list().find(*name) == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    // The change counter is read (on a new token: created) before this
    // process's own change bumps it, so that the bump is not taken for another
    // process's change at the next search, which would drop and rebuild the
    // token's key objects and leave the handles of the new pair invalid.
    if (!mgr.counter().value()) (void)mgr.cache_counter_reload();
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
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return collect(data, len, true); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return collect(data, len, true); }
    CK_RV sign_final(uint8_t* sig, uint32_t* sig_len) override {
        uint32_t k = 0;
        bool done = true;
        if (CK_RV rv = signature_output(sig, sig_len, k, done); done) return rv;
        const std::vector<uint8_t> data = collected();
        if (CK_RV rv = handler_.rsa_sign(*key(), rsa_hash_none, data.data(), static_cast<uint32_t>(data.size()),
                                         sig, sig_len);
            rv != CKR_OK)
            return rv;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig_len != k) return CKR_SIGNATURE_LEN_RANGE;
        const std::vector<uint8_t> data = collected();
        if (CK_RV rv = handler_.rsa_verify(*key(), rsa_hash_none, data.data(), static_cast<uint32_t>(data.size()),
                                           sig, sig_len);
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
        if (CK_RV rv = decrypt_with(wrapped, len, plain.data(), &plain_len); rv != CKR_OK) return rv;
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
    CK_RV sign_update(const uint8_t* data, uint32_t len) override { return collect(data, len, true); }
    CK_RV verify_update(const uint8_t* data, uint32_t len) override { return collect(data, len, true); }
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
        if (CK_RV rv = handler_.rsa_private_raw(*key(), k, block.data()); rv != CKR_OK) return rv;
        std::memcpy(sig, block.data(), k);
        *sig_len = k;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig_len != k || buffer_.unread() != k) return CKR_SIGNATURE_LEN_RANGE;
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
    CK_RV generate_key_pair(pkcs11_object&, pkcs11_object&) override { return CKR_FUNCTION_NOT_SUPPORTED; }
    CK_RV wrap_key(pkcs11_object&, uint8_t*, uint32_t*) override { return CKR_FUNCTION_NOT_SUPPORTED; }
    CK_RV unwrap_key(const uint8_t*, uint32_t, pkcs11_object&) override { return CKR_FUNCTION_NOT_SUPPORTED; }

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
    hash_rsa_pkcs_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token,
                      uint32_t hash_id)
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
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig_len != k) return CKR_SIGNATURE_LEN_RANGE;
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
    rsa_x931_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token, uint32_t hash_id)
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
        if (CK_RV rv = x931_format(block.data(), k, input.data(), static_cast<uint32_t>(input.size()), hash_id_);
            rv != CKR_OK)
            return rv;
        if (CK_RV rv = handler_.rsa_private_raw(*key(), k, block.data()); rv != CKR_OK) return rv;
        std::memcpy(sig, block.data(), k);
        *sig_len = k;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV verify_final(const uint8_t* sig, uint32_t sig_len) override {
        if (CK_RV rv = ready(); rv != CKR_OK) return rv;
        uint32_t k = 0;
        if (CK_RV rv = modulus_bytes(k); rv != CKR_OK) return rv;
        if (sig_len != k) return CKR_SIGNATURE_LEN_RANGE;
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
        if (length != expected.size() || std::memcmp(block.data() + offset, expected.data(), length) != 0)
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

uint32_t hash_id_for(uint32_t mechanism) {
    switch (mechanism) {
    case CKM_MD5_RSA_PKCS: return rsa_hash_md5;
    case CKM_SHA1_RSA_PKCS: return rsa_hash_sha1;
    case CKM_SHA256_RSA_PKCS: return rsa_hash_sha256;
    case CKM_SHA384_RSA_PKCS: return rsa_hash_sha384;
    case CKM_SHA512_RSA_PKCS: return rsa_hash_sha512;
    case CKM_SHA1_RSA_X9_31: return rsa_hash_sha1;
    default: return rsa_hash_none;
    }
}

} // namespace

std::unique_ptr<pkcs11_key_ctx> make_rsa_pkcs_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_pkcs_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_rsa_raw_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                 pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_raw_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_md5rsa_pkcs_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                     pkcs11_token* token, uint8_t) {
    return std::make_unique<hash_rsa_pkcs_ctx>(m, std::move(key), token, rsa_hash_md5);
}
std::unique_ptr<pkcs11_key_ctx> make_shaxrsa_pkcs_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                      pkcs11_token* token, uint8_t) {
    return std::make_unique<hash_rsa_pkcs_ctx>(m, std::move(key), token,
                                               hash_id_for(static_cast<uint32_t>(m.mechanism)));
}
std::unique_ptr<pkcs11_key_ctx> make_rsa_x931_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_x931_ctx>(m, std::move(key), token, rsa_hash_none);
}
std::unique_ptr<pkcs11_key_ctx> make_rsa_sha_x931_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                                      pkcs11_token* token, uint8_t) {
    return std::make_unique<rsa_x931_ctx>(m, std::move(key), token, rsa_hash_sha1);
}
