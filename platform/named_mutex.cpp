#include "named_mutex.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "name_encoding.h"

namespace plat {

// Shared by every handle of one process to one name.
struct mutex_state {
    std::string path;
    pid_t pid = 0; // the process that opened fd (a forked child reopens)
    int fd = -1;
    std::mutex guard;
    std::condition_variable freed;
    std::thread::id owner;
    int depth = 0; // > 0 while owner holds it or is acquiring the file lock

    ~mutex_state() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

using clock = std::chrono::steady_clock;

constexpr std::string_view global_prefix = "Global\\";
constexpr std::string_view local_prefix = "Local\\";
constexpr size_t marker_size = 16; // "H <pid>" while held, "F" when free, blank-padded

struct registry {
    std::mutex guard;
    std::map<std::string, std::weak_ptr<mutex_state>> states;
};

registry& the_registry();

// fork() copies the in-process half of every mutex as it stands, with the
// waiters of the parent's threads recorded in its condition variable and
// perhaps its guard taken by one of them. None of those threads exists in the
// child: a notify there would wait for them for ever. So the registry and
// every guard are held across fork(), and the child, where only the forking
// thread runs, gets fresh guards and condition variables; its first wait
// then opens a file description of its own (named_mutex::wait).
void before_fork() {
    registry& r = the_registry();
    r.guard.lock();
    for (auto& [path, weak] : r.states)
        if (auto state = weak.lock()) state->guard.lock();
}

void after_fork_in_parent() {
    registry& r = the_registry();
    for (auto& [path, weak] : r.states)
        if (auto state = weak.lock()) state->guard.unlock();
    r.guard.unlock();
}

void after_fork_in_child() {
    registry& r = the_registry();
    for (auto& [path, weak] : r.states) {
        if (auto state = weak.lock()) {
            new (&state->guard) std::mutex;
            new (&state->freed) std::condition_variable;
        }
    }
    new (&r.guard) std::mutex;
}

registry& the_registry() {
    // Destroyed with the library, so that an unloaded library leaves no
    // memory behind. Only opening a mutex looks into it: a static handle that
    // is closed after it is gone does not. The fork handlers go with the
    // library too (glibc drops a library's handlers when it is unloaded).
    static registry r = [] {
        (void)pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
        return registry{};
    }();
    return r;
}

// Built while the program or library loads, so that it outlives every object
// built later, and the threads those objects stop, that may still open a
// mutex (objects are destroyed in the reverse order of their construction).
[[maybe_unused]] const bool registry_built = (the_registry(), true);

std::string global_directory() {
    const char* dir = std::getenv("TESSVIK_LOCK_DIR");
    return (dir && *dir) ? dir : "/tmp/tessvik-locks";
}

// Maps a name to a file name that stays inside its directory: every byte
// outside [A-Za-z0-9._-] becomes %XX, a fixed prefix and suffix keep "." and
// ".." out, and an over-long name is cut and completed by a hash of the whole.
std::string encode_name(std::string_view name) {
    std::string out = escaped_file_name("mutex-", name);
    if (out.size() > 200) {
        char tail[20];
        std::snprintf(tail, sizeof tail, "~%016llx",
                      static_cast<unsigned long long>(name_hash(name)));
        out.resize(180);
        out += tail;
    }
    return out + ".lock";
}

struct location {
    std::string directory;
    std::string path;
    bool global = false;
};

location locate(std::string_view name) {
    location at;
    if (name.starts_with(global_prefix)) {
        at.global = true;
        name.remove_prefix(global_prefix.size());
        at.directory = global_directory();
    } else {
        if (name.starts_with(local_prefix)) name.remove_prefix(local_prefix.size());
        at.directory = user_directory();
    }
    at.path = at.directory + "/" + encode_name(name);
    return at;
}

mutex_status status_of(int error) {
    switch (error) {
    case ENOENT:
        return mutex_status::not_found;
    case EACCES:
    case EPERM:
        return mutex_status::access_denied;
    default:
        return mutex_status::failed;
    }
}

// The per-user directory must be ours and closed to others; the global one is
// created sticky and writable by all.
mutex_status prepare_directory(const location& at) {
    mode_t mode = at.global ? 01777 : 0700;
    if (::mkdir(at.directory.c_str(), mode) == 0) {
        if (::chmod(at.directory.c_str(), mode) != 0) return mutex_status::failed; // past the umask
    } else if (errno != EEXIST) {
        return status_of(errno);
    }
    if (at.global) return mutex_status::ok;
    struct stat st {};
    if (::lstat(at.directory.c_str(), &st) != 0) return status_of(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        return mutex_status::access_denied;
    return mutex_status::ok;
}

std::shared_ptr<mutex_state> find_state(const std::string& path) {
    auto& states = the_registry().states;
    auto it = states.find(path);
    if (it == states.end()) return nullptr;
    if (auto state = it->second.lock()) return state;
    states.erase(it);
    return nullptr;
}

std::shared_ptr<mutex_state> new_state(const std::string& path, int fd) {
    auto state = std::make_shared<mutex_state>();
    state->path = path;
    state->pid = getpid();
    state->fd = fd;
    the_registry().states[path] = state;
    return state;
}

int open_lock_file(const std::string& path, mutex_status* status) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *status = status_of(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *status = mutex_status::failed;
        return -1;
    }
    *status = mutex_status::ok;
    return fd;
}

// Takes the file lock; a finite time-out polls, since flock has none.
uint32_t file_lock(int fd, std::optional<clock::time_point> deadline) {
    for (;;) {
        if (::flock(fd, deadline ? LOCK_EX | LOCK_NB : LOCK_EX) == 0) return wait_object_0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || !deadline) return wait_failed;
        if (clock::now() >= *deadline) return wait_timeout;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void write_marker(int fd, bool held) {
    char text[marker_size + 1];
    if (held) {
        std::snprintf(text, sizeof text, "H %-13d\n", static_cast<int>(getpid()));
    } else {
        std::snprintf(text, sizeof text, "F %-13s\n", "");
    }
    (void)!::pwrite(fd, text, marker_size, 0);
}

// True when the file says another process held the mutex when it ended.
bool marked_abandoned(int fd) {
    char text[marker_size + 1] = {};
    ssize_t got = ::pread(fd, text, marker_size, 0);
    if (got < 2 || text[0] != 'H') return false;
    return std::atoi(text + 1) != static_cast<int>(getpid());
}

} // namespace

std::string mutex_lock_path(std::string_view name) {
    return locate(name).path;
}

named_mutex::named_mutex(std::string name, std::shared_ptr<mutex_state> state)
    : name_(std::move(name)), state_(std::move(state)) {}

named_mutex::~named_mutex() {
    while (owner_depth() > 0)
        release();
}

std::unique_ptr<named_mutex> named_mutex::open(std::string_view name, mutex_status* status) {
    mutex_status ignored;
    if (!status) status = &ignored;
    *status = mutex_status::failed;
    if (name.empty()) return nullptr;
    location at = locate(name);
    std::lock_guard lock(the_registry().guard);
    auto state = find_state(at.path);
    if (!state) {
        int fd = open_lock_file(at.path, status);
        if (fd < 0) return nullptr;
        state = new_state(at.path, fd);
    }
    *status = mutex_status::ok;
    return std::unique_ptr<named_mutex>(new named_mutex(std::string(name), std::move(state)));
}

std::unique_ptr<named_mutex> named_mutex::create(std::string_view name, mutex_access access,
                                                 mutex_status* status) {
    mutex_status ignored;
    if (!status) status = &ignored;
    *status = mutex_status::failed;
    if (name.empty()) return nullptr;
    location at = locate(name);
    std::lock_guard lock(the_registry().guard);
    auto state = find_state(at.path);
    if (!state) {
        if ((*status = prepare_directory(at)) != mutex_status::ok) return nullptr;
        mode_t mode = access == mutex_access::everyone ? 0666 : 0600;
        int fd = ::open(at.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (::fchmod(fd, mode) != 0) { // past the umask
                ::close(fd);
                return nullptr;
            }
        } else if (errno == EEXIST) {
            fd = open_lock_file(at.path, status);
        } else {
            *status = status_of(errno);
        }
        if (fd < 0) return nullptr;
        state = new_state(at.path, fd);
    }
    *status = mutex_status::ok;
    return std::unique_ptr<named_mutex>(new named_mutex(std::string(name), std::move(state)));
}

uint32_t named_mutex::wait(uint32_t milliseconds) {
    mutex_state& s = *state_;
    std::optional<clock::time_point> deadline;
    if (milliseconds != infinite) deadline = clock::now() + std::chrono::milliseconds(milliseconds);
    const auto me = std::this_thread::get_id();

    std::unique_lock lock(s.guard);
    if (s.pid != getpid()) {
        // A forked child shares the parent's open file description, and with it
        // the parent's flock: open a description of its own.
        int fd = ::open(s.path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return wait_failed;
        ::close(s.fd);
        s.fd = fd;
        s.pid = getpid();
        s.depth = 0;
        s.owner = {};
    }
    if (s.depth > 0 && s.owner == me) {
        ++s.depth;
        return wait_object_0;
    }
    auto is_free = [&] { return s.depth == 0; };
    if (!deadline) {
        s.freed.wait(lock, is_free);
    } else if (!s.freed.wait_until(lock, *deadline, is_free)) {
        return wait_timeout;
    }
    // Claimed inside the process; the file lock excludes other processes.
    s.owner = me;
    s.depth = 1;
    lock.unlock();
    uint32_t result = file_lock(s.fd, deadline);
    lock.lock();
    if (result != wait_object_0) {
        s.depth = 0;
        s.owner = {};
        s.freed.notify_one();
        return result;
    }
    bool abandoned = marked_abandoned(s.fd);
    write_marker(s.fd, true);
    return abandoned ? wait_abandoned : wait_object_0;
}

bool named_mutex::release() {
    mutex_state& s = *state_;
    std::lock_guard lock(s.guard);
    if (s.depth == 0 || s.owner != std::this_thread::get_id() || s.pid != getpid()) return false;
    if (--s.depth > 0) return true;
    write_marker(s.fd, false);
    ::flock(s.fd, LOCK_UN);
    s.owner = {};
    s.freed.notify_one();
    return true;
}

int named_mutex::owner_depth() const {
    mutex_state& s = *state_;
    std::lock_guard lock(s.guard);
    return (s.owner == std::this_thread::get_id() && s.pid == getpid()) ? s.depth : 0;
}

} // namespace plat
