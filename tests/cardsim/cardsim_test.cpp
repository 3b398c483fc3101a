// Card core rules, driven through the in-process front-end (card::transmit).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "apdu.h"
#include "card.h"
#include "dispatch.h"
#include "image.h"
#include "sm4_oracle.h"

namespace {

using bytes = std::vector<uint8_t>;
using cardsim::apdu_case;

bytes hdr(uint8_t cla, uint8_t ins, uint8_t p1 = 0, uint8_t p2 = 0) {
    return {cla, ins, p1, p2};
}

// Extended E-Le / E-Lc / E-LcLe forms.
bytes ext_le(bytes h, uint32_t le) {
    h.insert(h.end(), {0, static_cast<uint8_t>(le >> 8), static_cast<uint8_t>(le)});
    return h;
}
bytes ext_lc(bytes h, const bytes& data) {
    h.insert(h.end(),
             {0, static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())});
    h.insert(h.end(), data.begin(), data.end());
    return h;
}
bytes ext_lc_le(bytes h, const bytes& data, uint32_t le) {
    h = ext_lc(std::move(h), data);
    h.insert(h.end(), {static_cast<uint8_t>(le >> 8), static_cast<uint8_t>(le)});
    return h;
}

uint16_t sw_of(const bytes& reply) {
    return reply.size() < 2 ? 0
                            : static_cast<uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
}
bytes body_of(const bytes& reply) {
    return reply.size() < 2 ? bytes{} : bytes(reply.begin(), reply.end() - 2);
}

std::string text_at(const bytes& b, size_t off, size_t len) {
    std::string s;
    for (size_t i = off; i < off + len && i < b.size() && b[i] != 0; ++i)
        s.push_back(static_cast<char>(b[i]));
    return s;
}

const bytes get_dev_info = ext_le(hdr(0x80, 0x04, 0x00, 0x00), 0);
const bytes get_short_dev_info = ext_le(hdr(0x80, 0x04, 0x01, 0x00), 0);
bytes gen_random(uint32_t n) {
    return ext_le(hdr(0x80, 0x50), n);
}

// ---- APDU parsing (ISO 7816-4 cases at their length boundaries) ----

struct parse_case {
    const char* what;
    bytes apdu;
    bool valid;
    apdu_case form;
    size_t lc;
    uint32_t ne;
};

bytes filled(bytes h, size_t n, bytes tail = {}) {
    h.insert(h.end(), n, 0xA5);
    h.insert(h.end(), tail.begin(), tail.end());
    return h;
}

