// The certificate parser on certificates made by OpenSSL at test time (RSA
// 1024/2048/4096, SM2, EC P-256; with and without extensions; UTCTime and
// GeneralizedTime), compared field by field with what `openssl x509` prints
// and, for the raw DER pieces, with what libcrypto decodes.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "cert_parser.h"
#include "cert_test_support.h"

using namespace certtest;

namespace {

struct cert_case {
    const char* name;
    const char* keygen; // genpkey options
    const char* subject;
    const char* serial;
    int days; // 20000 days puts notAfter past 2049: GeneralizedTime
    bool extensions;
    bool rsa;
};

const char* const extension_options =
    " -addext 'basicConstraints=critical,CA:TRUE,pathlen:3'"
    " -addext 'keyUsage=critical,digitalSignature,keyEncipherment,keyCertSign'"
    " -addext 'extendedKeyUsage=serverAuth,clientAuth,1.2.3.4.5'"
    " -addext 'subjectAltName=DNS:a.example,email:x@y.example,DNS:b.example,IP:10.0.0.1'"
    " -addext 'nsCertType=client,server'"
    " -addext 'subjectKeyIdentifier=hash'";

const cert_case cases[] = {
    {"rsa1024_v1", "-algorithm RSA -pkeyopt rsa_keygen_bits:1024", "/C=CN/O=Org/CN=name", "0x01",
     365, false, true},
    {"rsa2048_ext", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048", "/C=CN/O=Org Ltd/CN=a+UID=b",
     "0x8001020304", 365, true, true},
    {"rsa2048_email", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048",
     "/C=CN/ST=Zhe Jiang/O=Org/OU=Unit/CN=Test Name/emailAddress=t@example.com", "0x7F", 20000,
     false, true},
    {"rsa4096_gen", "-algorithm RSA -pkeyopt rsa_keygen_bits:4096", "/O=Big/CN=big",
     "0x123456789ABCDEF0123456", 20000, true, true},
    {"sm2_ext", "-algorithm SM2", "/C=CN/O=GM/CN=sm2", "0x2A", 20000, true, false},
    {"sm2_v1", "-algorithm SM2", "/CN=sm2 only", "0x80", 365, false, false},
    {"p256_v1", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256", "/O=EC/CN=p256", "0x05", 365,
     false, false},
    {"p256_ext", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256", "/CN=p256 ext", "0x06", 20000,
     true, false},
};

// "dotted=#DER" per attribute, in order, from `-nameopt oid,sep_multiline,dump_all,dump_der`.
std::vector<std::string> openssl_names(const std::string& out, const std::string& which) {
    std::vector<std::string> names;
    std::istringstream in(out);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind(which + "=", 0) == 0) {
            inside = true;
            continue;
        }
        if (!inside) continue;
        if (line.rfind("    ", 0) != 0) break;
        line = line.substr(4);
        for (size_t pos; (pos = line.find(" + ")) != std::string::npos; line = line.substr(pos + 3))
            names.push_back(line.substr(0, pos));
        names.push_back(line);
    }
    return names;
}

std::vector<std::string> our_names(const std::vector<cert_name_entry>& list) {
    std::vector<std::string> names;
    for (const cert_name_entry& e : list) {
        char dotted[128];
        EXPECT_GT(oid_to_dotted_string(dotted, sizeof dotted, &e.oid), 0);
        const bytes der = tlv(static_cast<uint8_t>(e.val.tag), bytes(e.val.p, e.val.p + e.val.len));
        names.push_back(std::string(dotted) + "=#" + hex(der));
    }
    return names;
}

std::string value_of(const std::string& out, const std::string& key) {
    const size_t pos = out.find(key + "=");
    if (pos == std::string::npos) return {};
    const size_t end = out.find('\n', pos);
    return out.substr(pos + key.size() + 1, end - pos - key.size() - 1);
}

// "Dec 10 12:22:57 2026 GMT"
cert_time openssl_time(const std::string& text) {
    static const std::map<std::string, int> months = {
        {"Jan", 1}, {"Feb", 2}, {"Mar", 3}, {"Apr", 4},  {"May", 5},  {"Jun", 6},
        {"Jul", 7}, {"Aug", 8}, {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12}};
    std::istringstream in(text);
    std::string mon, hms;
    cert_time t;
    in >> mon >> t.day >> hms >> t.year;
    t.mon = months.at(mon);
    std::sscanf(hms.c_str(), "%d:%d:%d", &t.hour, &t.min, &t.sec);
    return t;
}

std::string strip_zeros(std::string h) {
    while (h.size() > 2 && h.compare(0, 2, "00") == 0)
        h.erase(0, 2);
    return h;
}

// The line after an extension's heading in `-ext` output.
std::string ext_line(const std::string& out, const std::string& heading) {
    const size_t pos = out.find(heading);
    if (pos == std::string::npos) return {};
    const size_t start = out.find('\n', pos) + 1;
    std::string line = out.substr(start, out.find('\n', start) - start);
    return line.substr(line.find_first_not_of(' '));
}

