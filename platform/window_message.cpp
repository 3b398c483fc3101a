#include "window_message.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "name_encoding.h"

namespace plat {

namespace {

using clock = std::chrono::steady_clock;

constexpr size_t header_size = 12; // u64 dwData, u32 cbData
constexpr uint8_t answer_taken = 1;
constexpr uint8_t answer_refused = 0;
constexpr size_t queue_limit = 64; // records waiting for the handler
constexpr int peer_read_ms = 1000; // how long one sender may take to deliver its record
constexpr size_t socket_path_max = sizeof(sockaddr_un{}.sun_path) - 1;

// One file descriptor, closed with its holder.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Ours and closed to everyone else, created if need be.
bool prepare_directory(const std::string& directory) {
    if (::mkdir(directory.c_str(), 0700) == 0) {
        if (::chmod(directory.c_str(), 0700) != 0) return false;
    } else if (errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// Every byte outside [A-Za-z0-9._-] becomes %XX, so a class name never leaves
// the directory; a name too long for a socket address becomes a hash.
std::string socket_file_name(std::string_view class_name, size_t room) {
    std::string out = escaped_file_name("window-", class_name);
    out += ".sock";
    if (out.size() <= room) return out;
    char hashed[40];
    std::snprintf(hashed, sizeof hashed, "window~%016llx.sock",
                  static_cast<unsigned long long>(name_hash(class_name)));
    return hashed;
}

bool make_address(const std::string& path, sockaddr_un& address) {
    if (path.empty() || path.size() > socket_path_max) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

bool peer_is_our_user(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred)
        return false;
    return cred.uid == geteuid();
}

int remaining_ms(clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

enum class io_result { done, timeout, closed, error };

// Waits for `events` on fd until the deadline; a readable stop_fd ends the wait too.
io_result wait_for(int fd, short events, clock::time_point deadline, int stop_fd = -1) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
        int rc = ::poll(fds, stop_fd >= 0 ? 2 : 1, remaining_ms(deadline));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return io_result::error;
        }
        if (rc == 0) return io_result::timeout;
        if (stop_fd >= 0 && (fds[1].revents & POLLIN)) return io_result::closed;
        if (fds[0].revents & (events | POLLHUP | POLLERR)) return io_result::done;
    }
}

// Reads exactly out.size() bytes from a non-blocking socket before the deadline.
io_result read_exact(int fd, std::span<uint8_t> out, clock::time_point deadline, int stop_fd = -1) {
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::recv(fd, out.data() + got, out.size() - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return io_result::closed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return io_result::error;
        if (io_result r = wait_for(fd, POLLIN, deadline, stop_fd); r != io_result::done) return r;
    }
    return io_result::done;
}

io_result write_all(int fd, std::span<const uint8_t> data, clock::time_point deadline) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return io_result::closed;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return io_result::error;
        if (io_result r = wait_for(fd, POLLOUT, deadline); r != io_result::done) return r;
    }
    return io_result::done;
}

enum class connect_result { connected, no_window, busy, error };

connect_result connect_to(const std::string& path, unique_fd& out) {
    sockaddr_un address{};
    if (!make_address(path, address)) return connect_result::no_window;
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return connect_result::error;
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return connect_result::busy; // the receiver's backlog is full
        // ENOENT: no socket; ECONNREFUSED: a socket nobody listens on (its
        // receiver died); ENOTSOCK and the like: not a window either.
        return errno == ENOMEM || errno == ENOBUFS ? connect_result::error
                                                   : connect_result::no_window;
    }
    out = std::move(fd);
    return connect_result::connected;
}

void put_le(uint64_t value, size_t bytes, uint8_t* out) {
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= uint64_t{in[i]} << (8 * i);
    return value;
}

} // namespace

std::string window_socket_path(std::string_view class_name) {
    std::string directory = user_directory();
    if (directory.size() + 1 >= socket_path_max) return {};
    std::string path =
        directory + "/" + socket_file_name(class_name, socket_path_max - directory.size() - 1);
    return path.size() <= socket_path_max ? path : std::string();
}

