// What applications and the host expect of the module, on a simulated token
// behind pcscd: a forked child initialises afresh and both processes sign,
// C_Finalize ends sessions and logins, the card traffic of the frequent calls,
// the public exponent of a generated pair, and certificates found by label.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cardsim_harness.h"
#include "module_loader.h"
#include "p11_objects.h"
#include "test_process.h"
#include "token_session.h"

using cardsim::test::simulated_token;

namespace {

using bytes = std::vector<uint8_t>;

using test_support::so_pin;
using test_support::user_pin;

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(token_.inserted()) << token_.error();
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        slot = first_slot();
        ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        ASSERT_TRUE(test_support::login_new_user(f, h));
    }
    void TearDown() override {
        if (f != nullptr) f->C_Finalize(nullptr);
    }

    CK_SLOT_ID first_slot() {
        CK_ULONG n = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n == 0) return ~CK_SLOT_ID{0};
        std::vector<CK_SLOT_ID> slots(n);
        if (f->C_GetSlotList(CK_TRUE, slots.data(), &n) != CKR_OK) return ~CK_SLOT_ID{0};
        return slots[0];
    }

    CK_RV generate(CK_SESSION_HANDLE s, const char* label, CK_OBJECT_HANDLE& pub,
                   CK_OBJECT_HANDLE& priv, const bytes& exponent = {}) {
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        std::vector<CK_ATTRIBUTE> pt{
            {CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_VERIFY, &yes, 1}};
        if (!exponent.empty())
            pt.push_back(
                {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(exponent.data()), exponent.size()});
        std::vector<CK_ATTRIBUTE> st{
            {CKA_TOKEN, &yes, 1},
            {CKA_PRIVATE, &yes, 1},
            {CKA_SIGN, &yes, 1},
            {CKA_LABEL, const_cast<char*>(label), (CK_ULONG)std::strlen(label)}};
        return f->C_GenerateKeyPair(s, &m, pt.data(), pt.size(), st.data(), st.size(), &pub, &priv);
    }

    // Handles of the objects of a class with a label.
    std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls,
                                       const char* label) {
        std::vector<CK_ATTRIBUTE> t{{CKA_CLASS, &cls, sizeof cls}};
        if (label != nullptr)
            t.push_back({CKA_LABEL, const_cast<char*>(label), (CK_ULONG)std::strlen(label)});
        return test_support::find_objects(f, s, std::move(t));
    }

    // Signs and verifies on the token; CKR_OK when both succeed.
    CK_RV sign_and_verify(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE priv, CK_OBJECT_HANDLE pub) {
        CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_BYTE data[] = "data signed in one process or the other";
        CK_BYTE sig[512];
        CK_ULONG n = sizeof sig;
        if (CK_RV rv = f->C_SignInit(s, &m, priv); rv != CKR_OK) return rv;
        if (CK_RV rv = f->C_Sign(s, data, sizeof data, sig, &n); rv != CKR_OK) return rv;
        if (CK_RV rv = f->C_VerifyInit(s, &m, pub); rv != CKR_OK) return rv;
        return f->C_Verify(s, data, sizeof data, sig, n);
    }

    size_t apdus() { return token_.sim().apdu_log().size(); }

    simulated_token token_{test_support::module_token_options()};
    CK_FUNCTION_LIST* f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
};

