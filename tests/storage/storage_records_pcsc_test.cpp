// "cmapfile" and "cardcf" rebuilt on a simulated token behind the real pcscd,
// after container changes made with the device API; the files are read back
// with the device API.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "pkcs11_storage_records.h"
#include "storage_expect.h"
#include "token_fixture.h"

namespace {

using storage_test::expected_cardcf;
using storage_test::expected_cmapfile;

class storage_records : public gm_test::token_test {
  protected:
    HAPPLICATION app = 0;

    void SetUp() override {
        token_test::SetUp();
        if (HasFatalFailure()) return;
        app = open_app();
        uint32_t retry = 0;
        ASSERT_EQ(SKF_VerifyPIN(app, 1, gm_test::user_pin, &retry), SAR_OK);
        ASSERT_TRUE(container_names().empty()) << "a fresh token has no containers";
    }

    std::vector<std::string> container_names() {
        std::vector<char> list(4096, '\0');
        uint32_t size = static_cast<uint32_t>(list.size());
        EXPECT_EQ(SKF_EnumContainer(app, list.data(), &size), SAR_OK);
        std::vector<std::string> names;
        for (size_t at = 0; at < size && list[at] != '\0';) {
            names.emplace_back(list.data() + at);
            at += names.back().size() + 1;
        }
        return names;
    }

    // A container with the pairs asked for (0: none).
    void make_container(const char* name, uint32_t rsa_sign_bits, uint32_t rsa_exch_bits,
                        bool sm2_sign = false, bool sm2_exch = false) {
        HCONTAINER h = 0;
        ASSERT_EQ(SKF_CreateContainer(app, name, &h), SAR_OK) << name;
        add_keys(h, rsa_sign_bits, rsa_exch_bits, sm2_sign, sm2_exch);
        ASSERT_EQ(SKF_CloseContainer(h), SAR_OK);
    }
    void add_rsa_exchange(const char* name, uint32_t bits) {
        HCONTAINER h = 0;
        ASSERT_EQ(SKF_OpenContainer(app, name, &h), SAR_OK) << name;
        add_keys(h, 0, bits, false, false);
        ASSERT_EQ(SKF_CloseContainer(h), SAR_OK);
    }
    // An SM2 pair made by OpenSSL, imported into the container's exchange slot.
    static uint32_t import_sm2_exchange(HCONTAINER h) {
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
        if (key == nullptr) return SAR_FAIL;
        BIGNUM *x = nullptr, *y = nullptr, *d = nullptr;
        ECCPUBLICKEYBLOB pub{};
        ECCPRIVATEKEYBLOB pri{};
        pub.BitLen = 256;
        pri.BitLen = 256;
        uint32_t rv = SAR_FAIL;
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 &&
            BN_bn2binpad(x, pub.XCoordinate + 32, 32) == 32 &&
            BN_bn2binpad(y, pub.YCoordinate + 32, 32) == 32 &&
            BN_bn2binpad(d, pri.PrivateKey + 32, 32) == 32)
            rv = gm_import_plain_ecc_key_pair(h, gm_key_spec_exchange, &pub, &pri);
        BN_free(x);
        BN_free(y);
        BN_clear_free(d);
        EVP_PKEY_free(key);
        return rv;
    }
    void add_keys(HCONTAINER h, uint32_t rsa_sign_bits, uint32_t rsa_exch_bits, bool sm2_sign,
                  bool sm2_exch) {
        RSAPUBLICKEYBLOB rsa{};
        ECCPUBLICKEYBLOB ecc{};
        if (rsa_sign_bits) {
            EXPECT_EQ(gm_gen_rsa_key_pair(h, gm_key_spec_signature, rsa_sign_bits, &rsa), SAR_OK);
        }
        if (rsa_exch_bits) {
            EXPECT_EQ(gm_gen_rsa_key_pair(h, gm_key_spec_exchange, rsa_exch_bits, &rsa), SAR_OK);
        }
        if (sm2_sign) {
            EXPECT_EQ(SKF_GenECCKeyPair(h, SGD_SM2_1, &ecc), SAR_OK);
        }
        if (sm2_exch) {
            // The card generates only its signature pair: an exchange pair is
            // imported.
            EXPECT_EQ(import_sm2_exchange(h), SAR_OK);
        }
    }

