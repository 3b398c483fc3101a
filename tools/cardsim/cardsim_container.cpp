// Container and certificate commands. Containers hold the key pairs that the
// key commands fill and the two certificates handled here; creating,
// deleting and changing them needs the user's login.
#include <algorithm>

#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr size_t cert_header_size = 9; // app, cont, type, length (u32 BE)
constexpr uint8_t cert_exchange = 0;
constexpr uint8_t cert_signature = 1;

uint16_t next_free_container_id(const application& app) {
    uint16_t id = app.next_container_id;
    for (;;) {
        if (id != 0 && id != reserved_container_id &&
            std::none_of(app.containers.begin(), app.containers.end(),
                         [&](const container& c) { return c.id == id; }))
            return id;
        id = static_cast<uint16_t>(id + 1);
    }
}

// Command data "app, name": the application (stored or reserved) and the name.
struct app_and_name {
    uint16_t app_id = 0;
    std::string name;
};

uint16_t parse_app_and_name(const command_context& ctx, app_and_name& out) {
    if (ctx.data.size() < 2) return sw::wrong_length;
    out.app_id = get_be16(ctx.data.data());
    out.name = name_of(ctx.data.subspan(2));
    if (out.name.size() > max_container_name) return sw::wrong_length;
    if (!application_exists(ctx.card, out.app_id)) return sw::application_not_found;
    return sw::ok;
}

// Command data "app, cont".
uint16_t parse_app_and_container(const command_context& ctx, uint16_t& app_id,
                                 uint16_t& container_id) {
    if (ctx.data.size() != 4) return sw::wrong_length;
    app_id = get_be16(ctx.data.data());
    container_id = get_be16(ctx.data.data() + 2);
    if (!application_exists(ctx.card, app_id)) return sw::application_not_found;
    if (!container_exists(ctx.card, app_id, container_id)) return sw::container_not_found;
    return sw::ok;
}

std::vector<uint8_t>* certificate_slot(container& c, uint8_t type) {
    if (type == cert_signature) return &c.signature_cert;
    if (type == cert_exchange) return &c.exchange_cert;
    return nullptr;
}

// "CreateContainer" (80 40 00 00): app, name -> the new container id (u16 BE).
uint16_t create_container(command_context& ctx) {
    app_and_name a;
    if (const uint16_t s = parse_app_and_name(ctx, a); s != sw::ok) return s;
    application* app = find_application(ctx.card, a.app_id);
    if (!app) return sw::application_not_found; // the reserved application stores nothing
    if (a.name.empty() || is_reserved_name(a.name)) return sw::wrong_data;
    if (!user_logged_in(ctx.card, a.app_id)) return sw::security_not_satisfied;
    if (find_container(*app, a.name)) return sw::container_exists;
    if (app->containers.size() >= max_containers_per_app) return sw::no_room;
    container c;
    c.id = next_free_container_id(*app);
    c.name = a.name;
    app->next_container_id = static_cast<uint16_t>(c.id + 1);
    writer(ctx.reply).u16(c.id);
    app->containers.push_back(std::move(c));
    ctx.persistent_changed();
    return sw::ok;
}

// "OpenContainer" (80 42 00 00): app, name -> the container id (u16 BE). The
// reserved name opens in every application, without login.
uint16_t open_container(command_context& ctx) {
    app_and_name a;
    if (const uint16_t s = parse_app_and_name(ctx, a); s != sw::ok) return s;
    uint16_t id = reserved_container_id;
    if (!is_reserved_name(a.name)) {
        application* app = find_application(ctx.card, a.app_id);
        const container* c = app ? find_container(*app, a.name) : nullptr;
        if (!c) return sw::container_not_found;
        id = c->id;
    }
    writer(ctx.reply).u16(id);
    return sw::ok;
}

// "CloseContainer" (80 44 00 00): app, cont.
uint16_t close_container(command_context& ctx) {
    uint16_t app_id = 0, container_id = 0;
    return parse_app_and_container(ctx, app_id, container_id);
}

// "EnumContainers" (80 46 00 00): app -> the name list (the reserved
// container is not listed).
uint16_t enum_containers(command_context& ctx) {
    if (ctx.data.size() != 2) return sw::wrong_length;
    const uint16_t app_id = get_be16(ctx.data.data());
    if (!application_exists(ctx.card, app_id)) return sw::application_not_found;
    std::vector<std::string> names;
    if (const application* app = find_application(ctx.card, app_id))
        for (const container& c : app->containers)
            names.push_back(c.name);
    append_name_list(ctx.reply, names);
    ctx.reply_in_pieces();
    return sw::ok;
}

// "DeleteContainer" (80 48 00 00): app, name. The container's session keys
// go with it.
uint16_t delete_container(command_context& ctx) {
    app_and_name a;
    if (const uint16_t s = parse_app_and_name(ctx, a); s != sw::ok) return s;
    application* app = find_application(ctx.card, a.app_id);
    if (!app || is_reserved_name(a.name)) return sw::wrong_data;
    if (!user_logged_in(ctx.card, a.app_id)) return sw::security_not_satisfied;
    auto it = std::find_if(app->containers.begin(), app->containers.end(),
                           [&](const container& c) { return c.name == a.name; });
    if (a.name.empty() || it == app->containers.end()) return sw::container_not_found;
    const uint16_t id = it->id;
    app->containers.erase(it);
    auto& keys = ctx.card.vol.session_keys;
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const session_key& k) {
                                  return k.app_id == a.app_id && k.container_id == id;
                              }),
               keys.end());
    ctx.persistent_changed();
    return sw::ok;
}

