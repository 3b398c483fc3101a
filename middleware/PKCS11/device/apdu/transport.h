// The transport facade: the one road from the card commands and the device
// API down to the devices.
//
// - apdu_transmit serialises an apdu_command, exchanges it with a device and
//   parses the reply into the same object.
// - cmd_exchange / cmd_send / cmd_send_chained / cmd_read_continued implement
//   the result convention every card-command wrapper follows (cmd_result:
//   the code and the status word of the call's own reply), so that wrappers
//   do not repeat the status and length checks or the chaining loop.
// - the dev_ functions enumerate, connect and address devices by device_id.
//
// Every exchange also writes its status word to the process-wide record
// (cmd_last_status_word), which the device API reports to its callers as
// "the last status word". Nobody decides anything on the record: a caller
// takes the status word from the result of the call it made, which stays
// right whatever other threads or devices exchange meanwhile.
//
// Nothing here locks: the device API holds its process-wide mutex around its
// calls. The record is atomic, so exchanges made outside that mutex (two
// devices on two threads) only race for which word it reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "apdu_command.h"
#include "device_id.h"

// Status words other than a card's SW1 SW2 (the transport's own codes).
inline constexpr uint32_t sw_success = 0x9000;
inline constexpr uint32_t transport_invalid_apdu = 0x8001; // command could not be serialised
inline constexpr uint32_t transport_not_listed = 0x8002;   // device not in the device list
inline constexpr uint32_t transport_exchange_failed =
    0x8003; // exchange failed / device removed / raw send failed
inline constexpr uint32_t transport_no_status_word =
    0x8004; // reply shorter than 2 bytes / raw read failed
inline constexpr uint32_t transport_unparsable =
    0x8005; // reply unparsable / raw read length differs

// Results of apdu_transmit.
inline constexpr int transmit_ok = 0;         // a reply was parsed, whatever its status word
inline constexpr int transmit_no_length = 1;  // serialised length unavailable (0x8001)
inline constexpr int transmit_invalid = 2;    // serialisation failed (0x8001)
inline constexpr int transmit_removed = 3;    // device gone (0x8003)
inline constexpr int transmit_unparsable = 6; // reply could not be parsed (0x8005)
inline constexpr int transmit_failed = 7;     // exchange failed; status holds the transport code

// Card-command wrapper results.
inline constexpr int cmd_ok = 0;
inline constexpr int cmd_transport_failed = 1; // apdu_transmit did not return 0
inline constexpr int cmd_bad_status = 2;       // status word not accepted
inline constexpr int cmd_bad_length =
    3; // reply too short for the caller, or longer than its buffer

// Status word of a result for which nothing was exchanged (the input was
// refused before anything was sent). No card sends it: ISO 7816-4 SW1 is
// 6x or 9x.
inline constexpr uint32_t sw_none = 0;

// What a card-command wrapper returns: its result code and the status word of
// the last reply the call itself received (SW1*256+SW2, or the transport code
// of a failed exchange; sw_none when nothing was sent). A wrapper that sent
// several commands (a chain, a continued read, a repeat) carries the word of
// the last one.
struct cmd_result {
    int code = cmd_ok;
    uint32_t status_word = sw_none;

    constexpr bool ok() const { return code == cmd_ok; }
    // The same reply judged with another code (a reply that does not fit the
    // caller's layout or buffer keeps the word the card sent with it).
    constexpr cmd_result with(int other) const { return {other, status_word}; }
    // Results compare with the codes: `if (rc != cmd_ok)`.
    friend constexpr bool operator==(const cmd_result& r, int c) { return r.code == c; }
};
std::ostream& operator<<(std::ostream& os, const cmd_result& r);

// Bytes one exchange can carry in either direction (reply including SW1 SW2).
inline constexpr size_t transport_max_command = 2048;
inline constexpr size_t transport_max_reply = 2048;

// Data chunk size: the number of data bytes one command may carry.
inline constexpr uint32_t chunk_size_default = 1024;
inline constexpr uint32_t chunk_size_min = 16;
inline constexpr uint32_t chunk_size_max =
    1792; // leaves room for a 128-byte builder prefix and the 9-byte extended framing in 2048

// Serialises command, exchanges it with device (up to 3 attempts while the
// device is neither listed nor reported removed) and parses the reply into
// command. status receives SW1*256+SW2, or a transport code on failure.
int apdu_transmit(device_id device, apdu_command& command, uint32_t& status);

// The record of the last status word: the word (or transport code) of the
// last exchange or raw device operation of the process, 0x9000 before any.
// It is what the device API reports as "the last status word"; decisions
// take the word from their own cmd_result.
uint32_t cmd_last_status_word();

// One exchange through apdu_transmit, written to the record: cmd_ok when a
// reply was parsed, whatever its status word (the reply is in command), else
// cmd_transport_failed; the status word either way.
cmd_result cmd_exchange(device_id device, apdu_command& command);

// cmd_exchange, then cmd_bad_status when the status word is neither 0x9000
// nor also_accepted.
cmd_result cmd_send(device_id device, apdu_command& command, uint32_t also_accepted = sw_success);

// ISO 7816-4 command chaining: sends header with the chaining bit set, then
// data in segments of the device's chunk size, each a clone of header's
// command carrying the chaining bit except the last. Stops at the first
// failure (cmd_transport_failed or cmd_bad_status). Empty data is refused with
// cmd_bad_length before anything is sent: a chain that is opened and never
// closed would leave the card waiting for the rest.
cmd_result cmd_send_chained(device_id device, apdu_command& header, std::span<const uint8_t> data);

