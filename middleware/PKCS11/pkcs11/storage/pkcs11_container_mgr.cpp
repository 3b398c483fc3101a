// Key containers: the naming rules, the list of a token's containers and its
// enumeration, opening and creation, and the change counter "CacheFile" (see
// pkcs11_container_mgr.h). Keys, certificates and deletion are in
// pkcs11_container_keys.cpp, pkcs11_container_certs.cpp and
// pkcs11_container_delete.cpp.
#include "pkcs11_container_mgr.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "byte_order.h"
#include "pkcs11_container_internal.h"
#include "pkcs11_storage_records.h"
#include "pkcs11_token.h"

namespace {

constexpr uint32_t enum_buffer_size = 4096;

} // namespace

// ---------------------------------------------------------------------------
// Rules that need no card

bool container_name_reserved(std::string_view name) {
    static constexpr std::string_view exact[] = {"CacheFile", "cmapfile", "cardcf"};
    for (std::string_view n : exact)
        if (name == n) return true;
    // The data-object files are "PUBOBJ"/"PRIOBJ" followed by a counter and a label.
    return name.starts_with("PUBOBJ") || name.starts_with("PRIOBJ");
}

bool container_name_acceptable(std::string_view name) {
    return !name.empty() && name.size() <= gm_container_name_max &&
           name.find('\0') == std::string_view::npos && !container_name_reserved(name);
}

std::string generate_container_name() {
    std::string name = "cont_";
    random_hex(name, 20);
    return name;
}

std::vector<uint8_t> container_key_id(std::string_view name, uint32_t key_spec,
                                      const std::optional<std::vector<uint8_t>>& id_file) {
    if (id_file.has_value() && !id_file->empty()) return *id_file;
    std::vector<uint8_t> id = with_nul(name);
    if (key_spec == key_spec_signature) id.push_back('S');
    return id;
}

// ---------------------------------------------------------------------------
// Change counter

uint32_t cache_counter::create(counter_file& file) {
    counter_ = 0;
    const uint32_t rv = file.create();
    (void)bump(file);
    return rv;
}

uint32_t cache_counter::bump(counter_file& file, uint32_t at_least) {
    uint32_t on_card = 0;
    const uint32_t read = file.read(on_card);
    if (read == SAR_FILE_NOT_EXIST) {
        // A token without the file counts as 0: a process that held more saw
        // the token change under it; one that held 0 or nothing lost nothing.
        if (const uint32_t rv = file.create(); rv != SAR_OK) return rv;
        on_card = 0;
    } else if (read != SAR_OK) {
        return SAR_OK;
    }
    if (counter_.has_value() && on_card != *counter_) {
        stale_ = true; // another process changed the token: keep that for changed()
    }
    const uint32_t next = std::max(on_card + 1, at_least);
    const uint32_t rv = file.write(next);
    if (rv == SAR_OK) counter_ = next;
    return rv;
}

bool cache_counter::changed(counter_file& file) {
    uint32_t on_card = 0;
    const uint32_t read = file.read(on_card);
    if (read == SAR_FILE_NOT_EXIST) on_card = 0; // no change was ever counted
    const bool read_ok = read == SAR_OK || read == SAR_FILE_NOT_EXIST;
    bool result = stale_;
    stale_ = false;
    if (read_ok && (!counter_.has_value() || on_card != *counter_)) {
        result = result || counter_.has_value();
        counter_ = on_card;
    }
    return result;
}

uint32_t cache_counter::reload(counter_file& file) {
    uint32_t on_card = 0;
    const uint32_t rv = file.read(on_card);
    if (rv == SAR_FILE_NOT_EXIST) return create(file);
    if (rv == SAR_OK) counter_ = on_card;
    return rv;
}

uint32_t card_counter_file::read(uint32_t& value) {
    std::array<uint8_t, cache_file_size> bytes{};
    uint32_t got = bytes.size();
    // Anyone may read the file: one command, without the file information
    // first. The counter is read before every search and every use of a
    // stored object.
    const uint32_t rv =
        gm_read_file_piece(application_, cache_file_name, 0, bytes.size(), bytes.data(), &got);
    if (rv != SAR_OK) return rv;
    if (got != bytes.size()) return SAR_FAIL;
    value = get_le32(bytes.data());
    return SAR_OK;
}

uint32_t card_counter_file::write(uint32_t value) {
    std::array<uint8_t, cache_file_size> bytes{};
    put_le32(value, bytes.data());
    return SKF_WriteFile(application_, cache_file_name, 0, bytes.data(), bytes.size());
}

uint32_t card_counter_file::create() {
    return SKF_CreateFile(application_, cache_file_name, cache_file_size, SECURE_ANYONE_ACCOUNT,
                          SECURE_ANYONE_ACCOUNT);
}

// ---------------------------------------------------------------------------
// Container list

