#include "dispatch.h"

#include <array>

namespace cardsim {

namespace {

constexpr std::array<uint8_t, 4> known_classes = {0x80, 0x84, 0xC0, 0xC4};

// One entry per command family; a new family adds its function here.
constexpr std::array family_list = {
    &device_commands,    &application_commands, &file_commands,
    &container_commands, &management_commands,  &pin_commands,
    &asym_commands,      &sym_commands,         &fingerprint_commands};

} // namespace

const std::vector<command_row>& command_table() {
    static const std::vector<command_row> table = [] {
        std::vector<command_row> rows;
        for (auto family : family_list) {
            auto f = family();
            rows.insert(rows.end(), f.begin(), f.end());
        }
        return rows;
    }();
    return table;
}

const command_row* find_command(std::span<const command_row> table, uint8_t cla_family, uint8_t ins,
                                uint8_t p1, uint8_t p2, uint16_t& status) {
    bool known_class = false;
    for (uint8_t c : known_classes)
        known_class = known_class || c == cla_family;
    if (!known_class) {
        status = sw::cla_not_supported;
        return nullptr;
    }
    bool ins_seen = false;
    for (const command_row& row : table) {
        if (row.cla != cla_family || row.ins != ins) continue;
        ins_seen = true;
        if ((row.p1 == any_p || row.p1 == p1) && (row.p2 == any_p || row.p2 == p2)) return &row;
    }
    status = ins_seen ? sw::wrong_p1p2 : sw::ins_not_supported;
    return nullptr;
}

} // namespace cardsim
