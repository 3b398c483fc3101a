// RSA and SM2 wrappers against the simulated token. Every result is checked
// outside the card: signatures made on the card verify with OpenSSL (EVP in
// this process, and the `openssl` command line for RSA), and signatures,
// cipher texts and keys made by OpenSSL are used on the card.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cmd_crypto.h"
#include "crypto_fixture.h"
#include "test_hex.h"

namespace crypto_test {
namespace {

constexpr uint8_t sig_slot = 1;
constexpr uint8_t exchange_slot = 0;

struct bn_free {
    void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
using bn_ptr = std::unique_ptr<BIGNUM, bn_free>;

bytes bn_bytes(const BIGNUM* v, size_t width) {
    bytes out(width);
    BN_bn2binpad(v, out.data(), static_cast<int>(width));
    return out;
}

bytes key_param(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* v = nullptr;
    EVP_PKEY_get_bn_param(key, name, &v);
    bn_ptr hold(v);
    return v ? bn_bytes(v, width) : bytes();
}

pkey_ptr from_params(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, selection, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return pkey_ptr(key);
}

// ExportPublicKey's RSA reply: BitLen (4) || n || e (4).
pkey_ptr rsa_from_export(const bytes& reply) {
    const size_t k = (size_t{reply[2]} << 8 | reply[3]) / 8;
    if (reply.size() != 4 + k + 4) return nullptr;
    bn_ptr n(BN_bin2bn(reply.data() + 4, static_cast<int>(k), nullptr));
    bn_ptr e(BN_bin2bn(reply.data() + 4 + k, 4, nullptr));
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e.get());
    return from_params("RSA", bld, EVP_PKEY_PUBLIC_KEY);
}

// The card form of an RSA public key from an OpenSSL key.
bytes rsa_card_form(const EVP_PKEY* key) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_size(key));
    bytes out = {0, 0, static_cast<uint8_t>(k * 8 >> 8), static_cast<uint8_t>(k * 8)};
    const bytes n = key_param(key, OSSL_PKEY_PARAM_RSA_N, k),
                e = key_param(key, OSSL_PKEY_PARAM_RSA_E, 4);
    out.insert(out.end(), n.begin(), n.end());
    out.insert(out.end(), e.begin(), e.end());
    return out;
}

// RSAPRIVATEKEYBLOB (GM/T 0016, 1164 bytes): little-endian AlgID and BitLen,
// big-endian numbers right-aligned in their fields; three_component leaves
// the primes and CRT values zero.
bytes rsa_private_blob(const EVP_PKEY* key, bool three_component) {
    const size_t k = static_cast<size_t>(EVP_PKEY_get_size(key));
    bytes blob(1164, 0);
    const uint32_t bits = static_cast<uint32_t>(k * 8);
    blob[2] = 0x01; // AlgID 0x00010000, little-endian
    blob[4] = static_cast<uint8_t>(bits);
    blob[5] = static_cast<uint8_t>(bits >> 8);
    auto place = [&](size_t offset, size_t width, const bytes& v) {
        std::copy(v.begin(), v.end(),
                  blob.begin() + static_cast<std::ptrdiff_t>(offset + width - v.size()));
    };
    place(8, 256, key_param(key, OSSL_PKEY_PARAM_RSA_N, k));
    place(264, 4, key_param(key, OSSL_PKEY_PARAM_RSA_E, 4));
    place(268, 256, key_param(key, OSSL_PKEY_PARAM_RSA_D, k));
    if (!three_component) {
        const char* names[5] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                                OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        for (size_t i = 0; i < 5; ++i)
            place(524 + 128 * i, 128, key_param(key, names[i], k / 2));
    }
    return blob;
}

bool evp_verify(EVP_PKEY* key, const EVP_MD* md, const bytes& message, const bytes& signature,
                const char* sm2_id) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    int ok = EVP_DigestVerifyInit(ctx, &pctx, md, nullptr, key);
    if (ok == 1 && sm2_id) ok = EVP_PKEY_CTX_set1_id(pctx, sm2_id, std::strlen(sm2_id));
    if (ok == 1)
        ok = EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(),
                              message.size());
    EVP_MD_CTX_free(ctx);
    return ok == 1;
}

