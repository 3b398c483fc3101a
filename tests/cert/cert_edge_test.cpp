// The parser's tolerances and refusals on hand-made certificates: unknown
// algorithms and extensions, keys it does not load, versions, names,
// extensions that break their rules, times, dotted OIDs and the chain.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "cert_builder.h"
#include "cert_parser.h"
#include "param_name.h"

using namespace certtest;

namespace {

bytes int_der(std::initializer_list<uint8_t> v) {
    return tlv(0x02, bytes(v));
}

struct edge_case {
    const char* name;
    std::function<void(cert_parts&)> change;
    int expected;
    std::function<void(const cert_record&)> check;
};

const bytes key_usage_ext = extension("2.5.29.15", true, bit_string({0x86}, 1));

const edge_case edge_cases[] = {
    {"plain_v3", [](cert_parts&) {}, 0,
     [](const cert_record& r) {
         EXPECT_EQ(r.version, 3);
         EXPECT_TRUE(r.pk.loaded());
         EXPECT_EQ(r.sig.len, 3u);
     }},
    {"unknown_critical_extension",
     [](cert_parts& c) {
         c.after_key = extensions({extension("1.2.3.4.99", true, {0x05, 0x00}), key_usage_ext});
     },
     0,
     [](const cert_record& r) {
         EXPECT_EQ(r.ext_types, 0x4);
         EXPECT_EQ(r.key_usage, 0x86);
     }},
    {"unknown_signature_algorithm",
     [](cert_parts& c) { c.sig_alg = c.outer_alg = seq({oid("1.2.3.4.5.6")}); }, 0,
     [](const cert_record& r) {
         EXPECT_TRUE(r.pk.loaded());
         EXPECT_EQ(r.sig.len, 3u);
     }},
    {"signature_algorithms_differ_rsa",
     [](cert_parts& c) { c.outer_alg = seq({oid("1.2.840.113549.1.1.5")}); }, cert_err_sig_mismatch,
     nullptr},
    {"signature_algorithms_differ_sm2_key",
     [](cert_parts& c) {
         c.spki = ec_spki("1.2.156.10197.1.301", "");
         c.sig_alg = seq({oid("1.2.156.10197.1.501")});
         c.outer_alg = seq({oid("1.2.840.113549.1.1.5")});
     },
     0,
     [](const cert_record& r) {
         EXPECT_FALSE(r.pk.loaded());
         EXPECT_EQ(r.pk.key.len, 65u);
         EXPECT_EQ(r.sig.len, 0u);
         EXPECT_EQ(r.valid_from.year, 2021);
         EXPECT_EQ(r.subject.size(), 2u);
     }},
    {"ecdsa_key",
     [](cert_parts& c) { c.spki = ec_spki("1.2.840.10045.2.1", "1.2.840.10045.3.1.7"); }, 0,
     [](const cert_record& r) {
         EXPECT_FALSE(r.pk.loaded());
         EXPECT_EQ(r.pk.params.len, 8u); // the curve OID's content
     }},
    {"unknown_key_algorithm", [](cert_parts& c) { c.spki = ec_spki("1.2.3.4", ""); }, 0,
     [](const cert_record& r) { EXPECT_FALSE(r.pk.loaded()); }},
    {"rsa_key_bit_string_short_of_end",
     [](cert_parts& c) {
         bytes spki = rsa_spki();
         // Re-wrap the SPKI content with a NULL after the BIT STRING.
         const bytes inner(spki.begin() + 3, spki.end()); // 30 81 xx
         c.spki = tlv(0x30, cat({inner, tlv(0x05, {})}));
     },
     key_err_invalid_pubkey + asn1_err_length_mismatch, nullptr},
    {"rsa_key_too_small",
     [](cert_parts& c) {
         const bytes rsa = seq(
             {int_der({0x00, 0xC5, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}), int_der({0x03})});
         c.spki = seq({seq({oid("1.2.840.113549.1.1.1"), tlv(0x05, {})}), bit_string(rsa)});
     },
     key_err_invalid_pubkey, nullptr},
    {"version_1_without_wrapper",
     [](cert_parts& c) {
         c.version.clear();
         c.after_key = extensions({key_usage_ext}); // not read in v1: the TBS is then too long
     },
     cert_err_invalid_format + asn1_err_length_mismatch, nullptr},
    {"version_4", [](cert_parts& c) { c.version = tlv(0xA0, int_der({0x03})); },
     cert_err_unknown_version, nullptr},
    {"version_huge",
     [](cert_parts& c) {
         c.version = tlv(0xA0, int_der({0x7F, 0xFF, 0xFF, 0xFF}));
     },
     cert_err_unknown_version, nullptr},
    {"v2_unique_ids",
     [](cert_parts& c) {
         c.version = tlv(0xA0, int_der({0x01}));
         c.after_key = cat({tlv(0x81, {0x00, 0xAA}), tlv(0x82, {0x00, 0xBB, 0xCC})});
     },
     0,
     [](const cert_record& r) {
         EXPECT_EQ(r.version, 2);
         EXPECT_EQ(r.issuer_id.len, 2u);
         EXPECT_EQ(r.subject_id.len, 3u);
     }},
    {"serial_context_tag", [](cert_parts& c) { c.serial = tlv(0x82, {0x07}); }, 0,
     [](const cert_record& r) {
         EXPECT_EQ(r.serial.tag, 0x82);
         EXPECT_EQ(r.raw_serial.len, 3u);
     }},
    {"serial_wrong_tag", [](cert_parts& c) { c.serial = tlv(0x03, {0x07}); },
     cert_err_invalid_serial + asn1_err_unexpected_tag, nullptr},
    {"empty_subject", [](cert_parts& c) { c.subject = tlv(0x30, {}); }, 0,
     [](const cert_record& r) {
         EXPECT_TRUE(r.subject.empty());
         EXPECT_EQ(r.subject_raw.len, 2u);
     }},
    {"empty_issuer", [](cert_parts& c) { c.issuer = tlv(0x30, {}); },
     cert_err_invalid_name + asn1_err_out_of_data, nullptr},
    {"name_value_octet_string",
     [](cert_parts& c) {
         c.issuer = tlv(0x30, tlv(0x31, seq({oid("2.5.4.3"), tlv(0x04, {'x'})})));
     },
     cert_err_invalid_name + asn1_err_unexpected_tag, nullptr},
    {"name_attribute_with_extra_element",
     [](cert_parts& c) {
         c.issuer =
             tlv(0x30, tlv(0x31, seq({oid("2.5.4.3"), text_value(0x13, "x"), tlv(0x05, {})})));
     },
     cert_err_invalid_name + asn1_err_length_mismatch, nullptr},
    {"validity_with_extra_time",
     [](cert_parts& c) {
         c.validity = seq({text_value(0x17, "210305102030Z"), text_value(0x17, "310305102030Z"),
                           text_value(0x17, "410305102030Z")});
     },
     cert_err_invalid_date + asn1_err_length_mismatch, nullptr},
    {"basic_constraints_ca_as_integer",
     [](cert_parts& c) {
         c.after_key = extensions({extension("2.5.29.19", true, seq({int_der({0x05})}))});
     },
     0,
     [](const cert_record& r) {
         EXPECT_EQ(r.ca_istrue, 1);
         EXPECT_EQ(r.max_pathlen, 0);
     }},
    {"basic_constraints_pathlen",
     [](cert_parts& c) {
         c.after_key =
             extensions({extension("2.5.29.19", false, seq({tlv(0x01, {0xFF}), int_der({0x00})}))});
     },
     0,
     [](const cert_record& r) {
         EXPECT_EQ(r.ca_istrue, 1);
         EXPECT_EQ(r.max_pathlen, 1);
     }},
    {"basic_constraints_pathlen_int_max",
     [](cert_parts& c) {
         c.after_key = extensions({extension(
             "2.5.29.19", true, seq({tlv(0x01, {0xFF}), int_der({0x7F, 0xFF, 0xFF, 0xFF})}))});
     },
     cert_err_invalid_extensions + asn1_err_invalid_length, nullptr},
    {"key_usage_without_bits",
     [](cert_parts& c) {
         c.after_key = extensions({extension("2.5.29.15", true, bit_string({}))});
     },
     cert_err_invalid_extensions + asn1_err_invalid_length, nullptr},
    {"key_usage_trailing_byte",
     [](cert_parts& c) {
         c.after_key =
             extensions({extension("2.5.29.15", true, cat({bit_string({0x80}, 7), bytes{0x00}}))});
     },
     cert_err_invalid_extensions + asn1_err_length_mismatch, nullptr},
    {"ns_cert_type_two_bytes",
     [](cert_parts& c) {
         c.after_key =
             extensions({extension("2.16.840.1.113730.1.1", false, bit_string({0x40, 0x00}))});
     },
     cert_err_invalid_extensions + asn1_err_invalid_length, nullptr},
    {"extended_key_usage_empty",
     [](cert_parts& c) {
         c.after_key = extensions({extension("2.5.29.37", false, tlv(0x30, {}))});
     },
     cert_err_invalid_extensions + asn1_err_invalid_length, nullptr},
    {"subject_alt_name_universal_tag",
     [](cert_parts& c) {
         c.after_key =
             extensions({extension("2.5.29.17", false, seq({text_value(0x16, "a.example")}))});
     },
     cert_err_invalid_extensions + asn1_err_unexpected_tag, nullptr},
    {"subject_alt_name_keeps_dns_only",
     [](cert_parts& c) {
         c.after_key =
             extensions({extension("2.5.29.17", false,
                                   seq({text_value(0x82, "a.example"), text_value(0x81, "x@y"),
                                        text_value(0x82, "b.example")}))});
     },
     0,
     [](const cert_record& r) {
         ASSERT_EQ(r.subject_alt_names.size(), 2u);
         EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.subject_alt_names[1].p),
                               r.subject_alt_names[1].len),
                   "b.example");
     }},
    {"extension_twice",
     [](cert_parts& c) {
         c.after_key = extensions({key_usage_ext, key_usage_ext});
     },
     cert_err_invalid_extensions, nullptr},
    {"extension_octet_string_short",
     [](cert_parts& c) {
         c.after_key =
             extensions({seq({oid("2.5.29.15"), tlv(0x04, bit_string({0x80}, 7)), tlv(0x05, {})})});
     },
     cert_err_invalid_extensions + asn1_err_length_mismatch, nullptr},
    {"byte_after_tbs_content",
     [](cert_parts& c) {
         c.after_key = {0x05, 0x00};
     },
     cert_err_invalid_format + asn1_err_length_mismatch, nullptr},
    {"zero_padding_after_the_certificate",
     [](cert_parts& c) { c.after_certificate = bytes(32, 0x00); }, 0,
     [](const cert_record& r) {
         EXPECT_EQ(r.der.size(), cert_parts{}.build().size() + 32); // the whole input is kept
         EXPECT_EQ(r.raw.len, cert_parts{}.build().size());         // the certificate alone
         EXPECT_EQ(hex(r.raw_serial.p, r.raw_serial.len), "020101");
         EXPECT_EQ(hex(r.issuer_raw.p, r.issuer_raw.len), hex(cert_parts{}.issuer));
         EXPECT_EQ(hex(r.subject_raw.p, r.subject_raw.len), hex(cert_parts{}.subject));
         EXPECT_EQ(r.valid_from.year, 2021);
         EXPECT_EQ(r.valid_from.day, 5);
         EXPECT_EQ(r.valid_to.year, 2051);
         EXPECT_EQ(r.sig.len, 3u); // read to the certificate's end
     }},
    {"signature_with_unused_bits", [](cert_parts& c) { c.signature = bit_string({0xAA}, 1); },
     cert_err_invalid_signature + asn1_err_invalid_data, nullptr},
    {"signature_missing", [](cert_parts& c) { c.signature.clear(); },
     cert_err_invalid_signature + asn1_err_out_of_data, nullptr},
};