std::vector<parse_case> parse_cases() {
    const bytes h = hdr(0x80, 0xCA);
    return {
        {"case 1", h, true, apdu_case::case1, 0, 0},
        {"2S Le 01", filled(h, 0, {0x01}), true, apdu_case::case2s, 0, 1},
        {"2S Le 00 = 256", filled(h, 0, {0x00}), true, apdu_case::case2s, 0, 256},
        {"3S Lc 1", filled(filled(h, 0, {0x01}), 1), true, apdu_case::case3s, 1, 0},
        {"3S Lc 255", filled(filled(h, 0, {0xFF}), 255), true, apdu_case::case3s, 255, 0},
        {"4S Lc 255 Le 00 = 256", filled(filled(h, 0, {0xFF}), 255, {0x00}), true,
         apdu_case::case4s, 255, 256},
        {"2E Le 0000 = 65536", filled(h, 0, {0, 0, 0}), true, apdu_case::case2e, 0, 65536},
        {"2E Le 0100 = 256", filled(h, 0, {0, 1, 0}), true, apdu_case::case2e, 0, 256},
        {"2E Le FFFF", filled(h, 0, {0, 0xFF, 0xFF}), true, apdu_case::case2e, 0, 65535},
        {"3E Lc 256", filled(filled(h, 0, {0, 1, 0}), 256), true, apdu_case::case3e, 256, 0},
        {"3E Lc 65535", filled(filled(h, 0, {0, 0xFF, 0xFF}), 65535), true, apdu_case::case3e,
         65535, 0},
        {"4E Lc 1 Le 0000", filled(filled(h, 0, {0, 0, 1}), 1, {0, 0}), true, apdu_case::case4e, 1,
         65536},
        {"4E Lc 65535 Le 0100", filled(filled(h, 0, {0, 0xFF, 0xFF}), 65535, {1, 0}), true,
         apdu_case::case4e, 65535, 256},
        {"3 bytes", bytes{0x80, 0xCA, 0x00}, false, {}, 0, 0},
        {"empty", bytes{}, false, {}, 0, 0},
        {"6 bytes, byte 4 = 00", filled(h, 0, {0, 0}), false, {}, 0, 0},
        {"extended Lc 0", filled(h, 0, {0, 0, 0, 0x12}), false, {}, 0, 0},
        {"short Lc 3, 2 data bytes", filled(filled(h, 0, {3}), 2), false, {}, 0, 0},
        {"short Lc 3, 3 data + 2 extra", filled(filled(h, 0, {3}), 5), false, {}, 0, 0},
        {"extended Lc 5, 4 data bytes", filled(filled(h, 0, {0, 0, 5}), 4), false, {}, 0, 0},
        {"extended Lc 5, data + 1 byte", filled(filled(h, 0, {0, 0, 5}), 6), false, {}, 0, 0},
        {"extended Lc 5, data + 3 bytes", filled(filled(h, 0, {0, 0, 5}), 8), false, {}, 0, 0},
    };
}

