#include "key_parser.h"

#include <array>
#include <cstring>

#include <mbedtls/asn1.h>
#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "cert_parser.h"
#include "oid_table.h"

namespace {

constexpr int tag_sequence = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;

struct mpi_set {
    mbedtls_mpi n, e, d, p, q, dp, dq, qp;
    mpi_set() noexcept {
        for (mbedtls_mpi* m : all())
            mbedtls_mpi_init(m);
    }
    ~mpi_set() {
        for (mbedtls_mpi* m : all())
            mbedtls_mpi_free(m); // wipes
    }
    mpi_set(const mpi_set&) = delete;
    mpi_set& operator=(const mpi_set&) = delete;
    std::array<mbedtls_mpi*, 8> all() { return {&n, &e, &d, &p, &q, &dp, &dq, &qp}; }
};

struct pk_holder {
    mbedtls_pk_context ctx;
    pk_holder() noexcept { mbedtls_pk_init(&ctx); }
    ~pk_holder() { mbedtls_pk_free(&ctx); }
    pk_holder(const pk_holder&) = delete;
    pk_holder& operator=(const pk_holder&) = delete;
};

void pk_clear(mbedtls_pk_context* key) {
    mbedtls_pk_free(key);
    mbedtls_pk_init(key);
}

// RSAPrivateKey ::= SEQUENCE { version 0, modulus, publicExponent,
//   privateExponent, prime1, prime2, exponent1, exponent2, coefficient }
// filling exactly [p, end).
int parse_pkcs1(mbedtls_rsa_context* rsa, uint8_t* p, const uint8_t* end) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(&p, end, &len, tag_sequence);
    if (ret != 0) return key_err_key_invalid_format + ret;
    if (p + len != end) return key_err_key_invalid_format + asn1_err_length_mismatch;
    int version = 0;
    ret = mbedtls_asn1_get_int(&p, end, &version);
    if (ret != 0) return key_err_key_invalid_format + ret;
    if (version != 0) return key_err_key_invalid_version;

    mpi_set k;
    for (mbedtls_mpi* m : k.all()) {
        ret = mbedtls_asn1_get_mpi(&p, end, m);
        if (ret != 0) return key_err_key_invalid_format + ret;
    }
    if (p != end) return key_err_key_invalid_format + asn1_err_length_mismatch;

    // The library completes the key from N, P, Q, D, E; the CRT values given
    // in the DER then replace the computed ones and everything is checked
    // together, so an inconsistent key is refused.
    if (mbedtls_rsa_import(rsa, &k.n, &k.p, &k.q, &k.d, &k.e) != 0 ||
        mbedtls_rsa_complete(rsa) != 0 || mbedtls_mpi_copy(&rsa->DP, &k.dp) != 0 ||
        mbedtls_mpi_copy(&rsa->DQ, &k.dq) != 0 || mbedtls_mpi_copy(&rsa->QP, &k.qp) != 0 ||
        mbedtls_rsa_check_privkey(rsa) != 0)
        return key_err_key_invalid_format;
    return 0;
}

// PrivateKeyInfo ::= SEQUENCE { version 0, privateKeyAlgorithm
//   AlgorithmIdentifier, privateKey OCTET STRING, attributes [0] OPTIONAL }
int parse_pkcs8(mbedtls_pk_context* key, uint8_t* p, const uint8_t* end) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(&p, end, &len, tag_sequence);
    if (ret != 0) return key_err_key_invalid_format + ret;
    if (p + len != end)
        return key_err_key_invalid_format + asn1_err_length_mismatch; // bytes after the key
    int version = 0;
    ret = mbedtls_asn1_get_int(&p, end, &version);
    if (ret != 0) return key_err_key_invalid_format + ret;
    if (version != 0) return key_err_key_invalid_version;

    mbedtls_asn1_buf alg{}, params{};
    ret = mbedtls_asn1_get_alg(&p, end, &alg, &params);
    if (ret != 0) return key_err_invalid_alg + ret;
    int pk_alg = 0;
    if (oid_lookup_pk_alg(alg.p, alg.len, &pk_alg) != 0 || pk_alg != oid_pk_rsa)
        return key_err_unknown_pk_alg;
    if (!(params.tag == 0 || (params.tag == MBEDTLS_ASN1_NULL && params.len == 0)))
        return key_err_invalid_alg;

    ret = mbedtls_asn1_get_tag(&p, end, &len, MBEDTLS_ASN1_OCTET_STRING);
    if (ret != 0) return key_err_key_invalid_format + ret;
    if (len < 1) return key_err_key_invalid_format + asn1_err_out_of_data;

    const mbedtls_pk_info_t* info = mbedtls_pk_info_from_type(MBEDTLS_PK_RSA);
    if (info == nullptr) return key_err_unknown_pk_alg;
    if ((ret = mbedtls_pk_setup(key, info)) != 0) return ret;
    return parse_pkcs1(mbedtls_pk_rsa(*key), p, p + len);
}

} // namespace

