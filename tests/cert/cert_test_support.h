// Test support for the certificate and key parsers: running the OpenSSL
// command line (the oracle), a scratch directory, hex, and a tiny DER writer
// for hand-made certificates.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace certtest {

using bytes = std::vector<uint8_t>;

// A fresh directory under the system temporary directory, removed at exit of
// the test program.
const std::string& scratch_dir();
// Runs a shell command (with the OpenSSL binary found at build time as
// $OPENSSL); returns its standard output; sets *ok to whether it exited 0.
std::string run(const std::string& command, bool* ok = nullptr);
bytes read_file(const std::string& path);
std::string hex(const uint8_t* p, size_t n);
inline std::string hex(const bytes& b) {
    return hex(b.data(), b.size());
}
bytes unhex(const std::string& text);

// DER: tag, minimal definite length, content.
bytes tlv(uint8_t tag, const bytes& content);
bytes cat(std::initializer_list<bytes> parts);
inline bytes seq(std::initializer_list<bytes> parts) {
    return tlv(0x30, cat(parts));
}
bytes oid(const std::string& dotted);

} // namespace certtest
