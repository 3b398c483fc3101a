// What every device-API function shares: the process-wide device mutex, the
// map from a command's status word to a result code, and the size-query rule
// for caller-owned output buffers.
#pragma once

#include <cstdint>
#include <new>

#include "gm_types.h"
#include "mk_mutex.h"
#include "transport.h"

inline constexpr const char* gm_api_mutex_name = "Global\\q9gm_mutex";

// The process-wide named mutex that serialises every device-API call across
// threads and processes (recursive for the owning thread).
mk_mutex& gm_api_mutex();

// Holds gm_api_mutex for a scope (infinite wait). When the lock could not be
// taken, locked() is false and the call must return gm_api_lock_failed
// without touching the tree or the card:
//     gm_api_lock lock;
//     if (!lock.locked()) return gm_api_lock_failed;
class gm_api_lock {
  public:
    gm_api_lock() : guard_(&gm_api_mutex(), gm_api_mutex_name) {}
    bool locked() const { return guard_.locked(); }

  private:
    mk_auto_mutex guard_;
};
inline constexpr uint32_t gm_api_lock_failed = SAR_FAIL;

// Maps a command's status word to a result code: 0x9000 -> 0; the listed
// card status words -> their SAR_ / vendor codes; any other status word or
// transport code (0x8001-0x8005) unchanged.
uint32_t gm_map_status_word(uint32_t status_word);

// A status word as the answer to a verification (PIN, device-authentication
// key, finger). The ISO 7816-4 counter warning 63Cx says x tries are left:
// counter is true, tries holds x and code is SAR_PIN_INCORRECT, or
// SAR_PIN_LOCKED when no try is left. Any other word: counter false, tries
// 0, code from gm_map_status_word. This is the one place 63Cx is decoded.
struct gm_verify_status {
    uint32_t code = SAR_OK;
    bool counter = false;
    uint32_t tries = 0;
};
gm_verify_status gm_read_verify_status(uint32_t status_word);

// The result code of a command wrapper's result: 0 when it succeeded; else its
// mapped status word, or SAR_FAIL when that maps to 0 (a reply too short for
// its layout, or larger than the buffer given, came with 0x9000; nothing was
// sent: sw_none) - a failure is never success.
uint32_t gm_wrapper_error(const cmd_result& result);

// Size-query rule for an output of `needed` bytes:
//   null length pointer: SAR_INVALIDPARAMERR;
//   null buffer: *length = needed, 0;
//   *length < needed: *length = needed, SAR_BUFFER_TOO_SMALL;
//   else copy the bytes, *length = needed, 0.
uint32_t gm_copy_out(const void* data, uint32_t needed, void* buffer, uint32_t* length);
// The same rule without the copy: answers the size when the buffer is null
// (0) or too short (SAR_BUFFER_TOO_SMALL). A result of 0 with a non-null
// buffer means it can take `needed` bytes; the caller writes them and sets
// *length itself.
uint32_t gm_size_query(uint32_t needed, const void* buffer, uint32_t* length);

// Runs body() under the device mutex and turns anything thrown into a result
// code, so that no exception leaves the device API:
//     return gm_locked_call([&]() -> uint32_t { ... });
// Lock failure: gm_api_lock_failed; allocation failure: SAR_MEMORYERR; any
// other exception: SAR_FAIL.
template <typename Body> uint32_t gm_locked_call(Body&& body) noexcept {
    try {
        gm_api_lock lock;
        if (!lock.locked()) return gm_api_lock_failed;
        return body();
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_FAIL;
    }
}
