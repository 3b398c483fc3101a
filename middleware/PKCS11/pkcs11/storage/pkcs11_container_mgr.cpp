// Key containers, the objects built from them, identifier files and the
// change counter "CacheFile" (see pkcs11_container_mgr.h).
#include "pkcs11_container_mgr.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "byte_order.h"
#include "cert_reader.h"
#include "pkcs11_storage_records.h"
#include "pkcs11_token.h"
#include "sm2_codec.h"

namespace {

constexpr uint32_t enum_buffer_size = 4096;
constexpr uint32_t rsa_public_blob_size = sizeof(RSAPUBLICKEYBLOB);
constexpr uint32_t ecc_public_blob_size = sizeof(ECCPUBLICKEYBLOB);
constexpr uint8_t ck_true = 1;

// The device API's selector: true for the signature pair (key spec 2).
uint32_t device_key_spec(uint32_t key_spec) {
    return key_spec == key_spec_signature ? gm_key_spec_signature : gm_key_spec_exchange;
}

std::optional<std::vector<uint8_t>> attribute_bytes(const pkcs11_object& object, uint32_t type) {
    const pkcs11_attribute* a = object.attributes().find(type);
    if (a == nullptr) return std::nullopt;
    return a->value;
}

// Text up to the first NUL of a stored name.
std::string stored_text(const std::vector<uint8_t>& value) {
    const auto end = std::find(value.begin(), value.end(), uint8_t{0});
    return std::string(value.begin(), end);
}

// The name with its terminating NUL, as ZELT_CKA_CONTAINER_NAME and the labels of key objects hold
// it.
std::vector<uint8_t> with_nul(std::string_view text) {
    std::vector<uint8_t> v(text.begin(), text.end());
    v.push_back(0);
    return v;
}

inner_attribute entry(uint32_t type, const void* value, size_t length) {
    return inner_attribute{type, const_cast<void*>(value), static_cast<uint32_t>(length)};
}

// Strips leading zero bytes of a big-endian number.
std::span<const uint8_t> significant(const std::vector<uint8_t>& v) {
    size_t i = 0;
    while (i < v.size() && v[i] == 0)
        ++i;
    return {v.data() + i, v.size() - i};
}

struct rsa_holder {
    rsa_holder() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~rsa_holder() { mbedtls_rsa_free(&ctx); }
    rsa_holder(const rsa_holder&) = delete;
    rsa_holder& operator=(const rsa_holder&) = delete;
    mbedtls_rsa_context ctx;
};

struct mpi_holder {
    mpi_holder() { mbedtls_mpi_init(&v); }
    ~mpi_holder() { mbedtls_mpi_free(&v); }
    mpi_holder(const mpi_holder&) = delete;
    mpi_holder& operator=(const mpi_holder&) = delete;
    mbedtls_mpi v;
};

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

CK_RV rsa_private_blob_from_object(const pkcs11_object& object, RSAPRIVATEKEYBLOB& blob) {
    std::memset(&blob, 0, sizeof blob);
    const auto n = attribute_bytes(object, CKA_MODULUS);
    const auto e = attribute_bytes(object, CKA_PUBLIC_EXPONENT);
    const auto d = attribute_bytes(object, CKA_PRIVATE_EXPONENT);
    if (!n || !e || !d) return CKR_TEMPLATE_INCOMPLETE;
    const auto p = attribute_bytes(object, CKA_PRIME_1);
    const auto q = attribute_bytes(object, CKA_PRIME_2);
    const bool crt = p && q && object.attributes().has(CKA_EXPONENT_1) &&
                     object.attributes().has(CKA_EXPONENT_2) &&
                     object.attributes().has(CKA_COEFFICIENT);

    const auto nn = significant(*n);
    const auto ee = significant(*e);
    const auto dd = significant(*d);
    if (nn.size() != 128 && nn.size() != 256) return CKR_KEY_SIZE_RANGE;
    if (ee.empty() || ee.size() > sizeof blob.PublicExponent || dd.empty() || dd.size() > nn.size())
        return CKR_ATTRIBUTE_VALUE_INVALID;

    // mbed TLS checks the key and derives what the object lacks: the primes
    // from n, e and d, and the CRT values from the primes.
    rsa_holder rsa;
    int ret = 0;
    if (crt) {
        const auto pp = significant(*p);
        const auto qq = significant(*q);
        if (pp.empty() || qq.empty() || pp.size() > nn.size() / 2 || qq.size() > nn.size() / 2)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        ret =
            mbedtls_rsa_import_raw(&rsa.ctx, nn.data(), nn.size(), pp.data(), pp.size(), qq.data(),
                                   qq.size(), dd.data(), dd.size(), ee.data(), ee.size());
    } else {
        ret = mbedtls_rsa_import_raw(&rsa.ctx, nn.data(), nn.size(), nullptr, 0, nullptr, 0,
                                     dd.data(), dd.size(), ee.data(), ee.size());
    }
    if (ret != 0 || mbedtls_rsa_complete(&rsa.ctx) != 0 || mbedtls_rsa_check_privkey(&rsa.ctx) != 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;

    const size_t len = nn.size();
    const size_t half = len / 2;
    mpi_holder N, P, Q, D, E, DP, DQ, QP;
    if (mbedtls_rsa_export(&rsa.ctx, &N.v, &P.v, &Q.v, &D.v, &E.v) != 0 ||
        mbedtls_rsa_export_crt(&rsa.ctx, &DP.v, &DQ.v, &QP.v) != 0)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    struct field {
        const mbedtls_mpi* value;
        uint8_t* out;
        size_t size;
        size_t used;
    };
    const field fields[] = {
        {&N.v, blob.Modulus, sizeof blob.Modulus, len},
        {&E.v, blob.PublicExponent, sizeof blob.PublicExponent, sizeof blob.PublicExponent},
        {&D.v, blob.PrivateExponent, sizeof blob.PrivateExponent, len},
        {&P.v, blob.Prime1, sizeof blob.Prime1, half},
        {&Q.v, blob.Prime2, sizeof blob.Prime2, half},
        {&DP.v, blob.Prime1Exponent, sizeof blob.Prime1Exponent, half},
        {&DQ.v, blob.Prime2Exponent, sizeof blob.Prime2Exponent, half},
        {&QP.v, blob.Coefficient, sizeof blob.Coefficient, half},
    };
    for (const field& f : fields) {
        if (mbedtls_mpi_write_binary(f.value, f.out + (f.size - f.used), f.used) != 0) {
            mbedtls_platform_zeroize(&blob, sizeof blob);
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    blob.AlgID = SGD_RSA;
    blob.BitLen = static_cast<uint32_t>(len * 8);
    return CKR_OK;
}

// ---------------------------------------------------------------------------
// Change counter

uint32_t cache_counter::create(counter_file& file) {
    counter_ = 0;
    const uint32_t rv = file.create();
    (void)bump(file);
    return rv;
}

uint32_t cache_counter::bump(counter_file& file) {
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
    const uint32_t next = on_card + 1;
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
    const uint32_t rv =
        SKF_ReadFile(application_, cache_file_name, 0, bytes.size(), bytes.data(), &got);
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

std::string pkcs11_container_manager::container_name_for_new_key(const pkcs11_object& private_key,
                                                                 uint32_t key_spec) {
    if (list_.empty()) (void)container_manager_load();
    if (const auto label = attribute_bytes(private_key, CKA_LABEL);
        label && label->size() <= container_name_capacity) {
        const std::string name = stored_text(*label);
        if (name != "A private object" && container_name_acceptable(name) &&
            !container_has_key(name, key_spec))
            return name;
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

std::optional<std::vector<uint8_t>>
pkcs11_container_manager::read_key_id_file(std::string_view name) {
    if (container_name_reserved(name) || name.size() > gm_file_name_max || application_ == 0)
        return std::nullopt;
    const std::string text(name);
    std::vector<uint8_t> bytes(key_id_file_max);
    uint32_t got = static_cast<uint32_t>(bytes.size());
    if (SKF_ReadFile(application_, text.c_str(), 0, static_cast<uint32_t>(bytes.size()),
                     bytes.data(), &got) != SAR_OK)
        return std::nullopt;
    bytes.resize(std::min<size_t>(got, bytes.size()));
    return bytes;
}

CK_RV pkcs11_container_manager::container_write_key_id(std::string_view name,
                                                       std::span<const uint8_t> id) {
    if (id.empty() || id.size() > key_id_file_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!container_name_acceptable(name) || name.size() > gm_file_name_max)
        return CKR_ARGUMENTS_BAD;
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return rv;
    const std::string text(name);
    const auto size = static_cast<uint32_t>(id.size());
    uint32_t rv =
        SKF_CreateFile(app, text.c_str(), size, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT);
    if (rv == SAR_FILE_ALREADY_EXIST) {
        // A file's size is fixed: one of another length is made anew, so no
        // tail of an older identifier is left behind.
        FILEATTRIBUTE info{};
        if (SKF_GetFileInfo(app, text.c_str(), &info) == SAR_OK && info.FileSize == size) {
            rv = SAR_OK;
        } else {
            (void)SKF_DeleteFile(app, text.c_str());
            rv = SKF_CreateFile(app, text.c_str(), size, SECURE_ANYONE_ACCOUNT,
                                SECURE_ANYONE_ACCOUNT);
        }
    }
    if (rv != SAR_OK) return rv;
    return SKF_WriteFile(app, text.c_str(), 0, id.data(), size);
}

pkcs11_object* pkcs11_container_manager::find_partner(const pkcs11_object& object,
                                                      uint32_t partner_class) {
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name) return nullptr;
    const uint32_t spec = object.object_key_spec();
    for (const auto& o : token_.objects().objects()) {
        if (o.get() == &object || o->object_class() != partner_class) continue;
        if (o->object_key_spec() != spec) continue;
        const auto other = attribute_bytes(*o, ZELT_CKA_CONTAINER_NAME);
        if (other && stored_text(*other) == stored_text(*name)) return o.get();
    }
    return nullptr;
}

CK_RV pkcs11_container_manager::build_key_pair(pkcs11_container& container, bool sm2,
                                               uint32_t key_spec, uint32_t bits) {
    const std::vector<uint8_t> id =
        container_key_id(container.text(), key_spec, read_key_id_file(container.text()));
    const std::vector<uint8_t> label = with_nul(container.text());
    const uint32_t key_type =
        sm2 ? static_cast<uint32_t>(ZELT_CKK_SM2) : static_cast<uint32_t>(CKK_RSA);
    const uint32_t public_class = CKO_PUBLIC_KEY;
    const uint32_t private_class = CKO_PRIVATE_KEY;

    std::vector<inner_attribute> pub{entry(CKA_CLASS, &public_class, 4),
                                     entry(CKA_ID, id.data(), id.size())};
    if (!sm2) pub.push_back(entry(CKA_MODULUS_BITS, &bits, 4));
    pub.insert(pub.end(),
               {entry(CKA_KEY_TYPE, &key_type, 4), entry(CKA_LOCAL, &ck_true, 1),
                entry(CKA_TOKEN, &ck_true, 1), entry(CKA_VERIFY, &ck_true, 1),
                entry(CKA_ENCRYPT, &ck_true, 1), entry(CKA_LABEL, label.data(), label.size()),
                entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
                entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size())});

    std::vector<inner_attribute> priv{entry(CKA_CLASS, &private_class, 4),
                                      entry(CKA_ID, id.data(), id.size()),
                                      entry(CKA_KEY_TYPE, &key_type, 4)};
    if (!sm2) priv.push_back(entry(CKA_MODULUS_BITS, &bits, 4));
    priv.insert(priv.end(), {entry(CKA_LOCAL, &ck_true, 1), entry(CKA_TOKEN, &ck_true, 1),
                             entry(CKA_DECRYPT, &ck_true, 1), entry(CKA_SIGN, &ck_true, 1),
                             entry(CKA_LABEL, label.data(), label.size()),
                             entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
                             entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size())});

    CK_RV rv = CKR_OK;
    auto public_key = pkcs11_object::create(0, CKO_PUBLIC_KEY, pub.data(),
                                            static_cast<uint32_t>(pub.size()), &rv);
    if (public_key == nullptr) return rv;
    token_.objects().add(public_key);
    if (!sm2) (void)container_load_rsa_public(*public_key);
    auto private_key = pkcs11_object::create(0, CKO_PRIVATE_KEY, priv.data(),
                                             static_cast<uint32_t>(priv.size()), &rv);
    if (private_key == nullptr) return rv;
    token_.objects().add(private_key);
    if (!sm2) (void)container_load_rsa_public(*private_key);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::build_certificate(pkcs11_container& container, uint32_t key_spec) {
    const std::vector<uint8_t> label = with_nul(container.text());
    std::vector<uint8_t> id = label;
    if (key_spec == key_spec_signature) id.push_back('S');
    const uint32_t cert_class = CKO_CERTIFICATE;
    const uint32_t x509 = CKC_X_509;
    const inner_attribute attrs[] = {
        entry(CKA_ID, id.data(), id.size()),
        entry(CKA_CLASS, &cert_class, 4),
        entry(CKA_TOKEN, &ck_true, 1),
        entry(CKA_CERTIFICATE_TYPE, &x509, 4),
        entry(CKA_LABEL, label.data(), label.size()),
        entry(ZELT_CKA_CONTAINER_NAME, label.data(), label.size()),
        entry(ZELT_CKA_KEY_SPEC, &key_spec, 4),
    };
    CK_RV rv = CKR_OK;
    auto cert = pkcs11_object::create(0, CKO_CERTIFICATE, attrs, std::size(attrs), &rv);
    if (cert == nullptr) return rv;
    if (CK_RV load = container_load_certificate(*cert); load != CKR_OK)
        return load; // no certificate, no object
    token_.objects().add(cert);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_build_objects(pkcs11_container& container) {
    if (CK_RV rv = container_open(container); rv != CKR_OK) return rv;
    uint8_t type = 0;
    uint32_t sign_bits = 0;
    uint32_t exch_bits = 0;
    uint8_t sign_cert = 0;
    uint8_t exch_cert = 0;
    if (const uint32_t rv = gm_get_container_info(container.handle, &type, &sign_bits, &exch_bits,
                                                  &sign_cert, &exch_cert);
        rv != SAR_OK)
        return rv;
    if (type == gm_container_rsa || type == gm_container_sm2) {
        const bool sm2 = type == gm_container_sm2;
        if (sign_bits != 0) (void)build_key_pair(container, sm2, key_spec_signature, sign_bits);
        if (exch_bits != 0) (void)build_key_pair(container, sm2, key_spec_exchange, exch_bits);
    }
    if (sign_cert != 0) (void)build_certificate(container, key_spec_signature);
    if (exch_cert != 0) (void)build_certificate(container, key_spec_exchange);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_load_rsa_public(pkcs11_object& object) {
    const uint32_t key_spec = object.object_key_spec();
    uint32_t bits = 256;
    const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
    if (kt != nullptr && kt->length() == 4 && kt->as_u32() == CKK_RSA) {
        if (CK_RV rv = object.object_rsa_bits(bits); rv != CKR_OK) return rv;
    }
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    RSAPUBLICKEYBLOB blob{};
    uint32_t length = rsa_public_blob_size;
    if (const uint32_t rv = SKF_ExportPublicKey(container->handle, key_spec == key_spec_signature,
                                                reinterpret_cast<uint8_t*>(&blob), &length);
        rv != SAR_OK)
        return rv;
    const uint32_t bytes = bits / 8;
    if (length < bytes || bytes > sizeof blob.Modulus) return CKR_DEVICE_ERROR;
    const uint8_t* modulus = blob.Modulus + (sizeof blob.Modulus - bytes);
    const uint8_t* exponent = blob.PublicExponent;
    const std::vector<uint8_t> id =
        container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    const std::vector<uint8_t> label = with_nul(container->text());
    const uint32_t rsa = CKK_RSA;

    const auto set_public = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
        o.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
        o.object_set_attribute(CKA_KEY_TYPE, &rsa, 4);
        o.object_set_attribute(CKA_MODULUS, modulus, bytes);
        o.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
        o.object_set_attribute(CKA_PUBLIC_EXPONENT, exponent, 4);
    };
    const auto set_private = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_MODULUS_BITS, &bits, 4);
        o.object_set_attribute(CKA_MODULUS, modulus, bytes);
        o.object_set_attribute(CKA_PUBLIC_EXPONENT, exponent, 4);
    };
    // The partner is the other half of the same pair: same container, same
    // key spec (an exchange key never lends its modulus to a signature key).
    if (object.object_class() == CKO_PUBLIC_KEY) {
        set_public(object);
        if (pkcs11_object* partner = find_partner(object, CKO_PRIVATE_KEY)) {
            set_private(*partner);
            partner->object_set_attribute(CKA_LABEL, label.data(),
                                          static_cast<uint32_t>(label.size()));
        }
    } else {
        set_private(object);
        if (pkcs11_object* partner = find_partner(object, CKO_PUBLIC_KEY)) set_public(*partner);
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_load_sm2_public(pkcs11_object& object) {
    const uint32_t key_spec = object.object_key_spec();
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    ECCPUBLICKEYBLOB blob{};
    uint32_t length = ecc_public_blob_size;
    if (const uint32_t rv = SKF_ExportPublicKey(container->handle, key_spec == key_spec_signature,
                                                reinterpret_cast<uint8_t*>(&blob), &length);
        rv != SAR_OK)
        return rv;
    if (length < ecc_public_blob_size) return CKR_DEVICE_ERROR;
    std::array<uint8_t, 67> point{0x04, 0x41, 0x04};
    std::memcpy(point.data() + 3, blob.XCoordinate + 32, 32);
    std::memcpy(point.data() + 35, blob.YCoordinate + 32, 32);
    // Z of the default signer identity and this key (GM/T 0009).
    uint8_t z[sm2_z_size];
    sm2_compute_z(blob, z);
    const std::vector<uint8_t> id =
        container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    const std::vector<uint8_t> label = with_nul(container->text());
    const uint32_t sm2 = static_cast<uint32_t>(ZELT_CKK_SM2);

    const auto set_public = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_KEY_TYPE, &sm2, 4);
        o.object_set_attribute(CKA_VALUE, &blob, sizeof blob);
        o.object_set_attribute(CKA_EC_POINT, point.data(), point.size());
        o.object_set_attribute(CKA_LABEL, label.data(), static_cast<uint32_t>(label.size()));
        o.object_set_attribute(ZELT_CKA_SM2_ZA, z, sizeof z);
    };
    const auto set_private = [&](pkcs11_object& o) {
        o.object_set_attribute(CKA_KEY_TYPE, &sm2, 4);
        o.object_set_attribute(CKA_EC_POINT, point.data(), point.size());
        o.object_set_attribute(ZELT_CKA_SM2_ZA, z, sizeof z);
    };
    if (object.object_class() == CKO_PUBLIC_KEY) {
        object.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
        set_public(object);
        if (pkcs11_object* partner = find_partner(object, CKO_PRIVATE_KEY)) {
            set_private(*partner);
            partner->object_set_attribute(CKA_LABEL, label.data(),
                                          static_cast<uint32_t>(label.size()));
        }
    } else {
        object.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
        set_private(object);
        if (pkcs11_object* partner = find_partner(object, CKO_PUBLIC_KEY)) set_public(*partner);
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_load_certificate(pkcs11_object& object) {
    const uint32_t key_spec = object.object_key_spec();
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    const std::vector<uint8_t> id =
        container_key_id(container->text(), key_spec, read_key_id_file(container->text()));
    std::vector<uint8_t> der(gm_certificate_max);
    uint32_t length = static_cast<uint32_t>(der.size());
    if (const uint32_t rv = SKF_ExportCertificate(container->handle, key_spec == key_spec_signature,
                                                  der.data(), &length);
        rv != SAR_OK)
        return rv;
    der.resize(std::min<size_t>(length, der.size()));
    const uint32_t cert_class = CKO_CERTIFICATE;
    const uint32_t x509 = CKC_X_509;
    const uint32_t value_len = static_cast<uint32_t>(der.size());
    const std::string_view text = container->text();
    const std::vector<uint8_t> name = with_nul(text);
    object.object_set_attribute(CKA_ID, id.data(), static_cast<uint32_t>(id.size()));
    object.object_set_attribute(CKA_CLASS, &cert_class, 4);
    object.object_set_attribute(CKA_TOKEN, &ck_true, 1);
    object.object_set_attribute(CKA_VALUE, der.data(), value_len);
    object.object_set_attribute(CKA_VALUE_LEN, &value_len, 4);
    object.object_set_attribute(CKA_CERTIFICATE_TYPE, &x509, 4);
    object.object_set_attribute(CKA_LABEL, text.data(), static_cast<uint32_t>(text.size()));
    object.object_set_attribute(ZELT_CKA_CONTAINER_NAME, name.data(),
                                static_cast<uint32_t>(name.size()));
    object.object_set_attribute(ZELT_CKA_KEY_SPEC, &key_spec, 4);
    const parsed_cert_scope done;
    if (parse_certificate(der.data(), der.size()) == 0)
        (void)object_fill_certificate_attributes(object);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_store_certificate(pkcs11_object& object) {
    if (object.object_class() != CKO_CERTIFICATE) return CKR_OK;
    const auto value = attribute_bytes(object, CKA_VALUE);
    if (!value) return CKR_OK;
    if (value->empty() || value->size() > gm_certificate_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    pkcs11_container* container = nullptr;
    bool created = false;
    if (CK_RV rv = container_for_object(object, container, &created); rv != CKR_OK) return rv;
    const uint32_t rv =
        SKF_ImportCertificate(container->handle, object.object_is_signature_key() ? 1 : 0,
                              value->data(), static_cast<uint32_t>(value->size()));
    if (rv != SAR_OK) discard_new_container(container, created);
    update_map();
    if (rv == SAR_OK) {
        // The certificate's CKA_ID is kept as the container's identifier when
        // the container has none yet, so that it comes back after a reload.
        const auto id = attribute_bytes(object, CKA_ID);
        const std::string name(container->text());
        if (id && !id->empty() && id->size() <= key_id_file_max &&
            !read_key_id_file(name).has_value())
            (void)container_write_key_id(name, *id);
    }
    return rv;
}

CK_RV pkcs11_container_manager::container_import_private_key(pkcs11_object& object) {
    if (object.object_class() != CKO_PRIVATE_KEY) return CKR_TEMPLATE_INCONSISTENT;
    const pkcs11_attribute* kt = object.attributes().find(CKA_KEY_TYPE);
    if (kt == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (kt->length() > 4) return CKR_BUFFER_TOO_SMALL;
    const uint32_t key_spec = object.object_key_spec();
    const auto id = attribute_bytes(object, CKA_ID);

    if (kt->as_u32() == CKK_RSA) {
        RSAPRIVATEKEYBLOB blob{};
        CK_RV rv = rsa_private_blob_from_object(object, blob);
        if (rv == CKR_OK) {
            pkcs11_container* container = nullptr;
            bool created = false;
            rv = container_for_object(object, container, &created);
            if (rv == CKR_OK) {
                rv = gm_import_plain_rsa_key_pair(container->handle, device_key_spec(key_spec),
                                                  &blob);
                if (rv != SAR_OK) discard_new_container(container, created);
                if (rv == SAR_OK) {
                    update_map();
                    if (id && !id->empty() && id->size() <= key_id_file_max)
                        (void)container_write_key_id(container->text(), *id);
                }
            }
        }
        mbedtls_platform_zeroize(&blob, sizeof blob);
        // The private components never stay in memory.
        for (uint32_t type : {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                              CKA_COEFFICIENT, CKA_PRIVATE_EXPONENT})
            object.object_remove_attribute(type);
        return rv;
    }

    // SM2: the private value with the public point of the public key of the same CKA_ID.
    const auto value = attribute_bytes(object, CKA_VALUE);
    if (!value) return CKR_TEMPLATE_INCOMPLETE;
    if (!id) return CKR_KEY_NEEDED;
    const pkcs11_object* public_key = nullptr;
    for (const auto& o : token_.objects().objects()) {
        if (o->object_class() != CKO_PUBLIC_KEY) continue;
        const auto other = attribute_bytes(*o, CKA_ID);
        if (other && *other == *id) {
            public_key = o.get();
            break;
        }
    }
    if (public_key == nullptr) return CKR_KEY_NEEDED;
    const auto point = attribute_bytes(*public_key, CKA_EC_POINT);
    if (!point) return CKR_KEY_NEEDED;
    if (point->size() > 256 || value->size() > 256) return CKR_BUFFER_TOO_SMALL;
    if (point->size() < 65 || (*point)[0] != 0x04 || value->size() < 32) return CKR_DATA_INVALID;
    pkcs11_container* container = nullptr;
    bool created = false;
    if (CK_RV rv = container_for_object(object, container, &created); rv != CKR_OK) return rv;
    ECCPUBLICKEYBLOB pub{};
    ECCPRIVATEKEYBLOB priv{};
    pub.BitLen = 256;
    priv.BitLen = 256;
    const uint8_t* xy = point->data() + point->size() - 64;
    std::memcpy(pub.XCoordinate + 32, xy, 32);
    std::memcpy(pub.YCoordinate + 32, xy + 32, 32);
    std::memcpy(priv.PrivateKey + 32, value->data() + value->size() - 32, 32);
    const uint32_t rv =
        gm_import_plain_ecc_key_pair(container->handle, device_key_spec(key_spec), &pub, &priv);
    mbedtls_platform_zeroize(&priv, sizeof priv);
    // As for RSA keys, the private value never stays in memory: the card holds it.
    // (Overwritten with zeros in place first: assigning the same length keeps the storage.)
    object.object_set_attribute(CKA_VALUE, nullptr, static_cast<uint32_t>(value->size()));
    object.object_remove_attribute(CKA_VALUE);
    if (rv != SAR_OK) discard_new_container(container, created);
    if (rv == SAR_OK) {
        update_map();
        if (!id->empty() && id->size() <= key_id_file_max)
            (void)container_write_key_id(container->text(), *id);
    }
    return rv;
}

CK_RV pkcs11_container_manager::container_delete_certificate(const pkcs11_object& object) {
    const auto name = attribute_bytes(object, ZELT_CKA_CONTAINER_NAME);
    if (!name) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (name->size() > container_name_capacity) return CKR_BUFFER_TOO_SMALL;
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    const uint32_t rv =
        gm_delete_certificate(container->handle, device_key_spec(object.object_key_spec()));
    update_map();
    return rv;
}

CK_RV pkcs11_container_manager::container_delete_key_pair(const pkcs11_object& object) {
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    const uint32_t rv =
        gm_delete_key_pair(container->handle, device_key_spec(object.object_key_spec()));
    update_map();
    return rv;
}

CK_RV pkcs11_container_manager::container_delete_if_empty(const pkcs11_object& object) {
    pkcs11_container* container = nullptr;
    if (CK_RV rv = container_open_for_object(object, container); rv != CKR_OK) return rv;
    uint8_t type = 0;
    uint32_t sign_bits = 0;
    uint32_t exch_bits = 0;
    uint8_t sign_cert = 0;
    uint8_t exch_cert = 0;
    if (const uint32_t rv = gm_get_container_info(container->handle, &type, &sign_bits, &exch_bits,
                                                  &sign_cert, &exch_cert);
        rv != SAR_OK)
        return rv;
    if (sign_bits != 0 || exch_bits != 0 || sign_cert != 0 || exch_cert != 0) return CKR_OK;
    return container_delete(std::string(container->text()));
}

CK_RV pkcs11_container_manager::secret_key_release_handle(pkcs11_object& object) {
    const pkcs11_attribute* a = object.attributes().find(ZELT_CKA_GM_HANDLE);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (a->length() > 8) return CKR_BUFFER_TOO_SMALL;
    uint64_t handle = 0;
    std::memcpy(&handle, a->value.data(), a->length());
    if (handle == 0) return CKR_OK;
    const uint32_t rv = SKF_CloseHandle(static_cast<HANDLE>(handle));
    const uint64_t zero = 0;
    object.object_set_attribute(ZELT_CKA_GM_HANDLE, &zero, a->length());
    return rv;
}

// ---------------------------------------------------------------------------
// Change counter of the token

uint32_t pkcs11_container_manager::cache_counter_create() {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return static_cast<uint32_t>(rv);
    card_counter_file file(app);
    return counter_.create(file);
}

uint32_t pkcs11_container_manager::cache_counter_bump() {
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return static_cast<uint32_t>(rv);
    card_counter_file file(app);
    return counter_.bump(file);
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
    HAPPLICATION app = 0;
    if (CK_RV rv = application_handle(app); rv != CKR_OK) return static_cast<uint32_t>(rv);
    card_counter_file file(app);
    return counter_.reload(file);
}
