// Hand-made certificates: every TBS field as DER that a test may replace.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cert_test_support.h"

namespace certtest {

inline bytes text_value(uint8_t tag, const std::string& s) {
    return tlv(tag, bytes(s.begin(), s.end()));
}

// A Name with one attribute per RDN (UTF8String values).
inline bytes name(std::initializer_list<std::pair<std::string, std::string>> attributes) {
    bytes rdns;
    for (const auto& [type, value] : attributes) {
        const bytes rdn = tlv(0x31, seq({oid(type), text_value(0x0C, value)}));
        rdns.insert(rdns.end(), rdn.begin(), rdn.end());
    }
    return tlv(0x30, rdns);
}

inline bytes bit_string(const bytes& content, uint8_t unused = 0) {
    bytes b{unused};
    b.insert(b.end(), content.begin(), content.end());
    return tlv(0x03, b);
}

inline bytes extension(const std::string& id, bool critical, const bytes& value) {
    return critical ? seq({oid(id), tlv(0x01, {0xFF}), tlv(0x04, value)})
                    : seq({oid(id), tlv(0x04, value)});
}

inline bytes extensions(std::initializer_list<bytes> list) {
    return tlv(0xA3, tlv(0x30, cat(list)));
}

// An EC-style SubjectPublicKeyInfo with an uncompressed 256-bit point.
inline bytes ec_spki(const std::string& algorithm, const std::string& curve) {
    bytes point{0x04};
    for (int i = 0; i < 64; ++i)
        point.push_back(static_cast<uint8_t>(i + 1));
    bytes alg = curve.empty() ? seq({oid(algorithm)}) : seq({oid(algorithm), oid(curve)});
    return seq({alg, bit_string(point)});
}

// RSA SubjectPublicKeyInfo of a 1024-bit key made by OpenSSL once per process.
const bytes& rsa_spki();

struct cert_parts {
    bytes version = tlv(0xA0, tlv(0x02, {0x02}));
    bytes serial = tlv(0x02, {0x01});
    bytes sig_alg = seq({oid("1.2.840.113549.1.1.11"), tlv(0x05, {})});
    bytes issuer = name({{"2.5.4.6", "CN"}, {"2.5.4.3", "Issuer CA"}});
    bytes validity = seq({text_value(0x17, "210305102030Z"), text_value(0x18, "20510101000000Z")});
    bytes subject = name({{"2.5.4.10", "Org"}, {"2.5.4.3", "Subject"}});
    bytes spki = rsa_spki();
    bytes after_key; // unique identifiers and extensions
    bytes outer_alg = seq({oid("1.2.840.113549.1.1.11"), tlv(0x05, {})});
    bytes signature = bit_string({0xAA, 0xBB, 0xCC});
    bytes after_certificate; // padding of a fixed-size file, say

    bytes tbs() const {
        return seq({version, serial, sig_alg, issuer, validity, subject, spki, after_key});
    }
    bytes build() const { return cat({seq({tbs(), outer_alg, signature}), after_certificate}); }
};

} // namespace certtest
