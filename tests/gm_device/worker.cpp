// A second process on the device API for the cross-process tests:
//   gm_device_worker READER MODE ITERATIONS PATTERN
// MODE "oem": each round writes the 256-byte OEM area filled with PATTERN
//   (four chunks on a card with chunk size 64), reads it back (must be one
//   writer's bytes, never a mix), reads the device information and sets the
//   label; every call must succeed.
// MODE "errors": each round makes a write the card refuses (past the end of
//   the area, SAR_NO_ROOM), then reads the device information, which must
//   succeed with status word 9000: an error never leaks into the next call.
// Exit 0 when every check held; 1 (with a message) otherwise; 2 bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gm_api.h"
#include "gm_filters.h"

namespace {

int fail(const char* what, int round, uint32_t rv) {
    std::fprintf(stderr, "worker: %s failed in round %d: 0x%08X\n", what, round, rv);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const std::string reader = argv[1];
    const std::string mode = argv[2];
    const int rounds = std::atoi(argv[3]);
    const auto pattern = static_cast<uint8_t>(std::strtoul(argv[4], nullptr, 0));

    gm_set_enum_filters("Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000", "*");
    DEVHANDLE h = 0;
    if (const uint32_t rv = SKF_ConnectDev(reader.c_str(), &h); rv != SAR_OK)
        return fail("connect", 0, rv);

    std::vector<uint8_t> data(256, pattern);
    std::vector<uint8_t> back(256);
    const std::string label = "worker " + std::to_string(pattern);
    DEVINFO info;
    for (int round = 0; round < rounds; ++round) {
        if (mode == "oem") {
            if (uint32_t rv = gm_write_oem_info(h, 0, data.data(), 256); rv != SAR_OK)
                return fail("write", round, rv);
            uint32_t length = 256;
            if (uint32_t rv = gm_read_oem_info(h, 0, 256, back.data(), &length);
                rv != SAR_OK || length != 256)
                return fail("read", round, rv);
            for (uint8_t b : back)
                if (b != back[0]) return fail("read (torn)", round, b);
            if (uint32_t rv = SKF_GetDevInfo(h, &info); rv != SAR_OK)
                return fail("devinfo", round, rv);
            if (uint32_t rv = SKF_SetLabel(h, label.c_str()); rv != SAR_OK)
                return fail("label", round, rv);
        } else if (mode == "errors") {
            if (uint32_t rv = gm_write_oem_info(h, 250, data.data(), 16); rv != SAR_NO_ROOM)
                return fail("refused write", round, rv);
            if (uint32_t rv = SKF_GetDevInfo(h, &info); rv != SAR_OK)
                return fail("devinfo", round, rv);
            if (gm_get_last_status_word() != 0x9000)
                return fail("status word", round, gm_get_last_status_word());
        } else {
            return 2;
        }
    }
    SKF_DisConnectDev(h);
    return 0;
}
