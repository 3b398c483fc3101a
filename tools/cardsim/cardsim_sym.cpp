// Session keys, symmetric cipher, MAC and digest contexts.
//
// Session keys are volatile (a reset forgets them), card-wide ids 1..capacity
// handed out lowest free first, each bound to the (application, container)
// it was set in. A key carries at most one cipher or MAC context at a time;
// the card has one digest context.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/ec.h>

#include "cardsim_crypto.h"
#include "cardsim_objects.h"
#include "sm_mac.h"
#include "wire.h"

namespace cardsim {

namespace {

enum class family { sm4, sm1_standin, ssf33_standin, des, des2, des3, aes128, aes192, aes256 };
enum class mode { ecb, cbc, cfb, ofb, mac };

struct algorithm_info {
    uint32_t id;
    family fam;
    mode m;
};

// The internal algorithm identifiers the host sends (GM/T 0006 values for
// SM1, SSF33 and SM4; the host's own 0x800002xx / 0x800001xx for DES and AES).
constexpr algorithm_info algorithms[] = {
    {0x401, family::sm4, mode::ecb},           {0x402, family::sm4, mode::cbc},
    {0x404, family::sm4, mode::cfb},           {0x408, family::sm4, mode::ofb},
    {0x410, family::sm4, mode::mac},           {0x101, family::sm1_standin, mode::ecb},
    {0x102, family::sm1_standin, mode::cbc},   {0x104, family::sm1_standin, mode::cfb},
    {0x108, family::sm1_standin, mode::ofb},   {0x110, family::sm1_standin, mode::mac},
    {0x201, family::ssf33_standin, mode::ecb}, {0x202, family::ssf33_standin, mode::cbc},
    {0x204, family::ssf33_standin, mode::cfb}, {0x208, family::ssf33_standin, mode::ofb},
    {0x210, family::ssf33_standin, mode::mac}, {0x80000211, family::des, mode::ecb},
    {0x80000212, family::des, mode::cbc},      {0x80000221, family::des2, mode::ecb},
    {0x80000222, family::des2, mode::cbc},     {0x80000241, family::des3, mode::ecb},
    {0x80000242, family::des3, mode::cbc},     {0x80000111, family::aes128, mode::ecb},
    {0x80000112, family::aes128, mode::cbc},   {0x80000121, family::aes192, mode::ecb},
    {0x80000122, family::aes192, mode::cbc},   {0x80000141, family::aes256, mode::ecb},
    {0x80000142, family::aes256, mode::cbc},
};

const algorithm_info* find_algorithm(uint32_t id) {
    for (const algorithm_info& a : algorithms)
        if (a.id == id) return &a;
    return nullptr;
}

size_t key_length(family f) {
    switch (f) {
    case family::des:
        return 8;
    case family::des3:
    case family::aes192:
        return 24;
    case family::aes256:
        return 32;
    default:
        return 16;
    }
}

size_t block_length(family f) {
    return f == family::des || f == family::des2 || f == family::des3 ? 8 : 16;
}

bool is_sm4(family f) {
    return f == family::sm4;
}

// SM1 and SSF33 have no public definition. This card replaces them by SM4
// under a key derived from the given one with a label naming the stand-in,
// so data enciphered "with SM1" here only round-trips on this card.
std::vector<uint8_t> standin_key(const char* label, std::span<const uint8_t> key) {
    std::vector<uint8_t> input(label, label + std::strlen(label));
    input.insert(input.end(), key.begin(), key.end());
    std::vector<uint8_t> d = digest_of(EVP_sm3(), input);
    if (d.size() < 16) return {};
    d.resize(16);
    return d;
}

// The key OpenSSL is given for a session key (standins derived, single DES
// as three-key triple DES with K1 = K2 = K3, which is the same cipher).
std::vector<uint8_t> effective_key(family f, std::span<const uint8_t> key) {
    switch (f) {
    case family::sm1_standin:
        return standin_key("cardsim SM1 stand-in", key);
    case family::ssf33_standin:
        return standin_key("cardsim SSF33 stand-in", key);
    case family::des: {
        std::vector<uint8_t> k;
        for (int i = 0; i < 3; ++i)
            k.insert(k.end(), key.begin(), key.end());
        return k;
    }
    default:
        return {key.begin(), key.end()};
    }
}

const EVP_CIPHER* cipher_of(family f, mode m) {
    const bool cbc = m == mode::cbc;
    switch (f) {
    case family::sm4:
    case family::sm1_standin:
    case family::ssf33_standin:
        switch (m) {
        case mode::ecb:
            return EVP_sm4_ecb();
        case mode::cbc:
            return EVP_sm4_cbc();
        case mode::cfb:
            return EVP_sm4_cfb128();
        case mode::ofb:
            return EVP_sm4_ofb();
        case mode::mac:
            return nullptr;
        }
        return nullptr;
    case family::des:
    case family::des3:
        return cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb();
    case family::des2:
        return cbc ? EVP_des_ede_cbc() : EVP_des_ede_ecb();
    case family::aes128:
        return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case family::aes192:
        return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    case family::aes256:
        return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
    return nullptr;
}

// Most bytes a MAC context collects before MacFinal.
constexpr size_t max_mac_data = 0x10000;
constexpr uint32_t padding_none = 0;
constexpr uint32_t padding_pkcs5 = 1;

session_key* find_key(card_model& card, uint16_t app, uint16_t cont, uint16_t id) {
    for (session_key& k : card.vol.session_keys)
        if (k.id == id && k.app_id == app && k.container_id == cont) return &k;
    return nullptr;
}

// Reads "app, cont, key" and finds the session key; status on failure.
session_key* key_of(command_context& ctx, reader& r, uint16_t& status) {
    const uint16_t app = r.u16();
    const uint16_t cont = r.u16();
    const uint16_t id = r.u16();
    if (!r.ok()) {
        status = sw::wrong_length;
        return nullptr;
    }
    session_key* k = find_key(ctx.card, app, cont, id);
    if (!k) status = sw::key_not_found;
    return k;
}

// "SetSessionKey" (C0 12 00 00): app, cont, algorithm (4), 32-byte key field
// -> the new key id (2).
uint16_t set_session_key(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t app = r.u16();
    const uint16_t cont = r.u16();
    const uint32_t alg = r.u32();
    const auto field = r.bytes(32);
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    if (!application_exists(ctx.card, app)) return sw::application_not_found;
    if (!container_exists(ctx.card, app, cont)) return sw::container_not_found;
    const algorithm_info* a = find_algorithm(alg);
    if (!a) return sw::wrong_data;
    auto& keys = ctx.card.vol.session_keys;
    const size_t capacity = std::min(ctx.card.session_key_capacity, max_session_keys);
    uint16_t id = 0;
    for (uint16_t candidate = 1; candidate <= capacity && id == 0; ++candidate)
        if (std::none_of(keys.begin(), keys.end(),
                         [&](const session_key& k) { return k.id == candidate; }))
            id = candidate;
    if (id == 0) return sw::no_room;
    session_key k;
    k.id = id;
    k.app_id = app;
    k.container_id = cont;
    k.algorithm = alg;
    k.key.assign(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(key_length(a->fam)));
    keys.push_back(std::move(k));
    writer(ctx.reply).u16(id);
    return sw::ok;
}

// "DestroySessionKey" (80 C4 00 00): app, cont, key.
uint16_t destroy_session_key(command_context& ctx) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    if (!r.empty()) return sw::wrong_length;
    auto& keys = ctx.card.vol.session_keys;
    keys.erase(
        std::remove_if(keys.begin(), keys.end(), [&](const session_key& s) { return &s == k; }),
        keys.end());
    return sw::ok;
}

struct init_fields {
    std::span<const uint8_t> iv;
    uint32_t padding = 0;
    uint32_t feedback = 0;
};

// The rest of an Init command after the key: IV (2), padding (4), feedback (4).
bool read_init(reader& r, init_fields& f) {
    const uint16_t iv_length = r.u16();
    f.iv = r.bytes(iv_length);
    f.padding = r.u32();
    f.feedback = r.u32();
    return r.ok() && r.empty() && iv_length <= 32;
}

uint16_t cipher_init(command_context& ctx, bool encrypt) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    init_fields f;
    if (!read_init(r, f)) return sw::wrong_length;
    const algorithm_info* a = find_algorithm(k->algorithm);
    if (!a || a->m == mode::mac) return sw::wrong_data;
    if (f.padding != padding_none && f.padding != padding_pkcs5) return sw::wrong_data;
    const EVP_CIPHER* cipher = cipher_of(a->fam, a->m);
    const std::vector<uint8_t> key = effective_key(a->fam, k->key);
    if (!cipher || key.empty()) return sw::unknown_error;
    std::array<uint8_t, 16> iv{};
    std::copy_n(f.iv.begin(), std::min(f.iv.size(), iv.size()), iv.begin());
    cipher_ctx_ptr c(EVP_CIPHER_CTX_new());
    if (!c ||
        EVP_CipherInit_ex2(c.get(), cipher, key.data(), iv.data(), encrypt ? 1 : 0, nullptr) != 1)
        return sw::unknown_error;
    // Encryption pads in OpenSSL; decryption never holds a block back (the
    // host keeps the last block for DecryptFinal) and the padding is checked
    // here at the end.
    const bool block_mode = a->m == mode::ecb || a->m == mode::cbc;
    EVP_CIPHER_CTX_set_padding(c.get(),
                               encrypt && block_mode && f.padding == padding_pkcs5 ? 1 : 0);
    k->cipher = std::move(c);
    k->encrypting = encrypt;
    k->padding = block_mode ? f.padding : padding_none;
    k->mac_active = false;
    k->pending.clear();
    return sw::ok;
}

uint16_t encrypt_init(command_context& ctx) {
    return cipher_init(ctx, true);
}
uint16_t decrypt_init(command_context& ctx) {
    return cipher_init(ctx, false);
}

// Runs data through the key's cipher context into the reply.
bool cipher_update(session_key& k, std::span<const uint8_t> data, std::vector<uint8_t>& out) {
    if (data.size() > 0x10000) return false;
    const size_t start = out.size();
    out.resize(start + data.size() + 32);
    int n = 0;
    if (!data.empty() && EVP_CipherUpdate(k.cipher.get(), out.data() + start, &n, data.data(),
                                          static_cast<int>(data.size())) != 1)
        return false;
    out.resize(start + static_cast<size_t>(n));
    return true;
}

uint16_t cipher_step(command_context& ctx, bool encrypt, bool final) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    if (!k->cipher || k->encrypting != encrypt) return sw::conditions_not_satisfied;
    const auto data = r.rest();
    if (!cipher_update(*k, data, ctx.reply)) return sw::wrong_length;
    if (!final) return sw::ok;

