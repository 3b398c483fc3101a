// The "RegCert" notice to the tray program, received by a test window of the
// tray program's class in another process.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "pkcs11_storage_records.h"
#include "receiver_process.h"
#include "test_dirs.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// The line copydata_receiver writes for the notice: dwData 0, cbData 512,
// "RegCert" in UTF-16LE and zeros up to 256 units.
std::string regcert_line() {
    std::string hex;
    for (char c : std::string("RegCert")) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[static_cast<uint8_t>(c) >> 4];
        hex += digits[c & 15];
        hex += "00";
    }
    hex.append(2 * (512 - 14), '0');
    return "0 512 " + hex;
}

class regcert_notice : public ::testing::Test {
  protected:
    void SetUp() override {
        // The windows' directory, for the raw socket one test binds there.
        ::mkdir((use_test_dirs().runtime_dir + "/tessvik").c_str(), 0700);
    }
    std::string output(const char* name) const { return use_test_dirs().root + "/" + name; }
};

TEST_F(regcert_notice, tray_window_gets_it_once_per_call) {
    ipc_test::receiver_process tray(COPYDATA_RECEIVER, tray_window_class,
                                    output("regcert_once.txt"));
    ASSERT_TRUE(tray.ready());
    for (int i = 0; i < 3; ++i)
        notify_tray_regcert();
    const auto lines = tray.wait_for_lines(3);
    EXPECT_EQ(tray.stop(), 0);
    const auto after = tray.lines(); // nothing more arrived before the receiver ended
    EXPECT_EQ(after, lines);
    EXPECT_EQ(after, std::vector<std::string>(3, regcert_line()));
}

TEST_F(regcert_notice, without_tray_program_nothing_waits) {
    ASSERT_FALSE(plat::find_window(tray_window_class));
    const auto start = clock_type::now();
    notify_tray_regcert();
    EXPECT_EQ(copydata_command("RegCert"), plat::send_result::no_window);
    EXPECT_LT(clock_type::now() - start, 100ms);
}

TEST_F(regcert_notice, tray_program_that_died_is_no_window) {
    {
        ipc_test::receiver_process tray(COPYDATA_RECEIVER, tray_window_class,
                                        output("regcert_died.txt"));
        ASSERT_TRUE(tray.ready());
    }
    const auto start = clock_type::now();
    EXPECT_EQ(copydata_command("RegCert"), plat::send_result::no_window);
    EXPECT_LT(clock_type::now() - start, 100ms);
}

// The tray program's handler busy (for example waiting for the library lock
// that the storing thread holds): the notice is taken at once all the same.
TEST_F(regcert_notice, busy_tray_handler_does_not_hold_the_caller) {
    ipc_test::receiver_process tray(COPYDATA_RECEIVER, tray_window_class,
                                    output("regcert_busy.txt"), 1500);
    ASSERT_TRUE(tray.ready());
    const auto start = clock_type::now();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(copydata_command("RegCert"), plat::send_result::delivered);
    EXPECT_LT(clock_type::now() - start, 1000ms);
    EXPECT_EQ(tray.wait_for_lines(2, 10s).size(), 2u);
}

// A window that never answers: the notice gives up at its time-out.
TEST_F(regcert_notice, unanswering_tray_window_costs_the_timeout_only) {
    const std::string path = plat::window_socket_path(tray_window_class);
    ::unlink(path.c_str());
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const auto start = clock_type::now();
    notify_tray_regcert();
    const auto took = clock_type::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(tray_notice_timeout_ms) - 10ms);
    EXPECT_LT(took, std::chrono::milliseconds(tray_notice_timeout_ms) + 500ms);
    ::close(listener);
    ::unlink(path.c_str());
}

TEST_F(regcert_notice, command_text_must_leave_room_for_the_nul) {
    ipc_test::receiver_process tray(COPYDATA_RECEIVER, tray_window_class,
                                    output("regcert_long.txt"));
    ASSERT_TRUE(tray.ready());
    EXPECT_EQ(copydata_command(std::string(256, 'x')), plat::send_result::failed);
    EXPECT_EQ(copydata_command(std::string(255, 'x')), plat::send_result::delivered);
    const auto lines = tray.wait_for_lines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("78000000")) << "the last unit is the NUL";
}

} // namespace
