// A test stand-in for the tray program's receiving window: registers the
// window class given and appends one line per record received to a file:
//   <dwData> <cbData> <bytes as hex>
// Prints "ready" on standard output once the window exists (or "in_use" /
// "failed" and exits 2), and runs until its standard input closes.
//
//   copydata_receiver CLASS OUTPUT [HANDLER_DELAY_MS]
//
// HANDLER_DELAY_MS makes each record's handling take that long (a receiver
// busy in its handler, e.g. waiting for a lock).
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "thread.h"
#include "window_message.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CLASS OUTPUT [HANDLER_DELAY_MS]\n", argv[0]);
        return 2;
    }
    const std::string output = argv[2];
    const uint32_t delay = argc > 3 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 0;
    auto handler = [output, delay](const plat::copydata& record) {
        if (delay > 0) plat::sleep_ms(delay);
        static const char digits[] = "0123456789abcdef";
        std::string line =
            std::to_string(record.dw_data) + " " + std::to_string(record.bytes.size()) + " ";
        for (uint8_t b : record.bytes) {
            line += digits[b >> 4];
            line += digits[b & 15];
        }
        line += '\n';
        int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return;
        (void)!::write(fd, line.data(), line.size()); // one write: lines never interleave
        ::close(fd);
    };
    plat::window_status status;
    auto window = plat::message_window::create(argv[1], handler, &status);
    if (!window) {
        std::printf("%s\n", status == plat::window_status::in_use ? "in_use" : "failed");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    return 0;
}