TEST(ApduParse, CasesAtTheirBoundaries) {
    for (const parse_case& c : parse_cases()) {
        SCOPED_TRACE(c.what);
        const auto a = cardsim::parse_apdu(c.apdu);
        ASSERT_EQ(a.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(a->form, c.form);
        EXPECT_EQ(a->data.size(), c.lc);
        EXPECT_EQ(a->ne, c.ne);
        EXPECT_EQ(a->ins, 0xCA);
    }
}

TEST(ApduParse, MalformedCommandsGet6700FromTheCard) {
    cardsim::card card;
    for (const parse_case& c : parse_cases()) {
        if (c.valid) continue;
        SCOPED_TRACE(c.what);
        EXPECT_EQ(card.transmit(c.apdu), (bytes{0x67, 0x00}));
    }
}

// ---- dispatch ----

TEST(Dispatch, UnknownClassInstructionAndParameters) {
    struct {
        bytes apdu;
        uint16_t sw;
    } cases[] = {
        {ext_le(hdr(0x00, 0x04, 0x00, 0x00), 0), 0x6E00}, // interindustry class
        {ext_le(hdr(0xA0, 0x04, 0x00, 0x00), 0), 0x6E00},
        {ext_le(hdr(0x80, 0xEE), 0), 0x6D00},             // vendor class, unused INS
        {ext_le(hdr(0xC0, 0xEE), 0), 0x6D00},             // vendor class, unused INS
        {ext_le(hdr(0x80, 0x04, 0x02, 0x00), 0), 0x6A86}, // GetDevInfo with another P1
        {ext_le(hdr(0x80, 0x04, 0x00, 0x01), 0), 0x6A86},
    };
    cardsim::card card;
    for (const auto& c : cases)
        EXPECT_EQ(sw_of(card.transmit(c.apdu)), c.sw);
}

TEST(Dispatch, EveryRowNamesItsCommandOnce) {
    std::vector<std::string> names;
    for (const auto& row : cardsim::command_table()) {
        ASSERT_NE(row.name, nullptr);
        EXPECT_EQ(std::count(names.begin(), names.end(), row.name), 0) << row.name;
        names.emplace_back(row.name);
        EXPECT_EQ(row.cla & 0x10, 0) << row.name;
    }
}

// ---- device commands ----

class DevInfo : public ::testing::TestWithParam<size_t> {};

TEST_P(DevInfo, ReportsTheConfiguredMaximumBufferSize) {
    cardsim::card card(cardsim::card_options{GetParam(), false, ""});
    const bytes r = card.transmit(get_dev_info);
    ASSERT_EQ(sw_of(r), 0x9000);
    const bytes b = body_of(r);
    ASSERT_EQ(b.size(), 288u);
    EXPECT_EQ(size_t(b[224] << 8 | b[225]), GetParam());
    EXPECT_EQ(text_at(b, 4, 64), "Quessar");
    EXPECT_EQ(text_at(b, 132, 32), "Oskarvel");
    EXPECT_EQ(text_at(b, 164, 3), "QVT");
    EXPECT_GT(b[196], 1); // hardware version major
    // DevAuthAlgId as stored (little-endian): SM4-ECB 0x401.
    EXPECT_EQ((bytes(b.begin() + 212, b.begin() + 216)), (bytes{0x01, 0x04, 0x00, 0x00}));
    const uint32_t total = uint32_t(b[216]) << 24 | b[217] << 16 | b[218] << 8 | b[219];
    const uint32_t free = uint32_t(b[220]) << 24 | b[221] << 16 | b[222] << 8 | b[223];
    EXPECT_GT(total, 0u);
    EXPECT_EQ(free, total);
    EXPECT_TRUE(std::all_of(b.begin() + 230, b.end(), [](uint8_t x) { return x == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, DevInfo, ::testing::Values(32, 1024, 2048, 4096),
                         ::testing::PrintToStringParamName());

TEST(DeviceCommands, BlankCardHasNoLabelAndNoAuthAlgorithm) {
    cardsim::card card(cardsim::card_options{1024, true, ""});
    const bytes b = body_of(card.transmit(get_dev_info));
    ASSERT_EQ(b.size(), 288u);
    EXPECT_EQ(text_at(b, 132, 32), "");
    EXPECT_EQ((bytes(b.begin() + 212, b.begin() + 216)), (bytes{0, 0, 0, 0}));
}

TEST(DeviceCommands, ShortDevInfoNamesTheDeviceByItsLabel) {
    cardsim::card card;
    bytes r = card.transmit(get_short_dev_info);
    ASSERT_EQ(sw_of(r), 0x9000);
    ASSERT_EQ(body_of(r).size(), 68u);
    EXPECT_EQ(text_at(r, 32, 32), "Oskarvel");

    const std::string label = "Tavrel test token";
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0x02), bytes(label.begin(), label.end()))),
              (bytes{0x90, 0x00}));
    EXPECT_EQ(text_at(card.transmit(get_short_dev_info), 32, 32), label);
    // The empty label: one NUL. A header-only command is refused.
    EXPECT_EQ(sw_of(card.transmit(hdr(0x80, 0x02))), 0x6700);
    EXPECT_EQ(text_at(card.transmit(get_short_dev_info), 32, 32), label);
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0x02), {0x00})), (bytes{0x90, 0x00}));
    EXPECT_EQ(text_at(card.transmit(get_short_dev_info), 32, 32), "");
    EXPECT_EQ(sw_of(card.transmit(ext_lc(hdr(0x80, 0x02), bytes(33, 'x')))), 0x6700);
}

TEST(DeviceCommands, LeSmallerThanTheReplyGets6Cxx) {
    cardsim::card card;
    EXPECT_EQ(card.transmit(ext_le(hdr(0x80, 0x04, 0x01, 0x00), 10)), (bytes{0x6C, 68}));
    EXPECT_EQ(card.transmit(ext_le(hdr(0x80, 0x04, 0x00, 0x00), 287)), (bytes{0x67, 0x00}));
    EXPECT_EQ(body_of(card.transmit(ext_le(hdr(0x80, 0x04, 0x01, 0x00), 68))).size(), 68u);
}

