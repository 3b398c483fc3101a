#include "test_process.h"

#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace test_support {

int run_self(const std::string& gtest_filter, const std::map<std::string, std::string>& vars) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e)
        env_text.emplace_back(*e);
    for (const auto& [k, v] : vars)
        env_text.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=" + gtest_filter;
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace test_support
