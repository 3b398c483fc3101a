#include "cert_test_support.h"

#include "test_hex.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace certtest {

namespace {
struct scratch {
    std::string path;
    scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "certtest.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path = pattern;
    }
    ~scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};
} // namespace

const std::string& scratch_dir() {
    static scratch dir;
    return dir.path;
}

std::string run(const std::string& command, bool* ok) {
    const std::string full =
        "cd '" + scratch_dir() + "' && OPENSSL='" OPENSSL_EXECUTABLE "' && " + command;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        if (ok) *ok = false;
        return {};
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe);
    if (ok) *ok = status == 0;
    return out;
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

std::string hex(const uint8_t* p, size_t n) {
    return test_support::to_hex(p, n);
}

bytes unhex(const std::string& text) {
    return test_support::from_hex(text);
}

bytes tlv(uint8_t tag, const bytes& content) {
    bytes out{tag};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        bytes len;
        for (size_t v = n; v != 0; v >>= 8)
            len.insert(len.begin(), static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(0x80 | len.size()));
        out.insert(out.end(), len.begin(), len.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes oid(const std::string& dotted) {
    std::vector<uint64_t> arcs;
    std::stringstream in(dotted);
    std::string part;
    while (std::getline(in, part, '.'))
        arcs.push_back(std::stoull(part));
    bytes content;
    auto put = [&](uint64_t v) {
        bytes chunk{static_cast<uint8_t>(v & 0x7F)};
        for (v >>= 7; v != 0; v >>= 7)
            chunk.insert(chunk.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
        content.insert(content.end(), chunk.begin(), chunk.end());
    };
    put(arcs.at(0) * 40 + arcs.at(1));
    for (size_t i = 2; i < arcs.size(); ++i)
        put(arcs[i]);
    return tlv(0x06, content);
}

} // namespace certtest

#include "cert_builder.h"

namespace certtest {

const bytes& rsa_spki() {
    static const bytes spki = [] {
        bool ok = false;
        run("$OPENSSL genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out spki.key "
            "2>/dev/null && "
            "$OPENSSL pkey -in spki.key -pubout -outform DER -out spki.der",
            &ok);
        if (!ok) throw std::runtime_error("openssl could not make an RSA key");
        return read_file(scratch_dir() + "/spki.der");
    }();
    return spki;
}

} // namespace certtest
