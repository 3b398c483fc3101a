#include "sign_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::optional<sign_log_record> sign_log_from_value(std::span<const uint8_t> value) {
    sign_log_record record{};
    if (value.size() > record.size()) return std::nullopt;
    std::copy(value.begin(), value.end(), record.begin());
    return record;
}

void sign_log_append(sign_log_record& record, const std::tm& t) {
    char entry[64];
    // Two digits each; the year as years since 2000 (kept to two digits).
    std::snprintf(entry, sizeof entry, "%02d-%02d-%02d-%02d-%02d-%02d%s", t.tm_mday % 100,
                  (t.tm_mon + 1) % 100, (t.tm_year + 1900 - 2000 + 100) % 100, t.tm_hour % 100,
                  t.tm_min % 100, t.tm_sec % 100, "|");
    uint8_t index = record[0];
    if (index >= sign_log_entries) {
        index = 0;
        record[0] = 0;
    }
    std::memcpy(record.data() + 1 + sign_log_entry_size * index, entry, sign_log_entry_size);
    record[0] = static_cast<uint8_t>(index + 1);
}
