// The data-object file format: the 52-byte header and the file names
// (pkcs11_data_objects.h). No device access here.
#include "pkcs11_data_objects.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "pkcs11_object.h"

namespace {

constexpr size_t label_offset = 4;
constexpr size_t application_offset = 20;
constexpr size_t object_id_offset = 36;
constexpr size_t token_offset = 44;
constexpr size_t private_offset = 45;
constexpr size_t modifiable_offset = 46;
constexpr size_t value_length_offset = 48;
constexpr size_t text_field_size = 16;
constexpr size_t object_id_size = 8;
constexpr size_t label_in_name_max = 64;
constexpr size_t prefix_max = 16;

// Copies an attribute into its header field when it is present and fits.
void put_field(const pkcs11_object& object, uint32_t type, uint8_t* field, size_t size) {
    const pkcs11_attribute* a = object.attributes().find(type);
    if (a == nullptr || a->length() > size) return;
    std::copy(a->value.begin(), a->value.end(), field);
}

// A text field: the bytes up to the first NUL (at most the field), without
// a terminator, so that the text reads back as it was written.
std::vector<uint8_t> field_text(std::span<const uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return {field.begin(), end};
}

void set_value_length(pkcs11_object& object, uint32_t n) {
    object.object_set_attribute(CKA_VALUE_LEN, &n, 4);
}

} // namespace

data_object_header object_header_build(const pkcs11_object& object) {
    data_object_header h{};
    h[modifiable_offset] = 1;
    put_field(object, CKA_TOKEN, h.data() + token_offset, 1);
    put_field(object, CKA_LABEL, h.data() + label_offset, text_field_size);
    put_field(object, CKA_PRIVATE, h.data() + private_offset, 1);
    put_field(object, CKA_MODIFIABLE, h.data() + modifiable_offset, 1);
    put_field(object, CKA_APPLICATION, h.data() + application_offset, text_field_size);
    put_field(object, CKA_OBJECT_ID, h.data() + object_id_offset, object_id_size);
    // An integer attribute is kept as 4 bytes in machine order; the file has
    // it little-endian.
    if (const pkcs11_attribute* n = object.attributes().find(CKA_VALUE_LEN);
        n != nullptr && n->length() == 4)
        put_le32(n->as_u32(), h.data() + value_length_offset);
    return h;
}

void object_header_parse(std::span<const uint8_t, data_object_header_size> header,
                         pkcs11_object& object) {
    object.object_set_attribute(CKA_TOKEN, &header[token_offset], 1);
    const auto label = field_text(header.subspan(label_offset, text_field_size));
    object.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
    object.object_set_attribute(CKA_PRIVATE, &header[private_offset], 1);
    object.object_set_attribute(CKA_MODIFIABLE, &header[modifiable_offset], 1);
    const auto application = field_text(header.subspan(application_offset, text_field_size));
    object.object_set_attribute(CKA_APPLICATION, application.data(),
                                static_cast<uint32_t>(application.size()));
    object.object_set_attribute(CKA_OBJECT_ID, &header[object_id_offset], object_id_size);
    set_value_length(object, data_object_header_value_length(header));
}

std::string_view data_object_name_label(std::string_view name) {
    const size_t underscore = name.find('_');
    return underscore == std::string_view::npos ? std::string_view{} : name.substr(underscore + 1);
}

std::string_view data_object_label_in_name(std::string_view name) {
    // A file keeps its name when its object is relabelled, so a label the
    // header could hold says nothing: the header's empty field is the label
    // then (an object relabelled to the empty label, or to one the header
    // cannot hold, by a writer that keeps the file).
    const std::string_view label = data_object_name_label(name);
    return label.size() > text_field_size ? label : std::string_view{};
}

void data_object_set_file_name(std::string_view name,
                               std::span<const uint8_t, data_object_header_size> header,
                               pkcs11_object& object) {
    object.object_set_attribute(ZELT_CKA_FILE_NAME, name.data(),
                                static_cast<uint32_t>(name.size()));
    if (header[label_offset] != 0) return;
    const std::string_view label = data_object_label_in_name(name);
    if (!label.empty())
        object.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
}

bool data_object_file_keeps_label(std::string_view name, const pkcs11_object& object) {
    const pkcs11_attribute* a = object.attributes().find(CKA_LABEL);
    if (a == nullptr) return data_object_label_in_name(name).empty();
    // The header's field holds it.
    if (a->length() != 0 && a->length() <= text_field_size && a->value[0] != 0) return true;
    const auto end = std::find(a->value.begin(), a->value.end(), uint8_t{0});
    return data_object_label_in_name(name) ==
           std::string_view(reinterpret_cast<const char*>(a->value.data()),
                            static_cast<size_t>(end - a->value.begin()));
}

uint32_t data_object_header_value_length(std::span<const uint8_t, data_object_header_size> header) {
    return get_le32(header.data() + value_length_offset);
}

bool data_object_header_usable(std::span<const uint8_t, data_object_header_size> header) {
    if (std::all_of(header.begin(), header.end(), [](uint8_t b) { return b == 0; })) return false;
    return data_object_header_value_length(header) <= data_object_value_max;
}

std::vector<std::string> data_object_split_names(std::span<const char> list) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < list.size() && list[pos] != '\0') {
        const auto rest = list.subspan(pos);
        const auto end = std::find(rest.begin(), rest.end(), '\0');
        names.emplace_back(rest.begin(), end);
        pos += names.back().size() + 1;
    }
    return names;
}

std::string data_object_pick_name(std::string_view prefix, std::span<const char> list,
                                  uint64_t floor) {
    const std::string base(prefix.substr(0, prefix_max));
    if (list.empty()) return base + std::to_string(floor);
    std::string text(list.begin(), list.end());
    const auto nuls = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\0'));
    std::replace(text.begin(), text.end(), '\0', '-');
    // At most one candidate per character of the list can occur in it, so
    // this ends.
    for (uint64_t counter = std::max(nuls > 0 ? nuls - 1 : 0, floor);; ++counter) {
        std::string candidate = base + std::to_string(counter);
        if (text.find(candidate) == std::string::npos) return candidate;
    }
}

std::optional<uint32_t> data_object_name_counter(std::string_view name) {
    constexpr size_t prefix_length = 6; // "PUBOBJ", "PRIOBJ"
    if (name.size() <= prefix_length) return std::nullopt;
    uint64_t counter = 0;
    size_t digits = 0;
    for (const char c : name.substr(prefix_length)) {
        if (c < '0' || c > '9') break;
        counter = counter * 10 + static_cast<uint64_t>(c - '0');
        if (counter > 0xFFFFFFFFu) return std::nullopt;
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    return static_cast<uint32_t>(counter);
}

std::string data_object_label_suffix(const pkcs11_object& object) {
    const pkcs11_attribute* a = object.attributes().find(CKA_LABEL);
    if (a == nullptr || a->length() == 0 || a->length() > label_in_name_max) return {};
    const auto end = std::find(a->value.begin(), a->value.end(), uint8_t{0});
    // Appended rather than "_" + string: g++ 12 at -O3 reports a false
    // -Wrestrict overlap for that operator (GCC bug 105329).
    std::string suffix = "_";
    suffix.append(a->value.begin(), end);
    return suffix;
}

const char* data_object_prefix_for(const pkcs11_object& object) {
    return object.attributes().flag(CKA_PRIVATE) ? data_object_private_prefix
                                                 : data_object_public_prefix;
}
