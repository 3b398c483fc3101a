#include "cmd_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <mbedtls/platform_util.h>

#include "byte_writer.h"
#include "sm_wrap.h"

namespace {

constexpr cmd_descriptor table[] = {
    {"SetLabel", 0x80, 0x02, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"GetDevInfo", 0x80, 0x04, 0x00, 0x00, apdu_case_2_ext, 0, 0},
    {"GetShortDevInfo", 0x80, 0x04, 0x01, 0x00, apdu_case_2_ext, 0, 0},
    {"GenRandom", 0x80, 0x50, 0x00, 0x00, apdu_case_2_ext, -1, 0},
    {"DevAuth", 0x80, 0x10, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"GetPinInfo", 0x80, 0x14, 0x00, 0x00, apdu_case_4_ext, 3, 0},
    {"VerifyPin", 0x80, 0x18, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"ChangePin", 0x84, 0x16, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"UnblockPin", 0x84, 0x1A, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"UnblockPin_MS", 0x84, 0x1A, 0x00, 0x01, apdu_case_3_ext, 0, 0},
    {"RemoteUnblockPin", 0x84, 0x1A, 0x01, 0x00, apdu_case_3_ext, 0, 0},
    {"ReloadPin", 0xC4, 0x34, 0x00, 0x00, apdu_case_3_ext, 0, 0},
    {"ClearSecureState", 0x80, 0x1C, 0x00, 0x00, apdu_case_3_ext, 0, 0},
};

static_assert(std::size(table) == static_cast<size_t>(device_cmd::clear_secure_state) + 1);

// The largest data field of a command of this family: what one chunk of any
// device may carry.
constexpr size_t data_max = chunk_size_max;

// The PIN block of the longest PIN: 16 × (⌊(16 + 2) / 16⌋ + 1).
constexpr size_t pin_block_max = sm_wrap_size(sm_pin_max_length);
// app || block || MAC.
constexpr size_t sm_command_data_max = 2 + pin_block_max + sm_mac_size;

cmd_built refused(int result, uint32_t mac_error = 0) {
    cmd_built b;
    b.result = result;
    b.mac_error = mac_error;
    return b;
}

// A command of descriptor id with P2 p2, the given data and Le (-1: the
// descriptor's), built by cmd_build.
cmd_built make_command(device_cmd id, uint8_t p2, std::span<const uint8_t> data, int32_t le = -1) {
    const cmd_descriptor& d = device_cmd_descriptor(id);
    if (data.size() > data_max) return refused(cmd_bad_length);
    cmd_built b;
    b.command = cmd_build(d, d.p1, p2, data, le);
    if (!b.command) return refused(cmd_bad_length);
    return b;
}

cmd_built make_command(device_cmd id, std::span<const uint8_t> data) {
    return make_command(id, device_cmd_descriptor(id).p2, data);
}

std::span<const uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

bool valid_pin_type(uint8_t pin_type) {
    return pin_type == pin_type_so || pin_type == pin_type_user;
}

// app || SM block of new_pin under key || the first 4 bytes of the MAC the
// callback computes over new_pin with key and iv. Nothing is built when the
// MAC cannot be had.
cmd_built make_sm_pin_command(device_cmd id, uint8_t p2, const sm_mac_callback& mac,
                              std::span<const uint8_t, sm_pin_key_size> key,
                              std::span<const uint8_t, sm_iv_size> iv, uint16_t app,
                              std::string_view new_pin) {
    if (!mac.compute || new_pin.size() > sm_pin_max_length) return refused(cmd_bad_length);
    std::vector<uint8_t> block;
    if (sm_wrap_block(key.data(), reinterpret_cast<const uint8_t*>(new_pin.data()), new_pin.size(),
                      block) != sm_result::ok)
        return refused(cmd_bad_length);

    std::array<uint8_t, sm_mac_buffer_size> mac_bytes{};
    uint32_t mac_length = mac_bytes.size();
    const uint32_t mac_rc = mac.compute(
        mac.api_device, key.data(), iv.data(), reinterpret_cast<const uint8_t*>(new_pin.data()),
        static_cast<uint32_t>(new_pin.size()), mac_bytes.data(), &mac_length);
    if (mac_rc != 0) return refused(cmd_mac_failed, mac_rc);
    if (mac_length < sm_mac_size || mac_length > mac_bytes.size())
        return refused(cmd_mac_failed, sm_mac_error_short);

    byte_writer w(sm_command_data_max);
    w.be16(app).bytes(block).bytes(mac_bytes.data(), sm_mac_size);
    mbedtls_platform_zeroize(mac_bytes.data(), mac_bytes.size());
    if (!w.ok()) return refused(cmd_bad_length);
    return make_command(id, p2, w.data());
}

// Sends a built command; a refused one returns its result with nothing sent.
cmd_result send_built(device_id device, cmd_built& b, uint32_t* mac_error = nullptr) {
    if (!b.command) {
        if (mac_error && b.result == cmd_mac_failed) *mac_error = b.mac_error;
        return {b.result};
    }
    return cmd_send(device, *b.command);
}

cmd_result send_simple(device_id device, cmd_built b) {
    return send_built(device, b);
}

// Sends a command and copies its reply (at least minimum bytes, at most
// *size).
cmd_result send_and_copy(device_id device, cmd_built b, uint8_t* buffer, uint32_t* size,
                         uint32_t minimum) {
    if (!size) return {cmd_bad_length};
    const cmd_result sent = send_built(device, b);
    if (!sent.ok()) return sent;
    return sent.with(cmd_copy_reply(*b.command, buffer, size, minimum));
}

} // namespace

