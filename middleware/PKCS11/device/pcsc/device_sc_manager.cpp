#include "device_sc_manager.h"
#include "pcsc_fork_guard.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// pcsc-lite's pseudo-reader for reader-arrival notifications.
constexpr const char* pnp_notification = "\\\\?PnP?\\Notification";

template <size_t N> void copy_bounded(char (&out)[N], const char* in) {
    std::strncpy(out, in ? in : "", N - 1);
    out[N - 1] = '\0';
}

template <size_t N> void strip_leading_blanks(char (&field)[N]) {
    size_t skip = 0;
    while (field[skip] == ' ' || field[skip] == '\t')
        ++skip;
    if (skip) std::memmove(field, field + skip, std::strlen(field + skip) + 1);
}

device_base* value_of(device_node* node) {
    return node ? node->value() : nullptr;
}

} // namespace

int parse_reader_filter(const char* filter, char (&reader_part)[256], char (&usb_id)[256],
                        char (&usb_id_list)[1024]) {
    reader_part[0] = usb_id[0] = usb_id_list[0] = '\0';
    std::vector<std::string> tokens;
    const std::string text = filter ? filter : "";
    size_t position = 0;
    while (tokens.size() < 3) {
        position = text.find_first_not_of(',', position);
        if (position == std::string::npos) break;
        const size_t end = text.find(',', position);
        tokens.push_back(
            text.substr(position, end == std::string::npos ? std::string::npos : end - position));
        if (end == std::string::npos) break;
        position = end;
    }
    if (tokens.empty()) return 1;
    if (tokens.size() < 2) return 2;
    copy_bounded(reader_part, tokens[0].c_str());
    copy_bounded(usb_id, tokens[1].c_str());
    if (tokens.size() == 3) {
        copy_bounded(usb_id_list, tokens[2].c_str());
        strip_leading_blanks(reader_part);
        strip_leading_blanks(usb_id);
        strip_leading_blanks(usb_id_list);
    }
    return 0;
}

// Every name of a PC/SC multi-string that contains pattern, in list order.
static std::vector<std::string> matching_names(std::span<const char> multi_string,
                                               const char* pattern) {
    std::vector<std::string> names;
    if (!pattern) return names;
    size_t position = 0;
    while (position < multi_string.size()) {
        const size_t length =
            strnlen(multi_string.data() + position, multi_string.size() - position);
        if (length == 0) break; // the empty string that ends the multi-string
        std::string reader(multi_string.data() + position, length);
        position += length + 1;
        if (reader == pnp_notification || reader.size() >= reader_name_size) continue;
        if (reader.find(pattern) != std::string::npos) names.push_back(std::move(reader));
    }
    return names;
}

size_t match_reader_names(std::span<const char> multi_string, const char* pattern,
                          reader_table& table) {
    size_t count = 0;
    for (const std::string& name : matching_names(multi_string, pattern)) {
        if (count == reader_table_size) break;
        copy_bounded(table.names[count++], name.c_str());
    }
    return count;
}

