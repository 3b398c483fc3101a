#include "event.h"

#include <chrono>

namespace plat {

event::event(bool manual_reset, bool initially_set, std::string name)
    : manual_reset_(manual_reset), set_(initially_set), name_(std::move(name)) {}

void event::set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    // An auto-reset event lets one waiter through; a manual-reset one all.
    if (manual_reset_) {
        changed_.notify_all();
    } else {
        changed_.notify_one();
    }
}

void event::reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

uint32_t event::wait(uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    auto is_set = [this] { return set_; };
    if (milliseconds == infinite) {
        changed_.wait(lock, is_set);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), is_set)) {
        return wait_timeout;
    }
    if (!manual_reset_) set_ = false;
    return wait_object_0;
}

} // namespace plat
