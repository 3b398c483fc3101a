// Bounds-checked reading and appending of big-endian fields, for command
// data, replies and the image file. Every read checks what is left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "byte_order.h"

namespace cardsim {

class reader {
  public:
    explicit reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t remaining() const { return bytes_.size() - pos_; }
    bool empty() const { return remaining() == 0; }
    // False once any read ran past the end; the value read is then 0/empty.
    bool ok() const { return ok_; }

    uint8_t u8() {
        if (!need(1)) return 0;
        return bytes_[pos_++];
    }
    uint16_t u16() {
        if (!need(2)) return 0;
        const uint16_t v = get_be16(&bytes_[pos_]);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        if (!need(4)) return 0;
        const uint32_t v = get_be32(&bytes_[pos_]);
        pos_ += 4;
        return v;
    }
    std::span<const uint8_t> bytes(size_t n) {
        if (!need(n)) return {};
        auto s = bytes_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    std::span<const uint8_t> rest() { return bytes(remaining()); }

  private:
    bool need(size_t n) {
        if (!ok_ || n > remaining()) {
            ok_ = false;
            return false;
        }
        return true;
    }
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class writer {
  public:
    explicit writer(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) {
        uint8_t b[2];
        put_be16(v, b);
        out_.insert(out_.end(), b, b + 2);
    }
    void u32(uint32_t v) {
        uint8_t b[4];
        put_be32(v, b);
        out_.insert(out_.end(), b, b + 4);
    }
    void bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    // A text in a fixed-size field, cut to the field and zero-padded.
    void fixed_text(const std::string& s, size_t field) {
        const size_t n = s.size() < field ? s.size() : field;
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
        out_.insert(out_.end(), field - n, 0);
    }
    void zeros(size_t n) { out_.insert(out_.end(), n, 0); }

  private:
    std::vector<uint8_t>& out_;
};

// Text of a byte field up to its first NUL.
inline std::string text_of(std::span<const uint8_t> field) {
    std::string s;
    for (uint8_t b : field) {
        if (b == 0) break;
        s.push_back(static_cast<char>(b));
    }
    return s;
}

} // namespace cardsim