    session_key& key = *k;
    cipher_ctx_ptr c = std::move(key.cipher); // the operation ends, whatever the outcome
    const size_t start = ctx.reply.size();
    ctx.reply.resize(start + 32);
    int n = 0;
    if (EVP_CipherFinal_ex(c.get(), ctx.reply.data() + start, &n) != 1) {
        ctx.reply.clear();
        return sw::wrong_length; // whole blocks were needed
    }
    ctx.reply.resize(start + static_cast<size_t>(n));
    if (!encrypt && key.padding == padding_pkcs5) {
        // PKCS#5: the last byte v (1..B) repeated v times.
        const algorithm_info* a = find_algorithm(key.algorithm);
        const size_t block = a ? block_length(a->fam) : 16;
        if (ctx.reply.empty()) return sw::bad_padding;
        const uint8_t v = ctx.reply.back();
        bool good = v >= 1 && v <= block && v <= ctx.reply.size();
        for (size_t i = 0; good && i < v; ++i)
            good = ctx.reply[ctx.reply.size() - 1 - i] == v;
        if (!good) {
            ctx.reply.clear();
            return sw::bad_padding;
        }
        ctx.reply.resize(ctx.reply.size() - v);
    }
    return sw::ok;
}

uint16_t encrypt_update(command_context& ctx) {
    return cipher_step(ctx, true, false);
}
uint16_t encrypt_final(command_context& ctx) {
    return cipher_step(ctx, true, true);
}
uint16_t decrypt_update(command_context& ctx) {
    return cipher_step(ctx, false, false);
}
uint16_t decrypt_final(command_context& ctx) {
    return cipher_step(ctx, false, true);
}

