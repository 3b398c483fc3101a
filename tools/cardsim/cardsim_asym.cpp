// Key pairs in containers (RSA 1024/2048 and SM2) and the operations with
// them and with outside public keys.
//
// Each container has a signature and an exchange slot; the key selector
// (P1, 1 signature / 0 exchange) chooses one. Private keys are stored as
// PKCS#8 DER. Numbers on the wire are big-endian; the GM/T 0016 records that
// the host passes through (RSAPRIVATEKEYBLOB, ECCPUBLICKEYBLOB) keep their
// little-endian AlgID and BitLen.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "cardsim_crypto.h"
#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

struct ctx_free {
    void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct bn_free {
    void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
};
struct bn_ctx_free {
    void operator()(BN_CTX* p) const noexcept { BN_CTX_free(p); }
};
struct bld_free {
    void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
};
struct params_free {
    void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
using pctx_ptr = std::unique_ptr<EVP_PKEY_CTX, ctx_free>;
using bn_ptr = std::unique_ptr<BIGNUM, bn_free>;

constexpr uint32_t rsa_alg_id = 0x00010000;
constexpr size_t rsa_blob_size = 1164;
constexpr size_t ecc_import_size = 196;
constexpr uint8_t sm2_reply_prefix[4] = {0x00, 0x00, 0x01, 0x00}; // 256, big-endian
constexpr uint8_t hash_none = 0x80;

bn_ptr bn_of(std::span<const uint8_t> bytes) {
    return bn_ptr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

bool put_bn(std::vector<uint8_t>& out, const BIGNUM* v, size_t width) {
    const size_t start = out.size();
    out.resize(start + width);
    return BN_bn2binpad(v, out.data() + start, static_cast<int>(width)) == static_cast<int>(width);
}

pkey_ptr pkey_from(const char* type, OSSL_PARAM_BLD* bld, int selection) {
    std::unique_ptr<OSSL_PARAM, params_free> params(OSSL_PARAM_BLD_to_param(bld));
    pctx_ptr c(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !c || EVP_PKEY_fromdata_init(c.get()) != 1 ||
        EVP_PKEY_fromdata(c.get(), &key, selection, params.get()) != 1)
        return nullptr;
    return pkey_ptr(key);
}

// ---- RSA keys ----

pkey_ptr rsa_public(std::span<const uint8_t> n, std::span<const uint8_t> e) {
    bn_ptr bn_n = bn_of(n), bn_e = bn_of(e);
    std::unique_ptr<OSSL_PARAM_BLD, bld_free> bld(OSSL_PARAM_BLD_new());
    if (!bn_n || !bn_e || !bld ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn_n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, bn_e.get()))
        return nullptr;
    return pkey_from("RSA", bld.get(), EVP_PKEY_PUBLIC_KEY);
}

// p and q from n, e, d (the standard probabilistic method: k = de - 1 = 2^t r;
// for some g, a square root of 1 other than +-1 shares a factor with n).
bool factor_modulus(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d, BIGNUM* p, BIGNUM* q,
                    BN_CTX* bc) {
    bn_ptr k(BN_new()), r(BN_new()), g(BN_new()), y(BN_new()), x(BN_new()), n1(BN_new()),
        one(BN_new());
    if (!k || !r || !g || !y || !x || !n1 || !one) return false;
    BN_one(one.get());
    if (!BN_mul(k.get(), d, e, bc) || !BN_sub(k.get(), k.get(), one.get()) ||
        !BN_sub(n1.get(), n, one.get()))
        return false;
    if (BN_is_odd(k.get())) return false;
    int t = 0;
    BN_copy(r.get(), k.get());
    while (!BN_is_odd(r.get())) {
        BN_rshift1(r.get(), r.get());
        ++t;
    }
    for (unsigned long base = 2; base < 200; ++base) {
        BN_set_word(g.get(), base);
        if (!BN_mod_exp(y.get(), g.get(), r.get(), n, bc)) return false;
        if (BN_is_one(y.get()) || BN_cmp(y.get(), n1.get()) == 0) continue;
        for (int i = 1; i <= t; ++i) {
            if (!BN_mod_sqr(x.get(), y.get(), n, bc)) return false;
            if (BN_is_one(x.get())) {
                BN_sub(y.get(), y.get(), one.get());
                BN_gcd(p, y.get(), n, bc);
                BN_div(q, nullptr, n, p, bc);
                return !BN_is_one(p) && BN_cmp(p, n) != 0;
            }
            if (BN_cmp(x.get(), n1.get()) == 0) break;
            BN_copy(y.get(), x.get());
        }
    }
    return false;
}

// An RSA private key from n, e, d and (when not all zero) the CRT values.
pkey_ptr rsa_private_from(std::span<const uint8_t> n_bytes, std::span<const uint8_t> e_bytes,
                          std::span<const uint8_t> d_bytes,
                          std::array<std::span<const uint8_t>, 5> crt) {
    std::unique_ptr<BN_CTX, bn_ctx_free> bc(BN_CTX_new());
    bn_ptr n = bn_of(n_bytes), e = bn_of(e_bytes), d = bn_of(d_bytes);
    std::array<bn_ptr, 5> c;
    for (size_t i = 0; i < 5; ++i)
        c[i] = bn_of(crt[i]);
    for (auto& v : c)
        if (!v) return nullptr;
    if (!bc || !n || !e || !d || BN_is_zero(n.get()) || BN_is_zero(e.get()) || BN_is_zero(d.get()))
        return nullptr;
    if (BN_is_zero(c[0].get()) || BN_is_zero(c[1].get())) {
        // The three-component form: derive the primes and CRT values.
        bn_ptr one(BN_new()), pm1(BN_new()), qm1(BN_new());
        if (!one || !pm1 || !qm1 ||
            !factor_modulus(n.get(), e.get(), d.get(), c[0].get(), c[1].get(), bc.get()))
            return nullptr;
        BN_one(one.get());
        if (!BN_sub(pm1.get(), c[0].get(), one.get()) ||
            !BN_sub(qm1.get(), c[1].get(), one.get()) ||
            !BN_mod(c[2].get(), d.get(), pm1.get(), bc.get()) ||
            !BN_mod(c[3].get(), d.get(), qm1.get(), bc.get()) ||
            !BN_mod_inverse(c[4].get(), c[1].get(), c[0].get(), bc.get()))
            return nullptr;
    }
    std::unique_ptr<OSSL_PARAM_BLD, bld_free> bld(OSSL_PARAM_BLD_new());
    if (!bld) return nullptr;
    const char* names[5] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                            OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                            OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    bool ok = OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get());
    for (size_t i = 0; ok && i < 5; ++i)
        ok = OSSL_PARAM_BLD_push_BN(bld.get(), names[i], c[i].get());
    if (!ok) return nullptr;
    pkey_ptr key = pkey_from("RSA", bld.get(), EVP_PKEY_KEYPAIR);
    if (!key) return nullptr;
    pctx_ptr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return nullptr;
    return key;
}

size_t rsa_bytes(const EVP_PKEY* key) {
    return static_cast<size_t>(EVP_PKEY_get_size(key));
}

// Modulus (k bytes) and exponent (4 bytes).
bool rsa_public_parts(const EVP_PKEY* key, std::vector<uint8_t>& out) {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
              EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1;
    bn_ptr hold_n(n), hold_e(e);
    return ok && put_bn(out, n, rsa_bytes(key)) && put_bn(out, e, 4);
}

// Raw RSA: the public or the private operation without padding.
bool rsa_raw(EVP_PKEY* key, bool private_op, std::span<const uint8_t> in,
             std::vector<uint8_t>& out) {
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!c) return false;
    const int init = private_op ? EVP_PKEY_decrypt_init(c.get()) : EVP_PKEY_encrypt_init(c.get());
    if (init != 1 || EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_NO_PADDING) != 1) return false;
    size_t n = rsa_bytes(key);
    const size_t start = out.size();
    out.resize(start + n);
    const int rc = private_op
                       ? EVP_PKEY_decrypt(c.get(), out.data() + start, &n, in.data(), in.size())
                       : EVP_PKEY_encrypt(c.get(), out.data() + start, &n, in.data(), in.size());
    if (rc != 1) {
        out.resize(start);
        return false;
    }
    out.resize(start + n);
    return true;
}

