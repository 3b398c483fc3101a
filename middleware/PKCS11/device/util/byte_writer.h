// Builds the data field of a card command: big-endian numbers, raw bytes and
// fixed-size zero-padded fields, with a hard capacity. Every write is checked;
// the first one that does not fit marks the writer failed and nothing more is
// written, so a builder checks ok() once before it makes its command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

class byte_writer {
  public:
    explicit byte_writer(size_t capacity) : capacity_(capacity) {
        bytes_.reserve(capacity < 4096 ? capacity : 4096);
    }
    // The data may hold a PIN or a key: wiped (a volatile store the compiler
    // keeps).
    ~byte_writer() {
        volatile uint8_t* p = bytes_.data();
        for (size_t i = 0; i < bytes_.size(); ++i)
            p[i] = 0;
    }
    byte_writer(const byte_writer&) = default;
    byte_writer(byte_writer&&) = default;
    byte_writer& operator=(const byte_writer&) = delete;
    byte_writer& operator=(byte_writer&&) = delete;

    byte_writer& u8(uint32_t value) { return put({static_cast<uint8_t>(value)}); }
    byte_writer& be16(uint32_t value) {
        if (value > 0xFFFF) return fail();
        return put({static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }
    byte_writer& be32(uint32_t value) {
        return put({static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
    }
    byte_writer& bytes(std::span<const uint8_t> data) {
        if (!room(data.size())) return fail();
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    byte_writer& bytes(const void* data, size_t length) {
        if (length && !data) return fail();
        return bytes(std::span<const uint8_t>(static_cast<const uint8_t*>(data), length));
    }
    byte_writer& text(std::string_view s) { return bytes(s.data(), s.size()); }
    // A field of exactly width bytes: data, then zero bytes. Data longer than
    // the field is an error, never silently cut.
    byte_writer& fixed(std::span<const uint8_t> data, size_t width) {
        if (data.size() > width || !room(width)) return fail();
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        bytes_.insert(bytes_.end(), width - data.size(), 0);
        return *this;
    }
    byte_writer& fixed_text(std::string_view s, size_t width) {
        return fixed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()),
                     width);
    }
    byte_writer& zeros(size_t count) {
        if (!room(count)) return fail();
        bytes_.insert(bytes_.end(), count, 0);
        return *this;
    }

    bool ok() const { return ok_; }
    size_t size() const { return bytes_.size(); }
    std::span<const uint8_t> data() const { return bytes_; }

  private:
    bool room(size_t n) const { return ok_ && n <= capacity_ - bytes_.size(); }
    byte_writer& put(std::initializer_list<uint8_t> b) {
        if (!room(b.size())) return fail();
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    byte_writer& fail() {
        ok_ = false;
        return *this;
    }

    size_t capacity_;
    std::vector<uint8_t> bytes_;
    bool ok_ = true;
};
