// Module loading, the token table, sessions, PINs and containers.
#include <algorithm>
#include <cstring>
#include <string_view>

#include <dlfcn.h>

#include "data_directory.h"
#include "drumvale.h"
#include "drumvale_internal.h"
#include "file_version.h"

TAVREL_FILE_VERSION(1, 0, 0, 1);

namespace drumvale {

library_state& state() {
    static library_state s;
    return s;
}

namespace {

constexpr CK_USER_TYPE user_type_so = 0;
constexpr CK_USER_TYPE user_type_user = 1;

// ---- loading ----

std::string this_library_directory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&init_pkcs11), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool ends_with_dll(std::string_view name) {
    if (name.size() < 4) return false;
    std::string tail(name.substr(name.size() - 4));
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".dll";
}

// The names to try for a module name, in order.
std::vector<std::string> candidate_names(const std::string& name) {
    std::vector<std::string> names{name};
    if (ends_with_dll(name)) {
        const std::string stem = name.substr(0, name.size() - 4);
        std::string lower = stem;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const std::string& n : {"lib" + stem + ".so", "lib" + lower + ".so", stem + ".so"})
            if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    return names;
}

// RTLD_NODELETE: a module may keep threads or at-exit work beyond
// C_Finalize; its code stays mapped after uninit_pkcs11 so that nothing of it
// ever runs from unmapped memory. Loading it again finds the same copy.
constexpr int open_flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

void* open_module(const std::string& name) {
    if (name.find('/') != std::string::npos) return dlopen(name.c_str(), open_flags);
    const std::vector<std::string> names = candidate_names(name);
    std::vector<std::string> directories;
    for (const std::string& d : {plat::program_directory(), this_library_directory()})
        if (!d.empty() && std::find(directories.begin(), directories.end(), d) == directories.end())
            directories.push_back(d);
    for (const std::string& d : directories)
        for (const std::string& n : names)
            if (void* h = dlopen((d + "/" + n).c_str(), open_flags)) return h;
    for (const std::string& n : names)
        if (void* h = dlopen(n.c_str(), open_flags)) return h;
    return nullptr;
}

void close_sessions(library_state& s) {
    for (token_entry& t : s.tokens)
        if (t.session != CK_INVALID_HANDLE) {
            (void)s.f->C_CloseSession(t.session);
            t.session = CK_INVALID_HANDLE;
        }
    s.tokens.clear();
}

void unload(library_state& s) {
    if (s.f != nullptr) {
        close_sessions(s);
        if (s.finalize_on_unload) (void)s.f->C_Finalize(nullptr);
    }
    if (s.handle != nullptr) dlclose(s.handle);
    s.handle = nullptr;
    s.f = nullptr;
    s.m = {};
    s.finalize_on_unload = false;
}

template <typename T> T symbol(void* handle, const char* name) {
    return reinterpret_cast<T>(dlsym(handle, name));
}

uint32_t load(library_state& s, const char* module, const char* enum_string, const char* identifier,
              const char* app_name) {
    unload(s);
    if (module == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    std::string name = module;
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
        name.erase(name.begin());
    if (name.empty()) return DRUMVALE_E_BAD_ARGUMENT;
    s.handle = open_module(name);
    if (s.handle == nullptr) return DRUMVALE_E_MODULE_LOAD;
    auto get_list = symbol<CK_C_GetFunctionList>(s.handle, "C_GetFunctionList");
    if (get_list == nullptr || get_list(&s.f) != CKR_OK || s.f == nullptr) {
        s.f = nullptr;
        unload(s);
        return DRUMVALE_E_MODULE_LOAD;
    }
    // The vendor extension, where the module has it: its table first, then by name.
    M_FUNCTION_LIST* table = nullptr;
    if (auto get_ext = symbol<M_GetExtFunctionList_FN>(s.handle, "M_GetExtFunctionList");
        get_ext != nullptr && get_ext(&table) == CKR_OK && table != nullptr) {
        s.m.get_user_info = table->M_GetUserInfo;
        s.m.enum_container = table->M_EnumContainer;
        s.m.reload_objects = table->M_ReloadObjects;
        s.m.set_enum_string = table->M_SetEnumString;
    } else {
        s.m.get_user_info = symbol<M_GetUserInfo_FN>(s.handle, "M_GetUserInfo");
        s.m.enum_container = symbol<M_EnumContainer_FN>(s.handle, "M_EnumContainer");
        s.m.reload_objects = symbol<M_ReloadObjects_FN>(s.handle, "M_ReloadObjects");
        s.m.set_enum_string = symbol<M_SetEnumString_FN>(s.handle, "M_SetEnumString");
    }
    if (enum_string != nullptr && *enum_string != '\0' && s.m.set_enum_string != nullptr)
        (void)s.m.set_enum_string(enum_string, identifier != nullptr ? identifier : "",
                                  app_name != nullptr ? app_name : "");
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = s.f->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        unload(s);
        return static_cast<uint32_t>(rv);
    }
    // A module another part of the process initialised stays initialised.
    s.finalize_on_unload = rv == CKR_OK;
    return 0;
}

// ---- helpers over the module ----

uint32_t code(CK_RV rv) {
    return rv > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(rv);
}

// The entry of a token index, or a failure code.
uint32_t entry_for(library_state& s, uint32_t index, token_entry*& out) {
    if (s.f == nullptr) return DRUMVALE_E_NOT_INITIALISED;
    if (index >= s.tokens.size()) return DRUMVALE_E_BAD_INDEX;
    out = &s.tokens[index];
    return 0;
}

// The token's session, opened (read/write) when it has none or it was lost.
uint32_t session_for(library_state& s, uint32_t index, token_entry*& out) {
    if (uint32_t rc = entry_for(s, index, out); rc != 0) return rc;
    if (out->session != CK_INVALID_HANDLE) {
        CK_SESSION_INFO info{};
        if (s.f->C_GetSessionInfo(out->session, &info) == CKR_OK) return 0;
        out->session = CK_INVALID_HANDLE;
    }
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    const CK_RV rv =
        s.f->C_OpenSession(out->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
    if (rv != CKR_OK) return code(rv);
    out->session = h;
    return 0;
}

std::vector<CK_OBJECT_HANDLE> find_objects(library_state& s, CK_SESSION_HANDLE session,
                                           CK_OBJECT_CLASS cls) {
    std::vector<CK_OBJECT_HANDLE> out;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}};
    if (s.f->C_FindObjectsInit(session, t, 1) != CKR_OK) return out;
    CK_OBJECT_HANDLE found[32];
    CK_ULONG n = 0;
    while (s.f->C_FindObjects(session, found, 32, &n) == CKR_OK && n > 0 && n <= 32)
        out.insert(out.end(), found, found + n);
    (void)s.f->C_FindObjectsFinal(session);
    return out;
}

