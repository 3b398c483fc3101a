#include "abi_boundary.h"

#include <algorithm>
#include <cstring>

namespace p11abi {

void put_text(CK_UTF8CHAR* field, size_t width, std::string_view text) {
    const size_t end = text.find('\0');
    if (end != std::string_view::npos) text = text.substr(0, end);
    const size_t n = std::min(width, text.size());
    std::memcpy(field, text.data(), n);
    std::memset(field + n, ' ', width - n);
}

void blank_pad(CK_UTF8CHAR* field, size_t width) {
    auto* nul = static_cast<CK_UTF8CHAR*>(std::memchr(field, 0, width));
    if (nul != nullptr) std::memset(nul, ' ', static_cast<size_t>(field + width - nul));
}

void blank_pad_texts(CK_INFO& info) {
    blank_pad(info.manufacturerID, sizeof info.manufacturerID);
    blank_pad(info.libraryDescription, sizeof info.libraryDescription);
}

void blank_pad_texts(CK_SLOT_INFO& info) {
    blank_pad(info.slotDescription, sizeof info.slotDescription);
    blank_pad(info.manufacturerID, sizeof info.manufacturerID);
}

void blank_pad_texts(CK_TOKEN_INFO& info) {
    blank_pad(info.label, sizeof info.label);
    blank_pad(info.manufacturerID, sizeof info.manufacturerID);
    blank_pad(info.model, sizeof info.model);
    blank_pad(info.serialNumber, sizeof info.serialNumber);
    // utcTime is meaningful only with CKF_CLOCK_ON_TOKEN; blanks otherwise.
    if ((info.flags & CKF_CLOCK_ON_TOKEN) == 0) blank_pad(info.utcTime, sizeof info.utcTime);
}

bool is_integer_attribute(CK_ATTRIBUTE_TYPE type) {
    for (const uint32_t t : integer_attribute_types)
        if (t == type) return true;
    return false;
}

CK_RV inner_template::prepare(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (attributes == nullptr && count > 0) return CKR_ARGUMENTS_BAD;
    if (count > 0xFFFFu * 16) return CKR_ARGUMENTS_BAD; // far beyond any real template
    caller_ = attributes;
    entries_.assign(count, inner_attribute{0, nullptr, 0});
    scratch_ = std::make_unique<uint32_t[]>(count);
    return CKR_OK;
}

CK_RV inner_template::from_input(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                 inner_template& out) {
    return out.convert_input(attributes, count, false);
}

CK_RV inner_template::for_search(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                 inner_template& out) {
    return out.convert_input(attributes, count, true);
}

CK_RV inner_template::convert_input(const CK_ATTRIBUTE* attributes, CK_ULONG count, bool search) {
    if (CK_RV rv = prepare(const_cast<CK_ATTRIBUTE*>(attributes), count); rv != CKR_OK) return rv;
    output_ = false;
    matches_nothing_ = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        inner_attribute& e = entries_[i];
        if (a.pValue == nullptr && a.ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
        e.value = a.pValue;
        const auto type = narrow_id(a.type);
        if (!type) {
            if (!search) return CKR_ATTRIBUTE_TYPE_INVALID;
            matches_nothing_ = true;
        }
        e.type = type.value_or(0xFFFFFFFFu);
        if (is_integer_attribute(a.type) && a.pValue != nullptr &&
            a.ulValueLen == sizeof(CK_ULONG)) {
            CK_ULONG v;
            std::memcpy(&v, a.pValue, sizeof v);
            if (v == CK_UNAVAILABLE_INFORMATION) {
                scratch_[i] = 0xFFFFFFFFu;
            } else if (v > 0xFFFFFFFFul) {
                if (!search) return CKR_ATTRIBUTE_VALUE_INVALID;
                matches_nothing_ = true;
                scratch_[i] = 0xFFFFFFFFu;
            } else {
                scratch_[i] = static_cast<uint32_t>(v);
            }
            e.value = &scratch_[i];
            e.length = 4;
            continue;
        }
        const auto len = narrow_length(a.ulValueLen);
        if (!len) return CKR_ATTRIBUTE_VALUE_INVALID;
        e.length = *len;
    }
    return CKR_OK;
}

CK_RV inner_template::for_output(CK_ATTRIBUTE* attributes, CK_ULONG count, inner_template& out) {
    if (CK_RV rv = out.prepare(attributes, count); rv != CKR_OK) return rv;
    out.output_ = true;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        inner_attribute& e = out.entries_[i];
        e.type = narrow_id(a.type).value_or(0xFFFFFFFFu);
        if (is_integer_attribute(a.type)) {
            // A size query stays a size query; a buffer too small for the host
            // width is offered as a zero-length buffer, which the inner code
            // answers with "too small".
            e.value = a.pValue != nullptr ? &out.scratch_[i] : nullptr;
            e.length = a.pValue != nullptr && a.ulValueLen >= sizeof(CK_ULONG) ? 4 : 0;
        } else {
            e.value = a.pValue;
            e.length =
                a.ulValueLen > 0xFFFFFFFFul ? 0xFFFFFFFEu : static_cast<uint32_t>(a.ulValueLen);
        }
    }
    return CKR_OK;
}

void inner_template::finish_output() {
    if (!output_) return;
    for (size_t i = 0; i < entries_.size(); ++i) {
        CK_ATTRIBUTE& a = caller_[i];
        const inner_attribute& e = entries_[i];
        if (e.length == inner_unavailable) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            continue;
        }
        if (is_integer_attribute(a.type)) {
            if (e.length == 4) {
                if (a.pValue != nullptr && a.ulValueLen >= sizeof(CK_ULONG)) {
                    const CK_ULONG v = scratch_[i];
                    std::memcpy(a.pValue, &v, sizeof v);
                }
                a.ulValueLen = sizeof(CK_ULONG);
            } else {
                // A stored integer of another length is a corrupt record: unavailable.
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            }
            continue;
        }
        a.ulValueLen = e.length;
    }
}

} // namespace p11abi
