// A private data, runtime and registry directory per test: every test
// starts from an empty user.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace traytest {

class user_dirs {
  public:
    user_dirs() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pv-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        std::filesystem::create_directories(root_ + "/appdata");
        std::filesystem::create_directories(root_ + "/run");
        std::filesystem::permissions(root_ + "/run", std::filesystem::perms::owner_all);
        setenv("APPDATA", (root_ + "/appdata").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
        unsetenv("TAVREL_REGISTRY_DIR");
        unsetenv("TAVREL_CERTSTORE");
    }
    ~user_dirs() {
        unsetenv("APPDATA");
        unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(root_);
    }
    const std::string& root() const { return root_; }
    std::string data() const { return root_ + "/appdata/Tavrel/Tavrel1.0/"; }

  private:
    std::string root_;
};

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace traytest
