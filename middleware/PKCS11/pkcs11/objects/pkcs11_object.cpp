#include "pkcs11_object.h"

#include <sys/random.h>

#include <atomic>
#include <cstring>
#include <random>
#include <span>

namespace {

// One default attribute of a class template.
struct default_attribute {
    enum class kind { boolean, integer, text, empty, date } form;
    uint32_t type;
    uint32_t number = 0;        // boolean or integer value
    const char* text = nullptr; // stored with its NUL
};

using K = default_attribute::kind;

constexpr default_attribute data_defaults[] = {
    {K::integer, CKA_CLASS, CKO_DATA},
    {K::boolean, CKA_TOKEN, 0},
    {K::text, CKA_LABEL, 0, "A data object"},
    {K::boolean, CKA_PRIVATE, 0},
    {K::boolean, CKA_MODIFIABLE, 1},
    {K::text, CKA_APPLICATION, 0, ""},
    {K::empty, CKA_OBJECT_ID},
};
constexpr default_attribute cert_defaults[] = {
    {K::boolean, CKA_TRUSTED, 1},  {K::boolean, CKA_PRIVATE, 0},
    {K::boolean, CKA_TOKEN, 0},    {K::text, CKA_LABEL, 0, "A certificate object"},
    {K::integer, CKA_KEY_TYPE, 0}, {K::boolean, CKA_MODIFIABLE, 1},
};
constexpr default_attribute public_key_defaults[] = {
    {K::integer, CKA_CLASS, CKO_PUBLIC_KEY},
    {K::boolean, CKA_TOKEN, 0},
    {K::text, CKA_LABEL, 0, "A public object"},
    {K::boolean, CKA_PRIVATE, 0},
    {K::boolean, CKA_MODIFIABLE, 1},
    {K::integer, CKA_KEY_TYPE, CKK_RSA},
    {K::empty, CKA_SUBJECT},
    {K::date, CKA_START_DATE},
    {K::date, CKA_END_DATE},
    {K::boolean, CKA_DERIVE, 0},
    {K::boolean, CKA_ENCRYPT, 1},
    {K::boolean, CKA_VERIFY, 1},
    {K::boolean, CKA_VERIFY_RECOVER, 1},
    {K::boolean, CKA_WRAP, 1},
    {K::boolean, CKA_TRUSTED, 0},
};
constexpr default_attribute private_key_defaults[] = {
    {K::integer, CKA_CLASS, CKO_PRIVATE_KEY},
    {K::boolean, CKA_TOKEN, 0},
    {K::text, CKA_LABEL, 0, "A private object"},
    {K::boolean, CKA_PRIVATE, 1},
    {K::boolean, CKA_MODIFIABLE, 1},
    {K::integer, CKA_KEY_TYPE, CKK_RSA},
    {K::date, CKA_START_DATE},
    {K::date, CKA_END_DATE},
    {K::boolean, CKA_DERIVE, 0},
    {K::empty, CKA_SUBJECT},
    {K::boolean, CKA_SENSITIVE, 1},
    {K::boolean, CKA_DECRYPT, 1},
    {K::boolean, CKA_SIGN, 1},
    {K::boolean, CKA_SIGN_RECOVER, 1},
    {K::boolean, CKA_UNWRAP, 1},
    {K::boolean, CKA_EXTRACTABLE, 0},
    {K::boolean, CKA_ALWAYS_SENSITIVE, 1},
    {K::boolean, CKA_NEVER_EXTRACTABLE, 1},
    {K::boolean, CKA_WRAP_WITH_TRUSTED, 0},
    {K::boolean, CKA_ALWAYS_AUTHENTICATE, 0},
};
constexpr default_attribute secret_key_defaults[] = {
    {K::integer, CKA_CLASS, CKO_SECRET_KEY},
    {K::boolean, CKA_TOKEN, 0},
    {K::text, CKA_LABEL, 0, "A secret object"},
    {K::boolean, CKA_PRIVATE, 0},
    {K::boolean, CKA_MODIFIABLE, 1},
    {K::integer, CKA_KEY_TYPE, CKK_RSA},
    {K::empty, CKA_ID},
    {K::date, CKA_START_DATE},
    {K::date, CKA_END_DATE},
    {K::boolean, CKA_DERIVE, 0},
    {K::boolean, CKA_SENSITIVE, 0},
    {K::boolean, CKA_ENCRYPT, 1},
    {K::boolean, CKA_DECRYPT, 1},
    {K::boolean, CKA_SIGN, 0},
    {K::boolean, CKA_VERIFY, 0},
    {K::boolean, CKA_WRAP, 1},
    {K::boolean, CKA_UNWRAP, 1},
    {K::boolean, CKA_EXTRACTABLE, 0},
    {K::boolean, CKA_ALWAYS_SENSITIVE, 1},
    {K::boolean, CKA_NEVER_EXTRACTABLE, 1},
    {K::boolean, CKA_TRUSTED, 0},
    {K::boolean, CKA_WRAP_WITH_TRUSTED, 0},
    {K::boolean, CKA_ALWAYS_AUTHENTICATE, 0},
};

std::span<const default_attribute> class_defaults(int64_t object_class) {
    switch (object_class) {
    case CKO_DATA:
        return data_defaults;
    case CKO_CERTIFICATE:
        return cert_defaults;
    case CKO_PUBLIC_KEY:
        return public_key_defaults;
    case CKO_PRIVATE_KEY:
        return private_key_defaults;
    case CKO_SECRET_KEY:
        return secret_key_defaults;
    default:
        return {};
    }
}

bool is_known_class(int64_t object_class) {
    return object_class >= 0 && object_class <= static_cast<int64_t>(CKO_SECRET_KEY);
}

// CKA_VALUE and the RSA private components (CKA_PRIVATE_EXPONENT ... CKA_COEFFICIENT).
bool is_secret_value(uint32_t type) {
    return type == CKA_VALUE || (type >= CKA_PRIVATE_EXPONENT && type <= CKA_COEFFICIENT);
}

bool template_has(const inner_attribute* entries, uint32_t count, uint32_t type) {
    for (uint32_t i = 0; i < count; ++i)
        if (entries[i].type == type) return true;
    return false;
}

} // namespace

