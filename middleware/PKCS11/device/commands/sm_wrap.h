// Secure-messaging wrap of PIN values for the PIN card commands (VerifyPin,
// ChangePin, UnblockPin, ReloadPin) and the cryptogram of device
// authentication.
//
// PIN key: the first 16 bytes of SHA-1 over the PIN placed in a zero-filled
// 16-byte buffer. The card derives the key from its stored PIN the same way.
//
// Block: SM4-ECB under a 16-byte key of the plain text
//     LE16(n) || data[n] || 0x80 || 00 ... 00
// zero-padded to 16 × (floor((n + 2) / 16) + 1) bytes, i.e. always room for
// the length, the data and at least one padding byte (ISO/IEC 9797-1 padding
// method 2 after the length prefix). 14 data bytes therefore take 32 bytes.
//
// PINs and wrapped data are limited to 16 bytes: the card stores PINs in
// 16-byte fields, and a longer PIN could be set but never matched by the key
// the card derives. The VerifyPin challenge is 8 bytes.
//
// The MAC the PIN commands carry is the card's own (gm_secure_messaging_mac);
// the library never computes one.
#pragma once

#include "sm4.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr size_t sm_pin_key_size = sm4_key_size;
inline constexpr size_t sm_pin_max_length = 16;
inline constexpr size_t sm_wrap_max_data = sm_pin_max_length;
// The card challenge a session key is derived from.
inline constexpr size_t sm_session_challenge_size = 8;

enum class sm_result {
    ok,
    null_argument, // key, output or non-empty data missing
    too_long,      // PIN or data longer than 16 bytes
    digest_failed, // SHA-1 reported an error
};

// A 16-byte secure-messaging key (or a cryptogram made like one) on the
// stack, wiped whatever the path that leaves its scope.
struct sm_key {
    uint8_t bytes[sm_pin_key_size] = {};
    sm_key() = default;
    sm_key(const sm_key&) = delete;
    sm_key& operator=(const sm_key&) = delete;
    ~sm_key();
    // K(PIN), the key of a PIN (sm_pin_key): true when derived.
    bool derive(std::string_view pin);
};

// Size of the wrapped block for length data bytes.
constexpr size_t sm_wrap_size(size_t length) {
    return sm4_block_size * ((length + 2) / sm4_block_size + 1);
}

// Derives the 16-byte secure-messaging key of a PIN of length bytes (a null
// pin is accepted only with length 0). On failure key is zero-filled.
[[nodiscard]] sm_result sm_pin_key(const char* pin, size_t length, uint8_t key[sm_pin_key_size]);

// Wraps length bytes of data under key into block (resized to
// sm_wrap_size(length)). Data may be null only when length is 0. On failure
// block is left empty.
[[nodiscard]] sm_result sm_wrap_block(const uint8_t key[sm_pin_key_size], const uint8_t* data,
                                      size_t length, std::vector<uint8_t>& block);

// SM4-ECB under key of challenge || 00 x 8 (the 8-byte card challenge
// zero-filled to a block) into out: the cryptogram of device authentication
// under the device authentication key.
[[nodiscard]] sm_result sm_session_key(const uint8_t key[sm_pin_key_size],
                                       const uint8_t challenge[sm_session_challenge_size],
                                       sm_key& out);