pkcs11_container::pkcs11_container(std::string_view text) {
    const size_t n = std::min<size_t>(text.size(), container_name_capacity - 1);
    std::memcpy(name, text.data(), n);
    name_length = static_cast<uint32_t>(n + 1);
}

pkcs11_container& pkcs11_container_list::add(std::string_view name) {
    items_.push_back(std::make_unique<pkcs11_container>(name));
    return *items_.back();
}

int pkcs11_container_list::remove(std::string_view name) {
    const auto it = std::find_if(items_.begin(), items_.end(),
                                 [&](const auto& c) { return c->text() == name; });
    if (it == items_.end()) return 1;
    items_.erase(it);
    return 0;
}

void pkcs11_container_list::clear() {
    for (const auto& c : items_) {
        if (c->handle != 0) (void)SKF_CloseContainer(c->handle);
        c->handle = 0;
    }
    items_.clear();
}

pkcs11_container* pkcs11_container_list::find(std::string_view name) const {
    for (const auto& c : items_)
        if (c->text() == name) return c.get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Container manager

void pkcs11_container_manager::forget() {
    for (const auto& c : list_.items())
        c->handle = 0;
    list_.clear();
    application_ = 0;
    counter_.forget();
}

CK_RV pkcs11_container_manager::application_handle(HAPPLICATION& app) {
    (void)token_.open_application();
    app = token_.application();
    if (app == 0) return CKR_DEVICE_ERROR;
    if (application_ != 0 && application_ != app) {
        // The application was closed and opened again: the old handles are gone.
        for (const auto& c : list_.items())
            c->handle = 0;
        list_.clear();
        counter_.forget();
    }
    application_ = app;
    return CKR_OK;
}

void pkcs11_container_manager::update_map() {
    if (application_ != 0) (void)token_update_cmapfile(application_, nullptr);
}

CK_RV pkcs11_container_manager::container_manager_load(uint32_t* count) {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    list_.clear();
    std::vector<char> names(enum_buffer_size + 1, '\0');
    uint32_t size = enum_buffer_size;
    if (const uint32_t rv = SKF_EnumContainer(app, names.data(), &size); rv != SAR_OK) return rv;
    size = std::min(size, enum_buffer_size);
    uint32_t n = 0;
    for (size_t pos = 0; pos < size && names[pos] != '\0';) {
        const size_t len = strnlen(names.data() + pos, size - pos);
        list_.add(std::string_view(names.data() + pos, len));
        ++n;
        pos += len + 1;
    }
    if (count != nullptr) *count = n;
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_create(std::string_view name) {
    if (container_name_reserved(name)) return CKR_ARGUMENTS_BAD;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    if (list_.empty()) (void)container_manager_load();
    if (list_.find(name) != nullptr) return ZELT_CKR_CONTAINER_EXISTS;
    auto container = std::make_unique<pkcs11_container>(name);
    HCONTAINER handle = 0;
    const std::string text(container->text());
    if (const uint32_t rv = SKF_CreateContainer(app, text.c_str(), &handle); rv != SAR_OK) {
        if (handle != 0) (void)SKF_CloseContainer(handle);
        return rv;
    }
    update_map();
    list_.add(text).handle = handle;
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_delete(std::string_view name) {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    if (list_.empty()) (void)container_manager_load();
    pkcs11_container* container = list_.find(name);
    if (container == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    const std::string text(name);
    if (const uint32_t rv = SKF_DeleteContainer(app, text.c_str()); rv != SAR_OK) return rv;
    container->handle = 0; // closed by the deletion
    (void)list_.remove(name);
    update_map();
    // The identifier file goes with the container; a reserved name is never
    // an identifier file.
    if (!container_name_reserved(name)) (void)SKF_DeleteFile(app, text.c_str());
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_enum(char* buffer, uint32_t* length) {
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    if (list_.empty()) {
        if (CK_RV rv = container_manager_load(); rv != CKR_OK) return rv;
    }
    uint64_t total = 0;
    for (const auto& c : list_.items())
        total += c->name_length;
    // The capacity is checked before anything is copied; a short buffer or a
    // size query learns the length needed.
    if (buffer == nullptr || total > *length) {
        *length = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
        return buffer == nullptr ? CKR_OK : CKR_DATA_LEN_RANGE;
    }
    size_t pos = 0;
    for (const auto& c : list_.items()) {
        std::memcpy(buffer + pos, c->name, c->name_length);
        pos += c->name_length;
    }
    *length = static_cast<uint32_t>(total);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_open(pkcs11_container& container) {
    if (container.handle != 0) return CKR_OK;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    const std::string text(container.text());
    HCONTAINER handle = 0;
    if (const uint32_t rv = SKF_OpenContainer(app, text.c_str(), &handle); rv != SAR_OK) return rv;
    container.handle = handle;
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_info(std::string_view name, uint8_t* type,
                                               uint32_t* sign_bits, uint32_t* exch_bits,
                                               uint8_t* sign_cert, uint8_t* exch_cert) {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    if (list_.empty()) (void)container_manager_load();
    pkcs11_container* container = list_.find(name);
    if (container == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = container_open(*container); rv != CKR_OK) return rv;
    return gm_get_container_info(container->handle, type, sign_bits, exch_bits, sign_cert,
                                 exch_cert);
}

bool pkcs11_container_manager::container_has_key(std::string_view name, uint32_t key_spec) {
    uint8_t type = 0;
    uint32_t sign_bits = 0;
    uint32_t exch_bits = 0;
    if (container_info(name, &type, &sign_bits, &exch_bits, nullptr, nullptr) != CKR_OK)
        return false;
    return (key_spec == key_spec_signature ? sign_bits : exch_bits) != 0;
}

std::string pkcs11_container_manager::container_name_for_new_key(std::string_view wanted,
                                                                 std::string_view default_label,
                                                                 container_reuse reuse,
                                                                 uint32_t key_spec) {
    if (!wanted.empty() && wanted != default_label && container_name_acceptable(wanted)) {
        const bool free = reuse == container_reuse::without_key_of_spec
                              ? !container_has_key(wanted, key_spec)
                              : list_.find(wanted) == nullptr;
        if (free) return std::string(wanted);
    }
    std::string name = generate_container_name();
    while (list_.find(name) != nullptr)
        name = generate_container_name();
    return name;
}

void pkcs11_container_manager::container_close_all() {
    for (const auto& c : list_.items()) {
        if (c->handle != 0) (void)SKF_CloseContainer(c->handle);
        c->handle = 0;
    }
}

pkcs11_container* pkcs11_container_manager::container_find(const pkcs11_object& object) {
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name || name->size() > container_name_capacity) return nullptr;
    if (list_.empty()) (void)container_manager_load();
    return list_.find(stored_text(*name));
}

CK_RV pkcs11_container_manager::container_open_for_object(const pkcs11_object& object,
                                                          pkcs11_container*& out) {
    out = nullptr;
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (name->size() > container_name_capacity) return CKR_BUFFER_TOO_SMALL;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    pkcs11_container* container = container_find(object);
    if (container == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = container_open(*container); rv != CKR_OK) return rv;
    out = container;
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_for_object(const pkcs11_object& object,
                                                     pkcs11_container*& out, bool* created) {
    out = nullptr;
    if (created != nullptr) *created = false;
    std::string name;
    const auto stored = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (stored && !stored->empty() && stored->size() <= container_name_capacity) {
        name = stored_text(*stored);
    } else {
        const auto label = attribute_bytes(object, CKA_LABEL);
        if (!label) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (label->size() > container_name_capacity) return CKR_BUFFER_TOO_SMALL;
        name = stored_text(*label);
    }
    // A name the card cannot take, or one of the token's own files, names no container.
    if (!container_name_acceptable(name)) return CKR_ATTRIBUTE_VALUE_INVALID;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    if (list_.empty()) (void)container_manager_load();
    if (list_.find(name) == nullptr) {
        if (CK_RV rv = container_create(name); rv != CKR_OK) return rv;
        if (created != nullptr) *created = true;
    }
    pkcs11_container* container = list_.find(name);
    if (container == nullptr) return ZELT_CKR_CONTAINER_NOT_FOUND;
    if (CK_RV rv = container_open(*container); rv != CKR_OK) return rv;
    out = container;
    return CKR_OK;
}

void pkcs11_container_manager::discard_new_container(pkcs11_container* container, bool created) {
    if (container != nullptr && created) (void)container_delete(std::string(container->text()));
}

// ---------------------------------------------------------------------------
// Change counter of the token

uint32_t
pkcs11_container_manager::on_counter_file(const std::function<uint32_t(counter_file&)>& step) {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return static_cast<uint32_t>(rv);
    card_counter_file file(app);
    return step(file);
}

uint32_t pkcs11_container_manager::cache_counter_create() {
    return on_counter_file([this](counter_file& file) { return counter_.create(file); });
}

uint32_t pkcs11_container_manager::cache_counter_bump(uint32_t at_least) {
    return on_counter_file(
        [this, at_least](counter_file& file) { return counter_.bump(file, at_least); });
}

bool pkcs11_container_manager::cache_counter_changed() {
    HAPPLICATION app = 0;
    if (application_handle(app) != CKR_OK) return false;
    card_counter_file file(app);
    if (!counter_.value().has_value()) {
        (void)counter_.reload(file);
        return false;
    }
    return counter_.changed(file);
}

uint32_t pkcs11_container_manager::cache_counter_reload() {
    return on_counter_file([this](counter_file& file) { return counter_.reload(file); });
}
