#include "pkcs11_storage_records.h"

#include <cstring>
#include <vector>

#include "byte_order.h"

namespace {

constexpr uint32_t container_list_capacity = 1024;

// A container opened for one query, closed on every path.
class open_container {
  public:
    open_container() = default;
    ~open_container() {
        if (handle_ != 0) (void)SKF_CloseContainer(handle_);
    }
    open_container(const open_container&) = delete;
    open_container& operator=(const open_container&) = delete;
    HCONTAINER* out() { return &handle_; }
    HCONTAINER get() const { return handle_; }

  private:
    HCONTAINER handle_ = 0;
};

// NUL-separated names, ended by an empty name or by the end of what the card sent.
std::vector<std::string> split_names(const char* list, size_t size) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < size && list[at] != '\0') {
        size_t length = strnlen(list + at, size - at);
        names.emplace_back(list + at, length);
        at += length + 1;
    }
    return names;
}

uint32_t read_containers(HAPPLICATION application, std::vector<cmap_container>& out) {
    std::vector<char> list(container_list_capacity, '\0');
    uint32_t size = container_list_capacity;
    if (uint32_t rv = SKF_EnumContainer(application, list.data(), &size); rv != SAR_OK) return rv;
    if (size > container_list_capacity) size = container_list_capacity;
    size_t filled = 0;
    for (std::string& name : split_names(list.data(), size)) {
        if (filled == cmap_record_count) break;
        open_container container;
        if (uint32_t rv = SKF_OpenContainer(application, name.c_str(), container.out());
            rv != SAR_OK)
            return rv;
        cmap_container entry;
        if (uint32_t rv = gm_get_container_info(container.get(), &entry.type, &entry.sign_key_bits,
                                                &entry.exch_key_bits, nullptr, nullptr);
            rv != SAR_OK)
            return rv;
        if (entry.type == gm_container_empty) continue;
        entry.name = std::move(name);
        out.push_back(std::move(entry));
        ++filled;
    }
    return SAR_OK;
}

} // namespace

std::array<uint8_t, cmapfile_size> build_cmapfile(std::span<const cmap_container> containers,
                                                  std::string_view default_name) {
    std::array<uint8_t, cmapfile_size> file{};
    size_t filled = 0;
    bool default_marked = false;
    for (const cmap_container& c : containers) {
        if (filled == cmap_record_count) break;
        if (c.type == gm_container_empty) continue;
        uint8_t* record = file.data() + filled * cmap_record_size;
        // Each byte of the name becomes one UTF-16 unit, sign-extended as a
        // char widened to a wide char; a name that leaves no room for the NUL
        // is left out and the GUID stays all zero.
        if (c.name.size() < cmap_guid_units) {
            for (size_t i = 0; i < c.name.size(); ++i) {
                const auto unit =
                    static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(c.name[i])));
                put_le16(unit, record + 2 * i);
            }
        }
        const bool is_default = !default_name.empty() && default_name == c.name;
        default_marked = default_marked || is_default;
        record[80] = is_default ? cmap_default_container : cmap_valid_container;
        record[81] = 0;
        put_le16(c.sign_key_bits & 0xFFFF, record + 82);
        put_le16(c.exch_key_bits & 0xFFFF, record + 84);
        ++filled;
    }
    if (!default_marked && filled > 0) file[80] = cmap_default_container;
    return file;
}

std::array<uint8_t, cardcf_size> next_cardcf(const std::array<uint8_t, cardcf_size>* current) {
    std::array<uint8_t, cardcf_size> file{};
    if (current != nullptr) {
        file = *current;
        file[1] = static_cast<uint8_t>(file[1] + 1);
        put_le16(get_le16(&file[2]) + 1u, &file[2]);
        put_le16(get_le16(&file[4]) + 1u, &file[4]);
    }
    file[0] = 1;
    return file;
}

CK_RV token_update_cardcf(HAPPLICATION application) {
    std::array<uint8_t, cardcf_size> current{};
    const std::array<uint8_t, cardcf_size>* previous = nullptr;
    if (SKF_GetFileInfo(application, cardcf_name, nullptr) != SAR_OK) {
        if (uint32_t rv = SKF_CreateFile(application, cardcf_name, cardcf_size, cardcf_read_rights,
                                         cardcf_write_rights);
            rv != SAR_OK)
            return rv;
    } else {
        // A file shorter than 88 bytes reads short; the missing bytes stay zero.
        uint32_t got = cardcf_size;
        if (uint32_t rv =
                SKF_ReadFile(application, cardcf_name, 0, cardcf_size, current.data(), &got);
            rv != SAR_OK)
            return rv;
        previous = &current;
    }
    const auto file = next_cardcf(previous);
    return SKF_WriteFile(application, cardcf_name, 0, file.data(), cardcf_size);
}

CK_RV token_update_cmapfile(HAPPLICATION application, const char* default_name) {
    if (SKF_GetFileInfo(application, cmapfile_name, nullptr) != SAR_OK) {
        if (uint32_t rv = SKF_CreateFile(application, cmapfile_name, cmapfile_size,
                                         cmapfile_read_rights, cmapfile_write_rights);
            rv != SAR_OK)
            return rv;
    }
    std::vector<cmap_container> containers;
    if (uint32_t rv = read_containers(application, containers); rv != SAR_OK) return rv;
    const auto file = build_cmapfile(containers, default_name != nullptr ? default_name : "");
    if (uint32_t rv = SKF_WriteFile(application, cmapfile_name, 0, file.data(), cmapfile_size);
        rv != SAR_OK)
        return rv;
    return token_update_cardcf(application);
}

plat::send_result copydata_command(std::string_view text, uint32_t timeout_ms) {
    // The receiver reads a NUL-terminated wide string from a fixed buffer.
    if (text.size() >= tray_command_units) return plat::send_result::failed;
    std::array<uint8_t, tray_command_units * 2> buffer{};
    for (size_t i = 0; i < text.size(); ++i)
        put_le16(static_cast<uint8_t>(text[i]), &buffer[2 * i]);
    const plat::window_target tray = plat::find_window(tray_window_class);
    if (!tray) return plat::send_result::no_window;
    return plat::send_copydata(tray, 0, buffer, timeout_ms);
}

void notify_tray_regcert() {
    (void)copydata_command("RegCert");
}