bytes evp_sign(EVP_PKEY* key, const EVP_MD* md, const bytes& message, const char* sm2_id) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    EVP_DigestSignInit(ctx, &pctx, md, nullptr, key);
    if (sm2_id) EVP_PKEY_CTX_set1_id(pctx, sm2_id, std::strlen(sm2_id));
    size_t n = 0;
    EVP_DigestSign(ctx, nullptr, &n, message.data(), message.size());
    bytes out(n);
    EVP_DigestSign(ctx, out.data(), &n, message.data(), message.size());
    out.resize(n);
    EVP_MD_CTX_free(ctx);
    return out;
}

class rsa_card : public crypto_card {
  protected:
    bytes export_key(uint8_t slot) {
        bytes out(600);
        uint32_t size = 600;
        EXPECT_EQ(cmd_export_public_key(dev(), app, cont, slot, out.data(), &size), cmd_ok);
        out.resize(size);
        return out;
    }
    bytes sign(uint8_t hash_id, const bytes& data, uint8_t slot = sig_slot) {
        bytes out(512);
        uint32_t size = 512;
        EXPECT_EQ(cmd_rsa_sign_ex(dev(), app, cont, slot, hash_id, data.data(),
                                  static_cast<uint32_t>(data.size()), out.data(), &size),
                  cmd_ok);
        out.resize(size);
        return out;
    }
};

class rsa_generated : public rsa_card, public ::testing::WithParamInterface<uint32_t> {};

// GenRSAKeyPairEx answers modulus || e; ExportPublicKey the same key with its
// bit length; a SHA-256 signature made on the card verifies with OpenSSL.
TEST_P(rsa_generated, signature_verifies_with_openssl) {
    const uint32_t bits = GetParam();
    log_in_user();
    bytes generated(600);
    uint32_t size = 600;
    ASSERT_EQ(cmd_gen_rsa_key_pair_ex(dev(), app, cont, bits, sig_slot, generated.data(), &size),
              cmd_ok);
    ASSERT_EQ(size, bits / 8 + 4);
    generated.resize(size);
    const bytes exported = export_key(sig_slot);
    ASSERT_EQ(exported.size(), 4 + bits / 8 + 4);
    EXPECT_EQ(bytes(exported.begin() + 4, exported.end()), generated);
    pkey_ptr pub = rsa_from_export(exported);
    ASSERT_NE(pub, nullptr);
    EXPECT_EQ(EVP_PKEY_get_bits(pub.get()), static_cast<int>(bits));
    const bytes message = seq(100, 1);
    const bytes signature = sign(3, digest(EVP_sha256(), message));
    EXPECT_TRUE(evp_verify(pub.get(), EVP_sha256(), message, signature, nullptr));
}

INSTANTIATE_TEST_SUITE_P(crypto, rsa_generated, ::testing::Values(1024u, 2048u),
                         ::testing::PrintToStringParamName());

struct hash_case {
    const char* label;
    uint8_t hash_id;
    const EVP_MD* (*evp)();
    const char*
        digest_info; // DER prefix, hex (PKCS#1 v2.2 9.2; SM3: GM/T 0006 OID 1.2.156.10197.1.401)
    bool openssl_rsa_digest; // OpenSSL's RSA signature knows this hash
};

const hash_case hash_cases[] = {
    {"md5", 0x81, EVP_md5, "3020300C06082A864886F70D020505000410", true},
    {"sha1", 2, EVP_sha1, "3021300906052B0E03021A05000414", true},
    {"sha256", 4, EVP_sha256, "3031300D060960864801650304020105000420", true},
    {"sha384", 0x82, EVP_sha384, "3041300D060960864801650304020205000430", true},
    {"sha512", 0x83, EVP_sha512, "3051300D060960864801650304020305000440", true},
    {"sm3", 1, EVP_sm3,
     "3030300C06082A811CCF550183110500"
     "0420",
     false},
};

bytes unhex(const char* text) {
    return test_support::from_hex(text);
}

// PKCS#1 v1.5 type 1 with the content as given, by OpenSSL.
bytes pkcs1_sign_raw(EVP_PKEY* key, const bytes& content) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    EVP_PKEY_sign_init(c);
    EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING);
    bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t n = out.size();
    const int ok = EVP_PKEY_sign(c, out.data(), &n, content.data(), content.size());
    EVP_PKEY_CTX_free(c);
    if (ok != 1) return {};
    out.resize(n);
    return out;
}

