// The test side of the card's SM4 blocks (device authentication, the
// VerifyPin block): SM4 by OpenSSL (GB/T 32907), independent of the host's
// and the card's own SM4 code.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace app_oracle {

using bytes = std::vector<uint8_t>;

// SM4-ECB encryption of whole 16-byte blocks by OpenSSL.
inline bytes sm4_ecb(const uint8_t* key, const bytes& plain) {
    bytes out(plain.size() + 16);
    int n = 0, m = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

} // namespace app_oracle
