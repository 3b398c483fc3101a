// Digests of the library (MD5, SHA-1, SHA-256, SHA-384, SHA-512) computed with
// the mbed TLS streaming digests, for the digest class of the factory table
// until the card's digest functions are part of the device API. The key
// derivations by hash of the same class are not offered by this context.
#include <mbedtls/md.h>

#include <cstring>

#include "pkcs11_key_ctx.h"

namespace {

mbedtls_md_type_t md_type_for(uint32_t mechanism) {
    switch (mechanism) {
    case CKM_MD5: return MBEDTLS_MD_MD5;
    case CKM_SHA_1: return MBEDTLS_MD_SHA1;
    case CKM_SHA256: return MBEDTLS_MD_SHA256;
    case CKM_SHA384: return MBEDTLS_MD_SHA384;
    case CKM_SHA512: return MBEDTLS_MD_SHA512;
    default: return MBEDTLS_MD_NONE;
    }
}

class soft_digest_ctx : public pkcs11_key_ctx {
  public:
    soft_digest_ctx(const CK_MECHANISM& m, const mbedtls_md_info_t* info)
        : pkcs11_key_ctx(m, nullptr, nullptr), info_(info) {
        mbedtls_md_init(&ctx_);
    }
    ~soft_digest_ctx() override { mbedtls_md_free(&ctx_); }

    CK_RV digest_init() override {
        mbedtls_md_free(&ctx_);
        mbedtls_md_init(&ctx_);
        if (mbedtls_md_setup(&ctx_, info_, 0) != 0 || mbedtls_md_starts(&ctx_) != 0) return CKR_HOST_MEMORY;
        start();
        return CKR_OK;
    }
    CK_RV digest_update(const uint8_t* data, uint32_t len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        if (len == 0) return CKR_OK;
        if (data == nullptr) return CKR_ARGUMENTS_BAD;
        return mbedtls_md_update(&ctx_, data, len) == 0 ? CKR_OK : CKR_FUNCTION_FAILED;
    }
    // Size query and short buffer keep the state; the digest ends the operation.
    CK_RV digest_final(uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        const uint32_t size = mbedtls_md_get_size(info_);
        if (out == nullptr) {
            *out_len = size;
            return CKR_OK;
        }
        if (*out_len < size) {
            *out_len = size;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (mbedtls_md_finish(&ctx_, out) != 0) return CKR_FUNCTION_FAILED;
        *out_len = size;
        finish();
        return CKR_OK;
    }
    CK_RV digest(const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* out_len) override {
        if (CK_RV rv = check_active(); rv != CKR_OK) return rv;
        const uint32_t size = mbedtls_md_get_size(info_);
        if (out == nullptr) {
            *out_len = size;
            return CKR_OK;
        }
        if (*out_len < size) {
            *out_len = size;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (CK_RV rv = digest_update(data, len); rv != CKR_OK) return rv;
        return digest_final(out, out_len);
    }

  private:
    const mbedtls_md_info_t* info_;
    mbedtls_md_context_t ctx_;
};

} // namespace

// Null for the mechanisms of the class that are not digests.
std::unique_ptr<pkcs11_key_ctx> make_soft_digest_ctx(const CK_MECHANISM& m, std::shared_ptr<pkcs11_object>,
                                                     pkcs11_token*, uint8_t) {
    const mbedtls_md_type_t type = md_type_for(static_cast<uint32_t>(m.mechanism));
    if (type == MBEDTLS_MD_NONE) return nullptr;
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(type);
    if (info == nullptr) return nullptr;
    return std::make_unique<soft_digest_ctx>(m, info);
}
