// A small HTTP/1.1 server on 127.0.0.1 (a free port the kernel picks) for
// the update tests. Each path has a reply: a status and a body, sent whole,
// cut off after some bytes (the connection closes before the announced
// length), or held after some bytes until the server is told to let go.
// One connection at a time; every reply closes its connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dialogtest {

class http_server {
  public:
    enum class mode { whole, cut, hold };
    struct reply {
        int status = 200;
        std::string body;
        mode how = mode::whole;
        size_t bytes_before = 0; // cut / hold: body bytes sent first
    };

    http_server() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 8) != 0)
            return;
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~http_server() {
        stop_.store(true);
        release();
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    bool listening() const { return port_ != 0; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    void set(const std::string& path, reply r) {
        std::lock_guard<std::mutex> lock(m_);
        replies_[path] = std::move(r);
    }
    // Requests served so far, by path.
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(m_);
        return requests_;
    }
    // True once a held reply has sent its first part and waits.
    bool holding() const { return holding_.load(); }
    // Lets a held reply end (its connection closes).
    void release() {
        std::lock_guard<std::mutex> lock(m_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    static bool send_all(int fd, const char* p, size_t n) {
        while (n > 0) {
            const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    void run() {
        while (!stop_.load()) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            serve(c);
            close(c);
        }
    }

    void serve(int c) {
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) return;
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            request.append(buf, static_cast<size_t>(n));
        }
        const size_t sp1 = request.find(' ');
        const size_t sp2 = request.find(' ', sp1 + 1);
        const std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
        reply r;
        {
            std::lock_guard<std::mutex> lock(m_);
            requests_.push_back(path);
            auto it = replies_.find(path);
            if (it == replies_.end())
                r = reply{404, "not here"};
            else
                r = it->second;
        }
        const std::string head = "HTTP/1.1 " + std::to_string(r.status) +
                                 (r.status == 200 ? " OK" : " Error") +
                                 "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n";
        if (!send_all(c, head.data(), head.size())) return;
        if (r.how == mode::whole) {
            send_all(c, r.body.data(), r.body.size());
            shutdown(c, SHUT_WR);
            return;
        }
        send_all(c, r.body.data(), std::min(r.bytes_before, r.body.size()));
        if (r.how == mode::hold) {
            holding_.store(true);
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; });
            holding_.store(false);
        }
        // Cut: the connection closes short of the announced length.
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> holding_{false};
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool released_ = false;
    std::map<std::string, reply> replies_;
    std::vector<std::string> requests_;
};

} // namespace dialogtest
