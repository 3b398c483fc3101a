// Malformed DER: truncated at every byte, lengths that overflow, wrong tags,
// trailing bytes and a sweep of single-byte corruptions. Every input sits in
// a heap block of exactly its size, so AddressSanitizer sees any read past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "cert_builder.h"
#include "cert_parser.h"
#include "cert_reader.h"

using namespace certtest;

namespace {

// `trailing` of parse_exact when the certificate may end anywhere in the input.
constexpr size_t any_trailing = SIZE_MAX;

// Parses a copy of the bytes that lives in a block of exactly their size;
// the last `trailing` of them follow the certificate.
int parse_exact(const bytes& der, size_t trailing = 0) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[der.size() ? der.size() : 1]);
    std::copy(der.begin(), der.end(), block.get());
    cert_record rec;
    const int ret = cert_record_parse(&rec, block.get(), der.size());
    if (ret == 0) {
        // The record keeps the whole input, its certificate is the input
        // without the trailing bytes, and every span of it lies inside its
        // own copy.
        EXPECT_EQ(rec.der.size(), der.size());
        EXPECT_EQ(rec.raw.p, rec.der.data());
        if (trailing != any_trailing) {
            EXPECT_EQ(rec.raw.len, der.size() - trailing);
        }
        const uint8_t* lo = rec.der.data();
        const uint8_t* hi = lo + rec.der.size();
        for (const cert_span* s :
             {&rec.raw, &rec.tbs, &rec.serial, &rec.raw_serial, &rec.issuer_raw, &rec.subject_raw,
              &rec.sig_oid1, &rec.sig_oid2, &rec.sig, &rec.v3_ext})
            if (s->p != nullptr) {
                EXPECT_TRUE(s->p >= lo && s->p + s->len <= hi);
            }
        for (const auto& list : {rec.issuer, rec.subject})
            for (const cert_name_entry& e : list)
                EXPECT_TRUE(e.val.p >= lo && e.val.p + e.val.len <= hi);
    }
    return ret;
}

enum source { openssl_rsa, openssl_sm2, handmade };

bytes certificate(source s) {
    static const bytes rsa = [] {
        bool ok = false;
        run("printf '[req]\\ndistinguished_name = dn\\n[dn]\\n' > mal.cnf && "
            "$OPENSSL req -x509 -new -newkey rsa:2048 -nodes -keyout mal_rsa.key -config mal.cnf "
            "-subj '/C=CN/O=O/CN=rsa'"
            " -days 30 -addext 'keyUsage=critical,digitalSignature' -addext "
            "'subjectAltName=DNS:a.example'"
            " -addext 'basicConstraints=CA:FALSE' -outform DER -out mal_rsa.der 2>/dev/null && "
            "$OPENSSL genpkey -algorithm SM2 -out mal_sm2.key && "
            "$OPENSSL req -x509 -new -key mal_sm2.key -sm3 -sigopt distid:1234567812345678 -config "
            "mal.cnf"
            " -subj '/CN=sm2' -days 30 -outform DER -out mal_sm2.der 2>/dev/null",
            &ok);
        if (!ok) throw std::runtime_error("openssl could not make the certificates");
        return read_file(scratch_dir() + "/mal_rsa.der");
    }();
    switch (s) {
    case openssl_rsa:
        return rsa;
    case openssl_sm2:
        return read_file(scratch_dir() + "/mal_sm2.der");
    case handmade: {
        cert_parts parts;
        parts.after_key =
            extensions({extension("2.5.29.19", true, seq({tlv(0x01, {0xFF}), tlv(0x02, {0x01})})),
                        extension("2.5.29.37", false, seq({oid("1.3.6.1.5.5.7.3.2")})),
                        extension("2.16.840.1.113730.1.1", false, bit_string({0x80}, 7))});
        return parts.build();
    }
    }
    return {};
}

