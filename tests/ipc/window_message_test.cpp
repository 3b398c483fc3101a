// The FindWindow + WM_COPYDATA stand-in: a receiving window in this process or
// in a child process, senders, and raw peers that misbehave.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "receiver_process.h"
#include "test_dirs.h"
#include "window_message.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// Records a window received, and the threads that handled them.
struct inbox {
    std::mutex guard;
    std::condition_variable arrived;
    std::vector<plat::copydata> records;
    std::vector<std::thread::id> threads;

    plat::copydata_handler handler() {
        return [this](const plat::copydata& record) {
            std::lock_guard lock(guard);
            records.push_back(record);
            threads.push_back(std::this_thread::get_id());
            arrived.notify_all();
        };
    }
    bool wait_for(size_t n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(guard);
        return arrived.wait_for(lock, timeout, [&] { return records.size() >= n; });
    }
};

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

int raw_socket_at(const std::string& path, bool do_bind) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    int rc = do_bind ? ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)
                     : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class window_message : public ::testing::Test {
  protected:
    void SetUp() override {
        // The windows' directory, for the raw sockets some tests bind there.
        ::mkdir((use_test_dirs().runtime_dir + "/tessvik").c_str(), 0700);
    }
};

TEST_F(window_message, no_window_means_nothing_happens_at_once) {
    const auto start = clock_type::now();
    plat::window_target target = plat::find_window("No_Such_Class");
    EXPECT_FALSE(target);
    EXPECT_EQ(plat::send_copydata(target, 0, pattern(16), 5000), plat::send_result::no_window);
    EXPECT_FALSE(plat::find_window(""));
    EXPECT_LT(clock_type::now() - start, 500ms);
}

struct round_trip_case {
    uint64_t dw_data;
    size_t size;
};

class round_trip : public window_message, public ::testing::WithParamInterface<round_trip_case> {};

TEST_P(round_trip, record_arrives_whole_on_the_window_thread) {
    const auto [dw_data, size] = GetParam();
    inbox box;
    auto window = plat::message_window::create("Round_Trip", box.handler());
    ASSERT_NE(window, nullptr);
    plat::window_target target = plat::find_window("Round_Trip");
    ASSERT_TRUE(target);
    const auto bytes = pattern(size);
    ASSERT_EQ(plat::send_copydata(target, dw_data, bytes, 2000), plat::send_result::delivered);
    ASSERT_TRUE(box.wait_for(1));
    std::lock_guard lock(box.guard);
    ASSERT_EQ(box.records.size(), 1u);
    EXPECT_EQ(box.records[0].dw_data, dw_data);
    EXPECT_EQ(box.records[0].bytes, bytes);
    EXPECT_NE(box.threads[0], std::this_thread::get_id());
}

INSTANTIATE_TEST_SUITE_P(
    sizes, round_trip,
    ::testing::Values(round_trip_case{0, 0}, round_trip_case{1, 1}, round_trip_case{0, 512},
                      round_trip_case{0xFEDCBA9876543210ull, plat::copydata_max}),
    [](const ::testing::TestParamInfo<round_trip_case>& info) {
        char data[17];
        std::snprintf(data, sizeof data, "%llX",
                      static_cast<unsigned long long>(info.param.dw_data));
        return "data_" + std::string(data) + "_bytes_" + std::to_string(info.param.size);
    });

TEST_F(window_message, one_target_serves_several_sends_in_order) {
    inbox box;
    auto window = plat::message_window::create("Several", box.handler());
    ASSERT_NE(window, nullptr);
    plat::window_target target = plat::find_window("Several");
    for (uint64_t i = 0; i < 5; ++i)
        ASSERT_EQ(plat::send_copydata(target, i, pattern(i), 2000), plat::send_result::delivered);
    ASSERT_TRUE(box.wait_for(5));
    std::lock_guard lock(box.guard);
    ASSERT_EQ(box.records.size(), 5u);
    for (uint64_t i = 0; i < 5; ++i)
        EXPECT_EQ(box.records[i].dw_data, i);
}

TEST_F(window_message, oversized_record_is_not_sent) {
    inbox box;
    auto window = plat::message_window::create("Oversized", box.handler());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(plat::send_copydata(plat::find_window("Oversized"), 0,
                                  pattern(plat::copydata_max + 1), 2000),
              plat::send_result::failed);
    EXPECT_FALSE(box.wait_for(1, 100ms));
}

