// PIN commands: PIN information, verify, change, unblock (local, with a
// response, remote), reload and clear the security state. The card checks the
// secure-messaging block under the key it derives from its own stored PIN and
// the MAC it computes itself (README.md, "Choices left to the card").
#include <algorithm>
#include <optional>
#include <string>

#include <openssl/crypto.h>

#include "dispatch.h"
#include "sm_mac.h"
#include "wire.h"

namespace cardsim {

namespace {

constexpr uint16_t sw_locked = 0x6983;
constexpr uint16_t sw_bad_sm = sw::incorrect_sm_data;
constexpr size_t mac_bytes = 4;
constexpr size_t response_size = 16; // UnblockPin_MS and RemoteUnblockPin

application* find_app(card_model& card, uint16_t id) {
    for (application& a : card.persistent.applications)
        if (a.id == id) return &a;
    return nullptr;
}

login_state& login_of(card_model& card, uint16_t app_id) {
    auto& logins = card.vol.logins;
    for (login_state& l : logins)
        if (l.app_id == app_id) return l;
    // One entry per existing application at most: the caller found the
    // application first, and entries of deleted applications go first.
    std::erase_if(logins, [&card](const login_state& l) { return !find_app(card, l.app_id); });
    logins.push_back(login_state{app_id, false, false});
    return logins.back();
}

pin_state* pin_of(application& app, uint8_t type) {
    if (type == 0) return &app.so;
    if (type == 1) return &app.user;
    return nullptr;
}

// A wrong PIN: one retry fewer, 63Cx with the retries left.
uint16_t wrong_pin(command_context& ctx, pin_state& pin) {
    if (pin.remaining > 0) --pin.remaining;
    ctx.persistent_changed();
    return static_cast<uint16_t>(0x63C0 | std::min<uint8_t>(pin.remaining, 15));
}

void pin_accepted(command_context& ctx, pin_state& pin) {
    if (pin.remaining != pin.max_retries) {
        pin.remaining = pin.max_retries;
        ctx.persistent_changed();
    }
}

bool new_pin_fits(const pin_state& pin, size_t length) {
    if (length > max_pin_length) return false;
    if (pin.min_length != 0 && length < pin.min_length) return false;
    if (pin.max_length != 0 && length > pin.max_length) return false;
    return true;
}

void set_pin(command_context& ctx, pin_state& pin, std::span<const uint8_t> text) {
    pin.text.assign(text.begin(), text.end());
    pin.remaining = pin.max_retries;
    pin.is_default = false;
    ctx.persistent_changed();
}

bool mac_matches(std::span<const uint8_t, 16> key, std::span<const uint8_t, 16> iv,
                 std::span<const uint8_t> text, std::span<const uint8_t> mac) {
    const auto expected = sm4_cbc_mac(key, iv, text);
    return expected && mac.size() == mac_bytes &&
           CRYPTO_memcmp(expected->data(), mac.data(), mac_bytes) == 0;
}

// The parts of a secure-messaging PIN command: app || block || MAC.
struct sm_parts {
    uint16_t app = 0;
    std::span<const uint8_t> block;
    std::span<const uint8_t> mac;
};

std::optional<sm_parts> split_sm(std::span<const uint8_t> data) {
    if (data.size() < 2 + 16 + mac_bytes || (data.size() - 2 - mac_bytes) % 16 != 0)
        return std::nullopt;
    reader r(data);
    sm_parts p;
    p.app = r.u16();
    p.block = r.bytes(data.size() - 2 - mac_bytes);
    p.mac = r.bytes(mac_bytes);
    return p;
}

// "GetPinInfo" (80 14 00 type): app -> max retries, remaining, default flag.
uint16_t get_pin_info(command_context& ctx) {
    if (ctx.data.size() != 2) return sw::wrong_length;
    application* app = find_app(ctx.card, reader(ctx.data).u16());
    if (!app) return sw::not_found;
    pin_state* pin = pin_of(*app, ctx.apdu.p2);
    if (!pin) return sw::wrong_p1p2;
    writer w(ctx.reply);
    w.u8(pin->max_retries);
    w.u8(pin->remaining);
    w.u8(pin->is_default ? 1 : 0);
    return sw::ok;
}

// "VerifyPin" (80 18 00 type): app || the challenge wrapped under the key of
// the PIN.
uint16_t verify_pin(command_context& ctx) {
    if (ctx.data.size() != 2 + 16) return sw::wrong_length;
    reader r(ctx.data);
    application* app = find_app(ctx.card, r.u16());
    if (!app) return sw::not_found;
    pin_state* pin = pin_of(*app, ctx.apdu.p2);
    if (!pin) return sw::wrong_p1p2;
    if (pin->remaining == 0) return sw_locked;
    const auto challenge = take_challenge(ctx.card);
    if (!challenge) return sw::conditions_not_satisfied;
    const auto key = sm_pin_key(pin->text);
    if (!key) return sw::unknown_error;
    const auto plain = sm_unwrap_block(*key, r.bytes(16));
    login_state& login = login_of(ctx.card, app->id);
    bool& flag = ctx.apdu.p2 == 0 ? login.so : login.user;
    if (!plain || plain->size() != challenge_size ||
        CRYPTO_memcmp(plain->data(), challenge->data(), challenge_size) != 0) {
        flag = false;
        return wrong_pin(ctx, *pin);
    }
    pin_accepted(ctx, *pin);
    flag = true;
    return sw::ok;
}

// The common path of ChangePin and UnblockPin: the block is under the key of
// `checked`; its plain text is the new PIN for `target`.
uint16_t sm_change(command_context& ctx, pin_state& checked, pin_state& target,
                   const sm_parts& parts) {
    if (checked.remaining == 0) return sw_locked;
    const auto challenge = take_challenge(ctx.card);
    if (!challenge) return sw::conditions_not_satisfied;
    const auto key = sm_pin_key(checked.text);
    if (!key) return sw::unknown_error;
    const auto new_pin = sm_unwrap_block(*key, parts.block);
    if (!new_pin) return wrong_pin(ctx, checked);
    const block16 iv = challenge_block(*challenge);
    if (!mac_matches(*key, iv, *new_pin, parts.mac)) return sw_bad_sm;
    if (!new_pin_fits(target, new_pin->size())) return sw::wrong_data;
    pin_accepted(ctx, checked);
    set_pin(ctx, target, *new_pin);
    return sw::ok;
}

// "ChangePin" (84 16 00 type): app || new PIN under the key of the current
// PIN || MAC.
uint16_t change_pin(command_context& ctx) {
    const auto parts = split_sm(ctx.data);
    if (!parts) return sw::wrong_length;
    application* app = find_app(ctx.card, parts->app);
    if (!app) return sw::not_found;
    pin_state* pin = pin_of(*app, ctx.apdu.p2);
    if (!pin) return sw::wrong_p1p2;
    return sm_change(ctx, *pin, *pin, *parts);
}

// "UnblockPin" (84 1A 00 00): app || new user PIN under the key of the SO
// PIN || MAC.
uint16_t unblock_pin(command_context& ctx) {
    const auto parts = split_sm(ctx.data);
    if (!parts) return sw::wrong_length;
    application* app = find_app(ctx.card, parts->app);
    if (!app) return sw::not_found;
    return sm_change(ctx, app->so, app->user, *parts);
}

// Checks a 16-byte response SM4-ECB(K(SO PIN), challenge || 00 x 8).
uint16_t check_so_response(command_context& ctx, application& app,
                           std::span<const uint8_t> response) {
    if (app.so.remaining == 0) return sw_locked;
    const auto challenge = take_challenge(ctx.card);
    if (!challenge) return sw::conditions_not_satisfied;
    const auto key = sm_pin_key(app.so.text);
    if (!key) return sw::unknown_error;
    derived_key expected;
    if (!challenge_key(*key, *challenge, expected)) return sw::unknown_error;
    if (CRYPTO_memcmp(expected.bytes.data(), response.data(), response_size) != 0)
        return wrong_pin(ctx, app.so);
    pin_accepted(ctx, app.so);
    return sw::ok;
}

// "UnblockPin_MS" (84 1A 00 01): app || the SO's 16-byte response
// SM4-ECB(K(SO PIN), challenge || 00 x 8) || the new user PIN in plain (1 to
// 16 bytes, no terminator). A wrong response is a wrong SO PIN.
uint16_t unblock_pin_ms(command_context& ctx) {
    if (ctx.data.size() < 2 + response_size + 1 ||
        ctx.data.size() > 2 + response_size + max_pin_length)
        return sw::wrong_length;
    reader r(ctx.data);
    application* app = find_app(ctx.card, r.u16());
    if (!app) return sw::not_found;
    const auto response = r.bytes(response_size);
    const auto new_pin = r.rest();
    if (const uint16_t s = check_so_response(ctx, *app, response); s != sw::ok) return s;
    if (!new_pin_fits(app->user, new_pin.size())) return sw::wrong_data;
    set_pin(ctx, app->user, new_pin);
    return sw::ok;
}

// "RemoteUnblockPin" (84 1A 01 00): app || 16-byte response; resets the user
// PIN's retries.
uint16_t remote_unblock_pin(command_context& ctx) {
    if (ctx.data.size() != 2 + response_size) return sw::wrong_length;
    reader r(ctx.data);
    application* app = find_app(ctx.card, r.u16());
    if (!app) return sw::not_found;
    if (const uint16_t s = check_so_response(ctx, *app, r.bytes(response_size)); s != sw::ok)
        return s;
    app->user.remaining = app->user.max_retries;
    ctx.persistent_changed();
    return sw::ok;
}

// "ReloadPin" (C4 34 00 00): app || new user PIN wrapped under the key
// challenge || 00 x 8 || MAC (key and IV the same 16 bytes). Needs the SO
// logged in to the application.
uint16_t reload_pin(command_context& ctx) {
    const auto parts = split_sm(ctx.data);
    if (!parts) return sw::wrong_length;
    application* app = find_app(ctx.card, parts->app);
    if (!app) return sw::not_found;
    if (!login_of(ctx.card, app->id).so) return sw::security_not_satisfied;
    const auto challenge = take_challenge(ctx.card);
    if (!challenge) return sw::conditions_not_satisfied;
    const block16 key = challenge_block(*challenge);
    const auto new_pin = sm_unwrap_block(key, parts->block);
    if (!new_pin || !mac_matches(key, key, *new_pin, parts->mac)) return sw_bad_sm;
    if (!new_pin_fits(app->user, new_pin->size())) return sw::wrong_data;
    set_pin(ctx, app->user, *new_pin);
    return sw::ok;
}

// "ClearSecureState" (80 1C 00 00): app; both login flags of the app end.
uint16_t clear_secure_state(command_context& ctx) {
    if (ctx.data.size() != 2) return sw::wrong_length;
    application* app = find_app(ctx.card, reader(ctx.data).u16());
    if (!app) return sw::not_found;
    login_state& login = login_of(ctx.card, app->id);
    login.user = false;
    login.so = false;
    return sw::ok;
}

constexpr command_row rows[] = {
    {0x80, 0x14, 0x00, any_p, "GetPinInfo", get_pin_info, false},
    {0x80, 0x18, 0x00, any_p, "VerifyPin", verify_pin, false},
    {0x84, 0x16, 0x00, any_p, "ChangePin", change_pin, false},
    {0x84, 0x1A, 0x00, 0x00, "UnblockPin", unblock_pin, false},
    {0x84, 0x1A, 0x00, 0x01, "UnblockPin_MS", unblock_pin_ms, false},
    {0x84, 0x1A, 0x01, 0x00, "RemoteUnblockPin", remote_unblock_pin, false},
    {0xC4, 0x34, 0x00, 0x00, "ReloadPin", reload_pin, false},
    {0x80, 0x1C, 0x00, 0x00, "ClearSecureState", clear_secure_state, false},
};

} // namespace

std::span<const command_row> pin_commands() {
    return rows;
}

} // namespace cardsim
