// Stands in for the current user's registry (HKEY_CURRENT_USER) with the
// two value types the tray program writes: REG_SZ and REG_DWORD.
//
// The hive is one text file, $TAVREL_REGISTRY_DIR/HKCU.reg when that
// variable is set, else <app data>/Tavrel/registry/HKCU.reg:
//
//   [Software\Tavrel1.0]
//   velkora_v1.0_csp=sz:tavrel_v1.0_csp.en.dll
//   CrossProcess=dword:1
//
// Key paths and value names compare without regard to case, as in the
// registry. Every change is read-modify-write under an flock of the hive's
// lock file and replaces the file atomically, so two writers never lose each
// other's values and a reader never sees half a file. String values keep
// backslashes and line breaks through escapes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

enum class registry_status { ok, not_found, wrong_type, failed };

// The hive file; empty when no directory can be determined.
std::string registry_file_path();

// RegCreateKeyEx + RegSetValueEx. False when the key path or name is not
// storable (empty, or with a line break, '=', '[' or ']'), or the file cannot
// be written.
bool registry_set_string(std::string_view key, std::string_view name, std::string_view value);
bool registry_set_dword(std::string_view key, std::string_view name, uint32_t value);

// RegQueryValueEx.
registry_status registry_get_string(std::string_view key, std::string_view name, std::string& out);
registry_status registry_get_dword(std::string_view key, std::string_view name, uint32_t& out);

} // namespace plat
