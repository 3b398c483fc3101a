// The device mutex, the status-word map and the size-query rule.
#include "gm_frame.h"

#include <cstring>

#include "transport.h"

mk_mutex& gm_api_mutex() {
    static mk_mutex mutex;
    return mutex;
}

namespace {
// Built while the library loads, before anything that may lock it at exit.
[[maybe_unused]] const bool api_mutex_built = (gm_api_mutex(), true);
} // namespace

uint32_t gm_map_status_word(uint32_t sw) {
    switch (sw) {
    case 0x9000:
        return SAR_OK;
    case 0x6581:
    case 0x6A86:
    case 0x6E00:
        return SAR_UNKNOWNERR;
    case 0x6700:
        return SAR_INDATALENERR;
    case 0x6982:
        return SAR_USER_NOT_LOGGED_IN;
    case 0x6983:
        return SAR_PIN_LOCKED;
    case 0x6984:
        return SAR_INDATAERR;
    case 0x6A80:
        return SAR_INVALIDPARAMERR;
    case 0x6A84:
        return SAR_NO_ROOM;
    case 0x6A88:
    case 0x6A8B:
        return SAR_APPLICATION_NOT_EXISTS;
    case 0x6A89:
        return SAR_APPLICATION_EXISTS;
    case 0x6A8C:
    case 0x6A95:
        return SAR_KEYNOTFOUNTERR;
    case 0x6A91:
    case 0x6A94:
        return GM_SW_6A91_6A94;
    case 0x6A92:
        return SAR_FILE_ALREADY_EXIST;
    case 0x6A93:
        return SAR_FILE_NOT_EXIST;
    case 0x6A96:
        return SAR_CERTNOTFOUNTERR;
    case 0x6A98:
        return SAR_HASHNOTEQUALERR;
    case 0x6A9A:
        return GM_SW_6A9A;
    case 0x6B00:
        return GM_SW_6B00;
    case 0x6E01:
        return SAR_BUFFER_TOO_SMALL;
    case 0x6E02:
        return GM_SW_6E02;
    case 0x6F01:
    case 0x6F0D:
        return GM_FINGERPRINT_PENDING;
    case 0x6F02:
    case 0x6F0C:
        return GM_SW_6F02_6F0C;
    case 0x6F09:
        return GM_SW_6F09;
    case 0x6F0A:
        return GM_SW_6F0A;
    case 0x6F0B:
        return GM_SW_6F0B;
    default:
        return sw;
    }
}

gm_verify_status gm_read_verify_status(uint32_t sw) {
    gm_verify_status status;
    if ((sw & 0xFFF0) == 0x63C0) {
        status.counter = true;
        status.tries = sw & 0x000F;
        status.code = status.tries > 0 ? SAR_PIN_INCORRECT : SAR_PIN_LOCKED;
        return status;
    }
    status.code = gm_map_status_word(sw);
    return status;
}

uint32_t gm_wrapper_error(const cmd_result& result) {
    if (result.ok()) return SAR_OK;
    const uint32_t code = gm_map_status_word(result.status_word);
    return code == SAR_OK ? SAR_FAIL : code;
}

uint32_t gm_size_query(uint32_t needed, const void* buffer, uint32_t* length) {
    if (length == nullptr) return SAR_INVALIDPARAMERR;
    if (buffer == nullptr) {
        *length = needed;
        return SAR_OK;
    }
    if (*length < needed) {
        *length = needed;
        return SAR_BUFFER_TOO_SMALL;
    }
    return SAR_OK;
}

uint32_t gm_copy_out(const void* data, uint32_t needed, void* buffer, uint32_t* length) {
    if (const uint32_t rv = gm_size_query(needed, buffer, length);
        rv != SAR_OK || buffer == nullptr)
        return rv;
    if (needed > 0) std::memcpy(buffer, data, needed);
    *length = needed;
    return SAR_OK;
}
