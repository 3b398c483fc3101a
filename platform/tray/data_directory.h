// Stands in for the per-user folders of Windows: the roaming application-data
// folder that the environment variable APPDATA names, the directory of the
// running program (GetModuleFileName), and the per-user runtime directory
// that holds the lock files of session-local objects.
//
// Paths use '/' and carry no trailing separator.
#pragma once

#include <string>

namespace plat {

// $APPDATA when set and not empty, else $XDG_CONFIG_HOME, else $HOME/.config.
// Empty when none of them can be determined.
std::string app_data_directory();

// The directory of the running executable (from /proc/self/exe).
std::string program_directory();

// $XDG_RUNTIME_DIR/tessvik, else /tmp/tessvik-<uid>, created with mode 0700
// and checked to be ours; empty when that fails. The window-message layer
// and the session-local named mutexes use the same directory.
std::string user_runtime_directory();

} // namespace plat