std::optional<bytes> attribute(library_state& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE h,
                               CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (s.f->C_GetAttributeValue(session, h, &a, 1) != CKR_OK ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > (1u << 20))
        return std::nullopt;
    bytes value(a.ulValueLen);
    a.pValue = value.data();
    if (s.f->C_GetAttributeValue(session, h, &a, 1) != CKR_OK || a.ulValueLen > value.size())
        return std::nullopt;
    value.resize(a.ulValueLen);
    return value;
}

// An integer attribute read at whatever width the module returns (4 or 8 bytes).
std::optional<uint64_t> integer_attribute(library_state& s, CK_SESSION_HANDLE session,
                                          CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
    auto v = attribute(s, session, h, type);
    if (!v || (v->size() != 4 && v->size() != 8)) return std::nullopt;
    uint64_t out = 0;
    for (size_t i = 0; i < v->size(); ++i)
        out |= uint64_t{(*v)[i]} << (8 * i); // x86-64 hosts are little-endian
    return out;
}

bool bool_attribute(library_state& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE h,
                    CK_ATTRIBUTE_TYPE type) {
    auto v = attribute(s, session, h, type);
    return v && v->size() == 1 && (*v)[0] != 0;
}

std::string hex(const bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t x : b) {
        out += digits[x >> 4];
        out += digits[x & 15];
    }
    return out;
}

// Text of a name attribute up to its first NUL.
std::string text_of(const bytes& b) {
    std::string s(b.begin(), b.end());
    const size_t nul = s.find('\0');
    return nul == std::string::npos ? s : s.substr(0, nul);
}

