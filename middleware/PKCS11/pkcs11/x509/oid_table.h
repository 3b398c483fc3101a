// Object-identifier tables of the certificate and key parsers: public-key
// algorithms, the certificate extensions the parser understands, and the
// digests of PKCS#1 v1.5 signature encoding. OIDs are compared as their DER
// content bytes, exactly. The names are module-local so that they never clash
// with the tables mbed TLS exports under its own prefix.
#pragma once

#include <cstddef>
#include <cstdint>

// Public-key algorithm values.
inline constexpr int oid_pk_rsa = 1;
inline constexpr int oid_pk_eckey = 2;
inline constexpr int oid_pk_eckey_dh = 3;
inline constexpr int oid_pk_sm2 = 6;

// Certificate extension bits (the parser's ext_types set).
inline constexpr int oid_ext_key_usage = 0x4;
inline constexpr int oid_ext_subject_alt_name = 0x20;
inline constexpr int oid_ext_basic_constraints = 0x100;
inline constexpr int oid_ext_extended_key_usage = 0x800;
inline constexpr int oid_ext_ns_cert_type = 0x10000;

// Digest values (the numbering mbed TLS uses for its md types).
inline constexpr int oid_md_md2 = 1;
inline constexpr int oid_md_md4 = 2;
inline constexpr int oid_md_md5 = 3;
inline constexpr int oid_md_sha1 = 4;
inline constexpr int oid_md_sha224 = 5;
inline constexpr int oid_md_sha256 = 6;
inline constexpr int oid_md_sha384 = 7;
inline constexpr int oid_md_sha512 = 8;

struct oid_table_row {
    const uint8_t* oid; // DER content octets
    size_t oid_len;
    const char* name;
    const char* description;
    int value;
};

// The rows of each table, in lookup order.
const oid_table_row* oid_pk_alg_table(size_t* count);
const oid_table_row* oid_x509_ext_table(size_t* count);
const oid_table_row* oid_md_table(size_t* count);

// OID to value: 0 and *value set, or -1 when the OID is in no row (or null).
int oid_lookup_pk_alg(const uint8_t* oid, size_t len, int* value);
int oid_lookup_x509_ext(const uint8_t* oid, size_t len, int* value);
int oid_lookup_md(const uint8_t* oid, size_t len, int* value);
// Digest value to OID (the first matching row): 0, or -1 for an unknown digest.
int oid_lookup_by_md(int md, const uint8_t** oid, size_t* len);