// ---- SM2 keys ----

pkey_ptr sm2_key(std::span<const uint8_t> x, std::span<const uint8_t> y,
                 std::span<const uint8_t> d) {
    std::vector<uint8_t> point = {0x04};
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    std::unique_ptr<OSSL_PARAM_BLD, bld_free> bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) ||
        !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                          point.size()))
        return nullptr;
    bn_ptr priv;
    if (!d.empty()) {
        priv = bn_of(d);
        if (!priv || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()))
            return nullptr;
    }
    return pkey_from("SM2", bld.get(), d.empty() ? EVP_PKEY_PUBLIC_KEY : EVP_PKEY_KEYPAIR);
}

// The 68-byte card form of an SM2 public key: BitLen (4) || X || Y.
pkey_ptr sm2_public_card_form(std::span<const uint8_t> key) {
    if (key.size() != 68) return nullptr;
    return sm2_key(key.subspan(4, 32), key.subspan(36, 32), {});
}

bool sm2_xy(const EVP_PKEY* key, std::vector<uint8_t>& out) {
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
              EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    bn_ptr hx(x), hy(y);
    return ok && put_bn(out, x, 32) && put_bn(out, y, 32);
}

// DER (SEQUENCE of two INTEGERs, or the SM2 cipher text SEQUENCE) helpers.
bool der_read(reader& r, uint8_t tag, std::span<const uint8_t>& value) {
    if (r.u8() != tag) return false;
    size_t len = r.u8();
    if (len & 0x80) {
        const size_t count = len & 0x7F;
        if (count == 0 || count > 2) return false;
        len = 0;
        for (size_t i = 0; i < count; ++i)
            len = len << 8 | r.u8();
    }
    value = r.bytes(len);
    return r.ok();
}

