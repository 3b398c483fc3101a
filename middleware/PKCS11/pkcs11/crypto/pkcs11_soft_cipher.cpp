#include "pkcs11_soft_cipher.h"

#include <mbedtls/des.h>
#include <mbedtls/platform_util.h>

#include <cstring>
#include <vector>

#include "gm_api.h"
#include "key_parser.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_token.h"
#include "rc2.h"

namespace {

constexpr uint32_t block = 8;
constexpr uint32_t max_key_value = 256;

// The key object's CKA_VALUE. Absent: CKR_ATTRIBUTE_TYPE_INVALID; over 256
// bytes: CKR_BUFFER_TOO_SMALL; empty: CKR_KEY_SIZE_RANGE (no cipher runs
// with an empty key).
CK_RV key_value(const pkcs11_object* key, const pkcs11_attribute*& value) {
    if (key == nullptr) return CKR_KEY_HANDLE_INVALID;
    value = key->attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value->length() > max_key_value) return CKR_BUFFER_TOO_SMALL;
    if (value->length() == 0) return CKR_KEY_SIZE_RANGE;
    return CKR_OK;
}

// The context shared by the three classes: direction, the rule that a
// one-shot step does not finish a multi-part operation, and key generation.
class soft_cipher_ctx : public pkcs11_key_ctx {
  public:
    using pkcs11_key_ctx::pkcs11_key_ctx;

    CK_RV encrypt_init() override { return init(true); }
    CK_RV decrypt_init() override { return init(false); }

    // CKA_VALUE_LEN random bytes from the card become the new key's CKA_VALUE.
    CK_RV generate_key() override {
        if (key() == nullptr || token() == nullptr) return CKR_GENERAL_ERROR;
        const pkcs11_attribute* len = key()->attributes().find(CKA_VALUE_LEN);
        if (len == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (len->length() > 4) return CKR_BUFFER_TOO_SMALL;
        const uint32_t n = len->as_u32();
        if (n == 0 || n > max_key_value || !key_length_allowed(n)) return CKR_KEY_SIZE_RANGE;
        std::vector<uint8_t> bytes(n);
        if (const uint32_t rv = SKF_GenRandom(token()->device_handle(), bytes.data(), n);
            rv != SAR_OK)
            return rv;
        key()->object_set_attribute(CKA_VALUE, bytes.data(), n);
        mbedtls_platform_zeroize(bytes.data(), bytes.size());
        return CKR_OK;
    }

  protected:
    virtual CK_RV setup() = 0;
    virtual bool key_length_allowed(uint32_t) const { return true; }

    CK_RV init(bool encrypt) {
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        if (CK_RV rv = setup(); rv != CKR_OK) return rv;
        encrypting_ = encrypt;
        updated_ = false;
        start();
        return CKR_OK;
    }
    // Active, and initialised for this direction (encryption and decryption
    // share the session's cipher slot).
    CK_RV ready(bool encrypt) const {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        return encrypt == encrypting_ ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
    }
    CK_RV ready_one_shot(bool encrypt) const {
        if (CK_RV rv = ready(encrypt); rv != CKR_OK) return rv;
        // A one-shot step cannot end an operation that has taken updates.
        return updated_ ? CKR_OPERATION_ACTIVE : CKR_OK;
    }

    bool encrypting_ = true;
    bool updated_ = false;
};

// RC2 and DES3: whole 8-byte blocks, a partial block kept for the next update.
class soft_block_ctx : public soft_cipher_ctx {
  public:
    using soft_cipher_ctx::soft_cipher_ctx;

