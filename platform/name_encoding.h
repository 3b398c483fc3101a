// How the stand-ins for named kernel objects (named_mutex.h, window_message.h)
// map an object's name to a file of the per-user runtime directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// `prefix` followed by the name with every byte outside [A-Za-z0-9._-] written
// as %XX, so that a name never leaves its directory.
std::string escaped_file_name(std::string_view prefix, std::string_view name);

// FNV-1a (64 bits) of a name: what stands for a name too long for its file.
uint64_t name_hash(std::string_view name);

// The per-user runtime directory: $XDG_RUNTIME_DIR/tessvik, else
// /tmp/tessvik-<uid>.
std::string user_directory();

} // namespace plat