// The container an object belongs to: the vendor container name where the
// module keeps one, else the hex of CKA_ID (the usual pairing of a
// certificate with its keys in PKCS#11), else its label.
std::string container_of(library_state& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE h) {
    if (auto name = attribute(s, session, h, ZELT_CKA_CONTAINER_NAME)) {
        std::string text = text_of(*name);
        if (!text.empty()) return text;
    }
    if (auto id = attribute(s, session, h, CKA_ID); id && !id->empty()) return hex(*id);
    if (auto label = attribute(s, session, h, CKA_LABEL)) return text_of(*label);
    return {};
}

// The key spec an object stands for: the vendor attribute where the module
// keeps one; otherwise a key pair that decrypts or unwraps is an exchange
// pair (1) and anything else a signature pair (2).
uint32_t key_spec_of(library_state& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE h,
                     const std::string& container) {
    if (auto spec = integer_attribute(s, session, h, ZELT_CKA_KEY_SPEC); spec && *spec <= 2)
        return static_cast<uint32_t>(*spec);
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY})
        for (CK_OBJECT_HANDLE k : find_objects(s, session, cls)) {
            if (container_of(s, session, k) != container) continue;
            const bool exchange = cls == CKO_PRIVATE_KEY
                                      ? bool_attribute(s, session, k, CKA_DECRYPT) ||
                                            bool_attribute(s, session, k, CKA_UNWRAP)
                                      : bool_attribute(s, session, k, CKA_ENCRYPT) ||
                                            bool_attribute(s, session, k, CKA_WRAP);
            return exchange ? 1 : 2;
        }
    return 2;
}

std::optional<CK_OBJECT_HANDLE> find_in_container(library_state& s, CK_SESSION_HANDLE session,
                                                  CK_OBJECT_CLASS cls, const std::string& container,
                                                  uint32_t key_spec) {
    for (CK_OBJECT_HANDLE h : find_objects(s, session, cls))
        if (container_of(s, session, h) == container &&
            key_spec_of(s, session, h, container) == key_spec)
            return h;
    return std::nullopt;
}

void copy_text(char* out, size_t size, const CK_UTF8CHAR* field, size_t field_size) {
    if (out == nullptr) return;
    size_t n = field_size;
    while (n > 0 && (field[n - 1] == ' ' || field[n - 1] == '\0'))
        --n;
    n = std::min(n, size - 1);
    std::memcpy(out, field, n);
    out[n] = '\0';
}

uint32_t narrow(CK_ULONG v) {
    return v > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

void put(uint32_t* out, uint32_t value) {
    if (out != nullptr) *out = value;
}

// The names of the module's containers (without the table bound).
uint32_t container_names(library_state& s, token_entry& t, std::vector<std::string>& names) {
    names.clear();
    if (s.m.enum_container != nullptr) {
        CK_ULONG size = 0;
        CK_RV rv = s.m.enum_container(t.session, nullptr, &size);
        if (rv != CKR_OK) return code(rv);
        if (size > (1u << 20)) return DRUMVALE_E_BUFFER_TOO_SMALL;
        std::vector<char> buffer(size + 1, '\0');
        rv = s.m.enum_container(t.session, buffer.data(), &size);
        if (rv != CKR_OK) return code(rv);
        size = std::min<CK_ULONG>(size, buffer.size() - 1); // never past what we own
        for (size_t pos = 0; pos < size;) {
            const char* start = buffer.data() + pos;
            const size_t length = strnlen(start, size - pos);
            if (length > 0) names.emplace_back(start, length);
            pos += length + 1;
        }
        return 0;
    }
    for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY})
        for (CK_OBJECT_HANDLE h : find_objects(s, t.session, cls)) {
            std::string name = container_of(s, t.session, h);
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(std::move(name));
        }
    return 0;
}

} // namespace

} // namespace drumvale

using namespace drumvale;

extern "C" {

__attribute__((visibility("default"))) uint32_t init_pkcs11(const char* module) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    return load(s, module, nullptr, nullptr, nullptr);
}

__attribute__((visibility("default"))) uint32_t init_pkcs11_ex(const char* enum_string,
                                                               const char* identifier,
                                                               const char* app_name,
                                                               const char* module) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    return load(s, module, enum_string, identifier, app_name);
}

__attribute__((visibility("default"))) uint32_t uninit_pkcs11(void) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    unload(s);
    return 0;
}

