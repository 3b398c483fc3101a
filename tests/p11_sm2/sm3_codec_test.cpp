// SM3 against the examples of GB/T 32905 and OpenSSL's SM3 (whole and fed in
// pieces across block boundaries), Z against OpenSSL's SM2 signatures with the
// default identity, and the SM2 cipher-text DER conversion (OpenSSL's cipher
// texts, the module's own form, and malformed input), and key derivation by SM3.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "openssl_ptr.h"
#include "pkcs11_key_ctx.h"
#include "pkcs11_object.h"
#include "sm2_codec.h"
#include "sm3.h"
#include "test_hex.h"

using bytes = std::vector<uint8_t>;

namespace {

using test_support::from_hex;

bytes openssl_sm3(const bytes& m) {
    bytes d(32);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(m.data(), m.size(), d.data(), &n, EVP_sm3(), nullptr), 1);
    return d;
}

bytes module_sm3(const bytes& m) {
    bytes d(32);
    sm3(m.data(), m.size(), d.data());
    return d;
}

using test_support::pctx_ptr;
using test_support::pkey_ptr;

pkey_ptr sm2_key() {
    return pkey_ptr(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
}

// x || y of an SM2 key.
bytes xy_of(EVP_PKEY* key) {
    uint8_t point[65];
    size_t n = 0;
    EXPECT_EQ(
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &n), 1);
    EXPECT_EQ(n, 65u);
    return bytes(point + 1, point + 65);
}

} // namespace

