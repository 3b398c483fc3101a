// device_winscard's send / response rules, with the PC/SC exchange replaced
// by a script (pcscd with vpcd cannot deliver an empty successful reply).
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "device_sc_manager.h"
#include "device_winscard.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;

struct scripted_answer {
    uint32_t rc;
    bytes reply;
};

class scripted_winscard : public device_winscard {
  public:
    scripted_winscard() : device_winscard("Quessar scripted") { set_card_handle(1); }
    ~scripted_winscard() override { set_card_handle(0); }

    std::deque<scripted_answer> answers;
    std::vector<bytes> exchanged;

  protected:
    uint32_t exchange_once(const uint8_t* command, size_t length, uint8_t* reply,
                           size_t* reply_length) override {
        exchanged.emplace_back(command, command + length);
        if (answers.empty()) return 0x80100016u; // not transacted
        scripted_answer answer = answers.front();
        answers.pop_front();
        if (answer.rc != 0 || answer.reply.size() > *reply_length) {
            *reply_length = 0;
            return answer.rc != 0 ? answer.rc : 0x80100008u; // insufficient buffer
        }
        std::copy(answer.reply.begin(), answer.reply.end(), reply);
        *reply_length = answer.reply.size();
        return 0;
    }
};

const bytes command = {0x80, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(device_winscard, empty_reply_after_a_long_one_is_no_response) {
    scripted_winscard device;
    bytes long_reply(300, 0x11);
    long_reply.push_back(0x90);
    long_reply.push_back(0x00);
    device.answers = {{0, long_reply}, {0, {}}};
    uint8_t reply[2048];
    size_t length = sizeof(reply);
    ASSERT_EQ(device.send_and_receive(command.data(), command.size(), reply, &length), 0);
    EXPECT_EQ(length, 302u);

    length = sizeof(reply);
    EXPECT_EQ(device.send(command.data(), command.size()), 0u);
    EXPECT_EQ(device.get_response(reply, &length), 3);
}

TEST(device_winscard, empty_reply_through_the_transport_is_8004) {
    auto owned = std::make_unique<scripted_winscard>();
    scripted_winscard* device = owned.get();
    device_manager().adopt_device(std::move(owned));
    device->answers = {{0, {0xAA, 0xBB, 0x90, 0x00}}, {0, {}}, {0, {0x90}}};
    apdu_command first(apdu_case_2_ext, 0x80, 0x04, 0, 0);
    EXPECT_EQ(cmd_send(device->id(), first), cmd_ok);
    apdu_command empty(apdu_case_2_ext, 0x80, 0x04, 0, 0);
    EXPECT_EQ(cmd_send(device->id(), empty), cmd_transport_failed);
    EXPECT_EQ(cmd_last_status_word(), 0x8004u);
    EXPECT_TRUE(empty.reply().empty());
    apdu_command one_byte(apdu_case_2_ext, 0x80, 0x04, 0, 0);
    EXPECT_EQ(cmd_send(device->id(), one_byte), cmd_transport_failed);
    EXPECT_EQ(cmd_last_status_word(), 0x8004u);
    EXPECT_EQ(dev_remove(device->id()), 0);
}

TEST(device_winscard, size_limits_of_one_exchange) {
    scripted_winscard device;
    bytes full(2048, 0x33);
    full[2046] = 0x90;
    full[2047] = 0x00;
    device.answers = {{0, full}, {0, {0x90, 0x00}}};
    uint8_t reply[2048];
    size_t length = sizeof(reply);
    const bytes max_command(2048, 0x80);
    EXPECT_EQ(device.send_and_receive(max_command.data(), max_command.size(), reply, &length), 0);
    EXPECT_EQ(length, 2048u) << "a 2048-byte answer fits";

    const bytes too_long(2049, 0x80);
    length = sizeof(reply);
    EXPECT_EQ(device.send_and_receive(too_long.data(), too_long.size(), reply, &length), 1);
    EXPECT_EQ(device.exchanged.size(), 1u) << "an over-long command is not sent";

    // A caller buffer smaller than the reply is no response, not an overrun.
    device.answers = {{0, bytes(100, 0x44)}};
    uint8_t small[10];
    length = sizeof(small);
    EXPECT_EQ(device.send_and_receive(command.data(), command.size(), small, &length), 2);
}

TEST(device_winscard, pcsc_errors_come_back_unchanged_and_unconnected_sends_nothing) {
    scripted_winscard device;
    device.answers = {{0x80100016u, {}}};
    EXPECT_EQ(device.send(command.data(), command.size()), 0x80100016u);
    EXPECT_EQ(device.exchanged.size(), 1u) << "no resend for an ordinary failure";

    device_winscard unconnected("Quessar none");
    EXPECT_EQ(unconnected.send(command.data(), command.size()), winscard_not_connected);
    uint8_t reply[16];
    size_t length = sizeof(reply);
    EXPECT_EQ(unconnected.send_and_receive(command.data(), command.size(), reply, &length), 1);
    EXPECT_EQ(unconnected.device_type(), 2);
    EXPECT_EQ(unconnected.get_state(), device_state_new);
    EXPECT_EQ(unconnected.set_timeout(700), 700);
}

} // namespace
