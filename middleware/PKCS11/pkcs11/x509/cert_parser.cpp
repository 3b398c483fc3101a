#include "cert_parser.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include <mbedtls/asn1.h>
#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "oid_table.h"

namespace {

constexpr int tag_sequence = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE;
constexpr int tag_set = MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SET;
constexpr int tag_context = MBEDTLS_ASN1_CONTEXT_SPECIFIC;
constexpr int tag_explicit = MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED;

cert_span span_of(const mbedtls_asn1_buf& buf) {
    return {buf.tag, buf.len, buf.p};
}

struct mpi_holder {
    mbedtls_mpi value;
    mpi_holder() noexcept { mbedtls_mpi_init(&value); }
    ~mpi_holder() { mbedtls_mpi_free(&value); }
    mpi_holder(const mpi_holder&) = delete;
    mpi_holder& operator=(const mpi_holder&) = delete;
};

// Version ::= INTEGER, in an optional explicit [0]; absent means v1 (0).
int get_version(uint8_t** p, const uint8_t* end, int* version) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_explicit | 0);
    if (ret == MBEDTLS_ERR_ASN1_UNEXPECTED_TAG) {
        *version = 0;
        return 0;
    }
    if (ret != 0) return cert_err_invalid_version + ret;
    const uint8_t* version_end = *p + len;
    ret = mbedtls_asn1_get_int(p, version_end, version);
    if (ret != 0) return cert_err_invalid_version + ret;
    if (*p != version_end) return cert_err_invalid_version + asn1_err_length_mismatch;
    return 0;
}

// CertificateSerialNumber: an INTEGER, or tolerated as a primitive [2].
int get_serial(uint8_t** p, const uint8_t* end, cert_span* serial) {
    if (end - *p < 1) return cert_err_invalid_serial + asn1_err_out_of_data;
    if (**p != (tag_context | 2) && **p != MBEDTLS_ASN1_INTEGER)
        return cert_err_invalid_serial + asn1_err_unexpected_tag;
    serial->tag = *(*p)++;
    int ret = mbedtls_asn1_get_len(p, end, &serial->len);
    if (ret != 0) return cert_err_invalid_serial + ret;
    serial->p = *p;
    *p += serial->len;
    return 0;
}

bool is_directory_string_tag(int tag) {
    switch (tag) {
    case MBEDTLS_ASN1_BMP_STRING:
    case MBEDTLS_ASN1_UTF8_STRING:
    case MBEDTLS_ASN1_T61_STRING:
    case MBEDTLS_ASN1_PRINTABLE_STRING:
    case MBEDTLS_ASN1_IA5_STRING:
    case MBEDTLS_ASN1_UNIVERSAL_STRING:
        return true;
    default:
        return false;
    }
}

// AttributeTypeAndValue ::= SEQUENCE { type OID, value DirectoryString }
int get_attr_type_value(uint8_t** p, const uint8_t* end, cert_name_entry* entry) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_name + ret;
    const uint8_t* attr_end = *p + len;
    if (attr_end - *p < 1) return cert_err_invalid_name + asn1_err_out_of_data;
    entry->oid.tag = **p;
    ret = mbedtls_asn1_get_tag(p, attr_end, &entry->oid.len, MBEDTLS_ASN1_OID);
    if (ret != 0) return cert_err_invalid_name + ret;
    entry->oid.p = *p;
    *p += entry->oid.len;
    if (attr_end - *p < 1) return cert_err_invalid_name + asn1_err_out_of_data;
    if (!is_directory_string_tag(**p)) return cert_err_invalid_name + asn1_err_unexpected_tag;
    entry->val.tag = *(*p)++;
    ret = mbedtls_asn1_get_len(p, attr_end, &entry->val.len);
    if (ret != 0) return cert_err_invalid_name + ret;
    entry->val.p = *p;
    *p += entry->val.len;
    if (*p != attr_end) return cert_err_invalid_name + asn1_err_length_mismatch;
    return 0;
}

