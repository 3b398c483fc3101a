// Stands in for the named, page-file-backed file mapping a program uses to
// find out whether a copy of it already runs (CreateFileMapping /
// OpenFileMapping + MapViewOfFile with a 4-byte value).
//
// Here the "mapping" is a lock file in the per-user runtime directory named
// after the mapping, and the claim is flock(LOCK_EX | LOCK_NB) on it. The
// kernel decides the claim atomically (of two programs started together
// exactly one wins) and drops it when the holder dies in any way, so a
// killed instance never blocks the next start. The holder writes its value
// (the window handle, here a number) into the file for diagnostics only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

class instance_mapping {
  public:
    // Opens or creates the lock file of that name. A name that cannot be
    // used, or a file that cannot be opened, leaves the object unopened.
    explicit instance_mapping(std::string_view name);
    ~instance_mapping();
    instance_mapping(const instance_mapping&) = delete;
    instance_mapping& operator=(const instance_mapping&) = delete;

    bool opened() const { return fd_ >= 0; }

    // True when another process holds the claim. Otherwise the claim is this
    // object's (for its whole life), `value` is recorded, and the result is
    // false. An unopened mapping answers false: the program then runs as if
    // it were the only one.
    bool claim(uint64_t value);

    bool held() const { return held_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};

} // namespace plat
