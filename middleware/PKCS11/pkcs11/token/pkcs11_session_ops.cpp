// A session's operation contexts: init, one-shot, update and final steps of
// the digest, cipher and signature slots, C_DigestKey, and key generation,
// wrapping, unwrapping and derivation at session level.
#include <cstring>

#include "pkcs11_mechanism.h"
#include "pkcs11_object.h"
#include "pkcs11_rsa.h"
#include "pkcs11_session.h"
#include "pkcs11_token.h"

namespace {

// No mechanism of the module takes parameters anywhere near this long; a
// longer claim is a caller's error, not something to copy.
constexpr CK_ULONG max_parameter_length = 4096;

CK_RV check_mechanism(const CK_MECHANISM* mechanism) {
    if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (mechanism->ulParameterLen > max_parameter_length ||
        (mechanism->pParameter == nullptr && mechanism->ulParameterLen != 0))
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

// The CKF_ flag an operation family needs in the mechanism's entry.
CK_FLAGS flag_for(session_op op) {
    switch (op) {
    case session_op::encrypt:
        return CKF_ENCRYPT;
    case session_op::decrypt:
        return CKF_DECRYPT;
    case session_op::digest:
        return CKF_DIGEST;
    case session_op::sign:
        return CKF_SIGN;
    case session_op::verify:
        return CKF_VERIFY;
    }
    return 0;
}

// A template entry read as a 4-byte integer (shorter values zero-extended).
std::optional<uint32_t> template_u32(const p11abi::inner_template& tmpl, uint32_t type,
                                     bool exactly_four) {
    for (uint32_t i = 0; i < tmpl.size(); ++i) {
        const inner_attribute& e = tmpl[i];
        if (e.type != type || e.value == nullptr) continue;
        if (exactly_four && e.length != 4) return std::nullopt;
        pkcs11_attribute a;
        a.set_value(type, e.value, e.length);
        return a.as_u32();
    }
    return std::nullopt;
}

bool template_sets(const p11abi::inner_template& tmpl, uint32_t type) {
    for (uint32_t i = 0; i < tmpl.size(); ++i)
        if (tmpl[i].type == type) return true;
    return false;
}

// The key a call names by its handle, once what other processes changed on
// the card is taken in: null when the handle names no object, or names one
// the card no longer holds.
std::shared_ptr<pkcs11_object> current_key(pkcs11_token& token, CK_OBJECT_HANDLE handle) {
    token.take_in_changes_for(handle);
    return token.objects().find_shared(handle);
}

} // namespace

std::unique_ptr<pkcs11_key_ctx>& pkcs11_session::slot_for(session_op op) {
    switch (op) {
    case session_op::digest:
        return digest_slot_;
    case session_op::encrypt:
    case session_op::decrypt:
        return cipher_slot_;
    default:
        return signature_slot_;
    }
}

const std::unique_ptr<pkcs11_key_ctx>& pkcs11_session::slot_for(session_op op) const {
    return const_cast<pkcs11_session*>(this)->slot_for(op);
}

bool pkcs11_session::op_active(session_op op) const {
    return slot_for(op) != nullptr;
}

std::unique_ptr<pkcs11_key_ctx> pkcs11_session::make_context(CK_FLAGS operation,
                                                             const CK_MECHANISM& mechanism,
                                                             std::shared_ptr<pkcs11_object> key,
                                                             pkcs11_token& token) {
    // What C_GetMechanismInfo reports is the rule: a mechanism whose entry
    // lacks the operation's flag gets no context, whatever class the factory
    // would make of it. So no operation is begun that a context could only
    // answer with success and no output.
    const pkcs11_mechanism* listed = token.mechanisms().find(mechanism.mechanism);
    if (listed == nullptr || (listed->flags() & operation) == 0) return nullptr;
    if (factory_ == nullptr) return nullptr;
    return factory_(mechanism, std::move(key), &token, cipher_path_);
}

CK_RV pkcs11_session::op_init(session_op op, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key,
                              pkcs11_token& token) {
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    std::shared_ptr<pkcs11_object> key_object;
    if (op != session_op::digest) {
        key_object = current_key(token, key);
        if (key_object == nullptr) return CKR_KEY_HANDLE_INVALID;
    }
    std::unique_ptr<pkcs11_key_ctx>& slot = slot_for(op);
    // Encryption and decryption share one slot, as do signing and verification;
    // a sign-init replaces whatever the signature slot holds.
    if (slot != nullptr && op != session_op::sign) return CKR_OPERATION_ACTIVE;
    std::unique_ptr<pkcs11_key_ctx> context =
        make_context(flag_for(op), *mechanism, std::move(key_object), token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    CK_RV rv = CKR_OK;
    switch (op) {
    case session_op::encrypt:
        rv = context->encrypt_init();
        break;
    case session_op::decrypt:
        rv = context->decrypt_init();
        break;
    case session_op::digest:
        rv = context->digest_init();
        break;
    case session_op::sign:
        rv = context->sign_init();
        break;
    case session_op::verify:
        rv = context->verify_init();
        break;
    }
    // A replaced signing or verification context is deleted here: nothing can
    // reach it any more. A failed init leaves the slot empty.
    slot.reset();
    if (rv == CKR_OK) slot = std::move(context);
    return rv;
}

CK_RV pkcs11_session::op_oneshot(session_op op, const CK_BYTE* in, uint32_t in_len, CK_BYTE* out,
                                 uint32_t* out_len) {
    const std::unique_ptr<pkcs11_key_ctx>& slot = slot_for(op);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
    // A verification has no size query: a missing signature is an error.
    if (op == session_op::verify && out == nullptr) return CKR_ARGUMENTS_BAD;
    switch (op) {
    case session_op::encrypt:
        return slot->encrypt(in, in_len, out, out_len);
    case session_op::decrypt:
        return slot->decrypt(in, in_len, out, out_len);
    case session_op::digest:
        return slot->digest(in, in_len, out, out_len);
    case session_op::sign:
        return slot->sign(in, in_len, out, out_len);
    case session_op::verify:
        return slot->verify(in, in_len, out, *out_len);
    }
    return CKR_GENERAL_ERROR;
}

CK_RV pkcs11_session::op_update(session_op op, const CK_BYTE* in, uint32_t in_len, CK_BYTE* out,
                                uint32_t* out_len) {
    const std::unique_ptr<pkcs11_key_ctx>& slot = slot_for(op);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    switch (op) {
    case session_op::encrypt:
        if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
        return slot->encrypt_update(in, in_len, out, out_len);
    case session_op::decrypt:
        if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
        return slot->decrypt_update(in, in_len, out, out_len);
    case session_op::digest:
        return slot->digest_update(in, in_len);
    case session_op::sign:
        return slot->sign_update(in, in_len);
    case session_op::verify:
        return slot->verify_update(in, in_len);
    }
    return CKR_GENERAL_ERROR;
}

CK_RV pkcs11_session::op_final(session_op op, CK_BYTE* out, uint32_t* out_len) {
    const std::unique_ptr<pkcs11_key_ctx>& slot = slot_for(op);
    if (slot == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    if (out_len == nullptr) return CKR_ARGUMENTS_BAD;
    if (op == session_op::verify && out == nullptr) return CKR_ARGUMENTS_BAD;
    switch (op) {
    case session_op::encrypt:
        return slot->encrypt_final(out, out_len);
    case session_op::decrypt:
        return slot->decrypt_final(out, out_len);
    case session_op::digest:
        return slot->digest_final(out, out_len);
    case session_op::sign:
        return slot->sign_final(out, out_len);
    case session_op::verify:
        return slot->verify_final(out, *out_len);
    }
    return CKR_GENERAL_ERROR;
}

CK_RV pkcs11_session::digest_key(pkcs11_token& token, CK_OBJECT_HANDLE key) {
    const std::shared_ptr<pkcs11_object> object = current_key(token, key);
    if (object == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (object->object_needs_value_load()) {
        if (CK_RV rv = token.read_object_values(*object); rv != CKR_OK) return rv;
    }
    const pkcs11_attribute* value = object->attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    uint8_t copy[256] = {};
    if (value->length() > sizeof copy) return CKR_BUFFER_TOO_SMALL;
    if (value->length() != 0) std::memcpy(copy, value->value.data(), value->length());
    if (digest_slot_ == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    const CK_RV rv = digest_slot_->digest_update(copy, value->length());
    std::memset(copy, 0, sizeof copy);
    return rv;
}

// ---- keys ----

CK_RV pkcs11_session::generate_key(const CK_MECHANISM* mechanism,
                                   const p11abi::inner_template& tmpl, pkcs11_token& token,
                                   CK_OBJECT_HANDLE* key) {
    if (key == nullptr) return CKR_ARGUMENTS_BAD;
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    CK_RV rv = CKR_OK;
    std::shared_ptr<pkcs11_object> object =
        pkcs11_object::create(handle_, CKO_SECRET_KEY, tmpl.data(), tmpl.size(), &rv);
    if (object == nullptr) return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    if (!object->object_visible_at(access_class())) return CKR_SESSION_READ_ONLY;
    if (object->verifier() != nullptr) {
        if ((rv = object->verifier()->check_generate()) != CKR_OK) return rv;
    }
    std::unique_ptr<pkcs11_key_ctx> context = make_context(CKF_GENERATE, *mechanism, object, token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    if ((rv = context->generate_key()) != CKR_OK) return rv;
    context.reset();
    if ((rv = token.token_store_object(object)) != CKR_OK) return rv;
    *key = object->handle();
    return CKR_OK;
}

CK_RV pkcs11_session::generate_key_pair(const CK_MECHANISM* mechanism,
                                        const p11abi::inner_template& public_tmpl,
                                        const p11abi::inner_template& private_tmpl,
                                        pkcs11_token& token, CK_OBJECT_HANDLE* public_key,
                                        CK_OBJECT_HANDLE* private_key) {
    if (public_key == nullptr || private_key == nullptr) return CKR_ARGUMENTS_BAD;
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    CK_RV rv = CKR_OK;
    auto pub =
        pkcs11_object::create(handle_, CKO_PUBLIC_KEY, public_tmpl.data(), public_tmpl.size(), &rv);
    if (pub == nullptr) return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    auto priv = pkcs11_object::create(handle_, CKO_PRIVATE_KEY, private_tmpl.data(),
                                      private_tmpl.size(), &rv);
    if (priv == nullptr) return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    const uint32_t level = access_class();
    if (!pub->object_visible_at(level) || !priv->object_visible_at(level))
        return CKR_SESSION_READ_ONLY;
    // The private key of a pair lives on the token.
    if (!priv->attributes().flag(CKA_TOKEN)) return CKR_TEMPLATE_INCONSISTENT;
    const pkcs11_attribute* key_type = pub->attributes().find(CKA_KEY_TYPE);
    if (key_type == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (key_type->length() > 4) return CKR_BUFFER_TOO_SMALL;
    if (key_type->as_u32() == CKK_RSA) {
        uint32_t bits = 0;
        if ((rv = pub->object_rsa_bits(bits)) != CKR_OK) return rv;
        // Refused before the card is touched: the card makes F4 only.
        if (!rsa_exponent_is_cards(*pub) || !rsa_exponent_is_cards(*priv))
            return CKR_TEMPLATE_INCONSISTENT;
    }
    for (const auto* object : {pub.get(), priv.get()}) {
        if (object->verifier() != nullptr && (rv = object->verifier()->check_generate()) != CKR_OK)
            return rv;
    }
    std::unique_ptr<pkcs11_key_ctx> context =
        make_context(CKF_GENERATE_KEY_PAIR, *mechanism, priv, token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    // The token's container objects are listed first: a later search would
    // otherwise read the new pair from the card a second time.
    (void)token.load_container_objects();
    if ((rv = context->generate_key_pair(*pub, *priv)) != CKR_OK) return rv;
    context.reset();
    if ((rv = token.token_store_object(pub)) != CKR_OK) return rv;
    if ((rv = token.token_store_object(priv)) != CKR_OK) {
        // Neither half stays listed when the pair could not be stored whole.
        (void)token.objects().object_mgr_remove(pub.get());
        return rv;
    }
    *public_key = pub->handle();
    *private_key = priv->handle();
    return CKR_OK;
}

CK_RV pkcs11_session::wrap_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE wrapping_key,
                               CK_OBJECT_HANDLE key, CK_BYTE* wrapped, uint32_t* wrapped_len,
                               pkcs11_token& token) {
    if (wrapped_len == nullptr) return CKR_ARGUMENTS_BAD;
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    std::shared_ptr<pkcs11_object> wrapping = current_key(token, wrapping_key);
    if (wrapping == nullptr) return CKR_WRAPPING_KEY_HANDLE_INVALID;
    if (!wrapping->attributes().flag(CKA_WRAP)) return CKR_WRAPPED_KEY_INVALID;
    std::shared_ptr<pkcs11_object> target = current_key(token, key);
    if (target == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (!target->attributes().flag(CKA_EXTRACTABLE)) return CKR_KEY_NOT_WRAPPABLE;
    std::unique_ptr<pkcs11_key_ctx> context = make_context(CKF_WRAP, *mechanism, wrapping, token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    return context->wrap_key(*target, wrapped, wrapped_len);
}

CK_RV pkcs11_session::unwrap_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE unwrapping_key,
                                 const CK_BYTE* wrapped, uint32_t wrapped_len,
                                 const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* key,
                                 pkcs11_token& token) {
    if (key == nullptr || wrapped == nullptr) return CKR_ARGUMENTS_BAD;
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    std::shared_ptr<pkcs11_object> unwrapping = current_key(token, unwrapping_key);
    if (unwrapping == nullptr) return CKR_UNWRAPPING_KEY_HANDLE_INVALID;
    if (!unwrapping->attributes().flag(CKA_UNWRAP)) return CKR_WRAPPED_KEY_INVALID;
    const auto key_type = template_u32(tmpl, CKA_KEY_TYPE, false);
    if (!key_type || *key_type == 0xFFFFFFFFu) return CKR_TEMPLATE_INCOMPLETE;
    const auto given_class = template_u32(tmpl, CKA_CLASS, true);
    const int64_t object_class = given_class            ? int64_t{*given_class}
                                 : *key_type == CKK_RSA ? int64_t{CKO_PRIVATE_KEY}
                                                        : int64_t{CKO_SECRET_KEY};
    CK_RV rv = CKR_OK;
    std::shared_ptr<pkcs11_object> object =
        pkcs11_object::create(handle_, object_class, tmpl.data(), tmpl.size(), &rv);
    if (object == nullptr) return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    // The new key must be one this session may create.
    if (!object->object_visible_at(access_class())) return CKR_SESSION_READ_ONLY;
    std::unique_ptr<pkcs11_key_ctx> context =
        make_context(CKF_UNWRAP, *mechanism, unwrapping, token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    const uint8_t no = 0;
    const uint8_t yes = 1;
    object->object_set_attribute(CKA_LOCAL, &no, 1);
    object->object_set_attribute(CKA_ALWAYS_SENSITIVE, &no, 1);
    object->object_set_attribute(CKA_NEVER_EXTRACTABLE, &no, 1);
    // An unwrapped key is extractable unless the caller's template says otherwise.
    if (!template_sets(tmpl, CKA_EXTRACTABLE))
        object->object_set_attribute(CKA_EXTRACTABLE, &yes, 1);
    rv = context->unwrap_key(wrapped, wrapped_len, *object);
    context.reset();
    if (rv != CKR_OK) return rv;
    if ((rv = token.token_store_object(object)) != CKR_OK) return rv;
    *key = object->handle();
    return CKR_OK;
}

CK_RV pkcs11_session::derive_key(const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE base_key,
                                 const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* key,
                                 pkcs11_token& token) {
    if (key == nullptr) return CKR_ARGUMENTS_BAD;
    if (CK_RV rv = check_mechanism(mechanism); rv != CKR_OK) return rv;
    std::shared_ptr<pkcs11_object> base = current_key(token, base_key);
    if (base == nullptr) return CKR_KEY_HANDLE_INVALID;
    const auto given_class = template_u32(tmpl, CKA_CLASS, true);
    CK_RV rv = CKR_OK;
    std::shared_ptr<pkcs11_object> object = pkcs11_object::create(
        handle_, given_class ? int64_t{*given_class} : int64_t{-1}, tmpl.data(), tmpl.size(), &rv);
    if (object == nullptr) return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    if (!object->object_visible_at(access_class())) return CKR_SESSION_READ_ONLY;
    std::unique_ptr<pkcs11_key_ctx> context = make_context(CKF_DERIVE, *mechanism, base, token);
    if (context == nullptr) return CKR_MECHANISM_INVALID;
    rv = context->derive_key(*object);
    context.reset();
    if (rv != CKR_OK) return rv;
    // Stored like any new key, so a derived token key is not silently lost.
    if ((rv = token.token_store_object(object)) != CKR_OK) return rv;
    *key = object->handle();
    return CKR_OK;
}