__attribute__((visibility("default"))) uint32_t token_find(uint32_t* ids, uint32_t* count) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (s.f == nullptr) return DRUMVALE_E_NOT_INITIALISED;
    if (count == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    // A token may arrive between the size query and the list: ask again.
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int attempt = 0; attempt < 3 && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
        CK_ULONG n = 0;
        rv = s.f->C_GetSlotList(CK_TRUE, nullptr, &n);
        if (rv != CKR_OK) return code(rv);
        if (n > 1024) return DRUMVALE_E_TOO_MANY_TOKENS;
        slots.assign(n, 0);
        if (n == 0) break;
        rv = s.f->C_GetSlotList(CK_TRUE, slots.data(), &n);
        if (rv == CKR_OK) slots.resize(std::min<size_t>(n, slots.size()));
    }
    if (rv != CKR_OK) return code(rv);
    // The table is rebuilt: indices of the last search no longer hold.
    close_sessions(s);
    const bool too_many = slots.size() > DRUMVALE_MAX_TOKENS;
    if (too_many) slots.resize(DRUMVALE_MAX_TOKENS);
    if (*count < slots.size()) {
        *count = static_cast<uint32_t>(slots.size());
        return DRUMVALE_E_BUFFER_TOO_SMALL;
    }
    if (ids == nullptr && !slots.empty()) return DRUMVALE_E_BAD_ARGUMENT;
    for (size_t i = 0; i < slots.size(); ++i) {
        s.tokens.push_back({slots[i], CK_INVALID_HANDLE});
        ids[i] = narrow(slots[i]);
    }
    *count = static_cast<uint32_t>(slots.size());
    return too_many ? DRUMVALE_E_TOO_MANY_TOKENS : 0;
}

__attribute__((visibility("default"))) uint32_t token_connect(uint32_t index) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    token_entry* t = nullptr;
    return session_for(s, index, t);
}

__attribute__((visibility("default"))) uint32_t
token_get_info(uint32_t index, char* label, char* manufacturer, char* model, char* serial,
               uint32_t* max_pin_len, uint32_t* min_pin_len, uint32_t* total_public_memory,
               uint32_t* free_public_memory, uint32_t* total_private_memory,
               uint32_t* free_private_memory, uint32_t* hardware_version,
               uint32_t* firmware_version, uint32_t* initialised) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    token_entry* t = nullptr;
    if (uint32_t rc = entry_for(s, index, t); rc != 0) return rc;
    CK_TOKEN_INFO info{};
    if (CK_RV rv = s.f->C_GetTokenInfo(t->slot, &info); rv != CKR_OK) return code(rv);
    copy_text(label, 33, info.label, sizeof info.label);
    copy_text(manufacturer, 129, info.manufacturerID, sizeof info.manufacturerID);
    copy_text(model, 65, info.model, sizeof info.model);
    copy_text(serial, 65, info.serialNumber, sizeof info.serialNumber);
    put(max_pin_len, narrow(info.ulMaxPinLen));
    put(min_pin_len, narrow(info.ulMinPinLen));
    put(total_public_memory, narrow(info.ulTotalPublicMemory));
    put(free_public_memory, narrow(info.ulFreePublicMemory));
    put(total_private_memory, narrow(info.ulTotalPrivateMemory));
    put(free_private_memory, narrow(info.ulFreePrivateMemory));
    put(hardware_version,
        uint32_t{info.hardwareVersion.major} << 8 | uint32_t{info.hardwareVersion.minor});
    put(firmware_version,
        uint32_t{info.firmwareVersion.major} << 8 | uint32_t{info.firmwareVersion.minor});
    put(initialised, (info.flags & CKF_TOKEN_INITIALIZED) != 0 ? 1 : 0);
    return 0;
}

namespace {

// Tries left for the user PIN: the vendor record where there is one, else
// what the token flags tell.
uint32_t retries_left(library_state& s, const token_entry& t) {
    if (s.m.get_user_info != nullptr) {
        user_pin_info info{};
        if (s.m.get_user_info(t.slot, user_type_user, &info) == CKR_OK) return info.remaining_tries;
    }
    CK_TOKEN_INFO info{};
    if (s.f->C_GetTokenInfo(t.slot, &info) != CKR_OK) return DRUMVALE_RETRIES_UNKNOWN;
    if (info.flags & CKF_USER_PIN_LOCKED) return 0;
    if (info.flags & CKF_USER_PIN_FINAL_TRY) return 1;
    return DRUMVALE_RETRIES_UNKNOWN;
}

} // namespace

