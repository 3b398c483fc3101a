#include "cmd_descriptor.h"

#include <memory>

namespace {

int32_t form_without_lc(int32_t form) {
    const int32_t kind = form & 0x0F;
    if (kind == 3) return apdu_case_1;
    if (kind == 4) return (form & ~0x0F) | 0x02; // keeps the extended / automatic marker
    return form;
}

bool has_lc(int32_t form) {
    const int32_t kind = form & 0x0F;
    return kind == 3 || kind == 4;
}

bool has_le(int32_t form) {
    const int32_t kind = form & 0x0F;
    return kind == 2 || kind == 4;
}

} // namespace

apdu_holder cmd_build(const cmd_descriptor& d, uint8_t p1, uint8_t p2,
                      std::span<const uint8_t> data, int32_t le) {
    if (data.size() > static_cast<size_t>(apdu_ext_lc_max)) return nullptr;
    if (!data.empty() && !has_lc(d.form)) return nullptr;
    const int32_t form = data.empty() ? form_without_lc(d.form) : d.form;
    const int32_t wanted = le < 0 ? d.le : le;
    if (wanted > apdu_ext_le_max) return nullptr;
    auto command = std::make_unique<apdu_command>(form, d.cla, d.ins, p1, p2, d.name);
    if (!data.empty() && command->set_data(data) != apdu_ok) return nullptr;
    if (has_le(form)) command->set_le(wanted);
    command->set_timeout(d.timeout_ms);
    return command;
}

apdu_holder cmd_build(const cmd_descriptor& d, std::span<const uint8_t> data, int32_t le) {
    return cmd_build(d, d.p1, d.p2, data, le);
}