uint32_t next_object_handle() {
    // A counter of its own, apart from the session handles' range, so that a
    // session handle passed as an object handle names nothing.
    static std::atomic<uint32_t> counter{0x02000001u};
    uint32_t h = counter.fetch_add(1);
    while (h == 0)
        h = counter.fetch_add(1);
    return h;
}

void random_hex(std::string& text, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::vector<uint8_t> bytes(n / 2);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t r = getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got < bytes.size()) {
        std::random_device rd;
        for (size_t i = got; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(rd());
    }
    for (uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
}

pkcs11_object::pkcs11_object() : handle_(next_object_handle()) {}

pkcs11_object::~pkcs11_object() {
    verifier_.reset(); // it reads the attribute list: gone first
}

CK_RV pkcs11_object::apply_class_defaults() {
    const int64_t cls = object_class();
    if (!is_known_class(cls)) return CKR_TEMPLATE_INCOMPLETE;
    static constexpr uint8_t zero_date[8] = {};
    for (const default_attribute& d : class_defaults(cls)) {
        switch (d.form) {
        case K::boolean: {
            const uint8_t b = static_cast<uint8_t>(d.number);
            attributes_.set(d.type, &b, 1);
            break;
        }
        case K::integer:
            attributes_.set(d.type, &d.number, 4);
            break;
        case K::text:
            attributes_.set(d.type, d.text, static_cast<uint32_t>(std::strlen(d.text) + 1));
            break;
        case K::empty:
            attributes_.set(d.type, nullptr, 0);
            break;
        case K::date:
            attributes_.set(d.type, zero_date, sizeof zero_date);
            break;
        }
    }
    return CKR_OK;
}

std::shared_ptr<pkcs11_object> pkcs11_object::create(uint32_t owner_session, int64_t object_class,
                                                     const inner_attribute* entries, uint32_t count,
                                                     CK_RV* rv) {
    CK_RV local = CKR_OK;
    CK_RV& result = rv != nullptr ? *rv : local;
    if ((result = template_check(entries, count)) != CKR_OK) return nullptr;
    std::shared_ptr<pkcs11_object> object(new pkcs11_object());
    object->cached_class_ = object_class;
    if ((result = object->apply_class_defaults()) != CKR_OK) return nullptr;
    object->object_set_attributes(entries, count);
    if ((result = object->object_build_verifier()) != CKR_OK) return nullptr;
    object->owner_session_ = owner_session;
    return object;
}

std::shared_ptr<pkcs11_object> pkcs11_object::create_from_template(uint32_t owner_session,
                                                                   uint32_t level,
                                                                   const inner_attribute* entries,
                                                                   uint32_t count, CK_RV& rv) {
    if ((rv = template_check(entries, count)) != CKR_OK) return nullptr;
    int64_t cls = -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (entries[i].type != CKA_CLASS) continue;
        if (entries[i].length == 4) {
            uint32_t v;
            std::memcpy(&v, entries[i].value, 4);
            cls = v;
        }
        break;
    }
    std::shared_ptr<pkcs11_object> object = create(owner_session, cls, entries, count, &rv);
    if (object == nullptr) {
        rv = CKR_TEMPLATE_INCOMPLETE;
        return nullptr;
    }
    if (!object->object_visible_at(level)) {
        rv = CKR_SESSION_READ_ONLY;
        return nullptr;
    }
    if ((rv = object->verifier_->check_create()) != CKR_OK) return nullptr;
    const uint8_t no = 0;
    switch (object->object_class()) {
    case CKO_PUBLIC_KEY:
        object->object_set_attribute(CKA_LOCAL, &no, 1);
        break;
    case CKO_PRIVATE_KEY:
    case CKO_SECRET_KEY:
        object->object_set_attribute(CKA_LOCAL, &no, 1);
        object->object_set_attribute(CKA_ALWAYS_SENSITIVE, &no, 1);
        object->object_set_attribute(CKA_NEVER_EXTRACTABLE, &no, 1);
        break;
    default:
        break;
    }
    rv = CKR_OK;
    return object;
}

