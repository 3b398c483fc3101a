// What the container-manager sources and the token's storage share among
// themselves; not for use outside the storage layer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pkcs11_container_mgr.h"
#include "pkcs11_object.h"

inline constexpr uint8_t ck_true = 1;

inline std::optional<std::vector<uint8_t>> attribute_bytes(const pkcs11_object& object,
                                                           uint32_t type) {
    const pkcs11_attribute* a = object.attributes().find(type);
    if (a == nullptr) return std::nullopt;
    return a->value;
}

// Text up to the first NUL of a stored name.
inline std::string stored_text(const std::vector<uint8_t>& value) {
    const auto end = std::find(value.begin(), value.end(), uint8_t{0});
    return std::string(value.begin(), end);
}

// The name with its terminating NUL, as ZELT_CKA_CONTAINER_NAME and the labels of key objects hold
// it.
inline std::vector<uint8_t> with_nul(std::string_view text) {
    std::vector<uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

// A big-endian number without its leading zero bytes.
inline std::span<const uint8_t> significant(std::span<const uint8_t> v) {
    while (!v.empty() && v.front() == 0)
        v = v.subspan(1);
    return v;
}

inline inner_attribute entry(uint32_t type, const void* value, size_t length) {
    return inner_attribute{type, const_cast<void*>(value), static_cast<uint32_t>(length)};
}
