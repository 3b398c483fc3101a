// Drumvale on the built Tessvik ("Tessvik.dll", as the language files name
// it) with a simulated token behind pcscd: the calls the tray program makes,
// from finding the token to registering its certificates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "cert_maker.h"
#include "cert_store.h"
#include "drumvale.h"
#include "pkcs11.h"

using cardsim::test::simulated_token;
using namespace traytest;

namespace {

constexpr const char* user_pin = "58204716"; // the simulated token's factory user PIN
constexpr uint32_t ckr_pin_incorrect = 0xA0;

cardsim::card_options token_options() {
    cardsim::card_options o;
    o.oem_identifier = "Tavrel01";
    return o;
}

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

class DrumvaleTessvik : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "dvt-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        setenv("TAVREL_CERTSTORE", (dir_ + "/store").c_str(), 1);
    }
    void TearDown() override {
        if (module_ != nullptr) dlclose(module_);
        uninit_pkcs11();
        unsetenv("TAVREL_CERTSTORE");
        std::filesystem::remove_all(dir_);
    }

    // The module Drumvale loaded (the same instance: dlopen of the same file).
    CK_FUNCTION_LIST* module_functions() {
        if (module_ == nullptr) module_ = dlopen(TESSVIK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) return nullptr;
        auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module_, "C_GetFunctionList"));
        CK_FUNCTION_LIST* f = nullptr;
        return get_list != nullptr && get_list(&f) == CKR_OK ? f : nullptr;
    }

    // The issuer's step before a token is handed out: the security officer
    // sets the user PIN, which is then no longer the card's factory default.
    void issue_user_pin() {
        CK_FUNCTION_LIST* f = module_functions();
        ASSERT_NE(f, nullptr);
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(
            f->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
            CKR_OK);
        ASSERT_EQ(f->C_Login(s, CKU_SO, text("pevot"), 5), CKR_OK);
        ASSERT_EQ(f->C_InitPIN(s, text(user_pin), std::strlen(user_pin)), CKR_OK);
        ASSERT_EQ(f->C_Logout(s), CKR_OK);
        ASSERT_EQ(f->C_CloseSession(s), CKR_OK);
    }

    // Finds the one token and opens it, as the tray program does at start.
    void find_and_connect() {
        ASSERT_EQ(init_pkcs11("Tessvik.dll"), 0u);
        uint32_t ids[32];
        uint32_t count = 32;
        ASSERT_EQ(token_find(ids, &count), 0u);
        ASSERT_EQ(count, 1u);
        slot_ = ids[0];
        ASSERT_EQ(token_connect(0), 0u);
    }

    std::string dir_;
    void* module_ = nullptr;
    CK_SLOT_ID slot_ = 0;
};

} // namespace