void der_put(std::vector<uint8_t>& out, uint8_t tag, std::span<const uint8_t> value) {
    out.push_back(tag);
    const size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), value.begin(), value.end());
}

// A positive INTEGER from a big-endian value.
void der_put_uint(std::vector<uint8_t>& out, std::span<const uint8_t> value) {
    size_t skip = 0;
    while (skip + 1 < value.size() && value[skip] == 0)
        ++skip;
    std::vector<uint8_t> v;
    if (value.empty() || (value[skip] & 0x80)) v.push_back(0);
    v.insert(v.end(), value.begin() + static_cast<std::ptrdiff_t>(skip), value.end());
    der_put(out, 0x02, v);
}

// An INTEGER value as 32 bytes.
bool der_uint32bytes(std::span<const uint8_t> integer, std::vector<uint8_t>& out) {
    while (integer.size() > 32 && integer[0] == 0)
        integer = integer.subspan(1);
    if (integer.size() > 32) return false;
    out.insert(out.end(), 32 - integer.size(), 0);
    out.insert(out.end(), integer.begin(), integer.end());
    return true;
}

// r || s (32 bytes each) from a DER ECDSA-Sig-Value.
bool sig_from_der(std::span<const uint8_t> der, std::vector<uint8_t>& out) {
    reader outer(der);
    std::span<const uint8_t> seq, r, s;
    if (!der_read(outer, 0x30, seq)) return false;
    reader in(seq);
    return der_read(in, 0x02, r) && der_read(in, 0x02, s) && der_uint32bytes(r, out) &&
           der_uint32bytes(s, out);
}

std::vector<uint8_t> sig_to_der(std::span<const uint8_t> rs) {
    std::vector<uint8_t> body;
    der_put_uint(body, rs.first(32));
    der_put_uint(body, rs.subspan(32, 32));
    std::vector<uint8_t> der;
    der_put(der, 0x30, body);
    return der;
}

bool sm2_sign_digest(EVP_PKEY* key, std::span<const uint8_t> e, std::vector<uint8_t>& rs) {
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    uint8_t der[80];
    size_t n = sizeof der;
    if (!c || EVP_PKEY_sign_init(c.get()) != 1 ||
        EVP_PKEY_sign(c.get(), der, &n, e.data(), e.size()) != 1)
        return false;
    return sig_from_der({der, n}, rs);
}

bool sm2_verify_digest(EVP_PKEY* key, std::span<const uint8_t> e, std::span<const uint8_t> rs) {
    const std::vector<uint8_t> der = sig_to_der(rs);
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    return c && EVP_PKEY_verify_init(c.get()) == 1 &&
           EVP_PKEY_verify(c.get(), der.data(), der.size(), e.data(), e.size()) == 1;
}

