// Independent reference for the tests: OpenSSL's SM4-ECB and SHA-1.
#pragma once

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace oracle {

inline std::vector<uint8_t> sm4_ecb(const uint8_t* key, const std::vector<uint8_t>& in,
                                    bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
        throw std::runtime_error("OpenSSL SM4-ECB init failed");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::vector<uint8_t> out(in.size() + 16);
    int n = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        throw std::runtime_error("OpenSSL SM4-ECB failed");
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

inline std::vector<uint8_t> sha1(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
    SHA1(in.data(), in.size(), digest.data());
    return digest;
}

} // namespace oracle