const cmd_descriptor& device_cmd_descriptor(device_cmd id) {
    return table[static_cast<size_t>(id)];
}

std::span<const cmd_descriptor> device_cmd_table() {
    return table;
}

// --- Builders ----------------------------------------------------------------

cmd_built build_set_label(std::string_view label) {
    if (label.size() > dev_label_max) return refused(cmd_bad_length);
    static constexpr uint8_t empty_label[1] = {0x00};
    if (label.empty()) return make_command(device_cmd::set_label, empty_label);
    return make_command(device_cmd::set_label, bytes_of(label));
}

cmd_built build_get_dev_info() {
    return make_command(device_cmd::get_dev_info, {});
}

cmd_built build_get_short_dev_info() {
    return make_command(device_cmd::get_short_dev_info, {});
}

cmd_built build_gen_random(uint32_t length) {
    // Le 0 would ask for "up to 65536" bytes, not for none.
    if (length == 0 || length > gen_random_max) return refused(cmd_bad_length);
    const cmd_descriptor& d = device_cmd_descriptor(device_cmd::gen_random);
    return make_command(device_cmd::gen_random, d.p2, {}, static_cast<int32_t>(length));
}

cmd_built build_dev_auth(uint8_t key_id, std::span<const uint8_t> data) {
    if (data.empty()) return refused(cmd_bad_length);
    return make_command(device_cmd::dev_auth, key_id, data);
}

cmd_built build_get_pin_info(uint8_t pin_type, uint16_t app) {
    byte_writer w(2);
    w.be16(app);
    return make_command(device_cmd::get_pin_info, pin_type, w.data());
}

cmd_built build_verify_pin(std::span<const uint8_t, sm_challenge_size> challenge, uint8_t pin_type,
                           uint16_t app, std::string_view pin) {
    sm_key key;
    if (!key.derive(pin)) return refused(cmd_bad_length);
    std::vector<uint8_t> block;
    if (sm_wrap_block(key.bytes, challenge.data(), challenge.size(), block) != sm_result::ok)
        return refused(cmd_bad_length);
    byte_writer w(2 + sm_wrap_size(sm_challenge_size));
    w.be16(app).bytes(block);
    if (!w.ok()) return refused(cmd_bad_length);
    return make_command(device_cmd::verify_pin, pin_type, w.data());
}

cmd_built build_change_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> iv,
                           uint8_t pin_type, uint16_t app, std::string_view current_pin,
                           std::string_view new_pin) {
    sm_key key;
    if (!key.derive(current_pin)) return refused(cmd_bad_length);
    return make_sm_pin_command(device_cmd::change_pin, pin_type, mac, key.bytes, iv, app, new_pin);
}

cmd_built build_unblock_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> iv,
                            uint16_t app, std::string_view so_pin, std::string_view new_user_pin) {
    sm_key key;
    if (!key.derive(so_pin)) return refused(cmd_bad_length);
    return make_sm_pin_command(device_cmd::unblock_pin,
                               device_cmd_descriptor(device_cmd::unblock_pin).p2, mac, key.bytes,
                               iv, app, new_user_pin);
}

cmd_built build_unblock_pin_ms(uint16_t app, std::span<const uint8_t> response,
                               std::string_view new_pin) {
    const std::string_view pin = new_pin.substr(0, std::min(new_pin.size(), unblock_ms_pin_max));
    byte_writer w(data_max);
    w.be16(app).bytes(response).bytes(bytes_of(pin));
    if (!w.ok()) return refused(cmd_bad_length);
    return make_command(device_cmd::unblock_pin_ms, w.data());
}

cmd_built build_remote_unblock_pin(uint16_t app, std::span<const uint8_t> data) {
    byte_writer w(data_max);
    w.be16(app).bytes(data);
    if (!w.ok()) return refused(cmd_bad_length);
    return make_command(device_cmd::remote_unblock_pin, w.data());
}

cmd_built build_reload_pin(const sm_mac_callback& mac, std::span<const uint8_t, sm_iv_size> key,
                           uint16_t app, std::string_view new_pin) {
    return make_sm_pin_command(device_cmd::reload_pin,
                               device_cmd_descriptor(device_cmd::reload_pin).p2, mac, key, key, app,
                               new_pin);
}

cmd_built build_clear_secure_state(uint16_t app) {
    byte_writer w(2);
    w.be16(app);
    return make_command(device_cmd::clear_secure_state, w.data());
}

