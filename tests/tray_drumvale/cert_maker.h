// Certificates for the tray tests, made with OpenSSL 3 (the tests' oracle).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace traytest {

using bytes = std::vector<uint8_t>;

struct made_cert {
    bytes der;
    EVP_PKEY* key = nullptr; // owned by the test; freed with free_key
};

inline EVP_PKEY* rsa_key(unsigned bits = 1024) {
    return EVP_RSA_gen(bits);
}

inline EVP_PKEY* sm2_key() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* key = nullptr;
    if (ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1) EVP_PKEY_keygen(ctx, &key);
    EVP_PKEY_CTX_free(ctx);
    return key;
}

struct cert_spec {
    std::string subject_cn = "subject";
    std::string issuer_cn;          // empty: self-issued
    EVP_PKEY* key = nullptr;        // subject key
    EVP_PKEY* issuer_key = nullptr; // null: the subject key signs
    long serial = 7;
    int basic_constraints = -1; // -1 none, 0 CA:FALSE, 1 CA:TRUE
    long not_before_days = 0;
    long not_after_days = 365;
    std::string not_after_text; // e.g. "20510315120000Z" (GeneralizedTime), overrides days
};

inline bytes make_cert(const cert_spec& s) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), s.serial);
    X509_gmtime_adj(X509_getm_notBefore(x), s.not_before_days * 86400L);
    if (!s.not_after_text.empty())
        ASN1_TIME_set_string(X509_getm_notAfter(x), s.not_after_text.c_str());
    else
        X509_gmtime_adj(X509_getm_notAfter(x), s.not_after_days * 86400L);
    X509_set_pubkey(x, s.key);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(s.subject_cn.c_str()), -1, -1,
                               0);
    X509_NAME* issuer = X509_NAME_new();
    X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Tests"), -1, -1, 0);
    const std::string& icn = s.issuer_cn.empty() ? s.subject_cn : s.issuer_cn;
    X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(icn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, issuer);
    X509_NAME_free(issuer);
    if (s.basic_constraints >= 0) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints,
                                                  s.basic_constraints == 1 ? "critical,CA:TRUE"
                                                                           : "critical,CA:FALSE");
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    EVP_PKEY* signer = s.issuer_key != nullptr ? s.issuer_key : s.key;
    const bool sm2 = EVP_PKEY_is_a(signer, "SM2");
    X509_sign(x, signer, sm2 ? EVP_sm3() : EVP_sha256());
    const int len = i2d_X509(x, nullptr);
    bytes der(len > 0 ? static_cast<size_t>(len) : 0);
    unsigned char* p = der.data();
    i2d_X509(x, &p);
    X509_free(x);
    return der;
}

inline bytes rsa_modulus(EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
    bytes out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
}

inline bytes bn_param(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return {};
    bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// The DER of a certificate's subject name (CKA_SUBJECT).
inline bytes subject_der(const bytes& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    bytes out;
    if (x == nullptr) return out;
    const int len = i2d_X509_NAME(X509_get_subject_name(x), nullptr);
    out.resize(len > 0 ? static_cast<size_t>(len) : 0);
    unsigned char* q = out.data();
    i2d_X509_NAME(X509_get_subject_name(x), &q);
    X509_free(x);
    return out;
}

inline std::string sha1_hex(const bytes& der) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(der.data(), der.size(), d, &n, EVP_sha1(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 15];
    }
    return out;
}

} // namespace traytest