__attribute__((visibility("default"))) uint32_t token_login(uint32_t index, const char* pin,
                                                            uint32_t* retries) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (pin == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    // A session already logged in would not check the PIN at all.
    CK_SESSION_INFO info{};
    if (s.f->C_GetSessionInfo(t->session, &info) == CKR_OK &&
        (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS ||
         info.state == CKS_RW_SO_FUNCTIONS))
        (void)s.f->C_Logout(t->session);
    const CK_RV rv =
        s.f->C_Login(t->session, CKU_USER,
                     reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
    put(retries, retries_left(s, *t));
    return code(rv);
}

__attribute__((visibility("default"))) uint32_t token_logout(uint32_t index) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    return code(s.f->C_Logout(t->session));
}

__attribute__((visibility("default"))) uint32_t
token_change_upin(uint32_t index, const char* old_pin, const char* new_pin) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (old_pin == nullptr || new_pin == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    // C_SetPIN changes the PIN of the user logged in, or the user PIN when
    // nobody is (PKCS#11 v2.20 section 11.6): an SO login would change the
    // wrong PIN, so it is ended first.
    CK_SESSION_INFO info{};
    if (s.f->C_GetSessionInfo(t->session, &info) == CKR_OK && info.state == CKS_RW_SO_FUNCTIONS)
        (void)s.f->C_Logout(t->session);
    auto* old_text = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(old_pin));
    auto* new_text = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(new_pin));
    const CK_ULONG old_length = std::strlen(old_pin);
    const CK_ULONG new_length = std::strlen(new_pin);
    CK_RV rv = s.f->C_SetPIN(t->session, old_text, old_length, new_text, new_length);
    if (rv != CKR_USER_NOT_LOGGED_IN) return code(rv);
    // A module that changes only the PIN of a logged-in user: log in with the
    // old PIN (which checks it), change, and leave the session as it was.
    rv = s.f->C_Login(t->session, CKU_USER, old_text, old_length);
    if (rv != CKR_OK) return code(rv);
    rv = s.f->C_SetPIN(t->session, old_text, old_length, new_text, new_length);
    (void)s.f->C_Logout(t->session);
    return code(rv);
}

__attribute__((visibility("default"))) uint32_t
token_get_pin_state(uint32_t index, uint32_t user_type, uint32_t* remaining, uint32_t* maximum,
                    uint32_t* count_low, uint32_t* final_try, uint32_t* locked,
                    uint32_t* is_default) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (user_type != user_type_user && user_type != user_type_so) return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = entry_for(s, index, t); rc != 0) return rc;
    // The vendor record reads the card's PIN state now. The token flags of a
    // module may keep a "to be changed" state once set, so they come second.
    if (s.m.get_user_info != nullptr) {
        user_pin_info info{};
        const CK_RV rv = s.m.get_user_info(t->slot, user_type, &info);
        if (rv != CKR_OK) return code(rv);
        put(remaining, info.remaining_tries);
        put(maximum, info.maximum_tries);
        put(count_low, info.count_low != 0 ? 1 : 0);
        put(final_try, info.final_try != 0 ? 1 : 0);
        put(locked, info.locked != 0 ? 1 : 0);
        put(is_default, info.default_pin != 0 ? 1 : 0);
        return 0;
    }
    CK_TOKEN_INFO info{};
    if (CK_RV rv = s.f->C_GetTokenInfo(t->slot, &info); rv != CKR_OK) return code(rv);
    const bool so = user_type == user_type_so;
    const CK_FLAGS f = info.flags;
    const bool is_locked = f & (so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED);
    const bool is_final = f & (so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY);
    put(remaining, is_locked ? 0 : is_final ? 1 : DRUMVALE_RETRIES_UNKNOWN);
    put(maximum, DRUMVALE_RETRIES_UNKNOWN);
    put(count_low, (f & (so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW)) ? 1 : 0);
    put(final_try, is_final ? 1 : 0);
    put(locked, is_locked ? 1 : 0);
    put(is_default, (f & (so ? CKF_SO_PIN_TO_BE_CHANGED : CKF_USER_PIN_TO_BE_CHANGED)) ? 1 : 0);
    return 0;
}

__attribute__((visibility("default"))) uint32_t token_reload_all_objects(uint32_t index) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    if (s.m.reload_objects != nullptr) return code(s.m.reload_objects(t->session));
    return 0; // a plain module answers every search from the token itself
}

