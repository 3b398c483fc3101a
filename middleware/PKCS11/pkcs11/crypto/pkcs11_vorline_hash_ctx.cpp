#include "pkcs11_vorline_hash_ctx.h"

#include <array>
#include <vector>

#include "gm_frame.h"
#include "pkcs11_algo.h"
#include "pkcs11_device_rv.h"
#include "pkcs11_mechanism.h"
#include "pkcs11_object.h"
#include "pkcs11_token.h"

namespace {

// A key derivation by a digest (its row's CKF_DERIVE), not a digest.
bool is_derivation(uint32_t mechanism) {
    const mechanism_row* row = mechanism_find(mechanism);
    return row != nullptr && (row->flags & CKF_DERIVE) != 0;
}

// A key value digested for a derivation is at most this long.
constexpr uint32_t max_derive_value = 64;

class pkcs11_vorline_hash_ctx final : public pkcs11_key_ctx {
  public:
    pkcs11_vorline_hash_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object> key,
                            pkcs11_token* token)
        : pkcs11_key_ctx(m, std::move(key), token), handler_(token) {
        (void)algo_lookup(mechanism_type(), algo_);
    }

    CK_RV digest_init() override {
        if (is_derivation(mechanism_type()) || algo_.digest_length == 0)
            return CKR_MECHANISM_INVALID;
        data_.clear();
        style_ = style::none;
        start();
        return CKR_OK;
    }

    CK_RV digest_update(const uint8_t* data, uint32_t len) override {
        if (CK_RV rv = ready(style::multipart); rv != CKR_OK) return rv;
        if (len == 0) return CKR_OK;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        if (data_.size() + len > vorline_hash_max_data) return CKR_DATA_LEN_RANGE;
        data_.insert(data_.end(), data, data + len);
        return CKR_OK;
    }

    CK_RV digest_final(uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(style::multipart); rv != CKR_OK) return rv;
        if (CK_RV rv = size_rule(out, out_len); rv != CKR_OK || out == nullptr) return rv;
        const CK_RV rv = handler_.digest_once(algo_.device_alg, data_.data(),
                                              static_cast<uint32_t>(data_.size()), out, out_len);
        data_.clear();
        finish();
        return rv;
    }

    CK_RV digest(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = ready(style::oneshot); rv != CKR_OK) return rv;
        if (CK_RV rv = size_rule(out, out_len); rv != CKR_OK || out == nullptr) return rv;
        if (len != 0 && data == nullptr) return CKR_ARGUMENTS_BAD;
        const CK_RV rv = handler_.digest_once(algo_.device_alg, data, len, out, out_len);
        finish();
        return rv;
    }

    CK_RV derive_key(pkcs11_object& new_key) override {
        if (!is_derivation(mechanism_type())) return CKR_MECHANISM_INVALID;
        if (key() == nullptr) return CKR_KEY_HANDLE_INVALID;
        const pkcs11_attribute* value = key()->attributes().find(CKA_VALUE);
        if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (value->length() > max_derive_value) return CKR_BUFFER_TOO_SMALL;
        std::array<uint8_t, 64> digest{};
        uint32_t digest_len = digest.size();
        if (CK_RV rv = handler_.digest_once(algo_.device_alg, value->value.data(), value->length(),
                                            digest.data(), &digest_len);
            rv != CKR_OK)
            return rv;
        uint32_t n = 16;
        if (const pkcs11_attribute* type = new_key.attributes().find(CKA_KEY_TYPE);
            type == nullptr) {
            const pkcs11_attribute* value_len = new_key.attributes().find(CKA_VALUE_LEN);
            n = value_len != nullptr ? value_len->as_u32() : 0;
        } else if (type->as_u32() == CKK_DES) {
            n = 8;
        } else if (type->as_u32() == CKK_DES3) {
            n = 24;
        }
        if (n == 0) n = digest_len;
        // A key longer than the digest would be filled with bytes that are
        // not the digest.
        if (n > digest_len) return CKR_TEMPLATE_INCONSISTENT;
        new_key.object_set_attribute(CKA_VALUE, digest.data(), n);
        const uint8_t yes = 1;
        new_key.object_set_attribute(CKA_LOCAL, &yes, 1);
        digest.fill(0);
        return CKR_OK;
    }

  private:
    // A one-shot C_Digest (also its size query) and the update/final steps
    // of one operation do not mix: the second style is refused.
    enum class style { none, oneshot, multipart };

    CK_RV ready(style wanted) {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (style_ != style::none && style_ != wanted) return CKR_OPERATION_ACTIVE;
        style_ = wanted;
        return CKR_OK;
    }

    CK_RV size_rule(const uint8_t* out, uint32_t* out_len) const {
        if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
        const uint32_t needed = algo_.digest_length;
        if (out == nullptr) {
            *out_len = needed;
            return CKR_OK;
        }
        if (*out_len < needed) {
            *out_len = needed;
            return CKR_BUFFER_TOO_SMALL;
        }
        return CKR_OK;
    }

    pkcs11_token_digest_handler handler_;
    pkcs11_algo algo_;
    std::vector<uint8_t> data_;
    style style_ = style::none;
};

} // namespace

CK_RV pkcs11_token_digest_handler::digest_once(uint32_t device_alg, const uint8_t* data,
                                               uint32_t len, uint8_t* out, uint32_t* out_len) {
    if (token_ == nullptr) return CKR_CANCEL;
    if (token_->ensure_device() != CKR_OK) return CKR_CANCEL;
    // DigestInit to the digest's end in one hold of the device mutex (it is
    // recursive for this thread, and the device API's calls take it too).
    gm_api_lock lock;
    if (!lock.locked()) return CKR_CANT_LOCK;
    close();
    if (SKF_DigestInit(token_->device_handle(), device_alg, nullptr, nullptr, 0, &digest_) !=
        SAR_OK) {
        digest_ = 0;
        return CKR_CANCEL;
    }
    const uint32_t rv = SKF_Digest(digest_, data, len, out, out_len);
    close();
    return ckr_from_sar(rv, sar_use::digest);
}

void pkcs11_token_digest_handler::close() {
    if (digest_ != 0) (void)SKF_CloseHandle(digest_);
    digest_ = 0;
}

std::unique_ptr<pkcs11_key_ctx> make_vorline_hash_ctx(const CK_MECHANISM& m,
                                                      std::shared_ptr<pkcs11_object> key,
                                                      pkcs11_token* token, uint8_t) {
    if (token == nullptr) return nullptr;
    return std::make_unique<pkcs11_vorline_hash_ctx>(m, std::move(key), token);
}
