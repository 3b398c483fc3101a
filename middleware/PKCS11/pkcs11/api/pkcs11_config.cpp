#include "pkcs11_config.h"

#include <mutex>

namespace {

struct config {
    std::mutex m;
    std::string enum_string = "Quessar vKessa Tavrel,vid_055c&pid_0223|vid_0bda&pid_0165,gmpcsc";
    std::string enum_id = "Tavrel01";
    std::string app_name = "APP";
};

config& settings() {
    static config instance;
    return instance;
}

std::string bounded(const char* text, size_t field_size) {
    std::string s(text);
    if (s.size() > field_size - 1) s.resize(field_size - 1);
    return s;
}

} // namespace

std::string pkcs11_enum_string() {
    std::lock_guard lock(settings().m);
    return settings().enum_string;
}

std::string pkcs11_enum_id() {
    std::lock_guard lock(settings().m);
    return settings().enum_id;
}

std::string pkcs11_app_name() {
    std::lock_guard lock(settings().m);
    return settings().app_name;
}

bool pkcs11_enum_id_acceptable(const char* text) {
    if (text == nullptr) return true;
    for (const char* p = text; *p != '\0' && p < text + pkcs11_enum_id_size - 1; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

void pkcs11_store_config(const char* enum_string, const char* identifier, const char* app_name) {
    std::lock_guard lock(settings().m);
    if (app_name != nullptr && app_name[0] != '\0')
        settings().app_name = bounded(app_name, pkcs11_app_name_size);
    if (enum_string != nullptr)
        settings().enum_string = bounded(enum_string, pkcs11_enum_string_size);
    if (identifier != nullptr) settings().enum_id = bounded(identifier, pkcs11_enum_id_size);
}