// ---- Receiving side -----------------------------------------------------------------------

struct message_window::impl {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    unique_fd listener;
    unique_fd stop_read, stop_write;
    copydata_handler handler;

    std::mutex guard;
    std::condition_variable wake;
    std::deque<copydata> queue;
    bool stopping = false;

    std::thread acceptor, worker;

    void accept_loop();
    void serve(int fd);
    void handle_loop();
    bool enqueue(copydata&& record);
};

bool message_window::impl::enqueue(copydata&& record) {
    std::lock_guard lock(guard);
    if (stopping || queue.size() >= queue_limit) return false;
    queue.push_back(std::move(record));
    wake.notify_one();
    return true;
}

// One sender: its record, bounded by cbData and by copydata_max, then the answer.
void message_window::impl::serve(int fd) {
    if (!peer_is_our_user(fd)) return;
    const auto deadline = clock::now() + std::chrono::milliseconds(peer_read_ms);
    uint8_t header[header_size];
    if (read_exact(fd, header, deadline, stop_read.get()) != io_result::done) return;
    copydata record;
    record.dw_data = get_le(header, 8);
    const uint64_t length = get_le(header + 8, 4);
    uint8_t answer = answer_refused;
    if (length <= copydata_max) {
        record.bytes.resize(static_cast<size_t>(length));
        if (read_exact(fd, record.bytes, deadline, stop_read.get()) != io_result::done) return;
        if (enqueue(std::move(record))) answer = answer_taken;
    }
    (void)write_all(fd, std::span<const uint8_t>(&answer, 1), deadline);
}

void message_window::impl::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listener.get(), POLLIN, 0}, {stop_read.get(), POLLIN, 0}};
        int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) return;
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
            continue;
        }
        unique_fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!peer) {
            // Out of descriptors: give the process a moment instead of spinning
            // on a connection that stays pending.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue; // otherwise the sender gave up meanwhile
        }
        try {
            serve(peer.get());
        } catch (...) {
            // Out of memory for one message: that sender gets no answer and
            // times out; the window keeps accepting.
        }
    }
}

void message_window::impl::handle_loop() {
    std::unique_lock lock(guard);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.empty(); });
        if (stopping) return;
        copydata record = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        try {
            handler(record);
        } catch (...) {
            // A handler's failure ends that record only; the window keeps serving.
        }
        lock.lock();
    }
}

message_window::message_window(std::string class_name, std::unique_ptr<impl> state)
    : class_name_(std::move(class_name)), impl_(std::move(state)) {}

message_window::~message_window() {
    {
        std::lock_guard lock(impl_->guard);
        impl_->stopping = true;
        impl_->wake.notify_all();
    }
    const uint8_t byte = 1;
    (void)!::write(impl_->stop_write.get(), &byte, 1);
    if (impl_->acceptor.joinable()) impl_->acceptor.join();
    if (impl_->worker.joinable()) impl_->worker.join();
    // Remove the socket only while it is still ours (a later receiver of the
    // same class may have replaced a socket it took for stale).
    struct stat st {};
    if (::lstat(impl_->path.c_str(), &st) == 0 && st.st_dev == impl_->device &&
        st.st_ino == impl_->inode)
        ::unlink(impl_->path.c_str());
}

