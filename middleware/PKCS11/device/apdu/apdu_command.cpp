#include "apdu_command.h"

#include <cstring>

#include <mbedtls/platform_util.h>

#include "byte_order.h"

apdu_command::apdu_command(int32_t case_type, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                           const char* name)
    : case_type_(case_type), cla_(cla), ins_(ins), p1_(p1), p2_(p2) {
    if (name) std::memcpy(name_, name, strnlen(name, sizeof(name_) - 1));
}

apdu_command::~apdu_command() {
    mbedtls_platform_zeroize(data_.data(), data_.size());
    mbedtls_platform_zeroize(reply_.data(), reply_.size());
}

int apdu_command::set_data(const uint8_t* bytes, int32_t length) {
    if (length < 0 || (length > 0 && !bytes)) return apdu_err_invalid;
    mbedtls_platform_zeroize(data_.data(), data_.size());
    data_.assign(bytes, bytes + length);
    lc_ = length;
    return apdu_ok;
}

int apdu_command::set_data(std::span<const uint8_t> bytes) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) return apdu_err_invalid;
    return set_data(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// An automatic case becomes extended when either length needs it. Looking at
// Le alone would resolve a command with more than 255 data bytes to a short
// case that validation then refuses.
void apdu_command::resolve_case() {
    if (case_type_ != apdu_case_2_auto && case_type_ != apdu_case_3_auto &&
        case_type_ != apdu_case_4_auto)
        return;
    const bool extended = le_ > apdu_short_le_max || lc_ > apdu_short_lc_max;
    case_type_ = (extended ? 0x10 : 0) | (case_type_ & 0x0F);
}

int32_t apdu_command::serialised_length() {
    resolve_case();
    if (lc_ < 0 || lc_ > apdu_ext_lc_max + 1) return 0; // no sensible size; validation refuses it
    switch (case_type_) {
    case apdu_case_1:
        return 4;
    case apdu_case_2:
        return 5;
    case apdu_case_3:
        return 5 + lc_;
    case apdu_case_4:
        return 6 + lc_; // ISO 7816-4 short case 4 carries its Le byte
    case apdu_case_2_ext:
        return 7;
    case apdu_case_3_ext:
        return 7 + lc_;
    case apdu_case_4_ext:
        return 9 + lc_;
    default:
        return 0;
    }
}

int apdu_command::validate() {
    resolve_case();
    if (lc_ < 0 || le_ < 0) return apdu_err_invalid;
    if (case_type_ > 0x0F) {
        if (!(case_type_ & 0x10) || (case_type_ & ~0x1F)) return apdu_err_invalid;
        if (le_ > apdu_ext_le_max || lc_ > apdu_ext_lc_max) return apdu_err_invalid;
    } else if (case_type_ != apdu_case_1) {
        if (le_ > apdu_short_le_max || lc_ > apdu_short_lc_max) return apdu_err_invalid;
    }
    const bool has_data = !data_.empty();
    switch (case_type_ & 0x0F) {
    case 1:
        if (has_data || lc_ != 0 || le_ != 0) return apdu_err_invalid;
        break;
    case 2:
        if (has_data || lc_ != 0) return apdu_err_invalid;
        break;
    case 3:
        if (!has_data || lc_ == 0 || le_ != 0 || data_.size() != static_cast<size_t>(lc_))
            return apdu_err_invalid;
        break;
    case 4:
        if (!has_data || lc_ == 0 || data_.size() != static_cast<size_t>(lc_))
            return apdu_err_invalid;
        break;
    default:
        return apdu_err_invalid;
    }
    return apdu_ok;
}

int apdu_command::serialise(uint8_t* buffer, int32_t* length) {
    if (!length) return apdu_err_invalid;
    if (!buffer) {
        *length = serialised_length();
        return apdu_ok;
    }
    if (validate() != apdu_ok) return apdu_err_invalid;
    const int32_t needed = serialised_length();
    if (needed <= 0) return apdu_err_no_data;
    if (*length < needed) return apdu_err_buffer_small;

    uint8_t* out = buffer;
    *out++ = cla_;
    *out++ = ins_;
    *out++ = p1_;
    *out++ = p2_;
    const bool extended = (case_type_ & 0x10) != 0;
    const int kind = case_type_ & 0x0F;
    if (extended) {
        *out++ = 0x00;
        if (kind != 2) {
            put_be16(static_cast<uint32_t>(lc_), out);
            out += 2;
            std::memcpy(out, data_.data(), data_.size());
            out += data_.size();
        }
        if (kind != 3) {
            // 0x10000 (and 0) is written 00 00: "up to 65536 bytes".
            put_be16(static_cast<uint32_t>(le_) & 0xFFFF, out);
            out += 2;
        }
    } else if (kind != 1) {
        if (kind != 2) {
            *out++ = static_cast<uint8_t>(lc_);
            std::memcpy(out, data_.data(), data_.size());
            out += data_.size();
        }
        if (kind != 3) *out++ = static_cast<uint8_t>(le_); // 256 is written 00
    }
    *length = static_cast<int32_t>(out - buffer);
    return apdu_ok;
}

std::vector<uint8_t> apdu_command::to_bytes() {
    std::vector<uint8_t> bytes(static_cast<size_t>(serialised_length()));
    int32_t length = static_cast<int32_t>(bytes.size());
    if (bytes.empty() || serialise(bytes.data(), &length) != apdu_ok) return {};
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

int apdu_command::parse_reply(const uint8_t* bytes, int32_t length) {
    if (!bytes || length < 2) return apdu_err_no_data;
    sw1_ = bytes[length - 2];
    sw2_ = bytes[length - 1];
    reply_.assign(bytes, bytes + (length - 2));
    return apdu_ok;
}

int apdu_command::parse_reply(std::span<const uint8_t> bytes) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) return apdu_err_invalid;
    return parse_reply(bytes.data(), static_cast<int32_t>(bytes.size()));
}

const uint8_t* apdu_command::reply(int32_t* length) const {
    if (length) *length = static_cast<int32_t>(reply_.size());
    return reply_.empty() ? nullptr : reply_.data();
}

std::unique_ptr<apdu_command> apdu_command::clone_header() const {
    return std::make_unique<apdu_command>(case_type_, cla_, ins_, p1_, p2_, name_);
}

std::unique_ptr<apdu_command> apdu_command::clone_with_data(std::span<const uint8_t> bytes) const {
    auto clone = clone_header();
    if (clone->set_data(bytes) != apdu_ok) return nullptr;
    return clone;
}