TEST_F(DrumvaleTessvik, information_login_pin_state_and_pin_change) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    find_and_connect();

    char label[33], manufacturer[129], model[65], serial[65];
    uint32_t max_pin = 0, min_pin = 0, initialised = 0;
    ASSERT_EQ(token_get_info(0, label, manufacturer, model, serial, &max_pin, &min_pin, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, &initialised),
              0u);
    EXPECT_EQ(initialised, 1u);
    EXPECT_GT(max_pin, 0u);
    EXPECT_LE(min_pin, max_pin);
    EXPECT_NE(std::string(serial), "");
    EXPECT_NE(std::string(label).back(), ' ') << "blank padding kept";

    uint32_t remaining = 0, maximum = 0, low = 0, final_try = 0, locked = 9, is_default = 9;
    ASSERT_EQ(
        token_get_pin_state(0, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    EXPECT_EQ(is_default, 1u) << "a factory-fresh token has its default PIN";
    EXPECT_EQ(locked, 0u);
    EXPECT_EQ(remaining, maximum);
    const uint32_t tries = maximum;
    issue_user_pin();
    ASSERT_EQ(
        token_get_pin_state(0, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    EXPECT_EQ(is_default, 0u) << "a PIN set by the issuer is not the default";

    uint32_t retries = 0;
    EXPECT_EQ(token_login(0, "00000000", &retries), ckr_pin_incorrect);
    EXPECT_EQ(retries, tries - 1);
    EXPECT_EQ(token_login(0, user_pin, &retries), 0u);
    EXPECT_EQ(retries, tries) << "a right PIN resets the counter";
    // Logging in again still checks the PIN.
    EXPECT_EQ(token_login(0, "11111111", &retries), ckr_pin_incorrect);
    EXPECT_EQ(token_login(0, user_pin, &retries), 0u);
    EXPECT_EQ(token_logout(0), 0u);

    EXPECT_EQ(token_change_upin(0, "00000000", "13572468"), ckr_pin_incorrect);
    ASSERT_EQ(token_change_upin(0, user_pin, "13572468"), 0u);
    EXPECT_EQ(token_login(0, user_pin, &retries), ckr_pin_incorrect);
    EXPECT_EQ(token_login(0, "13572468", &retries), 0u);
}

TEST_F(DrumvaleTessvik, containers_certificates_and_their_registration) {
    simulated_token token(token_options());
    ASSERT_TRUE(token.inserted()) << token.error();
    find_and_connect();
    issue_user_pin();

    // Put a key pair and its certificate into container "alice".
    CK_FUNCTION_LIST* f = module_functions();
    ASSERT_NE(f, nullptr);
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(f->C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_OK);
    ASSERT_EQ(f->C_Login(s, CKU_USER, text(user_pin), std::strlen(user_pin)), CKR_OK);

    EVP_PKEY* key = rsa_key(1024);
    cert_spec spec;
    spec.key = key;
    spec.subject_cn = "Alice";
    spec.basic_constraints = 0;
    const bytes der = make_cert(spec);
    const bytes n = rsa_modulus(key), e = bn_param(key, OSSL_PKEY_PARAM_RSA_E),
                d = bn_param(key, OSSL_PKEY_PARAM_RSA_D);
    const bytes id{0x0A};
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY, cert_class = CKO_CERTIFICATE;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG spec_signature = 2;
    const char container[] = "alice";
    CK_ATTRIBUTE key_template[] = {
        {CKA_CLASS, &priv, sizeof priv},
        {CKA_KEY_TYPE, &rsa, sizeof rsa},
        {CKA_TOKEN, &yes, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_MODULUS, const_cast<uint8_t*>(n.data()), n.size()},
        {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(e.data()), e.size()},
        {CKA_PRIVATE_EXPONENT, const_cast<uint8_t*>(d.data()), d.size()},
        {ZELT_CKA_CONTAINER_NAME, const_cast<char*>(container), sizeof container},
        {ZELT_CKA_KEY_SPEC, &spec_signature, sizeof spec_signature},
    };
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(f->C_CreateObject(s, key_template, std::size(key_template), &h), CKR_OK);
    CK_ATTRIBUTE cert_template[] = {
        {CKA_CLASS, &cert_class, sizeof cert_class},
        {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
        {CKA_TOKEN, &yes, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()},
    };
    ASSERT_EQ(f->C_CreateObject(s, cert_template, std::size(cert_template), &h), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(s), CKR_OK);

    ASSERT_EQ(token_reload_all_objects(0), 0u);
    std::vector<char> names(8192, '\0');
    uint32_t length = 8192;
    ASSERT_EQ(container_load_all(0, names.data(), &length), 0u);
    std::vector<std::string> list;
    for (size_t pos = 0; pos < length; pos += list.back().size() + 1)
        list.emplace_back(names.data() + pos);
    ASSERT_NE(std::find(list.begin(), list.end(), "alice"), list.end());

    std::vector<uint8_t> buffer(16384);
    length = 16384;
    ASSERT_EQ(container_get_cert(0, "alice", 2, buffer.data(), &length), 0u);
    buffer.resize(length);
    EXPECT_EQ(buffer, der);
    length = 16384;
    EXPECT_EQ(container_get_cert(0, "alice", 1, buffer.data(), &length), DRUMVALE_E_NOT_FOUND);
    EXPECT_EQ(container_get_cert(0, "nobody", 2, buffer.data(), &length), DRUMVALE_E_NOT_FOUND);

    uint32_t algorithm = 0, bits = 0, key_length = 0;
    uint8_t modulus[257];
    ASSERT_EQ(container_get_pubkey(0, "alice", 2, &algorithm, &bits, modulus, &key_length), 0u);
    EXPECT_EQ(algorithm, 1u);
    EXPECT_EQ(bits, 1024u);
    EXPECT_EQ(bytes(modulus, modulus + key_length), n);

    uint16_t subject[257];
    uint32_t kind = 9;
    ASSERT_EQ(helper_get_cert_info2(der.data(), static_cast<uint32_t>(der.size()), subject, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, &kind),
              0u);
    EXPECT_EQ(kind, 0u);
    ASSERT_EQ(container_addcert_to_store("alice", "Tavrel CSP V1.0", 2, der.data(),
                                         static_cast<uint32_t>(der.size())),
              0u);
    std::vector<plat::cert_entry> entries;
    ASSERT_EQ(plat::cert_store_list("MY", entries), plat::store_result::ok);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].der, der);
    EXPECT_EQ(entries[0].properties->container, "alice");
    ASSERT_EQ(remove_all_certs_from_store("Tavrel CSP V1.0"), 0u);
    ASSERT_EQ(plat::cert_store_list("MY", entries), plat::store_result::ok);
    EXPECT_TRUE(entries.empty());
    EVP_PKEY_free(key);
}
