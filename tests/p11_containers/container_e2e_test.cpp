// Key containers through the built module (dlopen + C_GetFunctionList) on a
// simulated token behind pcscd: certificates and private keys stored as token
// objects, read back by another process and after the card was taken out and
// put back (state image), two processes changing one token, and a container
// holding a signature and an exchange pair.
//
// Other processes are this test binary run again with P11C_ROLE set: the
// helper test "ContainerHelper.role" then plays that role and exits.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "p11_objects.h"
#include "test_hex.h"
#include "test_process.h"
#include "token_session.h"

using cardsim::test::simulated_token;

namespace {

constexpr CK_RV ZELT_CKR_CONTAINER_NOT_FOUND = 0x800003E8UL;
constexpr CK_RV ZELT_CKR_CONTAINER_EXISTS = 0x800003E9UL;
using test_support::env;
using test_support::read_lines;
using test_support::so_pin;
using test_support::user_pin;

using bytes = std::vector<uint8_t>;

cardsim::card_options token_options(const std::string& image = {}) {
    cardsim::card_options o = test_support::module_token_options();
    o.image_path = image;
    return o;
}

CK_UTF8CHAR_PTR text(const char* s) {
    return test_support::utf8(s);
}

bytes bn_param(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return {};
    bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

struct rsa_key {
    bytes n, e, d, p, q, dp, dq, qi;
    bytes cert_der; // self-signed certificate of the key
};

rsa_key make_key(int bits, const char* cn) {
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    rsa_key k{bn_param(key, OSSL_PKEY_PARAM_RSA_N),
              bn_param(key, OSSL_PKEY_PARAM_RSA_E),
              bn_param(key, OSSL_PKEY_PARAM_RSA_D),
              bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
              bn_param(key, OSSL_PKEY_PARAM_RSA_FACTOR2),
              bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
              bn_param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2),
              bn_param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1),
              {}};
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24 * 365);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                               -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    const int len = i2d_X509(x, nullptr);
    k.cert_der.resize(static_cast<size_t>(len));
    unsigned char* p = k.cert_der.data();
    i2d_X509(x, &p);
    X509_free(x);
    EVP_PKEY_free(key);
    return k;
}

