#include "test_process.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "wait_until.h"

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

bool wait_for_exit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    int ignored = 0;
    if (status == nullptr) status = &ignored;
    const auto reaped = [&] { return ::waitpid(pid, status, WNOHANG) == pid; };
    // A pidfd becomes readable when the process ends (Linux 5.3).
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return wait_until(reaped, timeout); // an older kernel: poll
    pollfd p{fd, POLLIN, 0};
    int rc = 0;
    do
        rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    while (rc < 0 && errno == EINTR);
    ::close(fd);
    return rc > 0 && reaped();
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace test_support