// A peer that speaks the wire form directly: the receiver must bound what it
// reads by cbData and by its maximum, whatever follows.
TEST_F(window_message, receiver_reads_no_further_than_cbdata) {
    inbox box;
    auto window = plat::message_window::create("Raw_Peer", box.handler());
    ASSERT_NE(window, nullptr);
    const std::string path = plat::window_socket_path("Raw_Peer");

    struct raw_case {
        uint32_t cb_data;
        size_t bytes_sent;
        uint8_t answer;
    };
    const raw_case cases[] = {
        {4, 12, 1},                      // extra bytes after the record are not read
        {plat::copydata_max + 1, 64, 0}, // refused without reading the bytes
        {0xFFFFFFFFu, 0, 0},             // refused: no allocation of 4 GiB
    };
    for (const raw_case& c : cases) {
        int fd = raw_socket_at(path, false);
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> message(12 + c.bytes_sent);
        message[0] = 0x2A;
        for (int i = 0; i < 4; ++i)
            message[8 + i] = static_cast<uint8_t>(c.cb_data >> (8 * i));
        for (size_t i = 0; i < c.bytes_sent; ++i)
            message[12 + i] = static_cast<uint8_t>(i + 1);
        ASSERT_EQ(::send(fd, message.data(), message.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(message.size()));
        uint8_t answer = 0xEE;
        EXPECT_EQ(::recv(fd, &answer, 1, 0), 1) << c.cb_data;
        EXPECT_EQ(answer, c.answer) << c.cb_data;
        ::close(fd);
    }
    ASSERT_TRUE(box.wait_for(1));
    EXPECT_FALSE(box.wait_for(2, 100ms));
    std::lock_guard lock(box.guard);
    EXPECT_EQ(box.records[0].dw_data, 0x2Au);
    EXPECT_EQ(box.records[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// A peer that connects and says nothing holds the receiver for a bounded time only.
TEST_F(window_message, silent_peer_does_not_stall_the_window) {
    inbox box;
    auto window = plat::message_window::create("Silent_Peer", box.handler());
    ASSERT_NE(window, nullptr);
    int silent = raw_socket_at(plat::window_socket_path("Silent_Peer"), false);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(plat::send_copydata(plat::find_window("Silent_Peer"), 7, pattern(3), 3000),
              plat::send_result::delivered);
    ::close(silent);
}

TEST_F(window_message, busy_handler_does_not_hold_the_sender) {
    std::atomic<int> handled{0};
    auto window = plat::message_window::create("Busy_Handler", [&](const plat::copydata&) {
        std::this_thread::sleep_for(600ms);
        ++handled;
    });
    ASSERT_NE(window, nullptr);
    plat::window_target target = plat::find_window("Busy_Handler");
    const auto start = clock_type::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(plat::send_copydata(target, 0, pattern(8), 2000), plat::send_result::delivered);
    EXPECT_LT(clock_type::now() - start, 500ms);
    EXPECT_LT(handled.load(), 3);
}

// A receiver that never answers (hung, or waiting for a lock the sender holds):
// the sender gives up at its time-out.
TEST_F(window_message, unanswering_receiver_costs_the_timeout_only) {
    const std::string path = plat::window_socket_path("Hung_Receiver");
    ::unlink(path.c_str());
    int listener = raw_socket_at(path, true);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    plat::window_target target = plat::find_window("Hung_Receiver");
    ASSERT_TRUE(target);
    const auto start = clock_type::now();
    EXPECT_EQ(plat::send_copydata(target, 0, pattern(512), 200), plat::send_result::timeout);
    const auto took = clock_type::now() - start;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 1000ms);
    ::close(listener);
    ::unlink(path.c_str());
}

TEST_F(window_message, stale_socket_is_no_window_and_is_replaced) {
    const std::string path = plat::window_socket_path("Stale_Class");
    ::unlink(path.c_str());
    int dead = raw_socket_at(path, true); // bound, never listening: a receiver that died
    ASSERT_GE(dead, 0);
    ::close(dead);
    ASSERT_EQ(::access(path.c_str(), F_OK), 0);

    const auto start = clock_type::now();
    EXPECT_FALSE(plat::find_window("Stale_Class"));
    EXPECT_EQ(plat::send_copydata(plat::window_target{path}, 0, pattern(4), 5000),
              plat::send_result::no_window);
    EXPECT_LT(clock_type::now() - start, 500ms);

    inbox box;
    plat::window_status status{};
    auto window = plat::message_window::create("Stale_Class", box.handler(), &status);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(status, plat::window_status::ok);
    EXPECT_EQ(plat::send_copydata(plat::find_window("Stale_Class"), 0, pattern(4), 2000),
              plat::send_result::delivered);
}

TEST_F(window_message, second_live_window_of_a_class_is_refused) {
    inbox first, second;
    auto window = plat::message_window::create("Only_One", first.handler());
    ASSERT_NE(window, nullptr);
    plat::window_status status{};
    EXPECT_EQ(plat::message_window::create("Only_One", second.handler(), &status), nullptr);
    EXPECT_EQ(status, plat::window_status::in_use);
    // The refused one removed nothing: the first still receives.
    EXPECT_EQ(plat::send_copydata(plat::find_window("Only_One"), 0, pattern(2), 2000),
              plat::send_result::delivered);
    EXPECT_TRUE(first.wait_for(1));
}

TEST_F(window_message, destroyed_window_leaves_no_window) {
    inbox box;
    auto window = plat::message_window::create("Short_Lived", box.handler());
    ASSERT_NE(window, nullptr);
    plat::window_target target = plat::find_window("Short_Lived");
    ASSERT_TRUE(target);
    window.reset();
    EXPECT_FALSE(plat::find_window("Short_Lived"));
    EXPECT_EQ(plat::send_copydata(target, 0, pattern(2), 2000), plat::send_result::no_window);
}

TEST_F(window_message, class_names_stay_inside_the_runtime_directory) {
    const std::string directory = use_test_dirs().runtime_dir + "/tessvik/";
    for (const char* name : {"../../etc/x", "a/b", "Tavrel_v1.0_TrayIcon"}) {
        const std::string path = plat::window_socket_path(name);
        ASSERT_TRUE(path.starts_with(directory)) << path;
        EXPECT_EQ(path.find('/', directory.size()), std::string::npos) << path;
    }
    const std::string long_name(300, 'L');
    const std::string path = plat::window_socket_path(long_name);
    ASSERT_FALSE(path.empty());
    EXPECT_LT(path.size(), sizeof(sockaddr_un{}.sun_path));
    inbox box;
    auto window = plat::message_window::create(long_name, box.handler());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(plat::send_copydata(plat::find_window(long_name), 0, pattern(1), 2000),
              plat::send_result::delivered);
}

// Another user's process that reaches the socket (its directories opened up
// for the test) gets no answer, and its record is not handled.
int send_as_nobody(void* path) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return 3;
    int fd = raw_socket_at(*static_cast<const std::string*>(path), false);
    if (fd < 0) return 2;
    const uint8_t message[16] = {9, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4};
    (void)::send(fd, message, sizeof message, MSG_NOSIGNAL);
    uint8_t answer = 0;
    ssize_t got = ::recv(fd, &answer, 1, 0);
    ::close(fd);
    return got == 1 ? 1 : 0; // closed (or reset: its record was left unread)
}

TEST_F(window_message, peer_of_another_user_is_not_served) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    inbox box;
    auto window = plat::message_window::create("Other_User", box.handler());
    ASSERT_NE(window, nullptr);
    std::string path = plat::window_socket_path("Other_User");
    const auto& dirs = use_test_dirs();
    const std::string chain[] = {dirs.root, dirs.runtime_dir, dirs.runtime_dir + "/tessvik"};
    for (const auto& dir : chain)
        ASSERT_EQ(::chmod(dir.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
    const int result = run_in_child(send_as_nobody, &path);
    for (const auto& dir : chain)
        ::chmod(dir.c_str(), 0700);
    EXPECT_EQ(result, 0) << "1: answered, 2: could not connect, 3: could not change user";
    EXPECT_FALSE(box.wait_for(1, 200ms));
    // The window goes on serving its own user.
    EXPECT_EQ(plat::send_copydata(plat::find_window("Other_User"), 0, pattern(1), 2000),
              plat::send_result::delivered);
}

TEST_F(window_message, receiver_in_another_process) {
    const std::string output = use_test_dirs().root + "/cross_process.txt";
    ipc_test::receiver_process receiver(COPYDATA_RECEIVER, "Cross_Process", output);
    ASSERT_TRUE(receiver.ready());
    plat::window_target target = plat::find_window("Cross_Process");
    ASSERT_TRUE(target);
    const std::vector<uint8_t> bytes = {0xDE, 0xAD, 0x00, 0x01};
    ASSERT_EQ(plat::send_copydata(target, 5, bytes, 2000), plat::send_result::delivered);
    EXPECT_EQ(receiver.wait_for_lines(1), (std::vector<std::string>{"5 4 dead0001"}));
    EXPECT_EQ(receiver.stop(), 0);
    EXPECT_FALSE(plat::find_window("Cross_Process"));
}

} // namespace
