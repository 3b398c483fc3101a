// Card management: format, file-system capacity, raw hardware serial number
// and the OEM information area.
#include <algorithm>
#include <cstring>

#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr char format_magic[] = "zELTInit";
constexpr size_t format_magic_size = sizeof format_magic - 1;
constexpr size_t format_key_block_size = 32;
constexpr size_t format_data_size =
    format_magic_size + dev_info_reply_size + format_key_block_size + 2;
static_assert(format_data_size == 330);

// The most device-authentication tries a card can report in 63Cx.
constexpr uint8_t max_dev_auth_tries = 15;

// "Format" (C0 00 P1 00): "zELTInit", the 288-byte device record (the
// GetDevInfo layout), a 32-byte key block, two one-byte parameters. Wipes
// every application (files, containers, keys, certificates); keeps the OEM
// area, the serial numbers and the hardware and firmware versions. Takes
// over: manufacturer, issuer, label, the four capability values (as stored),
// the total space (u32 BE at 216; 0 = the maximum); the new
// device-authentication key is the first 16 bytes of the key block, and
// parameter 1 its retry count (0: 8).
uint16_t format(command_context& ctx) {
    if (ctx.data.size() != format_data_size) return sw::wrong_length;
    if (!std::equal(format_magic, format_magic + format_magic_size, ctx.data.begin()))
        return sw::wrong_data;
    const auto record = ctx.data.subspan(format_magic_size, dev_info_reply_size);
    const auto key_block =
        ctx.data.subspan(format_magic_size + dev_info_reply_size, format_key_block_size);
    const uint8_t tries = ctx.data[format_data_size - 2];
    if (tries > max_dev_auth_tries) return sw::wrong_data;

    persistent_state& s = ctx.card.persistent;
    uint32_t total = get_be32(record.data() + 216);
    if (total == 0) total = s.device.fs_max_capacity;
    if (total > s.device.fs_max_capacity) return sw::no_room;

    device_info& d = s.device;
    d.manufacturer = text_of(record.subspan(4, 64));
    d.issuer = text_of(record.subspan(68, 64));
    d.label = text_of(record.subspan(132, 32));
    d.sym_cap = get_le32(record.data() + 200);
    d.asym_cap = get_le32(record.data() + 204);
    d.hash_cap = get_le32(record.data() + 208);
    d.dev_auth_alg = get_le32(record.data() + 212);
    d.total_space = total;
    std::copy_n(key_block.begin(), s.dev_auth.key.size(), s.dev_auth.key.begin());
    s.dev_auth.max_tries = s.dev_auth.remaining = tries == 0 ? 8 : tries;
    s.applications.clear();
    s.next_application_id = 1;
    // Logins, open applications and session keys refer to what is gone.
    ctx.card.vol.logins.clear();
    ctx.card.vol.open_applications.clear();
    ctx.card.vol.session_keys.clear();
    ctx.persistent_changed();
    return sw::ok;
}

// "GetFSMaxCap" (C0 02 00 00): the largest formattable size, u32 BE.
uint16_t get_fs_max_cap(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    writer(ctx.reply).u32(ctx.card.persistent.device.fs_max_capacity);
    return sw::ok;
}

// "GetRawHWSN" (C0 04 00 00): the raw hardware serial number.
uint16_t get_raw_hwsn(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    writer(ctx.reply).bytes(ctx.card.persistent.device.hw_serial);
    return sw::ok;
}

uint16_t oem_offset(const command_context& ctx) {
    return static_cast<uint16_t>(ctx.apdu.p1 << 8 | ctx.apdu.p2);
}

// "ReadOemInfo" (C0 0A offset, Le = count): up to Le bytes of the 256-byte
// OEM area from the offset (fewer at its end).
uint16_t read_oem_info(command_context& ctx) {
    if (!ctx.data.empty() || !ctx.apdu.has_le()) return sw::wrong_length;
    const size_t offset = oem_offset(ctx);
    if (offset > oem_area_size) return sw::offset_out_of_range;
    const size_t n = std::min<size_t>(ctx.apdu.ne, oem_area_size - offset);
    const auto& oem = ctx.card.persistent.oem;
    ctx.reply.assign(oem.begin() + static_cast<std::ptrdiff_t>(offset),
                     oem.begin() + static_cast<std::ptrdiff_t>(offset + n));
    return sw::ok;
}

// "WriteOemInfo" (C0 0C offset): the bytes to write; no reply data. Past the
// end of the area: 6A84, nothing written.
uint16_t write_oem_info(command_context& ctx) {
    if (ctx.data.empty()) return sw::wrong_length;
    const size_t offset = oem_offset(ctx);
    if (offset > oem_area_size) return sw::offset_out_of_range;
    if (ctx.data.size() > oem_area_size - offset) return sw::no_room;
    std::copy(ctx.data.begin(), ctx.data.end(),
              ctx.card.persistent.oem.begin() + static_cast<std::ptrdiff_t>(offset));
    ctx.persistent_changed();
    return sw::ok;
}

constexpr command_row rows[] = {
    {0xC0, 0x00, any_p, 0x00, "Format", format, false},
    {0xC0, 0x02, 0x00, 0x00, "GetFSMaxCap", get_fs_max_cap, false},
    {0xC0, 0x04, 0x00, 0x00, "GetRawHWSN", get_raw_hwsn, false},
    {0xC0, 0x0A, any_p, any_p, "ReadOemInfo", read_oem_info, false},
    {0xC0, 0x0C, any_p, any_p, "WriteOemInfo", write_oem_info, false},
};

} // namespace

std::span<const command_row> management_commands() {
    return rows;
}

} // namespace cardsim
