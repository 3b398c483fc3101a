// Application commands: create, list, open, close, extended information.
#include <algorithm>
#include <array>

#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr size_t app_record_size = 84;

// The retry counts a card can report in a 63Cx status word.
bool retry_count_ok(uint32_t n) {
    return n >= 1 && n <= 15;
}

uint16_t next_free_app_id(const persistent_state& s, uint16_t from) {
    uint16_t id = from;
    for (;;) {
        if (id != 0 && id != reserved_app_id &&
            std::none_of(s.applications.begin(), s.applications.end(),
                         [&](const application& a) { return a.id == id; }))
            return id;
        id = static_cast<uint16_t>(id + 1);
    }
}

// "CreateApplication" (80 20 00 00): the 84-byte application record: name
// (32), SO PIN (16), SO retries (u32 BE), user PIN (16), user retries (u32
// BE), create-file rights (u32 LE), 4 zero bytes, user PIN min and max, SO
// PIN min and max. Needs a device authentication since the last reset.
uint16_t create_application(command_context& ctx) {
    if (ctx.data.size() != app_record_size) return sw::wrong_length;
    if (!ctx.card.vol.dev_authenticated) return sw::security_not_satisfied;
    reader r(ctx.data);
    const std::string name = text_of(r.bytes(max_app_name));
    const std::string so_pin = text_of(r.bytes(max_pin_length));
    const uint32_t so_retries = r.u32();
    const std::string user_pin = text_of(r.bytes(max_pin_length));
    const uint32_t user_retries = r.u32();
    const uint32_t create_rights = get_le32(r.bytes(4).data());
    const auto reserved = r.bytes(4);
    if (std::any_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b != 0; }))
        return sw::wrong_data;
    const uint8_t user_min = r.u8(), user_max = r.u8(), so_min = r.u8(), so_max = r.u8();
    if (name.empty() || is_reserved_name(name) || so_pin.empty() || user_pin.empty())
        return sw::wrong_data;
    if (!retry_count_ok(so_retries) || !retry_count_ok(user_retries)) return sw::wrong_data;
    if (user_min > user_max || so_min > so_max || user_max > max_pin_length ||
        so_max > max_pin_length)
        return sw::wrong_data;

    persistent_state& s = ctx.card.persistent;
    if (find_application(ctx.card, name)) return sw::application_exists;
    if (s.applications.size() >= max_applications) return sw::no_room;

    application app;
    app.id = next_free_app_id(s, s.next_application_id);
    app.name = name;
    app.so = pin_state{
        so_pin, static_cast<uint8_t>(so_retries), static_cast<uint8_t>(so_retries), true, so_min,
        so_max};
    app.user = pin_state{user_pin,
                         static_cast<uint8_t>(user_retries),
                         static_cast<uint8_t>(user_retries),
                         true,
                         user_min,
                         user_max};
    app.create_file_rights = create_rights;
    s.next_application_id = next_free_app_id(s, static_cast<uint16_t>(app.id + 1));
    s.applications.push_back(std::move(app));
    ctx.persistent_changed();
    return sw::ok;
}

// "EnumApplication" (80 22 00 00): the name list; the reserved application
// is not listed.
uint16_t enum_application(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    std::vector<std::string> names;
    for (const application& a : ctx.card.persistent.applications)
        names.push_back(a.name);
    append_name_list(ctx.reply, names);
    ctx.reply_in_pieces();
    return sw::ok;
}

// "OpenApplication" (80 26 00 00): name -> 10 bytes: user PIN maximum and
// remaining retries, SO PIN maximum and remaining retries, the create-file
// rights (u32, as stored: little-endian), the application id (u16 BE). The
// reserved name always opens (all information bytes zero). Opening changes
// no login state.
uint16_t open_application(command_context& ctx) {
    const std::string name = name_of(ctx.data);
    if (name.empty() || name.size() > max_app_name) return sw::application_not_found;
    writer w(ctx.reply);
    uint16_t id = reserved_app_id;
    if (is_reserved_name(name)) {
        w.zeros(8);
    } else {
        const application* app = find_application(ctx.card, name);
        if (!app) return sw::application_not_found;
        w.u8(app->user.max_retries);
        w.u8(app->user.remaining);
        w.u8(app->so.max_retries);
        w.u8(app->so.remaining);
        uint8_t rights[4];
        put_le32(app->create_file_rights, rights);
        w.bytes(rights);
        id = app->id;
    }
    w.u16(id);
    auto& open = ctx.card.vol.open_applications;
    if (std::find(open.begin(), open.end(), id) == open.end() && open.size() <= max_applications)
        open.push_back(id);
    return sw::ok;
}

// The application id that is the whole command data.
bool app_id_only(const command_context& ctx, uint16_t& id) {
    if (ctx.data.size() != 2) return false;
    id = get_be16(ctx.data.data());
    return true;
}

// "CloseApplication" (80 28 00 00): app.
uint16_t close_application(command_context& ctx) {
    uint16_t id = 0;
    if (!app_id_only(ctx, id)) return sw::wrong_length;
    if (!application_exists(ctx.card, id)) return sw::application_not_found;
    auto& open = ctx.card.vol.open_applications;
    open.erase(std::remove(open.begin(), open.end(), id), open.end());
    return sw::ok;
}

// "GetAppExtenedInfo" (C0 60 00 00): app -> 8 bytes: user PIN min and max,
// SO PIN min and max, then the login state as a u32 little-endian: 0 nobody,
// bit 0 user, bit 1 security officer.
uint16_t get_app_extended_info(command_context& ctx) {
    uint16_t id = 0;
    if (!app_id_only(ctx, id)) return sw::wrong_length;
    const application* app = find_application(ctx.card, id);
    if (!app) return sw::application_not_found;
    writer w(ctx.reply);
    w.u8(app->user.min_length);
    w.u8(app->user.max_length);
    w.u8(app->so.min_length);
    w.u8(app->so.max_length);
    uint8_t state[4];
    put_le32((user_logged_in(ctx.card, id) ? 1u : 0u) | (so_logged_in(ctx.card, id) ? 2u : 0u),
             state);
    w.bytes(state);
    return sw::ok;
}

constexpr command_row rows[] = {
    {0x80, 0x20, 0x00, 0x00, "CreateApplication", create_application, false},
    {0x80, 0x22, 0x00, 0x00, "EnumApplication", enum_application, false},
    {0x80, 0x26, 0x00, 0x00, "OpenApplication", open_application, false},
    {0x80, 0x28, 0x00, 0x00, "CloseApplication", close_application, false},
    {0xC0, 0x60, 0x00, 0x00, "GetAppExtenedInfo", get_app_extended_info, false},
};

} // namespace

std::span<const command_row> application_commands() {
    return rows;
}

} // namespace cardsim
