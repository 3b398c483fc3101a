// Test helper: takes the named mutex given as argument 1 in this process,
// prints "locked" once it holds it, keeps it for argument 2 milliseconds, then
// releases it.
#include <cstdio>
#include <cstdlib>

#include "os_sync.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    os_mutex* m = os_mutex_new();
    if (m == nullptr || os_mutex_open(m, argv[1]) != OS_MUTEX_OK) return 3;
    if (os_mutex_lock(m, plat::infinite) != OS_MUTEX_OK) return 4;
    std::printf("locked\n");
    std::fflush(stdout);
    os_sleep(static_cast<uint32_t>(std::atoi(argv[2])));
    os_mutex_unlock(m);
    os_mutex_free(m);
    return 0;
}
