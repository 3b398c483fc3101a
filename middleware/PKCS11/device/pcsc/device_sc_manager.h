// PC/SC device manager: finds the readers whose names match the reader filter
// and that hold a card, and keeps one device object per such reader in a list
// with a presence state (new, present, removed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "device_base.h"
#include "device_winscard.h"
#include "mk_node_list.h"

inline constexpr size_t reader_table_size = 32;
inline constexpr size_t reader_name_size = 256;

// The manager's list owns its devices; a node pointer is an enumeration cursor.
using device_node = mk_node<device_base>;

struct reader_table {
    char names[reader_table_size][reader_name_size] = {};
};

// Splits "reader part,usb id[,usb id list]" at commas (runs of commas count
// as one separator, leading commas are skipped). 1: no first field; 2: no
// second field; else 0. Leading blanks and tabs are stripped from the fields
// only when a third field is present. Every copy is bounded by its output.
int parse_reader_filter(const char* filter, char (&reader_part)[256], char (&usb_id)[256],
                        char (&usb_id_list)[1024]);

// Copies into table, in list order, each name of a PC/SC multi-string that
// contains pattern (case-sensitive substring), at most reader_table_size;
// the PC/SC notification pseudo-reader is never selected. Returns the count.
size_t match_reader_names(std::span<const char> multi_string, const char* pattern,
                          reader_table& table);

// Lists the PC/SC readers, keeps those matching pattern that hold a card and
// returns their number (0 on any PC/SC failure).
int list_matching_readers(const char* pattern, reader_table& table);

// Abstract enumeration interface; the defaults are the results of a source
// that knows no devices.
class device_discover {
  public:
    virtual ~device_discover() = default;
    virtual int enum_readers(const char* filter, reader_table& table);
    virtual int refresh(const char* filter);
    virtual int scan(int* removed, int* added, const char* filter);
    virtual device_base* device_at(int index);
    virtual int device_count();
    virtual device_base* first_device(device_node** cursor);
    virtual device_base* next_device(device_node** cursor);
    virtual device_base* node_device(device_node* node);
    virtual int purge_removed();
    virtual device_base* add_device(const char* reader_name, SCARDHANDLE card_handle);
    virtual int remove_device(device_node* node);
};

class device_sc_manager : public device_discover {
  public:
    device_sc_manager() = default;
    ~device_sc_manager() override;
    device_sc_manager(const device_sc_manager&) = delete;
    device_sc_manager& operator=(const device_sc_manager&) = delete;

    int enum_readers(const char* filter, reader_table& table) override;
    int refresh(const char* filter) override;
    int scan(int* removed, int* added, const char* filter) override;
    device_base* device_at(int index) override;
    int device_count() override;
    device_base* first_device(device_node** cursor) override;
    device_base* next_device(device_node** cursor) override;
    device_base* node_device(device_node* node) override;
    // Deletes every device in the removed state.
    int purge_removed() override;
    device_base* add_device(const char* reader_name, SCARDHANDLE card_handle) override;
    // Unlinks and deletes the node's device: 0; null node: 1.
    int remove_device(device_node* node) override;

    // Appends a device of any kind (state as the device reports it).
    device_base* adopt_device(std::unique_ptr<device_base> device);
    // The listed device whose name equals reader_name, else a new one appended.
    device_base* find_or_create(const char* reader_name, bool* created = nullptr);
    device_node* find_node(device_id id) const;
    device_base* find_device(device_id id) const;
    device_node* head() const { return devices_.head(); }
    int reader_count() const { return reader_count_; }
    const char* last_filter() const { return last_filter_; }

    // A cursor that deletions keep valid: when its node is deleted it moves
    // to the node before (null at the head), so that "next" from it yields
    // the device that followed the deleted one.
    void watch_cursor(device_node** cursor) { watched_cursor_ = cursor; }

    // Replaces the reader listing (tests); null restores PC/SC.
    using reader_lister = int (*)(const char* pattern, reader_table& table);
    void set_reader_lister(reader_lister lister) { lister_ = lister; }

  private:
    void unlink_and_delete(device_node* node);

    mk_node_list<device_base> devices_;
    int32_t reader_count_ = 0;
    char last_filter_[256] = {};
    device_node** watched_cursor_ = nullptr;
    reader_lister lister_ = nullptr;
};

// The process-wide manager.
device_sc_manager& device_manager();
