#include "p11_objects.h"

namespace test_support {

std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                           std::vector<CK_ATTRIBUTE> t, CK_RV* rv) {
    CK_RV ignored = CKR_OK;
    if (rv == nullptr) rv = &ignored;
    std::vector<CK_OBJECT_HANDLE> out;
    *rv = f->C_FindObjectsInit(s, t.empty() ? nullptr : t.data(), t.size());
    if (*rv != CKR_OK) return out;
    CK_OBJECT_HANDLE h[32];
    CK_ULONG n = 0;
    while ((*rv = f->C_FindObjects(s, h, 32, &n)) == CKR_OK && n > 0)
        out.insert(out.end(), h, h + n);
    const CK_RV final_rv = f->C_FindObjectsFinal(s);
    if (*rv == CKR_OK) *rv = final_rv;
    return out;
}

CK_RV attribute_value(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h,
                      CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& out) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (CK_RV rv = f->C_GetAttributeValue(s, h, &a, 1); rv != CKR_OK) return rv;
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_ATTRIBUTE_TYPE_INVALID;
    out.assign(a.ulValueLen, 0);
    a.pValue = out.data();
    return f->C_GetAttributeValue(s, h, &a, 1);
}

std::optional<std::vector<uint8_t>> attribute_value(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                                    CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
    std::vector<uint8_t> v;
    if (attribute_value(f, s, h, type, v) != CKR_OK) return std::nullopt;
    return v;
}

} // namespace test_support
