#include "cert_reader.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include "byte_order.h"
#include "pkcs11_object.h"

cert_record parsed_cert;

namespace {

const uint8_t* span_out(const cert_span& span, size_t* length) {
    if (length != nullptr) *length = span.p != nullptr ? span.len : 0;
    return span.p;
}

// Writes a value 0..10^width-1 as exactly `width` digits with leading zeros.
void put_digits(int value, char* out, int width) {
    if (value < 0) value = 0;
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void date_out(const cert_time& t, char year[4], char month[2], char day[2]) {
    put_digits(t.year, year, 4);
    put_digits(t.mon, month, 2);
    put_digits(t.day, day, 2);
}

void ck_date(const cert_time& t, uint8_t out[8]) {
    char text[8];
    date_out(t, text, text + 4, text + 6);
    std::memcpy(out, text, 8);
}

} // namespace

int parse_certificate(const uint8_t* der, size_t length) {
    cert_record_free(&parsed_cert);
    cert_record_init(&parsed_cert);
    return cert_record_parse(&parsed_cert, der, length) == 0 ? 0 : 1;
}

void parsed_cert_free() {
    cert_record_free(&parsed_cert);
}

const uint8_t* cert_raw_serial(size_t* length) {
    return span_out(parsed_cert.raw_serial, length);
}
const uint8_t* cert_subject_raw(size_t* length) {
    return span_out(parsed_cert.subject_raw, length);
}
const uint8_t* cert_issuer_raw(size_t* length) {
    return span_out(parsed_cert.issuer_raw, length);
}
const uint8_t* cert_subject_common_name(size_t* length) {
    return cert_common_name(parsed_cert.subject, length);
}
const uint8_t* cert_issuer_common_name(size_t* length) {
    return cert_common_name(parsed_cert.issuer, length);
}

const uint8_t* cert_subject_display_name(size_t* length) {
    const uint8_t* name = cert_subject_common_name(length);
    if (name != nullptr || parsed_cert.subject.empty()) return name;
    return span_out(parsed_cert.subject.front().val, length);
}

const uint8_t* cert_common_name(const std::vector<cert_name_entry>& names, size_t* length) {
    for (const cert_name_entry& entry : names) {
        char dotted[64];
        if (oid_to_dotted_string(dotted, sizeof dotted, &entry.oid) > 0 &&
            std::strcmp(dotted, "2.5.4.3") == 0)
            return span_out(entry.val, length);
    }
    if (length != nullptr) *length = 0;
    return nullptr;
}

void cert_start_date(char year[4], char month[2], char day[2]) {
    date_out(parsed_cert.valid_from, year, month, day);
}
void cert_end_date(char year[4], char month[2], char day[2]) {
    date_out(parsed_cert.valid_to, year, month, day);
}

CK_RV object_fill_certificate_attributes(pkcs11_object& object) {
    if (parsed_cert.version == 0) return CKR_FUNCTION_FAILED;
    const parsed_cert_scope done;
    const cert_span* spans[] = {&parsed_cert.raw_serial, &parsed_cert.subject_raw,
                                &parsed_cert.issuer_raw};
    for (const cert_span* span : spans)
        if (span->len > UINT32_MAX) return CKR_FUNCTION_FAILED;
    uint8_t start[8], end[8];
    ck_date(parsed_cert.valid_from, start);
    ck_date(parsed_cert.valid_to, end);
    object.object_set_attribute(CKA_SERIAL_NUMBER, parsed_cert.raw_serial.p,
                                static_cast<uint32_t>(parsed_cert.raw_serial.len));
    object.object_set_attribute(CKA_SUBJECT, parsed_cert.subject_raw.p,
                                static_cast<uint32_t>(parsed_cert.subject_raw.len));
    object.object_set_attribute(CKA_ISSUER, parsed_cert.issuer_raw.p,
                                static_cast<uint32_t>(parsed_cert.issuer_raw.len));
    object.object_set_attribute(CKA_START_DATE, start, sizeof start);
    object.object_set_attribute(CKA_END_DATE, end, sizeof end);
    return CKR_OK;
}

int cert_export_public_key(int key_kind, const uint8_t* der, size_t length, uint8_t* blob,
                           size_t* blob_length) {
    if (blob == nullptr || blob_length == nullptr) return 1;
    cert_record record;
    if (cert_record_parse(&record, der, length) != 0) return 1;

    if (key_kind == 1) {
        if (!record.pk.loaded() || mbedtls_pk_get_type(&record.pk.ctx) != MBEDTLS_PK_RSA) return 1;
        const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(record.pk.ctx);
        const size_t n = mbedtls_rsa_get_len(rsa);
        if (n == 0 || n > 256 || *blob_length < n + 8) return 1;
        put_be32(static_cast<uint32_t>(n * 8), blob);
        if (mbedtls_mpi_write_binary(&rsa->N, blob + 4, n) != 0 ||
            mbedtls_mpi_write_binary(&rsa->E, blob + 4 + n, 4) != 0)
            return 1;
        *blob_length = n + 8;
        return 0;
    }

    // An uncompressed point 04 || X || Y with 32-byte coordinates (SEC 1, 2.3.3).
    const cert_span& point = record.pk.key;
    if (point.p == nullptr || point.len != 65 || point.p[0] != 0x04 || *blob_length < 64) return 1;
    std::memcpy(blob, point.p + 1, 64);
    *blob_length = 64;
    return 0;
}