// Name ::= SEQUENCE OF RelativeDistinguishedName (the SEQUENCE's content, up
// to end); RelativeDistinguishedName ::= SET OF AttributeTypeAndValue. Every
// attribute of every set becomes one entry, in order.
int get_name(uint8_t** p, const uint8_t* end, std::vector<cert_name_entry>* list) {
    for (;;) {
        size_t set_len = 0;
        int ret = mbedtls_asn1_get_tag(p, end, &set_len, tag_set);
        if (ret != 0) return cert_err_invalid_name + ret;
        const uint8_t* set_end = *p + set_len;
        do {
            cert_name_entry entry;
            ret = get_attr_type_value(p, set_end, &entry);
            if (ret != 0) return ret;
            list->push_back(entry);
        } while (*p != set_end);
        if (*p == end) return 0;
    }
}

// Reads exactly `width` ASCII digits; false when they are not there.
bool read_digits(const uint8_t* text, size_t length, size_t* pos, size_t width, int* value) {
    if (length - *pos < width) return false;
    int result = 0;
    for (size_t i = 0; i < width; ++i) {
        const uint8_t c = text[*pos + i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    *pos += width;
    *value = result;
    return true;
}

// Signature ::= BIT STRING, with no unused bits.
int get_signature(uint8_t** p, const uint8_t* end, cert_span* sig) {
    if (end - *p < 1) return cert_err_invalid_signature + asn1_err_out_of_data;
    sig->tag = **p;
    size_t len = 0;
    int ret = mbedtls_asn1_get_bitstring_null(p, end, &len);
    if (ret != 0) return cert_err_invalid_signature + ret;
    sig->len = len;
    sig->p = *p;
    *p += len;
    return 0;
}

// UniqueIdentifier ::= BIT STRING under an implicit [n] (RFC 5280: primitive);
// the constructed form is tolerated too.
int get_unique_id(uint8_t** p, const uint8_t* end, cert_span* uid, int n) {
    if (*p == end) return 0;
    const int tag = **p;
    if (tag != (tag_context | n) && tag != (tag_explicit | n)) return 0;
    ++*p;
    int ret = mbedtls_asn1_get_len(p, end, &uid->len);
    if (ret != 0) return cert_err_invalid_format + ret;
    uid->tag = tag;
    uid->p = *p;
    *p += uid->len;
    return 0;
}

// BasicConstraints ::= SEQUENCE { cA BOOLEAN DEFAULT FALSE,
//                                 pathLenConstraint INTEGER (0..MAX) OPTIONAL }
int get_basic_constraints(uint8_t** p, const uint8_t* end, int* ca_istrue, int* max_pathlen) {
    *ca_istrue = 0;
    *max_pathlen = 0;
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    const uint8_t* seq_end = *p + len;
    if (*p == seq_end) return 0;
    ret = mbedtls_asn1_get_bool(p, seq_end, ca_istrue);
    if (ret == MBEDTLS_ERR_ASN1_UNEXPECTED_TAG) ret = mbedtls_asn1_get_int(p, seq_end, ca_istrue);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (*ca_istrue != 0) *ca_istrue = 1;
    if (*p == seq_end) return 0;
    ret = mbedtls_asn1_get_int(p, seq_end, max_pathlen);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (*p != seq_end) return cert_err_invalid_extensions + asn1_err_length_mismatch;
    // Stored as the constraint + 1 (0 means none); the largest int cannot be.
    if (*max_pathlen == INT_MAX) return cert_err_invalid_extensions + asn1_err_invalid_length;
    ++*max_pathlen;
    return 0;
}

// KeyUsage / NetscapeCertType ::= BIT STRING: the first content byte.
int get_first_bits(uint8_t** p, const uint8_t* end, uint8_t* bits, bool exactly_one) {
    mbedtls_asn1_bitstring bs{};
    int ret = mbedtls_asn1_get_bitstring(p, end, &bs);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (bs.len < 1 || (exactly_one && bs.len != 1))
        return cert_err_invalid_extensions + asn1_err_invalid_length;
    *bits = bs.p[0];
    return 0;
}

// ExtKeyUsageSyntax ::= SEQUENCE SIZE (1..MAX) OF KeyPurposeId (an OID)
int get_ext_key_usage(uint8_t** p, const uint8_t* end, std::vector<cert_span>* list) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (*p + len != end) return cert_err_invalid_extensions + asn1_err_length_mismatch;
    while (*p < end) {
        cert_span oid;
        oid.tag = **p;
        ret = mbedtls_asn1_get_tag(p, end, &oid.len, MBEDTLS_ASN1_OID);
        if (ret != 0) return cert_err_invalid_extensions + ret;
        oid.p = *p;
        *p += oid.len;
        list->push_back(oid);
    }
    if (list->empty()) return cert_err_invalid_extensions + asn1_err_invalid_length;
    return 0;
}

// SubjectAltName ::= SEQUENCE OF GeneralName; only dNSName [2] is kept.
int get_subject_alt_name(uint8_t** p, const uint8_t* end, std::vector<cert_span>* list) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (*p + len != end) return cert_err_invalid_extensions + asn1_err_length_mismatch;
    while (*p < end) {
        const int tag = *(*p)++;
        ret = mbedtls_asn1_get_len(p, end, &len);
        if (ret != 0) return cert_err_invalid_extensions + ret;
        if ((tag & 0xC0) != tag_context)
            return cert_err_invalid_extensions + asn1_err_unexpected_tag;
        if (tag == (tag_context | 2)) list->push_back({tag, len, *p});
        *p += len;
    }
    return 0;
}