// "MacInit" (80 BC 00 00): app, cont, key, IV (2), padding (4), feedback (4).
// SM4-CBC-MAC from the IV (zero-extended to 16 bytes).
uint16_t mac_init(command_context& ctx) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    init_fields f;
    if (!read_init(r, f)) return sw::wrong_length;
    const algorithm_info* a = find_algorithm(k->algorithm);
    if (!a || !is_sm4(a->fam)) return sw::wrong_data;
    k->cipher.reset();
    k->iv.assign(16, 0);
    std::copy_n(f.iv.begin(), std::min<size_t>(f.iv.size(), 16), k->iv.begin());
    k->pending.clear();
    k->mac_active = true;
    return sw::ok;
}

// "MacUpdate" (80 C0 00 00): app, cont, key, data.
uint16_t mac_update(command_context& ctx) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    if (!k->mac_active) return sw::conditions_not_satisfied;
    const auto data = r.rest();
    if (k->pending.size() + data.size() > max_mac_data) return sw::wrong_length;
    k->pending.insert(k->pending.end(), data.begin(), data.end());
    return sw::ok;
}

// "MacFinal" (80 C2 00 00): app, cont, key, last data -> the 16-byte MAC, or
// its first 4 bytes when exactly 4 are asked for.
uint16_t mac_final(command_context& ctx) {
    reader r(ctx.data);
    uint16_t status = sw::ok;
    session_key* k = key_of(ctx, r, status);
    if (!k) return status;
    if (!k->mac_active) return sw::conditions_not_satisfied;
    const uint32_t ne = ctx.apdu.ne;
    // Another length than 4 or 16 (or more): tell the length, keep the
    // context so the host can ask again.
    if (ne != 0 && ne != 4 && ne < 16) return 0x6C10;
    const auto data = r.rest();
    if (k->pending.size() + data.size() > max_mac_data) return sw::wrong_length;
    k->pending.insert(k->pending.end(), data.begin(), data.end());
    const auto mac = sm4_cbc_mac(std::span<const uint8_t, 16>(k->key.data(), 16),
                                 std::span<const uint8_t, 16>(k->iv.data(), 16), k->pending);
    k->mac_active = false;
    k->pending.clear();
    if (!mac) return sw::unknown_error;
    ctx.reply.assign(mac->begin(), mac->begin() + (ne == 4 ? 4 : 16));
    return sw::ok;
}

