// The vpcd front-end. pcscd's vpcd driver listens on TCP; the card connects
// as a client (connected = inserted). Frames both ways are a 2-byte
// big-endian length and the payload. A 1-byte payload from vpcd is a control:
// 0 power off, 1 power on, 2 reset, 4 "send the ATR"; any other payload is a
// command APDU, answered with the reply APDU.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "byte_order.h"
#include "card.h"

namespace cardsim {

namespace {

bool read_all(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        // The driver writes a frame's length and body in two sends; with a
        // delayed ACK from us, Nagle holds its second send for ~40 ms. Asking
        // for an immediate ACK (the kernel resets the flag) removes that stall.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send_frame(int fd, const std::vector<uint8_t>& payload) {
    if (payload.size() > 0xFFFF) return false;
    std::vector<uint8_t> frame(2 + payload.size());
    put_be16(static_cast<uint32_t>(payload.size()), frame.data());
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    return write_all(fd, frame.data(), frame.size());
}

} // namespace

struct vpcd_link::impl {
    impl(card& c_, uint16_t port_, std::string host_)
        : c(c_), port(port_), host(std::move(host_)) {}

    card& c;
    uint16_t port;
    std::string host;
    std::mutex control; // serialises start and stop
    std::atomic<int> fd{-1};
    std::atomic<bool> running{false};
    std::thread worker;

    void serve(int s) {
        std::vector<uint8_t> payload;
        for (;;) {
            uint8_t len[2];
            if (!read_all(s, len, 2)) break;
            const size_t n = get_be16(len);
            payload.resize(n);
            if (n > 0 && !read_all(s, payload.data(), n)) break;
            if (n == 1) {
                switch (payload[0]) {
                case 0:
                    c.power_off();
                    break;
                case 1:
                    c.power_on();
                    break;
                case 2:
                    c.reset();
                    break;
                case 4:
                    if (!send_frame(s, c.atr())) goto done;
                    break;
                default:
                    break; // unknown controls are ignored
                }
                continue;
            }
            const std::vector<uint8_t> reply = c.transmit(payload);
            if (!send_frame(s, reply)) break;
            if (reply.empty()) {
                // vpcd waits for the body of a zero-length frame with
                // recv(len 0, MSG_WAITALL), which blocks until more bytes
                // come, stalling both of its readers. End the stream instead:
                // the driver then fails this exchange and the card is removed.
                ::shutdown(s, SHUT_WR);
                break;
            }
        }
    done:
        running = false;
    }
};

vpcd_link::vpcd_link(card& c, uint16_t port, std::string host)
    : impl_(std::make_unique<impl>(c, port, std::move(host))) {}

vpcd_link::~vpcd_link() {
    stop();
}

bool vpcd_link::start() {
    std::lock_guard g(impl_->control);
    if (impl_->worker.joinable()) {
        if (impl_->running) return true;
        impl_->worker.join(); // the peer closed earlier: clean up and reconnect
        ::close(impl_->fd.exchange(-1));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(impl_->port);
    if (::inet_pton(AF_INET, impl_->host.c_str(), &addr.sin_addr) != 1) return false;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(s);
        return false;
    }
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    impl_->fd = s;
    impl_->running = true;
    impl_->worker = std::thread([this, s] {
        try {
            impl_->serve(s);
        } catch (...) {
            impl_->running = false; // as when vpcd closes the link
        }
    });
    return true;
}

void vpcd_link::stop() {
    std::lock_guard g(impl_->control);
    const int s = impl_->fd.load();
    if (s >= 0) ::shutdown(s, SHUT_RDWR); // wakes the worker at once
    if (impl_->worker.joinable()) impl_->worker.join();
    if (s >= 0) ::close(impl_->fd.exchange(-1));
    impl_->running = false;
}

bool vpcd_link::connected() const {
    return impl_->running;
}

} // namespace cardsim