// ---- Stored keys ----

pkey_ptr load(const key_pair& k) {
    const unsigned char* p = k.private_der.data();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(k.private_der.size())),
        PKCS8_PRIV_KEY_INFO_free);
    if (!info) return nullptr;
    return pkey_ptr(EVP_PKCS82PKEY(info.get()));
}

uint16_t store(command_context& ctx, key_pair& slot, EVP_PKEY* key, key_kind kind, uint32_t bits) {
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
        EVP_PKEY2PKCS8(key), PKCS8_PRIV_KEY_INFO_free);
    unsigned char* der = nullptr;
    const int n = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der) : -1;
    if (n <= 0) return sw::unknown_error;
    std::vector<uint8_t> bytes(der, der + n);
    OPENSSL_clear_free(der, static_cast<size_t>(n));
    if (bytes.size() > max_private_key_der) return sw::no_room;
    const size_t freed = slot.private_der.size();
    if (bytes.size() > freed && bytes.size() - freed > free_space(ctx.card.persistent))
        return sw::no_room;
    slot.kind = kind;
    slot.bits = bits;
    slot.private_der = std::move(bytes);
    ctx.persistent_changed();
    return sw::ok;
}

struct located {
    uint16_t app = 0;
    container* cont = nullptr;
    key_pair* slot = nullptr;
};

// Reads "app, cont", finds the container and the slot chosen by selector.
uint16_t locate(command_context& ctx, reader& r, int selector, bool need_login, located& out) {
    out.app = r.u16();
    const uint16_t cont = r.u16();
    if (!r.ok()) return sw::wrong_length;
    if (selector != 0 && selector != 1) return sw::wrong_p1p2;
    if (!find_application(ctx.card, out.app)) return sw::application_not_found;
    out.cont = find_container(ctx.card, out.app, cont);
    if (!out.cont) return sw::container_not_found;
    if (need_login && !user_logged_in(ctx.card, out.app)) return sw::security_not_satisfied;
    out.slot = selector == 1 ? &out.cont->signature : &out.cont->exchange;
    return sw::ok;
}

// The stored key of the wanted kind.
uint16_t key_in(const located& at, key_kind kind, pkey_ptr& key) {
    if (at.slot->kind != kind) return sw::key_not_found;
    key = load(*at.slot);
    return key ? sw::ok : sw::unknown_error;
}

// ---- RSA commands ----

// "GenRSAKeyPairEx" (C0 26 sel 00): app, cont, bits (2) -> modulus || e (4).
uint16_t gen_rsa_key_pair(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    const uint16_t bits = r.u16();
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    if (bits != 1024 && bits != 2048) return sw::wrong_data;
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key) return sw::unknown_error;
    if (const uint16_t s = store(ctx, *at.slot, key.get(), key_kind::rsa, bits); s != sw::ok)
        return s;
    return rsa_public_parts(key.get(), ctx.reply) ? sw::ok : sw::unknown_error;
}

// "ImportExtRSAKeyPair" (chained D0 20 .. C0 20 sel 00): app, cont, then the
// 1164-byte RSAPRIVATEKEYBLOB.
uint16_t import_rsa_key_pair(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    const auto blob = r.rest();
    if (blob.size() != rsa_blob_size) return sw::wrong_length;
    const uint32_t alg = get_le32(blob.data());
    const uint32_t bits = get_le32(blob.data() + 4);
    if (alg != rsa_alg_id || (bits != 1024 && bits != 2048)) return sw::wrong_data;
    const size_t k = bits / 8;
    const size_t half = k / 2;
    // Fields: Modulus[256] @8, PublicExponent[4] @264, PrivateExponent[256] @268,
    // then five 128-byte fields from 524; numbers right-aligned.
    auto field = [&](size_t offset, size_t width, size_t used) {
        return blob.subspan(offset + width - used, used);
    };
    std::array<std::span<const uint8_t>, 5> crt;
    for (size_t i = 0; i < 5; ++i)
        crt[i] = field(524 + 128 * i, 128, half);
    pkey_ptr key =
        rsa_private_from(field(8, 256, k), blob.subspan(264, 4), field(268, 256, k), crt);
    if (!key || EVP_PKEY_get_bits(key.get()) != static_cast<int>(bits)) return sw::wrong_data;
    return store(ctx, *at.slot, key.get(), key_kind::rsa, bits);
}

