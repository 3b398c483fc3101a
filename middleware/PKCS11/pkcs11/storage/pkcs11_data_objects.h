// Token data objects (CKO_DATA with CKA_TOKEN true) in files of the token's
// application, one file per object: a 52-byte header with the object's small
// attributes, then its CKA_VALUE. Public objects live in files named
// "PUBOBJ<n>[_<label>]" that anyone may read and write, private ones in
// "PRIOBJ<n>[_<label>]" files that only the logged-in user may. Loading reads
// only the headers; a value is read when a search or C_GetAttributeValue
// needs it.
//
// Header (integers little-endian):
//   0  4  zero            36  8  CKA_OBJECT_ID, zero-padded
//   4 16  CKA_LABEL       44  1  CKA_TOKEN      46  1  CKA_MODIFIABLE
//  20 16  CKA_APPLICATION 45  1  CKA_PRIVATE    47  1  zero
//  48  4  CKA_VALUE_LEN = n, then n bytes of CKA_VALUE at 52.
// A field holds its attribute only when the attribute fits it.
//
// A file is never left half-written where it can be avoided: a new file gets
// its value before its header (a file whose header is still all zeros is not
// an object), and a value of another length goes into a new file that
// replaces the old one only once it is complete.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gm_file_cont.h"
#include "pkcs11.h"

class pkcs11_object;
class pkcs11_token;

inline constexpr size_t data_object_header_size = 52;
inline constexpr const char* data_object_public_prefix = "PUBOBJ";
inline constexpr const char* data_object_private_prefix = "PRIOBJ";
inline constexpr uint32_t data_object_public_rights = SECURE_ANYONE_ACCOUNT;
inline constexpr uint32_t data_object_private_rights = SECURE_USER_ACCOUNT;
// The largest value a file can hold (the device's files are below 64 KiB).
inline constexpr uint32_t data_object_value_max =
    gm_file_size_limit - 1 - static_cast<uint32_t>(data_object_header_size);
// A file name (ZELT_CKA_FILE_NAME) longer than this is not taken as one.
inline constexpr size_t data_object_name_capacity = 256;
// The file list is first asked for in a buffer of this size.
inline constexpr uint32_t data_object_list_buffer = 2048;

using data_object_header = std::array<uint8_t, data_object_header_size>;

// The header of an object as it stands (CKA_VALUE_LEN taken as it is).
data_object_header object_header_build(const pkcs11_object& object);
// Sets on the object, in order: CKA_TOKEN, CKA_LABEL (text up to its first
// NUL, without a terminator: it reads back as written), CKA_PRIVATE,
// CKA_MODIFIABLE, CKA_APPLICATION (as the label), CKA_OBJECT_ID (always 8
// bytes) and CKA_VALUE_LEN.
void object_header_parse(std::span<const uint8_t, data_object_header_size> header,
                         pkcs11_object& object);
// The label a file name carries: the text after its first "_" (empty when none).
std::string_view data_object_name_label(std::string_view name);
// The label a file's name gives its object when the header's label field is
// empty: the name's label when it is longer than the field (such a label is
// kept in the name only), else none.
std::string_view data_object_label_in_name(std::string_view name);
// Sets ZELT_CKA_FILE_NAME on an object loaded from that file and, when the
// header's label field is empty, the label data_object_label_in_name gives.
void data_object_set_file_name(std::string_view name,
                               std::span<const uint8_t, data_object_header_size> header,
                               pkcs11_object& object);
// Whether the object, stored in a file of that name, is loaded again with its
// CKA_LABEL: the header's field holds it (1 to 16 bytes, not beginning with a
// NUL), or the name carries its text.
bool data_object_file_keeps_label(std::string_view name, const pkcs11_object& object);
// Whether a header read from the card describes an object: not all zeros (a
// file whose writing did not end) and a value length a file can hold.
bool data_object_header_usable(std::span<const uint8_t, data_object_header_size> header);
// The value length recorded in a header.
uint32_t data_object_header_value_length(std::span<const uint8_t, data_object_header_size> header);

// The names of a device file list (names each followed by a NUL, ended by an
// empty name or by the end of the list; a last name without a NUL ends at the
// end of the list). Never reads past the span.
std::vector<std::string> data_object_split_names(std::span<const char> list);
// The prefix (at most 16 characters) followed by the first free counter for
// the given file list: the counter starts at the number of NULs in the list
// minus one, or at `floor` when that is higher, and goes up while the
// candidate occurs anywhere in the list (read as one text, each NUL taken as
// "-").
//
// The module gives `floor` the token's change counter ("CacheFile"), which
// it then keeps above the new name's counter: so no file it creates takes
// the name of one it created before, and another process's handle to a
// deleted data object never comes to name the next object created in its
// place.
std::string data_object_pick_name(std::string_view prefix, std::span<const char> list,
                                  uint64_t floor = 0);
// The counter in a data-object file name (the digits after its 6-character
// prefix); nullopt when there are none.
std::optional<uint32_t> data_object_name_counter(std::string_view name);
// "_" and the label's text up to its first NUL when the object has a
// non-empty CKA_LABEL of at most 64 bytes; else nothing.
std::string data_object_label_suffix(const pkcs11_object& object);
// The file's prefix: "PRIOBJ" for a private object, else "PUBOBJ".
const char* data_object_prefix_for(const pkcs11_object& object);

// The token's data-object files. Holds only the back pointer; the token
// decides when to load, store and read (load_objects_for_find and the
// token_store/update/destroy steps).
class pkcs11_data_object_manager {
  public:
    explicit pkcs11_data_object_manager(pkcs11_token& token) : token_(token) {}
    virtual ~pkcs11_data_object_manager() = default;

    // Appends an object for every file whose name begins with the prefix and
    // whose header can be read, in the card's list order; files already in
    // the token's object list are skipped. The names of files that exist but
    // could not be read go to `unread`. Device-API code of the file list.
    CK_RV data_object_load_all(const char* prefix, std::vector<std::string>* unread = nullptr);
    // Writes a new file for a token data object and sets ZELT_CKA_FILE_NAME
    // and CKA_VALUE_LEN (the length of the value written) on it. Nothing is
    // left on the card when it fails.
    CK_RV data_object_create(pkcs11_object& object);
    // Rewrites the object's file from the object as it stands. value_changed:
    // the object's CKA_VALUE is its new value (an empty one included);
    // otherwise the stored value is kept. On failure the file is as before.
    CK_RV data_object_update(pkcs11_object& object, bool value_changed);
    // Reads the value into CKA_VALUE when it is not there yet.
    CK_RV data_object_read_value(pkcs11_object& object);
    CK_RV data_object_delete(pkcs11_object& object);
    // The prefix with the first free counter.
    CK_RV data_object_unique_name(const char* prefix, std::string& name);

  private:
    // The name of a new file for the object: prefix, first free counter and
    // the label. SAR_NAMELENERR when the file would not give the label back.
    CK_RV new_file_name(const char* prefix, const pkcs11_object& object, std::string& name);
    // The device's file list (grown when 2048 bytes do not hold it).
    CK_RV file_list(std::vector<char>& list);
    // Creates a file and writes header and value into it; a file that could
    // not be completed is deleted again.
    CK_RV write_new_file(const std::string& name, uint32_t rights, const data_object_header& header,
                         std::span<const uint8_t> value);

    pkcs11_token& token_;
};
