// Command APDU parsing (ISO 7816-4, 5.1: cases 1, 2S/2E, 3S/3E, 4S/4E).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace cardsim {

// Status words the card core itself produces.
namespace sw {
inline constexpr uint16_t ok = 0x9000;
inline constexpr uint16_t more_data = 0x6A9E; // "send the same command again"
inline constexpr uint16_t wrong_length = 0x6700;
inline constexpr uint16_t security_not_satisfied = 0x6982;
inline constexpr uint16_t conditions_not_satisfied = 0x6985;
// ISO 7816-4: incorrect secure-messaging data objects (a MAC that does not match).
inline constexpr uint16_t incorrect_sm_data = 0x6988;
inline constexpr uint16_t last_command_expected = 0x6883;
inline constexpr uint16_t chaining_not_supported = 0x6884;
inline constexpr uint16_t wrong_data = 0x6A80;
inline constexpr uint16_t no_room = 0x6A84;
inline constexpr uint16_t wrong_p1p2 = 0x6A86;
inline constexpr uint16_t not_found = 0x6A88;
inline constexpr uint16_t ins_not_supported = 0x6D00;
inline constexpr uint16_t cla_not_supported = 0x6E00;
inline constexpr uint16_t unknown_error = 0x6F00;
} // namespace sw

enum class apdu_case : uint8_t { case1, case2s, case3s, case4s, case2e, case3e, case4e };

struct command_apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    apdu_case form = apdu_case::case1;
    std::span<const uint8_t> data; // Lc bytes (empty when no Lc field)
    // Ne: the most reply bytes the host accepts; 0 when there is no Le field.
    // Le 00 means 256 (short) or 65536 (extended).
    uint32_t ne = 0;

    bool has_le() const { return ne != 0; }
    bool extended() const {
        return form == apdu_case::case2e || form == apdu_case::case3e || form == apdu_case::case4e;
    }
    bool chained() const { return (cla & 0x10) != 0; }
    uint8_t cla_family() const { return static_cast<uint8_t>(cla & 0xEF); }
};

// Parses a command APDU. nullopt when the bytes are not a well-formed APDU
// (the card answers 6700). The result refers into `bytes`.
std::optional<command_apdu> parse_apdu(std::span<const uint8_t> bytes);

} // namespace cardsim
