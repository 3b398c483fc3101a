#include "cardsim_harness.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <winscard.h>

#include "wait_until.h"

namespace cardsim::test {

namespace {

// The same layout as scripts/pcscd.sh: lane K > 0 keeps its pcscd's socket in
// $TESSVIK_PCSCD_DIR/lane-K/run, and its readers listen on 35963+2K, 35964+2K.
constexpr uint16_t lane0_first_port = 35963;

std::string pcscd_state_dir() {
    const char* dir = std::getenv("TESSVIK_PCSCD_DIR");
    return (dir && *dir) ? dir : "/run/tessvik-pcscd";
}

// A lane number from "K" (TESSVIK_TEST_LANE) or CTest's allocation
// "id:K,slots:1"; -1 when there is none.
int parse_lane(const char* text, bool ctest_form) {
    if (text == nullptr) return -1;
    std::string_view view(text);
    if (ctest_form) {
        if (!view.starts_with("id:")) return -1;
        view.remove_prefix(3);
        view = view.substr(0, view.find(','));
    }
    if (view.empty() || view.size() > 2) return -1;
    int value = 0;
    for (const char c : view) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Points this process, and the processes it starts, at its lane. Runs before
// main(): the PC/SC client library reads PCSCLITE_CSOCK_NAME once, at its
// first call, which may come before the test takes its lane's lock.
int choose_lane() {
    int chosen = parse_lane(std::getenv("TESSVIK_TEST_LANE"), false);
    if (chosen < 0) chosen = parse_lane(std::getenv("CTEST_RESOURCE_GROUP_0_PCSCD_LANES"), true);
    if (chosen < 0) chosen = 0;
    const std::string number = std::to_string(chosen);
    setenv("TESSVIK_TEST_LANE", number.c_str(), 1);
    if (chosen == 0) return chosen;

    const std::string socket = pcscd_state_dir() + "/lane-" + number + "/run/pcscd.comm";
    setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
    // The module names its mutexes after the reader, and every lane has the
    // same reader names: each lane gets a directory of its own (once, also
    // when a parent already chose it).
    const char* locks = std::getenv("TESSVIK_LOCK_DIR");
    std::string dir = (locks && *locks) ? locks : "/tmp/tessvik-locks";
    const std::string suffix = "/lane-" + number;
    if (!dir.ends_with(suffix)) {
        // The module makes its lock directory, but not the one above it.
        if (::mkdir(dir.c_str(), 01777) == 0) ::chmod(dir.c_str(), 01777);
        dir += suffix;
    }
    setenv("TESSVIK_LOCK_DIR", dir.c_str(), 1);
    return chosen;
}

// Chosen at start-up (see choose_lane), and on first use by the static
// initialisers of other files that may run before this one's.
[[maybe_unused]] const int lane_at_start = lane();

// Owns a PC/SC context.
class pcsc_context {
  public:
    pcsc_context() {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_) != SCARD_S_SUCCESS)
            ctx_ = 0;
    }
    ~pcsc_context() {
        if (ctx_) SCardReleaseContext(ctx_);
    }
    pcsc_context(const pcsc_context&) = delete;
    pcsc_context& operator=(const pcsc_context&) = delete;
    SCARDCONTEXT get() const { return ctx_; }

  private:
    SCARDCONTEXT ctx_ = 0;
};

// The machine-wide lock of the pcscd tests, held until the process ends
// (the kernel also releases it when the process dies).
class machine_lock {
  public:
    bool acquire(std::chrono::seconds timeout) {
        if (fd_ < 0) {
            const std::string path = lane_lock_path();
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            // Another user's file in the sticky /tmp: open it without O_CREAT.
            if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd_ < 0) return false;
            ::fchmod(fd_, 0666);
        }
        // Polled finely: test processes take turns on this lock, and every
        // millisecond between one's end and the next one's start adds up.
        return test_support::wait_until([&] { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; },
                                        timeout, std::chrono::milliseconds(5));
    }
    ~machine_lock() {
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    int fd_ = -1;
};

} // namespace

int lane() {
    static const int chosen = choose_lane();
    return chosen;
}

uint16_t first_port() {
    return static_cast<uint16_t>(lane0_first_port + 2 * lane());
}

uint16_t second_port() {
    return static_cast<uint16_t>(first_port() + 1);
}

// Lane 0 keeps the file name it always had: benchmarks and other build trees'
// tests that know only that lane take turns on it too.
std::string lane_lock_path() {
    if (lane() == 0) return "/tmp/tessvik-pcscd-tests.lock";
    return "/tmp/tessvik-pcscd-tests.lane-" + std::to_string(lane()) + ".lock";
}