// The child's steps; its exit code is the number of the first that failed.
int child_steps(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE parent_session, CK_SLOT_ID slot) {
    int step = 1;
    // Nothing of the parent's library is the child's: it is not initialised,
    // and C_Finalize does not wait for the parent's slot-event thread.
    if (f->C_Finalize(nullptr) != CKR_CRYPTOKI_NOT_INITIALIZED) return step;
    ++step;
    CK_SESSION_INFO info;
    if (f->C_GetSessionInfo(parent_session, &info) != CKR_CRYPTOKI_NOT_INITIALIZED) return step;
    ++step;
    if (f->C_Initialize(nullptr) != CKR_OK) return step;
    ++step;
    if (f->C_GetSessionInfo(parent_session, &info) != CKR_SESSION_HANDLE_INVALID) return step;
    ++step;
    CK_ULONG n = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK || n != 1) return step;
    ++step;
    CK_SESSION_HANDLE s = 0;
    if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) return step;
    ++step;
    if (f->C_Login(s, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)) != CKR_OK)
        return step;
    ++step;
    CK_OBJECT_CLASS priv_class = CKO_PRIVATE_KEY;
    CK_OBJECT_CLASS pub_class = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &priv_class, sizeof priv_class},
                        {CKA_LABEL, (void*)"forked", 6}};
    CK_OBJECT_HANDLE priv = 0, pub = 0;
    if (f->C_FindObjectsInit(s, t, 2) != CKR_OK || f->C_FindObjects(s, &priv, 1, &n) != CKR_OK ||
        n != 1)
        return step;
    f->C_FindObjectsFinal(s);
    ++step;
    t[0].pValue = &pub_class;
    if (f->C_FindObjectsInit(s, t, 2) != CKR_OK || f->C_FindObjects(s, &pub, 1, &n) != CKR_OK ||
        n != 1)
        return step;
    f->C_FindObjectsFinal(s);
    ++step;
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[] = "signed in the child";
    CK_BYTE sig[512];
    CK_ULONG len = sizeof sig;
    if (f->C_SignInit(s, &m, priv) != CKR_OK ||
        f->C_Sign(s, data, sizeof data, sig, &len) != CKR_OK)
        return step;
    ++step;
    if (f->C_VerifyInit(s, &m, pub) != CKR_OK ||
        f->C_Verify(s, data, sizeof data, sig, len) != CKR_OK)
        return step;
    ++step;
    if (f->C_Finalize(nullptr) != CKR_OK) return step;
    return 0;
}

TEST_F(ClientTest, ForkedChildInitialisesAfreshAndBothProcessesSign) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(h, "forked", pub, priv), CKR_OK);
    ASSERT_EQ(sign_and_verify(h, priv, pub), CKR_OK);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int failed = child_steps(f, h, slot);
        // The module's own unload in the child leaves the parent's PC/SC
        // connections alone; the harness's objects are the parent's.
        module().unload();
        _exit(failed);
    }
    int status = 0;
    if (!test_support::wait_for_exit(child, std::chrono::seconds(60), &status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not finish within 60 s";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's step " << WEXITSTATUS(status) << " failed";

    // The parent's session, login and connection are untouched.
    EXPECT_EQ(sign_and_verify(h, priv, pub), CKR_OK);
    CK_SESSION_INFO info;
    ASSERT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    f = nullptr;
}

TEST_F(ClientTest, FinalizeEndsSessionsAndLogins) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(h, "finalized", pub, priv), CKR_OK);
    ASSERT_EQ(find(h, CKO_PRIVATE_KEY, "finalized").size(), 1u);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}};
    EXPECT_EQ(f->C_FindObjectsInit(h, t, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_TOKEN_INFO token_info;
    EXPECT_EQ(f->C_GetTokenInfo(slot, &token_info), CKR_CRYPTOKI_NOT_INITIALIZED);

    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsInit(h, t, 1), CKR_SESSION_HANDLE_INVALID); // the old session is gone
    const CK_SLOT_ID again = first_slot();
    ASSERT_NE(again, ~CK_SLOT_ID{0});
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f->C_OpenSession(again, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    CK_SESSION_INFO info;
    ASSERT_EQ(f->C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION); // nobody logged in
    EXPECT_TRUE(find(s, CKO_PRIVATE_KEY, nullptr).empty());
    ASSERT_EQ(f->C_Login(s, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)), CKR_OK);
    EXPECT_EQ(find(s, CKO_PRIVATE_KEY, "finalized").size(), 1u);
}

