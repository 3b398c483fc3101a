// Card commands that manage what the card stores: applications, files, key
// containers, certificates, the file-system cursor and capacity, and card
// management (format, raw serial number, OEM information).
//
// Each command has a builder (`build_...`: the exact APDU, nothing sent) and
// a wrapper (`cmd_...`: build, send through the transport, check the reply).
// Wrappers return the transport's cmd_result: the code
//   cmd_ok, cmd_transport_failed, cmd_bad_status (status word not accepted),
//   cmd_bad_length (reply too short for what the caller reads, or longer
//   than its buffer)
// and the status word of the card's reply. cmd_bad_length is also the
// answer, before anything is sent, to an input that does not fit its
// command: a name or record too long for its data area, an offset or length
// that does not fit its 2-byte field, or an empty data field (which no E-Lc
// command may carry); the status word is then sw_none. The device API maps
// cmd_bad_length to an error whatever the status word says.
//
// Numbers in command data and replies are big-endian. `app` is the 16-bit
// application id from OpenApplication, `cont` the 16-bit container id.
// Names travel without a terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "apdu_command.h"
#include "device_id.h"
#include "transport.h"

// Data areas: builders whose data is ids and at most one name assemble it in
// 128 bytes; WriteFile in 128 bytes plus its data; Format in 1024 bytes.
inline constexpr size_t cmd_name_area = 128;
inline constexpr size_t cmd_format_area = 1024;
// Largest reply body one exchange can carry: the transport's reply buffer
// holds the status word too. The reads that may come in 6A9E pieces
// (EnumApplication, EnumFiles, ExportCertificate) ask for exactly this.
inline constexpr uint32_t cmd_max_reply_body = 2046;
// Largest command data not bound to a fixed area (the 2048-byte command
// buffer minus the extended header CLA INS P1 P2 00 LcHi LcLo and Le).
inline constexpr size_t cmd_max_free_data = 2048 - 9;

// Sizes of the records and replies of this family.
inline constexpr size_t cmd_open_application_reply = 10;
inline constexpr size_t cmd_app_extended_info_reply = 8;
inline constexpr size_t cmd_file_info_reply = 12;
inline constexpr size_t cmd_container_info_reply = 11;
inline constexpr size_t cmd_certificate_header = 9;
inline constexpr size_t cmd_export_prefix = 4;
inline constexpr size_t cmd_format_record = 288;
inline constexpr size_t cmd_format_key_block = 32;
inline constexpr size_t cmd_format_data = 8 + cmd_format_record + cmd_format_key_block + 2;
static_assert(cmd_format_data == 330);

// Certificate kinds of the certificate commands.
inline constexpr uint8_t cert_kind_exchange = 0;
inline constexpr uint8_t cert_kind_signature = 1;

// ---- builders: the exact command, or null when an input does not fit ----

apdu_holder build_create_application(std::span<const uint8_t> record);
apdu_holder build_enum_application();
apdu_holder build_open_application(std::string_view name);
apdu_holder build_close_application(uint16_t app);
apdu_holder build_get_app_extened_info(uint16_t app);

apdu_holder build_create_file(uint16_t app, std::span<const uint8_t> record);
apdu_holder build_delete_file(uint16_t app, std::string_view name);
apdu_holder build_enum_files(uint16_t app);
apdu_holder build_get_file_info(uint16_t app, std::string_view name);
apdu_holder build_set_file_info(uint16_t app, std::span<const uint8_t> record);
apdu_holder build_read_file(uint16_t app, std::string_view name, uint32_t offset, uint32_t length);
apdu_holder build_write_file(uint16_t app, std::string_view name, uint32_t offset,
                             std::span<const uint8_t> data);
apdu_holder build_set_fs_cursor(uint16_t position);

apdu_holder build_create_container(uint16_t app, std::string_view name);
apdu_holder build_open_container(uint16_t app, std::string_view name);
apdu_holder build_close_container(uint16_t app, uint16_t cont);
apdu_holder build_enum_containers(uint16_t app);
apdu_holder build_delete_container(uint16_t app, std::string_view name);
apdu_holder build_get_container_info(uint16_t app, std::string_view name);
// The chain header (without the chaining bit; cmd_send_chained sets it).
apdu_holder build_import_certificate_header(uint16_t app, uint16_t cont, uint8_t kind,
                                            uint32_t length);
apdu_holder build_export_certificate(uint16_t app, uint16_t cont, uint8_t kind);
apdu_holder build_delete_certificate(uint16_t app, uint16_t cont, uint8_t kind);

// record: at most 288 bytes (zero-filled to 288); key_block: at most 32
// bytes (zero-filled to 32).
apdu_holder build_format(std::span<const uint8_t> record, std::span<const uint8_t> key_block,
                         uint8_t first, uint8_t second, uint8_t p1);
apdu_holder build_get_fs_max_cap();
apdu_holder build_get_raw_hwsn();
apdu_holder build_read_oem_info(uint32_t offset, uint32_t length);
apdu_holder build_write_oem_info(uint32_t offset, std::span<const uint8_t> data);

