#include "oid_table.h"

#include <cstring>
#include <iterator>

namespace {

// DER content octets of the identifiers.
constexpr uint8_t oid_rsa_encryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                          0x0D, 0x01, 0x01, 0x01}; // 1.2.840.113549.1.1.1
constexpr uint8_t oid_ec_public_key[] = {0x2A, 0x86, 0x48, 0xCE,
                                         0x3D, 0x02, 0x01};     // 1.2.840.10045.2.1
constexpr uint8_t oid_ec_dh[] = {0x2B, 0x81, 0x04, 0x01, 0x0C}; // 1.3.132.1.12
constexpr uint8_t oid_sm2[] = {0x2A, 0x81, 0x1C, 0xCF,
                               0x55, 0x01, 0x82, 0x2D}; // 1.2.156.10197.1.301
constexpr uint8_t oid_sm2_1[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01}; // .1
constexpr uint8_t oid_sm2_2[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x02}; // .2
constexpr uint8_t oid_sm2_3[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03}; // .3

constexpr uint8_t oid_basic_constraints[] = {0x55, 0x1D, 0x13}; // 2.5.29.19
constexpr uint8_t oid_key_usage[] = {0x55, 0x1D, 0x0F};         // 2.5.29.15
constexpr uint8_t oid_ext_key_usage_id[] = {0x55, 0x1D, 0x25};  // 2.5.29.37
constexpr uint8_t oid_subject_alt_name[] = {0x55, 0x1D, 0x11};  // 2.5.29.17
constexpr uint8_t oid_ns_cert_type[] = {0x60, 0x86, 0x48, 0x01, 0x86,
                                        0xF8, 0x42, 0x01, 0x01}; // 2.16.840.1.113730.1.1

constexpr uint8_t oid_md2[] = {0x2A, 0x86, 0x48, 0x86,
                               0xF7, 0x0D, 0x02, 0x02}; // 1.2.840.113549.2.2
constexpr uint8_t oid_md4[] = {0x2A, 0x86, 0x48, 0x86,
                               0xF7, 0x0D, 0x02, 0x04}; // 1.2.840.113549.2.4
constexpr uint8_t oid_md5[] = {0x2A, 0x86, 0x48, 0x86,
                               0xF7, 0x0D, 0x02, 0x05};        // 1.2.840.113549.2.5
constexpr uint8_t oid_sha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A}; // 1.3.14.3.2.26
constexpr uint8_t oid_sha224[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x04}; // 2.16.840.1.101.3.4.2.4
constexpr uint8_t oid_sha256[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x01}; // 2.16.840.1.101.3.4.2.1
constexpr uint8_t oid_sha384[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x02}; // 2.16.840.1.101.3.4.2.2
constexpr uint8_t oid_sha512[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x03}; // 2.16.840.1.101.3.4.2.3

#define OID_ROW(bytes, name, description, value)                                                   \
    { bytes, sizeof(bytes), name, description, value }

const oid_table_row pk_alg_rows[] = {
    OID_ROW(oid_rsa_encryption, "rsaEncryption", "RSA", oid_pk_rsa),
    OID_ROW(oid_ec_public_key, "id-ecPublicKey", "Generic EC key", oid_pk_eckey),
    OID_ROW(oid_ec_dh, "id-ecDH", "EC key for ECDH", oid_pk_eckey_dh),
    OID_ROW(oid_sm2, "id-sm2", "SM2 key for GM", oid_pk_sm2),
    OID_ROW(oid_sm2_1, "id-sm2", "SM2 key for GM", oid_pk_sm2),
    OID_ROW(oid_sm2_2, "id-sm2", "SM2 key for GM", oid_pk_sm2),
    OID_ROW(oid_sm2_3, "id-sm2", "SM2 key for GM", oid_pk_sm2),
};

const oid_table_row x509_ext_rows[] = {
    OID_ROW(oid_basic_constraints, "id-ce-basicConstraints", "Basic Constraints",
            oid_ext_basic_constraints),
    OID_ROW(oid_key_usage, "id-ce-keyUsage", "Key Usage", oid_ext_key_usage),
    OID_ROW(oid_ext_key_usage_id, "id-ce-keyUsage", "Extended Key Usage",
            oid_ext_extended_key_usage),
    OID_ROW(oid_subject_alt_name, "id-ce-subjectAltName", "Subject Alt Name",
            oid_ext_subject_alt_name),
    OID_ROW(oid_ns_cert_type, "id-netscape-certtype", "Netscape Certificate Type",
            oid_ext_ns_cert_type),
};

const oid_table_row md_rows[] = {
    OID_ROW(oid_md2, "id-md2", "MD2", oid_md_md2),
    OID_ROW(oid_md4, "id-md4", "MD4", oid_md_md4),
    OID_ROW(oid_md5, "id-md5", "MD5", oid_md_md5),
    OID_ROW(oid_sha1, "id-sha1", "SHA-1", oid_md_sha1),
    OID_ROW(oid_sha1, "id-sha1", "SHA-1", oid_md_sha1),
    OID_ROW(oid_sha224, "id-sha224", "SHA-224", oid_md_sha224),
    OID_ROW(oid_sha256, "id-sha256", "SHA-256", oid_md_sha256),
    OID_ROW(oid_sha384, "id-sha384", "SHA-384", oid_md_sha384),
    OID_ROW(oid_sha512, "id-sha512", "SHA-512", oid_md_sha512),
};

#undef OID_ROW

template <size_t N>
int lookup(const oid_table_row (&rows)[N], const uint8_t* oid, size_t len, int* value) {
    if (oid == nullptr || value == nullptr) return -1;
    for (const oid_table_row& row : rows) {
        if (row.oid_len == len && std::memcmp(row.oid, oid, len) == 0) {
            *value = row.value;
            return 0;
        }
    }
    return -1;
}

} // namespace

const oid_table_row* oid_pk_alg_table(size_t* count) {
    *count = std::size(pk_alg_rows);
    return pk_alg_rows;
}
const oid_table_row* oid_x509_ext_table(size_t* count) {
    *count = std::size(x509_ext_rows);
    return x509_ext_rows;
}
const oid_table_row* oid_md_table(size_t* count) {
    *count = std::size(md_rows);
    return md_rows;
}

int oid_lookup_pk_alg(const uint8_t* oid, size_t len, int* value) {
    return lookup(pk_alg_rows, oid, len, value);
}
int oid_lookup_x509_ext(const uint8_t* oid, size_t len, int* value) {
    return lookup(x509_ext_rows, oid, len, value);
}
int oid_lookup_md(const uint8_t* oid, size_t len, int* value) {
    return lookup(md_rows, oid, len, value);
}

int oid_lookup_by_md(int md, const uint8_t** oid, size_t* len) {
    if (oid == nullptr || len == nullptr) return -1;
    for (const oid_table_row& row : md_rows) {
        if (row.value == md) {
            *oid = row.oid;
            *len = row.oid_len;
            return 0;
        }
    }
    return -1;
}