// Extensions ::= SEQUENCE SIZE (1..MAX) OF Extension, under an explicit [3].
// Extension ::= SEQUENCE { extnID OID, critical BOOLEAN DEFAULT FALSE,
//                          extnValue OCTET STRING }
// Extensions this parser does not know are skipped, critical or not; each
// known one may appear once (RFC 5280, 4.2).
int get_extensions(uint8_t** p, const uint8_t* end, cert_record* crt) {
    if (*p == end) return 0;
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_explicit | 3);
    if (ret == MBEDTLS_ERR_ASN1_UNEXPECTED_TAG) return 0;
    if (ret != 0) return cert_err_invalid_extensions + ret;
    crt->v3_ext = {tag_explicit | 3, len, *p};
    const uint8_t* ext_end = *p + len;
    ret = mbedtls_asn1_get_tag(p, ext_end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_extensions + ret;
    if (*p + len != ext_end) return cert_err_invalid_extensions + asn1_err_length_mismatch;

    while (*p < ext_end) {
        ret = mbedtls_asn1_get_tag(p, ext_end, &len, tag_sequence);
        if (ret != 0) return cert_err_invalid_extensions + ret;
        const uint8_t* data_end = *p + len;
        size_t oid_len = 0;
        ret = mbedtls_asn1_get_tag(p, data_end, &oid_len, MBEDTLS_ASN1_OID);
        if (ret != 0) return cert_err_invalid_extensions + ret;
        const uint8_t* oid = *p;
        *p += oid_len;
        int critical = 0;
        ret = mbedtls_asn1_get_bool(p, data_end, &critical);
        if (ret != 0 && ret != MBEDTLS_ERR_ASN1_UNEXPECTED_TAG)
            return cert_err_invalid_extensions + ret;
        ret = mbedtls_asn1_get_tag(p, data_end, &len, MBEDTLS_ASN1_OCTET_STRING);
        if (ret != 0) return cert_err_invalid_extensions + ret;
        const uint8_t* value_end = *p + len;
        if (value_end != data_end) return cert_err_invalid_extensions + asn1_err_length_mismatch;

        int type = 0;
        if (oid_lookup_x509_ext(oid, oid_len, &type) != 0) {
            *p += len;
            continue;
        }
        if ((crt->ext_types & type) != 0) return cert_err_invalid_extensions;
        crt->ext_types |= type;
        switch (type) {
        case oid_ext_basic_constraints:
            ret = get_basic_constraints(p, value_end, &crt->ca_istrue, &crt->max_pathlen);
            break;
        case oid_ext_key_usage:
            ret = get_first_bits(p, value_end, &crt->key_usage, false);
            break;
        case oid_ext_extended_key_usage:
            ret = get_ext_key_usage(p, value_end, &crt->ext_key_usage);
            break;
        case oid_ext_subject_alt_name:
            ret = get_subject_alt_name(p, value_end, &crt->subject_alt_names);
            break;
        case oid_ext_ns_cert_type:
            ret = get_first_bits(p, value_end, &crt->ns_cert_type, true);
            break;
        default:
            return cert_err_feature_unavailable;
        }
        if (ret != 0) return ret;
        if (*p != value_end) return cert_err_invalid_extensions + asn1_err_length_mismatch;
    }
    return 0;
}

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
// (RFC 8017, A.1.1), checked by the RSA library.
int get_rsa_public_key(uint8_t** p, const uint8_t* end, mbedtls_rsa_context* rsa) {
    size_t len = 0;
    int ret = mbedtls_asn1_get_tag(p, end, &len, tag_sequence);
    if (ret != 0) return key_err_invalid_pubkey + ret;
    if (*p + len != end) return key_err_invalid_pubkey + asn1_err_length_mismatch;
    mpi_holder n, e;
    if ((ret = mbedtls_asn1_get_mpi(p, end, &n.value)) != 0 ||
        (ret = mbedtls_asn1_get_mpi(p, end, &e.value)) != 0)
        return key_err_invalid_pubkey + ret;
    if (mbedtls_rsa_import(rsa, &n.value, nullptr, nullptr, nullptr, &e.value) != 0 ||
        mbedtls_rsa_complete(rsa) != 0 || mbedtls_rsa_check_pubkey(rsa) != 0)
        return key_err_invalid_pubkey;
    if (*p != end) return key_err_invalid_pubkey + asn1_err_length_mismatch;
    return 0;
}