// The content of a PKCS#1 v1.5 type-1 block, recovered by OpenSSL.
bytes pkcs1_recover(EVP_PKEY* key, const bytes& signature) {
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    EVP_PKEY_verify_recover_init(c);
    EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING);
    bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t n = out.size();
    const int ok = EVP_PKEY_verify_recover(c, out.data(), &n, signature.data(), signature.size());
    EVP_PKEY_CTX_free(c);
    if (ok != 1) return {};
    out.resize(n);
    return out;
}

class rsa_hashes : public rsa_card, public ::testing::WithParamInterface<hash_case> {};

// The card wraps the digest in the DigestInfo of the hash id; OpenSSL checks
// the whole PKCS#1 v1.5 block. The other way round, an OpenSSL signature
// passes RSAVerify on the card, and a changed one is refused with 6A98.
TEST_P(rsa_hashes, both_ways) {
    const hash_case& c = GetParam();
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024}));
    log_in_user();
    const bytes blob = rsa_private_blob(key.get(), false);
    ASSERT_EQ(cmd_import_ext_rsa_key_pair(dev(), app, cont, sig_slot, blob.data(), 1164), cmd_ok);
    const bytes message = seq(33, 9);
    const bytes hash = digest(c.evp(), message);
    bytes content = unhex(c.digest_info);
    content.insert(content.end(), hash.begin(), hash.end());
    const bytes card_signature = sign(c.hash_id, hash);
    EXPECT_EQ(pkcs1_recover(key.get(), card_signature), content);
    if (c.openssl_rsa_digest) {
        EXPECT_TRUE(evp_verify(key.get(), c.evp(), message, card_signature, nullptr));
    }

    const bytes card_key = rsa_card_form(key.get());
    bytes signature = c.openssl_rsa_digest ? evp_sign(key.get(), c.evp(), message, nullptr)
                                           : pkcs1_sign_raw(key.get(), content);
    ASSERT_EQ(signature.size(), 128u);
    const uint8_t wire_hash = c.hash_id == 4 ? 3 : c.hash_id;
    EXPECT_EQ(cmd_rsa_verify(dev(), 2, wire_hash, card_key.data(),
                             static_cast<uint32_t>(card_key.size()), hash.data(),
                             static_cast<uint32_t>(hash.size()), signature.data(),
                             static_cast<uint32_t>(signature.size())),
              cmd_ok);
    signature[10] ^= 1;
    EXPECT_EQ(cmd_rsa_verify(dev(), 2, wire_hash, card_key.data(),
                             static_cast<uint32_t>(card_key.size()), hash.data(),
                             static_cast<uint32_t>(hash.size()), signature.data(),
                             static_cast<uint32_t>(signature.size())),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A98u);
}

INSTANTIATE_TEST_SUITE_P(crypto, rsa_hashes, ::testing::ValuesIn(hash_cases),
                         [](const auto& info) { return std::string(info.param.label); });

// The `openssl` command line as an outside verifier and signer.
TEST_F(rsa_card, openssl_command_line_both_ways) {
    log_in_user();
    bytes generated(600);
    uint32_t size = 600;
    ASSERT_EQ(cmd_gen_rsa_key_pair_ex(dev(), app, cont, 2048, sig_slot, generated.data(), &size),
              cmd_ok);
    pkey_ptr pub = rsa_from_export(export_key(sig_slot));
    ASSERT_NE(pub, nullptr);

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("cmd_crypto_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const bytes& b) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    };
    auto read = [&](const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), {});
    };
    const bytes message = seq(500, 3);
    write("msg.bin", message);
    FILE* pem = std::fopen((dir / "card.pem").c_str(), "w");
    ASSERT_NE(pem, nullptr);
    PEM_write_PUBKEY(pem, pub.get());
    std::fclose(pem);
    write("card.sig", sign(3, digest(EVP_sha256(), message)));
    const std::string d = dir.string();
    const std::string verify = "openssl dgst -sha256 -verify " + d + "/card.pem -signature " + d +
                               "/card.sig " + d + "/msg.bin > /dev/null 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0) << "a card signature verifies with openssl";
    write("msg.bin", seq(500, 4));
    EXPECT_NE(std::system(verify.c_str()), 0) << "and fails for another message";

    // openssl signs with its own key; the card verifies.
    const std::string make = "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " +
                             d + "/own.pem > /dev/null 2>&1 && openssl dgst -sha256 -sign " + d +
                             "/own.pem -out " + d + "/own.sig " + d + "/msg.bin > /dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    FILE* own = std::fopen((dir / "own.pem").c_str(), "r");
    ASSERT_NE(own, nullptr);
    pkey_ptr key(PEM_read_PrivateKey(own, nullptr, nullptr, nullptr));
    std::fclose(own);
    ASSERT_NE(key, nullptr);
    const bytes card_key = rsa_card_form(key.get());
    const bytes hash = digest(EVP_sha256(), read("msg.bin"));
    const bytes signature = read("own.sig");
    EXPECT_EQ(cmd_rsa_verify(dev(), 2, 3, card_key.data(), static_cast<uint32_t>(card_key.size()),
                             hash.data(), 32, signature.data(),
                             static_cast<uint32_t>(signature.size())),
              cmd_ok);
    std::filesystem::remove_all(dir);
}

