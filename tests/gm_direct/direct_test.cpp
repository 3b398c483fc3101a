// The direct cipher path of the device API: a device that reports a direct
// cipher size above its chunk size encrypts and decrypts itself (here with
// OpenSSL, keyed by the card key id under which the test registered the
// key); the card behind it only stores the session key. A device that
// reports no larger size (a PC/SC device reports 0) keeps the card path.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "card.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "gm_api.h"
#include "gm_handles.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr const char* reader = "Quessar vKessa Tavrel 00 00";
// The card reports a 256-byte buffer; the device ciphers 600 bytes at a time,
// which the library takes in whole blocks (592 bytes for a 16-byte block).
constexpr size_t card_buffer = 256;
constexpr uint32_t direct_size = 600;
constexpr uint32_t direct_piece = 592;

struct cipher_free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using cipher_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_free>;

const EVP_CIPHER* cipher_of(uint32_t alg) {
    switch (alg) {
    case 0x80000111:
        return EVP_aes_128_ecb();
    case 0x80000112:
        return EVP_aes_128_cbc();
    case 0x401:
        return EVP_sm4_ecb();
    case 0x402:
        return EVP_sm4_cbc();
    default:
        return nullptr;
    }
}

bytes seq(size_t n, uint8_t first = 0) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i * 7 + (i >> 8));
    return b;
}

// OpenSSL's one-shot answer, with or without PKCS#5 padding.
bytes oracle(uint32_t alg, const bytes& key, const bytes& iv, bool pad, bool encrypt,
             const bytes& in) {
    cipher_ptr c(EVP_CIPHER_CTX_new());
    bytes out(in.size() + 32);
    int n = 0, m = 0;
    EXPECT_EQ(EVP_CipherInit_ex(c.get(), cipher_of(alg), nullptr, key.data(),
                                iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0),
              1);
    EVP_CIPHER_CTX_set_padding(c.get(), pad ? 1 : 0);
    EXPECT_EQ(EVP_CipherUpdate(c.get(), out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(c.get(), out.data() + n, &m), 1);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

// A device with its own cipher: one OpenSSL context per card key, started
// (from the IV) on a first call and continued otherwise, never padding.
class cipher_device : public fake_device {
  public:
    struct call {
        int direction;
        uint32_t algorithm, app, cont, key, first_call;
        bytes iv;
        size_t length;
    };

    cipher_device(uint32_t size, reply_fn fn) : fake_device(reader, std::move(fn)), size_(size) {}
    uint32_t connect() override { return 0; }
    uint32_t disconnect() override { return 0; }
    int get_direct_cipher_size(uint32_t* size) override {
        *size = size_;
        return 0;
    }
    int set_cipher_session(int flag) override {
        sessions.push_back(flag);
        return 0;
    }
    int direct_cipher(const direct_cipher_request& r) override {
        calls.push_back({r.direction, r.algorithm, r.app_id, r.container_id, r.card_key_id,
                         r.first_call, bytes(r.iv.begin(), r.iv.end()), r.input.size()});
        if (fail_at != 0 && calls.size() == fail_at) return 1;
        const auto key = keys.find(r.card_key_id);
        const EVP_CIPHER* cipher = cipher_of(r.algorithm);
        if (key == keys.end() || cipher == nullptr || r.output_length == nullptr) return 1;
        cipher_ptr& ctx = running[r.card_key_id];
        if (r.first_call == 1) {
            const bool cbc = (r.algorithm & 0xF) == 2;
            if (cbc && r.iv.size() != 16) return 1;
            ctx.reset(EVP_CIPHER_CTX_new());
            if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key->second.data(),
                                  cbc ? r.iv.data() : nullptr, r.direction) != 1)
                return 1;
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
        }
        if (!ctx || *r.output_length < r.input.size()) return 1;
        int n = 0;
        if (EVP_CipherUpdate(ctx.get(), r.output, &n, r.input.data(),
                             static_cast<int>(r.input.size())) != 1)
            return 1;
        *r.output_length = static_cast<size_t>(n);
        return 0;
    }

    std::map<uint32_t, bytes> keys; // by card key id
    std::vector<call> calls;
    std::vector<int> sessions;
    size_t fail_at = 0; // refuse the call of this number (1-based), 0 never

  private:
    uint32_t size_;
    std::map<uint32_t, cipher_ptr> running;
};

BLOCKCIPHERPARAM param(const bytes& iv, uint32_t padding) {
    BLOCKCIPHERPARAM p{};
    if (!iv.empty()) std::memcpy(p.IV, iv.data(), std::min(iv.size(), sizeof p.IV));
    p.IVLen = static_cast<uint32_t>(iv.size());
    p.PaddingType = padding;
    return p;
}

