// Token storage records kept for minidriver-based providers, and the notice to
// the tray program.
//
// "cmapfile" is the container map of the smart-card minidriver layout: 8
// CONTAINER_MAP_RECORDs of 86 bytes, rebuilt from the application's key
// containers. "cardcf" is the minidriver cache file: its freshness counters
// tell a provider that caches container data that the map changed, so every
// rebuild bumps them. Both are little-endian and written byte by byte.
//
// The "RegCert" notice tells the tray program (window class
// "Tavrel_v1.0_TrayIcon") that a certificate was stored, so it registers the
// token's certificates again: a WM_COPYDATA of dwData 0 and a 256-unit UTF-16
// buffer (cbData 512), through the platform's stand-in (window_message.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "gm_api.h"
#include "pkcs11.h"
#include "window_message.h"

inline constexpr const char* cmapfile_name = "cmapfile";
inline constexpr const char* cardcf_name = "cardcf";

inline constexpr size_t cmap_guid_units = 40;
inline constexpr size_t cmap_record_size = 86;
inline constexpr size_t cmap_record_count = 8;
inline constexpr size_t cmapfile_size = cmap_record_size * cmap_record_count; // 688
inline constexpr size_t cardcf_size = 88;

// bFlags of a map record.
inline constexpr uint8_t cmap_valid_container = 1;
inline constexpr uint8_t cmap_default_container = 3; // valid and default

// File rights of the two files (GM/T 0016 access rights).
inline constexpr uint32_t cmapfile_read_rights = SECURE_ANYONE_ACCOUNT;
inline constexpr uint32_t cmapfile_write_rights = SECURE_ANYONE_ACCOUNT;
inline constexpr uint32_t cardcf_read_rights = SECURE_ANYONE_ACCOUNT;
inline constexpr uint32_t cardcf_write_rights = SECURE_USER_ACCOUNT;

// The stored layouts, for reference; both are serialised field by field.
struct cmap_record_layout {
    char16_t wszGuid[cmap_guid_units]; // container name, NUL-terminated; all zero when too long
    uint8_t bFlags;
    uint8_t bReserved;
    uint16_t wSigKeySizeBits;
    uint16_t wKeyExchangeKeySizeBits;
};
static_assert(sizeof(cmap_record_layout) == cmap_record_size);
static_assert(offsetof(cmap_record_layout, bFlags) == 80);
static_assert(offsetof(cmap_record_layout, wSigKeySizeBits) == 82);
static_assert(offsetof(cmap_record_layout, wKeyExchangeKeySizeBits) == 84);

struct cardcf_layout {
    uint8_t bVersion; // written as 1
    uint8_t bPinsFreshness;
    uint16_t wContainersFreshness;
    uint16_t wFilesFreshness;
    uint8_t rest[82]; // kept as read
};
static_assert(sizeof(cardcf_layout) == cardcf_size);
static_assert(offsetof(cardcf_layout, wContainersFreshness) == 2);
static_assert(offsetof(cardcf_layout, wFilesFreshness) == 4);

// What the map needs of one container (gm_get_container_info).
struct cmap_container {
    std::string name;
    uint8_t type = gm_container_empty; // 0 empty, 1 RSA, 2 SM2
    uint32_t sign_key_bits = 0;
    uint32_t exch_key_bits = 0;
};

// The 688 bytes of "cmapfile" for these containers, in their order: empty
// containers get no record, at most 8 records; the container named
// default_name (when not empty) is the default, else the first record is.
std::array<uint8_t, cmapfile_size> build_cmapfile(std::span<const cmap_container> containers,
                                                  std::string_view default_name);

// "cardcf" after one more rebuild: version 1 and the three freshness counters
// incremented (wrapping at their widths), the rest kept. Null current: the
// file is new, so version 1 and everything else zero.
std::array<uint8_t, cardcf_size> next_cardcf(const std::array<uint8_t, cardcf_size>* current);

// Rebuilds "cmapfile" from the application's containers (created on first
// use), then bumps "cardcf". default_name may be null or empty. Returns CKR_OK
// or the device-API error that ended it; a failure while reading the
// containers leaves both files as they were. Called under the library lock.
CK_RV token_update_cmapfile(HAPPLICATION application, const char* default_name);

// Creates "cardcf" (counters 0) or bumps its counters. Needs the user logged
// in (write rights 0x10). Returns CKR_OK or a device-API error.
CK_RV token_update_cardcf(HAPPLICATION application);

// The tray program's window class, and how long a notice may wait for the
// tray program's answer (it answers at once; the bound keeps a hung receiver
// from holding the caller, who may hold the library lock).
inline constexpr const char* tray_window_class = "Tavrel_v1.0_TrayIcon";
inline constexpr uint32_t tray_notice_timeout_ms = 1000;
inline constexpr size_t tray_command_units = 256;

// Sends `text` (ASCII, at most 255 characters) to the tray program as a
// WM_COPYDATA of dwData 0 and a 256-unit UTF-16 buffer; no_window, at once,
// when the tray program is not running.
plat::send_result copydata_command(std::string_view text,
                                   uint32_t timeout_ms = tray_notice_timeout_ms);

// The notice after a certificate was stored: "RegCert". Never fails visibly.
void notify_tray_regcert();
