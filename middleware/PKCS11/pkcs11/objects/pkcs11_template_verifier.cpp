#include "pkcs11_template_verifier.h"

#include <algorithm>
#include <initializer_list>
#include <span>

namespace {

bool any_of_present(const pkcs11_attribute_mgr& a, std::initializer_list<uint32_t> types) {
    return std::any_of(types.begin(), types.end(), [&](uint32_t t) { return a.has(t); });
}

bool listed(std::span<const uint32_t> types, uint32_t type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

constexpr uint32_t data_modifiable[] = {CKA_LABEL, CKA_VALUE, CKA_MODIFIABLE};
constexpr uint32_t cert_modifiable[] = {CKA_LABEL, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_ID,
                                        CKA_MODIFIABLE};
constexpr uint32_t public_key_modifiable[] = {
    CKA_LABEL,          CKA_SUBJECT, CKA_ID,         CKA_ENCRYPT,  CKA_WRAP,      CKA_VERIFY,
    CKA_VERIFY_RECOVER, CKA_DERIVE,  CKA_START_DATE, CKA_END_DATE, CKA_MODIFIABLE};
constexpr uint32_t private_key_modifiable[] = {
    CKA_LABEL,    CKA_SUBJECT,     CKA_ID,           CKA_SENSITIVE, CKA_DECRYPT,
    CKA_UNWRAP,   CKA_SIGN,        CKA_SIGN_RECOVER, CKA_DERIVE,    CKA_START_DATE,
    CKA_END_DATE, CKA_EXTRACTABLE, CKA_MODIFIABLE};
constexpr uint32_t secret_key_modifiable[] = {
    CKA_LABEL,   CKA_TRUSTED,    CKA_ID,       CKA_SENSITIVE,   CKA_ENCRYPT,
    CKA_DECRYPT, CKA_WRAP,       CKA_UNWRAP,   CKA_SIGN,        CKA_VERIFY,
    CKA_DERIVE,  CKA_START_DATE, CKA_END_DATE, CKA_EXTRACTABLE, CKA_MODIFIABLE};

class pkcs11_object_verifier_data final : public pkcs11_object_verifier {
  public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    bool is_modifiable(uint32_t type) const override { return listed(data_modifiable, type); }
};

class pkcs11_object_verifier_cert final : public pkcs11_object_verifier {
  public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create() const override {
        return has(CKA_VALUE) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
    }
    bool is_modifiable(uint32_t type) const override { return listed(cert_modifiable, type); }
};

class pkcs11_object_verifier_public_key final : public pkcs11_object_verifier {
  public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create() const override {
        uint32_t key_type = 0;
        if (CK_RV rv = read_key_type(key_type); rv != CKR_OK) return rv;
        if (key_type != CKK_RSA) return CKR_OK;
        return has(CKA_MODULUS) && has(CKA_PUBLIC_EXPONENT) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
    }
    CK_RV check_generate() const override {
        uint32_t key_type = 0;
        if (CK_RV rv = read_key_type(key_type); rv != CKR_OK) return rv;
        if (key_type != CKK_RSA) return CKR_OK;
        return has(CKA_MODULUS_BITS) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
    }
    bool is_modifiable(uint32_t type) const override { return listed(public_key_modifiable, type); }
};

class pkcs11_object_verifier_private_key final : public pkcs11_object_verifier {
  public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create() const override {
        uint32_t key_type = 0;
        if (CK_RV rv = read_key_type(key_type); rv != CKR_OK) return rv;
        if (key_type != CKK_RSA) return CKR_OK;
        return has(CKA_MODULUS) && has(CKA_PRIVATE_EXPONENT) ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
    }
    // A generated key's components come from the generator, never from the template.
    CK_RV check_generate() const override {
        uint32_t key_type = 0;
        if (CK_RV rv = read_key_type(key_type); rv != CKR_OK) return rv;
        if (key_type != CKK_RSA) return CKR_OK;
        return any_of_present(attributes_,
                              {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                               CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT})
                   ? CKR_TEMPLATE_INCONSISTENT
                   : CKR_OK;
    }
    CK_RV check_template_3() const override { return check_generate(); }
    bool is_modifiable(uint32_t type) const override {
        return listed(private_key_modifiable, type);
    }
};

class pkcs11_object_verifier_secret_key final : public pkcs11_object_verifier {
  public:
    using pkcs11_object_verifier::pkcs11_object_verifier;
    CK_RV check_create() const override {
        if (!has(CKA_KEY_TYPE) || !has(CKA_VALUE)) return CKR_TEMPLATE_INCOMPLETE;
        return any_of_present(attributes_, {CKA_VALUE_LEN, CKA_LOCAL, CKA_KEY_GEN_MECHANISM})
                   ? CKR_TEMPLATE_INCONSISTENT
                   : CKR_OK;
    }
    CK_RV check_generate() const override {
        return has(CKA_VALUE) ? CKR_TEMPLATE_INCONSISTENT : CKR_OK;
    }
    CK_RV check_template_3() const override {
        if (!has(CKA_KEY_TYPE)) return CKR_TEMPLATE_INCOMPLETE;
        return any_of_present(attributes_, {CKA_VALUE, CKA_LOCAL, CKA_KEY_GEN_MECHANISM})
                   ? CKR_TEMPLATE_INCONSISTENT
                   : CKR_OK;
    }
    bool is_modifiable(uint32_t type) const override { return listed(secret_key_modifiable, type); }
};

} // namespace

CK_RV pkcs11_object_verifier::read_key_type(uint32_t& key_type) const {
    const pkcs11_attribute* a = attributes_.find(CKA_KEY_TYPE);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (a->length() > 4) return CKR_BUFFER_TOO_SMALL;
    key_type = a->as_u32();
    return CKR_OK;
}

bool pkcs11_object_verifier::verifier_is_protected() const {
    return attributes_.flag(CKA_SENSITIVE, false) || !attributes_.flag(CKA_EXTRACTABLE, true);
}

bool pkcs11_object_verifier::verifier_value_change_allowed(uint32_t level, uint32_t type,
                                                           const inner_attribute& new_value) const {
    switch (type) {
    case CKA_SENSITIVE:
    case CKA_WRAP_WITH_TRUSTED:
        return !attributes_.flag(type, false);
    case CKA_EXTRACTABLE:
        return attributes_.flag(type, true);
    case CKA_TRUSTED:
    case CKA_MODIFIABLE: {
        if (level == access_rw_so) return true;
        // Any non-zero first byte is true, as for every CK_BBOOL.
        const bool to_true = new_value.value != nullptr && new_value.length >= 1 &&
                             *static_cast<const uint8_t*>(new_value.value) != 0;
        return !to_true;
    }
    default:
        return true;
    }
}

bool pkcs11_object_verifier::verifier_template_modifiable(uint32_t level,
                                                          const inner_attribute* entries,
                                                          uint32_t count) const {
    for (uint32_t i = 0; i < count; ++i) {
        if (!is_modifiable(entries[i].type)) return false;
        if (!verifier_value_change_allowed(level, entries[i].type, entries[i])) return false;
    }
    return true;
}

std::unique_ptr<pkcs11_object_verifier>
make_object_verifier(uint32_t object_class, const pkcs11_attribute_mgr& attributes) {
    switch (object_class) {
    case CKO_DATA:
        return std::make_unique<pkcs11_object_verifier_data>(attributes);
    case CKO_CERTIFICATE:
        return std::make_unique<pkcs11_object_verifier_cert>(attributes);
    case CKO_PUBLIC_KEY:
        return std::make_unique<pkcs11_object_verifier_public_key>(attributes);
    case CKO_PRIVATE_KEY:
        return std::make_unique<pkcs11_object_verifier_private_key>(attributes);
    case CKO_SECRET_KEY:
        return std::make_unique<pkcs11_object_verifier_secret_key>(attributes);
    default:
        return nullptr;
    }
}
