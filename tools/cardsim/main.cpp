// build/cardsim: one simulated token on a vpcd port until stopped
// (SIGINT or SIGTERM). SIGUSR1 removes the card (disconnects), SIGUSR2
// inserts it again (reconnects).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "card.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t remove_requested = 0;
volatile std::sig_atomic_t insert_requested = 0;

void on_signal(int sig) {
    if (sig == SIGUSR1)
        remove_requested = 1;
    else if (sig == SIGUSR2)
        insert_requested = 1;
    else
        stop_requested = 1;
}

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: cardsim [--port N] [--image FILE] [--blank] [--max-buffer N] [--oem ID]\n"
                 "Simulates one token behind pcscd's vpcd driver until stopped.\n"
                 "  --port N        vpcd port to connect to (default 35963: reader \"... 00 00\";\n"
                 "                  35964: reader \"... 00 01\")\n"
                 "  --image FILE    keep the card's state in FILE (loaded when it exists)\n"
                 "  --blank         start as a factory-fresh card (no application) instead of\n"
                 "                  a freshly formatted token\n"
                 "  --max-buffer N  maximum buffer size the card reports (default 2048)\n"
                 "  --oem ID        OEM identifier of the card (default Tavrel01, which the\n"
                 "                  PKCS#11 module selects; the device API's own default\n"
                 "                  filter selects vx8100)\n"
                 "  --help          this text\n"
                 "Signals: SIGINT/SIGTERM stop; SIGUSR1 removes the card, SIGUSR2 inserts it.\n");
}

bool parse_number(const char* s, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v == 0 || v > max) return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    cardsim::card_options options;
    // Started by hand, the simulator is a token the PKCS#11 module lists.
    options.oem_identifier = "Tavrel01";
    unsigned long port = 35963;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        unsigned long v = 0;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--port" && has_value && parse_number(argv[i + 1], 65535, v)) {
            port = v;
            ++i;
        } else if (a == "--image" && has_value && argv[i + 1][0] != '\0') {
            options.image_path = argv[++i];
        } else if (a == "--oem" && has_value && argv[i + 1][0] != '\0') {
            options.oem_identifier = argv[++i];
        } else if (a == "--blank") {
            options.blank = true;
        } else if (a == "--max-buffer" && has_value && parse_number(argv[i + 1], 65535, v)) {
            options.max_buffer_size = v;
            ++i;
        } else {
            std::fprintf(stderr, "cardsim: bad argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    cardsim::card card(options);
    if (const std::string e = card.image_error(); !e.empty()) {
        std::fprintf(stderr, "cardsim: %s\n", e.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaction(sig, &sa, nullptr);

    cardsim::vpcd_link link(card, static_cast<uint16_t>(port));
    bool want_inserted = true;
    bool warned = false;
    while (!stop_requested) {
        if (remove_requested) {
            remove_requested = 0;
            want_inserted = false;
            link.stop();
            std::fprintf(stderr, "cardsim: card removed\n");
        }
        if (insert_requested) {
            insert_requested = 0;
            want_inserted = true;
        }
        // Connect, and reconnect when pcscd restarts.
        if (want_inserted && !link.connected()) {
            if (link.start()) {
                std::fprintf(stderr, "cardsim: card inserted (vpcd port %lu)\n", port);
                warned = false;
            } else if (!warned) {
                std::fprintf(stderr, "cardsim: no vpcd on 127.0.0.1:%lu yet; retrying\n", port);
                warned = true;
            }
        }
        ::usleep(100 * 1000);
    }
    link.stop();
    return 0;
}
