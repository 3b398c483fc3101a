// The readers over the process-wide parsed certificate: serial, names,
// common and display names, CK_DATE digits, the filling of a certificate
// object's attributes, and the public-key export.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "cert_builder.h"
#include "cert_reader.h"
#include "pkcs11_object.h"

using namespace certtest;

namespace {

std::string str(const uint8_t* p, size_t n) {
    return p ? std::string(reinterpret_cast<const char*>(p), n) : "<null>";
}

class CertReader : public ::testing::Test {
  protected:
    void TearDown() override { parsed_cert_free(); }
};

TEST_F(CertReader, SerialNamesAndDates) {
    cert_parts parts;
    const bytes der = parts.build();
    ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);

    size_t n = 0;
    const uint8_t* serial = cert_raw_serial(&n);
    EXPECT_EQ(hex(serial, n), "020101"); // the whole DER INTEGER
    const uint8_t* subject = cert_subject_raw(&n);
    EXPECT_EQ(hex(subject, n), hex(parts.subject));
    const uint8_t* issuer = cert_issuer_raw(&n);
    EXPECT_EQ(hex(issuer, n), hex(parts.issuer));
    const uint8_t* cn = cert_subject_common_name(&n);
    EXPECT_EQ(str(cn, n), "Subject");
    cn = cert_issuer_common_name(&n);
    EXPECT_EQ(str(cn, n), "Issuer CA");
    cn = cert_subject_display_name(&n);
    EXPECT_EQ(str(cn, n), "Subject");

    char year[5] = {}, month[3] = {}, day[3] = {};
    cert_start_date(year, month, day);
    EXPECT_EQ(std::string(year) + month + day, "20210305");
    cert_end_date(year, month, day);
    EXPECT_EQ(std::string(year) + month + day, "20510101");
}

TEST_F(CertReader, CommonNameInAMultiValuedRdnAndDisplayNameWithout) {
    cert_parts parts;
    // One SET holding O and CN, then an OU.
    parts.subject =
        tlv(0x30, cat({tlv(0x31, cat({seq({oid("2.5.4.10"), text_value(0x13, "Org")}),
                                      seq({oid("2.5.4.3"), text_value(0x0C, "Both")})})),
                       tlv(0x31, seq({oid("2.5.4.11"), text_value(0x0C, "Unit")}))}));
    bytes der = parts.build();
    ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);
    size_t n = 0;
    const uint8_t* cn = cert_subject_common_name(&n);
    EXPECT_EQ(str(cn, n), "Both");

    parts.subject = name({{"2.5.4.10", "First Org"}, {"2.5.4.11", "Unit"}});
    der = parts.build();
    ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);
    EXPECT_EQ(cert_subject_common_name(&n), nullptr);
    EXPECT_EQ(n, 0u);
    const uint8_t* display = cert_subject_display_name(&n);
    EXPECT_EQ(str(display, n), "First Org");

    parts.subject = tlv(0x30, {});
    der = parts.build();
    ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);
    EXPECT_EQ(cert_subject_display_name(&n), nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(CertReader, FillsACertificateObjectThenForgetsTheCertificate) {
    cert_parts parts;
    parts.spki = ec_spki("1.2.156.10197.1.301", ""); // an SM2 key: fields are filled all the same
    parts.sig_alg = parts.outer_alg = seq({oid("1.2.156.10197.1.501")});
    const bytes der = parts.build();

    CK_RV rv = CKR_OK;
    auto object = pkcs11_object::create(0, CKO_CERTIFICATE, nullptr, 0, &rv);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object_fill_certificate_attributes(*object), CKR_FUNCTION_FAILED); // nothing parsed

    ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);
    ASSERT_EQ(object_fill_certificate_attributes(*object), CKR_OK);
    EXPECT_EQ(parsed_cert.version, 0);

    auto value = [&](uint32_t type) {
        const pkcs11_attribute* a = object->attributes().find(type);
        return a ? hex(a->value) : std::string("<absent>");
    };
    EXPECT_EQ(value(CKA_SERIAL_NUMBER), "020101");
    EXPECT_EQ(value(CKA_SUBJECT), hex(parts.subject));
    EXPECT_EQ(value(CKA_ISSUER), hex(parts.issuer));
    EXPECT_EQ(value(CKA_START_DATE), hex(bytes{'2', '0', '2', '1', '0', '3', '0', '5'}));
    EXPECT_EQ(value(CKA_END_DATE), hex(bytes{'2', '0', '5', '1', '0', '1', '0', '1'}));
}

TEST_F(CertReader, AFailedParseLeavesNothing) {
    cert_parts parts;
    const bytes good = parts.build();
    ASSERT_EQ(parse_certificate(good.data(), good.size()), 0);
    const bytes bad(good.begin(), good.end() - 1);
    EXPECT_EQ(parse_certificate(bad.data(), bad.size()), 1);
    size_t n = 99;
    EXPECT_EQ(cert_raw_serial(&n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(parse_certificate(nullptr, 0), 1);
}

TEST_F(CertReader, TheScopeFreesTheParsedCertificateOnEveryPath) {
    cert_parts parts;
    const bytes der = parts.build();
    // An early return and an exception both leave the scope.
    auto early_return = [&] {
        const parsed_cert_scope done;
        if (parse_certificate(der.data(), der.size()) == 0) return;
        ADD_FAILURE() << "the certificate should parse";
    };
    early_return();
    EXPECT_EQ(parsed_cert.version, 0);
    size_t n = 99;
    EXPECT_EQ(cert_raw_serial(&n), nullptr);
    try {
        const parsed_cert_scope done;
        ASSERT_EQ(parse_certificate(der.data(), der.size()), 0);
        ASSERT_NE(parsed_cert.version, 0);
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(parsed_cert.version, 0);
}

TEST(CertExport, RsaBlobAndEcPoint) {
    cert_parts parts;
    const bytes rsa_cert = parts.build();
    bool ok = false;
    const std::string modulus =
        run("$OPENSSL rsa -pubin -inform DER -in spki.der -noout -modulus", &ok);
    ASSERT_TRUE(ok);

    uint8_t blob[300];
    size_t len = sizeof blob;
    ASSERT_EQ(cert_export_public_key(1, rsa_cert.data(), rsa_cert.size(), blob, &len), 0);
    ASSERT_EQ(len, 128u + 8);
    EXPECT_EQ(hex(blob, 4), "00000400"); // 1024 bits, big-endian
    EXPECT_EQ("Modulus=" + hex(blob + 4, 128) + "\n", modulus);
    EXPECT_EQ(hex(blob + 132, 4), "00010001");
    len = 135; // one byte short
    EXPECT_EQ(cert_export_public_key(1, rsa_cert.data(), rsa_cert.size(), blob, &len), 1);

    parts.spki = ec_spki("1.2.840.10045.2.1", "1.2.156.10197.1.301"); // SM2 as OpenSSL writes it
    const bytes sm2_cert = parts.build();
    len = 64;
    ASSERT_EQ(cert_export_public_key(2, sm2_cert.data(), sm2_cert.size(), blob, &len), 0);
    EXPECT_EQ(len, 64u);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(blob[i], i + 1);
    len = sizeof blob;
    EXPECT_EQ(cert_export_public_key(1, sm2_cert.data(), sm2_cert.size(), blob, &len), 1);
    EXPECT_EQ(cert_export_public_key(1, rsa_cert.data(), rsa_cert.size() - 1, blob, &len), 1);
}

} // namespace
