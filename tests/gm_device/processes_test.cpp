// Two processes on one token: the device mutex keeps every API call's
// commands together on the card, and neither process sees the other's errors.
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "gm_pcsc_fixture.h"

extern char** environ;

namespace {

using namespace gm_test;
using bytes = std::vector<uint8_t>;

pid_t spawn_worker(const std::string& mode, int rounds, int pattern) {
    const std::string r = std::to_string(rounds), p = std::to_string(pattern);
    std::vector<std::string> args = {GM_DEVICE_WORKER, first_reader, mode, r, p};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, GM_DEVICE_WORKER, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool is_oem_write(const bytes& a) {
    return a.size() >= 7 && a[0] == 0xC0 && a[1] == 0x0C;
}
bool is_oem_read(const bytes& a) {
    return a.size() >= 4 && a[0] == 0xC0 && a[1] == 0x0A;
}

using gm_processes = gm_pcsc;

TEST_F(gm_processes, commands_of_one_call_are_never_interleaved_and_errors_stay_in_their_process) {
    cardsim::card_options options;
    options.max_buffer_size = 96; // chunk size 64: a 256-byte OEM write or read is four commands
    cardsim::test::simulated_token token(options);
    ASSERT_TRUE(token.inserted()) << token.error();
    token.sim().clear_log();

    constexpr int rounds = 15;
    const pid_t a = spawn_worker("oem", rounds, 0x11);
    const pid_t b = spawn_worker("oem", rounds, 0x22);
    const pid_t c = spawn_worker("errors", rounds, 0x33);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(c, 0);
    EXPECT_EQ(wait_exit(a), 0);
    EXPECT_EQ(wait_exit(b), 0);
    EXPECT_EQ(wait_exit(c), 0);

    // In the card's log every OEM write at offset 0 is followed at once by the
    // three further chunks of the same call (same pattern), and every OEM read
    // at offset 0 by its three further reads.
    const auto log = token.sim().apdu_log();
    int writes = 0, reads = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (is_oem_write(log[i]) && get_be16(log[i].data() + 2) == 0) {
            ++writes;
            ASSERT_LE(i + 3, log.size() - 1);
            for (size_t k = 1; k < 4; ++k) {
                ASSERT_TRUE(is_oem_write(log[i + k])) << "call interleaved at " << i + k;
                EXPECT_EQ(get_be16(log[i + k].data() + 2), k * 64);
                EXPECT_EQ(log[i + k][7], log[i][7]);
            }
        }
        if (is_oem_read(log[i]) && get_be16(log[i].data() + 2) == 0) {
            ++reads;
            ASSERT_LE(i + 3, log.size() - 1);
            for (size_t k = 1; k < 4; ++k) {
                ASSERT_TRUE(is_oem_read(log[i + k])) << "call interleaved at " << i + k;
                EXPECT_EQ(get_be16(log[i + k].data() + 2), k * 64);
            }
        }
    }
    EXPECT_EQ(writes, 2 * rounds);
    EXPECT_EQ(reads, 2 * rounds);
}

TEST_F(gm_processes, threads_of_one_process_are_serialised_too) {
    cardsim::card_options options;
    options.max_buffer_size = 96;
    cardsim::test::simulated_token token(options);
    ASSERT_TRUE(token.inserted()) << token.error();
    gm_set_enum_filters(nullptr, "*");
    const DEVHANDLE h = connect(first_reader);
    ASSERT_NE(h, 0u);

    std::atomic<int> failures{0};
    auto run = [&](uint8_t pattern) {
        const std::vector<uint8_t> data(256, pattern);
        std::vector<uint8_t> back(256);
        for (int round = 0; round < 10; ++round) {
            uint32_t length = 256;
            if (gm_write_oem_info(h, 0, data.data(), 256) != SAR_OK ||
                gm_read_oem_info(h, 0, 256, back.data(), &length) != SAR_OK || length != 256)
                ++failures;
            for (uint8_t b : back)
                if (b != back[0]) {
                    ++failures;
                    break;
                }
        }
    };
    std::thread t1(run, 0x44), t2(run, 0x55);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
