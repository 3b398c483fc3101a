#include "pkcs11_vorline_symetric_ctx.h"

#include <array>
#include <cstring>
#include <vector>

#include "key_parser.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_token.h"

namespace {

// The largest key value imported as a session key; a key object with a
// longer one names its card key by ZELT_CKA_GM_HANDLE instead.
constexpr uint32_t max_import_value = 64;

// Device-API results of the cipher steps as PKCS#11 results.
CK_RV cipher_rv(uint32_t rv, bool encrypt) {
    return ckr_from_sar(rv, encrypt ? sar_use::encrypt : sar_use::decrypt);
}

bool block_mode(uint32_t device_alg) {
    return (device_alg & 0xF) == 1 || (device_alg & 0xF) == 2;
}

class pkcs11_vorline_symetric_ctx final : public pkcs11_key_ctx {
  public:
    pkcs11_vorline_symetric_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                                pkcs11_token* token, uint8_t cipher_path)
        : pkcs11_key_ctx(m, std::move(key), token), handler_(token), cipher_path_(cipher_path) {
        algo_fill(mechanism_type(), this->key(), algo_);
    }

    CK_RV encrypt_init() override { return init(true); }
    CK_RV decrypt_init() override { return init(false); }

    CK_RV encrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update(true, data, len, out, out_len);
    }
    CK_RV decrypt_update(const uint8_t* data, uint32_t len, uint8_t* out,
                         uint32_t* out_len) override {
        return update(false, data, len, out, out_len);
    }
    CK_RV encrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return oneshot(true, data, len, out, out_len);
    }
    CK_RV decrypt(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        return oneshot(false, data, len, out, out_len);
    }
    CK_RV encrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(true, out, out_len);
    }
    CK_RV decrypt_final(uint8_t* out, uint32_t* out_len) override {
        return final_step(false, out, out_len);
    }

    CK_RV generate_key() override {
        if (!algo_is_key_gen(mechanism_type())) return CKR_MECHANISM_INVALID;
        if (key() == nullptr) return CKR_GENERAL_ERROR;
        // The generation mechanism names the key type (PKCS#11 v2.20 section
        // 10.7); a template that names another one is inconsistent. (The
        // secret-key class default is 0.)
        const uint32_t type = algo_key_type(mechanism_type());
        const pkcs11_attribute* given = key()->attributes().find(CKA_KEY_TYPE);
        const uint32_t given_type = given != nullptr ? given->as_u32() : 0;
        if (type != 0 && given_type != 0 && given_type != type) return CKR_TEMPLATE_INCONSISTENT;
        if (CK_RV rv = handler_.symm_generate_key(*key(), algo_); rv != CKR_OK) return rv;
        if (type != 0) key()->object_set_attribute(CKA_KEY_TYPE, &type, sizeof type);
        return CKR_OK;
    }

    CK_RV wrap_key(pkcs11_object& target, uint8_t* out, uint32_t* out_len) override {
        // Only token keys are wrapped by the card cipher.
        const pkcs11_attribute* token_flag = target.attributes().find(CKA_TOKEN);
        if (token_flag == nullptr || token_flag->length() != 1 || token_flag->value[0] == 0)
            return CKR_FUNCTION_NOT_SUPPORTED;
        const pkcs11_attribute* value = target.attributes().find(CKA_VALUE);
        if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (CK_RV rv = encrypt_init(); rv != CKR_OK) return rv;
        return encrypt(value->value.data(), value->length(), out, out_len);
    }

    CK_RV unwrap_key(const uint8_t* wrapped, uint32_t len, pkcs11_object& new_key) override {
        // Nothing wrapped is no key: decrypting into an empty buffer would
        // be a size query, and its success an empty key.
        if (len == 0) return CKR_WRAPPED_KEY_LEN_RANGE;
        if (CK_RV rv = decrypt_init(); rv != CKR_OK) return rv;
        std::vector<uint8_t> plain(len);
        uint32_t plain_len = len;
        if (CK_RV rv = decrypt(wrapped, len, plain.data(), &plain_len); rv != CKR_OK) return rv;
        plain.resize(plain_len);
        const int64_t cls = new_key.object_class();
        if (cls == CKO_SECRET_KEY) {
            new_key.object_set_attribute(CKA_VALUE, plain.data(), plain_len);
        } else if (cls == CKO_PRIVATE_KEY) {
            if (CK_RV rv = rsa_private_key_from_der(plain.data(), plain.size(), new_key);
                rv != CKR_OK)
                return rv;
        } else {
            return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
        }
        std::fill(plain.begin(), plain.end(), uint8_t{0});
        return CKR_OK;
    }

  private:
    // How the running operation is being driven: a one-shot call (also a
    // one-shot size query) and the update/final steps do not mix.
    enum class style { none, oneshot, multipart };

    CK_RV init(bool encrypt) {
        if (key() == nullptr) return CKR_KEY_HANDLE_INVALID;
        if (CK_RV rv = key_check(); rv != CKR_OK) return rv;
        if (key()->object_class() != CKO_SECRET_KEY) return CKR_KEY_FUNCTION_NOT_PERMITTED;
        if (algo_.block_size == 0 || algo_is_key_gen(mechanism_type()))
            return CKR_MECHANISM_INVALID;
        if (const uint32_t type = algo_key_type(mechanism_type()); type != 0) {
            // 0, the class default, names no type.
            const pkcs11_attribute* key_type = key()->attributes().find(CKA_KEY_TYPE);
            if (key_type != nullptr && key_type->as_u32() != 0 && key_type->as_u32() != type)
                return CKR_KEY_TYPE_INCONSISTENT;
        }
        // The IV: none for ECB; exactly one block for CBC (PKCS#11 v2.20
        // section 12), which also keeps it inside the 32-byte IV record.
        const std::vector<uint8_t>& param = parameter();
        const bool cbc = (algo_.device_alg & 0xF) == 2;
        if (cbc && param.size() != algo_.block_size) return CKR_MECHANISM_PARAM_INVALID;
        if (!cbc && !param.empty()) return CKR_MECHANISM_PARAM_INVALID;
        if (CK_RV rv = handler_.symm_init(encrypt, algo_, param.data(),
                                          static_cast<uint32_t>(param.size()), *key());
            rv != CKR_OK)
            return rv;
        encrypting_ = encrypt;
        style_ = style::none;
        start();
        return CKR_OK;
    }

    CK_RV ready(bool encrypt, style wanted) {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (encrypting_ != encrypt) return CKR_OPERATION_NOT_INITIALIZED;
        if (handler_.key_handle() == 0) return CKR_OPERATION_NOT_INITIALIZED;
        if (style_ != style::none && style_ != wanted) return CKR_OPERATION_ACTIVE;
        style_ = wanted;
        return CKR_OK;
    }

    CK_RV update(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt, style::multipart); rv != CKR_OK) return rv;
        // A context made for the direct path calls the device's own cipher
        // itself; otherwise the device API picks the path for the key.
        const HANDLE k = handler_.key_handle();
        const uint32_t rv = cipher_path_ != 0
                                ? (encrypt ? gm_encrypt_update_direct(k, data, len, out, out_len)
                                           : gm_decrypt_update_direct(k, data, len, out, out_len))
                                : (encrypt ? SKF_EncryptUpdate(k, data, len, out, out_len)
                                           : SKF_DecryptUpdate(k, data, len, out, out_len));
        return cipher_rv(rv, encrypt);
    }

    CK_RV oneshot(bool encrypt, const uint8_t* data, uint32_t len, uint8_t* out,
                  uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt, style::oneshot); rv != CKR_OK) return rv;
        // ECB and CBC without padding take whole blocks only.
        if (algo_.padding == 0 && block_mode(algo_.device_alg) && len % algo_.block_size != 0)
            return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
        const HANDLE k = handler_.key_handle();
        const uint32_t rv = cipher_path_ != 0
                                ? (encrypt ? gm_encrypt_direct(k, data, len, out, out_len)
                                           : gm_decrypt_direct(k, data, len, out, out_len))
                                : (encrypt ? SKF_Encrypt(k, data, len, out, out_len)
                                           : SKF_Decrypt(k, data, len, out, out_len));
        if (out == nullptr) return cipher_rv(rv, encrypt);
        return done(cipher_rv(rv, encrypt));
    }

    CK_RV final_step(bool encrypt, uint8_t* out, uint32_t* out_len) {
        if (CK_RV rv = ready(encrypt, style::multipart); rv != CKR_OK) return rv;
        const uint32_t rv = encrypt ? SKF_EncryptFinal(handler_.key_handle(), out, out_len)
                                    : SKF_DecryptFinal(handler_.key_handle(), out, out_len);
        if (out == nullptr) return cipher_rv(rv, encrypt);
        return done(cipher_rv(rv, encrypt));
    }

    // The operation has ended (with its output, or with an error that ends
    // it): the imported card key goes.
    CK_RV done(CK_RV rv) {
        if (rv == CKR_BUFFER_TOO_SMALL) return rv;
        if (handler_.imported()) (void)handler_.symm_release();
        finish();
        return rv;
    }

    pkcs11_token_cryption_handler handler_;
    pkcs11_algo algo_;
    // Non-zero: update and one-shot calls go to the direct-path entries.
    uint8_t cipher_path_;
    bool encrypting_ = false;
    style style_ = style::none;
};

} // namespace