__attribute__((visibility("default"))) uint32_t container_load_all(uint32_t index, char* buffer,
                                                                   uint32_t* length) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (length == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    std::vector<std::string> names;
    if (uint32_t rc = container_names(s, *t, names); rc != 0) return rc;
    const bool too_many = names.size() > DRUMVALE_MAX_CONTAINERS;
    if (too_many) names.resize(DRUMVALE_MAX_CONTAINERS);
    size_t needed = 0;
    for (const std::string& n : names)
        needed += n.size() + 1;
    if (buffer == nullptr) { // size query
        *length = static_cast<uint32_t>(needed);
        return too_many ? DRUMVALE_E_TOO_MANY_CONTAINERS : 0;
    }
    if (needed > *length) {
        *length = static_cast<uint32_t>(needed);
        return DRUMVALE_E_BUFFER_TOO_SMALL;
    }
    size_t pos = 0;
    for (const std::string& n : names) {
        std::memcpy(buffer + pos, n.c_str(), n.size() + 1);
        pos += n.size() + 1;
    }
    *length = static_cast<uint32_t>(pos);
    return too_many ? DRUMVALE_E_TOO_MANY_CONTAINERS : 0;
}

__attribute__((visibility("default"))) uint32_t
container_get_cert(uint32_t index, const char* container, uint32_t key_spec, uint8_t* buffer,
                   uint32_t* length) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (container == nullptr || length == nullptr || (key_spec != 1 && key_spec != 2))
        return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    const auto h = find_in_container(s, t->session, CKO_CERTIFICATE, container, key_spec);
    if (!h) return DRUMVALE_E_NOT_FOUND;
    const auto value = attribute(s, t->session, *h, CKA_VALUE);
    if (!value || value->empty()) return DRUMVALE_E_NOT_FOUND;
    if (buffer == nullptr || value->size() > *length) {
        *length = static_cast<uint32_t>(value->size());
        return buffer == nullptr ? 0 : DRUMVALE_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, value->data(), value->size());
    *length = static_cast<uint32_t>(value->size());
    return 0;
}

__attribute__((visibility("default"))) uint32_t
container_get_pubkey(uint32_t index, const char* container, uint32_t key_spec, uint32_t* algorithm,
                     uint32_t* bits, uint8_t* key, uint32_t* key_length) {
    library_state& s = state();
    std::lock_guard lock(s.guard);
    if (container == nullptr || key_length == nullptr || (key_spec != 1 && key_spec != 2))
        return DRUMVALE_E_BAD_ARGUMENT;
    token_entry* t = nullptr;
    if (uint32_t rc = session_for(s, index, t); rc != 0) return rc;
    uint32_t alg = 0;
    uint32_t size_bits = 0;
    bytes value;
    if (auto h = find_in_container(s, t->session, CKO_PUBLIC_KEY, container, key_spec)) {
        auto type = integer_attribute(s, t->session, *h, CKA_KEY_TYPE);
        if (type && *type == CKK_RSA) {
            if (auto modulus = attribute(s, t->session, *h, CKA_MODULUS)) {
                value = *modulus;
                while (!value.empty() && value.front() == 0)
                    value.erase(value.begin());
                alg = 1;
                size_bits = static_cast<uint32_t>(value.size() * 8);
            }
        }
    }
    if (alg == 0) {
        // No readable public-key object: the container's certificate holds the key.
        const auto c = find_in_container(s, t->session, CKO_CERTIFICATE, container, key_spec);
        if (!c) return DRUMVALE_E_NOT_FOUND;
        const auto der = attribute(s, t->session, *c, CKA_VALUE);
        if (!der || !certificate_public_key(*der, alg, size_bits, value))
            return DRUMVALE_E_NOT_FOUND;
    }
    put(algorithm, alg);
    put(bits, size_bits);
    // The caller's buffer is 257 bytes (a 2048-bit modulus with a spare
    // byte, or an uncompressed point); the length is an output only.
    *key_length = static_cast<uint32_t>(value.size());
    if (key == nullptr) return 0;
    if (value.size() > 257) return DRUMVALE_E_BUFFER_TOO_SMALL;
    std::memcpy(key, value.data(), value.size());
    return 0;
}

} // extern "C"
