#include "pkcs11_key_container.h"

#include <cstring>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_object.h"
#include "pkcs11_token.h"

uint32_t device_key_spec(const pkcs11_object& key) {
    return device_key_spec(key.object_key_spec());
}

std::optional<std::string> container_name_of(const pkcs11_object& key) {
    const pkcs11_attribute* a = key.attributes().find(ZELT_CKA_CONTAINER_NAME);
    if (a == nullptr || a->length() == 0 || a->length() > container_name_capacity)
        return std::nullopt;
    const char* p = reinterpret_cast<const char*>(a->value.data());
    return std::string(p, strnlen(p, a->length()));
}

CK_RV open_key_container(pkcs11_token& token, const pkcs11_object& key, pkcs11_container*& out) {
    out = nullptr;
    const auto name = container_name_of(key);
    if (!name) return ZELT_CKR_CONTAINER_NOT_FOUND;
    // The init checked the key; another process may have replaced it since.
    // The card never uses another key through this one's operation.
    if (token.stored_key_gone(key)) return CKR_KEY_HANDLE_INVALID;
    if (CK_RV rv = token.open_application(); rv != CKR_OK) return rv;
    pkcs11_container_manager& mgr = token.containers();
    if (mgr.application() != token.application() || mgr.list().find(*name) == nullptr) {
        if (CK_RV rv = mgr.container_manager_load(); rv != CKR_OK) return rv;
    }
    pkcs11_container* c = mgr.list().find(*name);
    if (c == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (c->handle == 0) {
        HCONTAINER handle = 0;
        if (const uint32_t rv = SKF_OpenContainer(token.application(), name->c_str(), &handle);
            rv != SAR_OK)
            return rv;
        c->handle = handle;
    }
    out = c;
    return CKR_OK;
}

void close_container(pkcs11_container* c) {
    if (c != nullptr && c->handle != 0) {
        (void)SKF_CloseContainer(c->handle);
        c->handle = 0;
    }
}

CK_RV complete_key(pkcs11_token* token, pkcs11_object& key) {
    if (token == nullptr || !key.object_needs_value_load()) return CKR_OK;
    return token->read_object_values(key);
}

bool key_pair_mirror(pkcs11_object& pub, pkcs11_object& priv, uint32_t type) {
    const pkcs11_attribute* on_pub = pub.attributes().find(type);
    const pkcs11_attribute* on_priv = priv.attributes().find(type);
    if (on_pub == nullptr && on_priv == nullptr) return false;
    if (on_pub == nullptr || on_priv == nullptr) {
        // A copy: setting the attribute may move the other object's storage.
        const std::vector<uint8_t> v = (on_pub != nullptr ? on_pub : on_priv)->value;
        pkcs11_object& to = on_pub == nullptr ? pub : priv;
        to.object_set_attribute(type, v.data(), static_cast<uint32_t>(v.size()));
    }
    return true;
}

CK_RV key_pair_names_fit(const pkcs11_object& pub, const pkcs11_object& priv) {
    for (const pkcs11_object* o : {&pub, &priv}) {
        const pkcs11_attribute* n = o->attributes().find(ZELT_CKA_CONTAINER_NAME);
        if (n != nullptr && n->length() > container_name_capacity)
            return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return CKR_OK;
}

CK_RV key_pair_share_id_and_spec(pkcs11_object& pub, pkcs11_object& priv) {
    const pkcs11_attribute* pub_id = pub.attributes().find(CKA_ID);
    const pkcs11_attribute* priv_id = priv.attributes().find(CKA_ID);
    if (pub_id != nullptr && priv_id != nullptr && pub_id->value != priv_id->value)
        return CKR_TEMPLATE_INCONSISTENT;
    if (!key_pair_mirror(pub, priv, CKA_ID)) {
        std::string id;
        random_hex(id, 32);
        key_pair_set(pub, priv, CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
    }
    if (!key_pair_mirror(pub, priv, ZELT_CKA_KEY_SPEC)) {
        const uint32_t one = key_spec_exchange;
        key_pair_set(pub, priv, ZELT_CKA_KEY_SPEC, &one, 4);
    }
    return CKR_OK;
}

void key_pair_set(pkcs11_object& pub, pkcs11_object& priv, uint32_t type, const void* value,
                  uint32_t length) {
    pub.object_set_attribute(type, value, length);
    priv.object_set_attribute(type, value, length);
}

void key_pair_mark_generated(pkcs11_object& pub, pkcs11_object& priv, uint32_t key_type,
                             uint32_t spec) {
    const uint32_t public_class = CKO_PUBLIC_KEY;
    const uint32_t private_class = CKO_PRIVATE_KEY;
    const uint8_t yes = 1;
    const pkcs11_attribute* name = pub.attributes().find(ZELT_CKA_CONTAINER_NAME);
    const std::vector<uint8_t> stored_name = name != nullptr ? name->value : std::vector<uint8_t>{};
    pub.object_set_attribute(CKA_CLASS, &public_class, 4);
    priv.object_set_attribute(CKA_CLASS, &private_class, 4);
    key_pair_set(pub, priv, CKA_KEY_TYPE, &key_type, 4);
    key_pair_set(pub, priv, CKA_LOCAL, &yes, 1);
    key_pair_set(pub, priv, CKA_TOKEN, &yes, 1);
    key_pair_set(pub, priv, ZELT_CKA_KEY_SPEC, &spec, 4);
    key_pair_set(pub, priv, ZELT_CKA_CONTAINER_NAME, stored_name.data(),
                 static_cast<uint32_t>(stored_name.size()));
}

void key_pair_keep_id(pkcs11_token& token, std::string_view container_name,
                      const pkcs11_object& public_key) {
    if (const pkcs11_attribute* id = public_key.attributes().find(CKA_ID); id != nullptr)
        (void)token.containers().container_write_key_id(container_name, id->value);
}

CK_RV key_pair_container(pkcs11_token& token, const std::string& name) {
    if (!container_name_acceptable(name)) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = token.open_application(); rv != CKR_OK) return rv;
    pkcs11_container_manager& mgr = token.containers();
    if (mgr.application() != token.application() || mgr.list().find(name) == nullptr)
        (void)mgr.container_manager_load();
    if (mgr.list().find(name) == nullptr) {
        if (CK_RV rv = mgr.container_create(name); rv != CKR_OK && rv != ZELT_CKR_CONTAINER_EXISTS)
            return rv;
    }
    if (mgr.list().find(name) == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (!mgr.counter().value()) (void)mgr.cache_counter_reload();
    return CKR_OK;
}