TEST(Sm3, StandardExamples) {
    EXPECT_EQ(module_sm3({'a', 'b', 'c'}),
              from_hex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"));
    bytes m;
    for (int i = 0; i < 16; ++i)
        m.insert(m.end(), {'a', 'b', 'c', 'd'});
    EXPECT_EQ(module_sm3(m),
              from_hex("debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"));
}

TEST(Sm3, RandomLengthsWholeAndInPiecesAgainstOpenssl) {
    std::mt19937 rng(7);
    for (size_t len : {0, 1, 15, 16, 17, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 4096, 65537}) {
        bytes m(len);
        for (auto& b : m)
            b = static_cast<uint8_t>(rng());
        const bytes expected = openssl_sm3(m);
        EXPECT_EQ(module_sm3(m), expected) << len;
        // Pieces of varying size that cross the 64-byte block boundary.
        sm3_state s;
        sm3_init(s);
        size_t at = 0;
        for (size_t piece = 1; at < len; piece = piece * 3 % 97 + 1) {
            const size_t n = std::min(piece, len - at);
            sm3_update(s, m.data() + at, n);
            at += n;
        }
        bytes d(32);
        sm3_final(s, d.data());
        EXPECT_EQ(d, expected) << len;
    }
}

// OpenSSL signs SM3(Z || M) with the identity it is given; the module's Z
// makes the same e, which OpenSSL's raw SM2 verification accepts.
TEST(Sm2Z, MatchesOpensslSignaturesWithTheDefaultIdentity) {
    pkey_ptr key = sm2_key();
    ASSERT_NE(key, nullptr);
    const bytes msg = {'m', 'e', 's', 's', 'a', 'g', 'e'};
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    ASSERT_EQ(EVP_DigestSignInit(md, &pctx, EVP_sm3(), nullptr, key.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set1_id(pctx, sm2_default_id, sizeof sm2_default_id), 1);
    size_t sig_len = 0;
    ASSERT_EQ(EVP_DigestSign(md, nullptr, &sig_len, msg.data(), msg.size()), 1);
    bytes sig(sig_len);
    ASSERT_EQ(EVP_DigestSign(md, sig.data(), &sig_len, msg.data(), msg.size()), 1);
    sig.resize(sig_len);
    EVP_MD_CTX_free(md);

    const bytes xy = xy_of(key.get());
    uint8_t z[32];
    sm2_compute_z_xy(xy.data(), z);
    ECCPUBLICKEYBLOB blob{};
    blob.BitLen = 256;
    std::memcpy(blob.XCoordinate + 32, xy.data(), 32);
    std::memcpy(blob.YCoordinate + 32, xy.data() + 32, 32);
    uint8_t z2[32];
    sm2_compute_z(blob, z2);
    EXPECT_EQ(0, std::memcmp(z, z2, 32));

    bytes zm(z, z + 32);
    zm.insert(zm.end(), msg.begin(), msg.end());
    const bytes e = openssl_sm3(zm);
    pctx_ptr v(EVP_PKEY_CTX_new(key.get(), nullptr));
    ASSERT_EQ(EVP_PKEY_verify_init(v.get()), 1);
    EXPECT_EQ(EVP_PKEY_verify(v.get(), sig.data(), sig.size(), e.data(), e.size()), 1);
}

namespace {

bytes openssl_encrypt(EVP_PKEY* key, const bytes& plain) {
    pctx_ptr c(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_EQ(EVP_PKEY_encrypt_init(c.get()), 1);
    size_t n = 0;
    EXPECT_EQ(EVP_PKEY_encrypt(c.get(), nullptr, &n, plain.data(), plain.size()), 1);
    bytes out(n);
    EXPECT_EQ(EVP_PKEY_encrypt(c.get(), out.data(), &n, plain.data(), plain.size()), 1);
    out.resize(n);
    return out;
}

bytes openssl_decrypt(EVP_PKEY* key, const bytes& der) {
    pctx_ptr c(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_EQ(EVP_PKEY_decrypt_init(c.get()), 1);
    size_t n = 0;
    if (EVP_PKEY_decrypt(c.get(), nullptr, &n, der.data(), der.size()) != 1) return {};
    bytes out(n);
    if (EVP_PKEY_decrypt(c.get(), out.data(), &n, der.data(), der.size()) != 1) return {};
    out.resize(n);
    return out;
}

bytes decode(const bytes& der, uint32_t& cipher_len, int& rc, size_t room = 2048) {
    bytes blob(room);
    uint32_t size = 0;
    rc = sm2_cipher_der_decode(der, blob, size);
    if (rc != 0) return {};
    blob.resize(size);
    std::memcpy(&cipher_len, blob.data() + 160, 4);
    return blob;
}

} // namespace

// OpenSSL's cipher texts (minimal INTEGERs, long-form lengths) decode; the
// module's encoding of the decoded record decrypts with OpenSSL to the same text.
TEST(Sm2CipherDer, OpensslCipherTextsRoundTrip) {
    pkey_ptr key = sm2_key();
    ASSERT_NE(key, nullptr);
    for (size_t len : {1, 16, 100, 148, 149, 300, 1024}) {
        bytes plain(len);
        for (size_t i = 0; i < len; ++i)
            plain[i] = static_cast<uint8_t>(i * 13 + len);
        // Enough tries that some have a coordinate with a clear top bit or a leading zero.
        for (int t = 0; t < 8; ++t) {
            const bytes der = openssl_encrypt(key.get(), plain);
            uint32_t cl = 0;
            int rc = 1;
            const bytes blob = decode(der, cl, rc);
            ASSERT_EQ(rc, 0) << len;
            EXPECT_EQ(cl, len);
            EXPECT_EQ(blob.size(), 164 + len);
            uint32_t out_len = 0;
            ASSERT_EQ(sm2_cipher_der_encode(blob, nullptr, &out_len), 0);
            EXPECT_EQ(out_len, sm2_cipher_der_length(static_cast<uint32_t>(len)));
            bytes mine(out_len);
            ASSERT_EQ(sm2_cipher_der_encode(blob, mine.data(), &out_len), 0);
            mine.resize(out_len);
            EXPECT_EQ(openssl_decrypt(key.get(), mine), plain) << len;
        }
    }
}

TEST(Sm2CipherDer, SixteenBytesEncodeTo124AndShortCapacityFails) {
    bytes blob(164 + 16, 0x5A);
    const uint32_t sixteen = 16;
    std::memcpy(blob.data() + 160, &sixteen, 4);
    uint32_t n = 0;
    ASSERT_EQ(sm2_cipher_der_encode(blob, nullptr, &n), 0);
    EXPECT_EQ(n, 124u);
    bytes out(123);
    n = 123;
    EXPECT_EQ(sm2_cipher_der_encode(blob, out.data(), &n), 1);
    EXPECT_EQ(n, 124u);
    // A CipherLen beyond the record is refused.
    const uint32_t too_long = 17;
    std::memcpy(blob.data() + 160, &too_long, 4);
    EXPECT_EQ(sm2_cipher_der_encode(blob, nullptr, &n), 1);
}

namespace {

// A well-formed module encoding of `len` cipher bytes.
bytes good_der(uint32_t len) {
    bytes blob(164 + len, 0x11);
    std::memcpy(blob.data() + 160, &len, 4);
    uint32_t n = 0;
    sm2_cipher_der_encode(blob, nullptr, &n);
    bytes der(n);
    sm2_cipher_der_encode(blob, der.data(), &n);
    return der;
}

struct bad_case {
    const char* name;
    bytes der;
};

} // namespace

TEST(Sm2CipherDer, MalformedInputIsRefused) {
    const bytes ok = good_der(20);
    uint32_t cl = 0;
    int rc = 1;
    decode(ok, cl, rc);
    ASSERT_EQ(rc, 0);

    std::vector<bad_case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"truncated", bytes(ok.begin(), ok.end() - 1)});
    cases.push_back({"trailing byte", [&] {
                         bytes b = ok;
                         b.push_back(0);
                         return b;
                     }()});
    cases.push_back({"outer tag", [&] {
                         bytes b = ok;
                         b[0] = 0x31;
                         return b;
                     }()});
    cases.push_back({"x tag", [&] {
                         bytes b = ok;
                         b[2] = 0x04;
                         return b;
                     }()});
    cases.push_back({"x longer than 33", [&] {
                         bytes b = ok;
                         b[3] = 0x41; // claims 65 bytes
                         return b;
                     }()});
    cases.push_back({"33-byte x without leading zero", [&] {
                         bytes b = ok;
                         b[4] = 0x01;
                         return b;
                     }()});
    cases.push_back({"hash not 32", [&] {
                         bytes b = ok;
                         b[2 + 35 + 35 + 1] = 0x1F;
                         return b;
                     }()});
    cases.push_back({"cipher longer than the input", [&] {
                         bytes b = ok;
                         b[2 + 35 + 35 + 34 + 1] = 0x7F;
                         return b;
                     }()});
    // A 0x81 outer length whose total is wrong.
    const bytes long_form = good_der(100);
    ASSERT_EQ(long_form[1], 0x81);
    cases.push_back({"0x81 outer length off by one", [&] {
                         bytes b = long_form;
                         b[2] = static_cast<uint8_t>(b[2] + 1);
                         return b;
                     }()});
    for (const bad_case& c : cases) {
        decode(c.der, cl, rc);
        EXPECT_EQ(rc, 1) << c.name;
    }
    // A record too small for the cipher text.
    decode(ok, cl, rc, 164 + 19);
    EXPECT_EQ(rc, 1);
}

TEST(Sm2Point, TakesTheLastSixtyFourBytes) {
    bytes raw(65, 0x22);
    raw[0] = 0x04;
    // The point as a DER OCTET STRING (04 41 ...), written in place: g++ 12
    // misreads an insert that grows a two-byte vector as a copy out of bounds.
    bytes wrapped(2 + raw.size());
    wrapped[0] = 0x04;
    wrapped[1] = 0x41;
    std::copy(raw.begin(), raw.end(), wrapped.begin() + 2);
    const uint8_t* xy = nullptr;
    EXPECT_TRUE(sm2_point_xy(raw, xy));
    EXPECT_EQ(xy, raw.data() + 1);
    EXPECT_TRUE(sm2_point_xy(wrapped, xy));
    EXPECT_EQ(xy, wrapped.data() + 3);
    // Whatever precedes them: nothing, or bytes of no meaning.
    const bytes bare(raw.begin() + 1, raw.end());
    EXPECT_TRUE(sm2_point_xy(bare, xy));
    EXPECT_EQ(xy, bare.data());
    bytes no_marker = raw;
    no_marker[0] = 0x02;
    EXPECT_TRUE(sm2_point_xy(no_marker, xy));
    EXPECT_EQ(xy, no_marker.data() + 1);
    const bytes longest(256, 0x07);
    EXPECT_TRUE(sm2_point_xy(longest, xy));
    EXPECT_EQ(xy, longest.data() + 192);
    EXPECT_FALSE(sm2_point_xy(bytes(10, 0x04), xy));
    EXPECT_FALSE(sm2_point_xy(bytes(63, 0x04), xy));
    EXPECT_FALSE(sm2_point_xy(bytes(257, 0x04), xy));
    // The uncompressed point, alone or wrapped, begins with 04 and holds more
    // than x || y.
    EXPECT_TRUE(sm2_point_marked(raw));
    EXPECT_TRUE(sm2_point_marked(wrapped));
    EXPECT_FALSE(sm2_point_marked(bytes(64, 0x04)));
    EXPECT_FALSE(sm2_point_marked(no_marker));
}

namespace {

std::shared_ptr<pkcs11_object> key_with(uint32_t cls, const std::vector<inner_attribute>& extra) {
    std::vector<inner_attribute> t{{CKA_CLASS, &cls, 4}};
    t.insert(t.end(), extra.begin(), extra.end());
    CK_RV rv = CKR_OK;
    auto o = pkcs11_object::create(0, cls, t.data(), static_cast<uint32_t>(t.size()), &rv);
    EXPECT_EQ(rv, CKR_OK);
    return o;
}

} // namespace

// Key derivation by SM3: the new key takes as many digest bytes as its type
// needs, never more than the digest has.
TEST(Sm3KeyDerivation, TakesTheDigestBytesTheKeyTypeNeeds) {
    bytes value = {'s', 'e', 'c', 'r', 'e', 't'};
    const bytes d = openssl_sm3(value);
    auto base =
        key_with(CKO_SECRET_KEY, {{CKA_VALUE, value.data(), static_cast<uint32_t>(value.size())}});
    CK_MECHANISM m{ZELT_CKM_SM3, nullptr, 0};
    struct derive_case {
        std::optional<uint32_t> key_type;
        std::optional<uint32_t> value_len;
        CK_RV rv;
        size_t taken;
    };
    const derive_case cases[] = {
        {CKK_DES3, std::nullopt, CKR_OK, 24}, {CKK_DES, std::nullopt, CKR_OK, 8},
        {CKK_AES, std::nullopt, CKR_OK, 16},  {std::nullopt, 0u, CKR_OK, 32},
        {std::nullopt, 20u, CKR_OK, 20},      {std::nullopt, 40u, CKR_TEMPLATE_INCONSISTENT, 0},
    };
    for (const derive_case& c : cases) {
        uint32_t kt = c.key_type.value_or(0), vl = c.value_len.value_or(0);
        std::vector<inner_attribute> extra;
        if (c.key_type) extra.push_back({CKA_KEY_TYPE, &kt, 4});
        if (c.value_len) extra.push_back({CKA_VALUE_LEN, &vl, 4});
        auto fresh = pkcs11_object::create(0, CKO_SECRET_KEY, extra.data(),
                                           static_cast<uint32_t>(extra.size()), nullptr);
        ASSERT_NE(fresh, nullptr);
        if (!c.key_type) fresh->object_remove_attribute(CKA_KEY_TYPE);
        auto ctx = key_ctx_create(m, base, nullptr, 0);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(ctx->derive_key(*fresh), c.rv) << kt << " " << vl;
        if (c.rv != CKR_OK) continue;
        const pkcs11_attribute* v = fresh->attributes().find(CKA_VALUE);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->value, bytes(d.begin(), d.begin() + static_cast<long>(c.taken)));
        EXPECT_TRUE(fresh->attributes().flag(CKA_LOCAL));
    }
    // A base key value over 64 bytes, and none.
    bytes long_value(65, 1);
    auto long_base = key_with(CKO_SECRET_KEY, {{CKA_VALUE, long_value.data(), 65}});
    auto fresh = key_with(CKO_SECRET_KEY, {});
    EXPECT_EQ(key_ctx_create(m, long_base, nullptr, 0)->derive_key(*fresh), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(key_ctx_create(m, key_with(CKO_SECRET_KEY, {}), nullptr, 0)->derive_key(*fresh),
              CKR_ATTRIBUTE_TYPE_INVALID);
}
