// The transport facade over in-process devices: transport codes, the last
// status word, chaining, chunk sizes, stale device ids and raw operations.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "card.h"
#include "device_context.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes ok_reply(std::span<const uint8_t>) {
    return {0x90, 0x00};
}

class transport : public ::testing::Test {
  protected:
    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    // A device whose card is a simulated token.
    fake_device* add_card_device(cardsim::card& card, const char* name = "sim") {
        return add_device(name,
                          [&card](std::span<const uint8_t> apdu) { return card.transmit(apdu); });
    }
    fake_device* add_device(const char* name, fake_device::reply_fn fn) {
        auto* device = new fake_device(name, std::move(fn));
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        return device;
    }
    static apdu_command get_dev_info() {
        return apdu_command(apdu_case_2_ext, 0x80, 0x04, 0x00, 0x00, "GetDevInfo");
    }
};

TEST_F(transport, last_status_word_starts_at_9000) {
    EXPECT_EQ(cmd_last_status_word(), 0x9000u);
}

TEST_F(transport, exchange_parses_the_card_reply) {
    cardsim::card card;
    fake_device* device = add_card_device(card);
    apdu_command command = get_dev_info();
    command.set_timeout(1234);
    const cmd_result result = cmd_exchange(device->id(), command);
    EXPECT_EQ(result, cmd_ok);
    EXPECT_EQ(result.status_word, 0x9000u);
    EXPECT_EQ(cmd_last_status_word(), 0x9000u);
    EXPECT_EQ(command.reply().size(), 288u);
    EXPECT_EQ(device->last_timeout, 1234);
    ASSERT_EQ(card.apdu_log().size(), 1u);
    EXPECT_EQ(card.apdu_log()[0], (bytes{0x80, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

// Each transport code, produced by a fault in the simulated card or the device.
struct fault_case {
    const char* label;
    void (*inject)(cardsim::card&, fake_device&);
    int result;
    uint32_t status;
    int wrapper_result;
};

std::ostream& operator<<(std::ostream& os, const fault_case& c) {
    return os << c.label;
}

class transport_fault : public transport, public ::testing::WithParamInterface<fault_case> {};

TEST_P(transport_fault, sets_transport_code_and_wrapper_result) {
    const fault_case& c = GetParam();
    cardsim::card card;
    fake_device* device = add_card_device(card);
    // A long successful reply first, so a stale buffer would have something to offer.
    apdu_command warm = get_dev_info();
    uint32_t status = 0;
    ASSERT_EQ(apdu_transmit(device->id(), warm, status), transmit_ok);

    c.inject(card, *device);
    apdu_command command = get_dev_info();
    EXPECT_EQ(apdu_transmit(device->id(), command, status), c.result);
    EXPECT_EQ(status, c.status);

    c.inject(card, *device);
    apdu_command again = get_dev_info();
    const cmd_result result = cmd_send(device->id(), again);
    EXPECT_EQ(result, c.wrapper_result);
    EXPECT_EQ(result.status_word, c.status);
    EXPECT_EQ(cmd_last_status_word(), c.status);
}

const fault_case fault_cases[] = {
    {"none", [](cardsim::card&, fake_device&) {}, transmit_ok, 0x9000, cmd_ok},
    {"empty_reply", [](cardsim::card& c, fake_device&) { c.inject_empty_reply(1); },
     transmit_failed, 0x8004, cmd_transport_failed},
    {"one_byte_reply", [](cardsim::card& c, fake_device&) { c.inject_short_reply(1); },
     transmit_failed, 0x8004, cmd_transport_failed},
    {"status_word", [](cardsim::card& c, fake_device&) { c.inject_status_word(0x6A82, 1); },
     transmit_ok, 0x6A82, cmd_bad_status},
    {"send_failed", [](cardsim::card&, fake_device& d) { d.fail_send = true; }, transmit_failed,
     0x8003, cmd_transport_failed},
};

INSTANTIATE_TEST_SUITE_P(codes, transport_fault, ::testing::ValuesIn(fault_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(transport, invalid_commands_are_0x8001_and_never_sent) {
    fake_device* device = add_device("scripted", ok_reply);
    apdu_command unknown(7, 0x80, 0x00, 0x00, 0x00);
    uint32_t status = 0;
    EXPECT_EQ(apdu_transmit(device->id(), unknown, status), transmit_no_length);
    EXPECT_EQ(status, 0x8001u);
    apdu_command no_data(apdu_case_3_ext, 0x80, 0x02, 0x00, 0x00, "SetLabel");
    status = 0;
    EXPECT_EQ(apdu_transmit(device->id(), no_data, status), transmit_invalid);
    EXPECT_EQ(status, 0x8001u);
    const cmd_result result = cmd_send(device->id(), no_data);
    EXPECT_EQ(result, cmd_transport_failed);
    EXPECT_EQ(result.status_word, 0x8001u);
    EXPECT_EQ(cmd_last_status_word(), 0x8001u);
    EXPECT_TRUE(device->sent.empty());
}

TEST_F(transport, stale_device_id_is_0x8003_and_reaches_no_other_device) {
    fake_device* first = add_device("Quessar A", ok_reply);
    const device_id stale = first->id();
    ASSERT_EQ(dev_remove(stale), 0);
    // A new device, quite possibly at the address the old one had.
    fake_device* second = add_device("Quessar A", ok_reply);
    EXPECT_NE(second->id(), stale);
    apdu_command command = get_dev_info();
    uint32_t status = 0;
    EXPECT_EQ(apdu_transmit(stale, command, status), transmit_removed);
    EXPECT_EQ(status, 0x8003u);
    EXPECT_TRUE(second->sent.empty());
    apdu_command again = get_dev_info();
    const cmd_result result = cmd_send(stale, again);
    EXPECT_EQ(result, cmd_transport_failed);
    EXPECT_EQ(result.status_word, 0x8003u);
    EXPECT_EQ(cmd_last_status_word(), 0x8003u);
}

TEST_F(transport, device_that_reports_removal_is_purged) {
    fake_device* device = add_device("gone", ok_reply);
    device->removed = true;
    const device_id id = device->id();
    EXPECT_EQ(device_ctx().check_removed(id), 2);
    EXPECT_EQ(device_ctx().find_device(id), nullptr);
}

TEST_F(transport, reply_of_exactly_a_status_word_is_success_with_empty_body) {
    fake_device* device = add_device("scripted", ok_reply);
    apdu_command command = get_dev_info();
    EXPECT_EQ(cmd_send(device->id(), command), cmd_ok);
    EXPECT_TRUE(command.reply().empty());
    uint8_t buffer[4];
    uint32_t size = sizeof(buffer);
    EXPECT_EQ(cmd_copy_reply(command, buffer, &size), cmd_ok);
    EXPECT_EQ(size, 0u);
    size = sizeof(buffer);
    EXPECT_EQ(cmd_copy_reply(command, buffer, &size, 1), cmd_bad_length);
}

TEST_F(transport, copy_reply_checks_both_bounds) {
    fake_device* device = add_device(
        "scripted", [](std::span<const uint8_t>) { return bytes{1, 2, 3, 4, 5, 0x90, 0x00}; });
    apdu_command command = get_dev_info();
    ASSERT_EQ(cmd_send(device->id(), command), cmd_ok);
    uint8_t buffer[8] = {};
    uint32_t size = 4;
    EXPECT_EQ(cmd_copy_reply(command, buffer, &size), cmd_bad_length);
    EXPECT_EQ(size, 5u) << "the needed length is reported";
    EXPECT_EQ(buffer[0], 0) << "nothing copied when it does not fit";
    size = sizeof(buffer);
    EXPECT_EQ(cmd_copy_reply(command, buffer, &size, 5), cmd_ok);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(buffer[4], 5);
    size = sizeof(buffer);
    EXPECT_EQ(cmd_copy_reply(command, buffer, &size, 6), cmd_bad_length);
}

TEST_F(transport, also_accepted_status_word) {
    fake_device* device = add_device("scripted", [](std::span<const uint8_t>) {
        return bytes{0x6A, 0x9E};
    });
    apdu_command command = get_dev_info();
    const cmd_result refused = cmd_send(device->id(), command);
    EXPECT_EQ(refused, cmd_bad_status);
    EXPECT_EQ(refused.status_word, 0x6A9Eu);
    const cmd_result accepted = cmd_send(device->id(), command, 0x6A9E);
    EXPECT_EQ(accepted, cmd_ok);
    EXPECT_EQ(accepted.status_word, 0x6A9Eu);
    EXPECT_EQ(cmd_last_status_word(), 0x6A9Eu);
}

struct chain_case {
    size_t length;
    std::vector<size_t> segments;
};

class transport_chain : public transport, public ::testing::WithParamInterface<chain_case> {};

TEST_P(transport_chain, segments_by_device_chunk_size) {
    const chain_case& c = GetParam();
    fake_device* device = add_device("scripted", ok_reply);
    ASSERT_EQ(cmd_set_chunk_size(device->id(), 1024), 992u);
    apdu_command header(apdu_case_3_ext, 0x80, 0x3A, 0x00, 0x01, "ImportCertificate");
    const uint8_t prefix[] = {0x00, 0x01, 0x00, 0x00, 0x09, 0xC4};
    ASSERT_EQ(header.set_data(prefix), apdu_ok);
    bytes data(c.length);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(cmd_send_chained(device->id(), header, data), cmd_ok);

    ASSERT_EQ(device->sent.size(), c.segments.size() + 1);
    EXPECT_EQ(device->sent[0][0], 0x90);
    EXPECT_EQ(device->sent[0].size(), 7u + sizeof(prefix));
    size_t offset = 0;
    for (size_t i = 0; i < c.segments.size(); ++i) {
        const bytes& apdu = device->sent[i + 1];
        const bool last = i + 1 == c.segments.size();
        EXPECT_EQ(apdu[0], last ? 0x80 : 0x90) << "segment " << i;
        EXPECT_EQ(apdu[1], 0x3A);
        ASSERT_EQ(apdu.size(), 7 + c.segments[i]);
        EXPECT_EQ(size_t{apdu[5]} * 256 + apdu[6], c.segments[i]);
        EXPECT_TRUE(
            std::equal(apdu.begin() + 7, apdu.end(), data.begin() + static_cast<long>(offset)));
        offset += c.segments[i];
    }
}

INSTANTIATE_TEST_SUITE_P(lengths, transport_chain,
                         ::testing::Values(chain_case{1, {1}}, chain_case{991, {991}},
                                           chain_case{992, {992}}, chain_case{993, {992, 1}},
                                           chain_case{2500, {992, 992, 516}}),
                         [](const auto& info) {
                             return "bytes_" + std::to_string(info.param.length);
                         });

TEST_F(transport, chain_stops_at_first_failure_and_empty_chain_is_refused) {
    int count = 0;
    fake_device* device = add_device("scripted", [&count](std::span<const uint8_t>) {
        return ++count == 2 ? bytes{0x6A, 0x80} : bytes{0x90, 0x00};
    });
    apdu_command header(apdu_case_3_ext, 0xC0, 0x20, 0x01, 0x00, "ImportExtRSAKeyPair");
    const uint8_t ids[] = {0, 1, 0, 2};
    ASSERT_EQ(header.set_data(ids), apdu_ok);
    const bytes material(1164, 0x11);
    const cmd_result refused = cmd_send_chained(device->id(), header, material);
    EXPECT_EQ(refused, cmd_bad_status);
    EXPECT_EQ(refused.status_word, 0x6A80u) << "the word of the segment the card refused";
    EXPECT_EQ(device->sent.size(), 2u);
    EXPECT_EQ(device->sent[0][0], 0xD0);

    device->sent.clear();
    const cmd_result empty = cmd_send_chained(device->id(), header, {});
    EXPECT_EQ(empty, cmd_bad_length);
    EXPECT_EQ(empty.status_word, sw_none) << "nothing was sent";
    EXPECT_EQ(cmd_last_status_word(), 0x6A80u) << "the record keeps the last exchange";
    EXPECT_TRUE(device->sent.empty());
}

TEST_F(transport, chain_is_abandoned_when_the_card_was_reset_under_it) {
    fake_device* device = nullptr;
    int count = 0;
    device = add_device("scripted", [&](std::span<const uint8_t>) {
        // The third command met a reset card (and was resent after recovery).
        if (++count == 3) device->note_card_reset();
        return bytes{0x90, 0x00};
    });
    cmd_set_chunk_size(device->id(), 288); // 256-byte segments
    apdu_command header(apdu_case_3_ext, 0x80, 0x3A, 0, 0, "ImportCertificate");
    const uint8_t prefix[] = {0, 1};
    header.set_data(prefix);
    const bytes data(1000, 0x42);
    const cmd_result result = cmd_send_chained(device->id(), header, data);
    EXPECT_EQ(result, cmd_transport_failed);
    EXPECT_EQ(result.status_word, 0x8003u);
    EXPECT_EQ(cmd_last_status_word(), 0x8003u);
    EXPECT_EQ(device->sent.size(), 3u) << "no segment is sent to a card that lost the chain";
}

struct chunk_case {
    uint32_t max_buffer;
    uint32_t chunk;
};

class chunk_size : public transport, public ::testing::WithParamInterface<chunk_case> {};

TEST_P(chunk_size, is_bounded_and_block_aligned) {
    fake_device* device = add_device("scripted", ok_reply);
    EXPECT_EQ(cmd_get_chunk_size(device->id()), 1024u);
    EXPECT_EQ(cmd_set_chunk_size(device->id(), GetParam().max_buffer), GetParam().chunk);
    EXPECT_EQ(cmd_get_chunk_size(device->id()), GetParam().chunk);
}

INSTANTIATE_TEST_SUITE_P(
    max_buffer, chunk_size,
    ::testing::Values(chunk_case{0, 16}, chunk_case{31, 16}, chunk_case{32, 16}, chunk_case{33, 16},
                      chunk_case{48, 16}, chunk_case{64, 32}, chunk_case{1000, 960},
                      chunk_case{1024, 992}, chunk_case{2048, 1792}, chunk_case{0xFFFFFFFFu, 1792}),
    [](const auto& info) { return "max_" + std::to_string(info.param.max_buffer); });

TEST_F(transport, two_devices_keep_their_own_chunk_size) {
    fake_device* small = add_device("small", ok_reply);
    fake_device* large = add_device("large", ok_reply);
    cmd_set_chunk_size(small->id(), 288);
    cmd_set_chunk_size(large->id(), 1024);
    EXPECT_EQ(cmd_get_chunk_size(small->id()), 256u);
    EXPECT_EQ(cmd_get_chunk_size(large->id()), 992u);

    apdu_command header(apdu_case_3_ext, 0x80, 0x3A, 0, 0);
    const uint8_t one[] = {1};
    header.set_data(one);
    const bytes data(600, 0x22);
    ASSERT_EQ(cmd_send_chained(small->id(), header, data), cmd_ok);
    ASSERT_EQ(cmd_send_chained(large->id(), header, data), cmd_ok);
    EXPECT_EQ(small->sent.size(), 1u + 3u); // 256 + 256 + 88
    EXPECT_EQ(large->sent.size(), 1u + 1u);
    EXPECT_EQ(cmd_set_chunk_size(no_device, 1024), 0u);
}

TEST_F(transport, raw_operations_on_pcsc_devices_send_nothing) {
    device_base* reader = device_manager().add_device("Quessar raw", 0);
    const device_id id = reader->id();
    int32_t type = 0;
    EXPECT_EQ(dev_get_type(id, &type), 0);
    EXPECT_EQ(type, 2);
    const bytes sector(2048, 0xC0);
    const cmd_result written = dev_raw_write(id, 0x2A, 0, 1, sector.data(), sector.size());
    EXPECT_EQ(written, cmd_transport_failed);
    EXPECT_EQ(written.status_word, 0x8003u);
    EXPECT_EQ(cmd_last_status_word(), 0x8003u);
    bytes buffer(2048);
    const cmd_result read = dev_raw_read(id, 0x28, 0, 1, buffer.data(), buffer.size());
    EXPECT_EQ(read, cmd_transport_failed);
    EXPECT_EQ(read.status_word, 0x8004u);
    EXPECT_EQ(cmd_last_status_word(), 0x8004u);
    const uint8_t frame[] = {1, 2, 3};
    const cmd_result framed = dev_send_control_frame(id, frame, sizeof(frame));
    EXPECT_EQ(framed, cmd_transport_failed);
    EXPECT_EQ(framed.status_word, 0x8003u);
    EXPECT_EQ(cmd_last_status_word(), 0x8003u);
    uint32_t size = 99;
    EXPECT_EQ(dev_get_direct_cipher_size(id, &size), 0);
    EXPECT_EQ(size, 0u);
}

// A device that supports sector reads, to show the length check of a raw read.
class sector_device : public fake_device {
  public:
    sector_device() : fake_device("sector", ok_reply) {}
    int receive_raw(const uint8_t* block, size_t, uint8_t* buffer, size_t* length) override {
        last_block.assign(block, block + 16);
        const size_t n = std::min(*length, answer);
        std::fill(buffer, buffer + n, 0x5A);
        *length = n;
        return 0;
    }
    size_t answer = 512;
    bytes last_block;
};

TEST_F(transport, raw_read_of_another_length_is_0x8005) {
    auto* device = new sector_device;
    device_manager().adopt_device(std::unique_ptr<device_base>(device));
    bytes buffer(1024);
    const cmd_result short_read =
        dev_raw_read(device->id(), 0x28, 0x01020304, 2, buffer.data(), buffer.size());
    EXPECT_EQ(short_read, cmd_transport_failed);
    EXPECT_EQ(short_read.status_word, 0x8005u);
    EXPECT_EQ(cmd_last_status_word(), 0x8005u);
    EXPECT_EQ(device->last_block, (bytes{0x28, 0, 1, 2, 3, 4, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
    device->answer = 1024;
    EXPECT_EQ(dev_raw_read(device->id(), 0x28, 0, 2, buffer.data(), buffer.size()), cmd_ok);
}

// Continuation reads (6A9E "more data"): the transport sends the very same
// command again, joins the pieces, and stops at 9000, at a piece without
// data, at the buffer's end or after cmd_max_continued_pieces commands.
struct continued_case {
    const char* label;
    int pieces_with_more; // replies "piece 6A9E" before the closing reply
    bytes closing;        // the reply after them
    uint32_t capacity;
    int result;
    size_t commands;
    uint32_t total;       // *size afterwards
    uint32_t status_word; // of the last reply
};

std::ostream& operator<<(std::ostream& os, const continued_case& c) {
    return os << c.label;
}

class transport_continued : public transport,
                            public ::testing::WithParamInterface<continued_case> {};

TEST_P(transport_continued, follows_more_data_and_is_bounded) {
    const continued_case& c = GetParam();
    int answered = 0;
    fake_device* device = add_device("scripted", [&](std::span<const uint8_t>) {
        return answered++ < c.pieces_with_more ? bytes{0x41, 0x42, 0x6A, 0x9E} : c.closing;
    });
    apdu_command command(apdu_case_2_ext, 0x80, 0x34, 0x00, 0x01, "EnumFiles");
    command.set_le(2046);
    std::vector<uint8_t> buffer(c.capacity);
    uint32_t size = c.capacity;
    const cmd_result result = cmd_read_continued(device->id(), command, buffer.data(), &size);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(result.status_word, c.status_word);
    EXPECT_EQ(device->sent.size(), c.commands);
    EXPECT_EQ(size, c.total);
    for (const bytes& sent : device->sent)
        EXPECT_EQ(sent, device->sent.front());
}

const continued_case continued_cases[] = {
    {"single_reply", 0, {0x43, 0x90, 0x00}, 16, cmd_ok, 1, 1, 0x9000},
    {"three_pieces_joined", 2, {0x43, 0x90, 0x00}, 16, cmd_ok, 3, 5, 0x9000},
    {"empty_more_piece_ends", 1, {0x6A, 0x9E}, 16, cmd_ok, 2, 2, 0x6A9E},
    {"other_status_word_fails", 1, {0x6A, 0x82}, 16, cmd_bad_status, 2, 2, 0x6A82},
    {"buffer_full", 5, {0x90, 0x00}, 5, cmd_bad_length, 3, 6, 0x6A9E},
    {"card_never_stops",
     1000,
     {0x90, 0x00},
     100000,
     cmd_bad_status,
     static_cast<size_t>(cmd_max_continued_pieces),
     2u * cmd_max_continued_pieces,
     0x6A9E},
};

INSTANTIATE_TEST_SUITE_P(pieces, transport_continued, ::testing::ValuesIn(continued_cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
