// The one description of a card command that every command family's table
// uses, and the one routine that turns a description and its data into an
// apdu_command.
#pragma once

#include <cstdint>
#include <span>

#include "apdu_command.h"

// One row of a command table. P1 and P2 are the fixed values; a builder
// passes its own where the command carries a parameter there.
struct cmd_descriptor {
    const char* name; // stored in the apdu_command
    uint8_t cla, ins, p1, p2;
    int32_t form;       // ISO 7816-4 case of the command with its data (apdu_case_*)
    int32_t le;         // Le of the forms that carry one (0: up to 65536)
    int32_t timeout_ms; // exchange time-out, 0: the device's default
};

// The command of d with P1 p1, P2 p2, data and Le (le < 0: d.le).
//
// Form rule: a form with an Lc field that has no data to carry is sent
// without the Lc field (case 3 as case 1, case 4 as case 2 in the same
// length encoding), since ISO 7816-4 has no Lc of 0. Le is set only in the
// forms that have an Le field.
//
// Null when the data does not fit an extended Lc, when Le exceeds 65536, or
// when a form without an Lc field is given data.
apdu_holder cmd_build(const cmd_descriptor& d, uint8_t p1, uint8_t p2,
                      std::span<const uint8_t> data, int32_t le = -1);
// The same with the row's P1 and P2.
apdu_holder cmd_build(const cmd_descriptor& d, std::span<const uint8_t> data, int32_t le = -1);
