#include "byte_order.h"

#include <utility>

void reverse_bytes(uint8_t* buffer, size_t length) {
    for (size_t i = 0; i < length / 2; ++i)
        std::swap(buffer[i], buffer[length - 1 - i]);
}

void put_be16(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

void put_be32(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

uint16_t swap16(uint16_t value) {
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}
