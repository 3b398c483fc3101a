// Device commands: device information, label, random numbers, device
// authentication.
#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "dispatch.h"
#include "sm4.h"
#include "wire.h"

namespace cardsim {

namespace {

// The most random bytes one GenRandom returns: what fits a 2048-byte reply
// buffer together with the status word.
constexpr uint32_t max_random = 2046;

void put_le32_to(writer& w, uint32_t v) {
    uint8_t b[4];
    put_le32(v, b);
    w.bytes(b);
}

// "GetDevInfo" (80 04 00 00): the 288-byte device record. The four
// capability values go out as stored (little-endian); the rest big-endian.
uint16_t get_dev_info(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    const device_info& d = ctx.card.persistent.device;
    writer w(ctx.reply);
    w.u16(d.version);
    w.u16(0);
    w.fixed_text(d.manufacturer, 64);
    w.fixed_text(d.issuer, 64);
    w.fixed_text(d.label, 32);
    w.fixed_text(d.serial, 32);
    w.u8(d.hw_major);
    w.u8(d.hw_minor);
    w.u8(d.fw_major);
    w.u8(d.fw_minor);
    put_le32_to(w, d.sym_cap);
    put_le32_to(w, d.asym_cap);
    put_le32_to(w, d.hash_cap);
    put_le32_to(w, d.dev_auth_alg);
    w.u32(d.total_space);
    w.u32(free_space(ctx.card.persistent));
    w.u16(static_cast<uint16_t>(std::min<size_t>(ctx.card.options.max_buffer_size, 0xFFFF)));
    w.u16(d.capability_word1);
    w.u16(d.capability_word2);
    w.zeros(dev_info_reply_size - ctx.reply.size());
    return sw::ok;
}

// "GetShortDevInfo" (80 04 01 00): 68 bytes: serial number (32), the
// device's name = its label (32), hardware and firmware version (4).
uint16_t get_short_dev_info(command_context& ctx) {
    if (!ctx.data.empty()) return sw::wrong_length;
    const device_info& d = ctx.card.persistent.device;
    writer w(ctx.reply);
    w.fixed_text(d.serial, 32);
    w.fixed_text(d.label, 32);
    w.u8(d.hw_major);
    w.u8(d.hw_minor);
    w.u8(d.fw_major);
    w.u8(d.fw_minor);
    return sw::ok;
}

// "SetLabel" (80 02 00 00, E-Lc): the label text without terminator, 1 to
// 32 bytes; a text of NULs sets an empty label. A header-only command is not
// the command's form: 6700.
uint16_t set_label(command_context& ctx) {
    if (ctx.data.empty() || ctx.data.size() > 32) return sw::wrong_length;
    ctx.card.persistent.device.label = text_of(ctx.data);
    ctx.persistent_changed();
    return sw::ok;
}

// "GenRandom" (80 50 00 00, Le = count): exactly Le random bytes. The first
// 8 become the card challenge for the next authentication; a shorter request
// leaves no challenge.
uint16_t gen_random(command_context& ctx) {
    const uint32_t n = ctx.apdu.ne;
    if (!ctx.data.empty() || n == 0 || n > max_random) return sw::wrong_length;
    ctx.reply.resize(n);
    if (RAND_bytes(ctx.reply.data(), static_cast<int>(n)) != 1) {
        ctx.reply.clear();
        return sw::unknown_error;
    }
    auto& challenge = ctx.card.vol.challenge;
    challenge.reset();
    if (n >= challenge_size) {
        challenge.emplace();
        std::copy_n(ctx.reply.begin(), challenge_size, challenge->begin());
    }
    return sw::ok;
}

// "DevAuth" (80 10 00 key-id): 16 bytes = SM4-ECB(device key, challenge ||
// 00 x 8). The challenge is used once, whatever the outcome.
uint16_t dev_auth(command_context& ctx) {
    if (ctx.data.size() != 16) return sw::wrong_length;
    dev_auth_key& key = ctx.card.persistent.dev_auth;
    if (key.remaining == 0) return 0x6983;
    auto& challenge = ctx.card.vol.challenge;
    if (!challenge) return sw::conditions_not_satisfied;
    std::array<uint8_t, 16> block{};
    std::copy(challenge->begin(), challenge->end(), block.begin());
    challenge.reset();
    std::array<uint8_t, 16> expected{};
    if (!sm4_ecb_encrypt(key.key, block, expected)) return sw::unknown_error;
    if (CRYPTO_memcmp(expected.data(), ctx.data.data(), 16) == 0) {
        ctx.card.vol.dev_authenticated = true;
        if (key.remaining != key.max_tries) {
            key.remaining = key.max_tries;
            ctx.persistent_changed();
        }
        return sw::ok;
    }
    ctx.card.vol.dev_authenticated = false;
    --key.remaining;
    ctx.persistent_changed();
    return static_cast<uint16_t>(0x63C0 | std::min<uint8_t>(key.remaining, 15));
}

constexpr command_row rows[] = {
    {0x80, 0x02, 0x00, 0x00, "SetLabel", set_label, false},
    {0x80, 0x04, 0x00, 0x00, "GetDevInfo", get_dev_info, false},
    {0x80, 0x04, 0x01, 0x00, "GetShortDevInfo", get_short_dev_info, false},
    {0x80, 0x50, 0x00, 0x00, "GenRandom", gen_random, false},
    {0x80, 0x10, 0x00, any_p, "DevAuth", dev_auth, false},
};

} // namespace

std::span<const command_row> device_commands() {
    return rows;
}

} // namespace cardsim