// The test's side of the module: a session on slot 0 with the user logged in.
class module_client {
  public:
    bool start(bool init_pin) {
        if (module().f == nullptr) return false;
        f = module().f;
        m = module().m;
        if (f->C_Initialize(nullptr) != CKR_OK) return false;
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n == 0) return false;
        if (init_pin) {
            CK_SESSION_HANDLE so = 0;
            if (f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &so) !=
                CKR_OK)
                return false;
            if (f->C_Login(so, CKU_SO, text(so_pin), strlen(so_pin)) != CKR_OK) return false;
            if (f->C_InitPIN(so, text(user_pin), strlen(user_pin)) != CKR_OK) return false;
            f->C_CloseSession(so);
        }
        if (f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) !=
            CKR_OK)
            return false;
        return f->C_Login(s, CKU_USER, text(user_pin), strlen(user_pin)) == CKR_OK;
    }
    void stop() {
        if (f != nullptr) f->C_Finalize(nullptr);
    }

    CK_RV store_cert(const bytes& der, const bytes& id, const std::string& label,
                     CK_OBJECT_HANDLE* h = nullptr) {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE t[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
            {CKA_TOKEN, &yes, 1},
            {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
            {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()},
        };
        CK_OBJECT_HANDLE dummy = 0;
        return f->C_CreateObject(s, t, std::size(t), h != nullptr ? h : &dummy);
    }

    // A token RSA private key; `components` 8 (all), 3 (n, e, d) or 2 (n, d).
    CK_RV store_key(const rsa_key& k, const bytes& id, int components,
                    const char* container = nullptr, CK_ULONG key_spec = 0,
                    CK_OBJECT_HANDLE* h = nullptr) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_KEY_TYPE kt = CKK_RSA;
        CK_BBOOL yes = CK_TRUE;
        std::vector<CK_ATTRIBUTE> t = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_KEY_TYPE, &kt, sizeof kt},
            {CKA_TOKEN, &yes, 1},
            {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
            {CKA_MODULUS, const_cast<uint8_t*>(k.n.data()), k.n.size()},
            {CKA_PRIVATE_EXPONENT, const_cast<uint8_t*>(k.d.data()), k.d.size()},
        };
        if (components >= 3)
            t.push_back({CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(k.e.data()), k.e.size()});
        if (components == 8) {
            t.push_back({CKA_PRIME_1, const_cast<uint8_t*>(k.p.data()), k.p.size()});
            t.push_back({CKA_PRIME_2, const_cast<uint8_t*>(k.q.data()), k.q.size()});
            t.push_back({CKA_EXPONENT_1, const_cast<uint8_t*>(k.dp.data()), k.dp.size()});
            t.push_back({CKA_EXPONENT_2, const_cast<uint8_t*>(k.dq.data()), k.dq.size()});
            t.push_back({CKA_COEFFICIENT, const_cast<uint8_t*>(k.qi.data()), k.qi.size()});
        }
        if (container != nullptr)
            t.push_back(
                {ZELT_CKA_CONTAINER_NAME, const_cast<char*>(container), strlen(container) + 1});
        if (key_spec != 0) t.push_back({ZELT_CKA_KEY_SPEC, &key_spec, sizeof key_spec});
        CK_OBJECT_HANDLE dummy = 0;
        return f->C_CreateObject(s, t.data(), t.size(), h != nullptr ? h : &dummy);
    }

    std::vector<CK_OBJECT_HANDLE> find(CK_OBJECT_CLASS cls, const bytes* id = nullptr) {
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}};
        if (id != nullptr) t.push_back({CKA_ID, const_cast<uint8_t*>(id->data()), id->size()});
        return test_support::find_objects(f, s, std::move(t));
    }

    std::optional<bytes> attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        return test_support::attribute_value(f, s, h, type);
    }
    CK_ULONG ulong_attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ULONG v = 0;
        CK_ATTRIBUTE a{type, &v, sizeof v};
        return f->C_GetAttributeValue(s, h, &a, 1) == CKR_OK ? v : ~CK_ULONG{0};
    }
    // Certificate values (DER) of the token.
    std::vector<bytes> certificates() {
        std::vector<bytes> out;
        for (CK_OBJECT_HANDLE h : find(CKO_CERTIFICATE))
            if (auto v = attribute(h, CKA_VALUE)) out.push_back(*v);
        return out;
    }
    std::vector<std::string> containers() {
        CK_ULONG size = 0;
        std::vector<std::string> out;
        if (m->M_EnumContainer(s, nullptr, &size) != CKR_OK) return out;
        std::string buffer(size, '\0');
        if (m->M_EnumContainer(s, buffer.data(), &size) != CKR_OK) return out;
        for (size_t pos = 0; pos < size;) {
            const std::string name(buffer.c_str() + pos);
            out.push_back(name);
            pos += name.size() + 1;
        }
        return out;
    }

    CK_FUNCTION_LIST* f = nullptr;
    M_FUNCTION_LIST* m = nullptr;
    CK_SESSION_HANDLE s = 0;
};

// A certificate's value with the attributes read from it, as one line:
// CKA_VALUE, CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_SUBJECT, CKA_START_DATE and
// CKA_END_DATE in hex.
std::string fields_line(const std::vector<bytes>& values) {
    std::string line;
    for (const bytes& v : values)
        line += (line.empty() ? "" : " ") + test_support::to_hex(v);
    return line;
}

