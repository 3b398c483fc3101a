// Lookups of the card's stored objects (applications, files, containers) by
// the ids and names the host sends, shared by every command family, and the
// status words of the application, file and container commands.
//
// Application and container ids are the 16-bit values OpenApplication,
// CreateContainer and OpenContainer answer. They stay valid across
// power-off: a command that names an id is checked against what is stored,
// not against what was opened since the last reset.
//
// The reserved name F0 F1 .. F7 (card_state.h, with its ids reserved_app_id
// and reserved_container_id) names one application and, in
// every application, one container that are never stored: OpenApplication and
// OpenContainer always find them without creation or login; they hold no
// files, key pairs or certificates, only session keys (volatile), and no
// enumeration lists them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "dispatch.h"

namespace cardsim {

namespace sw {
inline constexpr uint16_t container_not_found =
    0x6A82; // ISO 7816-4 "file or application not found"
inline constexpr uint16_t application_not_found = 0x6A88;
inline constexpr uint16_t application_exists = 0x6A89;
inline constexpr uint16_t container_exists = 0x6A8A; // ISO 7816-4 "DF name already exists"
inline constexpr uint16_t file_exists = 0x6A92;
inline constexpr uint16_t file_not_found = 0x6A93;
inline constexpr uint16_t no_certificate = 0x6A96;
inline constexpr uint16_t offset_out_of_range = 0x6B00; // ISO 7816-4 "wrong parameters P1-P2"
} // namespace sw

// A name as the host sends it (no terminator); trailing NUL bytes, which
// some hosts send, are not part of the name.
std::string name_of(std::span<const uint8_t> bytes);
bool is_reserved_name(const std::string& name);

// A stored application, or nullptr (also for the reserved application).
application* find_application(card_model& card, uint16_t app_id);
application* find_application(card_model& card, const std::string& name);
// A stored application or the reserved one.
bool application_exists(const card_model& card, uint16_t app_id);

// A stored container of the application, or nullptr (also for the reserved
// container, which has no key pairs or certificates).
container* find_container(card_model& card, uint16_t app_id, uint16_t container_id);
container* find_container(application& app, const std::string& name);
// A stored container, or the reserved container of any application
// (session keys may live in both).
bool container_exists(const card_model& card, uint16_t app_id, uint16_t container_id);

// Login state of an application since the last reset (the PIN commands set
// and clear it in card_model::vol.logins).
bool user_logged_in(const card_model& card, uint16_t app_id);
bool so_logged_in(const card_model& card, uint16_t app_id);
// Whether the current login state satisfies an access right (right_none,
// right_so, right_user, right_any_login, right_everyone; any other value
// is granted to nobody).
bool right_granted(const card_model& card, uint16_t app_id, uint32_t right);

// The name-list reply of the enumerations: each name followed by a NUL,
// then one more NUL (an empty list is the single byte 00).
void append_name_list(std::vector<uint8_t>& reply, std::span<const std::string> names);

} // namespace cardsim
