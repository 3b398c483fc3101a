// Certificates in key containers: the objects built from them, loading and storing.
#include "pkcs11_container_mgr.h"

#include <algorithm>

#include "cert_reader.h"
#include "pkcs11_container_internal.h"
#include "pkcs11_token.h"

CK_RV pkcs11_container_manager::build_certificate(pkcs11_container& container, uint32_t key_spec) {
    const std::vector<uint8_t> label = with_nul(container.text());
    std::vector<uint8_t> id = label;
    if (key_spec == key_spec_signature) id.push_back('S');
    const uint32_t cert_class = CKO_CERTIFICATE;
    const uint32_t x509 = CKC_X_509;
    const inner_attribute attrs[] = {
        entry(CKA_ID, id.data(), id.size()),
        entry(CKA_CLASS, &cert_class, 4),
        entry(CKA_TOKEN, &ck_true, 1),
        entry(CKA_CERTIFICATE_TYPE, &x509, 4),
        entry(CKA_LABEL, label.data(), label.size()),
        entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size()),
        entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
    };
    CK_RV rv = CKR_OK;
    auto cert = pkcs11_object::create(0, CKO_CERTIFICATE, attrs, std::size(attrs), &rv);
    if (cert == nullptr) return rv;
    if (CK_RV load = container_load_certificate(*cert); load != CKR_OK)
        return load; // no certificate, no object
    token_.objects().add(cert);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_load_certificate(pkcs11_object& object) {
    const uint32_t key_spec = object.object_key_spec();
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    const std::vector<uint8_t> id =
        container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    std::vector<uint8_t> der(gm_certificate_max);
    uint32_t length = static_cast<uint32_t>(der.size());
    if (const uint32_t rv = SKF_ExportCertificate(container->handle, key_spec == key_spec_signature,
                                                  der.data(), &length);
        rv != SAR_OK)
        return rv;
    der.resize(std::min<size_t>(length, der.size()));
    const uint32_t cert_class = CKO_CERTIFICATE;
    const uint32_t x509 = CKC_X_509;
    const uint32_t value_len = static_cast<uint32_t>(der.size());
    const std::string_view text = container->text();
    const std::vector<uint8_t> name = with_nul(text);
    object.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
    object.object_set_attribute(CKA_CLASS, &cert_class, 4);
    object.object_set_attribute(CKA_TOKEN, &ck_true, 1);
    object.object_set_attribute(CKA_VALUE, der.data(), value_len);
    object.object_set_attribute(CKA_VALUE_LEN, &value_len, 4);
    object.object_set_attribute(CKA_CERTIFICATE_TYPE, &x509, 4);
    object.object_set_attribute(CKA_LABEL, text.data(), static_cast<uint32_t>(text.size()));
    object.object_set_attribute(ZELT_CKA_CONTAINER_NAME, name.data(),
                                static_cast<uint32_t>(name.size()));
    object.object_set_attribute(ZELT_CKA_KEY_SPEC, &key_spec, 4);
    const parsed_cert_scope done;
    if (parse_certificate(der.data(), der.size()) == 0)
        (void)object_fill_certificate_attributes(object);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_store_certificate(pkcs11_object& object) {
    if (object.object_class() != CKO_CERTIFICATE) return CKR_OK;
    const auto value = attribute_bytes(object, CKA_VALUE);
    if (!value) return CKR_OK;
    if (value->empty() || value->size() > gm_certificate_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    pkcs11_container* container = nullptr;
    bool created = false;
    if (CK_RV rv = container_for_object(object, container, &created); rv != CKR_OK) return rv;
    const uint32_t rv =
        SKF_ImportCertificate(container->handle, object.object_is_signature_key() ? 1 : 0,
                              value->data(), static_cast<uint32_t>(value->size()));
    if (rv != SAR_OK) discard_new_container(container, created);
    update_map();
    if (rv == SAR_OK) {
        // The certificate's CKA_ID is kept as the container's identifier when
        // the container has none yet, so that it comes back after a reload.
        const auto id = attribute_bytes(object, CKA_ID);
        const std::string name(container->text());
        if (id && !id->empty() && id->size() <= key_id_file_max &&
            !read_key_id_file(name).has_value())
            (void)container_write_key_id(name, *id);
    }
    return rv;
}