cardsim::card_options options() {
    cardsim::card_options o;
    o.max_buffer_size = card_buffer;
    return o;
}

class direct_path : public ::testing::Test {
  protected:
    cardsim::card card{options()};
    cipher_device* device = nullptr;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;
    HCONTAINER cont = 0;

    void connect(uint32_t reported) {
        device = new cipher_device(
            reported, [this](std::span<const uint8_t> apdu) { return card.transmit(apdu); });
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        ASSERT_EQ(SKF_ConnectDev(reader, &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
        ASSERT_EQ(SKF_OpenContainer(app, gm_reserved_name, &cont), SAR_OK);
    }
    void SetUp() override { connect(direct_size); }
    void TearDown() override {
        if (cont != 0) {
            EXPECT_EQ(SKF_CloseContainer(cont), SAR_OK);
        }
        if (dev != 0) {
            EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        }
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    uint32_t chunk() const { return gm_find_dev(dev)->chunk_size; }

    // A session key on the card, known to the device under its card key id.
    HANDLE key(const bytes& value, uint32_t alg) {
        HANDLE k = 0;
        EXPECT_EQ(gm_set_symm_key(cont, value.data(), static_cast<uint32_t>(value.size()), alg, &k),
                  SAR_OK);
        if (k != 0) device->keys[gm_find_key(k).key->card_key_id] = value;
        return k;
    }
    // Cipher commands the card received (80 A4 .. 80 B2: EncryptInit to DecryptFinal).
    size_t card_cipher_commands() {
        size_t n = 0;
        for (const bytes& a : card.apdu_log())
            if (a.size() > 1 && a[0] == 0x80 && a[1] >= 0xA4 && a[1] <= 0xB2) ++n;
        return n;
    }
    // Every call of the last operation: the first starts from the IV, the
    // rest chain on; each a whole number of blocks of at most one piece.
    void expect_one_operation(int direction, size_t block = 16) {
        ASSERT_FALSE(device->calls.empty());
        for (size_t i = 0; i < device->calls.size(); ++i) {
            const cipher_device::call& c = device->calls[i];
            EXPECT_EQ(c.direction, direction);
            EXPECT_EQ(c.first_call, i == 0 ? 1u : 0u) << "call " << i;
            EXPECT_LE(c.length, direct_piece);
            EXPECT_EQ(c.length % block, 0u);
        }
    }
};

struct cipher_case {
    uint32_t alg;      // as given to gm_set_symm_key
    uint32_t internal; // as the device receives it
    uint32_t padding;
    size_t length; // plaintext bytes
};

std::string case_name(const ::testing::TestParamInfo<cipher_case>& info) {
    static const char* const names[] = {"sm4_cbc_pad", "aes_cbc_pad_whole_blocks", "sm4_ecb",
                                        "aes_ecb_pad"};
    return names[info.index];
}

class direct_round_trip : public direct_path, public ::testing::WithParamInterface<cipher_case> {};

TEST_P(direct_round_trip, one_shot_and_multi_part_match_openssl_over_several_pieces) {
    const cipher_case& t = GetParam();
    const bytes value = seq(16, 9);
    const bool cbc = (t.internal & 0xF) == 2;
    const bytes iv = cbc ? seq(16, 101) : bytes{};
    const bool pad = t.padding == gm_padding_pkcs5;
    const HANDLE k = key(value, t.alg);
    const bytes plain = seq(t.length, 3);
    const bytes expected = oracle(t.internal, value, iv, pad, true, plain);
    ASSERT_GT(expected.size(), 2 * direct_piece); // at least three pieces
    card.clear_log();

    // One-shot encryption.
    ASSERT_EQ(SKF_EncryptInit(k, param(iv, t.padding)), SAR_OK);
    uint32_t n = 0;
    ASSERT_EQ(SKF_Encrypt(k, plain.data(), static_cast<uint32_t>(plain.size()), nullptr, &n),
              SAR_OK);
    EXPECT_EQ(n, expected.size());
    bytes out(n);
    ASSERT_EQ(SKF_Encrypt(k, plain.data(), static_cast<uint32_t>(plain.size()), out.data(), &n),
              SAR_OK);
    EXPECT_EQ(out, expected);
    expect_one_operation(1);
    for (const cipher_device::call& c : device->calls) {
        EXPECT_EQ(c.algorithm, t.internal);
        EXPECT_EQ(c.key, gm_find_key(k).key->card_key_id);
        EXPECT_EQ(c.app, gm_find_app(app).app->app_id);
        EXPECT_EQ(c.cont, gm_find_cont(cont).cont->container_id);
        EXPECT_EQ(c.iv, iv);
    }

    // One-shot decryption (the direct entry itself).
    device->calls.clear();
    ASSERT_EQ(SKF_DecryptInit(k, param(iv, t.padding)), SAR_OK);
    bytes back(expected.size());
    n = static_cast<uint32_t>(back.size());
    ASSERT_EQ(gm_decrypt_direct(k, expected.data(), static_cast<uint32_t>(expected.size()),
                                back.data(), &n),
              SAR_OK);
    back.resize(n);
    EXPECT_EQ(back, plain);
    expect_one_operation(0);

    // Multi-part encryption in uneven parts, then its final step.
    device->calls.clear();
    device->sessions.clear();
    ASSERT_EQ(SKF_EncryptInit(k, param(iv, t.padding)), SAR_OK);
    bytes joined;
    const size_t parts[] = {5, 700, 1, 1000};
    size_t at = 0;
    for (size_t part : parts) {
        part = std::min(part, plain.size() - at);
        uint32_t size = 0;
        ASSERT_EQ(
            SKF_EncryptUpdate(k, plain.data() + at, static_cast<uint32_t>(part), nullptr, &size),
            SAR_OK);
        bytes piece(size + 1); // never a null buffer: that would be a size query
        ASSERT_EQ(gm_encrypt_update_direct(k, plain.data() + at, static_cast<uint32_t>(part),
                                           piece.data(), &size),
                  SAR_OK);
        EXPECT_EQ(size % 16, 0u);
        joined.insert(joined.end(), piece.begin(), piece.begin() + size);
        at += part;
    }
    uint32_t rest = static_cast<uint32_t>(plain.size() - at);
    bytes piece(rest + 32);
    uint32_t size = static_cast<uint32_t>(piece.size());
    ASSERT_EQ(SKF_EncryptUpdate(k, plain.data() + at, rest, piece.data(), &size), SAR_OK);
    joined.insert(joined.end(), piece.begin(), piece.begin() + size);
    ASSERT_EQ(SKF_EncryptFinal(k, nullptr, &size), SAR_OK);
    piece.assign(size + 1, 0);
    ASSERT_EQ(SKF_EncryptFinal(k, piece.data(), &size), SAR_OK);
    joined.insert(joined.end(), piece.begin(), piece.begin() + size);
    EXPECT_EQ(joined, expected);
    expect_one_operation(1);
    EXPECT_EQ(device->sessions, (std::vector<int>{1, 0})); // begins at init, ends at final

    // Multi-part decryption; with padding the last block waits for the final step.
    device->calls.clear();
    device->sessions.clear();
    ASSERT_EQ(gm_decrypt_init_direct(k, param(iv, t.padding)), SAR_OK);
    bytes plain_back;
    at = 0;
    for (size_t part : {size_t{7}, size_t{1500}, expected.size()}) {
        part = std::min(part, expected.size() - at);
        bytes p(part + 16);
        size = static_cast<uint32_t>(p.size());
        ASSERT_EQ(SKF_DecryptUpdate(k, expected.data() + at, static_cast<uint32_t>(part), p.data(),
                                    &size),
                  SAR_OK);
        plain_back.insert(plain_back.end(), p.begin(), p.begin() + size);
        at += part;
    }
    ASSERT_EQ(SKF_DecryptFinal(k, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, pad ? 16u : 0u);
    piece.assign(size + 1, 0);
    ASSERT_EQ(gm_decrypt_final_direct(k, piece.data(), &size), SAR_OK);
    plain_back.insert(plain_back.end(), piece.begin(), piece.begin() + size);
    EXPECT_EQ(plain_back, plain);
    expect_one_operation(0);
    // Every decrypting update is one cipher session.
    EXPECT_EQ(device->sessions, (std::vector<int>{1, 0, 1, 0, 1, 0}));

    // The card saw no cipher command at all.
    EXPECT_EQ(card_cipher_commands(), 0u);
}

INSTANTIATE_TEST_SUITE_P(algorithms, direct_round_trip,
                         ::testing::Values(cipher_case{0x402, 0x402, gm_padding_pkcs5, 2000},
                                           cipher_case{0x4002, 0x80000112, gm_padding_pkcs5,
                                                       1776}, // whole blocks: a block of padding
                                           cipher_case{0x401, 0x401, gm_padding_none, 1984},
                                           cipher_case{0x4001, 0x80000111, gm_padding_pkcs5, 1999}),
                         case_name);

TEST_F(direct_path, sizes_are_answered_before_anything_is_sent) {
    const HANDLE k = key(seq(16), 0x402);
    ASSERT_EQ(SKF_EncryptInit(k, param(seq(16, 1), gm_padding_pkcs5)), SAR_OK);
    const bytes data = seq(64);
    uint32_t n = 0;
    EXPECT_EQ(SKF_Encrypt(k, data.data(), 32, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 48u);
    EXPECT_EQ(gm_encrypt_direct(k, data.data(), 0, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 16u);
    n = 47;
    bytes out(64);
    EXPECT_EQ(SKF_Encrypt(k, data.data(), 32, out.data(), &n), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 48u);
    // Five bytes stay held; eleven more make one block.
    n = 0;
    EXPECT_EQ(SKF_EncryptUpdate(k, data.data(), 5, out.data(), &n), SAR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SKF_EncryptUpdate(k, data.data(), 11, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 16u);
    EXPECT_EQ(SKF_EncryptFinal(k, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 16u); // 5 held bytes with their padding
    EXPECT_TRUE(device->calls.empty());

    ASSERT_EQ(SKF_DecryptInit(k, param(seq(16, 1), gm_padding_pkcs5)), SAR_OK);
    EXPECT_EQ(SKF_Decrypt(k, data.data(), 48, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 48u);
    EXPECT_EQ(SKF_DecryptUpdate(k, data.data(), 40, nullptr, &n), SAR_OK);
    EXPECT_EQ(n, 32u); // the last whole block is held back for the padding
    EXPECT_TRUE(device->calls.empty());
}

TEST_F(direct_path, refusals_send_nothing) {
    const HANDLE cbc = key(seq(16), 0x402);
    const HANDLE ecb = key(seq(16, 5), 0x401);
    const bytes data = seq(64);
    uint32_t n = 64;
    bytes out(64);
    // IV refusal: the chained modes take exactly one block; the record holds 32.
    EXPECT_EQ(SKF_EncryptInit(cbc, param(seq(8), gm_padding_none)), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_encrypt_init_direct(cbc, param(seq(8), gm_padding_none)), SAR_INVALIDPARAMERR);
    BLOCKCIPHERPARAM long_iv = param({}, gm_padding_none);
    long_iv.IVLen = 33;
    EXPECT_EQ(gm_encrypt_init_direct(ecb, long_iv), SAR_INVALIDPARAMERR);
    // Not started: nothing to continue.
    EXPECT_EQ(gm_encrypt_update_direct(cbc, data.data(), 16, out.data(), &n), SAR_NOTINITIALIZEERR);

    // Length refusal: ECB without padding takes whole blocks.
    ASSERT_EQ(gm_encrypt_init_direct(ecb, param({}, gm_padding_none)), SAR_OK);
    EXPECT_EQ(SKF_Encrypt(ecb, data.data(), 12, out.data(), &n), SAR_INVALIDPARAMERR);
    n = 64;
    ASSERT_EQ(SKF_EncryptUpdate(ecb, data.data(), 5, out.data(), &n), SAR_OK);
    n = 64;
    EXPECT_EQ(gm_encrypt_final_direct(ecb, out.data(), &n), SAR_INVALIDPARAMERR);
    // A decryption entry does not continue an encryption.
    EXPECT_EQ(gm_decrypt_final_direct(ecb, out.data(), &n), SAR_NOTINITIALIZEERR);

    // Cipher text that is not whole blocks.
    ASSERT_EQ(SKF_DecryptInit(cbc, param(seq(16), gm_padding_pkcs5)), SAR_OK);
    n = 64;
    EXPECT_EQ(SKF_Decrypt(cbc, data.data(), 20, out.data(), &n), SAR_INDATALENERR);
    n = 64;
    ASSERT_EQ(SKF_DecryptUpdate(cbc, data.data(), 8, out.data(), &n), SAR_OK);
    EXPECT_EQ(n, 0u);
    n = 64;
    EXPECT_EQ(SKF_DecryptFinal(cbc, out.data(), &n), SAR_INDATALENERR);
    EXPECT_TRUE(device->calls.empty());
}

TEST_F(direct_path, bad_padding_is_an_error_and_ends_the_operation) {
    const bytes value = seq(16, 1), iv = seq(16, 2);
    const HANDLE k = key(value, 0x402);
    // Two blocks whose last byte (0x11) is no padding for a 16-byte block,
    // and two ending in 01 03 03 (a run of three 03 broken).
    bytes plain = seq(32);
    plain[31] = 0x11;
    bytes wrong_run = seq(32);
    wrong_run[29] = 1;
    wrong_run[30] = 3;
    wrong_run[31] = 3;
    for (const bytes& text : {plain, wrong_run}) {
        const bytes cipher = oracle(0x402, value, iv, false, true, text);
        ASSERT_EQ(SKF_DecryptInit(k, param(iv, gm_padding_pkcs5)), SAR_OK);
        bytes out(32, 0xEE);
        uint32_t n = 32;
        EXPECT_EQ(SKF_Decrypt(k, cipher.data(), 32, out.data(), &n), SAR_INDATAERR);
        EXPECT_EQ(n, 32u);
        EXPECT_EQ(out, bytes(32, 0xEE)); // nothing of the plaintext handed out
        EXPECT_EQ(SKF_Decrypt(k, cipher.data(), 32, out.data(), &n), SAR_NOTINITIALIZEERR);

        ASSERT_EQ(SKF_DecryptInit(k, param(iv, gm_padding_pkcs5)), SAR_OK);
        n = 32;
        ASSERT_EQ(gm_decrypt_update_direct(k, cipher.data(), 32, out.data(), &n), SAR_OK);
        EXPECT_EQ(n, 16u);
        n = 16;
        EXPECT_EQ(SKF_DecryptFinal(k, out.data(), &n), SAR_INDATAERR);
        EXPECT_EQ(SKF_DecryptFinal(k, out.data(), &n), SAR_NOTINITIALIZEERR);
    }
}

TEST_F(direct_path, a_device_refusal_ends_the_operation) {
    const HANDLE k = key(seq(16), 0x401);
    const bytes data = seq(2000);
    ASSERT_EQ(SKF_EncryptInit(k, param({}, gm_padding_pkcs5)), SAR_OK);
    device->fail_at = 2;
    bytes out(2016);
    uint32_t n = static_cast<uint32_t>(out.size());
    EXPECT_EQ(SKF_Encrypt(k, data.data(), 2000, out.data(), &n), SAR_FAIL);
    EXPECT_EQ(device->calls.size(), 2u);
    EXPECT_EQ(SKF_EncryptFinal(k, out.data(), &n), SAR_NOTINITIALIZEERR);
}

// A device whose direct size is not above its chunk size (a PC/SC device
// reports 0) keeps the card path, and the direct entries refuse its keys.
class card_path : public direct_path, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {}
};

TEST_P(card_path, a_device_without_a_larger_direct_size_ciphers_on_the_card) {
    // The chunk size the card's buffer gives.
    connect(0);
    const uint32_t c = chunk();
    ASSERT_LT(c, direct_size);
    if (GetParam()) { // reconnect with a direct size equal to the chunk size
        EXPECT_EQ(SKF_CloseContainer(cont), SAR_OK);
        EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        cont = dev = 0;
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
        connect(c);
    }
    const bytes value = seq(16), iv = seq(16, 4), plain = seq(700);
    const HANDLE k = key(value, 0x402);
    card.clear_log();
    EXPECT_EQ(gm_encrypt_init_direct(k, param(iv, gm_padding_pkcs5)), SAR_NOTSUPPORTYETERR);
    ASSERT_EQ(SKF_EncryptInit(k, param(iv, gm_padding_pkcs5)), SAR_OK);
    bytes out(720);
    uint32_t n = static_cast<uint32_t>(out.size());
    EXPECT_EQ(gm_encrypt_direct(k, plain.data(), 700, out.data(), &n), SAR_NOTINITIALIZEERR);
    ASSERT_EQ(SKF_Encrypt(k, plain.data(), 700, out.data(), &n), SAR_OK);
    out.resize(n);
    EXPECT_EQ(out, oracle(0x402, value, iv, true, true, plain));
    EXPECT_TRUE(device->calls.empty());
    EXPECT_GT(card_cipher_commands(), 0u);
}

INSTANTIATE_TEST_SUITE_P(sizes, card_path, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "direct_size_equal_to_chunk"
                                                           : "direct_size_0");
                         });

TEST(direct_cipher_device, a_device_without_one_refuses_and_writes_nothing) {
    fake_device plain(reader, [](std::span<const uint8_t>) { return bytes{0x90, 0x00}; });
    uint32_t size = 99;
    EXPECT_EQ(plain.get_direct_cipher_size(&size), 0);
    EXPECT_EQ(size, 0u);
    const bytes in(16, 1);
    bytes out(16, 0xEE);
    size_t out_length = out.size();
    direct_cipher_request r;
    r.algorithm = 0x401;
    r.direction = 1;
    r.first_call = 1;
    r.input = in;
    r.output = out.data();
    r.output_length = &out_length;
    EXPECT_NE(plain.direct_cipher(r), 0);
    EXPECT_EQ(out_length, 0u);
    EXPECT_EQ(out, bytes(16, 0xEE));
}

} // namespace
