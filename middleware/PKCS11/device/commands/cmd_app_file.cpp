#include "cmd_app_file.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "byte_writer.h"
#include "cmd_descriptor.h"
#include "transport.h"

namespace {

// How P1 and P2 are filled.
enum class p1p2_rule : uint8_t {
    fixed, // as in the table
    word,  // P1P2 = a 16-bit argument (application id, offset, position)
    first, // P1 = an 8-bit argument (certificate kind), P2 as in the table
};

// A row of the family: the command and how its P1 P2 are filled.
struct command_row {
    cmd_descriptor d;
    p1p2_rule rule;
};

enum class cmd : size_t {
    create_application,
    enum_application,
    open_application,
    close_application,
    get_app_extened_info,
    create_file,
    delete_file,
    enum_files,
    get_file_info,
    set_file_info,
    read_file,
    write_file,
    set_fs_cursor,
    create_container,
    open_container,
    close_container,
    enum_containers,
    delete_container,
    get_container_info,
    import_certificate,
    export_certificate,
    delete_certificate,
    format,
    get_fs_max_cap,
    get_raw_hwsn,
    read_oem_info,
    write_oem_info,
};

constexpr int32_t form_1 = apdu_case_1;
constexpr int32_t e_le = apdu_case_2_ext;
constexpr int32_t e_lc = apdu_case_3_ext;
constexpr int32_t e_lcle = apdu_case_4_ext;
using enum p1p2_rule;
// Le of the reads that may come in 6A9E pieces: as much as one reply can
// carry. Not 0 (up to 65536), which a card may honour with a reply the
// 2048-byte reply buffer cannot hold; and the same for every repeat, so the
// card recognises "the same command again".
constexpr int32_t reply_le = static_cast<int32_t>(cmd_max_reply_body);

// The family's commands, in the order of `cmd`.
constexpr command_row commands[] = {
    {{"CreateApplication", 0x80, 0x20, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"EnumApplication", 0x80, 0x22, 0x00, 0x00, e_le, reply_le, 0}, fixed},
    {{"OpenApplication", 0x80, 0x26, 0x00, 0x00, e_lcle, 10, 0}, fixed},
    {{"CloseApplication", 0x80, 0x28, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"GetAppExtenedInfo", 0xC0, 0x60, 0x00, 0x00, e_lcle, 0, 0}, fixed},
    {{"CreateFile", 0x80, 0x30, 0x00, 0x00, e_lc, 0, 0}, word},
    {{"DeleteFile", 0x80, 0x32, 0x00, 0x00, e_lc, 0, 10000}, word},
    {{"EnumFiles", 0x80, 0x34, 0x00, 0x00, e_le, reply_le, 0}, word},
    {{"GetFileInfo", 0x80, 0x36, 0x00, 0x00, e_lcle, 12, 0}, word},
    {{"SetFileInfo", 0xC0, 0x50, 0x00, 0x00, e_lc, 0, 0}, word},
    {{"ReadFile", 0x80, 0x38, 0x00, 0x00, e_lcle, 0, 0}, fixed},
    {{"WriteFile", 0x80, 0x3A, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"SetzFSCursor", 0xC0, 0x52, 0x00, 0x00, form_1, 0, 0}, word},
    {{"CreateContainer", 0x80, 0x40, 0x00, 0x00, e_lcle, 2, 0}, fixed},
    {{"OpenContainer", 0x80, 0x42, 0x00, 0x00, e_lcle, 2, 0}, fixed},
    {{"CloseContainer", 0x80, 0x44, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"EnumContainers", 0x80, 0x46, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"DeleteContainer", 0x80, 0x48, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"GetContainerInfo", 0x80, 0x4A, 0x00, 0x00, e_lcle, 11, 0}, fixed},
    {{"ImportCertificate", 0x80, 0x4C, 0x00, 0x00, e_lc, 0, 0}, fixed},
    {{"ExportCertificate", 0x80, 0x4E, 0x00, 0x00, e_lcle, reply_le, 0}, first},
    {{"DeleteCertificate", 0xC0, 0x24, 0x00, 0x00, e_lc, 0, 0}, first},
    {{"Format", 0xC0, 0x00, 0x00, 0x00, e_lc, 0, 30000}, first},
    {{"GetFSMaxCap", 0xC0, 0x02, 0x00, 0x00, e_le, 4, 0}, fixed},
    {{"GetRawHWSN", 0xC0, 0x04, 0x00, 0x00, e_le, 0, 0}, fixed},
    {{"ReadOemInfo", 0xC0, 0x0A, 0x00, 0x00, e_le, 0, 0}, word},
    {{"WriteOemInfo", 0xC0, 0x0C, 0x00, 0x00, e_lc, 0, 0}, word},
};
static_assert(std::size(commands) == static_cast<size_t>(cmd::write_oem_info) + 1);

bool carries_data(int32_t form) {
    return form == e_lc || form == e_lcle;
}

// The one builder of the family: the row's header with P1/P2 from param, the
// data and Le (le < 0: the row's), built by cmd_build. Every command of the
// family whose form carries data needs some (a name, a record, ids): empty
// data is refused here, never sent without its field.
apdu_holder make(cmd which, std::span<const uint8_t> data = {}, uint32_t param = 0,
                 int32_t le = -1) {
    const command_row& row = commands[static_cast<size_t>(which)];
    uint8_t p1 = row.d.p1, p2 = row.d.p2;
    if (row.rule == word) {
        if (param > 0xFFFF) return nullptr;
        p1 = static_cast<uint8_t>(param >> 8);
        p2 = static_cast<uint8_t>(param);
    } else if (row.rule == first) {
        if (param > 0xFF) return nullptr;
        p1 = static_cast<uint8_t>(param);
    }
    if (carries_data(row.d.form) && data.empty()) return nullptr;
    return cmd_build(row.d, p1, p2, data, le);
}

apdu_holder make(cmd which, const byte_writer& w, uint32_t param = 0, int32_t le = -1) {
    if (!w.ok()) return nullptr;
    return make(which, w.data(), param, le);
}

std::span<const uint8_t> name_bytes(std::string_view name) {
    return {reinterpret_cast<const uint8_t*>(name.data()), name.size()};
}

// A command whose data is "app, name" in the 128-byte area; a name is
// required.
apdu_holder app_and_name(cmd which, uint16_t app, std::string_view name) {
    if (name.empty()) return nullptr;
    byte_writer w(cmd_name_area);
    w.be16(app).bytes(name_bytes(name));
    return make(which, w);
}

byte_writer app_and_container(uint16_t app, uint16_t cont) {
    byte_writer w(cmd_name_area);
    w.be16(app).be16(cont);
    return w;
}

byte_writer app_only(uint16_t app) {
    byte_writer w(cmd_name_area);
    w.be16(app);
    return w;
}

std::string_view view(const char* s) {
    return s ? std::string_view(s) : std::string_view();
}

// Sends a command that carries nothing back for the caller.
cmd_result send(device_id device, apdu_holder command) {
    if (!command) return {cmd_bad_length};
    return cmd_send(device, *command);
}

// Sends a command and copies its reply (at least minimum bytes).
cmd_result send_copy(device_id device, apdu_holder command, uint8_t* buffer, uint32_t* size,
                     uint32_t minimum = 0, uint32_t also_accepted = sw_success) {
    if (!command || !size) return {cmd_bad_length};
    const cmd_result sent = cmd_send(device, *command, also_accepted);
    if (!sent.ok()) return sent;
    return sent.with(cmd_copy_reply(*command, buffer, size, minimum));
}

// Sends a command whose reply the wrapper reads at fixed offsets: exactly the
// reply, at least minimum bytes, into a local buffer.
template <size_t N>
cmd_result send_fixed(device_id device, apdu_holder command, uint8_t (&reply)[N]) {
    if (!command) return {cmd_bad_length};
    const cmd_result sent = cmd_send(device, *command);
    if (!sent.ok()) return sent;
    const auto body = command->reply();
    if (body.size() < N) return sent.with(cmd_bad_length);
    std::memcpy(reply, body.data(), N);
    return sent;
}

} // namespace

