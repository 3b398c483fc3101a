#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include <openssl/sha.h>

#include "soak.h"

namespace soak {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string rv_name(CK_RV rv) {
    static const std::map<CK_RV, const char*> names = {
        {CKR_OK, "CKR_OK"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID"},
        {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
        {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
        {CKR_OPERATION_NOT_INITIALIZED, "CKR_OPERATION_NOT_INITIALIZED"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
        {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
        {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_SIGNATURE_INVALID, "CKR_SIGNATURE_INVALID"},
    };
    if (const auto it = names.find(rv); it != names.end()) return it->second;
    char text[24];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(rv));
    return text;
}

std::string hex(const bytes& b) {
    std::string out;
    char two[3];
    for (uint8_t v : b) {
        std::snprintf(two, sizeof two, "%02X", v);
        out += two;
    }
    return out;
}

std::string reader_name(int index) {
    return index == 0 ? "Quessar vKessa Tavrel 00 00" : "Quessar vKessa Tavrel 00 01";
}

std::string label_for(int worker, uint64_t sequence) {
    char text[40];
    std::snprintf(text, sizeof text, "s%d-%09llu%s", worker,
                  static_cast<unsigned long long>(sequence), sequence % 2 == 1 ? "-twentyb" : "");
    return text;
}

bytes value_for(const std::string& label) {
    uint8_t seed[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const uint8_t*>(label.data()), label.size(), seed);
    const size_t n = 16 + (static_cast<size_t>(seed[0]) << 8 | seed[1]) % 700;
    bytes out;
    for (uint32_t block = 0; out.size() < n; ++block) {
        uint8_t input[SHA256_DIGEST_LENGTH + 4];
        std::memcpy(input, seed, sizeof seed);
        std::memcpy(input + sizeof seed, &block, 4);
        uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(input, sizeof input, digest);
        out.insert(out.end(), digest, digest + sizeof digest);
    }
    out.resize(n);
    return out;
}

// Three: the card has room for 32 files, its two workers keep up to 20 data
// objects and the module five files of its own and of the key containers; two
// recyclers racing may leave two objects on a label for a moment.
const std::vector<std::string>& recycle_labels() {
    static const std::vector<std::string> labels = {"rc-0", "rc-1", "rc-2"};
    return labels;
}

bool is_recycle_label(const std::string& label) {
    const auto& all = recycle_labels();
    return std::find(all.begin(), all.end(), label) != all.end();
}

bytes tagged_value(const std::string& label, const std::string& tag) {
    bytes out(tag.begin(), tag.end());
    out.push_back(':');
    const bytes rest = value_for(identity_of(label, tag));
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

std::string tag_of(const bytes& value) {
    const auto colon = std::find(value.begin(), value.end(), ':');
    const std::string tag(value.begin(), colon);
    // w<digits>-<9 digits>
    const size_t dash = tag.find('-');
    const auto digits = [&](size_t from, size_t to) {
        return from < to && std::all_of(tag.begin() + static_cast<long>(from),
                                        tag.begin() + static_cast<long>(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    if (colon == value.end() || tag.empty() || tag[0] != 'w' || dash == std::string::npos ||
        !digits(1, dash) || tag.size() - dash - 1 != 9 || !digits(dash + 1, tag.size()))
        return {};
    return tag;
}

std::string tag_for(int process, uint64_t sequence) {
    char text[40];
    std::snprintf(text, sizeof text, "w%d-%09llu", process,
                  static_cast<unsigned long long>(sequence));
    return text;
}

std::string identity_of(const std::string& label, const std::string& tag) {
    return label + "/" + tag;
}

std::string label_text(const bytes& label) {
    return std::string(label.begin(), std::find(label.begin(), label.end(), 0));
}

bool is_stale_failure(const std::string& result) {
    return result == "STALE_READ" || result == "STALE_DESTROY" || result == "STALE_SIGN" ||
           result == "HANDLE_REUSED";
}

CK_RV slot_of(CK_FUNCTION_LIST* f, const std::string& serial, CK_SLOT_ID& slot) {
    CK_ULONG n = 0;
    if (CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n); rv != CKR_OK) return rv;
    std::vector<CK_SLOT_ID> slots(n);
    if (CK_RV rv = f->C_GetSlotList(CK_TRUE, slots.data(), &n); rv != CKR_OK) return rv;
    slots.resize(n);
    for (CK_SLOT_ID s : slots) {
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(s, &info) != CKR_OK) continue;
        std::string text(reinterpret_cast<const char*>(info.serialNumber), 16);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
            text.pop_back();
        if (text == serial) {
            slot = s;
            return CKR_OK;
        }
    }
    return CKR_TOKEN_NOT_PRESENT;
}

std::vector<CK_OBJECT_HANDLE> find_data(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                        const std::string* label, CK_RV* rv) {
    static CK_OBJECT_CLASS data = CKO_DATA;
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &data, sizeof data}};
    if (label != nullptr) t.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
    return find_objects(f, s, std::move(t), rv);
}

uint64_t sequence_of(const std::string& label) {
    const size_t slash = label.rfind('/'); // an identity: the tag's sequence
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dash = label.find('-', start);
    if (dash == std::string::npos) return 0;
    return std::strtoull(label.c_str() + dash + 1, nullptr, 10);
}

journal read_journal(const std::string& path) {
    journal j;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        int64_t when = 0;
        std::string tag, label;
        if (!(fields >> when >> tag >> label)) continue; // a line cut by a kill
        j.next_sequence = std::max(j.next_sequence, sequence_of(label) + 1);
        if (tag == "B" || tag == "BD" || tag == "F" || tag == "FD") {
            j.live.erase(label);
            j.doubtful.insert(label);
        } else if (tag == "C") {
            j.doubtful.erase(label);
            j.live[label] = when;
        } else if (tag == "D" || tag == "X") {
            j.doubtful.erase(label);
            j.live.erase(label);
            j.destroyed.insert(label);
        }
    }
    return j;
}

std::map<std::string, std::string> options(int argc, char** argv) {
    std::map<std::string, std::string> out;
    for (int i = 2; i + 1 < argc; i += 2)
        if (std::strncmp(argv[i], "--", 2) == 0) out[argv[i] + 2] = argv[i + 1];
    return out;
}

} // namespace soak
