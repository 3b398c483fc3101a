// Certificate parsing (OpenSSL 3, which also reads SM2 keys) and the
// certificate store functions.
#include <cstring>
#include <ctime>
#include <string>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "cert_store.h"
#include "drumvale.h"
#include "drumvale_internal.h"

namespace drumvale {

namespace {

constexpr size_t name_units = 257;   // UTF-16 units with the NUL
constexpr size_t serial_bytes = 257; // with the NUL
constexpr uint32_t certificate_max = 64 * 1024;

struct x509_holder {
    X509* x = nullptr;
    ~x509_holder() { X509_free(x); }
};

// Exactly one DER certificate, nothing after it.
X509* parse_der(const uint8_t* der, size_t length) {
    if (der == nullptr || length == 0 || length > certificate_max) return nullptr;
    const unsigned char* p = der;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(length));
    if (x != nullptr && p != der + length) {
        X509_free(x);
        return nullptr;
    }
    return x;
}

std::string name_text(const X509_NAME* name) {
    // The common name when there is one (what a user recognises), else the whole name.
    const int at = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (at >= 0) {
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, data);
        if (n >= 0) {
            std::string out(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
            OPENSSL_free(utf8);
            return out;
        }
    }
    std::string out;
    if (BIO* bio = BIO_new(BIO_s_mem())) {
        if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
            char* data = nullptr;
            const long n = BIO_get_mem_data(bio, &data);
            if (n > 0) out.assign(data, static_cast<size_t>(n));
        }
        BIO_free(bio);
    }
    return out;
}

// UTF-8 to UTF-16 into a fixed array: whole characters only (a surrogate
// pair is never cut), always NUL-terminated. Bad sequences become U+FFFD.
void to_utf16(const std::string& text, uint16_t* out, size_t units) {
    if (out == nullptr) return;
    size_t o = 0;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
        }
        if (n > 1) {
            if (i + n > text.size()) {
                n = 1;
            } else {
                cp = c & (0x7F >> n);
                for (size_t k = 1; k < n; ++k) {
                    const auto cc = static_cast<unsigned char>(text[i + k]);
                    if ((cc & 0xC0) != 0x80) {
                        cp = 0xFFFD;
                        n = k;
                        break;
                    }
                    cp = (cp << 6) | (cc & 0x3F);
                }
                if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
            }
        }
        i += n;
        if (cp >= 0x10000) {
            if (o + 2 >= units) break;
            cp -= 0x10000;
            out[o++] = static_cast<uint16_t>(0xD800 + (cp >> 10));
            out[o++] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            if (o + 1 >= units) break;
            out[o++] = static_cast<uint16_t>(cp);
        }
    }
    out[o] = 0;
}

bool put_time(const ASN1_TIME* t, uint32_t* out) {
    if (out == nullptr) return true;
    std::tm tm{};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
    // Weekday and day of the year from the calendar, not from the parser.
    std::time_t seconds = timegm(&tm);
    std::tm full{};
    if (gmtime_r(&seconds, &full) == nullptr) return false;
    const uint32_t values[9] = {static_cast<uint32_t>(full.tm_year + 1900),
                                static_cast<uint32_t>(full.tm_mon + 1),
                                static_cast<uint32_t>(full.tm_mday),
                                static_cast<uint32_t>(full.tm_hour),
                                static_cast<uint32_t>(full.tm_min),
                                static_cast<uint32_t>(full.tm_sec),
                                static_cast<uint32_t>(full.tm_wday),
                                static_cast<uint32_t>(full.tm_yday + 1),
                                0};
    std::memcpy(out, values, sizeof values);
    return true;
}

// 1 self-signed root, 2 other CA, 0 end entity. A certificate counts as a
// root only when its issuer is its subject, its own key verifies its
// signature, and it does not declare itself an end entity.
uint32_t classify(X509* x) {
    const bool names_match = X509_NAME_cmp(X509_get_subject_name(x), X509_get_issuer_name(x)) == 0;
    const uint32_t flags = X509_get_extension_flags(x); // also caches the extensions
    const bool has_basic = (flags & EXFLAG_BCONS) != 0;
    const bool is_ca = has_basic && (flags & EXFLAG_CA) != 0;
    if (names_match) {
        EVP_PKEY* key = X509_get0_pubkey(x);
        const bool verifies = key != nullptr && X509_verify(x, key) == 1;
        if (verifies && (is_ca || !has_basic)) return 1;
    }
    return is_ca ? 2 : 0;
}

bytes bn_bytes(const BIGNUM* bn) {
    bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    if (!out.empty()) BN_bn2bin(bn, out.data());
    return out;
}

} // namespace

