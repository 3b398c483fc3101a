// The card's command table and what a command handler sees.
//
// A command family (device, PIN, applications, files, ...) lives in its own
// source file `cardsim_<family>.cpp` and contributes rows to the table through
// one function `<family>_commands()`, listed in dispatch.cpp. A handler reads
// `ctx.data`, appends its reply data to `ctx.reply` and returns a status word;
// the card core (card.cpp) forms the reply, checks it against Le, hands long
// replies out in 6A9E pieces and keeps command chains.
//
// This table is the card's own: it does not share a line with the host's
// command builders, so that a mistake in one is caught by the other.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "apdu.h"
#include "card.h"
#include "card_state.h"

namespace cardsim {

// Everything a handler may touch.
struct card_model {
    card_options options;
    persistent_state persistent;
    volatile_state vol;
    size_t session_key_capacity = max_session_keys;
};

// The card's challenge, taken: a command uses it once, whatever its outcome.
inline std::optional<std::array<uint8_t, challenge_size>> take_challenge(card_model& card) {
    auto c = card.vol.challenge;
    card.vol.challenge.reset();
    return c;
}

struct command_context {
    command_context(const command_apdu& a, std::span<const uint8_t> d,
                    std::span<const size_t> parts, card_model& m)
        : apdu(a), data(d), chain_parts(parts), card(m) {}

    const command_apdu& apdu;
    // The command data; for a chained command, all parts joined.
    std::span<const uint8_t> data;
    // Sizes of the parts of a chained command, in order (empty otherwise).
    std::span<const size_t> chain_parts;
    card_model& card;

    std::vector<uint8_t> reply;

    // The handler changed persistent state: the core saves the image.
    void persistent_changed() { changed_ = true; }
    // The reply may exceed one piece: the core hands it out in pieces
    // answered 6A9E ("send the same command again") until the last, 9000.
    void reply_in_pieces() { pieces_ = true; }

    bool changed() const { return changed_; }
    bool pieces() const { return pieces_; }

  private:
    bool changed_ = false;
    bool pieces_ = false;
};

using handler_fn = uint16_t (*)(command_context&);

inline constexpr int any_p = -1;

struct command_row {
    uint8_t cla; // CLA family: 0x80, 0x84, 0xC0 or 0xC4 (chaining bit clear)
    uint8_t ins;
    int p1;           // any_p: any value
    int p2;           // any_p: any value
    const char* name; // the command's name as the host spells it
    handler_fn handler;
    bool chaining; // accepts command chaining (CLA bit 0x10)
};

// The families (one per source file).
std::span<const command_row> device_commands();
std::span<const command_row> application_commands();
std::span<const command_row> file_commands();
std::span<const command_row> container_commands();
std::span<const command_row> management_commands();
std::span<const command_row> pin_commands();
std::span<const command_row> asym_commands();
std::span<const command_row> sym_commands();
std::span<const command_row> fingerprint_commands();

// The whole table, in family order.
const std::vector<command_row>& command_table();

// The row for a command, or nullptr with the status word to answer:
// 6E00 unknown CLA, 6D00 unknown INS in that class, 6A86 unknown P1/P2.
const command_row* find_command(std::span<const command_row> table, uint8_t cla_family, uint8_t ins,
                                uint8_t p1, uint8_t p2, uint16_t& status);

// Test hook: runs a card on another command table (to test the core's
// chaining, Le and piece rules with rows made for the test).
struct card_test_access {
    static void set_table(card& c, std::vector<command_row> table);
};

// Persistent state of a new card: factory-fresh (no application) or freshly
// formatted with the built-in template.
persistent_state initial_state(const card_options& options);

// Free space: total space minus what files, certificates and keys take.
uint32_t free_space(const persistent_state& s);

} // namespace cardsim
