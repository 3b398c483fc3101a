// The soak's final check: a fresh process reads every data object of both
// tokens and compares them with the workers' and the recyclers' journals.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "soak.h"
#include "wait_until.h"

namespace soak {

namespace {

struct on_card {
    std::vector<bytes> values; // one per object with that label
};

// The token's RSA keys: label -> class -> moduli.
using key_moduli = std::map<std::string, std::map<CK_OBJECT_CLASS, std::multiset<bytes>>>;

// Every data object of the token with that serial number: label -> values;
// and its keys.
CK_RV read_token(CK_FUNCTION_LIST* f, const std::string& serial,
                 std::map<std::string, on_card>& objects, key_moduli& keys) {
    CK_SLOT_ID slot = 0;
    if (CK_RV rv = slot_of(f, serial, slot); rv != CKR_OK) return rv;
    CK_SESSION_HANDLE s = 0;
    if (CK_RV rv =
            f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
        rv != CKR_OK)
        return rv;
    const char* pin = "58204716";
    CK_RV rv = f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                          std::strlen(pin));
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return rv;
    const auto handles = find_data(f, s, nullptr, &rv);
    if (rv != CKR_OK) return rv;
    for (CK_OBJECT_HANDLE h : handles) {
        bytes label, value;
        if ((rv = attribute_value(f, s, h, CKA_LABEL, label)) != CKR_OK) return rv;
        if ((rv = attribute_value(f, s, h, CKA_VALUE, value)) != CKR_OK) return rv;
        objects[std::string(label.begin(), label.end())].values.push_back(value);
    }
    for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        for (CK_OBJECT_HANDLE h : find_objects(f, s, {{CKA_CLASS, &cls, sizeof cls}}, &rv)) {
            bytes label, modulus;
            if ((rv = attribute_value(f, s, h, CKA_LABEL, label)) != CKR_OK) return rv;
            if ((rv = attribute_value(f, s, h, CKA_MODULUS, modulus)) != CKR_OK) return rv;
            keys[label_text(label)][cls].insert(modulus);
        }
        if (rv != CKR_OK) return rv;
    }
    f->C_CloseSession(s);
    return CKR_OK;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// What the recyclers' journals say together: a creation one of them made
// another may have destroyed. Destroyed wins over doubtful, doubtful over
// live: a creation's tag is never used again.
struct merged_journal {
    std::map<std::string, int64_t> live; // identity (label/tag) -> when known to exist
    std::set<std::string> doubtful, destroyed;
};

merged_journal merge_journals(const std::string& dir, int first, int count) {
    merged_journal m;
    for (int w = first; w < first + count; ++w) {
        const journal j = read_journal(dir + "/w" + std::to_string(w) + ".journal");
        m.live.insert(j.live.begin(), j.live.end());
        m.doubtful.insert(j.doubtful.begin(), j.doubtful.end());
        m.destroyed.insert(j.destroyed.begin(), j.destroyed.end());
    }
    for (const std::string& identity : m.destroyed) {
        m.doubtful.erase(identity);
        m.live.erase(identity);
    }
    for (const std::string& identity : m.doubtful)
        m.live.erase(identity);
    return m;
}

// The recyclers' objects on their token against their journals, identified
// by label and the tag their value starts with.
void check_recycled(const std::map<std::string, on_card>& objects, const key_moduli& keys,
                    const merged_journal& m, std::map<std::string, int>& counts) {
    std::map<std::string, int> present; // identity -> objects
    for (const std::string& label : recycle_labels()) {
        const auto it = objects.find(label);
        if (it == objects.end()) continue;
        for (const bytes& v : it->second.values) {
            const std::string tag = tag_of(v);
            if (tag.empty() || v != tagged_value(label, tag)) {
                ++counts["recycled_corrupted"];
                std::printf("recycled_corrupted %s %s\n", label.c_str(), hex(v).c_str());
            }
            if (!tag.empty()) ++present[identity_of(label, tag)];
        }
    }
    const auto duplicated = [&](const std::string& identity, int n) {
        if (n <= 1) return;
        ++counts["recycled_duplicated"];
        std::printf("recycled_duplicated %s (%d objects)\n", identity.c_str(), n);
    };
    for (const auto& [identity, when] : m.live) {
        ++counts["recycled_expected"];
        const int n = present.count(identity) != 0 ? present.at(identity) : 0;
        if (n == 0) {
            ++counts["recycled_lost"];
            std::printf("recycled_lost %s (known since %lld)\n", identity.c_str(),
                        static_cast<long long>(when));
            continue;
        }
        ++counts["recycled_found"];
        duplicated(identity, n);
    }
    for (const std::string& identity : m.doubtful) {
        const int n = present.count(identity) != 0 ? present.at(identity) : 0;
        ++counts[n == 0 ? "recycled_doubtful_absent" : "recycled_doubtful_present"];
        duplicated(identity, n);
    }
    for (const auto& [identity, n] : present) {
        if (m.live.count(identity) != 0 || m.doubtful.count(identity) != 0) continue;
        const bool destroyed = m.destroyed.count(identity) != 0;
        ++counts[destroyed ? "recycled_destroyed_present" : "recycled_unknown"];
        std::printf("%s %s\n", destroyed ? "recycled_destroyed_present" : "recycled_unknown",
                    identity.c_str());
    }
    // Every key but the workers' is the recyclers'. A public key goes with
    // its private key: they come and go in pairs. A pair of another label
    // than the one it was generated with lost it (recycle_key).
    for (const auto& [label, by_class] : keys) {
        if (label == worker_key_label) continue;
        const std::multiset<bytes> none;
        const auto& priv =
            by_class.count(CKO_PRIVATE_KEY) != 0 ? by_class.at(CKO_PRIVATE_KEY) : none;
        const auto& pub = by_class.count(CKO_PUBLIC_KEY) != 0 ? by_class.at(CKO_PUBLIC_KEY) : none;
        for (const bytes& n : priv)
            ++counts[pub.count(n) == 1 ? "recycled_key_pairs" : "recycled_key_unpaired"];
        for (const bytes& n : pub)
            if (priv.count(n) != 1) ++counts["recycled_key_unpaired"];
        if (label == recycle_key_label) continue;
        counts["recycled_key_relabelled"] += static_cast<int>(priv.size());
        std::printf("recycled_key_relabelled %s (%zu private, %zu public)\n", label.c_str(),
                    priv.size(), pub.size());
    }
}

// The recyclers' probes of old handles, and what they found wrong (their logs).
void count_probes(const std::string& dir, int first, int count,
                  std::map<std::string, int>& counts) {
    for (int w = first; w < first + count; ++w) {
        std::ifstream in(dir + "/w" + std::to_string(w) + ".log");
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            int64_t t = 0;
            std::string op, result;
            if (!(fields >> t >> op >> result) || op.rfind("probe_", 0) != 0) continue;
            ++counts["stale_probes"];
            if (is_stale_failure(result)) ++counts["stale_failures"];
        }
    }
}

} // namespace

