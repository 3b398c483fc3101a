// SM4 (GB/T 32907) through OpenSSL 3, independent of the host's own SM4.
#pragma once

#include <cstdint>
#include <span>

namespace cardsim {

// ECB encryption of whole 16-byte blocks; `out` has the size of `in`.
// False when the input is not whole blocks or OpenSSL fails.
bool sm4_ecb_encrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t> in,
                     std::span<uint8_t> out);
bool sm4_ecb_decrypt(std::span<const uint8_t, 16> key, std::span<const uint8_t> in,
                     std::span<uint8_t> out);

} // namespace cardsim
