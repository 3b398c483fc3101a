// Session keys, cipher and digest through the device API on a simulated
// token behind the real pcscd, checked with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "cardsim_harness.h"
#include "gm_api.h"
#include "gm_filters.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes seq(size_t n, uint8_t first = 0) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i * 7);
    return b;
}

bytes openssl_cipher(const EVP_CIPHER* cipher, const bytes& key, const bytes& iv, const bytes& in) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    bytes out(in.size() + 32);
    int n = 0, m = 0;
    EVP_EncryptInit_ex(c, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data());
    EVP_CIPHER_CTX_set_padding(c, 0);
    EVP_EncryptUpdate(c, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(c, out.data() + n, &m);
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

BLOCKCIPHERPARAM param(const bytes& iv, uint32_t padding) {
    BLOCKCIPHERPARAM p{};
    if (!iv.empty()) std::memcpy(p.IV, iv.data(), std::min(iv.size(), sizeof p.IV));
    p.IVLen = static_cast<uint32_t>(iv.size());
    p.PaddingType = padding;
    return p;
}

class SymToken : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        gm_set_enum_filters("Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000", "*");
        token_ = std::make_unique<cardsim::test::simulated_token>(cardsim::card_options{},
                                                                  cardsim::test::second_port());
    }
    static void TearDownTestSuite() { token_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(token_->inserted()) << token_->error();
        ASSERT_EQ(SKF_ConnectDev(token_->reader().c_str(), &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
        ASSERT_EQ(SKF_OpenContainer(app, gm_reserved_name, &cont), SAR_OK);
        token_->sim().clear_log();
    }
    void TearDown() override {
        for (HANDLE k : keys)
            SKF_CloseHandle(k);
        if (cont) SKF_CloseContainer(cont);
        if (dev) SKF_DisConnectDev(dev);
    }

    HANDLE key(const bytes& value, uint32_t alg) {
        HANDLE k = 0;
        EXPECT_EQ(gm_set_symm_key(cont, value.data(), static_cast<uint32_t>(value.size()), alg, &k),
                  SAR_OK);
        if (k) keys.push_back(k);
        return k;
    }

    static std::unique_ptr<cardsim::test::simulated_token> token_;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;
    HCONTAINER cont = 0;
    std::vector<HANDLE> keys;
};
std::unique_ptr<cardsim::test::simulated_token> SymToken::token_;

TEST_F(SymToken, SetSymmKeySendsTheInternalIdentifierAndRefusesOthersUnsent) {
    const bytes value = seq(16);
    key(value, 0x4001);
    const auto log = token_->sim().apdu_log();
    ASSERT_EQ(log.size(), 1u);
    // C0 12 00 00, extended Lc, app (2), cont (2), algorithm (4), 32-byte key field.
    ASSERT_GE(log[0].size(), 7u + 8u + 32u);
    EXPECT_EQ(bytes(log[0].begin() + 11, log[0].begin() + 15), (bytes{0x80, 0x00, 0x01, 0x11}));
    HANDLE k = 0;
    EXPECT_EQ(gm_set_symm_key(cont, value.data(), 16, 0x403, &k), SAR_INVALIDPARAMERR);
    // A key shorter than its algorithm's is never padded out of the caller's memory.
    EXPECT_EQ(gm_set_symm_key(cont, value.data(), 8, 0x10001, &k), SAR_INVALIDPARAMERR);
    EXPECT_EQ(token_->sim().apdu_log().size(), 1u);
}

TEST_F(SymToken, OutputSizesAreKnownBeforeAnythingIsSent) {
    const HANDLE k = key(seq(16), 0x402);
    ASSERT_EQ(SKF_EncryptInit(k, param(seq(16, 3), gm_padding_pkcs5)), SAR_OK);
    token_->sim().clear_log();
    const bytes data = seq(32);
    uint32_t n = 0;
    ASSERT_EQ(SKF_Encrypt(k, data.data(), 32, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 48u);
    ASSERT_EQ(SKF_Encrypt(k, data.data(), 0, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 16u);
    bytes out(48);
    n = 47;
    ASSERT_EQ(SKF_Encrypt(k, data.data(), 32, out.data(), &n), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 48u);
    EXPECT_TRUE(token_->sim().apdu_log().empty());
    // Updates hold what does not fill a block.
    ASSERT_EQ(SKF_EncryptUpdate(k, data.data(), 5, out.data(), &n), SAR_OK);
    EXPECT_EQ(n, 0u);
    n = 48;
    ASSERT_EQ(SKF_EncryptUpdate(k, data.data() + 5, 11, out.data(), &n), SAR_OK);
    EXPECT_EQ(n, 16u);
}

TEST_F(SymToken, LengthAndIvRules) {
    const HANDLE des = key(seq(8), 0x801);
    ASSERT_EQ(SKF_EncryptInit(des, param({}, gm_padding_none)), SAR_OK);
    const bytes data = seq(12);
    bytes out(32);
    uint32_t n = 32;
    EXPECT_EQ(SKF_Encrypt(des, data.data(), 12, out.data(), &n), SAR_INVALIDPARAMERR);
    // CBC, CFB and OFB take an IV of one block, and no IV longer than the record.
    const HANDLE cbc = key(seq(8), 0x802);
    EXPECT_EQ(SKF_EncryptInit(cbc, param(seq(4), gm_padding_none)), SAR_INVALIDPARAMERR);
    const HANDLE sm4 = key(seq(16), 0x402);
    EXPECT_EQ(SKF_EncryptInit(sm4, param(seq(8), gm_padding_none)), SAR_INVALIDPARAMERR);
    BLOCKCIPHERPARAM long_iv = param(seq(16), gm_padding_none);
    long_iv.IVLen = 33;
    EXPECT_EQ(SKF_EncryptInit(sm4, long_iv), SAR_INVALIDPARAMERR);
    // OFB is a stream: 12 bytes go both ways.
    const bytes key_value = seq(16, 9), iv = seq(16, 1);
    const HANDLE ofb = key(key_value, 0x408);
    ASSERT_EQ(SKF_EncryptInit(ofb, param(iv, gm_padding_none)), SAR_OK);
    n = 32;
    ASSERT_EQ(SKF_Encrypt(ofb, data.data(), 12, out.data(), &n), SAR_OK);
    ASSERT_EQ(n, 12u);
    const bytes cipher(out.begin(), out.begin() + 12);
    EXPECT_EQ(cipher, openssl_cipher(EVP_sm4_ofb(), key_value, iv, data));
    ASSERT_EQ(SKF_DecryptInit(ofb, param(iv, gm_padding_none)), SAR_OK);
    n = 32;
    ASSERT_EQ(SKF_Decrypt(ofb, cipher.data(), 12, out.data(), &n), SAR_OK);
    EXPECT_EQ(bytes(out.begin(), out.begin() + n), data);
    // Decryption of whole blocks only in ECB and CBC; a final step with a
    // partial block held is refused.
    const HANDLE ecb = key(seq(16), 0x401);
    ASSERT_EQ(SKF_DecryptInit(ecb, param({}, gm_padding_none)), SAR_OK);
    n = 32;
    ASSERT_EQ(SKF_DecryptUpdate(ecb, seq(24).data(), 24, out.data(), &n), SAR_OK);
    EXPECT_EQ(n, 16u);
    n = 32;
    EXPECT_EQ(SKF_DecryptFinal(ecb, out.data(), &n), SAR_INDATALENERR);
    // No operation started: refused before the card.
    const HANDLE idle = key(seq(16), 0x401);
    n = 32;
    EXPECT_EQ(SKF_EncryptUpdate(idle, data.data(), 12, out.data(), &n), SAR_NOTINITIALIZEERR);
}

TEST_F(SymToken, ACardWithNoKeySlotLeftNeverLosesACallersKey) {
    // The card holds 8 session keys.
    std::vector<HANDLE> held;
    for (int i = 0; i < 8; ++i)
        held.push_back(key(seq(16, static_cast<uint8_t>(i)), 0x401));
    HANDLE ninth = 0;
    EXPECT_EQ(gm_set_symm_key(cont, seq(16).data(), 16, 0x401, &ninth), SAR_NO_ROOM);
    // Every caller's key still works.
    for (HANDLE k : held) {
        ASSERT_EQ(SKF_EncryptInit(k, param({}, gm_padding_none)), SAR_OK);
        bytes out(16);
        uint32_t n = 16;
        EXPECT_EQ(SKF_Encrypt(k, seq(16).data(), 16, out.data(), &n), SAR_OK);
    }
}

TEST_F(SymToken, ANewDigestTakesOverTheCardsContextAndTheOldOneIsRefused) {
    HANDLE first = 0, second = 0;
    ASSERT_EQ(SKF_DigestInit(dev, gm_digest_sha256, nullptr, nullptr, 0, &first), SAR_OK);
    uint32_t n = 0;
    ASSERT_EQ(SKF_DigestFinal(first, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 32u);
    const bytes abc = {'a', 'b', 'c'};
    ASSERT_EQ(SKF_DigestUpdate(first, abc.data(), 3), SAR_OK);
    ASSERT_EQ(SKF_DigestInit(dev, gm_digest_sha384, nullptr, nullptr, 0, &second), SAR_OK);
    EXPECT_EQ(SKF_DigestUpdate(first, abc.data(), 3), SAR_NOTINITIALIZEERR);
    bytes out(64);
    n = 64;
    EXPECT_EQ(SKF_DigestFinal(first, out.data(), &n), SAR_NOTINITIALIZEERR);
    ASSERT_EQ(SKF_DigestUpdate(second, abc.data(), 3), SAR_OK);
    n = 64;
    ASSERT_EQ(SKF_DigestFinal(second, out.data(), &n), SAR_OK);
    ASSERT_EQ(n, 48u);
    bytes expected(48);
    unsigned int m = 0;
    EVP_Digest(abc.data(), 3, expected.data(), &m, EVP_sha384(), nullptr);
    EXPECT_EQ(bytes(out.begin(), out.begin() + 48), expected);
    SKF_CloseHandle(first);
    SKF_CloseHandle(second);
}

// SM3 with a signer's public key and identity starts from Z (GM/T 0003.2):
// the digest is SM3(Z || M); the caller's record is left as it was.
TEST_F(SymToken, Sm3WithPublicKeyAndIdentityStartsFromZ) {
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    ASSERT_NE(pkey, nullptr);
    uint8_t point[65];
    size_t n = 0;
    ASSERT_EQ(EVP_PKEY_get_octet_string_param(pkey, "pub", point, sizeof point, &n), 1);
    EVP_PKEY_free(pkey);
    ECCPUBLICKEYBLOB pub{};
    pub.BitLen = 512; // bounded to 256 for the card, in a copy
    std::memcpy(pub.XCoordinate + 32, point + 1, 32);
    std::memcpy(pub.YCoordinate + 32, point + 33, 32);
    const std::string id = "1234567812345678";
    const char* curve = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
                        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
                        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
                        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
    bytes z_input = {static_cast<uint8_t>(id.size() * 8 >> 8), static_cast<uint8_t>(id.size() * 8)};
    z_input.insert(z_input.end(), id.begin(), id.end());
    for (const char* p = curve; *p; p += 2)
        z_input.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    z_input.insert(z_input.end(), point + 1, point + 65);
    bytes z(32);
    unsigned int m = 0;
    EVP_Digest(z_input.data(), z_input.size(), z.data(), &m, EVP_sm3(), nullptr);
    const bytes message = seq(100, 5);
    bytes zm = z;
    zm.insert(zm.end(), message.begin(), message.end());
    bytes expected(32);
    EVP_Digest(zm.data(), zm.size(), expected.data(), &m, EVP_sm3(), nullptr);

    HANDLE h = 0;
    ASSERT_EQ(SKF_DigestInit(dev, gm_digest_sm3, &pub, reinterpret_cast<const uint8_t*>(id.data()),
                             static_cast<uint32_t>(id.size()), &h),
              SAR_OK);
    EXPECT_EQ(pub.BitLen, 512u);
    bytes out(32);
    uint32_t length = 32;
    ASSERT_EQ(
        SKF_Digest(h, message.data(), static_cast<uint32_t>(message.size()), out.data(), &length),
        SAR_OK);
    EXPECT_EQ(out, expected);
    SKF_CloseHandle(h);
}

} // namespace
