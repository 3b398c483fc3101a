// Small helpers to write inner (32-bit) templates in tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pkcs11_attribute.h"

// Owns the values of an inner template built entry by entry.
class inner_builder {
  public:
    inner_builder& u32(uint32_t type, uint32_t value) {
        std::vector<uint8_t> b(4);
        std::memcpy(b.data(), &value, 4);
        return raw(type, b);
    }
    inner_builder& flag(uint32_t type, bool value) {
        return raw(type, {static_cast<uint8_t>(value ? 1 : 0)});
    }
    inner_builder& text(uint32_t type, const std::string& s) {
        return raw(type, {s.begin(), s.end()});
    }
    inner_builder& raw(uint32_t type, std::vector<uint8_t> bytes) {
        values_.push_back(std::move(bytes));
        types_.push_back(type);
        return *this;
    }
    // The entries; pointers stay valid while the builder lives and is not changed.
    std::vector<inner_attribute>& entries() {
        entries_.clear();
        for (size_t i = 0; i < types_.size(); ++i)
            entries_.push_back(
                {types_[i], values_[i].data(), static_cast<uint32_t>(values_[i].size())});
        return entries_;
    }
    inner_attribute* data() { return entries().data(); }
    uint32_t size() const { return static_cast<uint32_t>(types_.size()); }

  private:
    std::vector<uint32_t> types_;
    std::vector<std::vector<uint8_t>> values_;
    std::vector<inner_attribute> entries_;
};