// Decryption of an OpenSSL PKCS#1 v1.5 cipher text, the raw private and
// public operations inverse to each other, and raw sign (0x80).
TEST_F(rsa_card, decrypt_and_raw_operations) {
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    log_in_user();
    const bytes blob = rsa_private_blob(key.get(), false);
    ASSERT_EQ(cmd_import_ext_rsa_key_pair(dev(), app, cont, exchange_slot, blob.data(), 1164),
              cmd_ok);

    const bytes secret = seq(24, 0x42);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr);
    EVP_PKEY_encrypt_init(pctx);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
    bytes encrypted(256);
    size_t n = encrypted.size();
    ASSERT_EQ(EVP_PKEY_encrypt(pctx, encrypted.data(), &n, secret.data(), secret.size()), 1);
    EVP_PKEY_CTX_free(pctx);
    bytes plain(256);
    uint32_t size = 256;
    ASSERT_EQ(cmd_rsa_decrypt(dev(), app, cont, exchange_slot, encrypted.data(), 256, plain.data(),
                              &size),
              cmd_ok);
    plain.resize(size);
    EXPECT_EQ(plain, secret);
    encrypted[0] ^= 0x55;
    size = 256;
    EXPECT_EQ(cmd_rsa_decrypt(dev(), app, cont, exchange_slot, encrypted.data(), 256, plain.data(),
                              &size),
              cmd_bad_status);

    bytes input = seq(256, 1);
    input[0] = 0;
    bytes priv(256), back(256);
    uint32_t priv_size = 256, back_size = 256;
    ASSERT_EQ(cmd_rsa_private(dev(), app, cont, exchange_slot, input.data(), 256, priv.data(),
                              &priv_size),
              cmd_ok);
    const bytes card_key = rsa_card_form(key.get());
    ASSERT_EQ(cmd_ex_rsa_pub_key_operation(dev(), card_key.data(),
                                           static_cast<uint32_t>(card_key.size()), priv.data(),
                                           priv_size, back.data(), &back_size),
              cmd_ok);
    EXPECT_EQ(back, input);

    // 0x80: the data is padded as given (PKCS#1 type 1, no DigestInfo).
    const bytes raw = seq(40, 5);
    bytes raw_sig(256);
    size = 256;
    ASSERT_EQ(cmd_rsa_sign_ex(dev(), app, cont, exchange_slot, 0x80, raw.data(), 40, raw_sig.data(),
                              &size),
              cmd_ok);
    EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr);
    EVP_PKEY_verify_init(vctx);
    EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING);
    EXPECT_EQ(EVP_PKEY_verify(vctx, raw_sig.data(), size, raw.data(), raw.size()), 1);
    EVP_PKEY_CTX_free(vctx);
}

