// End to end: the device manager and the transport against the real pcscd,
// the vpcd driver and simulated tokens.
#include <gtest/gtest.h>

#include <PCSC/winscard.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_harness.h"
#include "device_context.h"
#include "device_sc_manager.h"
#include "device_winscard.h"
#include "transport.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using cardsim::test::simulated_token;

// Both readers, or only the first (tests that use one card look at its reader
// only, so a card in the other reader does not change their counts).
constexpr const char* filter = "Quessar vKessa Tavrel,vid_0000&pid_0000,vid_0000&pid_0000";
constexpr const char* first_filter =
    "Quessar vKessa Tavrel 00 00,vid_0000&pid_0000,vid_0000&pid_0000";
const std::string first_reader = cardsim::test::reader_for_port(cardsim::test::first_port());
const std::string second_reader = cardsim::test::reader_for_port(cardsim::test::second_port());

apdu_command get_dev_info() {
    return apdu_command(apdu_case_2_ext, 0x80, 0x04, 0x00, 0x00, "GetDevInfo");
}
const bytes get_dev_info_bytes = {0x80, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};

class transport_pcsc : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(cardsim::test::ensure_pcscd()); }
    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    // Refreshes and returns the id of the device for reader (no_device when none).
    static device_id device_for(const std::string& reader) {
        device_id id = no_device;
        for (std::string name = dev_first_in_state(&id, device_state_any); id != no_device;
             name = dev_next_in_state(&id, device_state_any))
            if (name == reader) return id;
        return no_device;
    }
    static device_id connected_device(const std::string& reader) {
        dev_refresh(reader == first_reader ? first_filter : filter);
        const device_id id = device_for(reader);
        EXPECT_NE(id, no_device);
        EXPECT_EQ(dev_connect(id), 0);
        return id;
    }
};

// Resets the card from a second PC/SC client, as another application would.
void reset_from_another_client(const std::string& reader) {
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS);
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &handle,
                           &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(handle, SCARD_RESET_CARD), SCARD_S_SUCCESS);
    SCardReleaseContext(context);
}

TEST_F(transport_pcsc, a_device_is_a_matching_reader_that_holds_a_card) {
    // The vpcd reader exists but is empty: no device.
    EXPECT_EQ(dev_refresh(first_filter), 0);
    EXPECT_EQ(device_manager().device_count(), 0);

    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    EXPECT_EQ(dev_refresh(first_filter), 1);
    device_id id = no_device;
    EXPECT_EQ(dev_first_in_state(&id, device_state_new), first_reader);
    EXPECT_EQ(dev_refresh(first_filter), 1);
    EXPECT_EQ(dev_get_state(id), device_state_present);

    // Case-sensitive substring, and a filter without a comma selects nothing.
    EXPECT_EQ(dev_refresh("quessar vkessa,x"), 0);
    EXPECT_EQ(dev_refresh("Tavrel 00 00,x"), 1);
    EXPECT_EQ(dev_refresh("Tavrel 00 09,x"), 0);
    EXPECT_EQ(dev_refresh("Quessar vKessa Tavrel"), 0);
    EXPECT_EQ(dev_refresh("  Tavrel 00 00,x,y"), 1); // blanks stripped with three fields
    EXPECT_EQ(dev_refresh("  Tavrel 00 00,x"), 0);   // kept with two
}

TEST_F(transport_pcsc, connect_and_exchange_over_t1) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const device_id id = connected_device(first_reader);
    token.sim().clear_log();

    apdu_command command = get_dev_info();
    uint32_t status = 0;
    ASSERT_EQ(apdu_transmit(id, command, status), transmit_ok);
    EXPECT_EQ(status, 0x9000u);
    EXPECT_EQ(command.reply().size(), 288u);
    ASSERT_EQ(token.sim().apdu_log().size(), 1u);
    EXPECT_EQ(token.sim().apdu_log()[0], get_dev_info_bytes);

    int32_t type = 0;
    EXPECT_EQ(dev_get_type(id, &type), 0);
    EXPECT_EQ(type, device_type_pcsc);
    EXPECT_EQ(dev_disconnect(id), 0);
    apdu_command after = get_dev_info();
    EXPECT_EQ(apdu_transmit(id, after, status), transmit_failed)
        << "nothing is sent after a disconnect";
    EXPECT_EQ(status, 0x8003u);
}

TEST_F(transport_pcsc, connect_by_name_and_unknown_reader) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    dev_refresh(filter);
    device_id id = no_device;
    EXPECT_EQ(dev_connect_by_name(first_reader.c_str(), &id), 0);
    EXPECT_NE(id, no_device);
    EXPECT_EQ(dev_connect_by_name("No Such Reader", &id), 1);

    // A reader PC/SC does not know: one attempt only.
    device_winscard unknown("Quessar vKessa Tavrel 09 09");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(unknown.connect(), pcsc_unknown_reader);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
}

TEST_F(transport_pcsc, connect_to_an_empty_reader_tries_five_times) {
    // The reader must be empty as pcscd sees it: a card another program put
    // there may still be on its way out.
    ASSERT_TRUE(cardsim::test::wait_for_reader(first_reader, false, 10s))
        << first_reader << " still holds a card after 10 s";
    device_winscard empty(first_reader.c_str());
    const auto start = std::chrono::steady_clock::now();
    const uint32_t rc = empty.connect();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_NE(rc, 0u);
    EXPECT_NE(rc, pcsc_unknown_reader);
    EXPECT_GE(elapsed, 1150ms) << "5 attempts, 300 ms between them";
    EXPECT_FALSE(empty.connected());
}