// ---- builders ----

apdu_holder build_create_application(std::span<const uint8_t> record) {
    byte_writer w(cmd_name_area);
    w.bytes(record);
    return make(cmd::create_application, w);
}

apdu_holder build_enum_application() {
    return make(cmd::enum_application);
}

apdu_holder build_open_application(std::string_view name) {
    byte_writer w(cmd_name_area);
    w.bytes(name_bytes(name));
    return make(cmd::open_application, w);
}

apdu_holder build_close_application(uint16_t app) {
    return make(cmd::close_application, app_only(app));
}

apdu_holder build_get_app_extened_info(uint16_t app) {
    return make(cmd::get_app_extened_info, app_only(app));
}

apdu_holder build_create_file(uint16_t app, std::span<const uint8_t> record) {
    byte_writer w(cmd_name_area);
    w.bytes(record);
    return make(cmd::create_file, w, app);
}

apdu_holder build_delete_file(uint16_t app, std::string_view name) {
    byte_writer w(cmd_name_area);
    w.bytes(name_bytes(name));
    return make(cmd::delete_file, w, app);
}

apdu_holder build_enum_files(uint16_t app) {
    return make(cmd::enum_files, {}, app);
}

apdu_holder build_get_file_info(uint16_t app, std::string_view name) {
    byte_writer w(cmd_name_area);
    w.bytes(name_bytes(name));
    return make(cmd::get_file_info, w, app);
}