// The same line for a DER certificate, the attributes taken by OpenSSL.
std::string expected_fields(const bytes& value, const bytes& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr) return "not a certificate";
    const auto encoded = [](auto* item, auto encode) {
        bytes out(static_cast<size_t>(encode(item, nullptr)));
        unsigned char* q = out.data();
        encode(item, &q);
        return out;
    };
    const auto date = [](const ASN1_TIME* t) {
        std::tm tm{};
        ASN1_TIME_to_tm(t, &tm);
        char text[32];
        std::snprintf(text, sizeof text, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday);
        return bytes(text, text + std::strlen(text));
    };
    const std::string line =
        fields_line({value, encoded(X509_get0_serialNumber(x), i2d_ASN1_INTEGER),
                     encoded(X509_get_issuer_name(x), i2d_X509_NAME),
                     encoded(X509_get_subject_name(x), i2d_X509_NAME), date(X509_get0_notBefore(x)),
                     date(X509_get0_notAfter(x))});
    X509_free(x);
    return line;
}

bool contains(const std::vector<bytes>& list, const bytes& v) {
    return std::find(list.begin(), list.end(), v) != list.end();
}

// Runs this binary again as another process in `role`; its exit status.
int run_role(const std::string& role, std::map<std::string, std::string> vars = {}) {
    vars["P11C_ROLE"] = role;
    return test_support::run_self("ContainerHelper.role", vars);
}

std::string hex(const bytes& b) {
    return test_support::to_hex(b);
}
bytes unhex(const std::string& s) {
    return test_support::from_hex(s);
}

class ContainerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("p11c-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        image_ = (dir_ / "card.img").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
    std::string image_;
};

} // namespace

// ---- the other process ----