std::unique_ptr<message_window> message_window::create(std::string_view class_name,
                                                       copydata_handler handler,
                                                       window_status* status) {
    window_status ignored;
    if (!status) status = &ignored;
    *status = window_status::failed;
    if (class_name.empty() || !handler) return nullptr;
    auto state = std::make_unique<impl>();
    state->handler = std::move(handler);
    state->path = window_socket_path(class_name);
    sockaddr_un address{};
    if (!make_address(state->path, address) || !prepare_directory(user_directory())) return nullptr;

    // Two receivers of one class starting together take turns here, so neither
    // removes the socket the other has just bound.
    const std::string lock_path = state->path + ".lock";
    unique_fd lock_fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock_fd) return nullptr;
    while (::flock(lock_fd.get(), LOCK_EX) != 0)
        if (errno != EINTR) return nullptr;

    state->listener = unique_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!state->listener) return nullptr;
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(state->listener.get(), raw, sizeof address) != 0) {
        if (errno != EADDRINUSE) return nullptr;
        unique_fd probe;
        switch (connect_to(state->path, probe)) {
        case connect_result::connected:
        case connect_result::busy:
            *status = window_status::in_use;
            return nullptr;
        case connect_result::error:
            return nullptr;
        case connect_result::no_window:
            break;
        }
        // Left behind by a receiver that died: replace it, if it is a socket.
        struct stat st {};
        if (::lstat(state->path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return nullptr;
        if (::unlink(state->path.c_str()) != 0 ||
            ::bind(state->listener.get(), raw, sizeof address) != 0)
            return nullptr;
    }
    struct stat st {};
    if (::listen(state->listener.get(), 16) != 0 || ::lstat(state->path.c_str(), &st) != 0) {
        ::unlink(state->path.c_str());
        return nullptr;
    }
    state->device = st.st_dev;
    state->inode = st.st_ino;

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::unlink(state->path.c_str());
        return nullptr;
    }
    state->stop_read = unique_fd(pipe_fds[0]);
    state->stop_write = unique_fd(pipe_fds[1]);

    // From here the window's destructor stops whatever was started and removes the socket.
    std::unique_ptr<message_window> window(
        new message_window(std::string(class_name), std::move(state)));
    impl* s = window->impl_.get();
    try {
        s->worker = std::thread([s] { s->handle_loop(); });
        s->acceptor = std::thread([s] { s->accept_loop(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    *status = window_status::ok;
    return window;
}

// ---- Sending side -------------------------------------------------------------------------

window_target find_window(std::string_view class_name) {
    window_target target;
    if (class_name.empty()) return target;
    std::string path = window_socket_path(class_name);
    unique_fd probe;
    switch (connect_to(path, probe)) {
    case connect_result::connected:
        if (!peer_is_our_user(probe.get())) return target;
        break;
    case connect_result::busy:
        break; // alive, only busy
    case connect_result::no_window:
    case connect_result::error:
        return target;
    }
    target.path = std::move(path);
    return target;
}

send_result send_copydata(const window_target& target, uint64_t dw_data,
                          std::span<const uint8_t> bytes, uint32_t timeout_ms) {
    if (!target) return send_result::no_window;
    if (bytes.size() > copydata_max) return send_result::failed;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);

    unique_fd fd;
    for (;;) {
        connect_result c = connect_to(target.path, fd);
        if (c == connect_result::connected) break;
        if (c == connect_result::no_window) return send_result::no_window;
        if (c == connect_result::error) return send_result::failed;
        if (clock::now() >= deadline) return send_result::timeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!peer_is_our_user(fd.get())) return send_result::refused;

    std::vector<uint8_t> message(header_size + bytes.size());
    put_le(dw_data, 8, message.data());
    put_le(bytes.size(), 4, message.data() + 8);
    if (!bytes.empty()) std::memcpy(message.data() + header_size, bytes.data(), bytes.size());
    switch (write_all(fd.get(), message, deadline)) {
    case io_result::done:
        break;
    case io_result::timeout:
        return send_result::timeout;
    case io_result::closed:
        return send_result::no_window;
    case io_result::error:
        return send_result::failed;
    }
    uint8_t answer = answer_refused;
    switch (read_exact(fd.get(), std::span<uint8_t>(&answer, 1), deadline)) {
    case io_result::done:
        return answer == answer_taken ? send_result::delivered : send_result::refused;
    case io_result::timeout:
        return send_result::timeout;
    case io_result::closed:
        return send_result::refused;
    case io_result::error:
        return send_result::failed;
    }
    return send_result::failed;
}

} // namespace plat
