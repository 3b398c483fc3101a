#include "gm_filters.h"

#include <cstring>

namespace {

char device_filter[1024] =
    "vx8100,vid_055c&pid_db08,vid_055c&pid_e618|vid_055c&pid_f603|vid_055c&pid_2205";
char oem_filter[64] = "vx8100";

template <size_t N> void replace_filter(char (&filter)[N], const char* text) {
    if (text == nullptr || *text == '\0') return;
    size_t length = strnlen(text, N - 1);
    std::memcpy(filter, text, length);
    filter[length] = '\0';
}

} // namespace

uint32_t gm_set_enum_filters(const char* device_filter_text, const char* oem_filter_text) {
    replace_filter(device_filter, device_filter_text);
    replace_filter(oem_filter, oem_filter_text);
    return 0;
}

const char* gm_device_filter() {
    return device_filter;
}
const char* gm_oem_filter() {
    return oem_filter;
}