class CertEdge : public ::testing::TestWithParam<edge_case> {};

TEST_P(CertEdge, ParsesOrRefusesWithItsCode) {
    const edge_case& e = GetParam();
    cert_parts parts;
    e.change(parts);
    const bytes der = parts.build();
    cert_record rec;
    EXPECT_EQ(cert_record_parse(&rec, der.data(), der.size()), e.expected);
    if (e.expected == 0 && e.check) e.check(rec);
    if (e.expected != 0) {
        EXPECT_EQ(rec.version, 0); // a failed parse leaves the first record empty
        EXPECT_TRUE(rec.der.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Certificates, CertEdge, ::testing::ValuesIn(edge_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct time_case {
    uint8_t tag;
    const char* text;
    int expected;
    cert_time t;
};

const time_case time_cases[] = {
    {0x17, "491231235959Z", 0, {2049, 12, 31, 23, 59, 59}},
    {0x17, "500101000000Z", 0, {1950, 1, 1, 0, 0, 0}},
    {0x17, "0001010000Z", 0, {2000, 1, 1, 0, 0, 0}},
    {0x18, "20210305102030Z", 0, {2021, 3, 5, 10, 20, 30}},
    {0x18, "205012312359Z", 0, {2050, 12, 31, 23, 59, 0}},
    {0x17, "00010100Z", cert_err_invalid_date, {}},
    {0x17, "-10101000000Z", cert_err_invalid_date, {}},
    {0x17, "", cert_err_invalid_date, {}},
    {0x04, "210305102030Z", cert_err_invalid_date + asn1_err_unexpected_tag, {}},
};

class CertTime : public ::testing::TestWithParam<time_case> {};

TEST_P(CertTime, ReadsTheDigits) {
    const time_case& c = GetParam();
    bytes der = text_value(c.tag, c.text);
    uint8_t* p = der.data();
    cert_time t;
    ASSERT_EQ(cert_time_parse(&p, der.data() + der.size(), &t), c.expected);
    if (c.expected != 0) return;
    EXPECT_EQ(p, der.data() + der.size());
    EXPECT_EQ(t.year, c.t.year);
    EXPECT_EQ(t.mon, c.t.mon);
    EXPECT_EQ(t.day, c.t.day);
    EXPECT_EQ(t.hour, c.t.hour);
    EXPECT_EQ(t.min, c.t.min);
    EXPECT_EQ(t.sec, c.t.sec);
}

// "utc_491231235959Z", "generalized_...", "tag04_..." for another tag.
INSTANTIATE_TEST_SUITE_P(Times, CertTime, ::testing::ValuesIn(time_cases),
                         [](const ::testing::TestParamInfo<time_case>& info) {
                             const uint8_t tag = info.param.tag;
                             const std::string kind = tag == 0x17   ? "utc"
                                                      : tag == 0x18 ? "generalized"
                                                                    : "tag" + hex(bytes{tag});
                             return kind + "_" + test_support::param_name(info.param.text);
                         });

TEST(CertTime, NoDataAndLengthBeyondData) {
    bytes der{0x17, 0x0D, '2', '1'};
    uint8_t* p = der.data();
    cert_time t;
    EXPECT_EQ(cert_time_parse(&p, der.data() + der.size(), &t),
              cert_err_invalid_date + asn1_err_out_of_data);
    p = der.data() + der.size();
    EXPECT_EQ(cert_time_parse(&p, der.data() + der.size(), &t),
              cert_err_invalid_date + asn1_err_out_of_data);
}

struct dotted_case {
    bytes oid;
    size_t size;
    int expected;
    const char* text;
};

const dotted_case dotted_cases[] = {
    {{0x55, 0x04, 0x03}, 64, 7, "2.5.4.3"},
    {{0x55, 0x04, 0x03}, 8, 7, "2.5.4.3"},
    {{0x55, 0x04, 0x03}, 7, -2, "2.5.4."}, // cut, and NUL-terminated
    {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}, 64, 20, "1.2.840.113549.1.1.1"},
    {{0x88, 0x37, 0x03}, 64, 7, "2.999.3"},
    {{0x55, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 64, 14, "2.5.4294967295"},
    {{0x55, 0x90, 0x80, 0x80, 0x80, 0x00}, 64, -2, "2.5"}, // arc over 32 bits
    {{0x55, 0x84}, 64, -2, "2.5"},                         // last arc unfinished
    {{}, 64, -2, ""},
};

class OidDotted : public ::testing::TestWithParam<dotted_case> {};

TEST_P(OidDotted, WritesTheArcs) {
    const dotted_case& c = GetParam();
    const cert_span span{0x06, c.oid.size(), c.oid.empty() ? nullptr : c.oid.data()};
    std::vector<char> buffer(c.size, 'X');
    EXPECT_EQ(oid_to_dotted_string(buffer.data(), buffer.size(), &span), c.expected);
    EXPECT_STREQ(buffer.data(), c.text); // always terminated inside the buffer
}

// The OID's bytes and the buffer size: "oid_550403_in_64".
INSTANTIATE_TEST_SUITE_P(Oids, OidDotted, ::testing::ValuesIn(dotted_cases),
                         [](const ::testing::TestParamInfo<dotted_case>& info) {
                             const std::string oid =
                                 info.param.oid.empty() ? "none" : hex(info.param.oid);
                             return "oid_" + oid + "_in_" + std::to_string(info.param.size);
                         });

TEST(CertChain, SecondCertificateIsLinkedAndAFailedOneIsDropped) {
    cert_parts a, b;
    b.serial = tlv(0x02, {0x02});
    const bytes first = a.build(), second = b.build();
    bytes broken = second;
    broken.pop_back();

    cert_record chain;
    ASSERT_EQ(cert_record_parse(&chain, first.data(), first.size()), 0);
    ASSERT_EQ(cert_record_parse(&chain, second.data(), second.size()), 0);
    ASSERT_NE(chain.next, nullptr);
    EXPECT_EQ(chain.next->serial.p[0], 0x02);
    EXPECT_NE(cert_record_parse(&chain, broken.data(), broken.size()), 0);
    EXPECT_EQ(chain.next->next, nullptr);
    EXPECT_EQ(chain.serial.p[0], 0x01);

    cert_record_free(&chain);
    EXPECT_EQ(chain.version, 0);
    EXPECT_EQ(chain.next, nullptr);
    EXPECT_EQ(cert_record_parse(nullptr, first.data(), first.size()), cert_err_bad_input);
    EXPECT_EQ(cert_record_parse(&chain, nullptr, 10), cert_err_bad_input);
}

} // namespace
