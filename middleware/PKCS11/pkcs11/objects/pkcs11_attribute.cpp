#include "pkcs11_attribute.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"

CK_RV template_check(const inner_attribute* entries, uint32_t count) {
    if (entries == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    for (uint32_t i = 0; i < count; ++i)
        if (attribute_entry_malformed(entries[i])) return CKR_ATTRIBUTE_VALUE_INVALID;
    return CKR_OK;
}

void pkcs11_attribute::set_value(uint32_t new_type, const void* bytes, uint32_t length) {
    type = new_type;
    const uint32_t stored = is_integer_attribute(new_type) ? 4 : length;
    value.assign(stored, 0);
    const uint32_t n = std::min(length, stored);
    if (bytes != nullptr && n != 0) std::memcpy(value.data(), bytes, n);
}

uint32_t pkcs11_attribute::as_u32() const {
    if (value.size() != 4) return 0;
    uint32_t v;
    std::memcpy(&v, value.data(), 4);
    return v;
}

namespace {

bool prefix_equal(const pkcs11_attribute& stored, const inner_attribute& entry) {
    return entry.length <= stored.length() &&
           (entry.length == 0 || std::memcmp(stored.value.data(), entry.value, entry.length) == 0);
}

// The two values are the same text, one of them perhaps with one
// terminating NUL more: C callers often pass a label with its terminator,
// and a value read back from the card has none (or, for the objects of key
// containers, always one). Nothing else: "key1" never finds "key10", an
// identifier 01 never finds 01 02.
bool equal_or_with_nul(const pkcs11_attribute& stored, const inner_attribute& entry) {
    const uint64_t have = stored.length();
    const uint64_t want = entry.length;
    if (have == want) return prefix_equal(stored, entry);
    if (have == want + 1) return stored.value.back() == 0 && prefix_equal(stored, entry);
    if (want == have + 1) {
        const auto* bytes = static_cast<const uint8_t*>(entry.value);
        return bytes[have] == 0 &&
               (have == 0 || std::memcmp(stored.value.data(), bytes, stored.length()) == 0);
    }
    return false;
}

} // namespace

bool attribute_match(const pkcs11_attribute& stored, const inner_attribute& entry) {
    if (attribute_entry_malformed(entry)) return false;
    const bool same_type = stored.type == entry.type;
    if (is_integer_attribute(entry.type)) {
        // An entry of 1 to 3 bytes compares zero-extended, as it would be
        // stored; an empty one has no value to compare and matches nothing.
        if (!same_type || entry.value == nullptr || entry.length == 0) return false;
        uint8_t wanted[4] = {0, 0, 0, 0};
        std::memcpy(wanted, entry.value, std::min<uint32_t>(entry.length, 4));
        return stored.length() == 4 && std::memcmp(stored.value.data(), wanted, 4) == 0;
    }
    if (entry.type == CKA_LABEL || entry.type == CKA_APPLICATION || entry.type == CKA_ID)
        return same_type && equal_or_with_nul(stored, entry);
    if (entry.type == CKA_OBJECT_ID) {
        if (entry.length > stored.length()) return false;
        if (same_type && prefix_equal(stored, entry)) return true;
    }
    return same_type && stored.length() == entry.length &&
           (entry.length == 0 || std::memcmp(stored.value.data(), entry.value, entry.length) == 0);
}

pkcs11_attribute& pkcs11_attribute_mgr::set(uint32_t type, const void* bytes, uint32_t length) {
    if (pkcs11_attribute* a = find(type)) {
        a->set_value(type, bytes, length);
        return *a;
    }
    append(type, bytes, length);
    return list_.back();
}

void pkcs11_attribute_mgr::append(uint32_t type, const void* bytes, uint32_t length) {
    pkcs11_attribute a;
    a.set_value(type, bytes, length);
    list_.push_back(std::move(a));
}

void pkcs11_attribute_mgr::remove(uint32_t type) {
    std::erase_if(list_, [type](const pkcs11_attribute& a) { return a.type == type; });
}

const pkcs11_attribute* pkcs11_attribute_mgr::find(uint32_t type) const {
    for (const auto& a : list_)
        if (a.type == type) return &a;
    return nullptr;
}

pkcs11_attribute* pkcs11_attribute_mgr::find(uint32_t type) {
    for (auto& a : list_)
        if (a.type == type) return &a;
    return nullptr;
}

bool pkcs11_attribute_mgr::flag(uint32_t type, bool otherwise) const {
    const pkcs11_attribute* a = find(type);
    if (a == nullptr || a->length() > 1) return otherwise;
    return a->length() == 1 && a->value[0] != 0; // an empty value is false, never read
}

uint32_t pkcs11_attribute_mgr::stream_size() const {
    uint64_t total = 0;
    for (const auto& a : list_)
        total += uint64_t{a.length()} + 8;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

CK_RV pkcs11_attribute_mgr::stream_write(uint8_t* buffer, uint32_t* length) const {
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    const uint32_t total = stream_size();
    if (buffer == nullptr) {
        *length = total;
        return CKR_OK;
    }
    if (*length < total || total == 0xFFFFFFFFu) {
        *length = total;
        return CKR_DATA_LEN_RANGE;
    }
    uint8_t* p = buffer;
    for (const auto& a : list_) {
        put_le32(a.type, p);
        put_le32(a.length(), p + 4);
        if (a.length() != 0) std::memcpy(p + 8, a.value.data(), a.length());
        p += 8 + a.length();
    }
    *length = total;
    return CKR_OK;
}

CK_RV pkcs11_attribute_mgr::stream_read(const uint8_t* bytes, uint32_t* length) {
    if (length == nullptr || (bytes == nullptr && *length != 0)) return CKR_ARGUMENTS_BAD;
    const uint32_t total = *length;
    uint32_t offset = 0;
    while (offset < total) {
        const uint32_t left = total - offset;
        if (left < 8) break; // the head does not fit
        const uint8_t* entry = bytes + offset;
        const uint32_t n = get_le32(entry + 4);
        if (n > left - 8) break; // the value does not fit (no n + 8 that could wrap)
        append(get_le32(entry), entry + 8, n);
        offset += 8 + n;
    }
    *length = offset;
    return offset == total ? CKR_OK : CKR_DATA_LEN_RANGE;
}