    CK_RV encrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update_step(true, data, len, out, out_len);
    }
    CK_RV decrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update_step(false, data, len, out, out_len);
    }
    CK_RV encrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(true, out, out_len);
    }
    CK_RV decrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(false, out, out_len);
    }

    // Encryption asks for room for one block more than the whole blocks of
    // the input.
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready_one_shot(true); rv != CKR_OK) return rv;
        const uint64_t required = (uint64_t{len} & ~uint64_t{block - 1}) + block;
        return one_shot(true, required, data, len, out, out_len);
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready_one_shot(false); rv != CKR_OK) return rv;
        return one_shot(false, len, data, len, out, out_len);
    }

  protected:
    // One block in place-safe form (in and out may be the same).
    virtual CK_RV process_block(const uint8_t* in, uint8_t* out, bool encrypt) = 0;

    CK_RV clear_buffer() {
        buffer_.clear();
        return CKR_OK;
    }

  private:
    CK_RV update_step(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out,
                      uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt); rv != CKR_OK) return rv;
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        CK_RV rv = process(encrypt, data, len, out, out_len);
        if (rv == CKR_OK && out != nullptr) updated_ = true;
        return rv;
    }
    // Size query: the whole blocks that the data completes, nothing kept.
    // A buffer shorter than that: the length and CKR_BUFFER_TOO_SMALL, nothing
    // consumed.
    CK_RV process(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out,
                  uint32_t* out_len) {
        const uint64_t total = uint64_t{buffer_.unread()} + len;
        const uint64_t produce = total & ~uint64_t{block - 1};
        if (produce > 0xFFFFFFFFu) return CKR_DATA_LEN_RANGE;
        if (out == nullptr) {
            *out_len = static_cast<uint32_t>(produce);
            return CKR_OK;
        }
        if (*out_len < produce) {
            *out_len = static_cast<uint32_t>(produce);
            return CKR_BUFFER_TOO_SMALL;
        }
        if (len != 0 && buffer_.append(data, len) != len) return CKR_HOST_MEMORY;
        uint8_t in[block];
        for (uint64_t at = 0; at < produce; at += block) {
            buffer_.take(in, block);
            if (CK_RV rv = process_block(in, out + at, encrypt); rv != CKR_OK) return rv;
        }
        mbedtls_platform_zeroize(in, sizeof in);
        *out_len = static_cast<uint32_t>(produce);
        return CKR_OK;
    }
    CK_RV final_step(bool encrypt, uint8_t* out, uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt); rv != CKR_OK) return rv;
        const uint32_t rest = buffer_.unread();
        // Without padding, the data must have been whole blocks.
        if (rest % block != 0) return CKR_DATA_LEN_RANGE;
        *out_len = 0;
        if (out == nullptr) return CKR_OK;
        buffer_.clear();
        finish();
        return CKR_OK;
    }
    CK_RV one_shot(bool encrypt, uint64_t required, const uint8_t* data, uint32_t len, uint8_t* out,
                   uint32_t* out_len) {
        if (required > 0xFFFFFFFFu) return CKR_DATA_LEN_RANGE;
        if (out == nullptr) {
            *out_len = static_cast<uint32_t>(required);
            return CKR_OK;
        }
        if (*out_len < required) {
            *out_len = static_cast<uint32_t>(required);
            return CKR_BUFFER_TOO_SMALL;
        }
        if (len % block != 0) return CKR_DATA_LEN_RANGE;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        uint32_t produced = *out_len;
        if (CK_RV rv = process(encrypt, data, len, out, &produced); rv != CKR_OK) return rv;
        buffer_.clear();
        *out_len = produced;
        finish();
        return CKR_OK;
    }

  protected:
    key_ctx_buffer buffer_;
};

// CKM_RC2_ECB, CKM_RC2_CBC (and CKM_RC2_KEY_GEN).
class soft_rc2_ctx : public soft_block_ctx {
  public:
    using soft_block_ctx::soft_block_ctx;

