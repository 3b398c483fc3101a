// The token's object operations behind the object exports: lookups in the
// token's object list, the access checks of the session's access class, and
// the hand-over to the stores.
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "pkcs11_token.h"

namespace {

// Links from an object to what stores it on the card (its file, key container
// or device session key). A copy is a new object and must not share them, or
// destroying the copy would delete the original's storage.
constexpr uint32_t storage_links[] = {ZELT_CKA_FILE_NAME, ZELT_CKA_CONTAINER_NAME,
                                      ZELT_CKA_GM_HANDLE};

bool asks_for_card_values(const p11abi::inner_template& tmpl) {
    for (uint32_t i = 0; i < tmpl.size(); ++i) {
        switch (tmpl[i].type) {
        case CKA_VALUE:
        case CKA_MODULUS:
        case CKA_PUBLIC_EXPONENT:
        case CKA_EC_POINT:
        case ZELT_CKA_SM2_ZA:
            return true;
        default:
            break;
        }
    }
    return false;
}

} // namespace

// load_objects_for_find, read_object_values and the token_store/update/destroy
// steps are in pkcs11_token_storage.cpp.

CK_RV pkcs11_token::create_object(uint32_t session, uint32_t access,
                                  const p11abi::inner_template& tmpl,
                                  CK_OBJECT_HANDLE* new_handle) {
    if (new_handle == nullptr) return CKR_ARGUMENTS_BAD;
    CK_RV rv = CKR_OK;
    const auto object =
        pkcs11_object::create_from_template(session, access, tmpl.data(), tmpl.size(), rv);
    if (object == nullptr) return rv;
    (void)load_objects_for_find(tmpl);
    if ((rv = token_store_object(object)) != CKR_OK) return rv;
    *new_handle = object->handle();
    return CKR_OK;
}

CK_RV pkcs11_token::copy_object(uint32_t session, uint32_t access, CK_OBJECT_HANDLE handle,
                                const p11abi::inner_template& tmpl, CK_OBJECT_HANDLE* new_handle) {
    if (new_handle == nullptr) return CKR_ARGUMENTS_BAD;
    take_in_changes_for(handle);
    const std::shared_ptr<pkcs11_object> original = objects_.find_shared(handle);
    if (original == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    if (!original->object_visible_at(access)) return CKR_ACTION_PROHIBITED;
    if (CK_RV rv = template_check(tmpl.data(), tmpl.size()); rv != CKR_OK) return rv;

    std::shared_ptr<pkcs11_object> copy = original->clone();
    if (copy == nullptr) return CKR_GENERAL_ERROR;
    for (uint32_t type : storage_links)
        copy->object_remove_attribute(type);

    // PKCS#11 v2.20 C_CopyObject: the template may give CKA_TOKEN and
    // CKA_PRIVATE anew; every other entry is a change of the copy and passes
    // the checks of C_SetAttributeValue (modifiable set, one-way rules,
    // secret values of a protected key).
    std::vector<inner_attribute> changes;
    std::vector<inner_attribute> storage;
    for (uint32_t i = 0; i < tmpl.size(); ++i)
        (tmpl[i].type == CKA_TOKEN || tmpl[i].type == CKA_PRIVATE ? storage : changes)
            .push_back(tmpl[i]);
    if (!changes.empty()) {
        if (CK_RV rv = copy->object_modify_attributes(access, changes.data(),
                                                      static_cast<uint32_t>(changes.size()));
            rv != CKR_OK)
            return rv;
    }
    copy->object_set_attributes(storage.data(), static_cast<uint32_t>(storage.size()));
    // The copy must be an object this session may create.
    if (!copy->object_visible_at(access)) return CKR_SESSION_READ_ONLY;
    copy->set_owner_session(session);
    if (CK_RV rv = token_store_object(copy); rv != CKR_OK) return rv;
    *new_handle = copy->handle();
    return CKR_OK;
}

CK_RV pkcs11_token::destroy_object(uint32_t access, CK_OBJECT_HANDLE handle) {
    take_in_changes_for(handle);
    pkcs11_object* object = objects_.find(handle);
    if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    if (!object->object_visible_at(access)) return CKR_ACTION_PROHIBITED;
    return token_destroy_object(*object);
}

CK_RV pkcs11_token::object_size(CK_OBJECT_HANDLE handle, uint32_t* size) {
    if (size == nullptr) return CKR_ARGUMENTS_BAD;
    const pkcs11_object* object = objects_.find(handle);
    if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    *size = object->attributes().stream_size();
    return CKR_OK;
}

CK_RV pkcs11_token::get_attribute_value(uint32_t access, CK_OBJECT_HANDLE handle,
                                        p11abi::inner_template& tmpl) {
    const std::shared_ptr<pkcs11_object> object = objects_.find_shared(handle);
    if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    // Every entry of a call that reads nothing leaves as "unavailable", so
    // that no caller's buffer or length is taken for a value.
    const auto nothing_read = [&tmpl](CK_RV rv) {
        for (uint32_t i = 0; i < tmpl.size(); ++i)
            tmpl.data()[i].length = p11abi::inner_unavailable;
        return rv;
    };
    if (asks_for_card_values(tmpl)) {
        if (CK_RV rv = read_stored_values(*object); rv != CKR_OK) return nothing_read(rv);
    }
    // Outside a user session only public objects can be read; nothing of a
    // private one is given out.
    const uint32_t kind = object->object_storage_kind();
    if (access != 2 && access != 3 && kind != storage_public_session &&
        kind != storage_public_token)
        return nothing_read(CKR_ATTRIBUTE_SENSITIVE);
    return object->object_read_attributes(tmpl.data(), tmpl.size());
}

CK_RV pkcs11_token::set_attribute_value(uint32_t access, CK_OBJECT_HANDLE handle,
                                        const p11abi::inner_template& tmpl) {
    take_in_changes_for(handle);
    const std::shared_ptr<pkcs11_object> object = objects_.find_shared(handle);
    if (object == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    // The values the template replaces, so that a change the card did not
    // take is not kept in memory either.
    std::vector<std::pair<uint32_t, std::optional<std::vector<uint8_t>>>> before;
    for (uint32_t i = 0; i < tmpl.size(); ++i) {
        const pkcs11_attribute* a = object->attributes().find(tmpl[i].type);
        before.emplace_back(tmpl[i].type, a != nullptr ? std::optional(a->value) : std::nullopt);
    }
    if (CK_RV rv = object->object_modify_attributes(access, tmpl.data(), tmpl.size()); rv != CKR_OK)
        return rv;
    const CK_RV rv = token_update_object(*object, tmpl);
    if (rv != CKR_OK) {
        for (auto it = before.rbegin(); it != before.rend(); ++it) {
            if (it->second)
                object->object_set_attribute(it->first, it->second->data(),
                                             static_cast<uint32_t>(it->second->size()));
            else
                object->object_remove_attribute(it->first);
        }
    }
    return rv;
}
