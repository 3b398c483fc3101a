// wait_reader present|empty [SECONDS]: waits, blocking on PC/SC, until the
// first reader of the caller's pcscd lane holds a card (present) or none
// (empty); at most SECONDS (default 10). Exit 0 when it does, 1 when the time
// ran out, 2 on bad arguments. The client scripts' card insertion and removal
// (token_script.sh) wait with it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "cardsim_harness.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: wait_reader present|empty [SECONDS]\n");
        return 2;
    }
    const std::string_view state = argv[1];
    if (state != "present" && state != "empty") return 2;
    const long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 10;
    if (seconds <= 0 || seconds > 600) return 2;
    const auto reader = cardsim::test::reader_for_port(cardsim::test::first_port());
    return cardsim::test::wait_for_reader(reader, state == "present", std::chrono::seconds(seconds))
               ? 0
               : 1;
}
