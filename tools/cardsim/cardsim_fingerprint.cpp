// Fingerprint records and a scripted sensor.
//
// Each application has one fingerprint record (enrolled, maximum and
// remaining tries). The sensor is not real: the simulator's own command
// "ScriptFingerprintSensor" tells it what the next verification does (how
// often the start finds it busy, how many polls find no finger yet, whether
// the finger then matches).
#include <algorithm>

#include "cardsim_crypto.h"
#include "cardsim_objects.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr uint16_t sw_sensor_pending = 0x6F0D;
constexpr uint16_t sw_locked = 0x6983;
constexpr uint8_t mode_poll = 0;
constexpr uint8_t mode_start = 1;
constexpr uint8_t mode_poll_full = 2;
constexpr uint8_t pin_type_so = 0;
constexpr uint8_t pin_type_user = 1;

void log_in(card_model& card, uint16_t app_id, uint8_t pin_type) {
    auto& logins = card.vol.logins;
    auto it = std::find_if(logins.begin(), logins.end(),
                           [&](const login_state& l) { return l.app_id == app_id; });
    if (it == logins.end()) {
        logins.push_back(login_state{app_id, false, false});
        it = logins.end() - 1;
    }
    (pin_type == pin_type_so ? it->so : it->user) = true;
}

// "CreateFingerPrintRecord" (C0 B0 P1 P2): app, four one-byte parameters;
// the first is the maximum number of tries.
uint16_t create_record(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t app_id = r.u16();
    const auto params = r.bytes(4);
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    application* app = find_application(ctx.card, app_id);
    if (!app) return sw::application_not_found;
    if (params[0] == 0) return sw::wrong_data;
    app->fingerprint = fingerprint_record{true, params[0], params[0]};
    ctx.persistent_changed();
    return sw::ok;
}

// "VerifyFingerPrint" (C0B2 P1 PIN-type): app, mode (1 start, 0 poll, 2 poll
// with the full 20-byte reply).
uint16_t verify(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t app_id = r.u16();
    const uint8_t mode = r.u8();
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    const uint8_t pin_type = ctx.apdu.p2;
    if (pin_type != pin_type_so && pin_type != pin_type_user) return sw::wrong_p1p2;
    application* app = find_application(ctx.card, app_id);
    if (!app) return sw::application_not_found;
    fingerprint_record& record = app->fingerprint;
    if (!record.enrolled) return sw::key_not_found;
    if (record.remaining == 0) return sw_locked;
    fingerprint_sensor& sensor = ctx.card.vol.sensor;
    auto& running = ctx.card.vol.fingerprint;

    if (mode == mode_start) {
        if (sensor.busy_starts > 0) {
            --sensor.busy_starts;
            return sw_sensor_pending;
        }
        running = fingerprint_verification{app_id, pin_type, sensor.pending_polls};
        ctx.reply.push_back(0);
        return sw::ok;
    }
    if (mode != mode_poll && mode != mode_poll_full) return sw::wrong_data;
    if (!running || running->app_id != app_id || running->pin_type != pin_type)
        return sw::conditions_not_satisfied;
    if (running->pending_left > 0) {
        --running->pending_left;
        return sw_sensor_pending;
    }
    running.reset();
    if (!sensor.match) {
        --record.remaining;
        ctx.persistent_changed();
        return static_cast<uint16_t>(0x63C0 | std::min<uint8_t>(record.remaining, 15));
    }
    if (record.remaining != record.max_tries) {
        record.remaining = record.max_tries;
        ctx.persistent_changed();
    }
    log_in(ctx.card, app_id, pin_type);
    ctx.reply.push_back(sensor.finger);
    if (mode == mode_poll_full) {
        // 16-byte template id, 2-byte score, 1-byte quality.
        for (uint8_t i = 0; i < 16; ++i)
            ctx.reply.push_back(static_cast<uint8_t>(0xA0 + i));
        writer(ctx.reply).u16(0x0155);
        ctx.reply.push_back(0x5A);
    }
    return sw::ok;
}

// "GetFingerPrintInfo" (C0 B4 00 PIN-type): app -> 14 bytes.
uint16_t get_info(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t app_id = r.u16();
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    application* app = find_application(ctx.card, app_id);
    if (!app) return sw::application_not_found;
    const fingerprint_record& record = app->fingerprint;
    ctx.reply = {static_cast<uint8_t>(record.enrolled ? 1 : 0),
                 record.max_tries,
                 0,
                 record.remaining,
                 record.max_tries,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0};
    return sw::ok;
}

// "CleanFingerPrint" (C0 B5 00 00): removes every record.
uint16_t clean(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    for (application& app : ctx.card.persistent.applications)
        app.fingerprint = fingerprint_record{};
    ctx.card.vol.fingerprint.reset();
    ctx.persistent_changed();
    return sw::ok;
}

// "UnblockFingerPrint" (C0 B5 01 PIN-type): app; needs the SO PIN verified.
uint16_t unblock(command_context& ctx) {
    reader r(ctx.data);
    const uint16_t app_id = r.u16();
    if (!r.ok() || !r.empty()) return sw::wrong_length;
    application* app = find_application(ctx.card, app_id);
    if (!app) return sw::application_not_found;
    if (!so_logged_in(ctx.card, app_id)) return sw::security_not_satisfied;
    if (!app->fingerprint.enrolled) return sw::key_not_found;
    app->fingerprint.remaining = app->fingerprint.max_tries;
    ctx.persistent_changed();
    return sw::ok;
}

// "ScriptFingerprintSensor" (C0 B7 00 00): the simulator's own control
// command: busy starts, pending polls, match (0/1), finger index.
uint16_t script_sensor(command_context& ctx) {
    if (ctx.data.size() != 4) return sw::wrong_length;
    ctx.card.vol.sensor =
        fingerprint_sensor{ctx.data[0], ctx.data[1], ctx.data[2] != 0, ctx.data[3]};
    return sw::ok;
}

constexpr command_row rows[] = {
    {0xC0, 0xB0, any_p, any_p, "CreateFingerPrintRecord", create_record, false},
    {0xC0, 0xB2, any_p, any_p, "VerifyFingerPrint", verify, false},
    {0xC0, 0xB4, 0x00, any_p, "GetFingerPrintInfo", get_info, false},
    {0xC0, 0xB5, 0x00, 0x00, "CleanFingerPrint", clean, false},
    {0xC0, 0xB5, 0x01, any_p, "UnblockFingerPrint", unblock, false},
    {0xC0, 0xB7, 0x00, 0x00, "ScriptFingerprintSensor", script_sensor, false},
};

} // namespace

std::span<const command_row> fingerprint_commands() {
    return rows;
}

} // namespace cardsim