// ---- wrappers ----
// `size` arguments are the capacity in and the reply length out.

cmd_result cmd_create_application(device_id device, const uint8_t* record, uint32_t length);
// One exchange; 0x9000 and 0x6A9E both succeed (the piece is in buffer).
cmd_result cmd_enum_application(device_id device, uint8_t* buffer, uint32_t* size);
// The 10-byte reply (application information, id in bytes 8-9); fewer: 3.
cmd_result cmd_open_application(device_id device, const char* name, uint8_t* buffer,
                                uint32_t* size);
cmd_result cmd_close_application(device_id device, uint16_t app);
// The 8-byte reply; fewer: 3.
cmd_result cmd_get_app_extened_info(device_id device, uint16_t app, uint8_t* buffer,
                                    uint32_t* size);

cmd_result cmd_create_file(device_id device, uint16_t app, const uint8_t* record, uint32_t length);
cmd_result cmd_delete_file(device_id device, uint16_t app, const char* name);
cmd_result cmd_enum_files(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size);
// File size (host order) and the read and write rights as the card stores
// them (little-endian u32, GM/T 0016 values).
cmd_result cmd_get_file_info(device_id device, uint16_t app, const char* name, uint32_t* file_size,
                             uint32_t* read_rights, uint32_t* write_rights);
cmd_result cmd_set_file_info(device_id device, uint16_t app, const uint8_t* record,
                             uint32_t length);
// Reads up to *length bytes at offset into buffer; *length := bytes read.
// offset + *length must fit the 2-byte fields (at most 0xFFFF).
cmd_result cmd_read_file(device_id device, uint16_t app, const char* name, uint32_t offset,
                         uint32_t* length, uint8_t* buffer);
cmd_result cmd_write_file(device_id device, uint16_t app, const char* name, uint32_t offset,
                          const uint8_t* data, uint32_t length);
cmd_result cmd_set_fs_cursor(device_id device, uint16_t position);

cmd_result cmd_create_container(device_id device, uint16_t app, const char* name, uint16_t* cont);
cmd_result cmd_open_container(device_id device, uint16_t app, const char* name, uint16_t* cont);
cmd_result cmd_close_container(device_id device, uint16_t app, uint16_t cont);
cmd_result cmd_enum_containers(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size);
cmd_result cmd_delete_container(device_id device, uint16_t app, const char* name);
// type: 0 empty, 1 RSA, 2 SM2; key sizes in bits (host order); the
// certificate flags of the signature and the exchange pair.
cmd_result cmd_get_container_info(device_id device, uint16_t app, const char* name, uint8_t* type,
                                  uint32_t* first_bits, uint32_t* second_bits, uint8_t* first_flag,
                                  uint8_t* second_flag);
// Chained: the 9-byte header, then the certificate in segments of the
// device's chunk size. An empty certificate is refused (3) before anything
// is sent.
cmd_result cmd_import_certificate(device_id device, uint16_t app, uint16_t cont, uint8_t kind,
                                  const uint8_t* certificate, uint32_t length);
// One exchange; 0x9000 and 0x6A9E both succeed. With skip_prefix the reply's
// first 4 bytes (which the card fills as it chooses) are dropped unread; a
// reply shorter than that is 3.
cmd_result cmd_export_certificate(device_id device, bool skip_prefix, uint16_t app, uint16_t cont,
                                  uint8_t kind, uint8_t* buffer, uint32_t* size);
cmd_result cmd_delete_certificate(device_id device, uint16_t app, uint16_t cont, uint8_t kind);

// "Format": 330 bytes: "zELTInit", the record, the key block, first, second.
cmd_result cmd_format(device_id device, const uint8_t* record, uint32_t record_length,
                      const uint8_t* key_block, uint32_t key_length, uint8_t first, uint8_t second,
                      uint8_t p1);
cmd_result cmd_get_fs_max_cap(device_id device, uint32_t* capacity);
cmd_result cmd_get_raw_hwsn(device_id device, uint8_t* buffer, uint32_t* size);
// Reads up to *length bytes of OEM information at offset; *length := count.
cmd_result cmd_read_oem_info(device_id device, uint32_t offset, uint8_t* buffer, uint32_t* length);
// Writes the bytes at offset. The caller's data is only read: any reply body
// the card sends is ignored.
cmd_result cmd_write_oem_info(device_id device, uint32_t offset, const uint8_t* data,
                              uint32_t length);

// ---- continued reads (cmd_read_continued of the transport) ----
// The whole name lists and the whole certificate (SetzFSCursor 0 first, the
// first 4 bytes of the card's first reply dropped unread).
cmd_result cmd_enum_application_all(device_id device, uint8_t* buffer, uint32_t* size);
cmd_result cmd_enum_files_all(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size);
cmd_result cmd_enum_containers_all(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size);
cmd_result cmd_export_certificate_all(device_id device, uint16_t app, uint16_t cont, uint8_t kind,
                                      uint8_t* buffer, uint32_t* size);
