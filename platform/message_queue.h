// Stands in for a hidden message-only window of one process (CreateWindowEx
// with no parent, PostMessage, GetMessage / PeekMessage filtered to a message
// range, DestroyWindow): a window is an in-process message queue named by an
// id. Ids are never reused within a process, so a message posted to a window
// that was destroyed is refused, as PostMessage to a dead window handle is,
// and can never reach a newer window.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using window_id = uint64_t; // 0: no window

struct window_msg {
    uint32_t message = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
};

// At most this many messages wait in one window; a post beyond it is refused.
inline constexpr size_t window_queue_max = 10000;

// Creates a window (class name and title are labels only); 0 when no memory.
window_id create_message_window(const std::string& class_name, const std::string& title);
// Destroys the window: queued messages are dropped and a thread blocked in
// get_window_message on it returns at once. False for an unknown id.
bool destroy_message_window(window_id window);
// Appends a message; false when the window does not exist or its queue is full.
bool post_window_message(window_id window, uint32_t message, uintptr_t wparam = 0,
                         intptr_t lparam = 0);

enum class get_result {
    message,   // *out holds the first queued message within [first, last]
    timeout,   // none arrived within the time-out
    no_window, // the window does not exist or was destroyed during the wait
};
// Takes the first queued message whose number lies in [first, last], waiting
// up to timeout_ms for one (plat::infinite: no time-out). Messages outside
// the range stay queued.
get_result get_window_message(window_id window, uint32_t first, uint32_t last, uint32_t timeout_ms,
                              window_msg* out);
// Threads blocked in get_window_message on the window at this moment (0 for
// an unknown id): lets a caller wait until a waiter really waits.
size_t window_message_waiters(window_id window);
// Removes every queued message in [first, last]; returns how many went.
size_t drop_window_messages(window_id window, uint32_t first, uint32_t last);
// The window's title ("" for an unknown id).
std::string window_title(window_id window);
// Builds the process's window table now. Code that keeps windows in its own
// static state calls it first, so that the table outlives that state.
void init_message_windows();

} // namespace plat
