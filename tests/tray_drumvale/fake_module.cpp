// A PKCS#11 module for Drumvale's table tests: it reports as many tokens as
// $FAKE_TOKENS says and, through the vendor M_EnumContainer (found by name),
// as many containers as $FAKE_CONTAINERS says. Everything else is refused.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pkcs11.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {

CK_ULONG env_count(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::strtoul(v, nullptr, 10) : 0;
}

#define FAKE_STUB(name, params)                                                                    \
    CK_RV stub_##name params {                                                                     \
        return CKR_FUNCTION_NOT_SUPPORTED;                                                         \
    }
TESSVIK_CK_FUNCTIONS(FAKE_STUB)
#undef FAKE_STUB

bool initialised = false;
CK_ULONG next_session = 100;

CK_RV fake_initialize(CK_VOID_PTR) {
    if (initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    initialised = true;
    return CKR_OK;
}
CK_RV fake_finalize(CK_VOID_PTR) {
    initialised = false;
    return CKR_OK;
}
CK_RV fake_slot_list(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    const CK_ULONG n = env_count("FAKE_TOKENS");
    if (list == nullptr) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n; ++i)
        list[i] = 10 + i;
    *count = n;
    return CKR_OK;
}
CK_RV fake_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    std::memset(info, ' ', sizeof *info);
    const std::string label = "fake " + std::to_string(slot);
    std::memcpy(info->label, label.data(), label.size());
    info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_TO_BE_CHANGED;
    info->ulMaxPinLen = 16;
    info->ulMinPinLen = 8;
    info->hardwareVersion = {1, 2};
    info->firmwareVersion = {3, 4};
    return CKR_OK;
}
CK_RV fake_open_session(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR h) {
    *h = next_session++;
    return CKR_OK;
}
CK_RV fake_close_session(CK_SESSION_HANDLE) {
    return CKR_OK;
}
CK_RV fake_session_info(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
    std::memset(info, 0, sizeof *info);
    info->state = CKS_RW_PUBLIC_SESSION;
    return CKR_OK;
}

CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST f{};
    f.version = {2, 20};
#define FAKE_FILL(name, params) f.name = stub_##name;
    TESSVIK_CK_FUNCTIONS(FAKE_FILL)
#undef FAKE_FILL
    f.C_Initialize = fake_initialize;
    f.C_Finalize = fake_finalize;
    f.C_GetSlotList = fake_slot_list;
    f.C_GetTokenInfo = fake_token_info;
    f.C_OpenSession = fake_open_session;
    f.C_CloseSession = fake_close_session;
    f.C_GetSessionInfo = fake_session_info;
    return f;
}();

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV
C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    *list = &functions;
    return CKR_OK;
}

// Container names "c0", "c1", ...
extern "C" __attribute__((visibility("default"))) CK_RV
M_EnumContainer(CK_SESSION_HANDLE, char* buffer, CK_ULONG_PTR size) {
    std::string all;
    for (CK_ULONG i = 0; i < env_count("FAKE_CONTAINERS"); ++i) {
        all += "c" + std::to_string(i);
        all += '\0';
    }
    if (buffer == nullptr) {
        *size = all.size();
        return CKR_OK;
    }
    if (*size < all.size()) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(buffer, all.data(), all.size());
    *size = all.size();
    return CKR_OK;
}
