#include "sm4.h"

#include "ossl.h"

namespace cardsim {

namespace {

bool sm4_ecb(bool encrypt, std::span<const uint8_t, 16> key, std::span<const uint8_t> in,
             std::span<uint8_t> out) {
    if (in.size() % 16 != 0 || out.size() != in.size() || in.size() > 0x7FFFFFF0) return false;
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    if (EVP_CipherInit_ex2(ctx.get(), EVP_sm4_ecb(), key.data(), nullptr, encrypt ? 1 : 0,
                           nullptr) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int n = 0, tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1)
        return false;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1) return false;
    return static_cast<size_t>(n + tail) == in.size();
}

} // namespace

bool sm4_ecb_encrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t> in,
                     std::span<uint8_t> out) {
    return sm4_ecb(true, key, in, out);
}

bool sm4_ecb_decrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t> in,
                     std::span<uint8_t> out) {
    return sm4_ecb(false, key, in, out);
}

} // namespace cardsim
