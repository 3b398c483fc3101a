#include "x11_tray_host.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test_support {

pid_t spawn(const std::vector<std::string>& args) {
    if (args.empty()) return -1;
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

void stop_process(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    const std::string dirs = path;
    size_t begin = 0;
    for (;;) {
        const size_t end = dirs.find(':', begin);
        std::string dir =
            dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (dir.empty()) dir = ".";
        if (::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) return false;
        begin = end + 1;
    }
}

void x11_tray_host::start(const std::string& screen) {
    if (!on_path("Xvfb") || !on_path("trayer")) {
        skip_ = "Xvfb or trayer is not installed";
        return;
    }
    if (!start_server(screen)) {
        error_ = "Xvfb did not start";
        return;
    }
    start_tray();
}

// -displayfd: the server takes a free display and writes its number to the
// pipe once it accepts clients.
bool x11_tray_host::start_server(const std::string& screen) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    server_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                     "-nolisten", "tcp", "-br", "-noreset"});
    ::close(fds[1]);
    if (server_ <= 0) {
        ::close(fds[0]);
        return false;
    }
    std::string display;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&p, 1, 15000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    ::close(fds[0]);
    if (display.empty()) return false;
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    return true;
}

void x11_tray_host::start_tray() {
    tray_ = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                   "--height", "32", "--transparent", "false", "--SetDockType", "true"});
}

void x11_tray_host::stop_tray() {
    stop_process(tray_);
}

void x11_tray_host::stop() {
    stop_process(tray_);
    stop_process(server_);
}

} // namespace test_support