bool certificate_public_key(const bytes& der, uint32_t& algorithm, uint32_t& bits, bytes& key) {
    x509_holder h{parse_der(der.data(), der.size())};
    if (h.x == nullptr) return false;
    EVP_PKEY* pkey = X509_get0_pubkey(h.x);
    if (pkey == nullptr) return false;
    if (EVP_PKEY_is_a(pkey, "RSA")) {
        BIGNUM* n = nullptr;
        if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n) != 1) return false;
        key = bn_bytes(n);
        BN_free(n);
        algorithm = 1;
        bits = static_cast<uint32_t>(EVP_PKEY_get_bits(pkey));
        return true;
    }
    if (EVP_PKEY_is_a(pkey, "EC") || EVP_PKEY_is_a(pkey, "SM2")) {
        size_t length = 0;
        if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &length) !=
                1 ||
            length == 0 || length > 1024)
            return false;
        key.resize(length);
        if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, key.data(), length,
                                            &length) != 1)
            return false;
        key.resize(length);
        algorithm = 2;
        bits = static_cast<uint32_t>(EVP_PKEY_get_bits(pkey));
        return true;
    }
    return false;
}

} // namespace drumvale

using namespace drumvale;

namespace {

uint32_t store_code(plat::store_result r) {
    switch (r) {
    case plat::store_result::ok:
        return 0;
    case plat::store_result::bad_certificate:
        return DRUMVALE_E_BAD_CERTIFICATE;
    case plat::store_result::bad_store:
    case plat::store_result::bad_argument:
        return DRUMVALE_E_BAD_ARGUMENT;
    case plat::store_result::failed:
        break;
    }
    return DRUMVALE_E_STORE;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) uint32_t
helper_get_cert_info2(const uint8_t* der, uint32_t length, uint16_t* subject, uint16_t* issuer,
                      uint32_t* version, char* serial, uint32_t* not_before, uint32_t* not_after,
                      uint32_t* kind) {
    x509_holder h{parse_der(der, length)};
    if (h.x == nullptr) return DRUMVALE_E_BAD_CERTIFICATE;
    uint32_t before[9] = {};
    uint32_t after[9] = {};
    if (!put_time(X509_get0_notBefore(h.x), before) || !put_time(X509_get0_notAfter(h.x), after))
        return DRUMVALE_E_BAD_CERTIFICATE;
    to_utf16(name_text(X509_get_subject_name(h.x)), subject, name_units);
    to_utf16(name_text(X509_get_issuer_name(h.x)), issuer, name_units);
    if (version != nullptr) *version = static_cast<uint32_t>(X509_get_version(h.x) + 1);
    if (serial != nullptr) {
        serial[0] = '\0';
        if (BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(h.x), nullptr)) {
            if (char* text = BN_bn2hex(bn)) {
                std::strncpy(serial, text, serial_bytes - 1);
                serial[serial_bytes - 1] = '\0';
                OPENSSL_free(text);
            }
            BN_free(bn);
        }
    }
    if (not_before != nullptr) std::memcpy(not_before, before, sizeof before);
    if (not_after != nullptr) std::memcpy(not_after, after, sizeof after);
    if (kind != nullptr) *kind = classify(h.x);
    return 0;
}

__attribute__((visibility("default"))) uint32_t
container_addcert_to_store(const char* container, const char* provider, uint32_t key_spec,
                           const uint8_t* der, uint32_t length) {
    if (container == nullptr || provider == nullptr || der == nullptr || length == 0)
        return DRUMVALE_E_BAD_ARGUMENT;
    const plat::cert_properties properties{provider, container, key_spec};
    return store_code(plat::cert_store_add("MY", {der, length}, &properties));
}

__attribute__((visibility("default"))) uint32_t remove_all_certs_from_store(const char* provider) {
    if (provider == nullptr) return DRUMVALE_E_BAD_ARGUMENT;
    return store_code(plat::cert_store_remove_by_provider("MY", provider));
}

__attribute__((visibility("default"))) uint32_t
helper_add_root_cert_to_store(const uint16_t* store, const uint8_t* der, uint32_t length) {
    if (store == nullptr || der == nullptr || length == 0) return DRUMVALE_E_BAD_ARGUMENT;
    std::string name;
    for (size_t i = 0; store[i] != 0; ++i) {
        if (store[i] > 0x7F || i >= 16) return DRUMVALE_E_BAD_ARGUMENT;
        name += static_cast<char>(store[i]);
    }
    const auto canonical = plat::canonical_store_name(name);
    if (!canonical || *canonical == "MY") return DRUMVALE_E_BAD_ARGUMENT; // CA stores only
    return store_code(plat::cert_store_add(*canonical, {der, length}, nullptr));
}

} // extern "C"
