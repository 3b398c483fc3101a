// File commands: create, delete, list, information, read, write, and the
// file-system cursor. Reads and writes are checked against the file's rights
// and the application's login state.
#include <algorithm>

#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr size_t file_record_size = 44;
constexpr size_t file_info_rights_size = 8;
// The longest reply body: the host's reply buffer holds 2048 bytes with SW1 SW2.
constexpr size_t max_reply_body = 2046;

bool accepted_right(uint32_t r) {
    return r == right_none || r == right_so || r == right_user || r == right_any_login ||
           r == right_everyone;
}

uint16_t app_of_p1p2(const command_context& ctx) {
    return static_cast<uint16_t>(ctx.apdu.p1 << 8 | ctx.apdu.p2);
}

file_entry* find_file(application& app, const std::string& name) {
    for (file_entry& f : app.files)
        if (f.name == name) return &f;
    return nullptr;
}

void put_le32_to(writer& w, uint32_t v) {
    uint8_t b[4];
    put_le32(v, b);
    w.bytes(b);
}

// "CreateFile" (80 30 app): 44-byte record: name (32), size (u32 BE), read
// and write rights (u32 LE each). Needs the application's create-file right.
uint16_t create_file(command_context& ctx) {
    if (ctx.data.size() != file_record_size) return sw::wrong_length;
    const uint16_t id = app_of_p1p2(ctx);
    application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    reader r(ctx.data);
    const std::string name = text_of(r.bytes(max_file_name));
    const uint32_t size = r.u32();
    const uint32_t read_rights = get_le32(r.bytes(4).data());
    const uint32_t write_rights = get_le32(r.bytes(4).data());
    if (name.empty() || !accepted_right(read_rights) || !accepted_right(write_rights))
        return sw::wrong_data;
    if (size > max_file_size) return sw::no_room;
    if (!right_granted(ctx.card, id, app->create_file_rights)) return sw::security_not_satisfied;
    if (find_file(*app, name)) return sw::file_exists;
    if (app->files.size() >= max_files_per_app || size > free_space(ctx.card.persistent))
        return sw::no_room;
    app->files.push_back(
        file_entry{name, size, read_rights, write_rights, std::vector<uint8_t>(size, 0)});
    ctx.persistent_changed();
    return sw::ok;
}

// "DeleteFile" (80 32 app): the name. Needs the create-file right.
uint16_t delete_file(command_context& ctx) {
    const uint16_t id = app_of_p1p2(ctx);
    application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    const std::string name = name_of(ctx.data);
    auto it = std::find_if(app->files.begin(), app->files.end(),
                           [&](const file_entry& f) { return f.name == name; });
    if (name.empty() || it == app->files.end()) return sw::file_not_found;
    if (!right_granted(ctx.card, id, app->create_file_rights)) return sw::security_not_satisfied;
    app->files.erase(it);
    ctx.persistent_changed();
    return sw::ok;
}

// "EnumFiles" (80 34 app): the name list.
uint16_t enum_files(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    application* app = find_application(ctx.card, app_of_p1p2(ctx));
    if (!app) return sw::application_not_found;
    std::vector<std::string> names;
    for (const file_entry& f : app->files)
        names.push_back(f.name);
    append_name_list(ctx.reply, names);
    ctx.reply_in_pieces();
    return sw::ok;
}

// "GetFileInfo" (80 36 app): name -> size (u32 BE), read and write rights
// (u32 LE, as stored).
uint16_t get_file_info(command_context& ctx) {
    application* app = find_application(ctx.card, app_of_p1p2(ctx));
    if (!app) return sw::application_not_found;
    const file_entry* f = find_file(*app, name_of(ctx.data));
    if (!f) return sw::file_not_found;
    writer w(ctx.reply);
    w.u32(f->size);
    put_le32_to(w, f->read_rights);
    put_le32_to(w, f->write_rights);
    return sw::ok;
}

