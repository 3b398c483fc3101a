#include "test_dirs.h"

#include <cstdlib>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace {

struct owned_dirs {
    test_dirs dirs;
    owned_dirs() {
        char pattern[] = "/tmp/tessvik-test-XXXXXX";
        dirs.root = mkdtemp(pattern);
        dirs.global_dir = dirs.root + "/global";
        dirs.runtime_dir = dirs.root + "/runtime";
        std::filesystem::create_directory(dirs.runtime_dir);
        std::filesystem::permissions(dirs.runtime_dir, std::filesystem::perms::owner_all);
        setenv("TESSVIK_LOCK_DIR", dirs.global_dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dirs.runtime_dir.c_str(), 1);
    }
    ~owned_dirs() {
        std::error_code ignored;
        std::filesystem::permissions(dirs.root, std::filesystem::perms::owner_all, ignored);
        for (auto& entry : std::filesystem::recursive_directory_iterator(dirs.root, ignored))
            if (entry.is_directory(ignored))
                std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                             ignored);
        std::filesystem::remove_all(dirs.root, ignored);
    }
};

} // namespace

const test_dirs& use_test_dirs() {
    static owned_dirs owned;
    return owned.dirs;
}

int run_in_child(int (*body)(void*), void* argument) {
    pid_t child = fork();
    if (child == 0) _exit(body(argument));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
