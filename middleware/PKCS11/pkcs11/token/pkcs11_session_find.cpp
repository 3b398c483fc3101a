// A session's object search: C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal.
#include "pkcs11_session.h"
#include "pkcs11_token.h"

CK_RV pkcs11_session::find_init(const p11abi::inner_template& tmpl, pkcs11_token& token) {
    if (search_ != nullptr) return CKR_OPERATION_ACTIVE;
    if (CK_RV rv = token.load_objects_for_find(tmpl); rv != CKR_OK) return rv;
    auto finder = std::make_unique<pkcs11_object_finder>();
    if (tmpl.matches_nothing()) {
        finder->finder_init_empty();
    } else if (CK_RV rv = finder->finder_init(tmpl.data(), tmpl.size()); rv != CKR_OK) {
        return rv;
    }
    search_ = std::move(finder);
    return CKR_OK;
}

CK_RV pkcs11_session::find_objects(pkcs11_token& token, CK_OBJECT_HANDLE* handles, uint32_t max,
                                   uint32_t* count) {
    if (search_ == nullptr) {
        if (count != nullptr) *count = 0;
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    return search_->finder_next_visible(
        token.objects(), access_class(), handles, max, count,
        [&token](pkcs11_object& o) { return token.read_object_values(o); });
}

CK_RV pkcs11_session::find_final() {
    if (search_ == nullptr) return CKR_OPERATION_NOT_INITIALIZED;
    search_.reset();
    return CKR_OK;
}
