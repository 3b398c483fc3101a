// The same Drumvale calls on SoftHSM2, a PKCS#11 module that knows nothing
// of the vendor extension: containers are CKA_ID pairings, key specs come
// from what the keys may do, PIN state from the token flags.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cert_maker.h"
#include "cert_store.h"
#include "drumvale.h"
#include "pkcs11.h"

using namespace traytest;

namespace {

constexpr const char* softhsm_module = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* user_pin = "24681357";
constexpr uint32_t ckr_pin_incorrect = 0xA0;

CK_UTF8CHAR_PTR text(const char* s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s));
}

class DrumvaleSoftHsm : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(softhsm_module, R_OK) != 0) GTEST_SKIP() << "softhsm2 is not installed";
        std::string pattern = (std::filesystem::temp_directory_path() / "dvs-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        std::filesystem::create_directories(dir_ + "/tokens");
        std::ofstream(dir_ + "/softhsm2.conf")
            << "directories.tokendir = " << dir_ << "/tokens\nobjectstore.backend = file\n";
        setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);
        setenv("TAVREL_CERTSTORE", (dir_ + "/store").c_str(), 1);
        const std::string init = "softhsm2-util --init-token --free --label tray --so-pin 11223344 "
                                 "--pin " +
                                 std::string(user_pin) + " > /dev/null 2>&1";
        ASSERT_EQ(std::system(init.c_str()), 0);
    }
    void TearDown() override {
        if (dir_.empty()) return;
        uninit_pkcs11();
        unsetenv("TAVREL_CERTSTORE");
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

} // namespace

