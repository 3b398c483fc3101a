// One ISO 7816-4 command APDU and, after the exchange, its response.
//
// A card command is built as an apdu_command (by a builder of the command
// layer), serialised and exchanged by the transport (transport.h), which
// stores the reply body and the status word back into the same object.
// Builders only choose the case, header, data and Le; the transport owns the
// wire shape, chaining and resend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Case types. The low nibble is the ISO 7816-4 case (1 header only, 2 Le,
// 3 Lc + data, 4 Lc + data + Le); 0x10 marks the extended-length form; 0x20
// marks an automatic form that becomes short or extended when serialised.
inline constexpr int32_t apdu_case_1 = 0x01;
inline constexpr int32_t apdu_case_2 = 0x02;
inline constexpr int32_t apdu_case_3 = 0x03;
inline constexpr int32_t apdu_case_4 = 0x04;
inline constexpr int32_t apdu_case_2_ext = 0x12;
inline constexpr int32_t apdu_case_3_ext = 0x13;
inline constexpr int32_t apdu_case_4_ext = 0x14;
inline constexpr int32_t apdu_case_2_auto = 0x22;
inline constexpr int32_t apdu_case_3_auto = 0x23;
inline constexpr int32_t apdu_case_4_auto = 0x24;

// Results of the apdu_command operations (they never leave the library; the
// transport turns them into its own codes).
inline constexpr int apdu_ok = 0;
inline constexpr int apdu_err_invalid = -1300;      // invalid command or parameter
inline constexpr int apdu_err_buffer_small = -1303; // output buffer too small
inline constexpr int apdu_err_no_data = -1400; // nothing to serialise / reply without status word

// ISO 7816-4 5.1.1: bit 0x10 of an inter-industry or proprietary CLA marks
// "not the last command of a chain".
inline constexpr uint8_t apdu_cla_chaining = 0x10;

inline constexpr int32_t apdu_short_lc_max = 255;
inline constexpr int32_t apdu_short_le_max = 256;
inline constexpr int32_t apdu_ext_lc_max = 0xFFFF;
inline constexpr int32_t apdu_ext_le_max = 0x10000;

class apdu_command {
  public:
    apdu_command(int32_t case_type, uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2,
                 const char* name = nullptr);
    // Data and reply are wiped: a command may carry a PIN or a key.
    ~apdu_command();
    apdu_command(const apdu_command&) = delete;
    apdu_command& operator=(const apdu_command&) = delete;

    // Replaces the command data with a copy of bytes; Lc becomes its length.
    // A negative length or a null pointer with a non-zero length: apdu_err_invalid.
    int set_data(const uint8_t* bytes, int32_t length);
    int set_data(std::span<const uint8_t> bytes);
    void set_le(int32_t le) { le_ = le; }
    void set_timeout(int32_t milliseconds) { timeout_ms_ = milliseconds; }
    int32_t timeout() const { return timeout_ms_; }

    // Resolves an automatic case, then reports the number of bytes the
    // serialisation will write (0 for an unknown case). Querying the size and
    // serialising afterwards therefore agree.
    int32_t serialised_length();

    // buffer null: *length receives the serialised length, result 0.
    // Otherwise *length is the capacity in and the length written out:
    // resolve, validate (apdu_err_invalid), then apdu_err_no_data for an empty
    // command, apdu_err_buffer_small when the capacity is short (nothing is
    // written). A null length pointer is apdu_err_invalid.
    int serialise(uint8_t* buffer, int32_t* length);
    // Serialised bytes, or an empty vector when the command is invalid.
    std::vector<uint8_t> to_bytes();

    // Checks the command against its case (after resolving an automatic case).
    int validate();

    // Takes SW1 SW2 from the last two bytes and keeps the rest as the body.
    // Fewer than 2 bytes (or a null pointer): apdu_err_no_data, nothing changed.
    int parse_reply(const uint8_t* bytes, int32_t length);
    int parse_reply(std::span<const uint8_t> bytes);

    uint32_t status_word() const {
        return static_cast<uint32_t>(sw1_) * 256u + static_cast<uint32_t>(sw2_);
    }
    int32_t sw1() const { return sw1_; }
    int32_t sw2() const { return sw2_; }
    // The reply body without the status word; null and 0 when empty.
    const uint8_t* reply(int32_t* length) const;
    std::span<const uint8_t> reply() const { return reply_; }

    void set_chaining() { cla_ = static_cast<uint8_t>(cla_ | apdu_cla_chaining); }
    void clear_chaining() { cla_ = static_cast<uint8_t>(cla_ & ~apdu_cla_chaining); }

    // Same case, CLA (chaining bit included), INS, P1, P2 and name; no data,
    // Le 0, time-out 0, no reply.
    std::unique_ptr<apdu_command> clone_header() const;
    std::unique_ptr<apdu_command> clone_with_data(std::span<const uint8_t> bytes) const;

    int32_t case_type() const { return case_type_; }
    uint8_t cla() const { return cla_; }
    uint8_t ins() const { return ins_; }
    uint8_t p1() const { return p1_; }
    uint8_t p2() const { return p2_; }
    int32_t lc() const { return lc_; }
    int32_t le() const { return le_; }
    std::span<const uint8_t> data() const { return data_; }
    const char* name() const { return name_; }

  private:
    void resolve_case();

    int32_t case_type_;
    uint8_t cla_;
    uint8_t ins_;
    uint8_t p1_;
    uint8_t p2_;
    int32_t lc_ = 0;
    int32_t le_ = 0;
    std::vector<uint8_t> data_;
    std::vector<uint8_t> reply_;
    int32_t sw1_ = 0;
    int32_t sw2_ = 0;
    char name_[64] = {};
    int32_t timeout_ms_ = 0;
};

// Scoped owner of a command: deletes it on every path.
using apdu_holder = std::unique_ptr<apdu_command>;
