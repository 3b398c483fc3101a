#include "pcsc_fork_guard.h"

#include <new>

#include <pthread.h>

namespace {

void before_fork() {
    pcsc_fork_guard().lock();
}

void after_fork_in_parent() {
    pcsc_fork_guard().unlock();
}

// The child's only thread is the one that forked; the readers the guard
// counted belong to the parent. A fresh guard is the child's own.
void after_fork_in_child() {
    new (&pcsc_fork_guard()) std::shared_mutex;
}

// Built while the library loads, so that it outlives every thread that makes
// PC/SC calls; the fork handlers go with the library when it is unloaded.
[[maybe_unused]] const bool guard_built = (pcsc_fork_guard(), true);

} // namespace

std::shared_mutex& pcsc_fork_guard() {
    static std::shared_mutex guard;
    static const bool registered =
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
    (void)registered;
    return guard;
}
