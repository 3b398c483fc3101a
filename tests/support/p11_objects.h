// Objects through a module's function list in tests: every handle a search
// finds, and an attribute's value read the PKCS#11 way (its length, then the
// value).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "pkcs11.h"

namespace test_support {

// Every handle C_FindObjects gives for `t` (an empty template finds all
// objects). *rv, when given, is the first answer that is not CKR_OK,
// C_FindObjectsFinal's included.
std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                           std::vector<CK_ATTRIBUTE> t, CK_RV* rv = nullptr);

// The value of attribute `type` into `out`; CKR_ATTRIBUTE_TYPE_INVALID where
// its length comes back as CK_UNAVAILABLE_INFORMATION.
CK_RV attribute_value(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h,
                      CK_ATTRIBUTE_TYPE type, std::vector<uint8_t>& out);
// The same, nothing where it cannot be read.
std::optional<std::vector<uint8_t>> attribute_value(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                                    CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type);

} // namespace test_support
