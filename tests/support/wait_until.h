// Waiting on a state in tests: polls `done` until it holds or `timeout`
// passes, and returns its last answer. Tests wait on the state they expect
// instead of sleeping a guessed time.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

template <typename Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(poll);
    }
}

} // namespace test_support
