// The token's data-object files on the card: load, create, update, read
// value and delete (pkcs11_data_objects.h).
#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "pkcs11_data_objects.h"
#include "pkcs11_object.h"
#include "pkcs11_token.h"

namespace {

constexpr size_t value_length_offset = 48;

// ZELT_CKA_FILE_NAME of an object: absent CKR_ATTRIBUTE_TYPE_INVALID, too
// long CKR_BUFFER_TOO_SMALL.
CK_RV file_name_of(const pkcs11_object& object, std::string& name) {
    const pkcs11_attribute* a = object.attributes().find(ZELT_CKA_FILE_NAME);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (a->length() > data_object_name_capacity) return CKR_BUFFER_TOO_SMALL;
    const auto end = std::find(a->value.begin(), a->value.end(), uint8_t{0});
    name.assign(a->value.begin(), end);
    return CKR_OK;
}

void set_file_name(pkcs11_object& object, const std::string& name) {
    object.object_set_attribute(ZELT_CKA_FILE_NAME, name.data(),
                                static_cast<uint32_t>(name.size()));
}

void set_value_length(pkcs11_object& object, uint32_t n) {
    object.object_set_attribute(CKA_VALUE_LEN, &n, 4);
}

std::span<const uint8_t> value_of(const pkcs11_object& object) {
    const pkcs11_attribute* a = object.attributes().find(CKA_VALUE);
    if (a == nullptr) return {};
    return a->value;
}

} // namespace

// ---- the manager ----