// "GetContainerInfo" (80 4A 00 00): app, name -> 11 bytes: type (0 empty,
// 1 RSA, 2 SM2), signature and exchange key bits (u32 BE), signature and
// exchange certificate flags.
uint16_t get_container_info(command_context& ctx) {
    app_and_name a;
    if (const uint16_t s = parse_app_and_name(ctx, a); s != sw::ok) return s;
    writer w(ctx.reply);
    if (is_reserved_name(a.name)) {
        w.zeros(11);
        return sw::ok;
    }
    application* app = find_application(ctx.card, a.app_id);
    const container* c = app ? find_container(*app, a.name) : nullptr;
    if (!c) return sw::container_not_found;
    const key_kind kind =
        c->signature.kind != key_kind::none ? c->signature.kind : c->exchange.kind;
    w.u8(static_cast<uint8_t>(kind));
    w.u32(c->signature.bits);
    w.u32(c->exchange.bits);
    w.u8(c->signature_cert.empty() ? 0 : 1);
    w.u8(c->exchange_cert.empty() ? 0 : 1);
    return sw::ok;
}

// "ImportCertificate" (90 4C 00 00 chained, the last part 80 4C 00 00): a
// 9-byte header (app, cont, type: 1 signature / 0 exchange, length u32 BE),
// then the certificate. The length must match what arrived.
uint16_t import_certificate(command_context& ctx) {
    if (!ctx.chain_parts.empty() && ctx.chain_parts.front() != cert_header_size)
        return sw::wrong_length;
    reader r(ctx.data);
    const uint16_t app_id = r.u16();
    const uint16_t container_id = r.u16();
    const uint8_t type = r.u8();
    const uint32_t length = r.u32();
    if (!r.ok() || length == 0 || length != r.remaining()) return sw::wrong_length;
    if (type != cert_signature && type != cert_exchange) return sw::wrong_data;
    if (!application_exists(ctx.card, app_id)) return sw::application_not_found;
    container* c = find_container(ctx.card, app_id, container_id);
    if (!c)
        return container_exists(ctx.card, app_id, container_id) ? sw::wrong_data
                                                                : sw::container_not_found;
    if (!user_logged_in(ctx.card, app_id)) return sw::security_not_satisfied;
    std::vector<uint8_t>* slot = certificate_slot(*c, type);
    if (length > max_certificate_size || length > free_space(ctx.card.persistent) + slot->size())
        return sw::no_room;
    const auto cert = r.rest();
    slot->assign(cert.begin(), cert.end());
    ctx.persistent_changed();
    return sw::ok;
}

// "ExportCertificate" (80 4E type 00): app, cont -> the certificate's length
// (u32 BE) followed by the certificate, in 6A9E pieces when long. No
// certificate: 6A96.
uint16_t export_certificate(command_context& ctx) {
    uint16_t app_id = 0, container_id = 0;
    if (const uint16_t s = parse_app_and_container(ctx, app_id, container_id); s != sw::ok)
        return s;
    if (ctx.apdu.p1 != cert_signature && ctx.apdu.p1 != cert_exchange) return sw::wrong_p1p2;
    container* c = find_container(ctx.card, app_id, container_id);
    const std::vector<uint8_t>* cert = c ? certificate_slot(*c, ctx.apdu.p1) : nullptr;
    if (!cert || cert->empty()) return sw::no_certificate;
    writer w(ctx.reply);
    w.u32(static_cast<uint32_t>(cert->size()));
    w.bytes(*cert);
    ctx.reply_in_pieces();
    return sw::ok;
}

// "DeleteCertificate" (C0 24 type 00): app, cont.
uint16_t delete_certificate(command_context& ctx) {
    uint16_t app_id = 0, container_id = 0;
    if (const uint16_t s = parse_app_and_container(ctx, app_id, container_id); s != sw::ok)
        return s;
    if (ctx.apdu.p1 != cert_signature && ctx.apdu.p1 != cert_exchange) return sw::wrong_p1p2;
    if (!user_logged_in(ctx.card, app_id)) return sw::security_not_satisfied;
    container* c = find_container(ctx.card, app_id, container_id);
    std::vector<uint8_t>* cert = c ? certificate_slot(*c, ctx.apdu.p1) : nullptr;
    if (!cert || cert->empty()) return sw::no_certificate;
    cert->clear();
    ctx.persistent_changed();
    return sw::ok;
}

constexpr command_row rows[] = {
    {0x80, 0x40, 0x00, 0x00, "CreateContainer", create_container, false},
    {0x80, 0x42, 0x00, 0x00, "OpenContainer", open_container, false},
    {0x80, 0x44, 0x00, 0x00, "CloseContainer", close_container, false},
    {0x80, 0x46, 0x00, 0x00, "EnumContainers", enum_containers, false},
    {0x80, 0x48, 0x00, 0x00, "DeleteContainer", delete_container, false},
    {0x80, 0x4A, 0x00, 0x00, "GetContainerInfo", get_container_info, false},
    {0x80, 0x4C, 0x00, 0x00, "ImportCertificate", import_certificate, true},
    {0x80, 0x4E, any_p, 0x00, "ExportCertificate", export_certificate, false},
    {0xC0, 0x24, any_p, 0x00, "DeleteCertificate", delete_certificate, false},
};

} // namespace

std::span<const command_row> container_commands() {
    return rows;
}

} // namespace cardsim