// Applications keep the slot id across C_Finalize and C_Initialize (a widely
// used conformance suite does so for every test): a token still in its reader
// answers at that id without a new C_GetSlotList, while the sessions and the
// login of before are gone.
TEST_F(ClientTest, SlotIdOutlastsFinalizeSessionsAndLoginsDoNot) {
    const auto serial_number = [&](CK_RV& rv) {
        CK_TOKEN_INFO info{};
        rv = f->C_GetTokenInfo(slot, &info);
        return std::string(reinterpret_cast<const char*>(info.serialNumber),
                           sizeof info.serialNumber);
    };
    CK_RV rv = CKR_GENERAL_ERROR;
    const std::string serial = serial_number(rv);
    ASSERT_EQ(rv, CKR_OK);
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK) << "round " << round;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK) << "round " << round;
        EXPECT_EQ(serial_number(rv), serial) << "round " << round;
        ASSERT_EQ(rv, CKR_OK) << "round " << round;
    }
    CK_SESSION_INFO info;
    EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_OK);
    ASSERT_EQ(f->C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(f->C_Logout(s), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(f->C_Login(s, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)), CKR_OK);
}

// The card's exponent is F4; another is refused before the card makes a key.
TEST_F(ClientTest, GeneratedPairKeepsTheRequestedExponentOrIsRefused) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    const size_t before = find(h, CKO_PRIVATE_KEY, nullptr).size();
    EXPECT_EQ(generate(h, "e3", pub, priv, {0x03}), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(generate(h, "e17", pub, priv, {0x00, 0x01, 0x00, 0x00, 0x01}),
              CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(find(h, CKO_PRIVATE_KEY, nullptr).size(), before);
    ASSERT_EQ(generate(h, "f4", pub, priv, {0x00, 0x01, 0x00, 0x01}), CKR_OK);
    CK_BYTE e[8];
    CK_ATTRIBUTE a{CKA_PUBLIC_EXPONENT, e, sizeof e};
    ASSERT_EQ(f->C_GetAttributeValue(h, pub, &a, 1), CKR_OK);
    bytes got(e, e + a.ulValueLen);
    while (!got.empty() && got.front() == 0)
        got.erase(got.begin());
    EXPECT_EQ(got, (bytes{0x01, 0x00, 0x01}));
}

// The card traffic of the calls applications make most often, on a token
// that has not changed: none, or only the exchanges a call must make (is it
// still the same card, who is logged in, did another process change it).
TEST_F(ClientTest, CardTrafficPerCallOnAnUnchangedToken) {
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(generate(h, "counted", pub, priv), CKR_OK);
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
    ASSERT_EQ(find(h, CKO_PRIVATE_KEY, nullptr).size(), 1u);
    CK_BYTE modulus[256];
    CK_BYTE label[64];
    CK_ATTRIBUTE attrs[] = {{CKA_MODULUS, modulus, sizeof modulus},
                            {CKA_LABEL, label, sizeof label}};
    ASSERT_EQ(f->C_GetAttributeValue(h, pub, attrs, 2), CKR_OK);

    const auto count = [&](const char* what, const std::function<void()>& call) {
        token_.sim().clear_log();
        call();
        const size_t n = apdus();
        std::printf("%-40s %zu APDU\n", what, n);
        return n;
    };
    EXPECT_LE(count("C_GetTokenInfo", [&] { EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK); }),
              1u);
    EXPECT_EQ(count("C_GetSlotList", [&] { EXPECT_NE(first_slot(), ~CK_SLOT_ID{0}); }), 0u);
    CK_SLOT_INFO slot_info;
    EXPECT_EQ(
        count("C_GetSlotInfo", [&] { EXPECT_EQ(f->C_GetSlotInfo(slot, &slot_info), CKR_OK); }), 0u);
    EXPECT_LE(count("C_OpenSession + C_CloseSession",
                    [&] {
                        CK_SESSION_HANDLE s = 0;
                        EXPECT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
                                  CKR_OK);
                        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
                    }),
              1u);
    CK_ULONG size = 0;
    EXPECT_EQ(count("C_GetAttributeValue",
                    [&] { EXPECT_EQ(f->C_GetAttributeValue(h, pub, attrs, 2), CKR_OK); }),
              0u);
    EXPECT_EQ(
        count("C_GetObjectSize", [&] { EXPECT_EQ(f->C_GetObjectSize(h, priv, &size), CKR_OK); }),
        0u);
    // A signature opens the key's container, sends "RSASignEx" with the
    // digest and closes the container; C_Sign of the function list then
    // looks for the token's "LogSign" object with a search, which reads the
    // change counter (two more). The first search after the login also lists
    // the data-object files once, so the second signature is counted.
    const auto sign = [&] {
        CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
        CK_BYTE data[1000] = {};
        CK_BYTE signature[128];
        CK_ULONG n = sizeof signature;
        EXPECT_EQ(f->C_SignInit(h, &m, priv), CKR_OK);
        EXPECT_EQ(f->C_Sign(h, data, sizeof data, signature, &n), CKR_OK);
    };
    sign();
    EXPECT_LE(count("C_SignInit + C_Sign", sign), 5u);
    // A search reads the change counter that other processes bump (the
    // device API reads a file as its information, then its bytes).
    EXPECT_LE(count("C_FindObjectsInit + C_FindObjects + Final",
                    [&] { EXPECT_EQ(find(h, CKO_PUBLIC_KEY, nullptr).size(), 1u); }),
              2u);

    // PIN flags still follow the card after a PIN operation of this process.
    EXPECT_EQ(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(f->C_Login(s, CKU_USER, test_support::utf8("00000000"), 8), CKR_PIN_INCORRECT);
    ASSERT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_NE(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    ASSERT_EQ(f->C_Login(s, CKU_USER, test_support::utf8(user_pin), std::strlen(user_pin)), CKR_OK);
    ASSERT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_USER_PIN_COUNT_LOW, 0u);
}