// The card's special answers: login, missing key, unknown container, a key
// of the other kind, DeleteKeyPair; and a reply longer than the buffer.
TEST_F(rsa_card, refusals) {
    bytes out(600);
    uint32_t size = 600;
    EXPECT_EQ(cmd_gen_rsa_key_pair_ex(dev(), app, cont, 1024, sig_slot, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    log_in_user();
    size = 600;
    EXPECT_EQ(cmd_export_public_key(dev(), app, cont, sig_slot, out.data(), &size), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu);
    EXPECT_EQ(cmd_export_public_key(dev(), app, 0x7777, sig_slot, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A82u);
    EXPECT_EQ(cmd_gen_rsa_key_pair_ex(dev(), app, cont, 1536, sig_slot, out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A80u);
    size = 100;
    EXPECT_EQ(cmd_gen_rsa_key_pair_ex(dev(), app, cont, 1024, sig_slot, out.data(), &size),
              cmd_bad_length);
    EXPECT_EQ(size, 132u) << "the length needed is reported";
    const bytes e = seq(32);
    size = 600;
    EXPECT_EQ(cmd_ecc_sign_data_ex(dev(), app, cont, 2, sig_slot, nullptr, 0, e.data(), 32,
                                   out.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu) << "an RSA key does not sign SM2";
    EXPECT_EQ(cmd_delete_key_pair(dev(), app, cont, sig_slot), cmd_ok);
    EXPECT_EQ(cmd_delete_key_pair(dev(), app, cont, sig_slot), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A8Cu);
    EXPECT_EQ(cmd_delete_key_pair(dev(), app, cont, 2), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A86u);
}

// Key pairs are persistent: a card loaded from the image of another holds
// the same public key, and the private key still signs.
TEST_F(rsa_card, key_pairs_survive_in_the_image) {
    const std::filesystem::path image =
        std::filesystem::temp_directory_path() / ("cmd_crypto_image_" + std::to_string(::getpid()));
    std::filesystem::remove(image);
    bytes exported;
    uint16_t id = 0;
    {
        cardsim::card first(cardsim::card_options{2048, false, image.string()});
        device = attach(first);
        id = make_container("persisted");
        setup(1, {0, app});
        bytes xy(64);
        uint32_t size = 64;
        ASSERT_EQ(cmd_gen_ecc_key_pair(dev(), app, id, 256, xy.data(), &size), cmd_ok);
        exported.resize(128);
        size = 128;
        ASSERT_EQ(cmd_export_public_key(dev(), app, id, sig_slot, exported.data(), &size), cmd_ok);
        exported.resize(size);
        detach(device); // before `first` goes
    }
    cardsim::card second(cardsim::card_options{2048, false, image.string()});
    device = attach(second);
    bytes again(128);
    uint32_t size = 128;
    ASSERT_EQ(cmd_export_public_key(dev(), app, id, sig_slot, again.data(), &size), cmd_ok);
    again.resize(size);
    EXPECT_EQ(again, exported);
    setup(1, {0, app});
    const bytes e = seq(32);
    bytes sig(128);
    size = 128;
    EXPECT_EQ(cmd_ecc_sign_data_ex(dev(), app, id, 2, sig_slot, nullptr, 0, e.data(), 32,
                                   sig.data(), &size),
              cmd_ok);
    std::filesystem::remove(image);
}

// ---- Chained import: data of 0, C-1, C, C+1 and several C ----

class rsa_chained : public rsa_card, public ::testing::WithParamInterface<size_t> {};

// The header and every segment but the last go with CLA D0, the last with
// C0; segments are C bytes, the last the rest. The card then refuses
// anything that is not a 1164-byte key blob.
TEST_P(rsa_chained, segments_and_chaining_bits) {
    constexpr uint32_t chunk = 64;
    ASSERT_EQ(cmd_set_chunk_size(dev(), chunk + 32), chunk);
    log_in_user();
    card.clear_log();
    const size_t length = GetParam() == 0 ? 0 : GetParam() + chunk - 64; // cases given for C = 64
    const bytes material = seq(length, 1);
    const cmd_result rc = cmd_import_ext_rsa_key_pair(dev(), app, cont, sig_slot, material.data(),
                                                      static_cast<uint32_t>(length));
    if (length == 0) {
        EXPECT_EQ(rc, cmd_bad_length);
        EXPECT_TRUE(card.apdu_log().empty()) << "an empty chain is never opened";
        return;
    }
    EXPECT_EQ(rc, cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6700u);
    const auto log = card.apdu_log();
    const size_t segments = (length + chunk - 1) / chunk;
    ASSERT_EQ(log.size(), 1 + segments);
    EXPECT_EQ(log[0], (bytes{0xD0, 0x20, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, app,
                             static_cast<uint8_t>(cont >> 8), static_cast<uint8_t>(cont)}));
    for (size_t i = 0; i < segments; ++i) {
        const bytes& apdu = log[1 + i];
        const size_t expected = i + 1 < segments ? chunk : length - chunk * (segments - 1);
        EXPECT_EQ(apdu[0], i + 1 < segments ? 0xD0 : 0xC0) << i;
        EXPECT_EQ(apdu.size(), 7 + expected) << i;
        EXPECT_TRUE(std::equal(apdu.begin() + 7, apdu.end(),
                               material.begin() + static_cast<std::ptrdiff_t>(i * chunk)));
    }
}

INSTANTIATE_TEST_SUITE_P(crypto, rsa_chained, ::testing::Values(0u, 63u, 64u, 65u, 192u),
                         ::testing::PrintToStringParamName());

// A real 1164-byte blob in 64-byte segments (18 full and one of 12), in
// both the five-component and the three-component form: the key works.
TEST_F(rsa_card, chained_import_of_a_real_key) {
    ASSERT_EQ(cmd_set_chunk_size(dev(), 64 + 32), 64u);
    log_in_user();
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048}));
    for (bool three : {false, true}) {
        card.clear_log();
        const bytes blob = rsa_private_blob(key.get(), three);
        ASSERT_EQ(cmd_import_ext_rsa_key_pair(dev(), app, cont, sig_slot, blob.data(), 1164),
                  cmd_ok)
            << three << " " << std::hex << cmd_last_status_word();
        EXPECT_EQ(sent_with_ins(0x20).size(), 1u + 19u);
        const bytes message = seq(10, 2);
        EXPECT_TRUE(evp_verify(key.get(), EVP_sha1(), message, sign(2, digest(EVP_sha1(), message)),
                               nullptr));
    }
}

// ---- SM2 ----

// Z per GM/T 0003 with the curve constants written out here, so the test
// does not share the card's way of getting them.
bytes sm2_e(const bytes& x, const bytes& y, const bytes& message,
            const std::string& id = "1234567812345678") {
    static const char* curve_hex =
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";
    bytes input = {static_cast<uint8_t>(id.size() * 8 >> 8), static_cast<uint8_t>(id.size() * 8)};
    input.insert(input.end(), id.begin(), id.end());
    const bytes curve = unhex(curve_hex);
    input.insert(input.end(), curve.begin(), curve.end());
    input.insert(input.end(), x.begin(), x.end());
    input.insert(input.end(), y.begin(), y.end());
    bytes zm = digest(EVP_sm3(), input);
    zm.insert(zm.end(), message.begin(), message.end());
    return digest(EVP_sm3(), zm);
}

pkey_ptr sm2_public(const bytes& x, const bytes& y) {
    bytes point = {0x04};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    return from_params("SM2", bld, EVP_PKEY_PUBLIC_KEY);
}

bytes der_signature(const bytes& rs) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int n = i2d_ECDSA_SIG(sig, &der);
    bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

bytes rs_of(const bytes& der) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    bytes out = bn_bytes(ECDSA_SIG_get0_r(sig), 32), s = bn_bytes(ECDSA_SIG_get0_s(sig), 32);
    out.insert(out.end(), s.begin(), s.end());
    ECDSA_SIG_free(sig);
    return out;
}

// OpenSSL's SM2 cipher text (SEQUENCE x, y, hash, cipher) <-> the card form
// 00000100 || 04 || X || Y || HASH || length (4) || cipher.
bytes card_form_of(const bytes& der) {
    const unsigned char* p = der.data();
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size()));
    bytes out = {0, 0, 1, 0, 4};
    for (int i = 0; i < 2; ++i) {
        BIGNUM* v = ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq, i)->value.integer, nullptr);
        const bytes b = bn_bytes(v, 32);
        BN_free(v);
        out.insert(out.end(), b.begin(), b.end());
    }
    const ASN1_OCTET_STRING* hash = sk_ASN1_TYPE_value(seq, 2)->value.octet_string;
    const ASN1_OCTET_STRING* c = sk_ASN1_TYPE_value(seq, 3)->value.octet_string;
    out.insert(out.end(), ASN1_STRING_get0_data(hash),
               ASN1_STRING_get0_data(hash) + ASN1_STRING_length(hash));
    const int n = ASN1_STRING_length(c);
    for (int shift : {24, 16, 8, 0})
        out.push_back(static_cast<uint8_t>(n >> shift));
    out.insert(out.end(), ASN1_STRING_get0_data(c), ASN1_STRING_get0_data(c) + n);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

