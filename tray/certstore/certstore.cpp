// certstore list [STORE]: prints what the per-user certificate store holds,
// one line per certificate, fields separated by tabs:
//   store, SHA-1 thumbprint (hex), subject, provider, container, key spec
// A certificate not linked to a provider shows "-" in the last three fields.
#include <cstdio>
#include <string>
#include <vector>

#include "cert_store.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: certstore list [MY|ROOT|CA]\n");
    return 2;
}

std::string field(const std::string& s) {
    std::string out;
    for (char c : s)
        out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    return out.empty() ? "-" : out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::string(argv[1]) != "list") return usage();
    std::vector<std::string> stores{"MY", "ROOT", "CA"};
    if (argc == 3) {
        const auto name = plat::canonical_store_name(argv[2]);
        if (!name) {
            std::fprintf(stderr, "certstore: unknown store \"%s\" (MY, ROOT or CA)\n", argv[2]);
            return 2;
        }
        stores = {*name};
    }
    int status = 0;
    for (const std::string& store : stores) {
        std::vector<plat::cert_entry> entries;
        if (plat::cert_store_list(store, entries) != plat::store_result::ok) {
            std::fprintf(stderr, "certstore: the store %s cannot be read\n", store.c_str());
            status = 1;
            continue;
        }
        for (const plat::cert_entry& e : entries) {
            const bool linked = e.properties.has_value();
            std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", e.store.c_str(), e.sha1_hex.c_str(),
                        field(e.subject).c_str(),
                        linked ? field(e.properties->provider).c_str() : "-",
                        linked ? field(e.properties->container).c_str() : "-",
                        linked ? std::to_string(e.properties->key_spec).c_str() : "-");
        }
    }
    return status;
}
