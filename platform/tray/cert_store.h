// Stands in for the current user's system certificate stores "MY", "ROOT"
// and "CA" (CertOpenSystemStore, CertAddEncodedCertificateToStore with
// CERT_STORE_ADD_REPLACE_EXISTING, CERT_KEY_PROV_INFO_PROP_ID, and
// CertDeleteCertificateFromStore).
//
// Each store is a directory under the store root ($TAVREL_CERTSTORE when
// set, else <app data>/Tavrel/certstore). A certificate is <sha1>.der (its
// DER encoding, named by its SHA-1 thumbprint in lower-case hex), with an
// optional <sha1>.props beside it holding the link to a provider's key:
//
//   provider=<provider name>
//   container=<key container name>
//   keyspec=<1 exchange, 2 signature>
//
// This store is ours alone: nothing is ever written into the system's trust
// (p11-kit anchors, NSS databases), so a token's self-signed certificate
// never becomes trusted for the whole desktop.
//
// Every change and every listing runs under an flock of <root>/.lock, and
// every file is replaced atomically, so two writers (two programs, or two
// threads) never lose or tear each other's entries.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

struct cert_properties {
    std::string provider;
    std::string container;
    uint32_t key_spec = 0;
};

struct cert_entry {
    std::string store;    // "MY", "ROOT" or "CA"
    std::string sha1_hex; // thumbprint, lower-case hex
    std::string subject;  // one-line distinguished name (UTF-8)
    std::vector<uint8_t> der;
    std::optional<cert_properties> properties;
};

enum class store_result {
    ok,
    bad_store,       // not "MY", "ROOT" or "CA"
    bad_certificate, // not one DER-encoded X.509 certificate
    bad_argument,    // a property text with a line break or NUL, a key spec other than 1 or 2
    failed,          // no store root, or a file could not be written or read
};

// The store root; empty when none can be determined.
std::string cert_store_root();

// "MY", "ROOT" or "CA" for any case of those names; nothing otherwise.
std::optional<std::string> canonical_store_name(std::string_view name);

// Adds the certificate (replacing an entry with the same thumbprint, and its
// properties). With `properties` the entry is linked to that provider's key.
store_result cert_store_add(std::string_view store, std::span<const uint8_t> der,
                            const cert_properties* properties);

// Removes every entry of the store linked to that provider (exact name).
store_result cert_store_remove_by_provider(std::string_view store, std::string_view provider,
                                           size_t* removed = nullptr);

// The store's entries, ordered by thumbprint. Files that are not entries
// (temporary files, a .der that does not parse) are skipped.
store_result cert_store_list(std::string_view store, std::vector<cert_entry>& out);

// SHA-1 thumbprint (lower-case hex) and one-line subject of a certificate;
// false when the bytes are not exactly one DER certificate.
bool describe_certificate(std::span<const uint8_t> der, std::string* sha1_hex,
                          std::string* subject);

} // namespace plat
