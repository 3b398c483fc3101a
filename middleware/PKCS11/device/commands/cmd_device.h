// Card commands that address the device as a whole (label, device
// information, random numbers, device authentication) and the PIN commands
// of an application (PIN information, verify, change, unblock, reload, clear
// the security state).
//
// Every command has a builder, which only makes the apdu_command (so tests
// can check its exact bytes without a card), and a cmd_ wrapper, which sends
// it through the transport and returns a cmd_result of transport.h: the code
// cmd_ok, cmd_transport_failed, cmd_bad_status, cmd_bad_length (reply too
// short for what the caller reads, or longer than its buffer), and the
// status word of the card's reply. cmd_bad_length is also the answer, before
// anything is sent, to an input that does not fit its command (a label, PIN
// or data too long for its field, a PIN type other than 0 or 1, a random
// length of 0); the status word is then sw_none. cmd_mac_failed (below) is
// the one other code.
//
// All 2-byte numbers in data and replies are big-endian. "app" is the 16-bit
// application id OpenApplication returned; PIN type 0 is the security
// officer's PIN, 1 the user's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "apdu_command.h"
#include "cmd_descriptor.h"
#include "device_id.h"
#include "transport.h"

// The secure-messaging MAC of a PIN command could not be computed: nothing
// was sent, and the MAC function's own code is handed to the caller.
inline constexpr int cmd_mac_failed = 5;

inline constexpr uint8_t pin_type_so = 0;
inline constexpr uint8_t pin_type_user = 1;

inline constexpr size_t dev_info_reply_size = 288;
// Bytes 0-229 of the device record carry values (229: the end of the second
// capability word); a shorter reply is refused.
inline constexpr size_t dev_info_min_reply = 230;
inline constexpr size_t short_dev_info_reply_size = 68;
inline constexpr size_t short_dev_info_min_reply = 64; // bytes 32-63 name the device
inline constexpr size_t dev_label_max = 32;
inline constexpr size_t pin_info_reply_size = 3;
inline constexpr size_t sm_challenge_size = 8;
inline constexpr size_t sm_iv_size = 16;
inline constexpr size_t sm_mac_size = 4; // MAC bytes a PIN command carries
// A MAC function may return a longer MAC (a whole cipher block and more).
inline constexpr size_t sm_mac_buffer_size = 64;
inline constexpr uint32_t gen_random_max = 0x10000; // the largest extended Le
// UnblockPin_MS carries at most this many bytes of the new PIN.
inline constexpr size_t unblock_ms_pin_max = 16;

// The commands of this family.
enum class device_cmd : uint8_t {
    set_label,
    get_dev_info,
    get_short_dev_info,
    gen_random,
    dev_auth,
    get_pin_info,
    verify_pin,
    change_pin,
    unblock_pin,
    unblock_pin_ms,
    remote_unblock_pin,
    reload_pin,
    clear_secure_state,
};

// The family's rows, in the order of device_cmd (Le -1: the builder gives it).
const cmd_descriptor& device_cmd_descriptor(device_cmd id);
std::span<const cmd_descriptor> device_cmd_table();

// --- Secure-messaging MAC ---------------------------------------------------
//
// The MAC of ChangePin, UnblockPin and ReloadPin comes from the device API
// (gm_secure_messaging_mac, which has the card compute it in its reserved
// application and container), so the builders take it as a callback, called
// while the PIN command is being built: its card commands reach the card
// before the PIN command itself.
//
//   api_device   the device API's handle value, passed back unchanged
//   key, iv      16 bytes each
//   data, length the new PIN text in plain
//   mac          mac_length bytes of room; *mac_length is the capacity in
//                and the number of MAC bytes written out
//
// Result: 0, or the device API's error code. A result other than 0, or
// fewer than 4 MAC bytes, aborts the PIN command before anything is sent;
// the wrapper returns cmd_mac_failed and hands that code to the caller.
using sm_mac_function = uint32_t (*)(uint32_t api_device, const uint8_t* key, const uint8_t* iv,
                                     const uint8_t* data, uint32_t length, uint8_t* mac,
                                     uint32_t* mac_length);

struct sm_mac_callback {
    sm_mac_function compute = nullptr;
    uint32_t api_device = 0;
};

// Error handed back when the MAC function reports success but writes fewer
// than 4 bytes (the device API's SAR_FAIL).
inline constexpr uint32_t sm_mac_error_short = 0x0A000001;

// --- Builders ----------------------------------------------------------------

// What a builder made: the command, or the reason it made none.
struct cmd_built {
    apdu_holder command;    // null when refused
    int result = cmd_ok;    // cmd_ok, cmd_bad_length or cmd_mac_failed
    uint32_t mac_error = 0; // the MAC function's code when result is cmd_mac_failed
};