CK_RV pkcs11_data_object_manager::file_list(std::vector<char>& list) {
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    list.assign(data_object_list_buffer, '\0');
    uint32_t size = static_cast<uint32_t>(list.size());
    uint32_t rv = SKF_EnumFiles(token_.application(), list.data(), &size);
    if (rv == SAR_BUFFER_TOO_SMALL && size > list.size()) {
        list.assign(size, '\0');
        rv = SKF_EnumFiles(token_.application(), list.data(), &size);
    }
    if (rv != SAR_OK) return rv;
    list.resize(std::min<size_t>(size, list.size()));
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_unique_name(const char* prefix, std::string& name) {
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    uint32_t size = 0;
    if (const uint32_t rv = SKF_EnumFiles(token_.application(), nullptr, &size); rv != SAR_OK)
        return rv;
    std::vector<char> list;
    if (size != 0) {
        list.assign(size, '\0');
        if (const uint32_t rv = SKF_EnumFiles(token_.application(), list.data(), &size);
            rv != SAR_OK)
            return rv;
        list.resize(std::min<size_t>(size, list.size()));
    }
    // The change counter as this process last read it: the call that creates
    // the file read it first (a search, or the check before a change).
    name = data_object_pick_name(prefix, list, token_.containers().counter().value().value_or(0));
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_load_all(const char* prefix,
                                                       std::vector<std::string>* unread) {
    std::vector<char> list;
    if (CK_RV rv = file_list(list); rv != CKR_OK) return rv;
    const std::string_view wanted(prefix);
    const bool private_files = wanted == data_object_private_prefix;
    for (const std::string& name : data_object_split_names(list)) {
        // Only the module's own files: a name that merely contains the prefix
        // (say, a container's identifier file) is not a data object.
        if (!name.starts_with(wanted)) continue;
        bool listed = false;
        for (const auto& o : token_.objects().objects()) {
            const pkcs11_attribute* f = o->attributes().find(ZELT_CKA_FILE_NAME);
            if (f != nullptr && std::string(f->value.begin(), f->value.end()) == name)
                listed = true;
        }
        if (listed) continue;
        data_object_header header{};
        uint32_t got = static_cast<uint32_t>(header.size());
        if (const uint32_t rv =
                SKF_ReadFile(token_.application(), name.c_str(), 0,
                             static_cast<uint32_t>(header.size()), header.data(), &got);
            rv != SAR_OK) {
            // Gone since the list was read, or not readable now (the card
            // went, another process reset it): only the latter is unknown.
            if (rv != SAR_FILE_NOT_EXIST && unread != nullptr) unread->push_back(name);
            continue;
        }
        if (got != header.size() || !data_object_header_usable(header)) continue;
        std::shared_ptr<pkcs11_object> object = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
        if (object == nullptr) continue;
        object_header_parse(header, *object);
        // Only the user can read a "PRIOBJ" file: its object is private
        // whatever its header says, so that logging out drops it.
        if (private_files) {
            const uint8_t yes = 1;
            object->object_set_attribute(CKA_PRIVATE, &yes, 1);
        }
        data_object_set_file_name(name, header, *object);
        token_.objects().add(object);
    }
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::write_new_file(const std::string& name, uint32_t rights,
                                                 const data_object_header& header,
                                                 std::span<const uint8_t> value) {
    const HAPPLICATION app = token_.application();
    const auto size = static_cast<uint32_t>(header.size() + value.size());
    if (const uint32_t rv = SKF_CreateFile(app, name.c_str(), size, rights, rights); rv != SAR_OK)
        return rv;
    uint32_t piece = 0;
    uint32_t rv = gm_file_write_piece(app, &piece);
    if (rv == SAR_OK && size <= piece) {
        // One command: the file is written whole or not at all.
        std::vector<uint8_t> record(header.begin(), header.end());
        record.insert(record.end(), value.begin(), value.end());
        rv = SKF_WriteFile(app, name.c_str(), 0, record.data(), size);
    } else if (rv == SAR_OK) {
        // The header goes last: until it is written the file reads as no object.
        if (!value.empty())
            rv = SKF_WriteFile(app, name.c_str(), static_cast<uint32_t>(header.size()),
                               value.data(), static_cast<uint32_t>(value.size()));
        if (rv == SAR_OK)
            rv = SKF_WriteFile(app, name.c_str(), 0, header.data(),
                               static_cast<uint32_t>(header.size()));
    }
    if (rv != SAR_OK) (void)SKF_DeleteFile(app, name.c_str());
    return rv;
}

CK_RV pkcs11_data_object_manager::new_file_name(const char* prefix, const pkcs11_object& object,
                                                std::string& name) {
    if (CK_RV rv = data_object_unique_name(prefix, name); rv != CKR_OK) return rv;
    name += data_object_label_suffix(object);
    // A label that neither the header nor a name can hold would be lost at
    // the next reading: refused as the device refuses a name too long.
    if (!data_object_file_keeps_label(name, object)) return SAR_NAMELENERR;
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_create(pkcs11_object& object) {
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    const std::span<const uint8_t> value = value_of(object);
    if (value.size() > data_object_value_max) return SAR_INDATALENERR;
    // The header records the length of the value the file holds, whatever
    // CKA_VALUE_LEN the template gave.
    set_value_length(object, static_cast<uint32_t>(value.size()));
    const data_object_header header = object_header_build(object);
    const char* prefix = data_object_prefix_for(object);
    const uint32_t rights = prefix == data_object_private_prefix ? data_object_private_rights
                                                                 : data_object_public_rights;
    std::string name;
    if (CK_RV rv = new_file_name(prefix, object, name); rv != CKR_OK) return rv;
    if (CK_RV rv = write_new_file(name, rights, header, value); rv != CKR_OK) return rv;
    set_file_name(object, name);
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_update(pkcs11_object& object, bool value_changed) {
    std::string old_name;
    if (CK_RV rv = file_name_of(object, old_name); rv != CKR_OK) return rv;
    // A change of the label alone keeps the stored value: read it first.
    if (!value_changed) {
        if (CK_RV rv = data_object_read_value(object); rv != CKR_OK) return rv;
    }
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    const HAPPLICATION app = token_.application();
    const std::span<const uint8_t> value = value_of(object);
    if (value.size() > data_object_value_max) return SAR_INDATALENERR;
    const auto n = static_cast<uint32_t>(value.size());
    // The object's CKA_VALUE_LEN stays the stored length until the file holds the new value.
    data_object_header header = object_header_build(object);
    put_le32(n, header.data() + value_length_offset);

    FILEATTRIBUTE info{};
    if (const uint32_t rv = SKF_GetFileInfo(app, old_name.c_str(), &info); rv != SAR_OK) return rv;
    const char* prefix = data_object_prefix_for(object);
    const uint32_t size = static_cast<uint32_t>(header.size()) + n;
    // A label the header cannot hold is read back from the file name: a new
    // such label needs a file whose name carries it.
    uint32_t piece = 0;
    const bool in_place = info.FileSize == size && old_name.starts_with(prefix) &&
                          data_object_file_keeps_label(old_name, object) &&
                          gm_file_write_piece(app, &piece) == SAR_OK && size <= piece;
    if (in_place) {
        // Same length, one command: the card keeps either the old record or the new.
        std::vector<uint8_t> record(header.begin(), header.end());
        record.insert(record.end(), value.begin(), value.end());
        if (const uint32_t rv = SKF_WriteFile(app, old_name.c_str(), 0, record.data(), size);
            rv != SAR_OK)
            return rv;
    } else {
        // Another length (the device cannot resize a file), or too long for
        // one command: a complete new file replaces the old one, which stays
        // as it was until then.
        const uint32_t rights = prefix == data_object_private_prefix ? data_object_private_rights
                                                                     : data_object_public_rights;
        std::string name;
        if (CK_RV rv = new_file_name(prefix, object, name); rv != CKR_OK) return rv;
        if (CK_RV rv = write_new_file(name, rights, header, value); rv != CKR_OK) return rv;
        if (const uint32_t rv = SKF_DeleteFile(app, old_name.c_str()); rv != SAR_OK) {
            (void)SKF_DeleteFile(app, name.c_str());
            return rv;
        }
        set_file_name(object, name);
    }
    set_value_length(object, n);
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_read_value(pkcs11_object& object) {
    if (!value_of(object).empty()) return CKR_OK;
    const pkcs11_attribute* length = object.attributes().find(CKA_VALUE_LEN);
    if (length == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (length->length() > 4) return CKR_BUFFER_TOO_SMALL;
    const uint32_t n = length->as_u32();
    std::string name;
    if (CK_RV rv = file_name_of(object, name); rv != CKR_OK) return rv;
    if (n == 0) {
        object.object_set_attribute(CKA_VALUE, nullptr, 0);
        return CKR_OK;
    }
    // No file holds more; a larger length is a damaged header.
    if (n > data_object_value_max) return CKR_DATA_LEN_RANGE;
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    std::vector<uint8_t> value(n);
    uint32_t got = n;
    if (const uint32_t rv =
            SKF_ReadFile(token_.application(), name.c_str(),
                         static_cast<uint32_t>(data_object_header_size), n, value.data(), &got);
        rv != SAR_OK)
        return rv;
    if (got != n) return CKR_DATA_LEN_RANGE;
    object.object_set_attribute(CKA_VALUE, value.data(), n);
    return CKR_OK;
}

CK_RV pkcs11_data_object_manager::data_object_delete(pkcs11_object& object) {
    std::string name;
    if (CK_RV rv = file_name_of(object, name); rv != CKR_OK) return rv;
    if (CK_RV rv = token_.open_application(); rv != CKR_OK) return rv;
    return SKF_DeleteFile(token_.application(), name.c_str());
}
