#include "sm_wrap.h"

#include "byte_order.h"

#include <mbedtls/platform_util.h>
#include <mbedtls/sha1.h>

#include <array>
#include <cstring>

sm_key::~sm_key() {
    mbedtls_platform_zeroize(bytes, sizeof bytes);
}

bool sm_key::derive(std::string_view pin) {
    return sm_pin_key(pin.data(), pin.size(), bytes) == sm_result::ok;
}

sm_result sm_pin_key(const char* pin, size_t length, uint8_t key[sm_pin_key_size]) {
    if (key == nullptr) return sm_result::null_argument;
    std::memset(key, 0, sm_pin_key_size);
    if (pin == nullptr && length != 0) return sm_result::null_argument;
    if (length > sm_pin_max_length) return sm_result::too_long;

    std::array<uint8_t, sm_pin_max_length> text{};
    if (length != 0) std::memcpy(text.data(), pin, length);
    std::array<uint8_t, 20> digest{};
    const int rc = mbedtls_sha1_ret(text.data(), text.size(), digest.data());
    if (rc == 0) std::memcpy(key, digest.data(), sm_pin_key_size);
    mbedtls_platform_zeroize(text.data(), text.size());
    mbedtls_platform_zeroize(digest.data(), digest.size());
    return rc == 0 ? sm_result::ok : sm_result::digest_failed;
}

sm_result sm_wrap_block(const uint8_t key[sm_pin_key_size], const uint8_t* data, size_t length,
                        std::vector<uint8_t>& block) {
    block.clear();
    if (key == nullptr || (data == nullptr && length != 0)) return sm_result::null_argument;
    if (length > sm_wrap_max_data) return sm_result::too_long;

    block.assign(sm_wrap_size(length), 0);
    put_le16(static_cast<uint32_t>(length), block.data());
    if (length != 0) std::memcpy(block.data() + 2, data, length);
    block[2 + length] = 0x80;
    // Cannot fail: key and buffer are present and the size is whole blocks.
    if (sm4_ecb(key, block.data(), block.size(), sm4_encrypt) != sm4_result::ok) {
        mbedtls_platform_zeroize(block.data(), block.size());
        block.clear();
        return sm_result::null_argument;
    }
    return sm_result::ok;
}

sm_result sm_session_key(const uint8_t key[sm_pin_key_size],
                         const uint8_t challenge[sm_session_challenge_size], sm_key& out) {
    std::memset(out.bytes, 0, sizeof out.bytes);
    if (key == nullptr || challenge == nullptr) return sm_result::null_argument;
    std::memcpy(out.bytes, challenge, sm_session_challenge_size);
    // Cannot fail: key and buffer are present and the size is one block.
    if (sm4_ecb(key, out.bytes, sizeof out.bytes, sm4_encrypt) != sm4_result::ok) {
        mbedtls_platform_zeroize(out.bytes, sizeof out.bytes);
        return sm_result::null_argument;
    }
    return sm_result::ok;
}