// A self-signed certificate made by OpenSSL, DER.
bytes make_certificate(const char* common_name) {
    EVP_PKEY* key = EVP_RSA_gen(1024);
    X509* x = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int n = i2d_X509(x, &der);
    bytes out(der, der + (n > 0 ? n : 0));
    OPENSSL_free(der);
    X509_free(x);
    EVP_PKEY_free(key);
    return out;
}

// A certificate that joins no key is stored in a container named by its
// label, so that it reads back (in this process and the next) under that
// label; a label in use or one the card cannot take gives a generated name.
TEST_F(ClientTest, CertificateWithoutKeyKeepsItsLabel) {
    const auto store = [&](const char* label, uint8_t id, CK_OBJECT_HANDLE& o) {
        const bytes der = make_certificate(label);
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        CK_BYTE ids[] = {0xC0, id};
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_ID, ids, sizeof ids},
                            {CKA_LABEL, const_cast<char*>(label), (CK_ULONG)std::strlen(label)},
                            {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()}};
        return f->C_CreateObject(h, t, 6, &o);
    };
    const auto label_of = [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o,
                              CK_ATTRIBUTE_TYPE type = CKA_LABEL) {
        char text[300] = {};
        CK_ATTRIBUTE a{type, text, sizeof text - 1};
        EXPECT_EQ(f->C_GetAttributeValue(s, o, &a, 1), CKR_OK);
        return std::string(text, strnlen(text, a.ulValueLen));
    };
    CK_OBJECT_HANDLE a = 0, b = 0;
    ASSERT_EQ(store("Site CA", 1, a), CKR_OK);
    EXPECT_EQ(label_of(h, a, ZELT_CKA_CONTAINER_NAME), "Site CA");
    ASSERT_EQ(store("Site CA", 2, b), CKR_OK); // the name is taken
    EXPECT_EQ(label_of(h, b, ZELT_CKA_CONTAINER_NAME).substr(0, 5), "cont_");
    CK_OBJECT_HANDLE c = 0;
    ASSERT_EQ(store("A certificate object", 3, c), CKR_OK); // the class's default label
    EXPECT_EQ(label_of(h, c, ZELT_CKA_CONTAINER_NAME).substr(0, 5), "cont_");

    // Read back from the card by a library that starts afresh.
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f->C_OpenSession(first_slot(), CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
    const auto found = find(s, CKO_CERTIFICATE, "Site CA");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(label_of(s, found[0]), "Site CA");
    EXPECT_EQ(find(s, CKO_CERTIFICATE, nullptr).size(), 3u);
}

} // namespace
