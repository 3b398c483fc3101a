// A card swapped in one reader, seen through the device layer: a removed card
// ends its connection instead of being reconnected (scripted exchange), and
// end to end the reader comes back in SKF_EnumDev with the new card, which a
// new connection reaches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device_winscard.h"
#include "gm_pcsc_fixture.h"

using cardsim::test::first_port;
using cardsim::test::second_port;
using cardsim::test::simulated_token;
using gm_test::first_reader;
using gm_test::second_reader;

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t not_transacted = 0x80100016u;

// A device whose PC/SC exchange answers from a script of result codes.
class scripted_winscard : public device_winscard {
  public:
    scripted_winscard() : device_winscard("Quessar scripted") { set_card_handle(1); }

    std::deque<uint32_t> results;
    int exchanges = 0;

  protected:
    uint32_t exchange_once(const uint8_t*, size_t, uint8_t* reply, size_t* reply_length) override {
        ++exchanges;
        const uint32_t rc = results.empty() ? not_transacted : results.front();
        if (!results.empty()) results.pop_front();
        if (rc != 0) {
            *reply_length = 0;
            return rc;
        }
        reply[0] = 0x90;
        reply[1] = 0x00;
        *reply_length = 2;
        return 0;
    }
};

const bytes command = {0xC0, 0x04, 0x00, 0x00, 0x00};

TEST(swap_winscard, a_removed_card_ends_the_connection_and_the_command_is_not_sent_again) {
    scripted_winscard device;
    device.results = {pcsc_removed_card, 0};
    EXPECT_EQ(device.send(command.data(), command.size()), pcsc_removed_card);
    EXPECT_EQ(device.exchanges, 1)
        << "a command meant for the removed card reached the reader again";
    EXPECT_FALSE(device.connected());
    EXPECT_EQ(device.card_resets(), 1u) << "the card's volatile state is gone";
    // Until a new connection nothing reaches the reader.
    EXPECT_EQ(device.send(command.data(), command.size()), winscard_not_connected);
    EXPECT_EQ(device.exchanges, 1);
}

cardsim::card_options token_options() {
    cardsim::card_options o;
    o.oem_identifier = "Tavrel01";
    return o;
}

std::vector<std::string> enum_names(uint32_t* rv_out = nullptr) {
    char names[1024] = {};
    uint32_t size = sizeof names - 1;
    const uint32_t rv = SKF_EnumDev(1, names, &size);
    if (rv_out) *rv_out = rv;
    std::vector<std::string> out;
    if (rv != SAR_OK) return out;
    for (const char* p = names; *p; p += std::strlen(p) + 1)
        out.emplace_back(p);
    return out;
}

std::vector<uint8_t> raw_serial(DEVHANDLE h, uint32_t* rv) {
    uint8_t buffer[256];
    uint32_t length = sizeof buffer;
    *rv = gm_get_raw_hwsn(h, buffer, &length);
    if (*rv != SAR_OK) return {};
    return {buffer, buffer + length};
}

class swap_device : public gm_test::gm_pcsc {
  protected:
    void SetUp() override {
        gm_test::gm_pcsc::SetUp();
        gm_set_enum_filters(gm_test::reader_filter, "Tavrel01");
    }
};

// The card is pulled, and after about 3 s another one goes into the same
// reader and lies idle (pcscd powers an unused card down) before the old
// handle is used again.
TEST_F(swap_device,
       after_a_swap_the_reader_is_listed_again_and_a_new_connection_reaches_the_new_card) {
    simulated_token other(token_options(), second_port());
    std::optional<simulated_token> a(std::in_place, token_options(), first_port());
    ASSERT_TRUE(a->inserted() && other.inserted()) << a->error() << other.error();
    ASSERT_EQ(enum_names(), (std::vector<std::string>{first_reader, second_reader}));
    const DEVHANDLE old = connect(first_reader);
    uint32_t rv = 0;
    const auto serial_a = raw_serial(old, &rv);
    ASSERT_EQ(rv, SAR_OK);

    ASSERT_TRUE(a->remove());
    a.reset();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    simulated_token c(token_options(), first_port());
    ASSERT_TRUE(c.inserted()) << c.error();
    // pcscd powers a card nobody uses down after a while.
    ASSERT_TRUE(c.sim().wait_powered(false, std::chrono::seconds(10)))
        << "pcscd never powered the idle card down";

    // The old connection's card is gone: the old handle gets the removal,
    // not an answer of the card that took its place.
    EXPECT_EQ(raw_serial(old, &rv), std::vector<uint8_t>{});
    EXPECT_EQ(rv, 0x8003u) << std::hex << rv;

    EXPECT_EQ(enum_names(), (std::vector<std::string>{first_reader, second_reader}));
    const DEVHANDLE fresh = connect(first_reader);
    ASSERT_NE(fresh, 0u);
    const auto serial_c = raw_serial(fresh, &rv);
    ASSERT_EQ(rv, SAR_OK);
    EXPECT_NE(serial_c, serial_a);
    DEVINFO info{};
    EXPECT_EQ(SKF_GetDevInfo(fresh, &info), SAR_OK);
    // The old handle names the reader: it never answers with the old card.
    EXPECT_NE(raw_serial(old, &rv), serial_a);
}

} // namespace
