// The signature time log: a ring of 10 time stamps kept in the value of the
// data object labelled "LogSign". Byte 0 is the index of the next entry to
// write; entry n is 18 characters at byte 1 + 18 n, "dd-mm-yy-hh-mm-ss|".
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>

inline constexpr size_t sign_log_record_size = 181;
inline constexpr size_t sign_log_entries = 10;
inline constexpr size_t sign_log_entry_size = 18;
inline constexpr const char* sign_log_label = "LogSign";

using sign_log_record = std::array<uint8_t, sign_log_record_size>;

// The record built from a stored value: the value copied over 181 zero
// bytes. A longer value is not a record (it is read as into a 181-byte
// buffer, which it does not fit): none.
std::optional<sign_log_record> sign_log_from_value(std::span<const uint8_t> value);
// Appends one entry for the given local time.
void sign_log_append(sign_log_record& record, const std::tm& local_time);
