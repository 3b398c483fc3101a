// The test side of the protected application record: SM4 by OpenSSL (GB/T
// 32907), independent of the host's and the card's own SM4 code, and the
// record as CreateApplication carries it (tools/cardsim/README.md).
#pragma once

#include <openssl/evp.h>

#include <algorithm>
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

// SM4-CBC-MAC (ISO/IEC 9797-1 padding method 2), block by block.
inline bytes cbc_mac(const uint8_t* key, const bytes& iv, const bytes& data) {
    bytes padded = data;
    padded.push_back(0x80);
    padded.resize((padded.size() + 15) / 16 * 16, 0);
    bytes chain = iv;
    for (size_t off = 0; off < padded.size(); off += 16) {
        for (size_t i = 0; i < 16; ++i)
            chain[i] ^= padded[off + i];
        chain = sm4_ecb(key, chain);
    }
    return chain;
}

// The 84-byte application record as CreateApplication carries it: under S =
// SM4-ECB(key, challenge || 00 x 8) each PIN field (SO PIN at 32, user PIN
// at 52) enciphered, then the MAC under S (IV challenge || 00 x 8) of the 84
// bytes as sent; `corrupt_mac` flips a bit of that MAC.
inline bytes protected_record(const bytes& record, const bytes& challenge, const char* key,
                              bool corrupt_mac = false) {
    bytes iv = challenge;
    iv.insert(iv.end(), 8, 0);
    const bytes session = sm4_ecb(reinterpret_cast<const uint8_t*>(key), iv);
    bytes out = record;
    for (size_t field : {size_t{32}, size_t{52}}) {
        const bytes enciphered =
            sm4_ecb(session.data(), bytes(record.begin() + field, record.begin() + field + 16));
        std::copy(enciphered.begin(), enciphered.end(), out.begin() + field);
    }
    bytes mac = cbc_mac(session.data(), iv, out);
    if (corrupt_mac) mac[15] ^= 1;
    out.insert(out.end(), mac.begin(), mac.end());
    return out;
}

} // namespace app_oracle