// DER DigestInfo prefix (PKCS#1 v2.2, 9.2) of a hash identifier: the
// AlgorithmIdentifier of the hash and the OCTET STRING header of the digest.
std::optional<std::vector<uint8_t>> digest_info_prefix(uint8_t hash_id) {
    switch (hash_id) {
    case 0x81:
        return std::vector<uint8_t>{0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                    0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    case 2:
        return std::vector<uint8_t>{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                    0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    case 3:
    case 4:
        return std::vector<uint8_t>{0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    case 0x82:
        return std::vector<uint8_t>{0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    case 0x83:
        return std::vector<uint8_t>{0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    case 1: // SM3, OID 1.2.156.10197.1.401
        return std::vector<uint8_t>{0x30, 0x30, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C,
                                    0xCF, 0x55, 0x01, 0x83, 0x11, 0x05, 0x00, 0x04, 0x20};
    case hash_none:
        return std::vector<uint8_t>{};
    default:
        return std::nullopt;
    }
}

// What goes into the PKCS#1 v1.5 type-1 block: the data as given (0x80), or
// the DigestInfo of the digest. Status on a bad hash id or digest length.
uint16_t block_content(uint8_t hash_id, std::span<const uint8_t> data,
                       std::vector<uint8_t>& content) {
    const auto prefix = digest_info_prefix(hash_id);
    if (!prefix) return sw::wrong_data;
    if (hash_id != hash_none && data.size() != prefix->back()) return sw::wrong_length;
    content = *prefix;
    content.insert(content.end(), data.begin(), data.end());
    return sw::ok;
}

// PKCS#1 v1.5 signature (type 1) of data under key.
uint16_t rsa_sign(EVP_PKEY* key, uint8_t hash_id, std::span<const uint8_t> data,
                  std::vector<uint8_t>& out) {
    std::vector<uint8_t> content;
    if (const uint16_t s = block_content(hash_id, data, content); s != sw::ok) return s;
    if (content.size() + 11 > rsa_bytes(key)) return sw::wrong_length;
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!c || EVP_PKEY_sign_init(c.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_PKCS1_PADDING) != 1)
        return sw::unknown_error;
    size_t n = rsa_bytes(key);
    out.resize(n);
    if (EVP_PKEY_sign(c.get(), out.data(), &n, content.data(), content.size()) != 1) {
        out.clear();
        return sw::unknown_error;
    }
    out.resize(n);
    return sw::ok;
}

// "RSASignEx" (C0 1C sel hash): app, cont, data -> signature.
uint16_t rsa_sign_ex(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    pkey_ptr key;
    if (const uint16_t s = key_in(at, key_kind::rsa, key); s != sw::ok) return s;
    return rsa_sign(key.get(), ctx.apdu.p2, r.rest(), ctx.reply);
}

// "RSAPrivate" (C0 16 sel 00): app, cont, input (k bytes) -> raw private result.
uint16_t rsa_private(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    pkey_ptr key;
    if (const uint16_t s = key_in(at, key_kind::rsa, key); s != sw::ok) return s;
    const auto input = r.rest();
    if (input.size() != rsa_bytes(key.get())) return sw::wrong_length;
    return rsa_raw(key.get(), true, input, ctx.reply) ? sw::ok : sw::wrong_data;
}

// "RSADecrypt" (C0 1A sel 00): app, cont, cipher text -> plain text (PKCS#1
// v1.5 type 2 padding removed and checked here).
uint16_t rsa_decrypt(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    pkey_ptr key;
    if (const uint16_t s = key_in(at, key_kind::rsa, key); s != sw::ok) return s;
    const auto input = r.rest();
    if (input.size() != rsa_bytes(key.get())) return sw::wrong_length;
    std::vector<uint8_t> block;
    if (!rsa_raw(key.get(), true, input, block)) return sw::bad_padding;
    // 00 02 PS (at least 8 non-zero bytes) 00 M
    size_t i = 2;
    while (i < block.size() && block[i] != 0)
        ++i;
    if (block.size() < 11 || block[0] != 0 || block[1] != 2 || i >= block.size() || i < 10)
        return sw::bad_padding;
    ctx.reply.assign(block.begin() + static_cast<std::ptrdiff_t>(i + 1), block.end());
    return sw::ok;
}

// The card form of an RSA public key: BitLen (4) || modulus || e (4).
pkey_ptr read_rsa_public(reader& r) {
    const uint32_t bits = r.u32();
    if (!r.ok() || (bits != 1024 && bits != 2048)) return nullptr;
    const auto n = r.bytes(bits / 8);
    const auto e = r.bytes(4);
    if (!r.ok()) return nullptr;
    return rsa_public(n, e);
}

// "RSAVerify" (80 5E P1 hash): public key, data (4), signature (2).
uint16_t rsa_verify(command_context& ctx) {
    reader r(ctx.data);
    pkey_ptr key = read_rsa_public(r);
    if (!r.ok()) return sw::wrong_length;
    if (!key) return sw::wrong_data;
    const auto data = r.bytes(r.u32());
    const auto signature = r.bytes(r.u16());
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    std::vector<uint8_t> content;
    if (const uint16_t st = block_content(ctx.apdu.p2, data, content); st != sw::ok) return st;
    if (signature.size() != rsa_bytes(key.get())) return sw::signature_invalid;
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!c || EVP_PKEY_verify_init(c.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(c.get(), RSA_PKCS1_PADDING) != 1)
        return sw::unknown_error;
    const int rc = EVP_PKEY_verify(c.get(), signature.data(), signature.size(), content.data(),
                                   content.size());
    return rc == 1 ? sw::ok : sw::signature_invalid;
}

// "ExRSAPubKeyOperation" (80 60 00 00): public key, input (4) -> raw result.
uint16_t rsa_public_operation(command_context& ctx) {
    reader r(ctx.data);
    pkey_ptr key = read_rsa_public(r);
    if (!r.ok()) return sw::wrong_length;
    if (!key) return sw::wrong_data;
    const auto input = r.bytes(r.u32());
    if (!r.ok() || !r.empty() || input.size() != rsa_bytes(key.get())) return sw::wrong_length;
    return rsa_raw(key.get(), false, input, ctx.reply) ? sw::ok : sw::wrong_data;
}

// "DeleteKeyPair" (C0 22 sel 00): app, cont.
uint16_t delete_key_pair(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    if (!r.empty()) return sw::wrong_length;
    if (at.slot->kind == key_kind::none) return sw::key_not_found;
    OPENSSL_cleanse(at.slot->private_der.data(), at.slot->private_der.size());
    *at.slot = key_pair{};
    ctx.persistent_changed();
    return sw::ok;
}

// ---- SM2 commands ----

// "GenECCKeyPair" (80 70 00 00): app, cont, bit length (4, BE: 256) -> X || Y.
uint16_t gen_ecc_key_pair(command_context& ctx) {
    if (ctx.data.size() != 8) return sw::wrong_length;
    if (get_be32(ctx.data.data() + 4) != 256) return sw::wrong_data;
    // No selector: the card generates the container's signature pair (as
    // GM/T 0016's GenECCKeyPair does; an exchange pair comes by import).
    reader r(ctx.data.first(4));
    located at;
    if (const uint16_t s = locate(ctx, r, 1, true, at); s != sw::ok) return s;
    pkey_ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (!key) return sw::unknown_error;
    if (const uint16_t s = store(ctx, *at.slot, key.get(), key_kind::sm2, 256); s != sw::ok)
        return s;
    return sm2_xy(key.get(), ctx.reply) ? sw::ok : sw::unknown_error;
}

// "ImportExtECCKeyPair" (C0 2C sel 00): app, cont, ECCPUBLICKEYBLOB (132),
// private-key field (64).
uint16_t import_ecc_key_pair(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    const auto blob = r.rest();
    if (blob.size() != ecc_import_size) return sw::wrong_length;
    if (get_le32(blob.data()) != 256) return sw::wrong_data;
    pkey_ptr key =
        sm2_key(blob.subspan(4 + 32, 32), blob.subspan(68 + 32, 32), blob.subspan(132 + 32, 32));
    if (!key) return sw::wrong_data;
    pctx_ptr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!check || EVP_PKEY_pairwise_check(check.get()) != 1) return sw::wrong_data;
    return store(ctx, *at.slot, key.get(), key_kind::sm2, 256);
}

// "ECCSignDataEx" (C0 2A mode sel): app, cont; mode 2: the digest e (32);
// other modes: identity (4-byte count) and message, e = SM3(Z || M).
uint16_t ecc_sign_data(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p2, true, at); s != sw::ok) return s;
    pkey_ptr key;
    if (const uint16_t s = key_in(at, key_kind::sm2, key); s != sw::ok) return s;
    std::vector<uint8_t> e;
    if (ctx.apdu.p1 == 2) {
        const auto digest = r.rest();
        if (digest.size() != 32) return sw::wrong_length;
        e.assign(digest.begin(), digest.end());
    } else {
        const auto id = r.bytes(r.u32());
        const auto message = r.rest();
        if (!r.ok()) return sw::wrong_length;
        std::vector<uint8_t> xy;
        if (!sm2_xy(key.get(), xy)) return sw::unknown_error;
        const auto z = sm2_z(id, std::span<const uint8_t, 32>(xy.data(), 32),
                             std::span<const uint8_t, 32>(xy.data() + 32, 32));
        if (!z) return sw::wrong_data;
        std::vector<uint8_t> input = *z;
        input.insert(input.end(), message.begin(), message.end());
        e = digest_of(EVP_sm3(), input);
    }
    std::vector<uint8_t> rs;
    if (!sm2_sign_digest(key.get(), e, rs)) return sw::unknown_error;
    ctx.reply.assign(std::begin(sm2_reply_prefix), std::end(sm2_reply_prefix));
    ctx.reply.insert(ctx.reply.end(), rs.begin(), rs.end());
    return sw::ok;
}

// "ECCVerify" (80 76 00 00): public key (68), data (4), r || s (64).
uint16_t ecc_verify(command_context& ctx) {
    reader r(ctx.data);
    const auto key_bytes = r.bytes(68);
    const auto data = r.bytes(r.u32());
    const auto rs = r.rest();
    if (!r.ok() || rs.size() != 64 || data.size() != 32) return sw::wrong_length;
    pkey_ptr key = sm2_public_card_form(key_bytes);
    if (!key) return sw::wrong_data;
    return sm2_verify_digest(key.get(), data, rs) ? sw::ok : sw::signature_invalid;
}

// "ExECCEncrypt" (80 7A 00 00): public key (68), plain text (4) -> the card
// form 00000100 || 04 || X || Y || HASH || length (4) || cipher.
uint16_t ecc_encrypt(command_context& ctx) {
    reader r(ctx.data);
    const auto key_bytes = r.bytes(68);
    const auto plain = r.bytes(r.u32());
    if (!r.ok() || !r.empty() || plain.empty() || plain.size() > 1024) return sw::wrong_length;
    pkey_ptr key = sm2_public_card_form(key_bytes);
    if (!key) return sw::wrong_data;
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t n = plain.size() + 200;
    std::vector<uint8_t> der(n);
    if (!c || EVP_PKEY_encrypt_init(c.get()) != 1 ||
        EVP_PKEY_encrypt(c.get(), der.data(), &n, plain.data(), plain.size()) != 1)
        return sw::unknown_error;
    der.resize(n);
    // SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING, cipher OCTET STRING }
    reader outer(der);
    std::span<const uint8_t> seq, x, y, hash, cipher;
    if (!der_read(outer, 0x30, seq)) return sw::unknown_error;
    reader in(seq);
    if (!der_read(in, 0x02, x) || !der_read(in, 0x02, y) || !der_read(in, 0x04, hash) ||
        !der_read(in, 0x04, cipher) || hash.size() != 32)
        return sw::unknown_error;
    std::vector<uint8_t>& out = ctx.reply;
    out.assign(std::begin(sm2_reply_prefix), std::end(sm2_reply_prefix));
    out.push_back(0x04);
    if (!der_uint32bytes(x, out) || !der_uint32bytes(y, out)) return sw::unknown_error;
    out.insert(out.end(), hash.begin(), hash.end());
    writer(out).u32(static_cast<uint32_t>(cipher.size()));
    out.insert(out.end(), cipher.begin(), cipher.end());
    return sw::ok;
}

// "ECCPriDecrypt" (C0 28 sel 00): app, cont, cipher text (4) in card form.
uint16_t ecc_decrypt(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, true, at); s != sw::ok) return s;
    const auto form = r.bytes(r.u32());
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    reader f(form);
    f.u32();
    const uint8_t tag = f.u8();
    const auto x = f.bytes(32);
    const auto y = f.bytes(32);
    const auto hash = f.bytes(32);
    const auto cipher = f.bytes(f.u32());
    if (!f.ok() || !f.empty() || cipher.empty()) return sw::wrong_length;
    if (tag != 0x04) return sw::wrong_data;
    pkey_ptr key;
    if (const uint16_t s = key_in(at, key_kind::sm2, key); s != sw::ok) return s;
    std::vector<uint8_t> body;
    der_put_uint(body, x);
    der_put_uint(body, y);
    der_put(body, 0x04, hash);
    der_put(body, 0x04, cipher);
    std::vector<uint8_t> der;
    der_put(der, 0x30, body);
    pctx_ptr c(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t n = cipher.size() + 32;
    ctx.reply.resize(n);
    if (!c || EVP_PKEY_decrypt_init(c.get()) != 1 ||
        EVP_PKEY_decrypt(c.get(), ctx.reply.data(), &n, der.data(), der.size()) != 1) {
        ctx.reply.clear();
        return sw::bad_padding;
    }
    ctx.reply.resize(n);
    return sw::ok;
}