// check --module M --out DIR --workers N --recyclers R: worker w < N used
// token w / (N / 2); the recyclers, w = N .. N + R - 1, used recycle_token.
// Prints "name value" lines: objects lost, duplicated, corrupted, ...
int run_check(int argc, char** argv) {
    auto o = options(argc, argv);
    loaded_module mod;
    std::string error;
    if (!mod.load(o["module"].c_str(), &error)) {
        std::fprintf(stderr, "check: %s\n", error.c_str());
        return 2;
    }
    const std::string dir = o["out"];
    const int workers = std::stoi(o["workers"]);
    const int recyclers = o.count("recyclers") != 0 ? std::stoi(o["recyclers"]) : 0;
    if (mod.f->C_Initialize(nullptr) != CKR_OK) return 2;
    std::map<std::string, int> counts;
    for (const char* name : {"expected", "found", "lost", "duplicated", "corrupted",
                             "doubtful_present", "doubtful_absent", "destroyed_present", "unknown"})
        counts[name] = 0;
    if (recyclers > 0) {
        for (const char* name :
             {"recycled_expected", "recycled_found", "recycled_lost", "recycled_duplicated",
              "recycled_corrupted", "recycled_doubtful_present", "recycled_doubtful_absent",
              "recycled_destroyed_present", "recycled_unknown", "recycled_key_pairs",
              "recycled_key_unpaired", "recycled_key_relabelled", "stale_probes", "stale_failures"})
            counts[name] = 0;
        count_probes(dir, workers, recyclers, counts);
    }
    for (int token = 0; token < 2; ++token) {
        std::map<std::string, on_card> objects;
        key_moduli keys;
        const std::string serial = first_line(dir + "/token" + std::to_string(token) + ".serial");
        // The token may still be coming back from the last fault.
        CK_RV rv = CKR_OK;
        test_support::wait_until(
            [&] {
                objects.clear();
                keys.clear();
                return (rv = read_token(mod.f, serial, objects, keys)) == CKR_OK;
            },
            std::chrono::seconds(10), std::chrono::milliseconds(500));
        if (rv != CKR_OK) {
            std::printf("token%d_unreadable %s\n", token, rv_name(rv).c_str());
            ++counts["unreadable_tokens"];
            continue;
        }
        const bool recycled = recyclers > 0 && token == recycle_token;
        if (recycled)
            check_recycled(objects, keys, merge_journals(dir, workers, recyclers), counts);
        std::set<std::string> known;
        for (int w = 0; w < workers; ++w) {
            if (w / (workers / 2) != token) continue;
            const journal j = read_journal(dir + "/w" + std::to_string(w) + ".journal");
            for (const auto& [label, when] : j.live) {
                known.insert(label);
                ++counts["expected"];
                const auto it = objects.find(label);
                if (it == objects.end()) {
                    ++counts["lost"];
                    std::printf("lost %s (known since %lld)\n", label.c_str(),
                                static_cast<long long>(when));
                    continue;
                }
                ++counts["found"];
                if (it->second.values.size() > 1) ++counts["duplicated"];
                for (const bytes& v : it->second.values)
                    if (v != value_for(label)) ++counts["corrupted"];
            }
            for (const std::string& label : j.doubtful) {
                known.insert(label);
                const auto it = objects.find(label);
                if (it == objects.end()) {
                    ++counts["doubtful_absent"];
                    continue;
                }
                ++counts["doubtful_present"];
                if (it->second.values.size() > 1) ++counts["duplicated"];
                for (const bytes& v : it->second.values)
                    if (v != value_for(label)) ++counts["corrupted"];
            }
            for (const std::string& label : j.destroyed) {
                if (j.live.count(label) != 0 || j.doubtful.count(label) != 0) continue;
                known.insert(label);
                if (objects.count(label) != 0) {
                    ++counts["destroyed_present"];
                    std::printf("destroyed_present %s\n", label.c_str());
                }
            }
        }
        for (const auto& [label, card] : objects)
            if (known.count(label) == 0 && !(recycled && is_recycle_label(label))) {
                ++counts["unknown"];
                std::printf("unknown %s\n", label.c_str());
            }
    }
    mod.f->C_Finalize(nullptr);
    for (const auto& [name, n] : counts)
        std::printf("%s %d\n", name.c_str(), n);
    return 0;
}

} // namespace soak