std::shared_ptr<pkcs11_object> pkcs11_object::clone() const {
    std::shared_ptr<pkcs11_object> copy(new pkcs11_object());
    for (const pkcs11_attribute& a : attributes_.records())
        copy->attributes_.set(a.type, a.value.data(), a.length());
    if (copy->object_build_verifier() != CKR_OK) return nullptr;
    return copy;
}

std::shared_ptr<pkcs11_object> pkcs11_object::from_stream(const uint8_t* bytes, uint32_t* length,
                                                          CK_RV& rv) {
    std::shared_ptr<pkcs11_object> object(new pkcs11_object());
    rv = object->object_load_stream(bytes, length);
    return rv == CKR_OK ? object : nullptr;
}

CK_RV pkcs11_object::object_save_stream(uint8_t* buffer, uint32_t* length) const {
    return attributes_.stream_write(buffer, length);
}

CK_RV pkcs11_object::object_load_stream(const uint8_t* bytes, uint32_t* length) {
    (void)attributes_.stream_read(bytes, length); // a cut stream keeps what came before the cut
    const pkcs11_attribute* cls = attributes_.find(CKA_CLASS);
    if (cls == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (cls->length() > 4) return CKR_BUFFER_TOO_SMALL;
    cached_class_ = cls->as_u32();
    return object_build_verifier();
}

int64_t pkcs11_object::object_class() {
    if (cached_class_ == -1) {
        if (const pkcs11_attribute* a = attributes_.find(CKA_CLASS);
            a != nullptr && a->length() == 4)
            cached_class_ = a->as_u32();
    }
    return cached_class_;
}

CK_RV pkcs11_object::object_take_content(pkcs11_object& fresh) {
    // Both verifiers read their own attribute lists: they go first.
    verifier_.reset();
    fresh.verifier_.reset();
    attributes_ = std::move(fresh.attributes_);
    fresh.attributes_ = pkcs11_attribute_mgr{};
    cached_class_ = -1;
    fresh.cached_class_ = -1;
    return object_build_verifier();
}

CK_RV pkcs11_object::object_build_verifier() {
    verifier_.reset();
    const int64_t cls = object_class();
    if (!is_known_class(cls)) return CKR_TEMPLATE_INCOMPLETE;
    verifier_ = make_object_verifier(static_cast<uint32_t>(cls), attributes_);
    return CKR_OK;
}

uint32_t pkcs11_object::object_storage_kind() const {
    const bool token = attributes_.flag(CKA_TOKEN);
    const bool priv = attributes_.flag(CKA_PRIVATE);
    return (token ? storage_public_token : storage_public_session) + (priv ? 1 : 0);
}

bool pkcs11_object::object_visible_at(uint32_t level) const {
    const uint32_t kind = object_storage_kind();
    switch (level) {
    case 0:
        return kind == storage_public_session;
    case 1:
    case 4:
        return kind == storage_public_session || kind == storage_public_token;
    case 2:
        return kind == storage_public_session || kind == storage_private_session;
    default:
        return true;
    }
}

CK_RV pkcs11_object::object_modify_attributes(uint32_t level, const inner_attribute* entries,
                                              uint32_t count) {
    if (CK_RV rv = template_check(entries, count); rv != CKR_OK) return rv;
    if (!object_visible_at(level)) return CKR_ATTRIBUTE_READ_ONLY;
    if (const pkcs11_attribute* m = attributes_.find(CKA_MODIFIABLE);
        m != nullptr && m->length() <= 1 && !attributes_.flag(CKA_MODIFIABLE))
        return CKR_ATTRIBUTE_READ_ONLY;
    if (verifier_ == nullptr || !verifier_->verifier_template_modifiable(level, entries, count))
        return CKR_ATTRIBUTE_READ_ONLY;
    if (is_protected()) {
        for (uint32_t i = 0; i < count; ++i)
            if (is_secret_value(entries[i].type)) return CKR_INFORMATION_SENSITIVE;
    }
    object_set_attributes(entries, count);
    return CKR_OK;
}

bool pkcs11_object::object_update_needs_store(const inner_attribute* entries,
                                              uint32_t count) const {
    if (!object_is_token()) return false;
    switch (cached_class_) {
    case CKO_DATA:
    case CKO_SECRET_KEY:
        return true;
    case CKO_CERTIFICATE:
        return template_has(entries, count, CKA_VALUE);
    case CKO_PRIVATE_KEY:
        return template_has(entries, count, CKA_MODULUS);
    case CKO_PUBLIC_KEY:
        return false;
    default:
        return true;
    }
}

CK_RV pkcs11_object::read_attributes(inner_attribute* entries, uint32_t count,
                                     bool sensitivity_rule) const {
    if (entries == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    CK_RV result = CKR_OK;
    const bool protect = sensitivity_rule && is_protected();
    for (uint32_t i = 0; i < count; ++i) {
        inner_attribute& e = entries[i];
        const pkcs11_attribute* a = attributes_.find(e.type);
        if (a == nullptr) {
            e.length = p11abi::inner_unavailable;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (protect && is_secret_value(e.type)) {
            e.length = p11abi::inner_unavailable;
            result = CKR_ATTRIBUTE_SENSITIVE;
        } else if (e.value != nullptr) {
            if (e.length < a->length()) {
                e.length = p11abi::inner_unavailable;
                result = CKR_BUFFER_TOO_SMALL;
            } else {
                if (a->length() != 0) std::memcpy(e.value, a->value.data(), a->length());
                e.length = a->length();
            }
        } else {
            e.length = a->length();
        }
    }
    return result;
}

CK_RV pkcs11_object::object_read_attributes(inner_attribute* entries, uint32_t count) const {
    return read_attributes(entries, count, true);
}

CK_RV pkcs11_object::object_read_attributes_raw(inner_attribute* entries, uint32_t count) const {
    return read_attributes(entries, count, false);
}

CK_RV pkcs11_object::object_read_attribute(uint32_t type, void* buffer, uint32_t capacity) const {
    const pkcs11_attribute* a = attributes_.find(type);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (buffer == nullptr) return CKR_OK;
    if (capacity < a->length()) return CKR_BUFFER_TOO_SMALL;
    if (a->length() != 0) std::memcpy(buffer, a->value.data(), a->length());
    return CKR_OK;
}

void pkcs11_object::object_set_attributes(const inner_attribute* entries, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        attributes_.set(entries[i]);
}

void pkcs11_object::object_set_attribute(uint32_t type, const void* bytes, uint32_t length) {
    attributes_.set(type, bytes, length);
}

bool pkcs11_object::object_matches_template(const inner_attribute* entries, uint32_t count) const {
    for (uint32_t i = 0; i < count; ++i) {
        const pkcs11_attribute* a = attributes_.find(entries[i].type);
        if (a == nullptr || !attribute_match(*a, entries[i])) return false;
    }
    return true;
}

CK_RV pkcs11_object::object_rsa_bits(uint32_t& bits) const {
    if (const pkcs11_attribute* a = attributes_.find(CKA_MODULUS_BITS);
        a != nullptr && a->length() <= 4) {
        bits = a->as_u32();
        return bits == 1024 || bits == 2048 ? CKR_OK : CKR_KEY_SIZE_RANGE;
    }
    if (const pkcs11_attribute* m = attributes_.find(CKA_MODULUS)) {
        bits = m->length() * 8;
        return bits == 1024 || bits == 2048 ? CKR_OK : CKR_KEY_SIZE_RANGE;
    }
    return CKR_ATTRIBUTE_TYPE_INVALID;
}

uint32_t pkcs11_object::object_key_spec() const {
    const pkcs11_attribute* a = attributes_.find(ZELT_CKA_KEY_SPEC);
    return a != nullptr && a->length() == 4 ? a->as_u32() : 1;
}

void pkcs11_object::object_ensure_key_spec() {
    const pkcs11_attribute* a = attributes_.find(ZELT_CKA_KEY_SPEC);
    if (a != nullptr && a->length() <= 4) return;
    const uint32_t exchange = 1;
    attributes_.set(ZELT_CKA_KEY_SPEC, &exchange, 4);
}

bool pkcs11_object::object_needs_value_load() {
    const auto nonempty = [this](uint32_t type) {
        const pkcs11_attribute* a = attributes_.find(type);
        return a != nullptr && a->length() != 0;
    };
    switch (object_class()) {
    case CKO_DATA:
        return !nonempty(CKA_VALUE);
    case CKO_CERTIFICATE:
        return !attributes_.has(CKA_VALUE);
    case CKO_PUBLIC_KEY:
        return !attributes_.has(CKA_MODULUS);
    case CKO_PRIVATE_KEY:
        return !nonempty(CKA_MODULUS) && !nonempty(ZELT_CKA_SM2_ZA);
    default:
        return false;
    }
}
