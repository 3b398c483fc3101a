// Stands in for FindWindow + SendMessage(WM_COPYDATA) between the processes of
// one user: a hidden top-level window registered under a class name, and the
// COPYDATASTRUCT (dwData, cbData, lpData) that another process sends it.
//
// A "window" is a Unix-domain stream socket named after its class in the
// per-user runtime directory ($XDG_RUNTIME_DIR/tessvik or /tmp/tessvik-<uid>,
// mode 0700: the directory the session-local named mutexes use).
//
// Wire form of one message (little-endian):
//   u64 dwData | u32 cbData | cbData bytes         sender -> receiver
//   u8 answer (1 taken, 0 refused)                   receiver -> sender
// The receiver takes only peers of its own user (SO_PEERCRED), refuses a
// cbData above copydata_max without reading the bytes, reads exactly cbData
// bytes, answers at once and runs its handler on a thread of its own, so a
// slow handler never holds up a sender. The sender waits for the answer no
// longer than its time-out. A socket file left by a receiver that died
// accepts no connection: it counts as no window, and the next receiver of
// that class replaces it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Largest cbData a receiver takes (the messages of this system are short texts).
inline constexpr uint32_t copydata_max = 64 * 1024;

// What a receiver's handler gets: COPYDATASTRUCT with the bytes copied out.
struct copydata {
    uint64_t dw_data = 0;       // dwData (ULONG_PTR)
    std::vector<uint8_t> bytes; // lpData[0 .. cbData)
};

using copydata_handler = std::function<void(const copydata&)>;

enum class window_status {
    ok,
    in_use, // a live window of that class already exists
    failed, // no runtime directory, socket error, over-long path, thread not started
};

// The receiving side: a registered class with its window. Destroying it stops
// its threads (records not yet handled are dropped) and removes its socket.
class message_window {
  public:
    static std::unique_ptr<message_window>
    create(std::string_view class_name, copydata_handler handler, window_status* status = nullptr);
    ~message_window();
    message_window(const message_window&) = delete;
    message_window& operator=(const message_window&) = delete;

    const std::string& class_name() const { return class_name_; }

  private:
    struct impl;
    message_window(std::string class_name, std::unique_ptr<impl> state);
    std::string class_name_;
    std::unique_ptr<impl> impl_;
};

enum class send_result {
    delivered, // the receiver took the record
    no_window, // the target is empty or its receiver has gone
    refused,   // the receiver would not take it (too long, queue full, another user)
    timeout,   // no answer within the time-out
    failed,    // socket error, or cbData above copydata_max (nothing sent)
};

// The sending side's HWND: the socket of a window that was live when
// find_window looked (it may have gone by the time of a send).
struct window_target {
    std::string path; // empty: no window
    explicit operator bool() const { return !path.empty(); }
};

// FindWindow(class, any title): an empty target when no live window of that
// class exists. Never waits for a receiver.
window_target find_window(std::string_view class_name);

// SendMessage(WM_COPYDATA) with a bound on the wait: sends one record and
// waits up to timeout_ms for the receiver's answer (the whole send, connect
// included, keeps to it). A target may be used for several sends.
send_result send_copydata(const window_target& target, uint64_t dw_data,
                          std::span<const uint8_t> bytes, uint32_t timeout_ms);

// The socket a class maps to (directory + encoded name); empty when no
// runtime directory can be determined or the path is too long for a socket.
std::string window_socket_path(std::string_view class_name);

} // namespace plat
