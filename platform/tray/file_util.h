// Small file helpers shared by the tray's stand-ins: whole-file reads with a
// bound, atomic replacement (temporary file + fsync + rename, so a reader
// sees the old or the new content, never half of one), directory creation
// with all parents, and an exclusive advisory lock held by an object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace plat {

enum class read_status { ok, missing, too_large, failed };

// Reads the whole file, refusing one larger than max_bytes.
read_status read_file(const std::string& path, std::vector<uint8_t>& out, size_t max_bytes);

// Writes the bytes to path atomically (mode 0600 for a new file, the old
// file's mode otherwise). False when anything fails; the old file stays.
bool write_file_atomic(const std::string& path, std::span<const uint8_t> bytes);

// Creates the directory and its missing parents (mode 0700 for new ones).
bool make_directories(const std::string& path);

// flock(LOCK_EX) on a lock file, released by the destructor (or by the
// kernel when the process dies).
class file_lock {
  public:
    explicit file_lock(const std::string& path);
    ~file_lock();
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;
    bool locked() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

} // namespace plat
