// libFuzzer target for the SM2 cipher-text DER decoder: any bytes are decoded
// into a record sized as the module sizes it for decryption (164 bytes and the
// input's length); nothing may be read or written out of bounds, and what
// decodes must encode to DER that decodes to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "sm2_codec.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzz(std::span<const uint8_t> data) {
    // A copy of exactly the input's size, so that ASan sees any read past it.
    const std::vector<uint8_t> input(data.begin(), data.end());
    std::vector<uint8_t> record(ECCCIPHERBLOB_FIXED_SIZE + input.size());
    uint32_t size = 0;
    if (sm2_cipher_der_decode(input, record, size) != 0) return;
    check(size >= ECCCIPHERBLOB_FIXED_SIZE && size <= record.size());
    uint32_t cipher_len = 0;
    std::memcpy(&cipher_len, record.data() + offsetof(ECCCIPHERBLOB, CipherLen), 4);
    check(size == ECCCIPHERBLOB_FIXED_SIZE + cipher_len);
    record.resize(size);

    uint32_t der_len = 0;
    check(sm2_cipher_der_encode(record, nullptr, &der_len) == 0);
    std::vector<uint8_t> der(der_len);
    check(sm2_cipher_der_encode(record, der.data(), &der_len) == 0 && der_len == der.size());
    std::vector<uint8_t> again(ECCCIPHERBLOB_FIXED_SIZE + der.size());
    uint32_t again_size = 0;
    check(sm2_cipher_der_decode(der, again, again_size) == 0 && again_size == size);
    check(std::memcmp(again.data(), record.data(), size) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz({data, size});
    return 0;
}