// ---- handler ----

CK_RV pkcs11_token_cryption_handler::symm_generate_key(pkcs11_object& key,
                                                       const pkcs11_algo& algo) {
    uint32_t device_alg = 0;
    if (CK_RV rv = algo_device_alg_for_key(algo, algo.key_length, device_alg); rv != CKR_OK)
        return rv;
    std::array<uint8_t, 32> value{};
    if (CK_RV rv = token_->token_random(value.data(), algo.key_length); rv != CKR_OK) return rv;
    const uint32_t length = algo.key_length;
    key.object_set_attribute(CKA_VALUE, value.data(), length);
    key.object_set_attribute(CKA_VALUE_LEN, &length, sizeof length);
    const uint8_t yes = 1;
    key.object_set_attribute(CKA_LOCAL, &yes, 1);
    const uint32_t none = 0;
    key.object_set_attribute(ZELT_CKA_GM_HANDLE, &none, sizeof none);
    value.fill(0);
    return CKR_OK;
}

CK_RV pkcs11_token_cryption_handler::symm_init(bool encrypt, const pkcs11_algo& algo,
                                               const uint8_t* iv, uint32_t iv_length,
                                               pkcs11_object& key) {
    BLOCKCIPHERPARAM param{};
    if (iv_length > sizeof param.IV) return CKR_MECHANISM_PARAM_INVALID;
    const pkcs11_attribute* value = key.attributes().find(CKA_VALUE);
    if (value != nullptr && value->length() <= max_import_value) {
        if (CK_RV rv = symm_release(); rv != CKR_OK) return rv;
        uint32_t device_alg = 0;
        if (CK_RV rv = algo_device_alg_for_key(algo, value->length(), device_alg); rv != CKR_OK)
            return rv;
        if (CK_RV rv = token_->open_application(); rv != CKR_OK) return rv;
        if (const uint32_t rv =
                SKF_OpenContainer(token_->application(), gm_reserved_name, &container_);
            rv != SAR_OK)
            return rv;
        if (const uint32_t rv = gm_set_symm_key(container_, value->value.data(), value->length(),
                                                device_alg, &key_);
            rv != SAR_OK)
            return rv;
        imported_ = true;
    } else {
        const pkcs11_attribute* handle = key.attributes().find(ZELT_CKA_GM_HANDLE);
        if (handle == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (handle->length() > 8) return CKR_BUFFER_TOO_SMALL;
        key_ = handle->as_u32();
        imported_ = false;
    }
    if (iv_length != 0) std::memcpy(param.IV, iv, iv_length);
    param.IVLen = iv_length;
    param.PaddingType = algo.padding;
    param.FeedBitLen = 0;
    const uint32_t rv = encrypt ? SKF_EncryptInit(key_, param) : SKF_DecryptInit(key_, param);
    return ckr_from_sar(rv, sar_use::cipher_init);
}

CK_RV pkcs11_token_cryption_handler::symm_release() {
    if (key_ != 0 && imported_) {
        if (const uint32_t rv = SKF_CloseHandle(key_); rv != SAR_OK) return rv;
    }
    key_ = 0;
    imported_ = false;
    if (container_ != 0) {
        (void)SKF_CloseContainer(container_);
        container_ = 0;
    }
    return CKR_OK;
}

std::unique_ptr<pkcs11_key_ctx> make_vorline_symetric_ctx(const CK_MECHANISM& m,
                                                          std::shared_ptr<pkcs11_object> key,
                                                          pkcs11_token* token,
                                                          uint8_t cipher_path) {
    if (token == nullptr) return nullptr;
    return std::make_unique<pkcs11_vorline_symetric_ctx>(m, std::move(key), token, cipher_path);
}
