// libFuzzer target for the attribute stream reader: any bytes are read as a
// stream, into a list and into an object; what was read must write back and
// read again to the same records, and nothing may be read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "pkcs11_attribute.h"
#include "pkcs11_object.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzz(std::span<const uint8_t> data) {
    if (data.size() > 0xFFFFFFFFu) return;
    // A copy of exactly the input's size, so that ASan sees any read past it.
    const std::vector<uint8_t> input(data.begin(), data.end());
    pkcs11_attribute_mgr list;
    auto length = static_cast<uint32_t>(input.size());
    const CK_RV rv = list.stream_read(input.data(), &length);
    check(length <= input.size());
    check((rv == CKR_OK) == (length == input.size()));

    uint32_t size = 0;
    check(list.stream_write(nullptr, &size) == CKR_OK);
    check(size == list.stream_size());
    std::vector<uint8_t> written(size);
    uint32_t out = size;
    check(list.stream_write(written.data(), &out) == CKR_OK && out == size);

    pkcs11_attribute_mgr again;
    uint32_t in = size;
    check(again.stream_read(written.data(), &in) == CKR_OK && in == size);
    check(again.size() == list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        check(again.records()[i].type == list.records()[i].type);
        check(again.records()[i].value == list.records()[i].value);
    }

    // The same bytes as an object: class, verifier and the read rule.
    length = static_cast<uint32_t>(input.size());
    CK_RV load = CKR_OK;
    if (auto object = pkcs11_object::from_stream(input.data(), &length, load)) {
        inner_attribute query[] = {
            {CKA_VALUE, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_CLASS, nullptr, 0}};
        (void)object->object_read_attributes(query, 3);
        std::vector<uint8_t> buffer(64);
        inner_attribute read[] = {{CKA_ID, buffer.data(), static_cast<uint32_t>(buffer.size())}};
        (void)object->object_read_attributes(read, 1);
        check(read[0].length == p11abi::inner_unavailable || read[0].length <= buffer.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz(std::span<const uint8_t>(data, size));
    return 0;
}
