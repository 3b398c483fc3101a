// SM4 block cipher (GB/T 32907-2016; also GM/T 0002-2012): 128-bit block,
// 128-bit key, 32 rounds. The module carries its own implementation because
// mbed TLS has none. Used for the secure-messaging PIN blocks (sm_wrap.h) and
// for device authentication, which encrypts the card's challenge directly
// with sm4_key_schedule + sm4_block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t sm4_block_size = 16;
inline constexpr size_t sm4_key_size = 16;
inline constexpr int sm4_rounds = 32;

// Mode argument of sm4_ecb: 1 encrypts; any other value decrypts.
inline constexpr int sm4_encrypt = 1;
inline constexpr int sm4_decrypt = 0;

using sm4_round_keys = std::array<uint32_t, sm4_rounds>;

enum class sm4_result {
    ok,
    null_argument, // key or buffer missing while there is data to process
    bad_length,    // length is not a whole number of 16-byte blocks
};

// Expands a 16-byte key (read as four big-endian words) into the 32
// encryption round keys, using the FK and CK constants of GB/T 32907 §7.3.
void sm4_key_schedule(sm4_round_keys& round_keys, const uint8_t key[sm4_key_size]);

// Turns encryption round keys into decryption round keys (and back): SM4
// decrypts with the same round function and the keys in reverse order.
void sm4_reverse_round_keys(sm4_round_keys& round_keys);

// One 16-byte block through the 32 rounds. in and out may be the same
// buffer. Encrypts or decrypts depending on the order of the round keys.
void sm4_block(const sm4_round_keys& round_keys, const uint8_t in[sm4_block_size],
               uint8_t out[sm4_block_size]);

// ECB in place over length / 16 blocks. A length of 0 does nothing and
// succeeds. A length that is not a multiple of 16 is refused with bad_length
// and the buffer is left untouched: processing the tail as a whole block would
// read and write past the caller's buffer, and leaving it in plain would hand
// back data the caller believes encrypted. A length above PTRDIFF_MAX (a
// negative count converted to size_t) is refused the same way.
[[nodiscard]] sm4_result sm4_ecb(const uint8_t key[sm4_key_size], uint8_t* buffer, size_t length,
                                 int mode);
