// The card's secure-messaging primitives: the MAC of the MAC commands and of
// the PIN commands, the PIN key and the PIN block (see README.md, "Choices
// left to the card"). OpenSSL 3 underneath, independent of the host's code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace cardsim {

using block16 = std::array<uint8_t, 16>;

// SM4-CBC-MAC: data padded by ISO/IEC 9797-1 method 2 (0x80, then zeros to
// a whole block; always added), CBC-encrypted under key from iv; the MAC is
// the last cipher block. nullopt when OpenSSL fails.
std::optional<block16> sm4_cbc_mac(std::span<const uint8_t, 16> key,
                                   std::span<const uint8_t, 16> iv, std::span<const uint8_t> data);

// PIN key: the first 16 bytes of SHA-1 over the PIN in a zero-filled
// 16-byte buffer. nullopt for a PIN over 16 bytes or an OpenSSL failure.
std::optional<block16> sm_pin_key(std::string_view pin);

// Decrypts a secure-messaging block (SM4-ECB under key) and returns the data
// it carries: LE16(n) || data[n] || 0x80 || 00.. . nullopt when the size is
// not a whole number of blocks (at least one) or the plain text is not well
// formed.
std::optional<std::vector<uint8_t>> sm_unwrap_block(std::span<const uint8_t, 16> key,
                                                    std::span<const uint8_t> block);

// 16 bytes: the challenge followed by 8 zero bytes.
block16 challenge_block(std::span<const uint8_t, 8> challenge);

// A 16-byte key derived from a card secret, wiped when it goes out of scope.
struct derived_key {
    block16 bytes{};
    derived_key() = default;
    derived_key(const derived_key&) = delete;
    derived_key& operator=(const derived_key&) = delete;
    ~derived_key();
};

// The key a secret `key` gives for the card's challenge: SM4-ECB(key,
// challenge || 00 x 8) (README.md, "Responses to a challenge"). False
// when OpenSSL fails.
bool challenge_key(std::span<const uint8_t, 16> key, std::span<const uint8_t, 8> challenge,
                   derived_key& out);

} // namespace cardsim
