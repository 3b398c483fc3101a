// The soak's final check: a fresh process reads every data object of both
// tokens and compares them with the workers' journals.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "soak.h"
#include "wait_until.h"

namespace soak {

namespace {

struct on_card {
    std::vector<bytes> values; // one per object with that label
};

// Every data object of the token with that serial number: label -> values.
CK_RV read_token(CK_FUNCTION_LIST* f, const std::string& serial,
                 std::map<std::string, on_card>& objects) {
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
    f->C_CloseSession(s);
    return CKR_OK;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

// check --module M --out DIR --workers N: worker w used token w / (N / 2).
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
    if (mod.f->C_Initialize(nullptr) != CKR_OK) return 2;
    std::map<std::string, int> counts;
    for (const char* name : {"expected", "found", "lost", "duplicated", "corrupted",
                             "doubtful_present", "doubtful_absent", "destroyed_present", "unknown"})
        counts[name] = 0;
    for (int token = 0; token < 2; ++token) {
        std::map<std::string, on_card> objects;
        const std::string serial = first_line(dir + "/token" + std::to_string(token) + ".serial");
        // The token may still be coming back from the last fault.
        CK_RV rv = CKR_OK;
        test_support::wait_until(
            [&] {
                objects.clear();
                return (rv = read_token(mod.f, serial, objects)) == CKR_OK;
            },
            std::chrono::seconds(10), std::chrono::milliseconds(500));
        if (rv != CKR_OK) {
            std::printf("token%d_unreadable %s\n", token, rv_name(rv).c_str());
            ++counts["unreadable_tokens"];
            continue;
        }
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
            if (known.count(label) == 0) {
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