// "DigestInit" (80 B4 P1 alg): header only, or (SM3) the 68-byte public key
// BitLen || X || Y, the identity length (4) and the identity: the digest
// starts with Z.
uint16_t digest_init(command_context& ctx) {
    const EVP_MD* md = md_of_hash_id(ctx.apdu.p2);
    if (!md) return sw::wrong_data;
    std::vector<uint8_t> z;
    if (!ctx.data.empty()) {
        if (ctx.apdu.p2 != 1) return sw::wrong_data;
        reader r(ctx.data);
        r.u32(); // bit length
        const auto x = r.bytes(32);
        const auto y = r.bytes(32);
        const uint32_t id_length = r.u32();
        const auto id = r.bytes(id_length);
        if (!r.ok() || !r.empty()) return sw::wrong_length;
        auto value = sm2_z(id, std::span<const uint8_t, 32>(x.data(), 32),
                           std::span<const uint8_t, 32>(y.data(), 32));
        if (!value) return sw::wrong_data;
        z = std::move(*value);
    }
    md_ctx_ptr c(EVP_MD_CTX_new());
    if (!c || EVP_DigestInit_ex2(c.get(), md, nullptr) != 1) return sw::unknown_error;
    if (!z.empty() && EVP_DigestUpdate(c.get(), z.data(), z.size()) != 1) return sw::unknown_error;
    ctx.card.vol.digest = std::move(c);
    return sw::ok;
}

uint16_t digest_absorb(command_context& ctx, bool final) {
    md_ctx_ptr& c = ctx.card.vol.digest;
    if (!c) return sw::conditions_not_satisfied;
    if (!ctx.data.empty() && EVP_DigestUpdate(c.get(), ctx.data.data(), ctx.data.size()) != 1) {
        c.reset();
        return sw::unknown_error;
    }
    if (!final) return sw::ok;
    md_ctx_ptr done = std::move(c);
    ctx.reply.resize(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(done.get(), ctx.reply.data(), &n) != 1) {
        ctx.reply.clear();
        return sw::unknown_error;
    }
    ctx.reply.resize(n);
    return sw::ok;
}

