// Deletion of what a key container holds: a certificate, a key pair, the
// container itself once it is empty.
#include "pkcs11_container_mgr.h"

#include <string>

#include "pkcs11_container_internal.h"
#include "pkcs11_token.h"

CK_RV pkcs11_container_manager::container_delete_certificate(const pkcs11_object& object) {
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (name->size() > container_name_capacity) return CKR_BUFFER_TOO_SMALL;
    return container_remove(object, gm_delete_certificate);
}

CK_RV pkcs11_container_manager::container_delete_key_pair(const pkcs11_object& object) {
    return container_remove(object, gm_delete_key_pair);
}

CK_RV pkcs11_container_manager::container_remove(const pkcs11_object& object,
                                                 uint32_t (*remove)(HCONTAINER, uint32_t)) {
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    const uint32_t rv = remove(container->handle, device_key_spec(object.object_key_spec()));
    update_map();
    return rv;
}

CK_RV pkcs11_container_manager::container_delete_if_empty(const pkcs11_object& object) {
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    uint8_t type = 0;
    uint32_t sign_bits = 0;
    uint32_t exch_bits = 0;
    uint8_t sign_cert = 0;
    uint8_t exch_cert = 0;
    if (const uint32_t rv = gm_get_container_info(container->handle, &type, &sign_bits, &exch_bits,
                                                  &sign_cert, &exch_cert);
        rv != SAR_OK)
        return rv;
    if (sign_bits != 0 || exch_bits != 0 || sign_cert != 0 || exch_cert != 0) return CKR_OK;
    return container_delete(std::string(container->text()));
}
