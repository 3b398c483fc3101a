#include "message_queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "wait.h"

namespace plat {

namespace {

struct queue {
    std::string title;
    std::mutex m;
    std::condition_variable arrived;
    std::deque<window_msg> messages;
    bool destroyed = false;
    size_t waiters = 0; // threads blocked in get_window_message
};

// The windows of the process. Each queue is shared with the threads that use
// it at the moment, so a destroy never frees a queue under a waiter.
struct registry {
    std::mutex m;
    std::unordered_map<window_id, std::shared_ptr<queue>> windows;
    window_id next_id = 0x1000;
};

registry& windows() {
    // Destroyed with the library (so that an unloaded library leaves no
    // memory behind); its users build it before their own state, so it
    // outlives them.
    static registry r;
    return r;
}

std::shared_ptr<queue> find(window_id window) {
    registry& r = windows();
    std::lock_guard lock(r.m);
    const auto it = r.windows.find(window);
    return it == r.windows.end() ? nullptr : it->second;
}

bool in_range(const window_msg& msg, uint32_t first, uint32_t last) {
    return msg.message >= first && msg.message <= last;
}

} // namespace

window_id create_message_window(const std::string& class_name, const std::string& title) {
    try {
        auto q = std::make_shared<queue>();
        (void)class_name; // one name serves: the class and the title are the same text
        q->title = title;
        registry& r = windows();
        std::lock_guard lock(r.m);
        const window_id id = ++r.next_id;
        r.windows.emplace(id, std::move(q));
        return id;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool destroy_message_window(window_id window) {
    std::shared_ptr<queue> q;
    {
        registry& r = windows();
        std::lock_guard lock(r.m);
        const auto it = r.windows.find(window);
        if (it == r.windows.end()) return false;
        q = std::move(it->second);
        r.windows.erase(it);
    }
    {
        std::lock_guard lock(q->m);
        q->destroyed = true;
        q->messages.clear();
    }
    q->arrived.notify_all();
    return true;
}

bool post_window_message(window_id window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    const std::shared_ptr<queue> q = find(window);
    if (!q) return false;
    {
        std::lock_guard lock(q->m);
        if (q->destroyed || q->messages.size() >= window_queue_max) return false;
        try {
            q->messages.push_back(window_msg{message, wparam, lparam});
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    q->arrived.notify_all();
    return true;
}

get_result get_window_message(window_id window, uint32_t first, uint32_t last, uint32_t timeout_ms,
                              window_msg* out) {
    const std::shared_ptr<queue> q = find(window);
    if (!q) return get_result::no_window;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock lock(q->m);
    for (;;) {
        if (q->destroyed) return get_result::no_window;
        for (auto it = q->messages.begin(); it != q->messages.end(); ++it) {
            if (!in_range(*it, first, last)) continue;
            if (out) *out = *it;
            q->messages.erase(it);
            return get_result::message;
        }
        ++q->waiters;
        bool timed_out = false;
        if (timeout_ms == infinite)
            q->arrived.wait(lock);
        else
            timed_out = q->arrived.wait_until(lock, deadline) == std::cv_status::timeout;
        --q->waiters;
        if (timed_out) {
            // One last look: a message may have come with the time-out.
            for (auto it = q->messages.begin(); it != q->messages.end(); ++it) {
                if (!in_range(*it, first, last)) continue;
                if (out) *out = *it;
                q->messages.erase(it);
                return get_result::message;
            }
            return q->destroyed ? get_result::no_window : get_result::timeout;
        }
    }
}

size_t window_message_waiters(window_id window) {
    const std::shared_ptr<queue> q = find(window);
    if (!q) return 0;
    std::lock_guard lock(q->m);
    return q->waiters;
}

size_t drop_window_messages(window_id window, uint32_t first, uint32_t last) {
    const std::shared_ptr<queue> q = find(window);
    if (!q) return 0;
    std::lock_guard lock(q->m);
    const size_t before = q->messages.size();
    std::erase_if(q->messages, [&](const window_msg& m) { return in_range(m, first, last); });
    return before - q->messages.size();
}

void init_message_windows() {
    (void)windows();
}

std::string window_title(window_id window) {
    const std::shared_ptr<queue> q = find(window);
    return q ? q->title : std::string();
}

} // namespace plat