    std::vector<uint8_t> read_file(const char* name, uint32_t expected_read,
                                   uint32_t expected_write) {
        FILEATTRIBUTE info{};
        EXPECT_EQ(SKF_GetFileInfo(app, name, &info), SAR_OK) << name;
        EXPECT_EQ(info.ReadRights, expected_read) << name;
        EXPECT_EQ(info.WriteRights, expected_write) << name;
        std::vector<uint8_t> bytes(info.FileSize);
        uint32_t length = info.FileSize;
        EXPECT_EQ(SKF_ReadFile(app, name, 0, info.FileSize, bytes.data(), &length), SAR_OK) << name;
        bytes.resize(length);
        return bytes;
    }
    std::vector<uint8_t> cmapfile() { return read_file("cmapfile", 0xFF, 0xFF); }
    std::vector<uint8_t> cardcf() { return read_file("cardcf", 0xFF, 0x10); }
};

TEST_F(storage_records, container_changes_rebuild_map_and_bump_counters) {
    // A fresh token: both files created, an empty map, counters at zero.
    EXPECT_NE(SKF_GetFileInfo(app, "cmapfile", nullptr), SAR_OK);
    ASSERT_EQ(token_update_cmapfile(app, ""), CKR_OK);
    EXPECT_EQ(cmapfile(), expected_cmapfile({}));
    EXPECT_EQ(cardcf(), expected_cardcf(0, 0, 0));

    make_container("A", 1024, 0);
    make_container("B", 0, 0);
    make_container("C", 0, 0, false, true);
    ASSERT_EQ(container_names(), (std::vector<std::string>{"A", "B", "C"}));
    ASSERT_EQ(token_update_cmapfile(app, "C"), CKR_OK);
    EXPECT_EQ(cmapfile(), expected_cmapfile({{"A", 1, 1024, 0}, {"C", 3, 0, 256}}));
    EXPECT_EQ(cardcf(), expected_cardcf(1, 1, 1));

    add_rsa_exchange("A", 1024);
    ASSERT_EQ(token_update_cmapfile(app, nullptr), CKR_OK);
    EXPECT_EQ(cmapfile(), expected_cmapfile({{"A", 3, 1024, 1024}, {"C", 1, 0, 256}}));
    EXPECT_EQ(cardcf(), expected_cardcf(2, 2, 2));

    ASSERT_EQ(SKF_DeleteContainer(app, "A"), SAR_OK);
    make_container("D", 0, 0, true, true);
    ASSERT_EQ(token_update_cmapfile(app, "D"), CKR_OK);
    EXPECT_EQ(cmapfile(), expected_cmapfile({{"C", 1, 0, 256}, {"D", 3, 256, 256}}));
    EXPECT_EQ(cardcf(), expected_cardcf(3, 3, 3));

    // A freshness bump on its own leaves the map alone.
    ASSERT_EQ(token_update_cardcf(app), CKR_OK);
    EXPECT_EQ(cardcf(), expected_cardcf(4, 4, 4));
    EXPECT_EQ(cmapfile(), expected_cmapfile({{"C", 1, 0, 256}, {"D", 3, 256, 256}}));
}

TEST_F(storage_records, nine_containers_with_keys_fill_eight_records) {
    std::vector<storage_test::expected_record> expected;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "cont" + std::to_string(i);
        make_container(name.c_str(), 0, 0, true, false);
        if (i < 8) expected.push_back({name, uint8_t(i == 0 ? 3 : 1), 256, 0});
    }
    ASSERT_EQ(token_update_cmapfile(app, "cont8"), CKR_OK);
    EXPECT_EQ(cmapfile(), expected_cmapfile(expected));
}

// A card failure ends the rebuild with the error, and nothing is written.
TEST_F(storage_records, card_failure_writes_nothing) {
    make_container("A", 1024, 0);
    ASSERT_EQ(token_update_cmapfile(app, ""), CKR_OK);
    make_container("B", 0, 0, true, false);
    const auto map_before = cmapfile();
    const auto cardcf_before = cardcf();

    clear_log();
    token->sim().inject_status_word(0x6F00, 2);
    EXPECT_NE(token_update_cmapfile(app, "B"), CKR_OK);
    EXPECT_EQ(count(0x80, 0x3A), 0) << "no file was written\n" << log_text();
    token->sim().clear_faults();
    EXPECT_EQ(cmapfile(), map_before);
    EXPECT_EQ(cardcf(), cardcf_before);
}

// "cardcf" may be written by the user only: without a login the rebuild
// reports the card's refusal instead of success.
TEST_F(storage_records, freshness_bump_without_login_is_reported) {
    ASSERT_EQ(token_update_cmapfile(app, ""), CKR_OK);
    ASSERT_EQ(SKF_ClearSecureState(app), SAR_OK);
    EXPECT_NE(token_update_cardcf(app), CKR_OK);
}

} // namespace