TEST_F(DrumvaleSoftHsm, the_tray_calls_work_on_a_module_without_the_vendor_extension) {
    ASSERT_EQ(init_pkcs11(softhsm_module), 0u);
    uint32_t ids[32];
    uint32_t count = 32;
    ASSERT_EQ(token_find(ids, &count), 0u);
    ASSERT_GE(count, 1u);
    // SoftHSM also shows an empty slot with an uninitialised token: find ours.
    uint32_t index = count;
    for (uint32_t i = 0; i < count; ++i) {
        char label[33];
        uint32_t initialised = 0;
        ASSERT_EQ(token_get_info(i, label, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, &initialised),
                  0u);
        if (initialised == 1 && std::string(label) == "tray") index = i;
    }
    ASSERT_LT(index, count);
    ASSERT_EQ(token_connect(index), 0u);

    // A certificate with its key pair (CKA_ID 42; the key signs only).
    void* module = dlopen(softhsm_module, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr);
    auto get_list = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* f = nullptr;
    ASSERT_EQ(get_list(&f), CKR_OK);
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(
        f->C_OpenSession(ids[index], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s),
        CKR_OK);
    ASSERT_EQ(f->C_Login(s, CKU_USER, text(user_pin), std::strlen(user_pin)), CKR_OK);
    EVP_PKEY* key = rsa_key(1024);
    cert_spec spec;
    spec.key = key;
    spec.subject_cn = "Bob";
    const bytes der = make_cert(spec);
    const bytes n = rsa_modulus(key), e = bn_param(key, OSSL_PKEY_PARAM_RSA_E),
                d = bn_param(key, OSSL_PKEY_PARAM_RSA_D);
    const bytes id{0x42};
    const bytes subject = subject_der(der);
    CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE, priv = CKO_PRIVATE_KEY, pub = CKO_PUBLIC_KEY;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE cert_template[] = {
        {CKA_CLASS, &cert_class, sizeof cert_class},
        {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
        {CKA_TOKEN, &yes, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_SUBJECT, const_cast<uint8_t*>(subject.data()), subject.size()},
        {CKA_VALUE, const_cast<uint8_t*>(der.data()), der.size()},
    };
    CK_ATTRIBUTE key_template[] = {
        {CKA_CLASS, &priv, sizeof priv},
        {CKA_KEY_TYPE, &rsa, sizeof rsa},
        {CKA_TOKEN, &yes, 1},
        {CKA_PRIVATE, &yes, 1},
        {CKA_SIGN, &yes, 1},
        {CKA_DECRYPT, &no, 1},
        {CKA_UNWRAP, &no, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_MODULUS, const_cast<uint8_t*>(n.data()), n.size()},
        {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(e.data()), e.size()},
        {CKA_PRIVATE_EXPONENT, const_cast<uint8_t*>(d.data()), d.size()},
    };
    CK_ATTRIBUTE public_template[] = {
        {CKA_CLASS, &pub, sizeof pub},
        {CKA_KEY_TYPE, &rsa, sizeof rsa},
        {CKA_TOKEN, &yes, 1},
        {CKA_VERIFY, &yes, 1},
        {CKA_ENCRYPT, &no, 1},
        {CKA_WRAP, &no, 1},
        {CKA_ID, const_cast<uint8_t*>(id.data()), id.size()},
        {CKA_MODULUS, const_cast<uint8_t*>(n.data()), n.size()},
        {CKA_PUBLIC_EXPONENT, const_cast<uint8_t*>(e.data()), e.size()},
    };
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(f->C_CreateObject(s, cert_template, std::size(cert_template), &h), CKR_OK);
    ASSERT_EQ(f->C_CreateObject(s, key_template, std::size(key_template), &h), CKR_OK);
    ASSERT_EQ(f->C_CreateObject(s, public_template, std::size(public_template), &h), CKR_OK);
    ASSERT_EQ(f->C_Logout(s), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(s), CKR_OK);

    uint32_t retries = 0;
    EXPECT_EQ(token_login(index, "99999999", &retries), ckr_pin_incorrect);
    ASSERT_EQ(token_login(index, user_pin, &retries), 0u);
    uint32_t remaining = 0, maximum = 0, low = 0, final_try = 0, locked = 9, is_default = 9;
    ASSERT_EQ(
        token_get_pin_state(index, 1, &remaining, &maximum, &low, &final_try, &locked, &is_default),
        0u);
    EXPECT_EQ(locked, 0u);
    EXPECT_EQ(is_default, 0u);

    ASSERT_EQ(token_reload_all_objects(index), 0u);
    std::vector<char> names(8192, '\0');
    uint32_t length = 8192;
    ASSERT_EQ(container_load_all(index, names.data(), &length), 0u);
    EXPECT_EQ(std::string(names.data(), length), std::string("42\0", 3));

    std::vector<uint8_t> buffer(16384);
    length = 16384;
    ASSERT_EQ(container_get_cert(index, "42", 2, buffer.data(), &length), 0u);
    buffer.resize(length);
    EXPECT_EQ(buffer, der);
    // A short buffer: the length needed, and nothing written past what it holds.
    std::vector<uint8_t> small(64, 0x5A);
    length = 32;
    EXPECT_EQ(container_get_cert(index, "42", 2, small.data(), &length),
              DRUMVALE_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, der.size());
    EXPECT_EQ(small, std::vector<uint8_t>(64, 0x5A));
    length = 16384;
    EXPECT_EQ(container_get_cert(index, "42", 1, buffer.data(), &length), DRUMVALE_E_NOT_FOUND);
    uint32_t algorithm = 0, bits = 0, key_length = 0;
    uint8_t modulus[257];
    ASSERT_EQ(container_get_pubkey(index, "42", 2, &algorithm, &bits, modulus, &key_length), 0u);
    EXPECT_EQ(algorithm, 1u);
    EXPECT_EQ(bits, 1024u);
    EXPECT_EQ(bytes(modulus, modulus + key_length), n);

    ASSERT_EQ(container_addcert_to_store("42", "SoftHSM provider", 2, der.data(),
                                         static_cast<uint32_t>(der.size())),
              0u);
    std::vector<plat::cert_entry> entries;
    ASSERT_EQ(plat::cert_store_list("MY", entries), plat::store_result::ok);
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(remove_all_certs_from_store("SoftHSM provider"), 0u);
    ASSERT_EQ(plat::cert_store_list("MY", entries), plat::store_result::ok);
    EXPECT_TRUE(entries.empty());

    EXPECT_EQ(token_logout(index), 0u);
    ASSERT_EQ(token_change_upin(index, user_pin, "86427531"), 0u);
    EXPECT_EQ(token_login(index, user_pin, &retries), ckr_pin_incorrect);
    EXPECT_EQ(token_login(index, "86427531", &retries), 0u);
    EVP_PKEY_free(key);
    dlclose(module);
}
