// The module's own tolerant X.509 (RFC 5280) DER certificate parser. It fills
// a cert_record with the fields the certificate objects need (serial and its
// whole DER, issuer and subject as DER and as attribute lists, validity,
// extensions) and loads RSA public keys. It accepts certificates whose
// signature algorithm it does not know, and certificates whose public key it
// does not load (EC and SM2 keys among them): for those it stops after the
// SubjectPublicKeyInfo. Generic DER reading, big integers and the RSA key
// context come from mbed TLS; no signature is verified here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <mbedtls/pk.h>

// ASN.1 reader codes (the values mbed TLS uses); the parser adds them to its
// own codes below.
inline constexpr int asn1_err_out_of_data = -0x60;
inline constexpr int asn1_err_unexpected_tag = -0x62;
inline constexpr int asn1_err_invalid_length = -0x64;
inline constexpr int asn1_err_length_mismatch = -0x66;
inline constexpr int asn1_err_invalid_data = -0x68;

// Certificate parser codes.
inline constexpr int cert_err_feature_unavailable = -0x2080;
inline constexpr int cert_err_invalid_format = -0x2180;
inline constexpr int cert_err_invalid_version = -0x2200;
inline constexpr int cert_err_invalid_serial = -0x2280;
inline constexpr int cert_err_invalid_alg = -0x2300;
inline constexpr int cert_err_invalid_name = -0x2380;
inline constexpr int cert_err_invalid_date = -0x2400;
inline constexpr int cert_err_invalid_signature = -0x2480;
inline constexpr int cert_err_invalid_extensions = -0x2500;
inline constexpr int cert_err_unknown_version = -0x2580;
inline constexpr int cert_err_sig_mismatch = -0x2680;
inline constexpr int cert_err_bad_input = -0x2800;
inline constexpr int cert_err_alloc_failed = -0x2880;

// Key parser codes.
inline constexpr int key_err_feature_unavailable = -0x2980;
inline constexpr int key_err_invalid_alg = -0x2A80;
inline constexpr int key_err_invalid_pubkey = -0x2B00;
inline constexpr int key_err_password_mismatch = -0x2B80;
inline constexpr int key_err_password_required = -0x2C00;
inline constexpr int key_err_unknown_pk_alg = -0x2C80;
inline constexpr int key_err_key_invalid_format = -0x2D00;
inline constexpr int key_err_key_invalid_version = -0x2D80;
inline constexpr int key_err_bad_input = -0x2E80;

// Result of parse_subject_public_key_info for a key it did not load.
inline constexpr int KEY_PARSE_UNSUPPORTED = 65;

// A piece of the record's own DER copy: tag, length, first byte.
struct cert_span {
    int tag = 0;
    size_t len = 0;
    const uint8_t* p = nullptr;
};

// One AttributeTypeAndValue of a Name; val.tag holds the string type.
struct cert_name_entry {
    cert_span oid;
    cert_span val;
};

struct cert_time {
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
};

// The public key of a certificate. `ctx` has a key-type descriptor only when
// the key was loaded (RSA); otherwise `params` spans the algorithm parameters
// (for EC and SM2 keys the curve) and `key` the subjectPublicKey bits.
struct cert_public_key {
    mbedtls_pk_context ctx;
    cert_span params;
    cert_span key;

    cert_public_key() noexcept { mbedtls_pk_init(&ctx); }
    ~cert_public_key() { mbedtls_pk_free(&ctx); }
    cert_public_key(const cert_public_key&) = delete;
    cert_public_key& operator=(const cert_public_key&) = delete;
    bool loaded() const { return ctx.pk_info != nullptr; }
    void reset() noexcept;
};

// One parsed certificate; records form a chain through `next`. Every span
// points into the record's own copy of the DER (`der`), which is wiped when
// the record is freed.
struct cert_record {
    std::vector<uint8_t> der;
    cert_span raw; // the certificate's own DER, without any bytes after it
    cert_span tbs;
    int version = 0; // 1, 2 or 3; 0 while the record holds no certificate
    cert_span serial;
    cert_span raw_serial; // the whole DER INTEGER; tag stays 0
    cert_span sig_oid1;
    cert_span issuer_raw;
    cert_span subject_raw;
    std::vector<cert_name_entry> issuer;
    std::vector<cert_name_entry> subject;
    cert_time valid_from;
    cert_time valid_to;
    cert_public_key pk;
    cert_span issuer_id;
    cert_span subject_id;
    cert_span v3_ext;
    std::vector<cert_span> subject_alt_names; // dNSName entries
    int ext_types = 0;
    int ca_istrue = 0;
    int max_pathlen = 0;
    uint8_t key_usage = 0;
    std::vector<cert_span> ext_key_usage;
    uint8_t ns_cert_type = 0;
    cert_span sig_oid2;
    cert_span sig;
    int sig_md = 0;
    int sig_pk = 0;
    std::unique_ptr<cert_record> next;

    cert_record() = default;
    ~cert_record();
    cert_record(const cert_record&) = delete;
    cert_record& operator=(const cert_record&) = delete;
};

// Empties the record (and drops any records chained behind it).
void cert_record_init(cert_record* record);
// Parses one DER certificate into the chain: into `chain` itself when it holds
// none yet, else into a new record linked at the end. 0 or a negative code;
// on failure the chain is as before (a first record is left empty).
// The data begins with one certificate; bytes after its SEQUENCE are kept in
// the record's copy (`der`) but not read, and `raw` spans the certificate.
int cert_record_parse(cert_record* chain, const uint8_t* der, size_t length);
// Frees every record's contents and every record but the first.
void cert_record_free(cert_record* chain);

// SubjectPublicKeyInfo at *p (not beyond end) into key. 0 when an RSA key was
// loaded, KEY_PARSE_UNSUPPORTED for a key that was not (in which case *p may
// be anywhere in the structure), else a negative code. The spans point into
// the caller's bytes.
int parse_subject_public_key_info(uint8_t** p, const uint8_t* end, cert_public_key* key);
// UTCTime or GeneralizedTime at *p.
int cert_time_parse(uint8_t** p, const uint8_t* end, cert_time* time);
// The OID's dotted text, NUL-terminated: its length, or -2 when the buffer is
// too small, the OID is empty or malformed, or an arc exceeds 32 bits.
int oid_to_dotted_string(char* buffer, size_t size, const cert_span* oid);
