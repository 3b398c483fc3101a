// tessvik_soak: the soak harness (README.md here). "run" drives a whole soak;
// "setup", "worker", "recycler" and "check" are the parts it starts as
// processes.
#include <cstdio>
#include <cstring>

#include "soak.h"

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "run") == 0) return soak::run_driver(argc, argv);
    if (std::strcmp(command, "setup") == 0) return soak::run_setup(argc, argv);
    if (std::strcmp(command, "worker") == 0) return soak::run_worker(argc, argv);
    if (std::strcmp(command, "recycler") == 0) return soak::run_recycler(argc, argv);
    if (std::strcmp(command, "check") == 0) return soak::run_check(argc, argv);
    std::fprintf(stderr,
                 "usage: tessvik_soak run [--seconds S] [--lane K] [--out DIR] [--seed N]\n"
                 "                        [--faults LIST] [--workers N] [--recyclers N]\n"
                 "                        [--module PATH] [--cardsim PATH] [--source DIR]\n");
    return 2;
}