TEST(DeviceCommands, GenRandomReturnsExactlyLeBytes) {
    cardsim::card card;
    for (uint32_t n : {1u, 8u, 1024u, 2046u}) {
        const bytes r = card.transmit(gen_random(n));
        EXPECT_EQ(sw_of(r), 0x9000);
        EXPECT_EQ(r.size(), n + 2);
    }
    EXPECT_NE(card.transmit(gen_random(16)), card.transmit(gen_random(16)));
    EXPECT_EQ(card.transmit(gen_random(0)), (bytes{0x67, 0x00})); // Le 0000 = 65536
    EXPECT_EQ(card.transmit(gen_random(2047)), (bytes{0x67, 0x00}));
    EXPECT_EQ(card.transmit(hdr(0x80, 0x50)), (bytes{0x67, 0x00}));
}

bytes dev_auth_answer(cardsim::card& card, const bytes& key) {
    bytes block = body_of(card.transmit(gen_random(8)));
    block.resize(16, 0);
    // SM4-ECB by OpenSSL directly, not through the simulator's helper.
    return ext_lc(hdr(0x80, 0x10), test_support::sm4_ecb(key, block, true));
}

TEST(DeviceCommands, DevAuthChecksTheChallengeOnceAndCountsFailures) {
    const std::string k = "7350914826057319";
    const bytes key(k.begin(), k.end());
    bytes wrong = key;
    wrong[0] ^= 1;
    cardsim::card card;
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0x10), bytes(16, 0))),
              (bytes{0x69, 0x85})); // no challenge
    EXPECT_EQ(card.transmit(dev_auth_answer(card, wrong)), (bytes{0x63, 0xC7}));
    const bytes good = dev_auth_answer(card, key);
    EXPECT_EQ(card.transmit(good), (bytes{0x90, 0x00}));
    EXPECT_EQ(card.transmit(good), (bytes{0x69, 0x85})); // the challenge was used
    // Success restored the counter: the next failure shows 7 again.
    EXPECT_EQ(card.transmit(dev_auth_answer(card, wrong)), (bytes{0x63, 0xC7}));
    // A reset clears the challenge.
    const bytes later = dev_auth_answer(card, key);
    card.reset();
    EXPECT_EQ(card.transmit(later), (bytes{0x69, 0x85}));
}

// ---- chaining, Le and pieces, with rows made for the test ----

uint16_t echo_parts(cardsim::command_context& ctx) {
    // Reply: the number of parts, then the joined data.
    ctx.reply.push_back(static_cast<uint8_t>(ctx.chain_parts.empty() ? 1 : ctx.chain_parts.size()));
    ctx.reply.insert(ctx.reply.end(), ctx.data.begin(), ctx.data.end());
    return 0x9000;
}

uint16_t long_reply(cardsim::command_context& ctx) {
    // P1P2 = length; bytes count up so that pieces can be told apart.
    const size_t n = size_t(ctx.apdu.p1) << 8 | ctx.apdu.p2;
    for (size_t i = 0; i < n; ++i)
        ctx.reply.push_back(static_cast<uint8_t>(i));
    ctx.reply_in_pieces();
    return 0x9000;
}

uint16_t failing_with_data(cardsim::command_context& ctx) {
    ctx.reply = {1, 2, 3};
    return 0x6A80;
}

class Core : public ::testing::Test {
  protected:
    void SetUp() override {
        cardsim::card_test_access::set_table(
            card, {
                      {0x80, 0xE0, cardsim::any_p, 0x00, "Chained", echo_parts, true},
                      {0x80, 0xE2, 0x00, 0x00, "Plain", echo_parts, false},
                      {0x80, 0xE4, cardsim::any_p, cardsim::any_p, "Long", long_reply, false},
                      {0x80, 0xE6, 0x00, 0x00, "Fails", failing_with_data, false},
                  });
    }
    cardsim::card card{cardsim::card_options{1024, false, ""}};
};

