// A command's status word travels in its cmd_result: each caller maps the
// word of its own reply, whatever other devices or threads exchanged since.
// The process-wide record only reports the last exchange.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cmd_app_file.h"
#include "cmd_crypto.h"
#include "cmd_device.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "gm_frame.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint16_t app = 1;
constexpr uint16_t cont = 1;
constexpr uint32_t sm4_ecb_algorithm = 0x401;
const std::array<uint8_t, 16> session_key{};
const std::array<uint8_t, sm_challenge_size> challenge{};

fake_device::reply_fn answer(bytes reply) {
    return [reply](std::span<const uint8_t>) { return reply; };
}

class cmd_result_words : public ::testing::Test {
  protected:
    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    fake_device* add_device(const char* name, fake_device::reply_fn fn) {
        auto* device = new fake_device(name, std::move(fn));
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        return device;
    }
};

cmd_result set_session_key(device_id device) {
    uint16_t key_id = 0;
    return cmd_set_session_key(device, app, cont, sm4_ecb_algorithm, session_key.data(),
                               static_cast<uint32_t>(session_key.size()), &key_id);
}

cmd_result verify_user_pin(device_id device) {
    return cmd_verify_pin(device, challenge, pin_type_user, app, "1234");
}

TEST_F(cmd_result_words, interleaved_calls_on_two_devices_map_their_own_words) {
    fake_device* full = add_device("full", answer({0x6A, 0x84}));
    fake_device* guarded = add_device("guarded", answer({0x63, 0xC2}));

    const cmd_result no_room = set_session_key(full->id());
    const cmd_result wrong_pin = verify_user_pin(guarded->id());
    ASSERT_EQ(cmd_last_status_word(), 0x63C2u) << "the record holds the later exchange";

    EXPECT_EQ(no_room, cmd_bad_status);
    EXPECT_EQ(no_room.status_word, 0x6A84u);
    EXPECT_EQ(gm_wrapper_error(no_room), SAR_NO_ROOM);

    EXPECT_EQ(wrong_pin, cmd_bad_status);
    const gm_verify_status refused = gm_read_verify_status(wrong_pin.status_word);
    EXPECT_TRUE(refused.counter);
    EXPECT_EQ(refused.tries, 2u);
    EXPECT_EQ(refused.code, SAR_PIN_INCORRECT);
}

// Two threads, one device each. The first caller maps its word only after
// the other thread's exchange (latches order them), then both run at once.
TEST_F(cmd_result_words, two_threads_on_two_devices_each_see_their_own_word) {
    fake_device* full = add_device("full", answer({0x6A, 0x84}));
    fake_device* guarded = add_device("guarded", answer({0x63, 0xC2}));
    const device_id full_id = full->id();
    const device_id guarded_id = guarded->id();
    constexpr int rounds = 200;

    std::latch full_sent(1), guarded_sent(1);
    uint32_t first_mapped = 0, record_when_mapped = 0;
    int full_wrong = 0;
    std::thread full_caller([&] {
        const cmd_result first = set_session_key(full_id);
        full_sent.count_down();
        guarded_sent.wait();
        record_when_mapped = cmd_last_status_word();
        first_mapped = gm_wrapper_error(first);
        for (int i = 0; i < rounds; ++i)
            if (gm_wrapper_error(set_session_key(full_id)) != SAR_NO_ROOM) ++full_wrong;
    });

    gm_verify_status first_refusal;
    int guarded_wrong = 0;
    std::thread guarded_caller([&] {
        full_sent.wait();
        const cmd_result first = verify_user_pin(guarded_id);
        guarded_sent.count_down();
        first_refusal = gm_read_verify_status(first.status_word);
        for (int i = 0; i < rounds; ++i) {
            const gm_verify_status status =
                gm_read_verify_status(verify_user_pin(guarded_id).status_word);
            if (!status.counter || status.tries != 2) ++guarded_wrong;
        }
    });
    full_caller.join();
    guarded_caller.join();

    EXPECT_EQ(record_when_mapped, 0x63C2u) << "the other thread's exchange came in between";
    EXPECT_EQ(first_mapped, SAR_NO_ROOM);
    EXPECT_TRUE(first_refusal.counter);
    EXPECT_EQ(first_refusal.tries, 2u);
    EXPECT_EQ(full_wrong, 0);
    EXPECT_EQ(guarded_wrong, 0);
    EXPECT_EQ(full->sent.size(), static_cast<size_t>(rounds + 1));
    EXPECT_EQ(guarded->sent.size(), static_cast<size_t>(rounds + 1));
}

// What a result carries on each path of a wrapper.
struct path_case {
    const char* label;
    std::vector<bytes> replies; // one per command, the last one repeated
    std::function<cmd_result(device_id)> call;
    int code;
    uint32_t status_word;
    size_t commands;
};

std::ostream& operator<<(std::ostream& os, const path_case& c) {
    return os << c.label;
}

class result_paths : public cmd_result_words, public ::testing::WithParamInterface<path_case> {};

TEST_P(result_paths, carry_the_word_of_the_calls_last_reply) {
    const path_case& c = GetParam();
    size_t answered = 0;
    fake_device* device = add_device("scripted", [&](std::span<const uint8_t>) {
        return c.replies[std::min(answered++, c.replies.size() - 1)];
    });
    const uint32_t record_before = cmd_last_status_word();

    const cmd_result result = c.call(device->id());
    EXPECT_EQ(result, c.code);
    EXPECT_EQ(result.status_word, c.status_word);
    EXPECT_EQ(device->sent.size(), c.commands);
    // The record follows the exchanges; a call that sent nothing leaves it.
    EXPECT_EQ(cmd_last_status_word(), c.commands ? c.status_word : record_before);
}

uint8_t scratch[64];
uint32_t scratch_size;

uint32_t* fresh_size() {
    scratch_size = sizeof scratch;
    return &scratch_size;
}

const path_case path_cases[] = {
    {"input_refused_nothing_sent",
     {{0x90, 0x00}},
     [](device_id d) { return cmd_verify_pin(d, challenge, 7, app, "1234"); },
     cmd_bad_length,
     sw_none,
     0},
    {"short_reply_keeps_its_9000",
     {{0x01, 0x90, 0x00}},
     [](device_id d) { return set_session_key(d); },
     cmd_bad_length,
     0x9000,
     1},
    {"more_data_accepted_by_one_read",
     {{0x41, 0x6A, 0x9E}},
     [](device_id d) { return cmd_enum_files(d, app, scratch, fresh_size()); },
     cmd_ok,
     0x6A9E,
     1},
    {"continued_read_that_never_ends",
     {{0x41, 0x6A, 0x9E}},
     [](device_id d) { return cmd_enum_files_all(d, app, scratch, fresh_size()); },
     cmd_bad_length,
     0x6A9E,
     sizeof scratch + 1},
    {"mac_final_asked_again_after_6C04",
     {{0x6C, 0x04}, {1, 2, 3, 4, 0x90, 0x00}},
     [](device_id d) { return cmd_mac_final(d, app, cont, 1, nullptr, 0, scratch, fresh_size()); },
     cmd_ok,
     0x9000,
     2},
    {"chain_refused_in_its_second_segment",
     {{0x90, 0x00}, {0x6A, 0x80}},
     [](device_id d) {
         const bytes material(100, 0x11);
         return cmd_import_ext_rsa_key_pair(d, app, cont, 1, material.data(),
                                            static_cast<uint32_t>(material.size()));
     },
     cmd_bad_status,
     0x6A80,
     2},
};

INSTANTIATE_TEST_SUITE_P(cmd_result, result_paths, ::testing::ValuesIn(path_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