  protected:
    CK_RV setup() override {
        const pkcs11_attribute* value = nullptr;
        if (CK_RV rv = key_value(key(), value); rv != CKR_OK) return rv;
        schedule_ = {};
        std::memset(chain_, 0, sizeof chain_);
        uint64_t bits = 0;
        const std::vector<uint8_t>& p = parameter();
        switch (mechanism_type()) {
        case CKM_RC2_ECB:
            // CK_RC2_PARAMS: the effective bits as a CK_ULONG.
            if (!p.empty()) {
                if (p.size() != sizeof(CK_RC2_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
                CK_RC2_PARAMS b = 0;
                std::memcpy(&b, p.data(), sizeof b);
                bits = b;
            }
            cbc_ = false;
            break;
        case CKM_RC2_CBC:
            // CK_RC2_CBC_PARAMS in the host's layout: effective bits, then the IV.
            if (!p.empty()) {
                if (p.size() != sizeof(CK_RC2_CBC_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
                CK_RC2_CBC_PARAMS cbc{};
                std::memcpy(&cbc, p.data(), sizeof cbc);
                bits = cbc.ulEffectiveBits;
                std::memcpy(chain_, cbc.iv, sizeof chain_);
            }
            cbc_ = true;
            break;
        default:
            return CKR_MECHANISM_INVALID;
        }
        if (bits > rc2_max_effective_bits) bits = rc2_max_effective_bits;
        rc2_key_expand(schedule_, value->length(), value->value.data(),
                       static_cast<uint32_t>(bits));
        return clear_buffer();
    }
    CK_RV process_block(const uint8_t* in, uint8_t* out, bool encrypt) override {
        if (cbc_)
            rc2_cbc_encrypt(in, out, block, schedule_, chain_, encrypt);
        else
            rc2_ecb_encrypt(schedule_, in, out, encrypt);
        return CKR_OK;
    }

  private:
    rc2_schedule schedule_;
    uint8_t chain_[8] = {};
    bool cbc_ = false;
};

// CKM_DES3_ECB, CKM_DES3_CBC: DES-EDE with K1 K2 K3 (24 bytes) or K1 K2 K1
// (16 bytes).
class soft_des3_ctx : public soft_block_ctx {
  public:
    soft_des3_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key, pkcs11_token* token)
        : soft_block_ctx(m, std::move(key), token) {
        mbedtls_des3_init(&enc_);
        mbedtls_des3_init(&dec_);
    }
    ~soft_des3_ctx() override {
        mbedtls_des3_free(&enc_);
        mbedtls_des3_free(&dec_);
        mbedtls_platform_zeroize(chain_, sizeof chain_);
    }

    CK_RV wrap_key(pkcs11_object& to_wrap, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = encrypt_init(); rv != CKR_OK) return rv;
        const pkcs11_attribute* value = to_wrap.attributes().find(CKA_VALUE);
        if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        return encrypt(value->value.data(), value->length(), out, out_len);
    }
    CK_RV unwrap_key(const uint8_t* wrapped, uint32_t len, pkcs11_object& new_key) override {
        // Nothing wrapped is no key: decrypting into an empty buffer would
        // be a size query, and its success an empty key.
        if (len == 0) return CKR_WRAPPED_KEY_LEN_RANGE;
        if (CK_RV rv = decrypt_init(); rv != CKR_OK) return rv;
        std::vector<uint8_t> plain(len);
        uint32_t plain_len = len;
        CK_RV rv = decrypt(wrapped, len, plain.data(), &plain_len);
        if (rv == CKR_OK) rv = take_unwrapped(plain.data(), plain_len, new_key);
        mbedtls_platform_zeroize(plain.data(), plain.size());
        return rv;
    }

  protected:
    CK_RV setup() override {
        const pkcs11_attribute* value = nullptr;
        if (CK_RV rv = key_value(key(), value); rv != CKR_OK) return rv;
        std::memset(chain_, 0, sizeof chain_);
        switch (mechanism_type()) {
        case CKM_DES3_ECB:
            cbc_ = false;
            break;
        case CKM_DES3_CBC:
            // The IV is exactly one block.
            if (parameter().size() != block) return CKR_MECHANISM_PARAM_INVALID;
            std::memcpy(chain_, parameter().data(), block);
            cbc_ = true;
            break;
        default:
            return CKR_MECHANISM_INVALID;
        }
        mbedtls_des3_free(&enc_);
        mbedtls_des3_free(&dec_);
        mbedtls_des3_init(&enc_);
        mbedtls_des3_init(&dec_);
        const uint8_t* k = value->value.data();
        int ok = -1;
        if (value->length() == 24) {
            ok = mbedtls_des3_set3key_enc(&enc_, k) | mbedtls_des3_set3key_dec(&dec_, k);
        } else if (value->length() == 16) {
            ok = mbedtls_des3_set2key_enc(&enc_, k) | mbedtls_des3_set2key_dec(&dec_, k);
        } else {
            return CKR_KEY_SIZE_RANGE;
        }
        if (ok != 0) return CKR_FUNCTION_FAILED;
        return clear_buffer();
    }
    bool key_length_allowed(uint32_t n) const override { return n == 16 || n == 24; }
    CK_RV process_block(const uint8_t* in, uint8_t* out, bool encrypt) override {
        uint8_t b[block];
        std::memcpy(b, in, block);
        int rc = 0;
        if (!cbc_) {
            rc = mbedtls_des3_crypt_ecb(encrypt ? &enc_ : &dec_, b, out);
        } else if (encrypt) {
            for (uint32_t i = 0; i < block; ++i)
                b[i] ^= chain_[i];
            rc = mbedtls_des3_crypt_ecb(&enc_, b, chain_);
            std::memcpy(out, chain_, block);
        } else {
            uint8_t plain[block];
            rc = mbedtls_des3_crypt_ecb(&dec_, b, plain);
            for (uint32_t i = 0; i < block; ++i)
                out[i] = plain[i] ^ chain_[i];
            std::memcpy(chain_, b, block);
        }
        return rc == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
    }

  private:
    // A private key receives the RSA components of the DER key it was, a
    // secret key the bytes as its CKA_VALUE.
    static CK_RV take_unwrapped(const uint8_t* plain, uint32_t len, pkcs11_object& new_key) {
        const int64_t c = new_key.object_class();
        if (c == CKO_SECRET_KEY) {
            new_key.object_set_attribute(CKA_VALUE, plain, len);
            return CKR_OK;
        }
        if (c != CKO_PRIVATE_KEY) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
        return rsa_private_key_from_der(plain, len, new_key);
    }

    mbedtls_des3_context enc_;
    mbedtls_des3_context dec_;
    uint8_t chain_[8] = {};
    bool cbc_ = false;
};

// CKM_RC4 (and CKM_RC4_KEY_GEN): a stream cipher, the same step both ways.
class soft_rc4_ctx : public soft_cipher_ctx {
  public:
    using soft_cipher_ctx::soft_cipher_ctx;
    ~soft_rc4_ctx() override { mbedtls_platform_zeroize(&state_, sizeof state_); }

    CK_RV encrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update_step(true, data, len, out, out_len);
    }
    CK_RV decrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update_step(false, data, len, out, out_len);
    }
    CK_RV encrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(true, out, out_len);
    }
    CK_RV decrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(false, out, out_len);
    }
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return one_shot(true, data, len, out, out_len);
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return one_shot(false, data, len, out, out_len);
    }

  protected:
    CK_RV setup() override {
        if (mechanism_type() != CKM_RC4) return CKR_MECHANISM_INVALID;
        const pkcs11_attribute* value = nullptr;
        if (CK_RV rv = key_value(key(), value); rv != CKR_OK) return rv;
        rc4_set_key(state_, value->length(), value->value.data());
        return CKR_OK;
    }

  private:
    // A size query answers the length and leaves the key stream where it is.
    CK_RV crypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) {
        if (out == nullptr) {
            *out_len = len;
            return CKR_OK;
        }
        if (*out_len < len) {
            *out_len = len;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        rc4_crypt(state_, len, data, out);
        *out_len = len;
        return CKR_OK;
    }
    CK_RV update_step(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out,
                      uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt); rv != CKR_OK) return rv;
        const CK_RV rv = crypt(data, len, out, out_len);
        if (rv == CKR_OK && out != nullptr) updated_ = true;
        return rv;
    }
    CK_RV final_step(bool encrypt, uint8_t* out, uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt); rv != CKR_OK) return rv;
        *out_len = 0;
        if (out != nullptr) finish();
        return CKR_OK;
    }
    CK_RV one_shot(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out,
                   uint32_t* out_len) {
        if (CK_RV rv = ready_one_shot(encrypt); rv != CKR_OK) return rv;
        const CK_RV rv = crypt(data, len, out, out_len);
        if (rv == CKR_OK && out != nullptr) finish();
        return rv;
    }

    rc4_state state_;
};

} // namespace

std::unique_ptr<pkcs11_key_ctx> make_soft_rc2_ctx(const CK_MECHANISM& m,
                                                  std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<soft_rc2_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_soft_rc4_ctx(const CK_MECHANISM& m,
                                                  std::shared_ptr<pkcs11_object> key,
                                                  pkcs11_token* token, uint8_t) {
    return std::make_unique<soft_rc4_ctx>(m, std::move(key), token);
}
std::unique_ptr<pkcs11_key_ctx> make_soft_des3_ctx(const CK_MECHANISM& m,
                                                   std::shared_ptr<pkcs11_object> key,
                                                   pkcs11_token* token, uint8_t) {
    // A digest initialisation passes no key: no context.
    if (key == nullptr) return nullptr;
    return std::make_unique<soft_des3_ctx>(m, std::move(key), token);
}
