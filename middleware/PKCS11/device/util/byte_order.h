// Byte-order helpers for card fields. Card command data and the key blobs
// exchanged with the card are big-endian; the host is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

void reverse_bytes(uint8_t* buffer, size_t length);
void put_be16(uint32_t value, uint8_t* out);
void put_be32(uint32_t value, uint8_t* out);
uint16_t swap16(uint16_t value);

inline uint16_t get_be16(const uint8_t* in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}
inline uint32_t get_be32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}
inline void put_le16(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}
inline void put_le32(uint32_t value, uint8_t* out) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint16_t get_le16(const uint8_t* in) {
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}
inline uint32_t get_le32(const uint8_t* in) {
    return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) |
           (uint32_t{in[3]} << 24);
}
