// libFuzzer target for the certificate parser and the private-key parser: any
// bytes are parsed as a DER certificate (alone and as the second link of a
// chain), read through the readers and the public-key export, and parsed as a
// DER RSA private key. Nothing may be read out of bounds, and every span of a
// parsed record must lie inside the record's own copy of the DER.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "cert_parser.h"
#include "cert_reader.h"
#include "key_parser.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_inside(const cert_record& rec, const cert_span& span) {
    if (span.p == nullptr) return;
    const uint8_t* lo = rec.der.data();
    check(span.p >= lo && span.len <= rec.der.size() &&
          span.p - lo <= static_cast<ptrdiff_t>(rec.der.size() - span.len));
}

void check_record(const cert_record& rec) {
    for (const cert_span* s : {&rec.raw, &rec.tbs, &rec.serial, &rec.raw_serial, &rec.sig_oid1,
                               &rec.issuer_raw, &rec.subject_raw, &rec.issuer_id, &rec.subject_id,
                               &rec.v3_ext, &rec.sig_oid2, &rec.sig, &rec.pk.params, &rec.pk.key})
        check_inside(rec, *s);
    for (const auto* list : {&rec.issuer, &rec.subject}) {
        for (const cert_name_entry& e : *list) {
            check_inside(rec, e.oid);
            check_inside(rec, e.val);
            char dotted[64];
            const int n = oid_to_dotted_string(dotted, sizeof dotted, &e.oid);
            check(n == -2 || (n > 0 && static_cast<size_t>(n) < sizeof dotted));
        }
    }
    for (const auto* list : {&rec.subject_alt_names, &rec.ext_key_usage})
        for (const cert_span& s : *list)
            check_inside(rec, s);
    check(rec.version >= 1 && rec.version <= 3);
}

void fuzz(std::span<const uint8_t> data) {
    // A copy of exactly the input's size, so that ASan sees any read past it.
    const std::vector<uint8_t> input(data.begin(), data.end());
    const uint8_t* bytes = input.empty() ? reinterpret_cast<const uint8_t*>("") : input.data();

    cert_record chain;
    const int first = cert_record_parse(&chain, bytes, input.size());
    if (first == 0) {
        check_record(chain);
        // The same certificate again becomes the second link of the chain.
        check(cert_record_parse(&chain, bytes, input.size()) == 0 && chain.next != nullptr);
        check_record(*chain.next);
    } else {
        check(chain.version == 0 && chain.der.empty());
    }
    cert_record_free(&chain);

    check(parse_certificate(bytes, input.size()) == (first == 0 ? 0 : 1));
    size_t n = 0;
    (void)cert_raw_serial(&n);
    (void)cert_subject_display_name(&n);
    (void)cert_issuer_common_name(&n);
    char year[4], month[2], day[2];
    cert_start_date(year, month, day);
    cert_end_date(year, month, day);
    parsed_cert_free();

    uint8_t blob[264];
    for (int kind : {1, 2}) {
        size_t len = sizeof blob;
        if (cert_export_public_key(kind, bytes, input.size(), blob, &len) == 0)
            check(len <= sizeof blob);
    }

    RSAPRIVATEKEYBLOB key;
    (void)rsa_der_to_components(bytes, input.size(), &key);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz(std::span<const uint8_t>(data, size));
    return 0;
}
