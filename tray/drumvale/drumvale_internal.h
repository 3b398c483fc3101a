// Shared between Drumvale's files: the loaded module and the token table.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pkcs11.h"

namespace drumvale {

using bytes = std::vector<uint8_t>;

struct token_entry {
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
};

struct vendor_functions {
    M_GetUserInfo_FN get_user_info = nullptr;
    M_EnumContainer_FN enum_container = nullptr;
    M_ReloadObjects_FN reload_objects = nullptr;
    M_SetEnumString_FN set_enum_string = nullptr;
};

struct library_state {
    std::mutex guard;
    void* handle = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    vendor_functions m;
    bool finalize_on_unload = false;
    std::vector<token_entry> tokens; // at most DRUMVALE_MAX_TOKENS
};

library_state& state();

// Public key of a DER certificate: algorithm (1 RSA, 2 EC/SM2), bits and the
// modulus or uncompressed point. False when it cannot be read.
bool certificate_public_key(const bytes& der, uint32_t& algorithm, uint32_t& bits, bytes& key);

} // namespace drumvale