int parse_core(cert_record* crt, const uint8_t* der, size_t length) {
    crt->der.assign(der, der + length);
    uint8_t* p = crt->der.data();
    const uint8_t* data_end = p + length;
    size_t len = 0;

    // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue }
    // Bytes after it (the padding of a fixed-size card file, say) are not
    // read: the certificate ends where its SEQUENCE does.
    if (p == data_end || *p != tag_sequence) return cert_err_invalid_format;
    ++p;
    int ret = mbedtls_asn1_get_len(&p, data_end, &len);
    if (ret == MBEDTLS_ERR_ASN1_OUT_OF_DATA)
        return cert_err_invalid_format + asn1_err_length_mismatch;
    if (ret != 0) return cert_err_invalid_format + ret;
    const uint8_t* end = p + len;
    crt->raw = {tag_sequence, static_cast<size_t>(end - crt->der.data()), crt->der.data()};

    // TBSCertificate ::= SEQUENCE { ... }
    crt->tbs.p = p;
    ret = mbedtls_asn1_get_tag(&p, end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_format + ret;
    const uint8_t* tbs_end = p + len;
    crt->tbs.tag = tag_sequence;
    crt->tbs.len = static_cast<size_t>(tbs_end - crt->tbs.p);

    int version = 0;
    if ((ret = get_version(&p, tbs_end, &version)) != 0) return ret;
    if (version > 2) return cert_err_unknown_version;
    const uint8_t* serial_start = p;
    if ((ret = get_serial(&p, tbs_end, &crt->serial)) != 0) return ret;
    crt->raw_serial = {0, static_cast<size_t>(p - serial_start), serial_start};

    // The signature algorithm is kept but not looked up: any is accepted.
    mbedtls_asn1_buf alg{};
    ret = mbedtls_asn1_get_alg_null(&p, tbs_end, &alg);
    if (ret != 0) return cert_err_invalid_alg + ret;
    crt->sig_oid1 = span_of(alg);

    // issuer Name
    crt->issuer_raw.p = p;
    ret = mbedtls_asn1_get_tag(&p, tbs_end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_format + ret;
    if ((ret = get_name(&p, p + len, &crt->issuer)) != 0) return ret;
    crt->issuer_raw.tag = tag_sequence;
    crt->issuer_raw.len = static_cast<size_t>(p - crt->issuer_raw.p);

    // Validity ::= SEQUENCE { notBefore Time, notAfter Time }
    ret = mbedtls_asn1_get_tag(&p, tbs_end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_date + ret;
    const uint8_t* validity_end = p + len;
    if ((ret = cert_time_parse(&p, validity_end, &crt->valid_from)) != 0) return ret;
    if ((ret = cert_time_parse(&p, validity_end, &crt->valid_to)) != 0) return ret;
    if (p != validity_end) return cert_err_invalid_date + asn1_err_length_mismatch;

    // subject Name (may be empty)
    crt->subject_raw.p = p;
    ret = mbedtls_asn1_get_tag(&p, tbs_end, &len, tag_sequence);
    if (ret != 0) return cert_err_invalid_format + ret;
    if (len != 0 && (ret = get_name(&p, p + len, &crt->subject)) != 0) return ret;
    crt->subject_raw.tag = tag_sequence;
    crt->subject_raw.len = static_cast<size_t>(p - crt->subject_raw.p);

    // A key this module does not load ends the parse with success: nothing
    // after it is read.
    crt->version = version + 1;
    ret = parse_subject_public_key_info(&p, tbs_end, &crt->pk);
    if (ret == KEY_PARSE_UNSUPPORTED) return 0;
    if (ret != 0) return ret;

    if (crt->version == 2 || crt->version == 3) {
        if ((ret = get_unique_id(&p, tbs_end, &crt->issuer_id, 1)) != 0) return ret;
        if ((ret = get_unique_id(&p, tbs_end, &crt->subject_id, 2)) != 0) return ret;
    }
    if (crt->version == 3 && (ret = get_extensions(&p, tbs_end, crt)) != 0) return ret;
    if (p != tbs_end) return cert_err_invalid_format + asn1_err_length_mismatch;

    ret = mbedtls_asn1_get_alg_null(&p, end, &alg);
    if (ret != 0) return cert_err_invalid_alg + ret;
    crt->sig_oid2 = span_of(alg);
    if (crt->sig_oid1.len != crt->sig_oid2.len ||
        std::memcmp(crt->sig_oid1.p, crt->sig_oid2.p, crt->sig_oid1.len) != 0)
        return cert_err_sig_mismatch;

    if ((ret = get_signature(&p, end, &crt->sig)) != 0) return ret;
    if (p != end) return cert_err_invalid_format + asn1_err_length_mismatch;
    return 0;
}

// Empties one record, wiping its DER copy; records behind it are dropped
// one by one (not by recursion).
void record_clear(cert_record* crt) noexcept {
    std::unique_ptr<cert_record> rest = std::move(crt->next);
    while (rest)
        rest = std::move(rest->next);
    if (!crt->der.empty()) mbedtls_platform_zeroize(crt->der.data(), crt->der.size());
    crt->der.clear();
    crt->der.shrink_to_fit();
    crt->raw = crt->tbs = crt->serial = crt->raw_serial = crt->sig_oid1 = {};
    crt->issuer_raw = crt->subject_raw = crt->issuer_id = crt->subject_id = crt->v3_ext = {};
    crt->sig_oid2 = crt->sig = {};
    crt->issuer.clear();
    crt->subject.clear();
    crt->subject_alt_names.clear();
    crt->ext_key_usage.clear();
    crt->valid_from = crt->valid_to = {};
    crt->pk.reset();
    crt->version = crt->ext_types = crt->ca_istrue = crt->max_pathlen = 0;
    crt->key_usage = crt->ns_cert_type = 0;
    crt->sig_md = crt->sig_pk = 0;
}

} // namespace

void cert_public_key::reset() noexcept {
    mbedtls_pk_free(&ctx);
    mbedtls_pk_init(&ctx);
    params = {};
    key = {};
}

cert_record::~cert_record() {
    record_clear(this);
}

void cert_record_init(cert_record* record) {
    if (record != nullptr) record_clear(record);
}

void cert_record_free(cert_record* chain) {
    if (chain != nullptr) record_clear(chain);
}

int cert_record_parse(cert_record* chain, const uint8_t* der, size_t length) {
    if (chain == nullptr || der == nullptr) return cert_err_bad_input;
    cert_record* last = chain;
    while (last->next)
        last = last->next.get();
    cert_record* target = last;
    try {
        if (last->version != 0) {
            last->next = std::make_unique<cert_record>();
            target = last->next.get();
        }
        const int ret = parse_core(target, der, length);
        if (ret == 0) return 0;
        if (target == last)
            record_clear(target);
        else
            last->next.reset();
        return ret;
    } catch (const std::bad_alloc&) {
        if (target == last)
            record_clear(target);
        else
            last->next.reset();
        return cert_err_alloc_failed;
    }
}

int parse_subject_public_key_info(uint8_t** p, const uint8_t* end, cert_public_key* key) {
    // SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier,
    //                                     subjectPublicKey BIT STRING }
    size_t len = 0;
    if (mbedtls_asn1_get_tag(p, end, &len, tag_sequence) != 0) return KEY_PARSE_UNSUPPORTED;
    const uint8_t* spki_end = *p + len;

    mbedtls_asn1_buf alg{}, params{};
    if (mbedtls_asn1_get_alg(p, spki_end, &alg, &params) != 0) return KEY_PARSE_UNSUPPORTED;
    key->params = span_of(params);
    int pk_alg = 0;
    if (oid_lookup_pk_alg(alg.p, alg.len, &pk_alg) != 0) return KEY_PARSE_UNSUPPORTED;
    // RSA keys have NULL or absent parameters (RFC 3279, 2.3.1).
    if (pk_alg == oid_pk_rsa &&
        !(params.tag == 0 || (params.tag == MBEDTLS_ASN1_NULL && params.len == 0)))
        return KEY_PARSE_UNSUPPORTED;

    if (mbedtls_asn1_get_bitstring_null(p, spki_end, &len) != 0) return KEY_PARSE_UNSUPPORTED;
    if (*p + len != spki_end) return key_err_invalid_pubkey + asn1_err_length_mismatch;
    if (pk_alg != oid_pk_rsa) {
        key->key = {MBEDTLS_ASN1_BIT_STRING, len, *p};
        return KEY_PARSE_UNSUPPORTED;
    }

    int ret = mbedtls_pk_setup(&key->ctx, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (ret != 0) return ret;
    ret = get_rsa_public_key(p, spki_end, mbedtls_pk_rsa(key->ctx));
    if (ret != 0) {
        key->reset();
        return ret;
    }
    return 0;
}

int cert_time_parse(uint8_t** p, const uint8_t* end, cert_time* time) {
    // Time ::= CHOICE { utcTime UTCTime, generalTime GeneralizedTime }:
    // YYMMDDHHMM[SS]Z or YYYYMMDDHHMM[SS]Z; the seconds may be missing.
    if (end - *p < 1) return cert_err_invalid_date + asn1_err_out_of_data;
    const int tag = **p;
    if (tag != MBEDTLS_ASN1_UTC_TIME && tag != MBEDTLS_ASN1_GENERALIZED_TIME)
        return cert_err_invalid_date + asn1_err_unexpected_tag;
    ++*p;
    size_t len = 0;
    int ret = mbedtls_asn1_get_len(p, end, &len);
    if (ret != 0) return cert_err_invalid_date + ret;
    const size_t text_len = len < 63 ? len : 63;
    int* fields[6] = {&time->year, &time->mon, &time->day, &time->hour, &time->min, &time->sec};
    *time = {};
    size_t pos = 0;
    int read = 0;
    for (int i = 0; i < 6; ++i) {
        const size_t width = (i == 0 && tag == MBEDTLS_ASN1_GENERALIZED_TIME) ? 4 : 2;
        if (!read_digits(*p, text_len, &pos, width, fields[i])) break;
        ++read;
    }
    if (read < 5) return cert_err_invalid_date;
    if (tag == MBEDTLS_ASN1_UTC_TIME) time->year += (time->year < 50 ? 100 : 0) + 1900;
    *p += len;
    return 0;
}

int oid_to_dotted_string(char* buffer, size_t size, const cert_span* oid) {
    if (buffer == nullptr || size == 0) return -2;
    buffer[0] = '\0';
    if (oid == nullptr || oid->p == nullptr || oid->len == 0) return -2;
    size_t pos = 0;
    auto append = [&](const char* format, auto... args) {
        const int n = std::snprintf(buffer + pos, size - pos, format, args...);
        if (n < 0 || static_cast<size_t>(n) >= size - pos) {
            buffer[size - 1] = '\0';
            return false;
        }
        pos += static_cast<size_t>(n);
        return true;
    };
    // X.690, 8.19: base-128 subidentifiers, high bit set on all but the last
    // byte; the first one holds the first two arcs (40 * X + Y).
    uint32_t value = 0;
    bool first = true;
    for (size_t i = 0; i < oid->len; ++i) {
        const uint8_t b = oid->p[i];
        if (value > (UINT32_MAX >> 7)) return -2;
        value = (value << 7) | (b & 0x7F);
        if ((b & 0x80) != 0) continue;
        bool ok;
        if (first)
            ok = value < 80 ? append("%u.%u", value / 40, value % 40) : append("2.%u", value - 80);
        else
            ok = append(".%u", value);
        if (!ok) return -2;
        first = false;
        value = 0;
    }
    if ((oid->p[oid->len - 1] & 0x80) != 0) return -2;
    return static_cast<int>(pos);
}
