#include "cert_store.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "data_directory.h"
#include "file_util.h"

namespace plat {

namespace {

constexpr size_t certificate_max_bytes = 64 * 1024;
constexpr size_t properties_max_bytes = 16 * 1024;

bool plain_text(std::string_view s) {
    return s.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
}

std::string hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string serialise(const cert_properties& p) {
    return "provider=" + p.provider + "\ncontainer=" + p.container +
           "\nkeyspec=" + std::to_string(p.key_spec) + "\n";
}

std::optional<cert_properties> parse_properties(const std::vector<uint8_t>& bytes) {
    cert_properties p;
    bool has_provider = false;
    std::string text(bytes.begin(), bytes.end());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "provider") {
            p.provider = value;
            has_provider = true;
        } else if (key == "container") {
            p.container = value;
        } else if (key == "keyspec") {
            p.key_spec = value == "1" ? 1 : value == "2" ? 2 : 0;
        }
    }
    if (!has_provider) return std::nullopt;
    return p;
}

std::string store_directory(const std::string& root, const std::string& store) {
    return root + "/" + store;
}

bool is_thumbprint_name(const std::string& name, const char* suffix) {
    const size_t suffix_len = std::char_traits<char>::length(suffix);
    if (name.size() != 40 + suffix_len || name.compare(40, suffix_len, suffix) != 0) return false;
    return std::all_of(name.begin(), name.begin() + 40,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string> thumbprints_in(const std::string& directory) {
    std::vector<std::string> out;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return out;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (is_thumbprint_name(name, ".der")) out.push_back(name.substr(0, 40));
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

std::string cert_store_root() {
    if (const char* root = std::getenv("TAVREL_CERTSTORE"); root != nullptr && *root != '\0')
        return root;
    const std::string base = app_data_directory();
    return base.empty() ? std::string() : base + "/Tavrel/certstore";
}

std::optional<std::string> canonical_store_name(std::string_view name) {
    for (const char* known : {"MY", "ROOT", "CA"})
        if (name.size() == std::char_traits<char>::length(known) &&
            ::strncasecmp(name.data(), known, name.size()) == 0)
            return std::string(known);
    return std::nullopt;
}

bool describe_certificate(std::span<const uint8_t> der, std::string* sha1_hex,
                          std::string* subject) {
    if (der.empty() || der.size() > certificate_max_bytes) return false;
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr) return false;
    const bool whole = p == der.data() + der.size(); // no trailing bytes
    if (whole && sha1_hex != nullptr) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) == 1)
            *sha1_hex = hex(digest, length);
        else
            sha1_hex->clear();
    }
    if (whole && subject != nullptr) {
        subject->clear();
        if (BIO* bio = BIO_new(BIO_s_mem())) {
            const unsigned long flags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB;
            if (X509_NAME_print_ex(bio, X509_get_subject_name(x), 0, flags) >= 0) {
                char* data = nullptr;
                const long n = BIO_get_mem_data(bio, &data);
                if (n > 0) subject->assign(data, static_cast<size_t>(n));
            }
            BIO_free(bio);
        }
    }
    X509_free(x);
    return whole && (sha1_hex == nullptr || !sha1_hex->empty());
}

store_result cert_store_add(std::string_view store, std::span<const uint8_t> der,
                            const cert_properties* properties) {
    const auto name = canonical_store_name(store);
    if (!name) return store_result::bad_store;
    if (properties != nullptr &&
        (!plain_text(properties->provider) || !plain_text(properties->container) ||
         (properties->key_spec != 1 && properties->key_spec != 2)))
        return store_result::bad_argument;
    std::string thumbprint;
    if (!describe_certificate(der, &thumbprint, nullptr)) return store_result::bad_certificate;
    const std::string root = cert_store_root();
    if (root.empty()) return store_result::failed;
    const std::string directory = store_directory(root, *name);
    if (!make_directories(directory)) return store_result::failed;
    file_lock lock(root + "/.lock");
    if (!lock.locked()) return store_result::failed;
    const std::string base = directory + "/" + thumbprint;
    // Properties first: a .der is an entry, so it never shows without the
    // link it was added with.
    if (properties != nullptr) {
        const std::string text = serialise(*properties);
        if (!write_file_atomic(base + ".props",
                               {reinterpret_cast<const uint8_t*>(text.data()), text.size()}))
            return store_result::failed;
    } else {
        ::unlink((base + ".props").c_str());
    }
    return write_file_atomic(base + ".der", der) ? store_result::ok : store_result::failed;
}

store_result cert_store_remove_by_provider(std::string_view store, std::string_view provider,
                                           size_t* removed) {
    if (removed != nullptr) *removed = 0;
    const auto name = canonical_store_name(store);
    if (!name) return store_result::bad_store;
    const std::string root = cert_store_root();
    if (root.empty()) return store_result::failed;
    const std::string directory = store_directory(root, *name);
    if (!make_directories(root)) return store_result::failed;
    file_lock lock(root + "/.lock");
    if (!lock.locked()) return store_result::failed;
    store_result result = store_result::ok;
    for (const std::string& thumbprint : thumbprints_in(directory)) {
        const std::string base = directory + "/" + thumbprint;
        std::vector<uint8_t> bytes;
        if (read_file(base + ".props", bytes, properties_max_bytes) != read_status::ok) continue;
        const auto p = parse_properties(bytes);
        if (!p || p->provider != provider) continue;
        if (::unlink((base + ".der").c_str()) != 0) {
            result = store_result::failed;
            continue;
        }
        ::unlink((base + ".props").c_str());
        if (removed != nullptr) ++*removed;
    }
    return result;
}

store_result cert_store_list(std::string_view store, std::vector<cert_entry>& out) {
    out.clear();
    const auto name = canonical_store_name(store);
    if (!name) return store_result::bad_store;
    const std::string root = cert_store_root();
    if (root.empty()) return store_result::failed;
    const std::string directory = store_directory(root, *name);
    if (::access(directory.c_str(), F_OK) != 0) return store_result::ok; // empty store
    file_lock lock(root + "/.lock");
    if (!lock.locked()) return store_result::failed;
    for (const std::string& thumbprint : thumbprints_in(directory)) {
        const std::string base = directory + "/" + thumbprint;
        cert_entry e;
        e.store = *name;
        if (read_file(base + ".der", e.der, certificate_max_bytes) != read_status::ok) continue;
        std::string computed;
        if (!describe_certificate(e.der, &computed, &e.subject) || computed != thumbprint) continue;
        e.sha1_hex = thumbprint;
        std::vector<uint8_t> bytes;
        if (read_file(base + ".props", bytes, properties_max_bytes) == read_status::ok)
            e.properties = parse_properties(bytes);
        out.push_back(std::move(e));
    }
    return store_result::ok;
}

} // namespace plat