bytes der_of(const bytes& form) {
    ASN1_SEQUENCE_ANY* seq = sk_ASN1_TYPE_new_null();
    for (int i = 0; i < 2; ++i) {
        BIGNUM* v = BN_bin2bn(form.data() + 5 + 32 * i, 32, nullptr);
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_INTEGER, BN_to_ASN1_INTEGER(v, nullptr));
        BN_free(v);
        sk_ASN1_TYPE_push(seq, t);
    }
    const size_t n = form.size() - 105;
    for (auto [offset, length] : {std::pair<size_t, size_t>{69, 32}, {105, n}}) {
        ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(s, form.data() + offset, static_cast<int>(length));
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, s);
        sk_ASN1_TYPE_push(seq, t);
    }
    unsigned char* der = nullptr;
    const int len = i2d_ASN1_SEQUENCE_ANY(seq, &der);
    bytes out(der, der + len);
    OPENSSL_free(der);
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return out;
}

class sm2_card : public crypto_card {
  protected:
    bytes sign(const bytes& e, uint8_t slot = sig_slot) {
        bytes out(128);
        uint32_t size = 128;
        EXPECT_EQ(cmd_ecc_sign_data_ex(dev(), app, cont, 2, slot, nullptr, 0, e.data(), 32,
                                       out.data(), &size),
                  cmd_ok);
        out.resize(size);
        return out;
    }
    // The 68-byte card form BitLen || X || Y.
    static bytes card_key(const bytes& x, const bytes& y) {
        bytes k = {0, 0, 1, 0};
        k.insert(k.end(), x.begin(), x.end());
        k.insert(k.end(), y.begin(), y.end());
        return k;
    }
};