int list_matching_readers(const char* pattern, reader_table& table) {
    SCARDCONTEXT context = 0;
    if (pcsc_call([&] {
            return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        }) != SCARD_S_SUCCESS)
        return 0;

    // Ask for the size first: a fixed buffer would turn a long reader list
    // into "no readers", and every device would be taken as removed.
    DWORD length = 0;
    std::vector<char> names;
    LONG rv = pcsc_call([&] { return SCardListReaders(context, nullptr, nullptr, &length); });
    if (rv == SCARD_S_SUCCESS && length > 0) {
        names.resize(length);
        rv = pcsc_call([&] { return SCardListReaders(context, nullptr, names.data(), &length); });
        names.resize(rv == SCARD_S_SUCCESS ? std::min<size_t>(length, names.size()) : 0);
    }
    if (rv != SCARD_S_SUCCESS || names.empty()) {
        pcsc_call([&] { return SCardReleaseContext(context); });
        return 0;
    }

    // Every matching reader, then only those that hold a card.
    const std::vector<std::string> matching = matching_names(names, pattern);
    std::vector<SCARD_READERSTATE> states(matching.size());
    for (size_t i = 0; i < matching.size(); ++i) {
        states[i].szReader = matching[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    int count = 0;
    if (!states.empty() && pcsc_call([&] {
                               return SCardGetStatusChange(context, 0, states.data(),
                                                           static_cast<DWORD>(states.size()));
                           }) == SCARD_S_SUCCESS) {
        for (size_t i = 0; i < states.size() && static_cast<size_t>(count) < reader_table_size;
             ++i) {
            if (!(states[i].dwEventState & SCARD_STATE_PRESENT)) continue;
            copy_bounded(table.names[count], matching[i].c_str());
            ++count;
        }
    }
    pcsc_call([&] { return SCardReleaseContext(context); });
    return count;
}

int device_discover::enum_readers(const char*, reader_table&) {
    return -1;
}
int device_discover::refresh(const char*) {
    return -1;
}
int device_discover::scan(int*, int*, const char*) {
    return 0;
}
device_base* device_discover::device_at(int) {
    return nullptr;
}
int device_discover::device_count() {
    return -1;
}
device_base* device_discover::first_device(device_node**) {
    return nullptr;
}
device_base* device_discover::next_device(device_node**) {
    return nullptr;
}
device_base* device_discover::node_device(device_node*) {
    return nullptr;
}
int device_discover::purge_removed() {
    return 0;
}
device_base* device_discover::add_device(const char*, SCARDHANDLE) {
    return nullptr;
}
int device_discover::remove_device(device_node*) {
    return 0;
}

// The list deletes the devices it holds.
device_sc_manager::~device_sc_manager() = default;

int device_sc_manager::enum_readers(const char* filter, reader_table& table) {
    char copy[1025];
    std::strncpy(copy, filter ? filter : "", sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    char reader_part[256];
    char usb_id[256];
    char usb_id_list[1024];
    if (parse_reader_filter(copy, reader_part, usb_id, usb_id_list) != 0) return 0;
    if (reader_part[0] == '\0') return 0;
    return lister_ ? lister_(reader_part, table) : list_matching_readers(reader_part, table);
}

int device_sc_manager::refresh(const char* filter) {
    int removed = 0;
    int added = 0;
    reader_count_ = scan(&removed, &added, filter);
    return reader_count_;
}

int device_sc_manager::scan(int* removed, int* added, const char* filter) {
    std::strncpy(last_filter_, filter ? filter : "", sizeof(last_filter_) - 1);
    last_filter_[sizeof(last_filter_) - 1] = '\0';
    reader_table table;
    const int found = enum_readers(filter, table);

    int removed_count = 0;
    for (device_node* node = devices_.head(); node; node = node->next()) {
        device_base* device = value_of(node);
        const char* name = device->name();
        bool listed = false;
        for (int i = 0; i < found && name; ++i)
            if (std::strcmp(table.names[i], name) == 0) listed = true;
        if (listed) {
            device->set_state(device_state_present);
        } else {
            device->set_state(device_state_removed);
            ++removed_count;
        }
    }
    int added_count = 0;
    for (int i = 0; i < found; ++i) {
        bool created = false;
        find_or_create(table.names[i], &created);
        if (created) ++added_count;
    }
    if (removed) *removed = removed_count;
    if (added) *added = added_count;
    return found;
}

device_base* device_sc_manager::device_at(int index) {
    if (index < 0 || index >= reader_count_) return nullptr;
    device_node* node = devices_.head();
    for (int i = 0; node && i < index; ++i)
        node = node->next();
    return value_of(node);
}

int device_sc_manager::device_count() {
    return devices_.count();
}

device_base* device_sc_manager::first_device(device_node** cursor) {
    device_node* head = devices_.head();
    if (!head) return nullptr;
    if (cursor) *cursor = head;
    return value_of(head);
}

device_base* device_sc_manager::next_device(device_node** cursor) {
    if (!cursor || !*cursor) return first_device(cursor);
    device_node* next = (*cursor)->next();
    if (!next) return nullptr;
    *cursor = next;
    return value_of(next);
}

device_base* device_sc_manager::node_device(device_node* node) {
    return value_of(node);
}

void device_sc_manager::unlink_and_delete(device_node* node) {
    if (watched_cursor_ && *watched_cursor_ == node) {
        device_node* before = nullptr;
        for (device_node* n = devices_.head(); n && n != node; n = n->next())
            before = n;
        *watched_cursor_ = before;
    }
    devices_.remove(value_of(node)); // deletes the device
}

int device_sc_manager::purge_removed() {
    bool again = true;
    while (again) {
        again = false;
        for (device_node* node = devices_.head(); node; node = node->next()) {
            if (value_of(node)->get_state() != device_state_removed) continue;
            unlink_and_delete(node);
            again = true;
            break;
        }
    }
    return 0;
}

device_base* device_sc_manager::add_device(const char* reader_name, SCARDHANDLE card_handle) {
    auto device = std::make_unique<device_winscard>(reader_name);
    device->set_card_handle(card_handle);
    return adopt_device(std::move(device));
}

int device_sc_manager::remove_device(device_node* node) {
    if (!node) return 1;
    unlink_and_delete(node);
    return 0;
}

device_base* device_sc_manager::adopt_device(std::unique_ptr<device_base> device) {
    if (!device) return nullptr;
    device_base* raw = device.get();
    devices_.append(std::move(device));
    return raw;
}

device_base* device_sc_manager::find_or_create(const char* reader_name, bool* created) {
    if (created) *created = false;
    for (device_node* node = devices_.head(); node; node = node->next()) {
        const char* name = value_of(node)->name();
        if (name && reader_name && std::strcmp(name, reader_name) == 0) return value_of(node);
    }
    if (created) *created = true;
    return adopt_device(std::make_unique<device_winscard>(reader_name));
}

device_node* device_sc_manager::find_node(device_id id) const {
    if (id == no_device) return nullptr;
    for (device_node* node = devices_.head(); node; node = node->next())
        if (value_of(node)->id() == id) return node;
    return nullptr;
}

device_base* device_sc_manager::find_device(device_id id) const {
    return value_of(find_node(id));
}

device_sc_manager& device_manager() {
    static device_sc_manager manager;
    return manager;
}

namespace {
// Built empty while the library loads, before the PKCS#11 core (built on first
// use), so that it is destroyed after the core has stopped the slot-event
// thread, whose scans use it.
[[maybe_unused]] const bool manager_built = (device_manager(), true);
} // namespace