int private_key_parse(mbedtls_pk_context* key, const uint8_t* der, size_t length) {
    if (key == nullptr || der == nullptr || length == 0) return key_err_bad_input;
    // The ASN.1 reader takes non-const cursors but only reads through them.
    uint8_t* begin = const_cast<uint8_t*>(der);
    const uint8_t* end = der + length;

    // An EncryptedPrivateKeyInfo would need a password (key_err_password_required);
    // none is ever supplied, so that form is not tried.
    pk_clear(key);
    if (parse_pkcs8(key, begin, end) == 0) return 0;
    pk_clear(key);

    const mbedtls_pk_info_t* info = mbedtls_pk_info_from_type(MBEDTLS_PK_RSA);
    if (info == nullptr) return key_err_unknown_pk_alg;
    if (mbedtls_pk_setup(key, info) != 0) return key_err_unknown_pk_alg;
    if (parse_pkcs1(mbedtls_pk_rsa(*key), begin, end) == 0) return 0;
    pk_clear(key);
    return key_err_key_invalid_format;
}

int rsa_der_to_components(const uint8_t* der, size_t length, RSAPRIVATEKEYBLOB* blob) {
    if (blob == nullptr) return 1;
    std::memset(blob, 0, sizeof *blob);
    pk_holder key;
    if (private_key_parse(&key.ctx, der, length) != 0) return 1;
    return rsa_context_to_blob(mbedtls_pk_rsa(key.ctx), blob);
}

int rsa_context_to_blob(const mbedtls_rsa_context* rsa, RSAPRIVATEKEYBLOB* blob) {
    if (rsa == nullptr || blob == nullptr) return 1;
    std::memset(blob, 0, sizeof *blob);
    // The blob holds moduli up to its 256-byte field (2048 bits).
    const size_t n = mbedtls_rsa_get_len(rsa);
    if (n == 0 || n > sizeof blob->Modulus) return 1;
    const size_t h = n / 2;
    blob->AlgID = 0x00010000;
    blob->BitLen = static_cast<uint32_t>(n * 8);

    // Right-aligned big-endian; a number longer than its room fails.
    struct field {
        const mbedtls_mpi* value;
        uint8_t* out;
        size_t size;
        size_t used;
    };
    const field fields[] = {
        {&rsa->N, blob->Modulus, sizeof blob->Modulus, n},
        {&rsa->E, blob->PublicExponent, sizeof blob->PublicExponent, sizeof blob->PublicExponent},
        {&rsa->D, blob->PrivateExponent, sizeof blob->PrivateExponent, n},
        {&rsa->P, blob->Prime1, sizeof blob->Prime1, h},
        {&rsa->Q, blob->Prime2, sizeof blob->Prime2, h},
        {&rsa->DP, blob->Prime1Exponent, sizeof blob->Prime1Exponent, h},
        {&rsa->DQ, blob->Prime2Exponent, sizeof blob->Prime2Exponent, h},
        {&rsa->QP, blob->Coefficient, sizeof blob->Coefficient, h},
    };
    for (const field& f : fields) {
        if (f.used > f.size ||
            mbedtls_mpi_write_binary(f.value, f.out + (f.size - f.used), f.used) != 0) {
            mbedtls_platform_zeroize(blob, sizeof *blob);
            return 1;
        }
    }
    return 0;
}