TEST_F(sm2_card, generated_key_signs_for_openssl_and_verifies_openssl) {
    log_in_user();
    bytes xy(256);
    uint32_t size = 256;
    ASSERT_EQ(cmd_gen_ecc_key_pair(dev(), app, cont, 256, xy.data(), &size), cmd_ok);
    ASSERT_EQ(size, 64u);
    const bytes x(xy.begin(), xy.begin() + 32), y(xy.begin() + 32, xy.begin() + 64);
    bytes exported(256);
    size = 256;
    ASSERT_EQ(cmd_export_public_key(dev(), app, cont, sig_slot, exported.data(), &size), cmd_ok);
    exported.resize(size);
    EXPECT_EQ(exported, card_key(x, y));

    pkey_ptr pub = sm2_public(x, y);
    ASSERT_NE(pub, nullptr);
    const bytes message = seq(77, 3);
    const bytes reply = sign(sm2_e(x, y, message));
    ASSERT_EQ(reply.size(), 68u);
    EXPECT_EQ(bytes(reply.begin(), reply.begin() + 4), (bytes{0, 0, 1, 0}));
    const bytes rs(reply.begin() + 4, reply.end());
    EXPECT_TRUE(evp_verify(pub.get(), EVP_sm3(), message, der_signature(rs), "1234567812345678"));

    // The card verifies what OpenSSL signs with an imported key of its own.
    pkey_ptr own(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    const bytes ox = key_param(own.get(), OSSL_PKEY_PARAM_EC_PUB_X, 32);
    const bytes oy = key_param(own.get(), OSSL_PKEY_PARAM_EC_PUB_Y, 32);
    const bytes signature = rs_of(evp_sign(own.get(), EVP_sm3(), message, "1234567812345678"));
    const bytes key = card_key(ox, oy), e = sm2_e(ox, oy, message);
    EXPECT_EQ(cmd_ecc_verify(dev(), key.data(), 68, e.data(), 32, signature.data(), 64), cmd_ok);
    bytes wrong = signature;
    wrong[40] ^= 1;
    EXPECT_EQ(cmd_ecc_verify(dev(), key.data(), 68, e.data(), 32, wrong.data(), 64),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A98u);
}

// DigestInit with the public key and the identity makes the card start SM3
// with Z: Digest(M) is then e, and its signature verifies with OpenSSL.
TEST_F(sm2_card, digest_with_identity_gives_e) {
    log_in_user();
    bytes xy(64);
    uint32_t size = 64;
    ASSERT_EQ(cmd_gen_ecc_key_pair(dev(), app, cont, 256, xy.data(), &size), cmd_ok);
    const bytes x(xy.begin(), xy.begin() + 32), y(xy.begin() + 32, xy.end());
    const bytes key = card_key(x, y), message = seq(200, 8);
    const std::string id = "1234567812345678";
    ASSERT_EQ(cmd_digest_init(dev(), 1, key.data(), 68, reinterpret_cast<const uint8_t*>(id.data()),
                              16, 0),
              cmd_ok);
    bytes e(32);
    size = 32;
    ASSERT_EQ(cmd_digest(dev(), message.data(), 200, e.data(), &size), cmd_ok);
    EXPECT_EQ(e, sm2_e(x, y, message));
    const bytes reply = sign(e);
    pkey_ptr pub = sm2_public(x, y);
    EXPECT_TRUE(evp_verify(pub.get(), EVP_sm3(), message,
                           der_signature(bytes(reply.begin() + 4, reply.end())), id.c_str()));
}

// Encryption both ways with an imported key pair whose private key OpenSSL
// also holds; GenECCKeyPair (bit length 256) fills this card's signature slot
// and leaves the exchange pair as it was; an algorithm id in place of the bit
// length is refused.
TEST_F(sm2_card, encrypt_decrypt_both_ways) {
    log_in_user();
    pkey_ptr own(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    const bytes x = key_param(own.get(), OSSL_PKEY_PARAM_EC_PUB_X, 32);
    const bytes y = key_param(own.get(), OSSL_PKEY_PARAM_EC_PUB_Y, 32);
    const bytes d = key_param(own.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32);
    bytes blob(196, 0);
    blob[1] = 1; // BitLen 256, little-endian
    std::copy(x.begin(), x.end(), blob.begin() + 4 + 32);
    std::copy(y.begin(), y.end(), blob.begin() + 68 + 32);
    std::copy(d.begin(), d.end(), blob.begin() + 132 + 32);
    ASSERT_EQ(cmd_import_ext_ecc_key_pair(dev(), app, cont, exchange_slot, blob.data(), 196),
              cmd_ok);
    bytes bad = blob;
    bad[200 - 5] ^= 1; // private key no longer matches the public key
    EXPECT_EQ(cmd_import_ext_ecc_key_pair(dev(), app, cont, exchange_slot, bad.data(), 196),
              cmd_bad_status);

    const bytes plain = seq(45, 0x61), key = card_key(x, y);
    bytes form(400);
    uint32_t size = 400;
    ASSERT_EQ(cmd_ex_ecc_encrypt(dev(), key.data(), 68, plain.data(), 45, form.data(), &size),
              cmd_ok);
    form.resize(size);
    ASSERT_EQ(form.size(), 105u + 45u);
    // OpenSSL decrypts the card's cipher text ...
    const bytes der = der_of(form);
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr);
    EVP_PKEY_decrypt_init(c);
    bytes out(100);
    size_t n = out.size();
    ASSERT_EQ(EVP_PKEY_decrypt(c, out.data(), &n, der.data(), der.size()), 1);
    out.resize(n);
    EXPECT_EQ(out, plain);
    // ... and the card decrypts OpenSSL's.
    EVP_PKEY_encrypt_init(c);
    bytes der2(300);
    n = der2.size();
    ASSERT_EQ(EVP_PKEY_encrypt(c, der2.data(), &n, plain.data(), plain.size()), 1);
    der2.resize(n);
    EVP_PKEY_CTX_free(c);
    const bytes form2 = card_form_of(der2);
    bytes back(100);
    size = 100;
    ASSERT_EQ(cmd_ecc_pri_decrypt(dev(), app, cont, exchange_slot, form2.data(),
                                  static_cast<uint32_t>(form2.size()), back.data(), &size),
              cmd_ok);
    back.resize(size);
    EXPECT_EQ(back, plain);
    bytes tampered = form2;
    tampered[80] ^= 1; // the hash
    size = 100;
    EXPECT_EQ(cmd_ecc_pri_decrypt(dev(), app, cont, exchange_slot, tampered.data(),
                                  static_cast<uint32_t>(tampered.size()), back.data(), &size),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6984u);

    bytes xy(64);
    for (const uint32_t value : {0x00020100u, 0x00020200u, 0u, 512u}) {
        size = 64;
        EXPECT_EQ(cmd_gen_ecc_key_pair(dev(), app, cont, value, xy.data(), &size), cmd_bad_status)
            << std::hex << value;
        EXPECT_EQ(cmd_last_status_word(), 0x6A80u);
    }
    size = 64;
    ASSERT_EQ(cmd_gen_ecc_key_pair(dev(), app, cont, 256, xy.data(), &size), cmd_ok);
    bytes exported(128);
    size = 128;
    ASSERT_EQ(cmd_export_public_key(dev(), app, cont, 1, exported.data(), &size), cmd_ok);
    EXPECT_TRUE(std::equal(xy.begin(), xy.end(), exported.begin() + 4));
    size = 128;
    ASSERT_EQ(cmd_export_public_key(dev(), app, cont, exchange_slot, exported.data(), &size),
              cmd_ok);
    EXPECT_TRUE(std::equal(x.begin(), x.end(), exported.begin() + 4)) << "exchange pair kept";
}

} // namespace
} // namespace crypto_test