bool hold_pcscd_test_lock() {
    static machine_lock lock;
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = lock.acquire(std::chrono::seconds(300)); });
    return ok;
}

std::string reader_for_port(uint16_t port) {
    return port == second_port() ? "Quessar vKessa Tavrel 00 01" : "Quessar vKessa Tavrel 00 00";
}

namespace {

// True when the running pcscd lists both of the project's readers: then it
// runs with our configuration and scripts/pcscd.sh has nothing to do.
bool project_readers_listed() {
    pcsc_context ctx;
    if (ctx.get() == 0) return false;
    DWORD length = 0;
    if (SCardListReaders(ctx.get(), nullptr, nullptr, &length) != SCARD_S_SUCCESS || length == 0)
        return false;
    std::string names(length, '\0');
    if (SCardListReaders(ctx.get(), nullptr, names.data(), &length) != SCARD_S_SUCCESS)
        return false;
    names.resize(std::min<size_t>(length, names.size()));
    bool first = false;
    bool second = false;
    for (size_t pos = 0; pos < names.size() && names[pos] != '\0';) {
        const std::string name(names.c_str() + pos);
        first = first || name == reader_for_port(first_port());
        second = second || name == reader_for_port(second_port());
        pos += name.size() + 1;
    }
    return first && second;
}

} // namespace

bool ensure_pcscd() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        // A test that talks to its lane's pcscd sees both readers: it takes
        // its turn with the test processes of other build trees too.
        if (!hold_pcscd_test_lock()) return;
        // The script (about 0.1 s of shell) only when the readers are missing.
        if (project_readers_listed()) {
            ok = true;
            return;
        }
        const std::string cmd = "bash '" TESSVIK_SOURCE_DIR "/scripts/pcscd.sh' start --lane " +
                                std::to_string(lane()) + " >/dev/null";
        ok = std::system(cmd.c_str()) == 0;
    });
    return ok;
}

bool wait_for_reader(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        // A fresh context each round: a pcscd that (re)started meanwhile is
        // then picked up too.
        pcsc_context ctx;
        if (ctx.get() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        SCARD_READERSTATE state{};
        state.szReader = reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        while (clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            const LONG rv = SCardGetStatusChange(
                ctx.get(), static_cast<DWORD>(std::max<long>(left.count(), 1)), &state, 1);
            if (rv == static_cast<LONG>(SCARD_E_TIMEOUT)) return false;
            if (rv != SCARD_S_SUCCESS) break; // new context
            const DWORD s = state.dwEventState;
            if (!(s & SCARD_STATE_UNKNOWN)) {
                const bool has_card = (s & SCARD_STATE_PRESENT) && !(s & SCARD_STATE_MUTE);
                if (has_card == present && ((s & SCARD_STATE_EMPTY) != 0) == !present) return true;
            }
            state.dwCurrentState = s & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

simulated_token::simulated_token(card_options options, uint16_t port)
    : card_(std::move(options)), link_(card_, port), reader_(reader_for_port(port)) {
    if (!hold_pcscd_test_lock()) {
        error_ = "another process holds " + lane_lock_path() + " for more than 300 s";
        return;
    }
    if (!ensure_pcscd()) {
        error_ = "pcscd with the project's readers could not be started (scripts/pcscd.sh start "
                 "--lane " +
                 std::to_string(lane()) + ")";
        return;
    }
    // The reader must be empty first: a card left there by someone else
    // would answer in place of ours.
    if (!wait_for_reader(reader_, false, std::chrono::seconds(10))) {
        error_ = "reader '" + reader_ + "' of lane " + std::to_string(lane()) +
                 " is not listed or not empty";
        return;
    }
    insert();
}

simulated_token::~simulated_token() {
    remove();
}

bool simulated_token::insert(std::chrono::milliseconds timeout) {
    if (!link_.start()) {
        error_ = "cannot connect to vpcd for '" + reader_ + "' of lane " + std::to_string(lane());
        return false;
    }
    inserted_ = wait_for_reader(reader_, true, timeout);
    if (!inserted_)
        error_ =
            "PC/SC does not show the card in '" + reader_ + "' of lane " + std::to_string(lane());
    return inserted_;
}

bool simulated_token::remove(std::chrono::milliseconds timeout) {
    const bool was_connected = link_.connected();
    link_.stop();
    inserted_ = false;
    return !was_connected || wait_for_reader(reader_, false, timeout);
}

} // namespace cardsim::test