std::vector<std::string> split_list(const std::string& line) {
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(line);
    while (std::getline(in, item, ','))
        items.push_back(item.substr(item.find_first_not_of(' ')));
    return items;
}

class CertFromOpenssl : public ::testing::TestWithParam<cert_case> {
  protected:
    static void SetUpTestSuite() {
        bool ok = false;
        run("printf '[req]\\ndistinguished_name = dn\\n[dn]\\n' > min.cnf", &ok);
        ASSERT_TRUE(ok);
    }
};

TEST_P(CertFromOpenssl, FieldsMatchOpenssl) {
    const cert_case& c = GetParam();
    const std::string n = c.name;
    bool ok = false;
    std::string cmd =
        "$OPENSSL genpkey " + std::string(c.keygen) + " -out " + n +
        ".key 2>&1 && $OPENSSL req -x509 -new -key " + n +
        ".key -config min.cnf -multivalue-rdn -subj '" + c.subject + "' -set_serial " + c.serial +
        " -days " + std::to_string(c.days) + (c.extensions ? extension_options : "") +
        (c.rsa ? " -sha256"
               : (n.rfind("sm2", 0) == 0 ? " -sm3 -sigopt distid:1234567812345678" : "")) +
        " -outform DER -out " + n + ".der 2>&1";
    const std::string log = run(cmd, &ok);
    ASSERT_TRUE(ok) << cmd << "\n" << log;
    const bytes der = read_file(scratch_dir() + "/" + n + ".der");
    ASSERT_FALSE(der.empty());

    cert_record rec;
    ASSERT_EQ(0, cert_record_parse(&rec, der.data(), der.size()));

    const std::string printed =
        run("$OPENSSL x509 -inform DER -in " + n +
                ".der -noout -serial -startdate -enddate -subject -issuer -modulus"
                " -nameopt oid,sep_multiline,dump_all,dump_der 2>/dev/null",
            &ok);
    const std::string text = run("$OPENSSL x509 -inform DER -in " + n + ".der -noout -text", &ok);

    // Version, serial and its DER.
    const size_t vpos = text.find("Version: ");
    ASSERT_NE(vpos, std::string::npos);
    EXPECT_EQ(rec.version, std::stoi(text.substr(vpos + 9)));
    EXPECT_EQ(rec.version, c.extensions ? 3 : 1);
    EXPECT_EQ(strip_zeros(hex(rec.serial.p, rec.serial.len)),
              strip_zeros(value_of(printed, "serial")));
    EXPECT_EQ(hex(bytes(rec.raw_serial.p, rec.raw_serial.p + rec.raw_serial.len)),
              hex(tlv(0x02, bytes(rec.serial.p, rec.serial.p + rec.serial.len))));
    EXPECT_EQ(rec.raw_serial.tag, 0);

    // Names, as attribute lists and as DER.
    EXPECT_EQ(our_names(rec.subject), openssl_names(printed, "subject"));
    EXPECT_EQ(our_names(rec.issuer), openssl_names(printed, "issuer"));
    const uint8_t* in = der.data();
    X509* x = d2i_X509(nullptr, &in, static_cast<long>(der.size()));
    ASSERT_NE(x, nullptr);
    unsigned char* name_der = nullptr;
    int name_len = i2d_X509_NAME(X509_get_subject_name(x), &name_der);
    EXPECT_EQ(hex(rec.subject_raw.p, rec.subject_raw.len),
              hex(name_der, static_cast<size_t>(name_len)));
    OPENSSL_free(name_der);
    name_der = nullptr;
    name_len = i2d_X509_NAME(X509_get_issuer_name(x), &name_der);
    EXPECT_EQ(hex(rec.issuer_raw.p, rec.issuer_raw.len),
              hex(name_der, static_cast<size_t>(name_len)));
    OPENSSL_free(name_der);

    // Validity.
    const cert_time from = openssl_time(value_of(printed, "notBefore"));
    const cert_time to = openssl_time(value_of(printed, "notAfter"));
    for (auto [ours, theirs] : {std::pair{rec.valid_from, from}, std::pair{rec.valid_to, to}}) {
        EXPECT_EQ(ours.year, theirs.year);
        EXPECT_EQ(ours.mon, theirs.mon);
        EXPECT_EQ(ours.day, theirs.day);
        EXPECT_EQ(ours.hour, theirs.hour);
        EXPECT_EQ(ours.min, theirs.min);
        EXPECT_EQ(ours.sec, theirs.sec);
    }

    // TBS signature algorithm.
    char sig_text[128], our_sig[128];
    const X509_ALGOR* alg = nullptr;
    X509_get0_signature(nullptr, &alg, x);
    const ASN1_OBJECT* alg_oid = nullptr;
    X509_ALGOR_get0(&alg_oid, nullptr, nullptr, alg);
    OBJ_obj2txt(sig_text, sizeof sig_text, alg_oid, 1);
    ASSERT_GT(oid_to_dotted_string(our_sig, sizeof our_sig, &rec.sig_oid1), 0);
    EXPECT_STREQ(our_sig, sig_text);

    if (!c.rsa) {
        // EC and SM2 keys are recognised but not loaded; the parse ends there.
        EXPECT_FALSE(rec.pk.loaded());
        EXPECT_EQ(rec.pk.key.len, 65u);
        EXPECT_EQ(rec.ext_types, 0);
        EXPECT_EQ(rec.sig.len, 0u);
        X509_free(x);
        return;
    }

    // RSA key.
    ASSERT_TRUE(rec.pk.loaded());
    const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(rec.pk.ctx);
    bytes modulus(mbedtls_rsa_get_len(rsa));
    ASSERT_EQ(0, mbedtls_mpi_write_binary(&rsa->N, modulus.data(), modulus.size()));
    EXPECT_EQ(hex(modulus), value_of(printed, "Modulus"));
    const size_t epos = text.find("Exponent: ");
    ASSERT_NE(epos, std::string::npos);
    bytes ebytes(8);
    ASSERT_EQ(0, mbedtls_mpi_write_binary(&rsa->E, ebytes.data(), ebytes.size()));
    unsigned long long evalue = 0;
    for (uint8_t b : ebytes)
        evalue = (evalue << 8) | b;
    EXPECT_EQ(evalue, std::stoull(text.substr(epos + 10)));

    // Outer signature.
    const ASN1_BIT_STRING* sig = nullptr;
    X509_get0_signature(&sig, nullptr, x);
    EXPECT_EQ(hex(rec.sig.p, rec.sig.len), hex(sig->data, static_cast<size_t>(sig->length)));
    X509_free(x);

    // Extensions.
    if (!c.extensions) {
        EXPECT_EQ(rec.ext_types, 0);
        EXPECT_EQ(rec.v3_ext.len, 0u);
        return;
    }
    const std::string ext = run(
        "$OPENSSL x509 -inform DER -in " + n +
            ".der -noout -ext basicConstraints,keyUsage,extendedKeyUsage,subjectAltName,nsCertType",
        &ok);
    EXPECT_EQ(rec.ext_types, 0x4 | 0x20 | 0x100 | 0x800 | 0x10000);
    const std::string bc = ext_line(ext, "Basic Constraints");
    EXPECT_EQ(rec.ca_istrue, bc.find("CA:TRUE") != std::string::npos ? 1 : 0);
    const size_t pl = bc.find("pathlen:");
    ASSERT_NE(pl, std::string::npos);
    EXPECT_EQ(rec.max_pathlen, std::stoi(bc.substr(pl + 8)) + 1);

    static const std::map<std::string, int> key_usage_bits = {
        {"Digital Signature", 0x80}, {"Non Repudiation", 0x40}, {"Key Encipherment", 0x20},
        {"Data Encipherment", 0x10}, {"Key Agreement", 0x08},   {"Certificate Sign", 0x04},
        {"CRL Sign", 0x02},          {"Encipher Only", 0x01}};
    int usage = 0;
    for (const std::string& item : split_list(ext_line(ext, "Key Usage")))
        usage |= key_usage_bits.at(item);
    EXPECT_EQ(rec.key_usage, usage);

    static const std::map<std::string, std::string> eku_oids = {
        {"TLS Web Server Authentication", "1.3.6.1.5.5.7.3.1"},
        {"TLS Web Client Authentication", "1.3.6.1.5.5.7.3.2"}};
    std::vector<std::string> ours, theirs;
    for (const cert_span& o : rec.ext_key_usage) {
        char dotted[64];
        ASSERT_GT(oid_to_dotted_string(dotted, sizeof dotted, &o), 0);
        ours.push_back(dotted);
    }
    for (const std::string& item : split_list(ext_line(ext, "Extended Key Usage")))
        theirs.push_back(eku_oids.count(item) ? eku_oids.at(item) : item);
    EXPECT_EQ(ours, theirs);

    ours.clear();
    theirs.clear();
    for (const cert_span& s : rec.subject_alt_names)
        ours.emplace_back(reinterpret_cast<const char*>(s.p), s.len);
    for (const std::string& item : split_list(ext_line(ext, "Subject Alternative Name")))
        if (item.rfind("DNS:", 0) == 0) theirs.push_back(item.substr(4));
    EXPECT_EQ(ours, theirs);

    static const std::map<std::string, int> ns_bits = {
        {"SSL Client", 0x80}, {"SSL Server", 0x40}, {"S/MIME", 0x20}};
    int ns = 0;
    for (const std::string& item : split_list(ext_line(ext, "Netscape Cert Type")))
        ns |= ns_bits.at(item);
    EXPECT_EQ(rec.ns_cert_type, ns);
}

INSTANTIATE_TEST_SUITE_P(Generated, CertFromOpenssl, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