// Roles (P11C_ROLE): "list" writes the token's certificates (hex, one a line)
// to P11C_OUT; "fields" writes there the fields_line of every certificate;
// "store" stores the certificate P11C_CERT (hex) with id P11C_ID; "delete"
// destroys the certificates whose value is P11C_CERT.
TEST(ContainerHelper, role) {
    const std::string role = env("P11C_ROLE");
    if (role.empty()) GTEST_SKIP() << "run by the other tests";
    module_client c;
    ASSERT_TRUE(c.start(false));
    if (role == "list") {
        FILE* out = fopen(env("P11C_OUT").c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (const bytes& v : c.certificates())
            fprintf(out, "%s\n", hex(v).c_str());
        for (CK_OBJECT_HANDLE h : c.find(CKO_PRIVATE_KEY))
            if (auto id = c.attribute(h, CKA_ID)) fprintf(out, "key %s\n", hex(*id).c_str());
        fclose(out);
    } else if (role == "fields") {
        FILE* out = fopen(env("P11C_OUT").c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (CK_OBJECT_HANDLE h : c.find(CKO_CERTIFICATE)) {
            std::vector<bytes> values;
            for (CK_ATTRIBUTE_TYPE type : {CKA_VALUE, CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_SUBJECT,
                                           CKA_START_DATE, CKA_END_DATE})
                values.push_back(c.attribute(h, type).value_or(bytes{}));
            fprintf(out, "%s\n", fields_line(values).c_str());
        }
        fclose(out);
    } else if (role == "store") {
        ASSERT_EQ(c.store_cert(unhex(env("P11C_CERT")), unhex(env("P11C_ID")), "other"), CKR_OK);
    } else if (role == "delete") {
        const bytes wanted = unhex(env("P11C_CERT"));
        int n = 0;
        for (CK_OBJECT_HANDLE h : c.find(CKO_CERTIFICATE))
            if (c.attribute(h, CKA_VALUE) == wanted) {
                ASSERT_EQ(c.f->C_DestroyObject(c.s, h), CKR_OK);
                ++n;
            }
        ASSERT_EQ(n, 1);
    }
    c.stop();
}

namespace {} // namespace

TEST_F(ContainerTest, certificate_and_key_survive_another_process_and_a_reinsertion_of_the_card) {
    const rsa_key k = make_key(2048, "alice");
    const bytes id{0x01};
    {
        simulated_token token(token_options(image_));
        ASSERT_TRUE(token.inserted()) << token.error();
        module_client c;
        ASSERT_TRUE(c.start(true));
        const size_t before = c.containers().size();
        ASSERT_EQ(c.store_cert(k.cert_der, id, "alice"), CKR_OK);
        ASSERT_EQ(c.store_key(k, id, 8), CKR_OK);
        // Both went into one container, and the certificate came back as stored.
        EXPECT_EQ(c.containers().size(), before + 1);
        EXPECT_EQ(c.certificates(), std::vector<bytes>{k.cert_der});
        // The private components did not stay in memory.
        const auto keys = c.find(CKO_PRIVATE_KEY, &id);
        ASSERT_EQ(keys.size(), 1u);
        EXPECT_FALSE(c.attribute(keys[0], CKA_PRIVATE_EXPONENT).has_value());

        const std::string out = (dir_ / "list1").string();
        ASSERT_EQ(run_role("list", {{"P11C_OUT", out}}), 0);
        const auto lines = read_lines(out);
        EXPECT_EQ(lines, (std::vector<std::string>{hex(k.cert_der), "key " + hex(id)}));
        c.stop();
    }
    // The card is taken out and put back: the image keeps its state.
    simulated_token token(token_options(image_));
    ASSERT_TRUE(token.inserted()) << token.error();
    const std::string out = (dir_ / "list2").string();
    ASSERT_EQ(run_role("list", {{"P11C_OUT", out}}), 0);
    EXPECT_EQ(read_lines(out), (std::vector<std::string>{hex(k.cert_der), "key " + hex(id)}));
}

// Certificates stored by this process as the application gave them (the
// second padded with zeros, as a fixed-size file holds it) are read by
// another process from the card: the value comes back as stored, and the
// serial, issuer, subject and dates are the certificate's.
TEST_F(ContainerTest, another_process_reads_the_fields_of_certificates_with_or_without_padding) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    struct row {
        const char* cn;
        size_t padding;
    };
    const row rows[] = {{"plain", 0}, {"padded", 32}};
    module_client c;
    ASSERT_TRUE(c.start(true));
    std::vector<std::string> expected;
    uint8_t id = 0x50;
    for (const row& r : rows) {
        const rsa_key k = make_key(1024, r.cn);
        bytes value = k.cert_der;
        value.insert(value.end(), r.padding, 0x00);
        ASSERT_EQ(c.store_cert(value, {id++}, r.cn), CKR_OK) << r.cn;
        expected.push_back(expected_fields(value, k.cert_der));
    }
    c.stop();
    const std::string out = (dir_ / "fields").string();
    ASSERT_EQ(run_role("fields", {{"P11C_OUT", out}}), 0);
    auto lines = read_lines(out);
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

TEST_F(ContainerTest, two_processes_see_each_others_changes_and_neither_loses_one) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key a = make_key(1024, "a");
    const rsa_key b = make_key(1024, "b");
    const rsa_key c3 = make_key(1024, "c");
    module_client c;
    ASSERT_TRUE(c.start(true));
    ASSERT_EQ(c.store_cert(a.cert_der, {0xA}, "a"), CKR_OK);
    EXPECT_EQ(c.certificates().size(), 1u);

    // The other process stores b; this one stores c before its next search.
    ASSERT_EQ(run_role("store", {{"P11C_CERT", hex(b.cert_der)}, {"P11C_ID", "0b"}}), 0);
    ASSERT_EQ(c.store_cert(c3.cert_der, {0xC}, "c"), CKR_OK);
    auto certs = c.certificates();
    EXPECT_EQ(certs.size(), 3u);
    EXPECT_TRUE(contains(certs, a.cert_der));
    EXPECT_TRUE(contains(certs, b.cert_der)) << "the other process's certificate was missed";
    EXPECT_TRUE(contains(certs, c3.cert_der));

    // The other process deletes a; this process no longer lists it.
    ASSERT_EQ(run_role("delete", {{"P11C_CERT", hex(a.cert_der)}}), 0);
    certs = c.certificates();
    EXPECT_EQ(certs.size(), 2u);
    EXPECT_FALSE(contains(certs, a.cert_der));
    c.stop();
}

// M_ForceLogout takes the key and certificate objects with the login, as a
// logout does: the next search reads them again, and every object of the
// card is listed once (public ones before the new login, all after it).
TEST_F(ContainerTest, a_forced_logout_and_a_new_login_list_each_object_once) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key k = make_key(1024, "k");
    const bytes id{0x4B};
    module_client c;
    ASSERT_TRUE(c.start(true));
    ASSERT_EQ(c.store_key(k, id, 8), CKR_OK);
    ASSERT_EQ(c.store_cert(k.cert_der, id, "k"), CKR_OK);
    // Objects by class, from a search with an empty template.
    const auto classes = [&c] {
        std::map<CK_ULONG, int> n;
        if (c.f->C_FindObjectsInit(c.s, nullptr, 0) != CKR_OK) return n;
        CK_OBJECT_HANDLE h[16];
        CK_ULONG count = 0;
        while (c.f->C_FindObjects(c.s, h, 16, &count) == CKR_OK && count > 0)
            for (CK_ULONG i = 0; i < count; ++i)
                ++n[c.ulong_attribute(h[i], CKA_CLASS)];
        c.f->C_FindObjectsFinal(c.s);
        return n;
    };
    using counts = std::map<CK_ULONG, int>;
    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    EXPECT_EQ(classes(), (counts{{CKO_CERTIFICATE, 1}, {CKO_PUBLIC_KEY, 1}, {CKO_PRIVATE_KEY, 1}}));
    const auto force_logout = reinterpret_cast<M_ForceLogout_FN>(module().symbol("M_ForceLogout"));
    ASSERT_NE(force_logout, nullptr);
    ASSERT_EQ(force_logout(0), CKR_OK);
    EXPECT_EQ(classes(), (counts{{CKO_CERTIFICATE, 1}, {CKO_PUBLIC_KEY, 1}}));
    ASSERT_EQ(c.f->C_Login(c.s, CKU_USER, text(user_pin), strlen(user_pin)), CKR_OK);
    EXPECT_EQ(classes(), (counts{{CKO_CERTIFICATE, 1}, {CKO_PUBLIC_KEY, 1}, {CKO_PRIVATE_KEY, 1}}));
    c.stop();
}

