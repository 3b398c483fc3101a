#include "pkcs11_key_ctx.h"

#include <cstring>

#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_sm2.h"
#include "pkcs11_soft_cipher.h"
#include "pkcs11_token.h"
#include "pkcs11_vorline_hash_ctx.h"
#include "pkcs11_vorline_symetric_ctx.h"

// ---- key_ctx_buffer ----

uint32_t key_ctx_buffer::append(const uint8_t* bytes, uint32_t n) {
    if (n == 0) return 0;
    const uint64_t unread_now = unread();
    if (unread_now + 2ull * n > 0xFFFFFFFFull) return 0;
    if (!storage_) {
        storage_ = std::make_unique<uint8_t[]>(2ull * n); // zeroed
        capacity_ = 2 * n;
        read_ = write_ = 0;
    } else if (read_ != 0) {
        std::memmove(storage_.get(), storage_.get() + read_, unread_now);
        write_ -= read_;
        read_ = 0;
    }
    if (capacity_ < n + unread_now) {
        const uint32_t grown = static_cast<uint32_t>(unread_now + 2ull * n);
        auto bigger = std::make_unique<uint8_t[]>(grown);
        if (unread_now != 0) std::memcpy(bigger.get(), storage_.get(), unread_now);
        storage_ = std::move(bigger);
        capacity_ = grown;
    }
    if (bytes != nullptr)
        std::memcpy(storage_.get() + write_, bytes, n);
    else
        std::memset(storage_.get() + write_, 0, n);
    write_ += n;
    return n;
}

uint32_t key_ctx_buffer::take(uint8_t* out, uint32_t n) {
    if (n > unread()) n = unread();
    if (n == 0) return 0;
    if (out != nullptr) std::memcpy(out, storage_.get() + read_, n);
    read_ += n;
    return n;
}

void key_ctx_buffer::clear() {
    storage_.reset();
    read_ = write_ = capacity_ = 0;
}

// ---- pkcs11_key_ctx: the base behaviour ----

pkcs11_key_ctx::pkcs11_key_ctx(const CK_MECHANISM& mechanism, std::shared_ptr<pkcs11_object> key,
                               pkcs11_token* token)
    : mechanism_type_(static_cast<uint32_t>(mechanism.mechanism)), key_(std::move(key)),
      token_(token) {
    if (mechanism.pParameter != nullptr && mechanism.ulParameterLen != 0) {
        const auto* p = static_cast<const uint8_t*>(mechanism.pParameter);
        parameter_.assign(p, p + mechanism.ulParameterLen);
    }
}

pkcs11_key_ctx::~pkcs11_key_ctx() = default;

CK_RV pkcs11_key_ctx::key_check() const {
    if (key_ == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (token_ == nullptr) return CKR_OK;
    return token_->objects().find(key_->handle()) == key_.get() ? CKR_OK : CKR_KEY_HANDLE_INVALID;
}

// An init only marks the operation begun. Every step a class does not
// implement answers CKR_FUNCTION_NOT_SUPPORTED: the base has no output to
// write, and success without output would leave the caller's buffer and
// length as if a result were in them (its error also ends the operation).
CK_RV pkcs11_key_ctx::encrypt_init() {
    start();
    return CKR_OK;
}
CK_RV pkcs11_key_ctx::encrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::encrypt_final(uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::encrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV pkcs11_key_ctx::decrypt_init() {
    start();
    return CKR_OK;
}
CK_RV pkcs11_key_ctx::decrypt_update(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::decrypt_final(uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::decrypt(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV pkcs11_key_ctx::digest_init() {
    start();
    return CKR_OK;
}
CK_RV pkcs11_key_ctx::digest_update(const uint8_t*, uint32_t) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::digest_final(uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::digest(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV pkcs11_key_ctx::sign_init() {
    start();
    return CKR_OK;
}
CK_RV pkcs11_key_ctx::sign_update(const uint8_t*, uint32_t) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::sign_final(uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::sign(const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

// A verification the class does not implement is never answered "valid".
CK_RV pkcs11_key_ctx::verify_init() {
    start();
    return CKR_OK;
}
CK_RV pkcs11_key_ctx::verify(const uint8_t*, uint32_t, const uint8_t*, uint32_t) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::verify_update(const uint8_t*, uint32_t) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::verify_final(const uint8_t*, uint32_t) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV pkcs11_key_ctx::generate_key() {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::generate_key_pair(pkcs11_object&, pkcs11_object&) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::wrap_key(pkcs11_object&, uint8_t*, uint32_t*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::unwrap_key(const uint8_t*, uint32_t, pkcs11_object&) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV pkcs11_key_ctx::derive_key(pkcs11_object&) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

// ---- the factory ----

namespace {

using kind = key_ctx_kind;

using constructor = std::unique_ptr<pkcs11_key_ctx> (*)(const CK_MECHANISM&,
                                                        std::shared_ptr<pkcs11_object>,
                                                        pkcs11_token*, uint8_t cipher_path);

// The constructor of each context class.
constructor constructor_for(key_ctx_kind k) {
    switch (k) {
    case kind::rsa_pkcs:
        return &make_rsa_pkcs_ctx;
    case kind::rsa_raw:
        return &make_rsa_raw_ctx;
    case kind::md5_rsa_pkcs:
    case kind::shax_rsa_pkcs:
        return &make_hash_rsa_pkcs_ctx;
    case kind::rsa_x931:
    case kind::rsa_sha_x931:
        return &make_rsa_x931_ctx;
    case kind::soft_rc2:
        return &make_soft_rc2_ctx;
    case kind::soft_rc4:
        return &make_soft_rc4_ctx;
    case kind::soft_des3:
        return &make_soft_des3_ctx;
    case kind::sm2:
        return &make_sm2_ctx;
    case kind::sm3_sm2:
        return &make_sm3sm2_ctx;
    case kind::soft_sm3:
        return &make_soft_sm3_ctx;
    case kind::device_symmetric:
        return &make_vorline_symetric_ctx;
    case kind::device_hash:
        return &make_vorline_hash_ctx;
    }
    return nullptr;
}

} // namespace

std::optional<key_ctx_route> key_ctx_route_for(CK_MECHANISM_TYPE type) {
    const mechanism_row* row = mechanism_find(type);
    if (row == nullptr) return std::nullopt;
    return row->route;
}

bool key_ctx_precondition_met(key_ctx_precondition precondition, const pkcs11_object* key) {
    if (precondition == key_ctx_precondition::none) return true;
    if (key == nullptr) return false;
    // CKA_TOKEN counts as true only as a one-byte true value (an empty value is false).
    const pkcs11_attribute* a = key->attributes().find(CKA_TOKEN);
    const bool token_key = a != nullptr && a->length() == 1 && a->value[0] != 0;
    return precondition == key_ctx_precondition::token_key ? token_key : !token_key;
}

std::unique_ptr<pkcs11_key_ctx> key_ctx_create(const CK_MECHANISM& mechanism,
                                               std::shared_ptr<pkcs11_object> key,
                                               pkcs11_token* token, uint8_t cipher_path) {
    const auto route = key_ctx_route_for(mechanism.mechanism);
    if (!route) return nullptr;
    if (!key_ctx_precondition_met(route->precondition, key.get())) return nullptr;
    const constructor make = constructor_for(route->kind);
    if (make == nullptr) return nullptr;
    // Only the device symmetric class reads the cipher-path flag.
    return make(mechanism, std::move(key), token,
                route->kind == key_ctx_kind::device_symmetric ? cipher_path : 0);
}