uint16_t digest_once(command_context& ctx) {
    return digest_absorb(ctx, true);
}
uint16_t digest_update(command_context& ctx) {
    return digest_absorb(ctx, false);
}
uint16_t digest_final(command_context& ctx) {
    return digest_absorb(ctx, true);
}

constexpr command_row rows[] = {
    {0xC0, 0x12, 0x00, 0x00, "SetSessionKey", set_session_key, false},
    {0x80, 0xC4, 0x00, 0x00, "DestroySessionKey", destroy_session_key, false},
    {0x80, 0xA4, 0x00, 0x00, "EncryptInit", encrypt_init, false},
    {0x80, 0xA8, 0x00, 0x00, "EncryptUpdate", encrypt_update, false},
    {0x80, 0xAA, 0x00, 0x00, "EncryptFinal", encrypt_final, false},
    {0x80, 0xAC, 0x00, 0x00, "DecryptInit", decrypt_init, false},
    {0x80, 0xB0, 0x00, 0x00, "DecryptUpdate", decrypt_update, false},
    {0x80, 0xB2, 0x00, 0x00, "DecryptFinal", decrypt_final, false},
    {0x80, 0xBC, 0x00, 0x00, "MacInit", mac_init, false},
    {0x80, 0xC0, 0x00, 0x00, "MacUpdate", mac_update, false},
    {0x80, 0xC2, 0x00, 0x00, "MacFinal", mac_final, false},
    {0x80, 0xB4, any_p, any_p, "DigestInit", digest_init, false},
    {0x80, 0xB6, 0x00, 0x00, "Digest", digest_once, false},
    {0x80, 0xB8, any_p, 0x00, "DigestUpdate", digest_update, false},
    {0x80, 0xBA, 0x00, 0x00, "DigestFinal", digest_final, false},
};

} // namespace

const EVP_MD* md_of_hash_id(uint32_t id) {
    switch (id) {
    case 1:
        return EVP_sm3();
    case 2:
        return EVP_sha1();
    case 3:
    case 4:
        return EVP_sha256();
    case 0x81:
        return EVP_md5();
    case 0x82:
        return EVP_sha384();
    case 0x83:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

std::vector<uint8_t> digest_of(const EVP_MD* md, std::span<const uint8_t> data) {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (!md || EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) != 1) return {};
    out.resize(n);
    return out;
}

std::optional<std::vector<uint8_t>>
sm2_z(std::span<const uint8_t> id, std::span<const uint8_t, 32> x, std::span<const uint8_t, 32> y) {
    if (id.size() > 0x1FFF) return std::nullopt; // ENTL = 8 * length must fit 16 bits
    struct group_free {
        void operator()(EC_GROUP* g) const noexcept { EC_GROUP_free(g); }
    };
    struct bn_free {
        void operator()(BIGNUM* b) const noexcept { BN_free(b); }
    };
    std::unique_ptr<EC_GROUP, group_free> group(EC_GROUP_new_by_curve_name(NID_sm2));
    std::unique_ptr<BIGNUM, bn_free> p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()),
        gy(BN_new());
    if (!group || !p || !a || !b || !gx || !gy) return std::nullopt;
    if (EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr) != 1)
        return std::nullopt;
    if (EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(),
                                        gy.get(), nullptr) != 1)
        return std::nullopt;
    std::vector<uint8_t> input;
    const uint32_t entl = static_cast<uint32_t>(id.size() * 8);
    input.push_back(static_cast<uint8_t>(entl >> 8));
    input.push_back(static_cast<uint8_t>(entl));
    input.insert(input.end(), id.begin(), id.end());
    for (const BIGNUM* v : {a.get(), b.get(), gx.get(), gy.get()}) {
        uint8_t field[32];
        if (BN_bn2binpad(v, field, sizeof field) != 32) return std::nullopt;
        input.insert(input.end(), field, field + 32);
    }
    input.insert(input.end(), x.begin(), x.end());
    input.insert(input.end(), y.begin(), y.end());
    std::vector<uint8_t> z = digest_of(EVP_sm3(), input);
    if (z.size() != 32) return std::nullopt;
    return z;
}

std::span<const command_row> sym_commands() {
    return rows;
}

} // namespace cardsim