TEST_F(ContainerTest, a_container_keeps_its_signature_and_exchange_pairs_apart) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key sig = make_key(2048, "sig");
    const rsa_key exch = make_key(1024, "exch");
    module_client c;
    ASSERT_TRUE(c.start(true));
    ASSERT_EQ(c.store_key(sig, {}, 8, "both", 2), CKR_OK);
    ASSERT_EQ(c.store_key(exch, {}, 3, "both", 1), CKR_OK);
    uint8_t type = 0, sign_cert = 0, exch_cert = 0;
    CK_ULONG sign_bits = 0, exch_bits = 0;
    ASSERT_EQ(
        c.m->M_GetContainerInfo(c.s, "both", &type, &sign_bits, &exch_bits, &sign_cert, &exch_cert),
        CKR_OK);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(sign_bits, 2048u);
    EXPECT_EQ(exch_bits, 1024u);

    // Read back from the card: two public keys, each with its own modulus,
    // and each private key with its own pair's modulus.
    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    std::map<CK_ULONG, bytes> public_modulus, private_modulus;
    for (CK_OBJECT_CLASS cls : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY})
        for (CK_OBJECT_HANDLE h : c.find(cls)) {
            auto name = c.attribute(h, ZELT_CKA_CONTAINER_NAME);
            if (!name || std::string(reinterpret_cast<const char*>(name->data())) != "both")
                continue;
            auto mod = c.attribute(h, CKA_MODULUS);
            ASSERT_TRUE(mod.has_value());
            (cls == CKO_PUBLIC_KEY ? public_modulus
                                   : private_modulus)[c.ulong_attribute(h, ZELT_CKA_KEY_SPEC)] =
                *mod;
        }
    ASSERT_EQ(public_modulus.size(), 2u);
    EXPECT_EQ(public_modulus[2], sig.n);
    EXPECT_EQ(public_modulus[1], exch.n);
    EXPECT_EQ(private_modulus[2], sig.n);
    EXPECT_EQ(private_modulus[1], exch.n);
}

