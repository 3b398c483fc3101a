#include "name_encoding.h"

#include <cstdlib>

#include <unistd.h>

namespace plat {

std::string escaped_file_name(std::string_view prefix, std::string_view name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out(prefix);
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

uint64_t name_hash(std::string_view name) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : name)
        hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

std::string user_directory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/tessvik";
    return "/tmp/tessvik-" + std::to_string(geteuid());
}

} // namespace plat
