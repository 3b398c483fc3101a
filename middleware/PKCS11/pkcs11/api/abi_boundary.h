// The one place where values cross between the host PKCS#11 ABI (CK_ULONG of
// 8 bytes, naturally aligned structures, blank-padded texts) and the module's
// inner world, which keeps 32-bit ids, lengths and integer attribute values as
// its stored forms require.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "pkcs11.h"

namespace p11abi {

inline constexpr uint32_t inner_unavailable = 0xFFFFFFFFu; // "length unavailable" inside

// An id (session or object handle, slot id, mechanism type, user type) that the
// inner world keeps in 32 bits. A host value with high bits set names nothing.
inline std::optional<uint32_t> narrow_id(CK_ULONG value) {
    if (value > 0xFFFFFFFFul) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// A length the inner world takes as 32 bits: above 32 bits it cannot be valid.
inline std::optional<uint32_t> narrow_length(CK_ULONG value) {
    return narrow_id(value);
}

// Writes a 32-bit inner value at the full width of the host CK_ULONG.
inline void put_ulong(CK_ULONG* out, uint32_t value) {
    *out = value;
}

// A length the inner world updates, taken from and written back to a caller's
// CK_ULONG: it reads the caller's value (saturated at 32 bits), hands the inner
// code a uint32_t, and writes the result back at full width. The caller's
// CK_ULONG is never aliased as a uint32_t. A null pointer stays null.
class ulong_inout {
  public:
    explicit ulong_inout(CK_ULONG* caller) : caller_(caller) {
        if (caller_ != nullptr)
            value_ = *caller_ > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(*caller_);
    }
    ~ulong_inout() { write_back(); }
    ulong_inout(const ulong_inout&) = delete;
    ulong_inout& operator=(const ulong_inout&) = delete;

    uint32_t* get() { return caller_ != nullptr ? &value_ : nullptr; }
    uint32_t value() const { return value_; }
    void write_back() {
        if (caller_ != nullptr)
            *caller_ = value_ == inner_unavailable ? CK_UNAVAILABLE_INFORMATION : value_;
    }

  private:
    CK_ULONG* caller_;
    uint32_t value_ = 0;
};

// Writes text into a fixed PKCS#11 text field, cut at its width and padded with
// blanks (PKCS#11 v2.20 section 9.2: these fields are blank-padded, not
// NUL-terminated). Text ends at its first NUL.
void put_text(CK_UTF8CHAR* field, size_t width, std::string_view text);
// Turns an inner zero-padded field into the blank-padded form: everything from
// the first NUL on becomes blanks.
void blank_pad(CK_UTF8CHAR* field, size_t width);
// Applies blank_pad to the text fields of the three information records.
void blank_pad_texts(CK_INFO& info);
void blank_pad_texts(CK_SLOT_INFO& info);
void blank_pad_texts(CK_TOKEN_INFO& info);

// The integer-valued attribute types: those whose values are CK_ULONG in
// PKCS#11 v2.20, and the two vendor integers. At this boundary they cross as
// CK_ULONG; inside, the module stores, streams and compares them as exactly 4
// bytes whatever length a caller gave (pkcs11_attribute.h).
inline constexpr uint32_t integer_attribute_types[] = {
    CKA_CLASS,
    CKA_CERTIFICATE_TYPE,
    CKA_CERTIFICATE_CATEGORY,
    CKA_JAVA_MIDP_SECURITY_DOMAIN,
    CKA_KEY_TYPE,
    CKA_MODULUS_BITS,
    CKA_PRIME_BITS,
    CKA_SUBPRIME_BITS,
    CKA_VALUE_BITS,
    CKA_VALUE_LEN,
    CKA_KEY_GEN_MECHANISM,
    CKA_AUTH_PIN_FLAGS,
    CKA_HW_FEATURE_TYPE,
    CKA_PIXEL_X,
    CKA_PIXEL_Y,
    CKA_RESOLUTION,
    CKA_CHAR_ROWS,
    CKA_CHAR_COLUMNS,
    CKA_BITS_PER_PIXEL,
    CKA_MECHANISM_TYPE,
    ZELT_CKA_KEY_SPEC,
    ZELT_CKA_GM_HANDLE,
};
// Whether the type is in integer_attribute_types (compared at full width: a
// host value with high bits set is none of them).
bool is_integer_attribute(CK_ATTRIBUTE_TYPE type);

// The inner form of one template entry: 32-bit type and length. For an integer
// attribute the value points at a 4-byte copy held by the inner_template.
struct inner_attribute {
    uint32_t type;
    void* value;
    uint32_t length;
};

// A caller's template in the inner form.
//  - Input (from_input): integer attributes given at the host width are
//    narrowed by value; a value that does not fit 32 bits gives
//    CKR_ATTRIBUTE_VALUE_INVALID (CK_UNAVAILABLE_INFORMATION becomes the inner
//    0xFFFFFFFF). Other lengths reach the inner rules unchanged.
//  - Output (for_output + finish_output): integer attributes are read into a
//    4-byte scratch value and handed back widened to sizeof(CK_ULONG); the inner
//    "unavailable" length leaves as CK_UNAVAILABLE_INFORMATION.
// A type above 32 bits can name no attribute: on input it is refused with
// CKR_ATTRIBUTE_TYPE_INVALID; on output it travels as 0xFFFFFFFF, which is
// vendor-defined and unknown to the module.
//  - Search (for_search): as input, except that an entry the module cannot
//    hold (a type above 32 bits, an integer value above 32 bits) is no error:
//    it can match no object, so the template is marked matches_nothing().
class inner_template {
  public:
    static CK_RV from_input(const CK_ATTRIBUTE* attributes, CK_ULONG count, inner_template& out);
    static CK_RV for_search(const CK_ATTRIBUTE* attributes, CK_ULONG count, inner_template& out);
    static CK_RV for_output(CK_ATTRIBUTE* attributes, CK_ULONG count, inner_template& out);
    // Copies the inner results of an output template back to the caller's entries.
    void finish_output();

    inner_attribute* data() { return entries_.data(); }
    const inner_attribute* data() const { return entries_.data(); }
    uint32_t size() const { return static_cast<uint32_t>(entries_.size()); }
    const inner_attribute& operator[](size_t i) const { return entries_[i]; }
    // A search template with an entry that no stored attribute can satisfy.
    bool matches_nothing() const { return matches_nothing_; }

  private:
    CK_RV prepare(CK_ATTRIBUTE* attributes, CK_ULONG count);
    CK_RV convert_input(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool search);
    std::vector<inner_attribute> entries_;
    std::unique_ptr<uint32_t[]> scratch_; // one 4-byte value per entry
    CK_ATTRIBUTE* caller_ = nullptr;
    bool output_ = false;
    bool matches_nothing_ = false;
};

} // namespace p11abi