TEST_F(Core, ChainedPartsReachTheHandlerJoinedAndInOrder) {
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x90, 0xE0), {1, 2, 3})), (bytes{0x90, 0x00}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x90, 0xE0), {4, 5})), (bytes{0x90, 0x00}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0), {6})),
              (bytes{3, 1, 2, 3, 4, 5, 6, 0x90, 0x00}));
    // The chain is closed: the next command stands alone.
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0), {7})), (bytes{1, 7, 0x90, 0x00}));
}

TEST_F(Core, AnotherCommandAbandonsAnOpenChain) {
    card.transmit(ext_lc(hdr(0x90, 0xE0), {1, 2}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE2), {9})), (bytes{1, 9, 0x90, 0x00}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0), {7})), (bytes{1, 7, 0x90, 0x00}));
    // A reset drops it too.
    card.transmit(ext_lc(hdr(0x90, 0xE0), {1, 2}));
    card.reset();
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0), {7})), (bytes{1, 7, 0x90, 0x00}));
}

TEST_F(Core, MixedParametersInAChainAreRefused) {
    card.transmit(ext_lc(hdr(0x90, 0xE0, 0x01), {1, 2}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0, 0x02), {3})), (bytes{0x68, 0x83}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0, 0x02), {3})), (bytes{1, 3, 0x90, 0x00}));
}

TEST_F(Core, ChainingOnACommandWithoutItIsRefused) {
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x90, 0xE2), {1})), (bytes{0x68, 0x84}));
}

TEST_F(Core, AChainBeyondTheCardBufferIsDropped) {
    const bytes part(0xFFFF, 0x11);
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x90, 0xE0), part)), (bytes{0x90, 0x00}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x90, 0xE0), {1, 2})), (bytes{0x67, 0x00}));
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE0), {7})), (bytes{1, 7, 0x90, 0x00}));
}

TEST_F(Core, LongRepliesComeInPiecesOfTheChunkSize) {
    // 2500 bytes at a maximum buffer of 1024: pieces of 992, 992, 516.
    const bytes cmd = ext_le(hdr(0x80, 0xE4, 2500 >> 8, 2500 & 0xFF), 0);
    bytes joined;
    const size_t sizes[] = {992, 992, 516};
    for (size_t i = 0; i < 3; ++i) {
        const bytes r = card.transmit(cmd);
        ASSERT_EQ(r.size(), sizes[i] + 2);
        EXPECT_EQ(sw_of(r), i < 2 ? 0x6A9E : 0x9000);
        const bytes b = body_of(r);
        joined.insert(joined.end(), b.begin(), b.end());
    }
    ASSERT_EQ(joined.size(), 2500u);
    for (size_t i = 0; i < joined.size(); ++i)
        ASSERT_EQ(joined[i], static_cast<uint8_t>(i));
    // Complete: the same command starts over.
    EXPECT_EQ(sw_of(card.transmit(cmd)), 0x6A9E);
    // Another command in between ends the pieces; the next one starts over.
    card.transmit(ext_lc(hdr(0x80, 0xE2), {1}));
    const bytes again = card.transmit(cmd);
    EXPECT_EQ(again[0], 0);
    EXPECT_EQ(sw_of(again), 0x6A9E);
    // A short reply is one piece.
    EXPECT_EQ(card.transmit(ext_le(hdr(0x80, 0xE4, 0, 3), 0)), (bytes{0, 1, 2, 0x90, 0x00}));
}

TEST_F(Core, PieceSizeCanBeForcedAndLeBoundsAPiece) {
    card.set_piece_size(100);
    const bytes cmd = ext_le(hdr(0x80, 0xE4, 0, 250), 0);
    const struct {
        size_t size;
        uint8_t first;
        uint16_t sw;
    } pieces[] = {{100, 0, 0x6A9E}, {100, 100, 0x6A9E}, {50, 200, 0x9000}};
    for (const auto& p : pieces) {
        const bytes r = card.transmit(cmd);
        ASSERT_EQ(r.size(), p.size + 2);
        EXPECT_EQ(r[0], p.first);
        EXPECT_EQ(sw_of(r), p.sw);
    }
    // An Le below the piece size bounds each piece.
    const bytes small = ext_le(hdr(0x80, 0xE4, 0, 250), 60);
    EXPECT_EQ(card.transmit(small).size(), 62u);
    EXPECT_EQ(card.transmit(small)[0], 60);
}

