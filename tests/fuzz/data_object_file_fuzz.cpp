// libFuzzer target for what the module reads from a token's data-object
// files: the first 52 bytes are a file header, the rest a device file list.
// Nothing may be read out of bounds; a header taken as an object must parse
// into attributes that fit their fields; the name chosen for a new file
// never occurs in the list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "pkcs11_data_objects.h"
#include "pkcs11_object.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzz(std::span<const uint8_t> data) {
    if (data.size() >= data_object_header_size) {
        data_object_header header{};
        std::copy_n(data.begin(), header.size(), header.begin());
        if (data_object_header_usable(header)) {
            check(data_object_header_value_length(header) <= data_object_value_max);
            auto object = pkcs11_object::create(0, CKO_DATA, nullptr, 0);
            check(object != nullptr);
            object_header_parse(header, *object);
            check(object->attributes().find(CKA_LABEL)->length() <= 17);
            check(object->attributes().find(CKA_APPLICATION)->length() <= 17);
            check(object->attributes().find(CKA_OBJECT_ID)->length() == 8);
            // What was parsed builds the same fields again.
            const data_object_header again = object_header_build(*object);
            check(again[44] == header[44] && again[45] == header[45] && again[46] == header[46]);
            check(std::equal(again.begin() + 36, again.begin() + 44,
                             header.begin() + 36));                                  // identifier
            check(std::equal(again.begin() + 48, again.end(), header.begin() + 48)); // value length
        }
        data = data.subspan(data_object_header_size);
    }
    // A copy of exactly the list's size, so that ASan sees any read past it.
    const std::vector<char> list(data.begin(), data.end());
    size_t total = 0;
    for (const std::string& name : data_object_split_names(list)) {
        check(!name.empty());
        total += name.size() + 1;
    }
    check(total <= list.size() + 1);
    const std::string name = data_object_pick_name("PUBOBJ", list);
    std::string text(list.begin(), list.end());
    for (char& c : text)
        if (c == '\0') c = '-';
    check(text.find(name) == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz({data, size});
    return 0;
}
