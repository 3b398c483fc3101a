// Certificate readers: one process-wide parsed certificate (`parsed_cert`)
// and the single fields the certificate-object code takes from it (serial,
// issuer, subject, common names, validity dates in the CK_DATE layout of
// PKCS#11 v2.20), the filling of a certificate object's attributes, and the
// export of a certificate's public key as a card-style blob.
//
// `parsed_cert` holds at most one certificate at a time, between
// parse_certificate and parsed_cert_free; it is used under the library lock.
// Every pointer a reader returns points into it and is valid until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cert_parser.h"
#include "pkcs11.h"

class pkcs11_object;

extern cert_record parsed_cert;

// Replaces parsed_cert with the certificate: 0, or 1 on any parse error (the
// record is then empty).
int parse_certificate(const uint8_t* der, size_t length);
void parsed_cert_free();

// Frees parsed_cert when it goes out of scope, on every path: its spans
// point into the caller's DER buffer, which does not outlive the caller.
class parsed_cert_scope {
  public:
    parsed_cert_scope() = default;
    ~parsed_cert_scope() { parsed_cert_free(); }
    parsed_cert_scope(const parsed_cert_scope&) = delete;
    parsed_cert_scope& operator=(const parsed_cert_scope&) = delete;
};

const uint8_t* cert_raw_serial(size_t* length);
const uint8_t* cert_subject_raw(size_t* length);
const uint8_t* cert_issuer_raw(size_t* length);
const uint8_t* cert_subject_common_name(size_t* length);
const uint8_t* cert_issuer_common_name(size_t* length);
// The subject's common name or, when it has none, its first attribute's value.
const uint8_t* cert_subject_display_name(size_t* length);
// The value of the first attribute of type 2.5.4.3 (commonName); null and
// length 0 when there is none.
const uint8_t* cert_common_name(const std::vector<cert_name_entry>& names, size_t* length);

// valid_from / valid_to as ASCII digits with leading zeros and no terminator:
// year into 4 characters, month and day into 2 each.
void cert_start_date(char year[4], char month[2], char day[2]);
void cert_end_date(char year[4], char month[2], char day[2]);

// Sets CKA_SERIAL_NUMBER (the whole DER INTEGER), CKA_SUBJECT, CKA_ISSUER,
// CKA_START_DATE and CKA_END_DATE from parsed_cert, in that order, then frees
// parsed_cert. CKR_FUNCTION_FAILED (nothing set) when no certificate is parsed.
CK_RV object_fill_certificate_attributes(pkcs11_object& object);

// Parses the certificate into a local record and exports its public key.
// Key kind 1 (RSA): the modulus bit count as 4 bytes big-endian, the modulus
// (at most 256 bytes), the public exponent as 4 bytes big-endian; modulus
// bytes + 8 in all. Other kinds: the 64 bytes X || Y of an uncompressed
// 256-bit EC point (SM2, P-256). *blob_length holds the blob's capacity on
// entry and the length written on success. 0, or 1 when the certificate does
// not parse, has no such key, or the blob is too small.
int cert_export_public_key(int key_kind, const uint8_t* der, size_t length, uint8_t* blob,
                           size_t* blob_length);
