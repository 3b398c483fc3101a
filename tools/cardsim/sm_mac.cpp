#include "sm_mac.h"

#include <algorithm>

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "ossl.h"
#include "sm4.h"

namespace cardsim {

std::optional<block16> sm4_cbc_mac(std::span<const uint8_t, 16> key,
                                   std::span<const uint8_t, 16> iv, std::span<const uint8_t> data) {
    if (data.size() > 0x7FFFFF00) return std::nullopt;
    std::vector<uint8_t> padded(data.begin(), data.end());
    padded.push_back(0x80);
    padded.resize((padded.size() + 15) / 16 * 16, 0);

    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    if (EVP_EncryptInit_ex2(ctx.get(), EVP_sm4_cbc(), key.data(), iv.data(), nullptr) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<uint8_t> out(padded.size());
    int n = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &n, padded.data(),
                          static_cast<int>(padded.size())) != 1 ||
        static_cast<size_t>(n) != padded.size())
        return std::nullopt;
    block16 mac{};
    std::copy(out.end() - 16, out.end(), mac.begin());
    return mac;
}

std::optional<block16> sm_pin_key(std::string_view pin) {
    if (pin.size() > 16) return std::nullopt;
    uint8_t buffer[16] = {};
    std::copy(pin.begin(), pin.end(), buffer);
    uint8_t digest[SHA_DIGEST_LENGTH];
    if (!SHA1(buffer, sizeof buffer, digest)) return std::nullopt;
    block16 key{};
    std::copy_n(digest, key.size(), key.begin());
    return key;
}

std::optional<std::vector<uint8_t>> sm_unwrap_block(std::span<const uint8_t, 16> key,
                                                    std::span<const uint8_t> block) {
    if (block.empty() || block.size() % 16 != 0) return std::nullopt;
    std::vector<uint8_t> plain(block.size());
    if (!sm4_ecb_decrypt(key, block, plain)) return std::nullopt;
    const size_t n = static_cast<size_t>(plain[0]) | static_cast<size_t>(plain[1]) << 8;
    if (n + 3 > plain.size()) return std::nullopt;
    // The block is exactly the size the wrap gives for n bytes.
    if (plain.size() != 16 * ((n + 2) / 16 + 1)) return std::nullopt;
    if (plain[2 + n] != 0x80) return std::nullopt;
    if (!std::all_of(plain.begin() + static_cast<std::ptrdiff_t>(3 + n), plain.end(),
                     [](uint8_t b) { return b == 0; }))
        return std::nullopt;
    return std::vector<uint8_t>(plain.begin() + 2,
                                plain.begin() + static_cast<std::ptrdiff_t>(2 + n));
}

block16 challenge_block(std::span<const uint8_t, 8> challenge) {
    block16 b{};
    std::copy(challenge.begin(), challenge.end(), b.begin());
    return b;
}

derived_key::~derived_key() {
    OPENSSL_cleanse(bytes.data(), bytes.size());
}

bool challenge_key(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> challenge,
                   derived_key& out) {
    const block16 plain = challenge_block(challenge);
    return sm4_ecb_encrypt(key, plain, out.bytes);
}

} // namespace cardsim