TEST_F(Core, LeBoundsTheReplyOfACase4Command) {
    EXPECT_EQ(card.transmit(ext_lc_le(hdr(0x80, 0xE2), {1, 2, 3}, 3)), (bytes{0x6C, 0x04}));
    EXPECT_EQ(card.transmit(ext_lc_le(hdr(0x80, 0xE2), {1, 2, 3}, 4)),
              (bytes{1, 1, 2, 3, 0x90, 0x00}));
    // A case 3 command gets its reply data too.
    EXPECT_EQ(card.transmit(ext_lc(hdr(0x80, 0xE2), {1, 2, 3})), (bytes{1, 1, 2, 3, 0x90, 0x00}));
}

TEST_F(Core, AnErrorStatusCarriesNoData) {
    EXPECT_EQ(card.transmit(ext_le(hdr(0x80, 0xE6), 0)), (bytes{0x6A, 0x80}));
}

// ---- control interface: faults, power, log ----

TEST(Control, FaultsAnswerTheNextCommandsInOrderThenTheCardAnswersAgain) {
    cardsim::card card;
    card.inject_empty_reply();
    card.inject_short_reply();
    card.inject_status_word(0x6A82, 2);
    EXPECT_EQ(card.transmit(get_short_dev_info), bytes{});
    EXPECT_EQ(card.transmit(get_short_dev_info).size(), 1u);
    EXPECT_EQ(card.transmit(get_short_dev_info), (bytes{0x6A, 0x82}));
    EXPECT_EQ(card.transmit(get_short_dev_info), (bytes{0x6A, 0x82}));
    EXPECT_EQ(card.transmit(get_short_dev_info).size(), 70u);
    card.inject_status_word(0x6F00, 5);
    card.clear_faults();
    EXPECT_EQ(card.transmit(get_short_dev_info).size(), 70u);
}

TEST(Control, LogRecordsEveryCommandReceived) {
    cardsim::card card;
    card.inject_empty_reply();
    card.transmit(get_short_dev_info); // answered by the fault
    card.transmit(bytes{0x80});        // malformed
    card.transmit(gen_random(8));
    const auto log = card.apdu_log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], get_short_dev_info);
    EXPECT_EQ(log[1], bytes{0x80});
    EXPECT_EQ(log[2], gen_random(8));
    card.clear_log();
    EXPECT_TRUE(card.apdu_log().empty());
}

TEST(Control, APoweredOffCardDoesNotAnswer) {
    cardsim::card card;
    EXPECT_TRUE(card.powered());
    card.power_off();
    EXPECT_FALSE(card.powered());
    EXPECT_EQ(card.transmit(get_short_dev_info), bytes{});
    card.power_on();
    EXPECT_EQ(card.transmit(get_short_dev_info).size(), 70u);
}

TEST(Control, AtrOffersOnlyT1WithACorrectCheckByte) {
    cardsim::card card;
    const bytes atr = card.atr();
    ASSERT_GE(atr.size(), 5u);
    EXPECT_EQ(atr[0], 0x3B);
    const size_t k = atr[1] & 0x0F;
    EXPECT_EQ(atr[1] & 0xF0, 0x80); // only TD1 follows T0
    EXPECT_EQ(atr[2], 0x80);        // TD1: TD2 follows
    EXPECT_EQ(atr[3], 0x01);        // TD2: T=1, nothing follows
    ASSERT_EQ(atr.size(), 4 + k + 1);
    uint8_t x = 0;
    for (size_t i = 1; i < atr.size(); ++i)
        x ^= atr[i];
    EXPECT_EQ(x, 0);
}

// ---- image file ----

