// The simulated token's state: what survives power-off (persistent_state,
// also kept in the image file) and what a reset clears (volatile_state).
//
// Every collection has a fixed upper bound (the `max_*` constants); handlers
// refuse to grow past it with 6A84 (no room), so a misbehaving host cannot
// make the simulator grow without limit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ossl.h"

namespace cardsim {

inline constexpr size_t max_applications = 8;
inline constexpr size_t max_app_name = 32;
inline constexpr size_t max_files_per_app = 32;
inline constexpr size_t max_file_name = 32;
inline constexpr size_t max_file_size = 0xFFFF;
inline constexpr size_t max_containers_per_app = 16;
inline constexpr size_t max_container_name = 64;
inline constexpr size_t max_certificate_size = 8192;
inline constexpr size_t max_private_key_der = 4096;
inline constexpr size_t max_pin_length = 16;
inline constexpr size_t oem_area_size = 256;
inline constexpr size_t max_hw_serial = 128;
inline constexpr size_t max_session_keys = 8;
inline constexpr size_t max_chain_data = 0x10000;
inline constexpr size_t dev_info_reply_size = 288;
inline constexpr size_t short_dev_info_reply_size = 68;
inline constexpr size_t challenge_size = 8;

// The reserved 8-byte name F0 F1 .. F7 of the hidden application and of the
// hidden container present in every application (secure-messaging MACs and
// the host's session keys live there).
inline constexpr std::array<uint8_t, 8> reserved_name = {0xF0, 0xF1, 0xF2, 0xF3,
                                                         0xF4, 0xF5, 0xF6, 0xF7};
// Ids the card answers for the reserved application and the reserved
// container (OpenApplication / OpenContainer of the name F0..F7); no real
// application or container is ever given these ids.
inline constexpr uint16_t reserved_app_id = 0xF0F7;
inline constexpr uint16_t reserved_container_id = 0xF0F7;

// Access-right values of files and of the create-file right.
inline constexpr uint32_t right_none = 0x00;
inline constexpr uint32_t right_so = 0x01;
inline constexpr uint32_t right_user = 0x10;
inline constexpr uint32_t right_any_login = 0x11;
inline constexpr uint32_t right_everyone = 0xFF;

struct pin_state {
    std::string text; // at most max_pin_length bytes
    uint8_t max_retries = 10;
    uint8_t remaining = 10;
    bool is_default = true;
    uint8_t min_length = 4;
    uint8_t max_length = 16;
};

struct file_entry {
    std::string name;
    uint32_t size = 0;
    uint32_t read_rights = right_everyone; // kept as the host sent them
    uint32_t write_rights = right_everyone;
    std::vector<uint8_t> content; // always `size` bytes
};

enum class key_kind : uint8_t { none = 0, rsa = 1, sm2 = 2 };

struct key_pair {
    key_kind kind = key_kind::none;
    uint32_t bits = 0;
    std::vector<uint8_t> private_der; // PKCS#8 DER as written by OpenSSL
};

struct container {
    uint16_t id = 0;
    std::string name;
    key_pair signature;
    key_pair exchange;
    std::vector<uint8_t> signature_cert; // DER
    std::vector<uint8_t> exchange_cert;  // DER
};

struct fingerprint_record {
    bool enrolled = false;
    uint8_t max_tries = 0;
    uint8_t remaining = 0;
};

struct application {
    uint16_t id = 0;
    std::string name;
    pin_state so;
    pin_state user;
    uint32_t create_file_rights = right_everyone;
    std::vector<file_entry> files;
    std::vector<container> containers;
    uint16_t next_container_id = 1;
    fingerprint_record fingerprint;
};

struct device_info {
    uint16_t version = 0x0100;
    std::string manufacturer; // at most 64
    std::string issuer;       // at most 64
    std::string label;        // at most 32
    std::string serial;       // at most 32
    uint8_t hw_major = 2, hw_minor = 0;
    uint8_t fw_major = 2, fw_minor = 0;
    // Capability values, kept and sent exactly as the host gave them at
    // format time (the host reads them back as stored).
    uint32_t sym_cap = 0;
    uint32_t asym_cap = 0;
    uint32_t hash_cap = 0;
    uint32_t dev_auth_alg = 0;
    uint32_t total_space = 0;
    uint16_t capability_word1 = 0;
    uint16_t capability_word2 = 0;
    uint32_t fs_max_capacity = 0;
    std::vector<uint8_t> hw_serial; // at most max_hw_serial
};

struct dev_auth_key {
    std::array<uint8_t, 16> key{};
    uint8_t max_tries = 8;
    uint8_t remaining = 8;
};

struct persistent_state {
    device_info device;
    std::array<uint8_t, oem_area_size> oem{};
    dev_auth_key dev_auth;
    std::vector<application> applications;
    uint16_t next_application_id = 1;
};

// Per-application login flags.
struct login_state {
    uint16_t app_id = 0;
    bool user = false;
    bool so = false;
};

struct session_key {
    uint16_t id = 0;
    uint16_t app_id = 0;
    uint16_t container_id = 0;
    uint32_t algorithm = 0;
    std::vector<uint8_t> key;
    // Cipher or MAC context bound to this key (one at a time).
    cipher_ctx_ptr cipher;
    std::vector<uint8_t> pending; // bytes held back between updates
    std::vector<uint8_t> iv;
    uint32_t padding = 0;
    bool encrypting = false;
    bool mac_active = false;
};

// The scripted fingerprint sensor: what the next verification does.
struct fingerprint_sensor {
    uint8_t busy_starts = 0;   // starts answered 6F0D (sensor busy) first
    uint8_t pending_polls = 1; // polls answered 6F0D (no finger yet) first
    bool match = true;         // the finger then matches, or not
    uint8_t finger = 1;        // index reported for a match
};

// A fingerprint verification in progress.
struct fingerprint_verification {
    uint16_t app_id = 0;
    uint8_t pin_type = 1;
    uint8_t pending_left = 0;
};

struct volatile_state {
    bool dev_authenticated = false;
    std::optional<std::array<uint8_t, challenge_size>> challenge;
    std::vector<login_state> logins;
    std::vector<uint16_t> open_applications;
    std::vector<session_key> session_keys;
    md_ctx_ptr digest;
    uint16_t fs_cursor = 0;
    fingerprint_sensor sensor;
    std::optional<fingerprint_verification> fingerprint;
};

} // namespace cardsim
