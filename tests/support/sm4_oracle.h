// SM4 by OpenSSL, the tests' reference for the module's and the simulated
// card's own SM4 code (neither side's mistake is copied into the other), and
// the key of a PIN's SM4 blocks.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace test_support {

// SM4-ECB over whole 16-byte blocks, no padding. Empty when the key is not
// 16 bytes, the input is not whole blocks or OpenSSL fails: an expected
// result of one block or more never matches it.
inline std::vector<uint8_t> sm4_ecb(std::span<const uint8_t> key, std::span<const uint8_t> in,
                                    bool encrypt) {
    if (key.size() != 16 || in.size() % 16 != 0) return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.data(), nullptr,
                                  encrypt ? 1 : 0) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<uint8_t> out(in.size() + 16);
    int n = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        return {};
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

// The PIN key: the first 16 bytes of SHA-1 over the PIN in a zero-filled
// 16-byte buffer (a longer PIN counts with its first 16 bytes).
inline std::array<uint8_t, 16> pin_key(std::string_view pin) {
    uint8_t buffer[16] = {};
    std::copy_n(pin.begin(), std::min<size_t>(pin.size(), 16), buffer);
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(buffer, sizeof buffer, digest);
    std::array<uint8_t, 16> key{};
    std::copy_n(digest, 16, key.begin());
    return key;
}

} // namespace test_support