// "ExportPublicKey" (80 88 sel 00): app, cont -> RSA: BitLen (4) || n || e (4);
// SM2: 00000100 || X || Y.
uint16_t export_public_key(command_context& ctx) {
    reader r(ctx.data);
    located at;
    if (const uint16_t s = locate(ctx, r, ctx.apdu.p1, false, at); s != sw::ok) return s;
    if (!r.empty()) return sw::wrong_length;
    if (at.slot->kind == key_kind::none) return sw::key_not_found;
    pkey_ptr key = load(*at.slot);
    if (!key) return sw::unknown_error;
    if (at.slot->kind == key_kind::rsa) {
        writer(ctx.reply).u32(static_cast<uint32_t>(EVP_PKEY_get_bits(key.get())));
        return rsa_public_parts(key.get(), ctx.reply) ? sw::ok : sw::unknown_error;
    }
    ctx.reply.assign(std::begin(sm2_reply_prefix), std::end(sm2_reply_prefix));
    return sm2_xy(key.get(), ctx.reply) ? sw::ok : sw::unknown_error;
}

constexpr command_row rows[] = {
    {0xC0, 0x26, any_p, 0x00, "GenRSAKeyPairEx", gen_rsa_key_pair, false},
    {0xC0, 0x20, any_p, 0x00, "ImportExtRSAKeyPair", import_rsa_key_pair, true},
    {0xC0, 0x1C, any_p, any_p, "RSASignEx", rsa_sign_ex, false},
    {0xC0, 0x16, any_p, 0x00, "RSAPrivate", rsa_private, false},
    {0xC0, 0x1A, any_p, 0x00, "RSADecrypt", rsa_decrypt, false},
    {0x80, 0x5E, any_p, any_p, "RSAVerify", rsa_verify, false},
    {0x80, 0x60, 0x00, 0x00, "ExRSAPubKeyOperation", rsa_public_operation, false},
    {0xC0, 0x22, any_p, 0x00, "DeleteKeyPair", delete_key_pair, false},
    {0x80, 0x70, 0x00, 0x00, "GenECCKeyPair", gen_ecc_key_pair, false},
    {0xC0, 0x2C, any_p, 0x00, "ImportExtECCKeyPair", import_ecc_key_pair, false},
    {0xC0, 0x2A, any_p, any_p, "ECCSignDataEx", ecc_sign_data, false},
    {0x80, 0x76, 0x00, 0x00, "ECCVerify", ecc_verify, false},
    {0x80, 0x7A, 0x00, 0x00, "ExECCEncrypt", ecc_encrypt, false},
    {0xC0, 0x28, any_p, 0x00, "ECCPriDecrypt", ecc_decrypt, false},
    {0x80, 0x88, any_p, 0x00, "ExportPublicKey", export_public_key, false},
};

} // namespace

std::span<const command_row> asym_commands() {
    return rows;
}

} // namespace cardsim