// Status word with which the card says "more follows: send the same command
// again" (enumerations and certificate export).
inline constexpr uint32_t sw_more_data = 0x6A9E;

// Continued reads (cmd_read_continued) send at most this many commands.
inline constexpr int cmd_max_continued_pieces = 128;

// Sends command again while the card answers 0x6A9E, appending each reply
// body to buffer (*size: capacity in, total out). The first skip_first
// bytes of the first reply are dropped (fewer: cmd_bad_length). Ends at
// 0x9000, or at a 0x6A9E piece without data. At most cmd_max_continued_pieces
// commands: beyond that cmd_bad_status (the card never stopped); more data
// than the capacity: cmd_bad_length (*size then holds the bytes that
// arrived, which is more than the capacity). Any other status word:
// cmd_bad_status.
cmd_result cmd_read_continued(device_id device, apdu_command& command, uint8_t* buffer,
                              uint32_t* size, size_t skip_first = 0);

// Copies the reply body of command into buffer (no exchange: the code only,
// which the caller puts in its result with cmd_result::with). *size is the
// capacity in and the reply length out. Reply shorter than minimum, or longer
// than the capacity: cmd_bad_length (*size then holds the reply length). A
// null buffer only reports the length.
int cmd_copy_reply(const apdu_command& command, uint8_t* buffer, uint32_t* size,
                   uint32_t minimum = 0);

// Per-device data chunk size. cmd_set_chunk_size takes the maximum buffer size
// the card reports (device information) and keeps that minus 32, rounded down
// to a whole number of 16-byte cipher blocks and bounded to
// [chunk_size_min, chunk_size_max]; returns the chunk size kept, 0 when the
// device is not listed. cmd_get_chunk_size answers chunk_size_default for a
// device that never had one set (or is not listed).
uint32_t cmd_set_chunk_size(device_id device, uint32_t max_buffer_size);
uint32_t cmd_get_chunk_size(device_id device);

// Transmit mode chosen by the device API at open (0 or 3; 4 initially). The
// exchange does not depend on it.
void cmd_set_transmit_mode(uint32_t mode);
uint32_t cmd_get_transmit_mode();

// Device type reported for PC/SC devices.
inline constexpr int32_t device_type_pcsc = 2;

// Enumerates the readers matching filter that hold a card, updates the
// device list and deletes devices whose reader is gone. Returns the number of
// matching readers. The filter is "reader part,usb id[,usb id list]".
int dev_refresh(const char* filter);
// The same scan without deleting; removed/added receive the counts. 0.
int dev_scan_changes(int* removed, int* added, const char* filter);
void dev_purge_removed();
// Deletes the device: 0; not listed: 1.
int dev_remove(device_id device);
// First (next, from the shared cursor) device in state (device_state_any for
// every device); its id goes to *device and its reader name is returned.
// None: no_device and an empty string.
std::string dev_first_in_state(device_id* device, int32_t state);
std::string dev_next_in_state(device_id* device, int32_t state);
// 0 connected, 1 not listed, 2 connect failed.
int dev_connect(device_id device);
// 0 and the device, 1 no such device, 2 connect failed.
int dev_connect_by_name(const char* reader_name, device_id* device);
// 0, or 1 when not listed.
int dev_disconnect(device_id device);
// Reader name, empty when not listed.
std::string dev_get_reader_name(device_id device);
int32_t dev_get_state(device_id device); // -1 when not listed
int dev_set_alias(device_id device, const char* alias);
int dev_get_type(device_id device, int32_t* type);
// How often the device's card was found reset (or reconnected) under an
// exchange; the device API compares it to notice lost card state. 0 when not
// listed.
uint64_t dev_card_resets(device_id device);

// Raw device operations (for devices reached by control frames or sector
// commands): cmd_ok, or cmd_transport_failed with the transport code as the
// status word (also written to the record). PC/SC devices support none of
// them: they fail before anything is sent, with 0x8003 (send) or 0x8004
// (read).
cmd_result dev_send_control_frame(device_id device, const uint8_t* data, size_t length);
cmd_result dev_raw_write(device_id device, uint8_t operation, uint32_t address, uint16_t count,
                         const uint8_t* data, size_t length);
cmd_result dev_raw_read(device_id device, uint8_t operation, uint32_t address, uint16_t count,
                        uint8_t* buffer, size_t length);

// Direct (device-side, outside APDUs) cipher. PC/SC devices offer none: size
// 0, and the device API uses card commands for ciphers.
int dev_get_direct_cipher_size(device_id device, uint32_t* size);
int dev_set_cipher_session(device_id device, int flag);
// One piece of a direct cipher operation. The key stays on the device, named
// by the application, container and card key ids; the device starts the
// operation (from the IV) when first_call is 1 and continues its chaining
// otherwise. *output_length is the room at output in, the bytes written out.
struct direct_cipher_request {
    uint32_t algorithm = 0; // internal identifier of the key
    int direction = 0;      // 1 encrypt, 0 decrypt
    uint32_t app_id = 0;
    uint32_t container_id = 0;
    uint32_t card_key_id = 0;
    uint32_t first_call = 0;
    std::span<const uint8_t> iv; // at most 32 bytes
    std::span<const uint8_t> input;
    uint8_t* output = nullptr;
    size_t* output_length = nullptr;
};
// 0, or non-zero when the device refused (PC/SC devices always refuse).
int dev_direct_cipher(device_id device, const direct_cipher_request& request);
int dev_direct_encrypt(device_id device, direct_cipher_request request);
int dev_direct_decrypt(device_id device, direct_cipher_request request);