class CertMalformed : public ::testing::TestWithParam<source> {
  protected:
    bytes der_ = certificate(GetParam());
    // Offsets of the elements, from a parse of the intact certificate.
    struct offsets {
        size_t outer = 0, tbs, serial, issuer, validity, not_before, subject, first_value;
    };
    offsets where() {
        cert_record rec;
        EXPECT_EQ(cert_record_parse(&rec, der_.data(), der_.size()), 0);
        const uint8_t* base = rec.der.data();
        offsets o;
        o.tbs = static_cast<size_t>(rec.tbs.p - base);
        o.serial = static_cast<size_t>(rec.raw_serial.p - base);
        o.issuer = static_cast<size_t>(rec.issuer_raw.p - base);
        o.validity = o.issuer + rec.issuer_raw.len;
        o.not_before = o.validity + 2;
        o.subject = static_cast<size_t>(rec.subject_raw.p - base);
        o.first_value =
            static_cast<size_t>(rec.issuer.front().val.p - base) - 2; // tag and one length byte
        return o;
    }
    // The element at `at` with its length field replaced.
    bytes with_length(size_t at, const bytes& length) const {
        const uint8_t first = der_[at + 1];
        const size_t old = first < 0x80 ? 1 : 1 + (first & 0x7F);
        bytes out(der_.begin(), der_.begin() + static_cast<long>(at) + 1);
        out.insert(out.end(), length.begin(), length.end());
        out.insert(out.end(), der_.begin() + static_cast<long>(at + 1 + old), der_.end());
        return out;
    }
};

TEST_P(CertMalformed, IntactParses) {
    EXPECT_EQ(parse_exact(der_), 0);
}

TEST_P(CertMalformed, TruncatedAtEveryByteIsRefused) {
    for (size_t n = 0; n < der_.size(); ++n) {
        const bytes cut(der_.begin(), der_.begin() + static_cast<long>(n));
        ASSERT_NE(parse_exact(cut), 0) << "cut at " << n;
    }
    // The reader collapses every parser error into 1 and keeps nothing.
    EXPECT_EQ(parse_certificate(der_.data(), der_.size() - 1), 1);
    EXPECT_EQ(parsed_cert.version, 0);
}

// Bytes after the certificate's SEQUENCE are not read: the certificate
// parses with the same fields as without them.
TEST_P(CertMalformed, TrailingBytesAreNotRead) {
    cert_record alone;
    ASSERT_EQ(cert_record_parse(&alone, der_.data(), der_.size()), 0);
    const auto offset = [](const cert_record& r, const cert_span& s) {
        return s.p != nullptr ? s.p - r.der.data() : -1; // an SM2 signature is not read
    };
    for (const bytes& tail : {bytes{0x00}, bytes{0x30, 0x00}, bytes(32, 0x00), bytes{0xFF}, der_}) {
        bytes longer = der_;
        longer.insert(longer.end(), tail.begin(), tail.end());
        EXPECT_EQ(parse_exact(longer, tail.size()), 0) << "tail of " << tail.size();
        cert_record rec;
        ASSERT_EQ(cert_record_parse(&rec, longer.data(), longer.size()), 0);
        for (const auto span : {&cert_record::raw_serial, &cert_record::issuer_raw,
                                &cert_record::subject_raw, &cert_record::sig}) {
            EXPECT_EQ(offset(rec, rec.*span), offset(alone, alone.*span));
            EXPECT_EQ((rec.*span).len, (alone.*span).len);
        }
        EXPECT_EQ(rec.valid_from.year, alone.valid_from.year);
        EXPECT_EQ(rec.valid_to.sec, alone.valid_to.sec);
    }
}

TEST_P(CertMalformed, OverflowingLengthsAreRefused) {
    const offsets o = where();
    const bytes lengths[] = {
        {0x84, 0xFF, 0xFF, 0xFF, 0xFF}, // 4 GB
        {0x84, 0x7F, 0xFF, 0xFF, 0xFF},
        {0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
         0xF0}, // more length bytes than a reader takes
        {0x80}, // indefinite length: not DER
        {0x82, 0xFF, 0xFF},
    };
    for (size_t at :
         {o.outer, o.tbs, o.serial, o.issuer, o.validity, o.not_before, o.subject, o.first_value})
        for (const bytes& length : lengths)
            EXPECT_NE(parse_exact(with_length(at, length)), 0) << "element at " << at;
    EXPECT_EQ(parse_exact(with_length(o.outer, {0x84, 0xFF, 0xFF, 0xFF, 0xFF})),
              cert_err_invalid_format + asn1_err_length_mismatch);
}

