#include "single_instance.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "data_directory.h"

namespace plat {

namespace {

// Braces, letters, digits and '-' stay; anything else would not be a safe
// file name and becomes '_'.
std::string lock_file_name(std::string_view name) {
    std::string out = "instance-";
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '{' || c == '}' || c == '_';
        out += plain ? static_cast<char>(c) : '_';
    }
    return out + ".lock";
}

} // namespace

instance_mapping::instance_mapping(std::string_view name) {
    if (name.empty() || name.size() > 200) return;
    const std::string directory = user_runtime_directory();
    if (directory.empty()) return;
    path_ = directory + "/" + lock_file_name(name);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

instance_mapping::~instance_mapping() {
    if (fd_ >= 0) ::close(fd_);
}

bool instance_mapping::claim(uint64_t value) {
    if (fd_ < 0) return false;
    if (held_) return false;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // EWOULDBLOCK: a live process holds it. Any other failure: the
        // program runs as the only one, as with a mapping it could not map.
        return errno == EWOULDBLOCK;
    }
    held_ = true;
    const std::string text = std::to_string(value) + " " + std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, text.data(), text.size(), 0);
    return false;
}

} // namespace plat