// A label of at most 32 bytes. The empty label is sent as the one byte 00
// (an extended case-3 command cannot carry 0 data bytes, and the card keeps
// its label zero-filled, so a NUL label reads back empty).
cmd_built build_set_label(std::string_view label);
cmd_built build_get_dev_info();
cmd_built build_get_short_dev_info();
// 1 to 65536 random bytes.
cmd_built build_gen_random(uint32_t length);
// 1 to chunk_size_max bytes of authentication data.
cmd_built build_dev_auth(uint8_t key_id, std::span<const uint8_t> data);
cmd_built build_get_pin_info(uint8_t pin_type, uint16_t app);
// The challenge wrapped under the PIN's key: app || 16-byte block. PINs of
// 0 to 16 bytes.
cmd_built build_verify_pin(std::span<const uint8_t, sm_challenge_size> challenge, uint8_t pin_type,
                           uint16_t app, std::string_view pin);
// app || block of new_pin under the key of current_pin || 4-byte MAC.
cmd_built build_change_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> iv,
                           uint8_t pin_type, uint16_t app, std::string_view current_pin,
                           std::string_view new_pin);
// app || block of new_user_pin under the key of so_pin || 4-byte MAC.
cmd_built build_unblock_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> iv,
                            uint16_t app, std::string_view so_pin, std::string_view new_user_pin);
// app || response as given || the first 16 bytes of new_pin, without
// terminator.
cmd_built build_unblock_pin_ms(uint16_t app, std::span<const uint8_t> response,
                               std::string_view new_pin);
// app || unblock data as given.
cmd_built build_remote_unblock_pin(uint16_t app, std::span<const uint8_t> data);
// app || block of new_pin under key || 4-byte MAC (key and IV: the same 16
// bytes).
cmd_built build_reload_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> key,
                           uint16_t app, std::string_view new_pin);
cmd_built build_clear_secure_state(uint16_t app);

// --- Wrappers ----------------------------------------------------------------
//
// A mac_error pointer receives the MAC function's code when a PIN wrapper
// returns cmd_mac_failed (may be null).

cmd_result cmd_set_label(device_id device, std::string_view label);
// The device record (288 bytes) into buffer; *size is the capacity in and
// the reply length out. Shorter than 230 bytes or longer than the capacity:
// cmd_bad_length.
cmd_result cmd_get_dev_info(device_id device, uint8_t* buffer, uint32_t* size);
// The 68-byte short record; shorter than 64 bytes or longer than the
// capacity: cmd_bad_length.
cmd_result cmd_get_short_dev_info(device_id device, uint8_t* buffer, uint32_t* size);
// Exactly length random bytes. The reply is checked before the status word:
// longer than length gives cmd_bad_length and copies nothing; then a status
// word other than 0x9000 gives cmd_bad_status; then a reply shorter than
// length gives cmd_bad_length (the caller would use bytes the card never
// sent).
cmd_result cmd_gen_random(device_id device, uint8_t* buffer, uint32_t length);
cmd_result cmd_dev_auth(device_id device, uint8_t key_id, std::span<const uint8_t> data);
// Maximum and remaining retry counts and the default-PIN flag (any output
// may be null). A reply shorter than 3 bytes: cmd_bad_length.
cmd_result cmd_get_pin_info(device_id device, uint8_t pin_type, uint16_t app, uint8_t* max_retries,
                            uint8_t* remaining_retries, uint8_t* default_pin);
cmd_result cmd_verify_pin(device_id device, std::span<const uint8_t, sm_challenge_size> challenge,
                          uint8_t pin_type, uint16_t app, std::string_view pin);
cmd_result cmd_change_pin(const sm_mac_callback& mac, device_id device,
                          std::span<const uint8_t, sm_iv_size> iv, uint8_t pin_type, uint16_t app,
                          std::string_view current_pin, std::string_view new_pin,
                          uint32_t* mac_error = nullptr);
cmd_result cmd_unblock_pin(const sm_mac_callback& mac, device_id device,
                           std::span<const uint8_t, sm_iv_size> iv, uint16_t app,
                           std::string_view so_pin, std::string_view new_user_pin,
                           uint32_t* mac_error = nullptr);
// Data longer than the device's chunk: cmd_bad_length, nothing sent. The
// card's reply body, if any, goes to reply (*reply_size: capacity in, length
// out); a null reply_size ignores it.
cmd_result cmd_unblock_pin_ms(device_id device, uint16_t app, std::span<const uint8_t> response,
                              std::string_view new_pin, uint8_t* reply = nullptr,
                              uint32_t* reply_size = nullptr);
cmd_result cmd_remote_unblock_pin(device_id device, uint16_t app, std::span<const uint8_t> data);
cmd_result cmd_reload_pin(const sm_mac_callback& mac, device_id device,
                          std::span<const uint8_t, sm_iv_size> key, uint16_t app,
                          std::string_view new_pin, uint32_t* mac_error = nullptr);
cmd_result cmd_clear_secure_state(device_id device, uint16_t app);
