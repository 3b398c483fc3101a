// One PKCS#11 object (data object, certificate, public, private or secret
// key): its ordered attributes, cached class, template verifier, handle and
// owning session, with the object-level rules behind C_CreateObject,
// C_CopyObject, C_GetAttributeValue and C_SetAttributeValue.
//
// Objects are shared: the token's object list holds one reference, and an
// operation that must outlive a purge of the list may hold another. Everyone
// else refers to an object by its handle and looks it up again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pkcs11_attribute.h"
#include "pkcs11_template_verifier.h"

// Storage kinds, from CKA_TOKEN and CKA_PRIVATE.
inline constexpr uint32_t storage_public_session = 1;
inline constexpr uint32_t storage_private_session = 2;
inline constexpr uint32_t storage_public_token = 3;
inline constexpr uint32_t storage_private_token = 4;

class pkcs11_object {
  public:
    virtual ~pkcs11_object();
    pkcs11_object(const pkcs11_object&) = delete;
    pkcs11_object& operator=(const pkcs11_object&) = delete;

    // pkcs11_object_create: the class defaults (a class of -1 is read from the
    // still empty list, so it stays unknown), then every template entry in
    // order, then the verifier. Unknown class: null and CKR_TEMPLATE_INCOMPLETE;
    // a malformed entry: null and CKR_ATTRIBUTE_VALUE_INVALID.
    static std::shared_ptr<pkcs11_object> create(uint32_t owner_session, int64_t object_class,
                                                 const inner_attribute* entries, uint32_t count,
                                                 CK_RV* rv = nullptr);
    // The object behind C_CreateObject: class from the template's CKA_CLASS,
    // admitted at the session's level, the class's creation check, and
    // CKA_LOCAL (and for private and secret keys CKA_ALWAYS_SENSITIVE,
    // CKA_NEVER_EXTRACTABLE) false, since the key did not arise on the token.
    static std::shared_ptr<pkcs11_object> create_from_template(uint32_t owner_session,
                                                               uint32_t level,
                                                               const inner_attribute* entries,
                                                               uint32_t count, CK_RV& rv);
    // A copy of every attribute with a new handle, owner 0.
    std::shared_ptr<pkcs11_object> clone() const;
    // A new object (owner 0) from an attribute stream; null and the reason
    // when object_load_stream fails.
    static std::shared_ptr<pkcs11_object> from_stream(const uint8_t* bytes, uint32_t* length,
                                                      CK_RV& rv);

    // The attribute stream of this object.
    virtual CK_RV object_save_stream(uint8_t* buffer, uint32_t* length) const;
    // Appends a stream's attributes, then reads CKA_CLASS (absent:
    // CKR_ATTRIBUTE_TYPE_INVALID; longer than 4 bytes: CKR_BUFFER_TOO_SMALL),
    // caches it and rebuilds the verifier.
    virtual CK_RV object_load_stream(const uint8_t* bytes, uint32_t* length);

    uint32_t handle() const { return handle_; }
    uint32_t owner_session() const { return owner_session_; }
    void set_owner_session(uint32_t session) { owner_session_ = session; }
    const pkcs11_attribute_mgr& attributes() const { return attributes_; }
    const pkcs11_object_verifier* verifier() const { return verifier_.get(); }

    // C_SetAttributeValue's checks, then the new values; nothing changes on failure.
    CK_RV object_modify_attributes(uint32_t level, const inner_attribute* entries, uint32_t count);
    // Whether a successful change must rewrite the object's storage on the card.
    bool object_update_needs_store(const inner_attribute* entries, uint32_t count) const;
    // C_GetAttributeValue's copy-out: every entry is processed; absent types and
    // (on a protected object) secret values get the unavailable length
    // (0xFFFFFFFF); the result is the code of the last failing entry.
    CK_RV object_read_attributes(inner_attribute* entries, uint32_t count) const;
    // The same without the sensitivity rule, for the module's own use.
    CK_RV object_read_attributes_raw(inner_attribute* entries, uint32_t count) const;
    CK_RV object_read_attribute(uint32_t type, void* buffer, uint32_t capacity) const;
    void object_set_attributes(const inner_attribute* entries, uint32_t count);
    void object_set_attribute(uint32_t type, const void* bytes, uint32_t length);
    void object_remove_attribute(uint32_t type) { attributes_.remove(type); }
    // Takes over the attributes of `fresh`, the same object read anew from the
    // card (which is left empty): this object keeps its handle and owner and
    // shows what the card holds now.
    CK_RV object_take_content(pkcs11_object& fresh);
    // Every entry finds the first attribute of its type and matches it.
    bool object_matches_template(const inner_attribute* entries, uint32_t count) const;

    // The cached class, read from CKA_CLASS on first use; -1 when unknown.
    int64_t object_class();
    bool object_is_token() const { return attributes_.flag(CKA_TOKEN); }
    uint32_t object_storage_kind() const;
    // Whether a session at this level may create or change the object.
    bool object_visible_at(uint32_t level) const;
    // 1024 or 2048 from CKA_MODULUS_BITS, else from CKA_MODULUS's length.
    CK_RV object_rsa_bits(uint32_t& bits) const;
    uint32_t object_key_spec() const;
    bool object_is_signature_key() const { return object_key_spec() == 2; }
    void object_ensure_key_spec();
    bool object_needs_value_load();
    CK_RV object_build_verifier();

  private:
    pkcs11_object();
    CK_RV read_attributes(inner_attribute* entries, uint32_t count, bool sensitivity_rule) const;
    CK_RV apply_class_defaults();
    // CKA_SENSITIVE true or CKA_EXTRACTABLE false (as the verifier reads them).
    bool is_protected() const {
        return attributes_.flag(CKA_SENSITIVE) || !attributes_.flag(CKA_EXTRACTABLE, true);
    }

    int64_t cached_class_ = -1;
    pkcs11_attribute_mgr attributes_;
    std::unique_ptr<pkcs11_object_verifier> verifier_;
    uint32_t handle_;
    uint32_t owner_session_ = 0;
};

// Object handles: distinct, non-zero and never reused within the process.
uint32_t next_object_handle();

// Appends n/2 random bytes as lower-case hexadecimal (identifiers and names).
void random_hex(std::string& text, size_t n);