TEST_F(ContainerTest, keys_without_a_name_get_their_own_containers_and_bad_keys_are_refused) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key a = make_key(1024, "a");
    const rsa_key b = make_key(1024, "b");
    module_client c;
    ASSERT_TRUE(c.start(true));
    const size_t before = c.containers().size();
    // Same default label, same key spec, same second: distinct containers.
    ASSERT_EQ(c.store_key(a, {0x1}, 3), CKR_OK);
    ASSERT_EQ(c.store_key(b, {0x2}, 3), CKR_OK);
    EXPECT_EQ(c.containers().size(), before + 2);
    // A key without its public exponent is refused, and leaves nothing behind.
    EXPECT_EQ(c.store_key(a, {0x3}, 2), CKR_TEMPLATE_INCOMPLETE);
    EXPECT_EQ(c.containers().size(), before + 2);
    // A container cannot be named after one of the token's own files.
    for (const char* name : {"CacheFile", "cmapfile", "cardcf", "PUBOBJ0"})
        EXPECT_NE(c.m->M_CreateContainer(c.s, name), CKR_OK) << name;
    EXPECT_NE(c.store_key(a, {0x4}, 8, "CacheFile"), CKR_OK);

    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    const auto keys = c.find(CKO_PRIVATE_KEY);
    ASSERT_EQ(keys.size(), 2u);
    std::vector<bytes> moduli;
    for (CK_OBJECT_HANDLE h : keys)
        moduli.push_back(c.attribute(h, CKA_MODULUS).value_or(bytes{}));
    EXPECT_TRUE(contains(moduli, a.n));
    EXPECT_TRUE(contains(moduli, b.n));
}

TEST_F(ContainerTest, destroying_a_copy_of_a_card_certificate_leaves_the_original) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key a = make_key(1024, "a");
    module_client c;
    ASSERT_TRUE(c.start(true));
    CK_OBJECT_HANDLE original = 0;
    ASSERT_EQ(c.store_cert(a.cert_der, {0x1}, "a", &original), CKR_OK);
    CK_OBJECT_HANDLE copy = 0;
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE t[] = {{CKA_TOKEN, &no, 1}};
    ASSERT_EQ(c.f->C_CopyObject(c.s, original, t, 1, &copy), CKR_OK);
    ASSERT_EQ(c.f->C_DestroyObject(c.s, copy), CKR_OK);
    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    EXPECT_EQ(c.certificates(), std::vector<bytes>{a.cert_der});
}

TEST_F(ContainerTest, enum_and_delete_containers) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    module_client c;
    ASSERT_TRUE(c.start(true));
    const auto before = c.containers();
    ASSERT_EQ(c.m->M_CreateContainer(c.s, "a"), CKR_OK);
    ASSERT_EQ(c.m->M_CreateContainer(c.s, "bc"), CKR_OK);
    EXPECT_EQ(c.m->M_CreateContainer(c.s, "a"), ZELT_CKR_CONTAINER_EXISTS);
    auto names = c.containers();
    ASSERT_EQ(names.size(), before.size() + 2);
    EXPECT_EQ(names[names.size() - 2], "a");
    EXPECT_EQ(names.back(), "bc");

    // A buffer one byte short of the list.
    CK_ULONG size = 0;
    ASSERT_EQ(c.m->M_EnumContainer(c.s, nullptr, &size), CKR_OK);
    std::string buffer(size, '\0');
    CK_ULONG shorter = size - 1;
    EXPECT_EQ(c.m->M_EnumContainer(c.s, buffer.data(), &shorter), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(shorter, size);

    // A certificate in "bc"; deleting the container deletes its objects.
    const rsa_key k = make_key(1024, "k");
    const bytes id{0x42};
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                        {ZELT_CKA_CONTAINER_NAME, const_cast<char*>("bc"), 3},
                        {CKA_VALUE, const_cast<uint8_t*>(k.cert_der.data()), k.cert_der.size()}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.f->C_CreateObject(c.s, t, std::size(t), &h), CKR_OK);
    EXPECT_EQ(c.certificates().size(), 1u);
    EXPECT_EQ(c.m->M_DeleteContainer(c.s, "bc"), CKR_OK);
    EXPECT_EQ(c.certificates().size(), 0u);
    EXPECT_EQ(c.containers().size(), before.size() + 1);
    EXPECT_EQ(c.m->M_DeleteContainer(c.s, "bc"), ZELT_CKR_CONTAINER_NOT_FOUND);
}

