// The image file: the card's persistent state on disk.
//
// Layout (all integers big-endian):
//   magic "QVTCARD\n" (8) | format version u32 (= 1) | payload length u32 |
//   payload | SHA-256 of the payload (32)
// The payload is a sequence of fields in a fixed order (see image.cpp);
// texts and byte strings carry a u32 length, checked against the field's
// bound when read. The file is written to a temporary name and renamed, so a
// crash leaves either the old or the new image.
#pragma once

#include <optional>
#include <string>

#include "card_state.h"

namespace cardsim {

inline constexpr uint32_t image_version = 1;

// nullopt with `error` set when the file is missing, unreadable, damaged or
// of another version.
std::optional<persistent_state> load_image(const std::string& path, std::string& error);
bool save_image(const persistent_state& state, const std::string& path, std::string& error);

} // namespace cardsim
