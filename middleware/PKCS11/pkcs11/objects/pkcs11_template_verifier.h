// Per-class template rules of an object: whether its attribute list is
// complete enough to be created from an application's template or to be the
// result of a key generation, which attributes may be changed afterwards, and
// the one-way rules of PKCS#11 v2.20 (a sensitive key stays sensitive, an
// unextractable key stays unextractable, only the security officer makes an
// object trusted).
#pragma once

#include <cstdint>
#include <memory>

#include "pkcs11_attribute.h"

// Access levels of a session, used by the object rules: 0 read-only public,
// 1 read-write public, 2 read-only user, 3 read-write user, 4 read-write SO.
inline constexpr uint32_t access_rw_so = 4;

class pkcs11_object_verifier {
  public:
    explicit pkcs11_object_verifier(const pkcs11_attribute_mgr& attributes)
        : attributes_(attributes) {}
    virtual ~pkcs11_object_verifier() = default;
    pkcs11_object_verifier(const pkcs11_object_verifier&) = delete;
    pkcs11_object_verifier& operator=(const pkcs11_object_verifier&) = delete;

    // C_CreateObject's completeness check.
    virtual CK_RV check_create() const { return CKR_OK; }
    // C_GenerateKey / C_GenerateKeyPair's check on each new object.
    virtual CK_RV check_generate() const { return CKR_OK; }
    // A third construction check (no caller in the module).
    virtual CK_RV check_template_3() const { return CKR_OK; }
    // Whether the class lets the attribute be changed at all.
    virtual bool is_modifiable(uint32_t type) const = 0;

    // CKA_SENSITIVE true or CKA_EXTRACTABLE false (absent or malformed
    // CKA_EXTRACTABLE counts as true): secret values may not leave or be set.
    bool verifier_is_protected() const;
    // The one-way rules for one new value at an access level.
    bool verifier_value_change_allowed(uint32_t level, uint32_t type,
                                       const inner_attribute& new_value) const;
    // Every entry passes is_modifiable and the one-way rules.
    bool verifier_template_modifiable(uint32_t level, const inner_attribute* entries,
                                      uint32_t count) const;

  protected:
    // CKA_KEY_TYPE for the key checks: absent CKR_ATTRIBUTE_TYPE_INVALID,
    // longer than 4 bytes CKR_BUFFER_TOO_SMALL.
    CK_RV read_key_type(uint32_t& key_type) const;
    bool has(uint32_t type) const { return attributes_.has(type); }

    const pkcs11_attribute_mgr& attributes_;
};

// The verifier of an object class (data 0 ... secret key 4); null for any
// other class.
std::unique_ptr<pkcs11_object_verifier>
make_object_verifier(uint32_t object_class, const pkcs11_attribute_mgr& attributes);
