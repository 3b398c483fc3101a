// Independent reference for the tests: OpenSSL's SHA-1 (OpenSSL's SM4-ECB
// is in tests/support/sm4_oracle.h).
#pragma once

#include <openssl/sha.h>

#include <cstdint>
#include <vector>

namespace oracle {

inline std::vector<uint8_t> sha1(const std::vector<uint8_t>& in) {
    std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
    SHA1(in.data(), in.size(), digest.data());
    return digest;
}

} // namespace oracle
