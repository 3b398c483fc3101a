#include "thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include <sched.h>

namespace plat {

struct thread::shared {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    uint32_t code = still_active;
};

std::unique_ptr<thread> thread::start(std::function<uint32_t()> routine) {
    std::unique_ptr<thread> t(new thread);
    t->shared_ = std::make_shared<shared>();
    try {
        t->thread_ = std::thread([s = t->shared_, routine = std::move(routine)] {
            uint32_t code = thread_aborted;
            try {
                code = routine();
            } catch (...) {
                // Routines handle their own failures; this is the last guard.
            }
            std::lock_guard lock(s->mutex);
            s->code = code;
            s->done = true;
            s->ended.notify_all();
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return t;
}

thread::~thread() {
    if (thread_.joinable()) thread_.join();
}

uint32_t thread::exit_code() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->code;
}

bool thread::join(uint32_t milliseconds) {
    {
        std::unique_lock lock(shared_->mutex);
        auto done = [this] { return shared_->done; };
        if (milliseconds == infinite) {
            shared_->ended.wait(lock, done);
        } else if (!shared_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) {
            return false;
        }
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

void sleep_ms(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

} // namespace plat