apdu_holder build_set_file_info(uint16_t app, std::span<const uint8_t> record) {
    byte_writer w(cmd_name_area);
    w.bytes(record);
    return make(cmd::set_file_info, w, app);
}

apdu_holder build_read_file(uint16_t app, std::string_view name, uint32_t offset, uint32_t length) {
    // Offset and length travel in 2-byte fields: a read that does not end
    // within 0xFFFF is refused rather than wrapped to the start of the file.
    if (name.empty() || length == 0 || length > cmd_max_reply_body || offset > 0xFFFF ||
        offset + length > 0xFFFF)
        return nullptr;
    byte_writer w(cmd_name_area);
    w.be16(app)
        .be16(offset)
        .be16(length)
        .be16(static_cast<uint32_t>(name.size()))
        .bytes(name_bytes(name));
    return make(cmd::read_file, w, 0, static_cast<int32_t>(length));
}

apdu_holder build_write_file(uint16_t app, std::string_view name, uint32_t offset,
                             std::span<const uint8_t> data) {
    if (name.empty() || data.empty() || offset > 0xFFFF || data.size() > 0xFFFF - offset)
        return nullptr;
    byte_writer w(cmd_name_area + data.size());
    w.be16(app).be16(offset).be16(static_cast<uint32_t>(name.size()));
    // The name shares the 128-byte part with the four numbers.
    if (w.size() + name.size() + 2 > cmd_name_area) return nullptr;
    w.bytes(name_bytes(name)).be16(static_cast<uint32_t>(data.size())).bytes(data);
    return make(cmd::write_file, w);
}

apdu_holder build_set_fs_cursor(uint16_t position) {
    return make(cmd::set_fs_cursor, {}, position);
}

apdu_holder build_create_container(uint16_t app, std::string_view name) {
    return app_and_name(cmd::create_container, app, name);
}

apdu_holder build_open_container(uint16_t app, std::string_view name) {
    return app_and_name(cmd::open_container, app, name);
}

apdu_holder build_close_container(uint16_t app, uint16_t cont) {
    return make(cmd::close_container, app_and_container(app, cont));
}

apdu_holder build_enum_containers(uint16_t app) {
    return make(cmd::enum_containers, app_only(app));
}

apdu_holder build_delete_container(uint16_t app, std::string_view name) {
    return app_and_name(cmd::delete_container, app, name);
}

apdu_holder build_get_container_info(uint16_t app, std::string_view name) {
    return app_and_name(cmd::get_container_info, app, name);
}

apdu_holder build_import_certificate_header(uint16_t app, uint16_t cont, uint8_t kind,
                                            uint32_t length) {
    byte_writer w(cmd_certificate_header);
    w.be16(app).be16(cont).u8(kind).be32(length);
    return make(cmd::import_certificate, w);
}

apdu_holder build_export_certificate(uint16_t app, uint16_t cont, uint8_t kind) {
    return make(cmd::export_certificate, app_and_container(app, cont), kind);
}

apdu_holder build_delete_certificate(uint16_t app, uint16_t cont, uint8_t kind) {
    return make(cmd::delete_certificate, app_and_container(app, cont), kind);
}

apdu_holder build_format(std::span<const uint8_t> record, std::span<const uint8_t> key_block,
                         uint8_t first, uint8_t second, uint8_t p1) {
    static constexpr char magic[] = "zELTInit";
    byte_writer w(cmd_format_area);
    w.text(magic)
        .fixed(record, cmd_format_record)
        .fixed(key_block, cmd_format_key_block)
        .u8(first)
        .u8(second);
    return make(cmd::format, w, p1);
}

apdu_holder build_get_fs_max_cap() {
    return make(cmd::get_fs_max_cap);
}

apdu_holder build_get_raw_hwsn() {
    return make(cmd::get_raw_hwsn);
}

apdu_holder build_read_oem_info(uint32_t offset, uint32_t length) {
    if (length == 0 || length > cmd_max_reply_body) return nullptr;
    return make(cmd::read_oem_info, {}, offset, static_cast<int32_t>(length));
}

apdu_holder build_write_oem_info(uint32_t offset, std::span<const uint8_t> data) {
    byte_writer w(cmd_max_free_data);
    w.bytes(data);
    return make(cmd::write_oem_info, w, offset);
}

