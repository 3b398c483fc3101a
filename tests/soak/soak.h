// The soak harness (README.md here): several processes using the module on
// simulated tokens for a long time while faults are put in. What its parts
// share: time, result names, the data-object values, the module, the
// journals the workers keep.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "module_loader.h"
#include "p11_objects.h"
#include "pkcs11.h"

namespace soak {

using bytes = std::vector<uint8_t>;

// Wall-clock milliseconds: the processes' logs are compared with each other.
int64_t now_ms();
// Pacing, never a wait on a state: how long a fault lasts, a worker's pause
// after a failed step, the driver's round of checks.
void pause_ms(int ms);

// "CKR_OK", "CKR_SESSION_HANDLE_INVALID", ..., else "0x0A000010".
std::string rv_name(CK_RV rv);
std::string hex(const bytes& b);

// The reader names of a pcscd lane (the same in every lane).
std::string reader_name(int index);

// A data object's label: "s<worker>-<9-digit sequence>" (12 bytes), every
// other one with "-twentyb" after it (20 bytes: too long for the file
// header, kept in the file name).
std::string label_for(int worker, uint64_t sequence);
// The value of the data object with that label (16 to 715 bytes).
bytes value_for(const std::string& label);

// The recyclers' objects (README.md): data objects of a few labels and one
// RSA pair label that two processes destroy and create again on one token.
// Several objects may carry one label; each creation is told apart by its
// tag, "w<process>-<9-digit sequence>", at the start of its value.
inline constexpr int recycle_token = 0;
inline constexpr const char* worker_key_label = "soak-key"; // the workers' pair, on both tokens
inline constexpr const char* recycle_key_label = "rk";
const std::vector<std::string>& recycle_labels();
bool is_recycle_label(const std::string& label);
// The value of the creation `tag` of label: the tag, ':', then 16 to 715
// bytes derived from both, so that any value read names one creation.
bytes tagged_value(const std::string& label, const std::string& tag);
// The tag a value starts with; empty when it starts with none.
std::string tag_of(const bytes& value);
std::string tag_for(int process, uint64_t sequence);
// A creation's name in the journals: "label/tag".
std::string identity_of(const std::string& label, const std::string& tag);
// A label's text, up to a NUL (key labels carry one).
std::string label_text(const bytes& label);
// Whether a logged result is a probe's finding that an old handle reached
// another object (or one already destroyed): STALE_READ, STALE_DESTROY,
// STALE_SIGN, HANDLE_REUSED.
bool is_stale_failure(const std::string& result);

// The module is loaded with dlopen as an application loads it
// (loaded_module, module_loader.h); searches and attribute values go through
// find_objects and attribute_value (p11_objects.h).
using test_support::attribute_value;
using test_support::find_objects;

// The slot whose token has this serial number (CK_TOKEN_INFO, blank-padded).
CK_RV slot_of(CK_FUNCTION_LIST* f, const std::string& serial, CK_SLOT_ID& slot);
// The data objects, all or those with this label; *rv the first failure.
std::vector<CK_OBJECT_HANDLE> find_data(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                        const std::string* label, CK_RV* rv);

// A worker's journal: one line per step, "<ms> <tag> <label> [<result>]", tags
//   B  a creation begins          C  the object exists (created or found)
//   F  the creation failed        BD a destruction begins
//   D  the object was destroyed   FD the destruction failed
//   X  a doubtful object is not on the card
// What it says at the end.
struct journal {
    std::map<std::string, int64_t> live; // label -> when it was known to exist
    std::set<std::string> doubtful;      // may or may not be on the card
    std::set<std::string> destroyed;
    uint64_t next_sequence = 0;
};
journal read_journal(const std::string& path);
// The sequence number within a label or a tag (0 when it has none).
uint64_t sequence_of(const std::string& label);

int run_driver(int argc, char** argv);
int run_setup(int argc, char** argv);
int run_worker(int argc, char** argv);
int run_recycler(int argc, char** argv);
int run_check(int argc, char** argv);

// "--name value" options after the subcommand.
std::map<std::string, std::string> options(int argc, char** argv);

} // namespace soak