TEST_P(CertMalformed, WrongTagsGiveTheirCodes) {
    const offsets o = where();
    struct tag_case {
        size_t at;
        uint8_t tag;
        int expected;
    };
    const tag_case cases[] = {
        {o.outer, 0x31, cert_err_invalid_format},
        {o.tbs, 0x31, cert_err_invalid_format + asn1_err_unexpected_tag},
        {o.serial, 0x03, cert_err_invalid_serial + asn1_err_unexpected_tag},
        {o.issuer, 0x31, cert_err_invalid_format + asn1_err_unexpected_tag},
        {o.validity, 0x31, cert_err_invalid_date + asn1_err_unexpected_tag},
        {o.not_before, 0x19, cert_err_invalid_date + asn1_err_unexpected_tag},
        {o.subject, 0x31, cert_err_invalid_format + asn1_err_unexpected_tag},
        {o.issuer + 2, 0x30, cert_err_invalid_name + asn1_err_unexpected_tag}, // the first SET
        {o.first_value, 0x04, cert_err_invalid_name + asn1_err_unexpected_tag},
    };
    for (const tag_case& c : cases) {
        bytes bad = der_;
        bad[c.at] = c.tag;
        EXPECT_EQ(parse_exact(bad), c.expected) << "element at " << c.at;
    }
    if (GetParam() != openssl_sm2) { // an SM2 certificate is not read past its key
        bytes bad = der_;
        // The outer signature's BIT STRING is the last element: find its tag.
        cert_record rec;
        ASSERT_EQ(cert_record_parse(&rec, der_.data(), der_.size()), 0);
        const size_t sig_value = static_cast<size_t>(rec.sig.p - rec.der.data());
        size_t sig_tag = sig_value - 2;
        while (der_[sig_tag] != 0x03)
            --sig_tag;
        bad[sig_tag] = 0x04;
        EXPECT_EQ(parse_exact(bad), cert_err_invalid_signature + asn1_err_unexpected_tag);
    }
}

// Every single-byte corruption either is refused or parses into a record
// whose spans all lie inside its own copy and that covers exactly the input
// (checked in parse_exact; AddressSanitizer sees any read past the block);
// the answer does not change from one parse to the next; and a corruption of
// the certificate's tag or length bytes or of the TBS tag is always refused
// (DER gives the outer element exactly the input's size). The one exception:
// a certificate whose key is not loaded is read no further than its key, so
// an outer length made shorter that still holds the TBS parses, and the
// certificate then ends before the input does.
TEST_P(CertMalformed, SingleByteCorruptionsNeverReadOutside) {
    const offsets o = where();
    const auto header_size = [&](size_t at) {
        const uint8_t first = der_[at + 1];
        return 2 + (first < 0x80 ? 0 : static_cast<size_t>(first & 0x7F));
    };
    const size_t headers_end = o.tbs + 1;
    ASSERT_EQ(o.tbs, header_size(o.outer));
    size_t tried = 0, refused = 0;
    for (size_t i = 0; i < der_.size(); ++i) {
        for (uint8_t value : {static_cast<uint8_t>(der_[i] ^ 0xFF), uint8_t{0x00}, uint8_t{0x80},
                              uint8_t{0x84}, static_cast<uint8_t>(der_[i] + 1)}) {
            if (value == der_[i]) continue; // no corruption
            bytes bad = der_;
            bad[i] = value;
            const bool may_shorten = GetParam() == openssl_sm2 && i > o.outer && i < o.tbs;
            const size_t trailing = may_shorten ? any_trailing : 0;
            const int ret = parse_exact(bad, trailing);
            ++tried;
            refused += ret != 0;
            ASSERT_EQ(parse_exact(bad, trailing), ret) << "byte " << i << " = " << int(value);
            if (may_shorten && ret == 0) {
                cert_record rec;
                ASSERT_EQ(cert_record_parse(&rec, bad.data(), bad.size()), 0);
                EXPECT_LT(rec.raw.len, bad.size()) << "length byte " << i << " = " << int(value);
            } else if (i < headers_end) {
                EXPECT_NE(ret, 0) << "header byte " << i << " = " << int(value);
            }
        }
    }
    EXPECT_GT(tried, 4 * der_.size());
    EXPECT_GT(refused, headers_end);
}

INSTANTIATE_TEST_SUITE_P(Sources, CertMalformed,
                         ::testing::Values(openssl_rsa, openssl_sm2, handmade),
                         [](const auto& info) {
                             return std::string(info.param == openssl_rsa   ? "openssl_rsa"
                                                : info.param == openssl_sm2 ? "openssl_sm2"
                                                                            : "handmade");
                         });

} // namespace