// --- Wrappers ----------------------------------------------------------------

cmd_result cmd_set_label(device_id device, std::string_view label) {
    return send_simple(device, build_set_label(label));
}

cmd_result cmd_get_dev_info(device_id device, uint8_t* buffer, uint32_t* size) {
    return send_and_copy(device, build_get_dev_info(), buffer, size, dev_info_min_reply);
}

cmd_result cmd_get_short_dev_info(device_id device, uint8_t* buffer, uint32_t* size) {
    return send_and_copy(device, build_get_short_dev_info(), buffer, size,
                         short_dev_info_min_reply);
}

cmd_result cmd_gen_random(device_id device, uint8_t* buffer, uint32_t length) {
    if (!buffer) return {cmd_bad_length};
    cmd_built b = build_gen_random(length);
    if (!b.command) return {b.result};
    const cmd_result sent = cmd_exchange(device, *b.command);
    if (!sent.ok()) return sent;
    const std::span<const uint8_t> body = b.command->reply();
    if (body.size() > length) return sent.with(cmd_bad_length);
    if (sent.status_word != sw_success) return sent.with(cmd_bad_status);
    if (body.size() < length) return sent.with(cmd_bad_length);
    std::memcpy(buffer, body.data(), body.size());
    return sent;
}

cmd_result cmd_dev_auth(device_id device, uint8_t key_id, std::span<const uint8_t> data) {
    if (data.size() > cmd_get_chunk_size(device)) return {cmd_bad_length};
    return send_simple(device, build_dev_auth(key_id, data));
}

cmd_result cmd_get_pin_info(device_id device, uint8_t pin_type, uint16_t app, uint8_t* max_retries,
                            uint8_t* remaining_retries, uint8_t* default_pin) {
    if (!valid_pin_type(pin_type)) return {cmd_bad_length};
    cmd_built b = build_get_pin_info(pin_type, app);
    const cmd_result sent = send_built(device, b);
    if (!sent.ok()) return sent;
    const std::span<const uint8_t> body = b.command->reply();
    if (body.size() < pin_info_reply_size) return sent.with(cmd_bad_length);
    if (max_retries) *max_retries = body[0];
    if (remaining_retries) *remaining_retries = body[1];
    if (default_pin) *default_pin = body[2];
    return sent;
}

cmd_result cmd_verify_pin(device_id device, std::span<const uint8_t, sm_challenge_size> challenge,
                          uint8_t pin_type, uint16_t app, std::string_view pin) {
    if (!valid_pin_type(pin_type)) return {cmd_bad_length};
    return send_simple(device, build_verify_pin(challenge, pin_type, app, pin));
}

cmd_result cmd_change_pin(const sm_mac_callback& mac, device_id device,
                          std::span<const uint8_t, sm_iv_size> iv, uint8_t pin_type, uint16_t app,
                          std::string_view current_pin, std::string_view new_pin,
                          uint32_t* mac_error) {
    if (!valid_pin_type(pin_type)) return {cmd_bad_length};
    cmd_built b = build_change_pin(mac, iv, pin_type, app, current_pin, new_pin);
    return send_built(device, b, mac_error);
}

cmd_result cmd_unblock_pin(const sm_mac_callback& mac, device_id device,
                           std::span<const uint8_t, sm_iv_size> iv, uint16_t app,
                           std::string_view so_pin, std::string_view new_user_pin,
                           uint32_t* mac_error) {
    cmd_built b = build_unblock_pin(mac, iv, app, so_pin, new_user_pin);
    return send_built(device, b, mac_error);
}

cmd_result cmd_unblock_pin_ms(device_id device, uint16_t app, std::span<const uint8_t> response,
                              std::string_view new_pin, uint8_t* reply, uint32_t* reply_size) {
    if (2 + response.size() + std::min(new_pin.size(), unblock_ms_pin_max) >
        cmd_get_chunk_size(device))
        return {cmd_bad_length};
    cmd_built b = build_unblock_pin_ms(app, response, new_pin);
    const cmd_result sent = send_built(device, b);
    if (!sent.ok() || !reply_size) return sent;
    return sent.with(cmd_copy_reply(*b.command, reply, reply_size));
}

cmd_result cmd_remote_unblock_pin(device_id device, uint16_t app, std::span<const uint8_t> data) {
    if (2 + data.size() > cmd_get_chunk_size(device)) return {cmd_bad_length};
    return send_simple(device, build_remote_unblock_pin(app, data));
}

cmd_result cmd_reload_pin(const sm_mac_callback& mac, device_id device,
                          std::span<const uint8_t, sm_iv_size> key, uint16_t app,
                          std::string_view new_pin, uint32_t* mac_error) {
    cmd_built b = build_reload_pin(mac, key, app, new_pin);
    return send_built(device, b, mac_error);
}

cmd_result cmd_clear_secure_state(device_id device, uint16_t app) {
    return send_simple(device, build_clear_secure_state(app));
}