// "SetFileInfo" (C0 50 app): name, then 8 bytes: new read and write rights
// (u32 LE each, the layout GetFileInfo answers). Needs the file's write right.
uint16_t set_file_info(command_context& ctx) {
    const uint16_t id = app_of_p1p2(ctx);
    application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    if (ctx.data.size() <= file_info_rights_size) return sw::wrong_length;
    const size_t name_length = ctx.data.size() - file_info_rights_size;
    file_entry* f = find_file(*app, name_of(ctx.data.first(name_length)));
    if (!f) return sw::file_not_found;
    const uint32_t read_rights = get_le32(ctx.data.data() + name_length);
    const uint32_t write_rights = get_le32(ctx.data.data() + name_length + 4);
    if (!accepted_right(read_rights) || !accepted_right(write_rights)) return sw::wrong_data;
    if (!right_granted(ctx.card, id, f->write_rights)) return sw::security_not_satisfied;
    f->read_rights = read_rights;
    f->write_rights = write_rights;
    ctx.persistent_changed();
    return sw::ok;
}

// "ReadFile" (80 38 00 00): app, offset, length, name length (u16 BE each),
// name -> min(length, size - offset) bytes.
uint16_t read_file(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t id = r.u16();
    const uint16_t offset = r.u16();
    const uint16_t length = r.u16();
    const uint16_t name_length = r.u16();
    const auto name = r.bytes(name_length);
    if (!r.ok() || !r.empty() || length == 0) return sw::wrong_length;
    application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    const file_entry* f = find_file(*app, name_of(name));
    if (!f) return sw::file_not_found;
    if (!right_granted(ctx.card, id, f->read_rights)) return sw::security_not_satisfied;
    if (offset > f->size) return sw::offset_out_of_range;
    const size_t n = std::min<size_t>(length, f->size - offset);
    if (n > max_reply_body) return sw::wrong_length;
    ctx.reply.assign(f->content.begin() + offset,
                     f->content.begin() + static_cast<std::ptrdiff_t>(offset + n));
    return sw::ok;
}

// "WriteFile" (80 3A 00 00): app, offset, name length (u16 BE each), name,
// data length (u16 BE), data. Writing past the end of the file: 6A84.
uint16_t write_file(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t id = r.u16();
    const uint16_t offset = r.u16();
    const uint16_t name_length = r.u16();
    const auto name = r.bytes(name_length);
    const uint16_t data_length = r.u16();
    const auto data = r.bytes(data_length);
    if (!r.ok() || !r.empty() || data_length == 0) return sw::wrong_length;
    application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    file_entry* f = find_file(*app, name_of(name));
    if (!f) return sw::file_not_found;
    if (!right_granted(ctx.card, id, f->write_rights)) return sw::security_not_satisfied;
    if (size_t{offset} + data.size() > f->size) return sw::no_room;
    std::copy(data.begin(), data.end(), f->content.begin() + offset);
    ctx.persistent_changed();
    return sw::ok;
}

// "SetzFSCursor" (C0 52 position): header only; sets the file-system cursor.
uint16_t set_fs_cursor(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    ctx.card.vol.fs_cursor = app_of_p1p2(ctx);
    return sw::ok;
}

constexpr command_row rows[] = {
    {0x80, 0x30, any_p, any_p, "CreateFile", create_file, false},
    {0x80, 0x32, any_p, any_p, "DeleteFile", delete_file, false},
    {0x80, 0x34, any_p, any_p, "EnumFiles", enum_files, false},
    {0x80, 0x36, any_p, any_p, "GetFileInfo", get_file_info, false},
    {0xC0, 0x50, any_p, any_p, "SetFileInfo", set_file_info, false},
    {0x80, 0x38, 0x00, 0x00, "ReadFile", read_file, false},
    {0x80, 0x3A, 0x00, 0x00, "WriteFile", write_file, false},
    {0xC0, 0x52, any_p, any_p, "SetzFSCursor", set_fs_cursor, false},
};

} // namespace

std::span<const command_row> file_commands() {
    return rows;
}

} // namespace cardsim
