#include "shell_open.h"

#include <cstdlib>
#include <strings.h>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plat {

namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool spawn_detached(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage;
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const bool search = program.find('/') == std::string::npos;
    int rc = search ? ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ)
                    : ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) return false;
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread: the child stays a zombie until this process ends.
    }
    return true;
}

} // namespace

bool is_web_or_mail_address(std::string_view text) {
    return starts_with_nocase(text, "http://") || starts_with_nocase(text, "https://") ||
           starts_with_nocase(text, "mailto:");
}

bool shell_open(std::string_view target, std::string_view parameters) {
    if (target.empty()) return false;
    if (is_web_or_mail_address(target)) {
        const char* opener = std::getenv("TAVREL_URL_OPENER");
        const std::string command = opener != nullptr && *opener != '\0' ? opener : "xdg-open";
        return spawn_detached(command, {std::string(target)});
    }
    std::vector<std::string> arguments;
    if (!parameters.empty()) arguments.emplace_back(parameters);
    return spawn_detached(std::string(target), arguments);
}

} // namespace plat