TEST_F(transport_pcsc, command_is_resent_once_after_a_card_reset) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const device_id id = connected_device(first_reader);
    apdu_command warm = get_dev_info();
    uint32_t status = 0;
    ASSERT_EQ(apdu_transmit(id, warm, status), transmit_ok);

    reset_from_another_client(first_reader);
    token.sim().clear_log();
    apdu_command command = get_dev_info();
    EXPECT_EQ(apdu_transmit(id, command, status), transmit_ok);
    EXPECT_EQ(status, 0x9000u);
    EXPECT_EQ(command.reply().size(), 288u);
    EXPECT_EQ(token.sim().apdu_log().size(), 1u) << "sent once after the recovery";
    EXPECT_EQ(dev_card_resets(id), 1u);
}

TEST_F(transport_pcsc, removal_gives_8003_and_the_device_is_purged) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const device_id id = connected_device(first_reader);
    ASSERT_TRUE(token.remove());

    apdu_command command = get_dev_info();
    uint32_t status = 0;
    EXPECT_EQ(apdu_transmit(id, command, status), transmit_failed);
    EXPECT_EQ(status, 0x8003u);

    EXPECT_EQ(dev_refresh(first_filter), 0);
    EXPECT_EQ(device_manager().device_count(), 0);
    status = 0;
    uint8_t reply[16];
    size_t reply_length = sizeof(reply);
    EXPECT_EQ(device_ctx().exchange(id, get_dev_info_bytes.data(), get_dev_info_bytes.size(), reply,
                                    &reply_length, &status, 0),
              1);
    EXPECT_EQ(status, 0x8002u) << "a purged device is not listed";
    apdu_command stale = get_dev_info();
    EXPECT_EQ(apdu_transmit(id, stale, status), transmit_removed);
    EXPECT_EQ(status, 0x8003u);

    // Put back: a new device with a new id.
    ASSERT_TRUE(token.insert());
    const device_id again = connected_device(first_reader);
    EXPECT_NE(again, id);
    apdu_command fresh = get_dev_info();
    EXPECT_EQ(apdu_transmit(again, fresh, status), transmit_ok);
}

TEST_F(transport_pcsc, second_card_in_second_reader_is_a_second_device) {
    cardsim::card_options small;
    small.max_buffer_size = 288;
    simulated_token first;
    simulated_token second(small, cardsim::test::second_port());
    ASSERT_TRUE(first.inserted()) << first.error();
    ASSERT_TRUE(second.inserted()) << second.error();
    EXPECT_EQ(dev_refresh(filter), 2);
    const device_id a = connected_device(first_reader);
    const device_id b = connected_device(second_reader);
    ASSERT_NE(a, b);
    cmd_set_chunk_size(a, static_cast<uint32_t>(first.sim().max_buffer_size()));
    cmd_set_chunk_size(b, static_cast<uint32_t>(second.sim().max_buffer_size()));
    EXPECT_EQ(cmd_get_chunk_size(a), 1792u);
    EXPECT_EQ(cmd_get_chunk_size(b), 256u);

    first.sim().clear_log();
    second.sim().clear_log();
    apdu_command to_b = get_dev_info();
    uint32_t status = 0;
    ASSERT_EQ(apdu_transmit(b, to_b, status), transmit_ok);
    EXPECT_TRUE(first.sim().apdu_log().empty());
    EXPECT_EQ(second.sim().apdu_log().size(), 1u);
}

// Transport codes from faults injected in the simulated card behind pcscd.
TEST_F(transport_pcsc, injected_faults_give_transport_codes) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const device_id id = connected_device(first_reader);
    cardsim::card& card = token.sim();

    card.inject_short_reply(1);
    apdu_command one_byte = get_dev_info();
    uint32_t word = 0;
    EXPECT_EQ(apdu_transmit(id, one_byte, word), transmit_failed);
    EXPECT_EQ(word, 0x8004u);

    card.inject_status_word(0x6A82, 1);
    apdu_command status = get_dev_info();
    const cmd_result refused = cmd_send(id, status);
    EXPECT_EQ(refused, cmd_bad_status);
    EXPECT_EQ(refused.status_word, 0x6A82u);
    EXPECT_EQ(cmd_last_status_word(), 0x6A82u);

    apdu_command invalid(apdu_case_3_ext, 0x80, 0x02, 0x00, 0x00, "SetLabel"); // no data
    card.clear_log();
    const cmd_result unsent = cmd_send(id, invalid);
    EXPECT_EQ(unsent, cmd_transport_failed);
    EXPECT_EQ(unsent.status_word, 0x8001u);
    EXPECT_EQ(cmd_last_status_word(), 0x8001u);
    EXPECT_TRUE(card.apdu_log().empty());

    // The device still works afterwards.
    apdu_command after = get_dev_info();
    EXPECT_EQ(cmd_send(id, after), cmd_ok);
    EXPECT_EQ(after.reply().size(), 288u);
}

// Through vpcd an empty reply ends the card's link: the exchange fails, and
// nothing of the earlier long reply is taken for an answer.
TEST_F(transport_pcsc, empty_reply_is_a_failure_never_a_stale_success) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const device_id id = connected_device(first_reader);
    apdu_command warm = get_dev_info();
    ASSERT_EQ(cmd_send(id, warm), cmd_ok);

    token.sim().inject_empty_reply(1);
    apdu_command empty = get_dev_info();
    const cmd_result result = cmd_send(id, empty);
    EXPECT_EQ(result, cmd_transport_failed);
    const uint32_t status = result.status_word;
    EXPECT_TRUE(status == 0x8003u || status == 0x8004u) << std::hex << status;
    EXPECT_EQ(cmd_last_status_word(), status);
    EXPECT_TRUE(empty.reply().empty());
    EXPECT_EQ(empty.status_word(), 0u);
}

} // namespace