// ---- wrappers ----

cmd_result cmd_create_application(device_id device, const uint8_t* record, uint32_t length) {
    if (length && !record) return {cmd_bad_length};
    return send(device, build_create_application({record, length}));
}

cmd_result cmd_enum_application(device_id device, uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_enum_application(), buffer, size, 0, sw_more_data);
}

cmd_result cmd_open_application(device_id device, const char* name, uint8_t* buffer,
                                uint32_t* size) {
    return send_copy(device, build_open_application(view(name)), buffer, size,
                     cmd_open_application_reply);
}

cmd_result cmd_close_application(device_id device, uint16_t app) {
    return send(device, build_close_application(app));
}

cmd_result cmd_get_app_extened_info(device_id device, uint16_t app, uint8_t* buffer,
                                    uint32_t* size) {
    return send_copy(device, build_get_app_extened_info(app), buffer, size,
                     cmd_app_extended_info_reply);
}

cmd_result cmd_create_file(device_id device, uint16_t app, const uint8_t* record, uint32_t length) {
    if (length && !record) return {cmd_bad_length};
    return send(device, build_create_file(app, {record, length}));
}

cmd_result cmd_delete_file(device_id device, uint16_t app, const char* name) {
    return send(device, build_delete_file(app, view(name)));
}

cmd_result cmd_enum_files(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_enum_files(app), buffer, size, 0, sw_more_data);
}

cmd_result cmd_get_file_info(device_id device, uint16_t app, const char* name, uint32_t* file_size,
                             uint32_t* read_rights, uint32_t* write_rights) {
    uint8_t reply[cmd_file_info_reply] = {};
    const cmd_result sent = send_fixed(device, build_get_file_info(app, view(name)), reply);
    if (!sent.ok()) return sent;
    if (file_size) *file_size = get_be32(reply);
    // The rights are kept as the card stores them (the GM/T 0016 record's
    // little-endian u32).
    if (read_rights) *read_rights = get_le32(reply + 4);
    if (write_rights) *write_rights = get_le32(reply + 8);
    return sent;
}

cmd_result cmd_set_file_info(device_id device, uint16_t app, const uint8_t* record,
                             uint32_t length) {
    if (length && !record) return {cmd_bad_length};
    return send(device, build_set_file_info(app, {record, length}));
}

cmd_result cmd_read_file(device_id device, uint16_t app, const char* name, uint32_t offset,
                         uint32_t* length, uint8_t* buffer) {
    if (!length || !buffer) return {cmd_bad_length};
    return send_copy(device, build_read_file(app, view(name), offset, *length), buffer, length);
}

cmd_result cmd_write_file(device_id device, uint16_t app, const char* name, uint32_t offset,
                          const uint8_t* data, uint32_t length) {
    if (length && !data) return {cmd_bad_length};
    return send(device, build_write_file(app, view(name), offset, {data, length}));
}

cmd_result cmd_set_fs_cursor(device_id device, uint16_t position) {
    return send(device, build_set_fs_cursor(position));
}

namespace {

cmd_result container_id_reply(device_id device, apdu_holder command, uint16_t* cont) {
    uint8_t reply[2];
    const cmd_result sent = send_fixed(device, std::move(command), reply);
    if (sent.ok() && cont) *cont = get_be16(reply);
    return sent;
}

} // namespace

cmd_result cmd_create_container(device_id device, uint16_t app, const char* name, uint16_t* cont) {
    return container_id_reply(device, build_create_container(app, view(name)), cont);
}

cmd_result cmd_open_container(device_id device, uint16_t app, const char* name, uint16_t* cont) {
    return container_id_reply(device, build_open_container(app, view(name)), cont);
}

cmd_result cmd_close_container(device_id device, uint16_t app, uint16_t cont) {
    return send(device, build_close_container(app, cont));
}

cmd_result cmd_enum_containers(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_enum_containers(app), buffer, size, 0, sw_more_data);
}

cmd_result cmd_delete_container(device_id device, uint16_t app, const char* name) {
    return send(device, build_delete_container(app, view(name)));
}

cmd_result cmd_get_container_info(device_id device, uint16_t app, const char* name, uint8_t* type,
                                  uint32_t* first_bits, uint32_t* second_bits, uint8_t* first_flag,
                                  uint8_t* second_flag) {
    uint8_t reply[cmd_container_info_reply] = {};
    const cmd_result sent = send_fixed(device, build_get_container_info(app, view(name)), reply);
    if (!sent.ok()) return sent;
    if (type) *type = reply[0];
    if (first_bits) *first_bits = get_be32(reply + 1);
    if (second_bits) *second_bits = get_be32(reply + 5);
    if (first_flag) *first_flag = reply[9];
    if (second_flag) *second_flag = reply[10];
    return sent;
}

