#include "data_directory.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string without_trailing_slash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

std::string app_data_directory() {
    if (std::string v = env("APPDATA"); !v.empty()) return without_trailing_slash(v);
    if (std::string v = env("XDG_CONFIG_HOME"); !v.empty()) return without_trailing_slash(v);
    if (std::string v = env("HOME"); !v.empty()) return without_trailing_slash(v) + "/.config";
    return {};
}

std::string program_directory() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path().string();
}

std::string user_runtime_directory() {
    std::string directory;
    if (std::string runtime = env("XDG_RUNTIME_DIR"); !runtime.empty())
        directory = without_trailing_slash(runtime) + "/tessvik";
    else
        directory = "/tmp/tessvik-" + std::to_string(::geteuid());
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
        return {};
    return directory;
}

} // namespace plat
