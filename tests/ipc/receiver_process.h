// Runs tests/ipc/copydata_receiver in a child process: a window of the class
// given, in the runtime directory of the test's environment, that writes each
// record it receives as a line to a file.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ipc_test {

class receiver_process {
  public:
    // program: the copydata_receiver executable.
    receiver_process(const std::string& program, const std::string& class_name,
                     const std::string& output, unsigned handler_delay_ms = 0)
        : output_(output) {
        int to_child[2], from_child[2];
        if (::pipe2(to_child, O_CLOEXEC) != 0) return;
        if (::pipe2(from_child, O_CLOEXEC) != 0) {
            ::close(to_child[0]);
            ::close(to_child[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        const std::string delay = std::to_string(handler_delay_ms);
        std::vector<char*> argv = {
            const_cast<char*>(program.c_str()), const_cast<char*>(class_name.c_str()),
            const_cast<char*>(output.c_str()), const_cast<char*>(delay.c_str()), nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(to_child[0]);
        ::close(from_child[1]);
        stdin_ = to_child[1];
        stdout_ = from_child[0];
        if (pid_ > 0) ready_ = read_status() == "ready";
    }
    ~receiver_process() { stop(); }
    receiver_process(const receiver_process&) = delete;
    receiver_process& operator=(const receiver_process&) = delete;

    bool ready() const { return ready_; }

    // Closes the child's standard input and waits for it; its exit status.
    int stop() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
        if (pid_ <= 0) return -1;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::ifstream in(output_);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    // Waits until the file holds at least n lines; the lines then.
    std::vector<std::string>
    wait_for_lines(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        auto got = lines();
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            got = lines();
        }
        return got;
    }

  private:
    std::string read_status() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char buffer[64];
            ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) return {};
            text.append(buffer, static_cast<size_t>(n));
        }
        return text.substr(0, text.find('\n'));
    }

    std::string output_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool ready_ = false;
};

} // namespace ipc_test