cmd_result cmd_import_certificate(device_id device, uint16_t app, uint16_t cont, uint8_t kind,
                                  const uint8_t* certificate, uint32_t length) {
    // An empty certificate would open a chain that is never closed.
    if (length == 0 || !certificate) return {cmd_bad_length};
    apdu_holder header = build_import_certificate_header(app, cont, kind, length);
    if (!header) return {cmd_bad_length};
    return cmd_send_chained(device, *header, {certificate, length});
}

cmd_result cmd_export_certificate(device_id device, bool skip_prefix, uint16_t app, uint16_t cont,
                                  uint8_t kind, uint8_t* buffer, uint32_t* size) {
    if (!size) return {cmd_bad_length};
    const uint32_t skip = skip_prefix ? cmd_export_prefix : 0;
    apdu_holder command = build_export_certificate(app, cont, kind);
    if (!command) return {cmd_bad_length};
    const cmd_result sent = cmd_send(device, *command, sw_more_data);
    if (!sent.ok()) return sent;
    const auto body = command->reply();
    if (body.size() < skip) {
        *size = 0;
        return sent.with(cmd_bad_length);
    }
    const auto data = body.subspan(skip);
    const uint32_t capacity = *size;
    *size = static_cast<uint32_t>(data.size());
    if (!buffer) return sent;
    if (data.size() > capacity) return sent.with(cmd_bad_length);
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    return sent;
}

cmd_result cmd_delete_certificate(device_id device, uint16_t app, uint16_t cont, uint8_t kind) {
    return send(device, build_delete_certificate(app, cont, kind));
}

cmd_result cmd_format(device_id device, const uint8_t* record, uint32_t record_length,
                      const uint8_t* key_block, uint32_t key_length, uint8_t first, uint8_t second,
                      uint8_t p1) {
    if ((record_length && !record) || (key_length && !key_block)) return {cmd_bad_length};
    return send(device,
                build_format({record, record_length}, {key_block, key_length}, first, second, p1));
}

cmd_result cmd_get_fs_max_cap(device_id device, uint32_t* capacity) {
    uint8_t reply[4];
    const cmd_result sent = send_fixed(device, build_get_fs_max_cap(), reply);
    if (sent.ok() && capacity) *capacity = get_be32(reply);
    return sent;
}

cmd_result cmd_get_raw_hwsn(device_id device, uint8_t* buffer, uint32_t* size) {
    return send_copy(device, build_get_raw_hwsn(), buffer, size);
}

cmd_result cmd_read_oem_info(device_id device, uint32_t offset, uint8_t* buffer, uint32_t* length) {
    if (!length || !buffer) return {cmd_bad_length};
    return send_copy(device, build_read_oem_info(offset, *length), buffer, length);
}

cmd_result cmd_write_oem_info(device_id device, uint32_t offset, const uint8_t* data,
                              uint32_t length) {
    if (length && !data) return {cmd_bad_length};
    return send(device, build_write_oem_info(offset, {data, length}));
}

// ---- continued reads ----

cmd_result cmd_enum_application_all(device_id device, uint8_t* buffer, uint32_t* size) {
    apdu_holder command = build_enum_application();
    if (!command) return {cmd_bad_length};
    return cmd_read_continued(device, *command, buffer, size);
}

cmd_result cmd_enum_files_all(device_id device, uint16_t app, uint8_t* buffer, uint32_t* size) {
    apdu_holder command = build_enum_files(app);
    if (!command) return {cmd_bad_length};
    return cmd_read_continued(device, *command, buffer, size);
}

cmd_result cmd_enum_containers_all(device_id device, uint16_t app, uint8_t* buffer,
                                   uint32_t* size) {
    apdu_holder command = build_enum_containers(app);
    if (!command) return {cmd_bad_length};
    return cmd_read_continued(device, *command, buffer, size);
}

cmd_result cmd_export_certificate_all(device_id device, uint16_t app, uint16_t cont, uint8_t kind,
                                      uint8_t* buffer, uint32_t* size) {
    // Start the card's reading position at the certificate's beginning; the
    // export then answers whether or not the card knows the cursor.
    (void)cmd_set_fs_cursor(device, 0);
    apdu_holder command = build_export_certificate(app, cont, kind);
    if (!command) return {cmd_bad_length};
    return cmd_read_continued(device, *command, buffer, size, cmd_export_prefix);
}
