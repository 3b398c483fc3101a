#include "image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "wire.h"

namespace cardsim {

namespace {

constexpr char magic[8] = {'Q', 'V', 'T', 'C', 'A', 'R', 'D', '\n'};
constexpr size_t max_image_payload = 16 * 1024 * 1024;

bool sha256(std::span<const uint8_t> in, uint8_t out[32]) {
    unsigned int n = 0;
    return EVP_Digest(in.data(), in.size(), out, &n, EVP_sha256(), nullptr) == 1 && n == 32;
}

// ---- writing ----

void put_blob(writer& w, std::span<const uint8_t> b) {
    w.u32(static_cast<uint32_t>(b.size()));
    w.bytes(b);
}
void put_text(writer& w, const std::string& s) {
    put_blob(w, std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}
void put_pin(writer& w, const pin_state& p) {
    put_text(w, p.text);
    w.u8(p.max_retries);
    w.u8(p.remaining);
    w.u8(p.is_default ? 1 : 0);
    w.u8(p.min_length);
    w.u8(p.max_length);
}
void put_key(writer& w, const key_pair& k) {
    w.u8(static_cast<uint8_t>(k.kind));
    w.u32(k.bits);
    put_blob(w, k.private_der);
}

void put_state(writer& w, const persistent_state& s) {
    const device_info& d = s.device;
    w.u16(d.version);
    put_text(w, d.manufacturer);
    put_text(w, d.issuer);
    put_text(w, d.label);
    put_text(w, d.serial);
    w.u8(d.hw_major);
    w.u8(d.hw_minor);
    w.u8(d.fw_major);
    w.u8(d.fw_minor);
    w.u32(d.sym_cap);
    w.u32(d.asym_cap);
    w.u32(d.hash_cap);
    w.u32(d.dev_auth_alg);
    w.u32(d.total_space);
    w.u16(d.capability_word1);
    w.u16(d.capability_word2);
    w.u32(d.fs_max_capacity);
    put_blob(w, d.hw_serial);
    w.bytes(s.oem);
    w.bytes(s.dev_auth.key);
    w.u8(s.dev_auth.max_tries);
    w.u8(s.dev_auth.remaining);
    w.u16(s.next_application_id);
    w.u32(static_cast<uint32_t>(s.applications.size()));
    for (const application& a : s.applications) {
        w.u16(a.id);
        put_text(w, a.name);
        put_pin(w, a.so);
        put_pin(w, a.user);
        w.u32(a.create_file_rights);
        w.u16(a.next_container_id);
        w.u8(a.fingerprint.enrolled ? 1 : 0);
        w.u8(a.fingerprint.max_tries);
        w.u8(a.fingerprint.remaining);
        w.u32(static_cast<uint32_t>(a.files.size()));
        for (const file_entry& f : a.files) {
            put_text(w, f.name);
            w.u32(f.read_rights);
            w.u32(f.write_rights);
            put_blob(w, f.content); // its length is the file size
        }
        w.u32(static_cast<uint32_t>(a.containers.size()));
        for (const container& c : a.containers) {
            w.u16(c.id);
            put_text(w, c.name);
            put_key(w, c.signature);
            put_key(w, c.exchange);
            put_blob(w, c.signature_cert);
            put_blob(w, c.exchange_cert);
        }
    }
}

// ---- reading: every length checked against its bound ----

bool get_blob(reader& r, size_t bound, std::vector<uint8_t>& out) {
    const uint32_t n = r.u32();
    if (!r.ok() || n > bound) return false;
    auto b = r.bytes(n);
    if (!r.ok()) return false;
    out.assign(b.begin(), b.end());
    return true;
}
bool get_text(reader& r, size_t bound, std::string& out) {
    std::vector<uint8_t> b;
    if (!get_blob(r, bound, b)) return false;
    out.assign(b.begin(), b.end());
    return true;
}
bool get_pin(reader& r, pin_state& p) {
    if (!get_text(r, max_pin_length, p.text)) return false;
    p.max_retries = r.u8();
    p.remaining = r.u8();
    p.is_default = r.u8() != 0;
    p.min_length = r.u8();
    p.max_length = r.u8();
    return r.ok() && p.remaining <= p.max_retries;
}
bool get_key(reader& r, key_pair& k) {
    const uint8_t kind = r.u8();
    if (kind > static_cast<uint8_t>(key_kind::sm2)) return false;
    k.kind = static_cast<key_kind>(kind);
    k.bits = r.u32();
    return get_blob(r, max_private_key_der, k.private_der);
}

bool get_state(reader& r, persistent_state& s) {
    device_info& d = s.device;
    d.version = r.u16();
    if (!get_text(r, 64, d.manufacturer) || !get_text(r, 64, d.issuer) ||
        !get_text(r, 32, d.label) || !get_text(r, 32, d.serial))
        return false;
    d.hw_major = r.u8();
    d.hw_minor = r.u8();
    d.fw_major = r.u8();
    d.fw_minor = r.u8();
    d.sym_cap = r.u32();
    d.asym_cap = r.u32();
    d.hash_cap = r.u32();
    d.dev_auth_alg = r.u32();
    d.total_space = r.u32();
    d.capability_word1 = r.u16();
    d.capability_word2 = r.u16();
    d.fs_max_capacity = r.u32();
    if (!get_blob(r, max_hw_serial, d.hw_serial)) return false;
    auto oem = r.bytes(oem_area_size);
    auto key = r.bytes(16);
    if (!r.ok()) return false;
    std::copy(oem.begin(), oem.end(), s.oem.begin());
    std::copy(key.begin(), key.end(), s.dev_auth.key.begin());
    s.dev_auth.max_tries = r.u8();
    s.dev_auth.remaining = r.u8();
    s.next_application_id = r.u16();
    const uint32_t app_count = r.u32();
    if (!r.ok() || app_count > max_applications) return false;
    s.applications.resize(app_count);
    for (application& a : s.applications) {
        a.id = r.u16();
        if (!get_text(r, max_app_name, a.name) || !get_pin(r, a.so) || !get_pin(r, a.user))
            return false;
        a.create_file_rights = r.u32();
        a.next_container_id = r.u16();
        a.fingerprint.enrolled = r.u8() != 0;
        a.fingerprint.max_tries = r.u8();
        a.fingerprint.remaining = r.u8();
        const uint32_t file_count = r.u32();
        if (!r.ok() || file_count > max_files_per_app) return false;
        a.files.resize(file_count);
        for (file_entry& f : a.files) {
            if (!get_text(r, max_file_name, f.name)) return false;
            f.read_rights = r.u32();
            f.write_rights = r.u32();
            if (!get_blob(r, max_file_size, f.content)) return false;
            f.size = static_cast<uint32_t>(f.content.size());
        }
        const uint32_t container_count = r.u32();
        if (!r.ok() || container_count > max_containers_per_app) return false;
        a.containers.resize(container_count);
        for (container& c : a.containers) {
            c.id = r.u16();
            if (!get_text(r, max_container_name, c.name) || !get_key(r, c.signature) ||
                !get_key(r, c.exchange) || !get_blob(r, max_certificate_size, c.signature_cert) ||
                !get_blob(r, max_certificate_size, c.exchange_cert))
                return false;
        }
    }
    return r.ok() && r.empty() && s.dev_auth.remaining <= s.dev_auth.max_tries;
}

// Closes the descriptor on every path.
struct fd_holder {
    int fd;
    ~fd_holder() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

std::optional<persistent_state> load_image(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    std::vector<uint8_t> file;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        file.insert(file.end(), buf, buf + in.gcount());
        if (file.size() > max_image_payload + 64) {
            error = path + ": too large for an image";
            return std::nullopt;
        }
    }
    reader r(file);
    auto m = r.bytes(sizeof magic);
    const uint32_t version = r.u32();
    const uint32_t length = r.u32();
    if (!r.ok() || std::memcmp(m.data(), magic, sizeof magic) != 0) {
        error = path + ": not a card image";
        return std::nullopt;
    }
    if (version != image_version) {
        error = path + ": image version " + std::to_string(version) + " is not supported";
        return std::nullopt;
    }
    auto payload = r.bytes(length);
    auto digest = r.bytes(32);
    uint8_t check[32];
    if (!r.ok() || !r.empty() || !sha256(payload, check) ||
        std::memcmp(check, digest.data(), 32) != 0) {
        error = path + ": image damaged";
        return std::nullopt;
    }
    persistent_state s;
    reader p(payload);
    if (!get_state(p, s)) {
        error = path + ": image content invalid";
        return std::nullopt;
    }
    return s;
}

bool save_image(const persistent_state& state, const std::string& path, std::string& error) {
    std::vector<uint8_t> payload;
    writer pw(payload);
    put_state(pw, state);
    std::vector<uint8_t> file;
    writer w(file);
    w.bytes(std::span(reinterpret_cast<const uint8_t*>(magic), sizeof magic));
    w.u32(image_version);
    w.u32(static_cast<uint32_t>(payload.size()));
    w.bytes(payload);
    uint8_t digest[32];
    if (!sha256(payload, digest)) {
        error = "SHA-256 failed";
        return false;
    }
    w.bytes(digest);

    const std::string tmp = path + ".tmp";
    {
        fd_holder f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
        if (f.fd < 0) {
            error = tmp + ": " + std::strerror(errno);
            return false;
        }
        size_t done = 0;
        while (done < file.size()) {
            const ssize_t n = ::write(f.fd, file.data() + done, file.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = tmp + ": " + std::strerror(errno);
                ::unlink(tmp.c_str());
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (::fsync(f.fd) != 0) {
            error = tmp + ": " + std::strerror(errno);
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace cardsim