TEST_F(ContainerTest, identifiers_come_back_whole_binary_and_at_their_new_length) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key a = make_key(1024, "a");
    const rsa_key b = make_key(1024, "b");
    module_client c;
    ASSERT_TRUE(c.start(true));
    // A 40-byte identifier with NULs inside (a SHA-1 key id may hold zeros).
    bytes long_id(40);
    for (size_t i = 0; i < long_id.size(); ++i)
        long_id[i] = static_cast<uint8_t>(i % 4 == 1 ? 0 : 0xA0 + i);
    ASSERT_EQ(c.store_key(a, long_id, 8, "ids", 1), CKR_OK);
    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    auto keys = c.find(CKO_PRIVATE_KEY, &long_id);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(c.attribute(keys[0], CKA_ID), long_id);

    // The second pair of the container brings a shorter identifier: both
    // pairs share it afterwards, with no tail of the old one.
    const bytes short_id{0x05, 0x00, 0x07};
    ASSERT_EQ(c.store_key(b, short_id, 8, "ids", 2), CKR_OK);
    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    keys = c.find(CKO_PRIVATE_KEY);
    ASSERT_EQ(keys.size(), 2u);
    for (CK_OBJECT_HANDLE h : keys)
        EXPECT_EQ(c.attribute(h, CKA_ID), short_id);
}

TEST_F(ContainerTest, what_stays_in_memory_and_what_cannot_be_stored) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key k = make_key(1024, "k");
    module_client c;
    ASSERT_TRUE(c.start(true));
    const size_t before = c.containers().size();

    // A token public key is listed but not written to the card.
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_KEY_TYPE, &kt, sizeof kt},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_MODULUS, const_cast<uint8_t*>(k.n.data()), k.n.size()},
                          {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(k.e.data()), k.e.size()}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.f->C_CreateObject(c.s, pub, std::size(pub), &h), CKR_OK);
    EXPECT_EQ(c.find(CKO_PUBLIC_KEY).size(), 1u);
    EXPECT_EQ(c.containers().size(), before);

    // A certificate with neither CKA_ID nor container name has no container.
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cert, sizeof cert},
                        {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_VALUE, const_cast<uint8_t*>(k.cert_der.data()), k.cert_der.size()}};
    EXPECT_EQ(c.f->C_CreateObject(c.s, t, std::size(t), &h), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(c.certificates().size(), 0u);
    EXPECT_EQ(c.containers().size(), before);
}

