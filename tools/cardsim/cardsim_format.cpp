// The card's state as it leaves the factory, and as the built-in format
// template leaves it (the state every test token starts from).
#include <algorithm>
#include <cstring>
#include <string>

#include <openssl/rand.h>

#include "dispatch.h"

namespace cardsim {

namespace {

// Device-authentication key every card holds before its first format; the
// host formats with the same key, so it stays after a format too.
constexpr char default_dev_auth_key[] = "7350914826057319";

// OEM identifier written by the manufacturer at bytes 128.. of the OEM area.
constexpr char oem_identifier[] = "vx8100";

constexpr uint32_t factory_capacity = 128 * 1024;

std::string random_serial() {
    uint8_t r[7] = {};
    if (RAND_bytes(r, sizeof r) != 1) return "QVT00000000000000";
    static const char hex[] = "0123456789ABCDEF";
    std::string s = "QVT";
    for (uint8_t b : r) {
        s.push_back(hex[b >> 4]);
        s.push_back(hex[b & 15]);
    }
    return s;
}

application template_application() {
    application app;
    app.id = 1;
    app.name = "APP";
    app.so = pin_state{"pevot", 10, 10, true, 4, 16};
    app.user = pin_state{"58204716", 10, 10, true, 4, 16};
    app.create_file_rights = right_everyone;
    return app;
}

} // namespace

persistent_state initial_state(const card_options& options) {
    persistent_state s;
    device_info& d = s.device;
    d.version = 0x0100;
    d.manufacturer = "Quessar";
    d.serial = random_serial();
    d.hw_major = 2;
    d.hw_minor = 0;
    d.fw_major = 2;
    d.fw_minor = 0;
    // GM/T 0006 algorithm identifiers: SM1, SSF33 and SM4 in every mode;
    // RSA and SM2; SM3, SHA-1 and SHA-256.
    d.sym_cap = 0x0000071F;
    d.asym_cap = 0x00030700;
    d.hash_cap = 0x00000007;
    d.fs_max_capacity = factory_capacity;
    d.total_space = factory_capacity;
    d.hw_serial.assign(d.serial.begin(), d.serial.end());
    if (options.fingerprint_sensor) d.capability_word1 |= 0x0002;

    const std::string& oem_id =
        options.oem_identifier.empty() ? std::string(oem_identifier) : options.oem_identifier;
    std::memcpy(s.oem.data() + 128, oem_id.data(), std::min<size_t>(oem_id.size(), 127));
    std::memcpy(s.dev_auth.key.data(), default_dev_auth_key, 16);
    s.dev_auth.max_tries = s.dev_auth.remaining = 8;

    if (!options.blank) {
        // The built-in format template of the token: label, maker and model,
        // device authentication by SM4-ECB, one application "APP".
        d.issuer = "Quessar";
        d.label = "Oskarvel";
        d.dev_auth_alg = 0x00000401;
        s.applications.push_back(template_application());
        s.next_application_id = 2;
    }
    return s;
}

uint32_t free_space(const persistent_state& s) {
    uint64_t used = 0;
    for (const application& app : s.applications) {
        for (const file_entry& f : app.files)
            used += f.size;
        for (const container& c : app.containers)
            used += c.signature_cert.size() + c.exchange_cert.size() +
                    c.signature.private_der.size() + c.exchange.private_der.size();
    }
    return used >= s.device.total_space ? 0 : static_cast<uint32_t>(s.device.total_space - used);
}

} // namespace cardsim
