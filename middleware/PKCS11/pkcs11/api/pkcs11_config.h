// The library's three run-time settings, with built-in defaults, replaced only
// through M_SetEnumString. Bounded copies, as the fixed fields they stand for.
#pragma once

#include <string>

#include "pkcs11.h"

inline constexpr size_t pkcs11_enum_string_size = 1024; // terminator included
inline constexpr size_t pkcs11_enum_id_size = 64;
inline constexpr size_t pkcs11_app_name_size = 64;

// Enumeration string handed to the device API (reader filter form).
std::string pkcs11_enum_string();
// Identifier handed to the device API with it; also the suffix of the default lock's name.
std::string pkcs11_enum_id();
// Name of the token application that tokens open or create.
std::string pkcs11_app_name();

// True when text may become part of a lock file name: no path separators
// ('/', '\\') and no control characters.
bool pkcs11_enum_id_acceptable(const char* text);

// Stores the non-null values (an empty application name is ignored), each cut
// to its field. The caller checks the identifier first.
void pkcs11_store_config(const char* enum_string, const char* identifier, const char* app_name);