TEST_F(ContainerTest, an_sm2_key_is_imported_with_its_public_point_and_read_back_from_the_card) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    ASSERT_NE(key, nullptr);
    bytes point(65);
    size_t point_len = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                              point.size(), &point_len),
              1);
    ASSERT_EQ(point_len, 65u);
    bytes priv = bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY);
    EVP_PKEY_free(key);
    priv.insert(priv.begin(), 32 - priv.size(), 0);

    module_client c;
    ASSERT_TRUE(c.start(true));
    const bytes id{'s', 'm', '2'};
    CK_KEY_TYPE sm2 = ZELT_CKK_SM2;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG spec = 2;
    bytes wrapped{0x04, 0x41};
    wrapped.insert(wrapped.end(), point.begin(), point.end());
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &pub_class, sizeof pub_class},
                          {CKA_KEY_TYPE, &sm2, sizeof sm2},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                          {CKA_EC_POINT, wrapped.data(), wrapped.size()}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(c.f->C_CreateObject(c.s, pub, std::size(pub), &h), CKR_OK);

    // Without its private value the key is refused; with it, it goes to the card.
    CK_OBJECT_CLASS priv_class = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &priv_class, sizeof priv_class},
                                   {CKA_KEY_TYPE, &sm2, sizeof sm2},
                                   {CKA_TOKEN, &yes, 1},
                                   {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
                                   {ZELT_CKA_KEY_SPEC, &spec, sizeof spec}};
    EXPECT_NE(c.f->C_CreateObject(c.s, t.data(), t.size(), &h), CKR_OK);
    t.push_back({CKA_VALUE, priv.data(), priv.size()});
    ASSERT_EQ(c.f->C_CreateObject(c.s, t.data(), t.size(), &h), CKR_OK);

    ASSERT_EQ(c.m->M_ReloadObjects(c.s), CKR_OK);
    // The public key built from the container (the application's own token
    // public key stays in memory beside it).
    std::vector<CK_OBJECT_HANDLE> keys;
    for (CK_OBJECT_HANDLE k : c.find(CKO_PUBLIC_KEY, &id))
        if (c.attribute(k, ZELT_CKA_CONTAINER_NAME).has_value()) keys.push_back(k);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(c.attribute(keys[0], CKA_EC_POINT), wrapped);
    EXPECT_EQ(c.ulong_attribute(keys[0], ZELT_CKA_KEY_SPEC), 2u);
    EXPECT_EQ(c.attribute(keys[0], CKA_ID), id); // the identifier file came back
    EXPECT_EQ(c.find(CKO_PRIVATE_KEY, &id).size(), 1u);
}

TEST_F(ContainerTest,
       removing_the_last_certificate_and_key_takes_the_container_and_its_identifier_file) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    const rsa_key k = make_key(1024, "k");
    module_client c;
    ASSERT_TRUE(c.start(true));
    CK_ULONG size = 0, read_rights = 0, write_rights = 0;
    // The change counter exists once the token was searched: 4 bytes, anyone may read and write it.
    (void)c.find(CKO_CERTIFICATE);
    ASSERT_EQ(c.m->M_GetFileInfo(c.s, "CacheFile", &size, &read_rights, &write_rights), CKR_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(read_rights, 0xFFu);
    EXPECT_EQ(write_rights, 0xFFu);

    const size_t before = c.containers().size();
    const bytes id{'k', 'e', 'y', '0', '1'};
    CK_OBJECT_HANDLE cert = 0, key = 0;
    ASSERT_EQ(c.store_key(k, id, 8, "gone", 1, &key), CKR_OK);
    ASSERT_EQ(c.store_cert(k.cert_der, id, "k", &cert), CKR_OK);
    ASSERT_EQ(c.containers().size(), before + 1);
    ASSERT_EQ(c.m->M_GetFileInfo(c.s, "gone", &size, &read_rights, &write_rights), CKR_OK);
    EXPECT_EQ(size, id.size());

    ASSERT_EQ(c.f->C_DestroyObject(c.s, cert), CKR_OK);
    EXPECT_EQ(c.containers().size(), before + 1); // the key is still there
    ASSERT_EQ(c.f->C_DestroyObject(c.s, key), CKR_OK);
    EXPECT_EQ(c.containers().size(), before);
    EXPECT_NE(c.m->M_GetFileInfo(c.s, "gone", &size, &read_rights, &write_rights), CKR_OK);
    EXPECT_EQ(c.m->M_GetFileInfo(c.s, "CacheFile", &size, &read_rights, &write_rights), CKR_OK);
    EXPECT_TRUE(c.find(CKO_PUBLIC_KEY, &id).empty()); // the public half went with the pair
}