class Image : public ::testing::Test {
  protected:
    void SetUp() override {
        dir =
            std::filesystem::temp_directory_path() / ("cardsim_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        path = (dir / "card.img").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string path;
};

TEST_F(Image, CardStateSurvivesInTheImage) {
    bytes serial;
    {
        cardsim::card card(cardsim::card_options{1024, false, path});
        EXPECT_EQ(card.image_error(), "");
        const std::string label = "Kept";
        ASSERT_EQ(sw_of(card.transmit(ext_lc(hdr(0x80, 0x02), bytes(label.begin(), label.end())))),
                  0x9000);
        serial = body_of(card.transmit(get_short_dev_info));
        serial.resize(32);
    }
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    cardsim::card again(cardsim::card_options{1024, true, path}); // the image wins over --blank
    const bytes info = body_of(again.transmit(get_short_dev_info));
    EXPECT_EQ(text_at(info, 32, 32), "Kept");
    EXPECT_EQ(bytes(info.begin(), info.begin() + 32), serial);
}

TEST_F(Image, EveryFieldRoundTrips) {
    cardsim::persistent_state s = cardsim::initial_state({});
    s.device.capability_word2 = 2;
    s.oem[1] = 1;
    s.dev_auth.remaining = 3;
    cardsim::application& app = s.applications.at(0);
    app.user.remaining = 4;
    app.user.is_default = false;
    app.files.push_back({"CacheFile", 5, 0x10, 0x11, {1, 2, 3, 4, 5}});
    app.containers.push_back(
        {7, "Container", {cardsim::key_kind::sm2, 256, {9, 9}}, {}, {0x30, 0x82}, {}});
    std::string error;
    ASSERT_TRUE(cardsim::save_image(s, path, error)) << error;
    const auto back = cardsim::load_image(path, error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->device.serial, s.device.serial);
    EXPECT_EQ(back->device.capability_word2, 2);
    EXPECT_EQ(back->oem, s.oem);
    EXPECT_EQ(back->dev_auth.remaining, 3);
    const cardsim::application& b = back->applications.at(0);
    EXPECT_EQ(b.name, "APP");
    EXPECT_EQ(b.so.text, "pevot");
    EXPECT_EQ(b.user.text, "58204716");
    EXPECT_EQ(b.user.remaining, 4);
    EXPECT_FALSE(b.user.is_default);
    ASSERT_EQ(b.files.size(), 1u);
    EXPECT_EQ(b.files[0].content, (bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(b.files[0].write_rights, 0x11u);
    ASSERT_EQ(b.containers.size(), 1u);
    EXPECT_EQ(b.containers[0].signature.kind, cardsim::key_kind::sm2);
    EXPECT_EQ(b.containers[0].signature.private_der, (bytes{9, 9}));
    EXPECT_EQ(b.containers[0].signature_cert, (bytes{0x30, 0x82}));
}

TEST_F(Image, DamagedImagesAreRefusedAndKept) {
    std::string error;
    ASSERT_TRUE(cardsim::save_image(cardsim::initial_state({}), path, error));
    std::vector<char> good;
    {
        std::ifstream in(path, std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    auto write = [&](const std::vector<char>& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    };
    std::vector<std::vector<char>> bad;
    bad.push_back(std::vector<char>(good.begin(), good.begin() + 30)); // truncated
    bad.push_back(good);
    bad.back()[40] ^= 1; // a payload byte
    bad.push_back(good);
    bad.back()[11] = 2; // version 2
    bad.push_back(good);
    bad.back()[0] = 'X'; // magic
    bad.push_back({});
    for (const auto& content : bad) {
        write(content);
        EXPECT_FALSE(cardsim::load_image(path, error));
        EXPECT_NE(error, "");
        cardsim::card card(cardsim::card_options{1024, false, path});
        EXPECT_NE(card.image_error(), "");
        // The card still answers, and never overwrites the file.
        card.transmit(ext_lc(hdr(0x80, 0x02), {'x'}));
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::vector<char>(std::istreambuf_iterator<char>(in), {}), content);
    }
}

} // namespace
