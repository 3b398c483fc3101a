// One object attribute, the ordered attribute list of an object, the rule by
// which a stored attribute satisfies a template entry, and the attribute
// stream: [u32 type][u32 length][value] per attribute, little-endian, in list
// order, with no header, padding or terminator.
#pragma once

#include <cstdint>
#include <vector>

#include "abi_boundary.h"
#include "pkcs11.h"

using p11abi::inner_attribute;

// The integer-valued attribute types (p11abi::integer_attribute_types, the one
// list the boundary also converts by) are stored, streamed and compared as
// exactly 4 bytes, whatever length a caller gave.
using p11abi::is_integer_attribute;

// A template entry that cannot be read: a null value with a non-zero length.
inline bool attribute_entry_malformed(const inner_attribute& entry) {
    return entry.value == nullptr && entry.length != 0;
}
// CKR_ATTRIBUTE_VALUE_INVALID when any entry is malformed, else CKR_OK.
CK_RV template_check(const inner_attribute* entries, uint32_t count);

struct pkcs11_attribute {
    uint32_t type = 0;
    std::vector<uint8_t> value; // the record's own copy

    uint32_t length() const { return static_cast<uint32_t>(value.size()); }
    // Replaces type and value. An integer type is stored as 4 bytes: a shorter
    // value is zero-extended, a longer one keeps its first 4 bytes. A null
    // `bytes` stores zeros.
    void set_value(uint32_t new_type, const void* bytes, uint32_t length);
    // The value as a 4-byte integer (machine order); 0 when it is not 4 bytes.
    uint32_t as_u32() const;
};

// True when the stored attribute satisfies one template entry (PKCS#11 search
// and lookup matching with the module's tolerances: CKA_LABEL,
// CKA_APPLICATION and CKA_ID equal to the entry, either of the two perhaps
// with one trailing NUL more, object identifiers by prefix, integers by their
// 4-byte value;
// everything else byte for byte).
bool attribute_match(const pkcs11_attribute& stored, const inner_attribute& entry);

// The attributes of one object in the order in which each type was first set.
class pkcs11_attribute_mgr {
  public:
    // attribute_mgr_set: the first record of the type gets the new value, else
    // a new record is appended.
    pkcs11_attribute& set(uint32_t type, const void* bytes, uint32_t length);
    pkcs11_attribute& set(const inner_attribute& entry) {
        return set(entry.type, entry.value, entry.length);
    }
    // Appends without looking for an existing record (the stream loader).
    void append(uint32_t type, const void* bytes, uint32_t length);
    void remove(uint32_t type);

    // The first record of the type, or null.
    const pkcs11_attribute* find(uint32_t type) const;
    pkcs11_attribute* find(uint32_t type);
    bool has(uint32_t type) const { return find(type) != nullptr; }

    // A boolean attribute read as one byte: a one-byte value counts, an empty
    // one is false, an absent or longer one gives `otherwise`.
    bool flag(uint32_t type, bool otherwise = false) const;

    size_t size() const { return list_.size(); }
    const std::vector<pkcs11_attribute>& records() const { return list_; }

    // Sum over the records of (length + 8), saturated at 32 bits.
    uint32_t stream_size() const;
    // Writes the stream. A buffer shorter than the stream (or none, which is a
    // size query answered with CKR_OK) gets the required length; a short one
    // also CKR_DATA_LEN_RANGE.
    CK_RV stream_write(uint8_t* buffer, uint32_t* length) const;
    // Appends every entry of a stream. Each entry's 8-byte head must fit in
    // what is left before its length is read, and its length must fit in what
    // is left after the head (compared without wrap-around); otherwise
    // CKR_DATA_LEN_RANGE, keeping the entries read so far. *length becomes the
    // bytes consumed.
    CK_RV stream_read(const uint8_t* bytes, uint32_t* length);

  private:
    std::vector<pkcs11_attribute> list_;
};
