#include "registry.h"

#include <cstdlib>
#include <strings.h>
#include <vector>

#include "data_directory.h"
#include "file_util.h"

namespace plat {

namespace {

constexpr size_t hive_max_bytes = 4 * 1024 * 1024;

struct value_line {
    std::string name;
    std::string data; // "sz:..." or "dword:..."
};
struct key_block {
    std::string path;
    std::vector<value_line> values;
};

bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool storable_name(std::string_view s, bool is_key) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c == '\n' || c == '\r' || c == '\0') return false;
        if (!is_key && (c == '=' || c == '[' || c == ']')) return false;
        if (is_key && (c == '[' || c == ']')) return false;
    }
    return true;
}

std::string escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<key_block> parse(const std::vector<uint8_t>& bytes) {
    std::vector<key_block> keys;
    std::string text(bytes.begin(), bytes.end());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            keys.push_back({line.substr(1, line.size() - 2), {}});
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || keys.empty()) continue; // not ours: skipped
        keys.back().values.push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
    return keys;
}

std::vector<uint8_t> serialise(const std::vector<key_block>& keys) {
    std::string text = "; per-user registry (HKEY_CURRENT_USER)\n";
    for (const key_block& k : keys) {
        text += "[" + k.path + "]\n";
        for (const value_line& v : k.values)
            text += v.name + "=" + v.data + "\n";
    }
    return {text.begin(), text.end()};
}

std::string hive_directory() {
    if (const char* dir = std::getenv("TAVREL_REGISTRY_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    const std::string base = app_data_directory();
    return base.empty() ? std::string() : base + "/Tavrel/registry";
}

bool set_value(std::string_view key, std::string_view name, const std::string& data) {
    if (!storable_name(key, true) || !storable_name(name, false)) return false;
    const std::string directory = hive_directory();
    if (directory.empty() || !make_directories(directory)) return false;
    const std::string path = directory + "/HKCU.reg";
    file_lock lock(path + ".lock");
    if (!lock.locked()) return false;
    std::vector<uint8_t> bytes;
    const read_status rs = read_file(path, bytes, hive_max_bytes);
    if (rs != read_status::ok && rs != read_status::missing) return false;
    std::vector<key_block> keys = parse(bytes);
    key_block* target = nullptr;
    for (key_block& k : keys)
        if (same(k.path, key)) target = &k;
    if (target == nullptr) {
        keys.push_back({std::string(key), {}});
        target = &keys.back();
    }
    bool replaced = false;
    for (value_line& v : target->values)
        if (same(v.name, name)) {
            v.data = data;
            replaced = true;
        }
    if (!replaced) target->values.push_back({std::string(name), data});
    return write_file_atomic(path, serialise(keys));
}

registry_status get_value(std::string_view key, std::string_view name, std::string& data) {
    const std::string path = registry_file_path();
    if (path.empty()) return registry_status::failed;
    std::vector<uint8_t> bytes;
    switch (read_file(path, bytes, hive_max_bytes)) {
    case read_status::ok:
        break;
    case read_status::missing:
        return registry_status::not_found;
    default:
        return registry_status::failed;
    }
    for (const key_block& k : parse(bytes)) {
        if (!same(k.path, key)) continue;
        for (const value_line& v : k.values)
            if (same(v.name, name)) {
                data = v.data;
                return registry_status::ok;
            }
    }
    return registry_status::not_found;
}

} // namespace

std::string registry_file_path() {
    const std::string directory = hive_directory();
    return directory.empty() ? std::string() : directory + "/HKCU.reg";
}

bool registry_set_string(std::string_view key, std::string_view name, std::string_view value) {
    return set_value(key, name, "sz:" + escape(value));
}

bool registry_set_dword(std::string_view key, std::string_view name, uint32_t value) {
    return set_value(key, name, "dword:" + std::to_string(value));
}

registry_status registry_get_string(std::string_view key, std::string_view name, std::string& out) {
    std::string data;
    if (registry_status s = get_value(key, name, data); s != registry_status::ok) return s;
    if (data.rfind("sz:", 0) != 0) return registry_status::wrong_type;
    out = unescape(std::string_view(data).substr(3));
    return registry_status::ok;
}

registry_status registry_get_dword(std::string_view key, std::string_view name, uint32_t& out) {
    std::string data;
    if (registry_status s = get_value(key, name, data); s != registry_status::ok) return s;
    if (data.rfind("dword:", 0) != 0) return registry_status::wrong_type;
    const std::string digits = data.substr(6);
    if (digits.empty() || digits.size() > 10 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return registry_status::wrong_type;
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFull) return registry_status::wrong_type;
    out = static_cast<uint32_t>(v);
    return registry_status::ok;
}

} // namespace plat
