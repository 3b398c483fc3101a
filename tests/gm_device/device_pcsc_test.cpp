// Device functions of the device API end to end: enumeration, connection,
// label, device information, device authentication, format, OEM data, raw
// serial number, sectors and inquiry string, status words, against simulated
// tokens in the real pcscd.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "byte_order.h"
#include "cmd_device.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "gm_pcsc_fixture.h"
#include "sm4.h"
#include "test_hex.h"
#include "transport.h"

namespace {

using namespace gm_test;
using cardsim::test::simulated_token;
using bytes = std::vector<uint8_t>;

constexpr char default_dev_auth_key[] = "7350914826057319";

std::vector<std::string> split_names(const char* list, uint32_t size) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < size && list[i] != '\0';) {
        names.emplace_back(list + i);
        i += static_cast<uint32_t>(names.back().size()) + 1;
    }
    return names;
}

std::vector<std::string> enum_names(uint32_t* rv = nullptr) {
    char list[4096];
    uint32_t size = sizeof list;
    const uint32_t r = SKF_EnumDev(1, list, &size);
    if (rv) *rv = r;
    if (r != SAR_OK) return {};
    return split_names(list, size);
}

device_id device_of(DEVHANDLE h) {
    gm_sc_dev* dev = gm_find_dev(h);
    return dev ? dev->device : no_device;
}

// The device-authentication answer to a fresh challenge of the card.
bytes dev_auth_answer(DEVHANDLE h, const char* key) {
    std::array<uint8_t, 16> block{};
    if (cmd_gen_random(device_of(h), block.data(), 8) != cmd_ok) return {};
    sm4_round_keys rk;
    sm4_key_schedule(rk, reinterpret_cast<const uint8_t*>(key));
    sm4_block(rk, block.data(), block.data());
    return bytes(block.begin(), block.end());
}

std::string label_of(DEVHANDLE h) {
    DEVINFO info;
    if (const uint32_t rv = SKF_GetDevInfo(h, &info); rv != SAR_OK)
        return "<error " + std::to_string(rv) + ">";
    return std::string(info.Label, strnlen(info.Label, sizeof info.Label));
}

bool is_ins(const bytes& apdu, uint8_t cla, uint8_t ins) {
    return apdu.size() >= 4 && apdu[0] == cla && apdu[1] == ins;
}

using gm_device = gm_pcsc;

TEST_F(gm_device, enumerates_and_connects_a_token_by_name) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();

    uint32_t size = 0;
    ASSERT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 1u * 32 + 2);

    char list[256];
    uint32_t small =
        static_cast<uint32_t>(first_reader.size() + 1); // one short of the final terminator
    EXPECT_EQ(SKF_EnumDev(1, list, &small), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, first_reader.size() + 2);
    size = sizeof list;
    ASSERT_EQ(SKF_EnumDev(1, list, &size), SAR_OK);
    EXPECT_EQ(size, first_reader.size() + 2);
    EXPECT_EQ(std::string(list), first_reader);
    EXPECT_EQ(list[first_reader.size() + 1], '\0');

    const DEVHANDLE h = connect(first_reader);
    ASSERT_GE(h, gm_first_handle_value);
    DEVINFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    EXPECT_EQ(info.Version.major, 1);
    EXPECT_STREQ(info.Label, "Oskarvel");
    EXPECT_STREQ(info.Manufacturer, "Quessar");
    EXPECT_EQ(info.HWVersion.major, 2);
    EXPECT_EQ(uint32_t{info.AlgSymCap}, 0x0000071Fu);
    EXPECT_EQ(uint32_t{info.DevAuthAlgId}, 0x401u);
    EXPECT_EQ(uint32_t{info.TotalSpace}, 128u * 1024);
    EXPECT_EQ(uint32_t{info.MaxBufferSize}, 2048u - 32);
    EXPECT_EQ(uint32_t{info.MaxECCBufferSize}, 2048u - 32 - 101);
    for (uint8_t b : info.Reserved)
        ASSERT_EQ(b, 0);
    EXPECT_EQ(gm_get_last_status_word(), 0x9000u);

    EXPECT_EQ(SKF_DisConnectDev(h), SAR_OK);
    EXPECT_EQ(SKF_GetDevInfo(h, &info), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_DisConnectDev(h), SAR_INVALIDPARAMERR);
}

TEST_F(gm_device, connect_arguments_and_unknown_names) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    DEVHANDLE h = 0x77;
    EXPECT_EQ(SKF_ConnectDev(nullptr, &h), SAR_DEVICE_REMOVED);
    EXPECT_EQ(SKF_ConnectDev("", &h), SAR_DEVICE_REMOVED);
    EXPECT_EQ(SKF_ConnectDev(first_reader.c_str(), nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_ConnectDev(std::string(300, 'r').c_str(), &h), SAR_INVALIDPARAMERR);
    const uint32_t before = gm_peek_handle_value();
    EXPECT_EQ(SKF_ConnectDev("No Such Reader 00 00", &h), SAR_DEVICE_REMOVED);
    EXPECT_EQ(h, 0x77u); // not written on failure
    // The failed device spent its handle value.
    EXPECT_EQ(gm_peek_handle_value(), before + 1);
    EXPECT_EQ(SKF_EnumDev(1, nullptr, nullptr), SAR_INVALIDPARAMERR);
    // Connecting the same reader twice gives two handles.
    const DEVHANDLE a = connect(first_reader);
    const DEVHANDLE b = connect(first_reader);
    EXPECT_EQ(b, before + 2);
    EXPECT_NE(a, b);
}

TEST_F(gm_device, a_9000_reply_shorter_than_the_record_is_a_failure_and_creates_no_handle) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    // Enumerate first so that connecting sends only GetDevInfo.
    ASSERT_EQ(enum_names().size(), 1u);
    token.sim().inject_status_word(0x9000);
    DEVHANDLE h = 0;
    EXPECT_EQ(SKF_ConnectDev(first_reader.c_str(), &h), SAR_FAIL);
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(gm_handle_registry().empty());

    h = connect(first_reader);
    DEVINFO info;
    std::memset(&info, 0xEE, sizeof info);
    token.sim().inject_status_word(0x9000);
    EXPECT_EQ(SKF_GetDevInfo(h, &info), SAR_FAIL);
    EXPECT_EQ(static_cast<uint8_t>(info.Label[0]), 0xEE); // output untouched
    uint32_t c1 = 7, c2 = 7;
    token.sim().inject_status_word(0x9000);
    EXPECT_EQ(gm_get_dev_caps(h, &info, &c1, &c2), SAR_FAIL);
    EXPECT_EQ(c1, 7u);
}

TEST_F(gm_device, two_tokens_in_two_readers_are_two_devices) {
    simulated_token first;
    simulated_token second({}, cardsim::test::second_port());
    ASSERT_TRUE(first.inserted()) << first.error();
    ASSERT_TRUE(second.inserted()) << second.error();

    uint32_t size = 0;
    ASSERT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 2u * 32 + 2);
    const auto names = enum_names();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(std::find(names.begin(), names.end(), first_reader), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), second_reader), names.end());

    const DEVHANDLE a = connect(first_reader);
    const DEVHANDLE b = connect(second_reader);
    ASSERT_EQ(SKF_SetLabel(a, "first"), SAR_OK);
    ASSERT_EQ(SKF_SetLabel(b, "second"), SAR_OK);
    EXPECT_EQ(label_of(a), "first");
    EXPECT_EQ(label_of(b), "second");
}

TEST_F(gm_device, a_removed_token_gives_the_removal_code_not_a_stale_answer) {
    simulated_token first;
    simulated_token second({}, cardsim::test::second_port());
    ASSERT_TRUE(first.inserted()) << first.error();
    ASSERT_TRUE(second.inserted()) << second.error();
    const DEVHANDLE a = connect(first_reader);
    const DEVHANDLE b = connect(second_reader);
    ASSERT_EQ(label_of(a), "Oskarvel");

    ASSERT_TRUE(first.remove());
    DEVINFO info;
    std::memset(&info, 0xEE, sizeof info);
    const uint32_t rv = SKF_GetDevInfo(a, &info);
    EXPECT_TRUE(rv == 0x8002 || rv == 0x8003) << std::hex << rv;
    EXPECT_EQ(gm_get_last_status_word(), rv);
    EXPECT_EQ(static_cast<uint8_t>(info.Label[0]), 0xEE);
    EXPECT_NE(SKF_SetLabel(a, "x"), SAR_OK);
    EXPECT_EQ(enum_names(), std::vector<std::string>{second_reader});
    // The other token is unaffected.
    EXPECT_EQ(label_of(b), "Oskarvel");
    DEVHANDLE again = 0;
    EXPECT_EQ(SKF_ConnectDev(first_reader.c_str(), &again), SAR_DEVICE_REMOVED);
    // The handle stays valid until disconnected.
    EXPECT_EQ(SKF_DisConnectDev(a), SAR_OK);

    ASSERT_TRUE(second.remove());
    uint32_t size = 99;
    uint32_t enum_rv = 0;
    EXPECT_TRUE(enum_names(&enum_rv).empty());
    EXPECT_EQ(enum_rv, SAR_DEVICE_REMOVED);
    EXPECT_EQ(SKF_EnumDev(1, nullptr, &size), SAR_DEVICE_REMOVED);
    EXPECT_EQ(size, 0u);
}

TEST_F(gm_device, a_token_put_back_is_reached_through_a_new_connection) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE a = connect(first_reader);
    ASSERT_EQ(SKF_SetLabel(a, "before"), SAR_OK);
    ASSERT_TRUE(token.remove());
    EXPECT_NE(SKF_SetLabel(a, "x"), SAR_OK);
    ASSERT_TRUE(token.insert());
    // The old handle names the reader: it reaches the card now in it or
    // reports the removal, never an answer kept from before.
    const uint32_t rv = SKF_SetLabel(a, "again");
    EXPECT_TRUE(rv == SAR_OK || rv == 0x8002 || rv == 0x8003) << std::hex << rv;
    const DEVHANDLE b = connect(first_reader);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(label_of(b), rv == SAR_OK ? "again" : "before");
    ASSERT_EQ(SKF_SetLabel(b, "after"), SAR_OK);
    EXPECT_EQ(label_of(b), "after");
}

TEST_F(gm_device, oem_filter_selects_tokens_and_blank_identifiers_always_pass) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    struct filter_case {
        const char* filter;
        bool listed;
    } cases[] = {{"vx8100", true},
                 {"other", false},
                 {"a,b,vx8100", true},
                 {"vx810", false},
                 {"a,b,c,d,e,vx8100", false},
                 {"*", true}};
    for (const auto& c : cases) {
        gm_set_enum_filters(nullptr, c.filter);
        uint32_t rv = 0;
        const auto names = enum_names(&rv);
        EXPECT_EQ(names.size(), c.listed ? 1u : 0u) << c.filter;
        EXPECT_EQ(rv, c.listed ? SAR_OK : SAR_FAIL) << c.filter;
    }
    // A blank identifier (first byte 0xFF) is listed whatever the filter.
    gm_set_enum_filters(nullptr, "*");
    const DEVHANDLE h = connect(first_reader);
    const uint8_t blank = 0xFF;
    ASSERT_EQ(gm_write_oem_info(h, 128, &blank, 1), SAR_OK);
    gm_set_enum_filters(nullptr, "other");
    EXPECT_EQ(enum_names().size(), 1u);
}

TEST_F(gm_device, label_bounds) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    EXPECT_EQ(SKF_SetLabel(h, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_SetLabel(h, std::string(32, 'L').c_str()), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_SetLabel(0, "x"), SAR_INVALIDPARAMERR);
    const std::string longest(31, 'L');
    ASSERT_EQ(SKF_SetLabel(h, longest.c_str()), SAR_OK);
    EXPECT_EQ(label_of(h), longest);
    EXPECT_EQ(SKF_GetDevInfo(h, nullptr), SAR_INVALIDPARAMERR);
}

TEST_F(gm_device, capabilities_follow_the_card_record) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    std::array<uint8_t, 288> raw{};
    uint32_t size = raw.size();
    ASSERT_EQ(cmd_get_dev_info(device_of(h), raw.data(), &size), cmd_ok);
    DEVINFO info;
    uint32_t c1 = 0, c2 = 0;
    ASSERT_EQ(gm_get_dev_caps(h, &info, &c1, &c2), SAR_OK);
    EXPECT_EQ(c1, get_be16(raw.data() + 228));
    EXPECT_EQ(c2, get_be16(raw.data() + 226));
    EXPECT_EQ(uint32_t{info.AlgHashCap}, get_le32(raw.data() + 208));
    DEVINFO plain;
    ASSERT_EQ(SKF_GetDevInfo(h, &plain), SAR_OK);
    const uint32_t extra = (c2 & 2) ? 0x80080000u : 0u;
    EXPECT_EQ(uint32_t{plain.AlgHashCap}, info.AlgHashCap | extra);
    EXPECT_EQ(gm_get_dev_caps(h, &info, nullptr, nullptr), SAR_OK);
    EXPECT_EQ(gm_get_dev_caps(h, nullptr, &c1, &c2), SAR_INVALIDPARAMERR);
}

TEST_F(gm_device, device_authentication_with_the_built_in_key) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    EXPECT_EQ(SKF_DevAuth(h, nullptr, 16), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_DevAuth(0, reinterpret_cast<const uint8_t*>("x"), 1), SAR_INVALIDPARAMERR);

    bytes wrong = dev_auth_answer(h, "0000000000000000");
    ASSERT_EQ(wrong.size(), 16u);
    EXPECT_EQ(SKF_DevAuth(h, wrong.data(), 16), 7u); // 63C7: tries left
    EXPECT_EQ(gm_find_dev(h)->authenticated, 0u);

    bytes right = dev_auth_answer(h, default_dev_auth_key);
    EXPECT_EQ(SKF_DevAuth(h, right.data(), 16), SAR_OK);
    EXPECT_EQ(gm_find_dev(h)->authenticated, 1u);
}

TEST_F(gm_device, device_authentication_status_words) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    const uint8_t data[16] = {};
    const bytes big(256);
    EXPECT_EQ(SKF_DevAuth(h, data, 0), SAR_INDATALENERR);
    EXPECT_EQ(SKF_DevAuth(h, big.data(), 256), SAR_INDATALENERR);
    struct sw_case {
        uint16_t sw;
        uint32_t rv;
    } cases[] = {{0x63C3, 3},
                 {0x63CF, 15},
                 {0x63C0, SAR_PIN_LOCKED},
                 {0x6983, SAR_PIN_LOCKED},
                 {0x6A82, 0x6A82}};
    for (const auto& c : cases) {
        token.sim().inject_status_word(c.sw);
        EXPECT_EQ(SKF_DevAuth(h, data, 16), c.rv) << std::hex << c.sw;
        EXPECT_EQ(gm_find_dev(h)->authenticated, 0u);
    }
    // A card that ran out of tries answers 63C0 for the last wrong answer.
    for (int i = 0; i < 7; ++i) {
        bytes wrong = dev_auth_answer(h, "0000000000000000");
        EXPECT_EQ(SKF_DevAuth(h, wrong.data(), 16), static_cast<uint32_t>(7 - i));
    }
    bytes wrong = dev_auth_answer(h, "0000000000000000");
    EXPECT_EQ(SKF_DevAuth(h, wrong.data(), 16), SAR_PIN_LOCKED);
    bytes right = dev_auth_answer(h, default_dev_auth_key);
    EXPECT_EQ(SKF_DevAuth(h, right.data(), 16), SAR_PIN_LOCKED);
    EXPECT_EQ(gm_find_dev(h)->authenticated, 0u);
}

// A cryptogram longer than the device's chunk is refused before anything is
// sent: no try count, least of all the one an earlier refusal left behind.
TEST_F(gm_device, device_authentication_refused_unsent_reports_no_earlier_try_count) {
    cardsim::card_options small;
    small.max_buffer_size = 64; // a chunk of 32 bytes
    simulated_token token(small);
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    const uint8_t data[16] = {};
    token.sim().inject_status_word(0x63C5, 1);
    ASSERT_EQ(SKF_DevAuth(h, data, 16), 5u);

    const bytes long_data(100);
    token.sim().clear_log();
    EXPECT_EQ(SKF_DevAuth(h, long_data.data(), 100), SAR_FAIL);
    EXPECT_TRUE(token.sim().apdu_log().empty()) << "nothing was sent";
    EXPECT_EQ(gm_find_dev(h)->authenticated, 0u);
}

// The "Format" command in the card's log (empty when none was sent).
bytes format_command(const std::vector<bytes>& log) {
    for (const bytes& apdu : log)
        if (is_ins(apdu, 0xC0, 0x00) && apdu.size() == 7 + 330) return apdu;
    return {};
}

// The total space sent in the "Format" record (bytes 216-219 of the record,
// which follows the 8-byte magic).
uint32_t formatted_total(const std::vector<bytes>& log) {
    const bytes apdu = format_command(log);
    return apdu.empty() ? 0 : get_be32(apdu.data() + 7 + 8 + 216);
}

TEST_F(gm_device, format_takes_the_template_and_bounds_the_size) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    DEVINFO t;
    ASSERT_EQ(SKF_GetDevInfo(h, &t), SAR_OK);
    // An application object from before the format names what the card wipes.
    const uint8_t open_reply[gm_open_app_reply_size] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const uint32_t stale_app = gm_find_dev(h)->add_app(open_reply, "APP")->handle();
    const uint32_t max = 128 * 1024;
    const char new_key[] = "0123456789ABCDEF";
    struct size_case {
        uint32_t asked;
        uint32_t formatted;
    } cases[] = {{0, max}, {max + 1, max}, {1000, 1000}, {max, max}};
    for (const auto& c : cases) {
        std::memset(t.Label, 0, sizeof t.Label);
        std::snprintf(t.Label, sizeof t.Label, "fmt%u", c.asked);
        t.TotalSpace = c.asked;
        token.sim().clear_log();
        ASSERT_EQ(gm_format_device(h, &t, reinterpret_cast<const uint8_t*>(new_key), 16, 8, 8, 0),
                  SAR_OK);
        EXPECT_EQ(formatted_total(token.sim().apdu_log()), c.formatted) << c.asked;
        EXPECT_EQ(label_of(h), std::string(t.Label));
        DEVINFO after;
        ASSERT_EQ(SKF_GetDevInfo(h, &after), SAR_OK);
        EXPECT_EQ(uint32_t{after.TotalSpace}, c.formatted);
    }
    // The record, key block and parameters of the last format.
    const bytes apdu = format_command(token.sim().apdu_log());
    ASSERT_FALSE(apdu.empty());
    EXPECT_EQ(apdu[2], 0); // P1
    const uint8_t* rec = apdu.data() + 7 + 8;
    EXPECT_EQ(bytes(rec, rec + 4),
              (bytes{t.Version.major, t.Version.minor, t.Version.major, t.Version.minor}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + 132)), std::string(t.Label));
    EXPECT_EQ(get_le32(rec + 200), uint32_t{t.AlgSymCap});
    EXPECT_EQ(get_le32(rec + 212), uint32_t{t.DevAuthAlgId});
    EXPECT_EQ(bytes(rec + 226, rec + 230), (bytes{0x01, 0x00, 0x02, 0x00}));
    EXPECT_TRUE(std::all_of(rec + 230, rec + 288, [](uint8_t b) { return b == 0; }));
    const uint8_t* key_block = rec + 288;
    EXPECT_EQ(std::memcmp(key_block, new_key, 16), 0);
    EXPECT_TRUE(std::all_of(key_block + 16, key_block + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(key_block[32], 8);
    EXPECT_EQ(key_block[33], 8);

    EXPECT_EQ(gm_find_app(stale_app).app, nullptr);
    // The device must authenticate again, now with the key given at format.
    EXPECT_EQ(gm_find_dev(h)->authenticated, 0u);
    bytes right = dev_auth_answer(h, new_key);
    EXPECT_EQ(SKF_DevAuth(h, right.data(), 16), SAR_OK);

    EXPECT_EQ(gm_format_device(h, nullptr, reinterpret_cast<const uint8_t*>(new_key), 16, 8, 8, 0),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_format_device(h, &t, nullptr, 16, 8, 8, 0), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_format_device(h, &t, reinterpret_cast<const uint8_t*>(new_key), 33, 8, 8, 0),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_format_device(h, &t, reinterpret_cast<const uint8_t*>(new_key), 16, 256, 8, 0),
              SAR_INVALIDPARAMERR);
    // A card refusal arrives as its mapped status word.
    token.sim().inject_status_word(0x6A84, 1);
    EXPECT_EQ(gm_format_device(h, &t, reinterpret_cast<const uint8_t*>(new_key), 16, 8, 8, 0),
              SAR_NO_ROOM);
}

// A device that cannot be connected again exchanged nothing: the removal
// code, never the mapped word some earlier command left in the record.
TEST_F(gm_device, format_of_a_device_that_is_gone_reports_the_removal) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    token.sim().inject_status_word(0x6A84, 1);
    ASSERT_EQ(SKF_SetLabel(h, "full"), SAR_NO_ROOM);
    ASSERT_EQ(gm_get_last_status_word(), 0x6A84u);

    ASSERT_EQ(dev_remove(device_of(h)), 0);
    DEVINFO t{};
    const char key[] = "0123456789ABCDEF";
    EXPECT_EQ(gm_format_device(h, &t, reinterpret_cast<const uint8_t*>(key), 16, 8, 8, 0),
              SAR_DEVICE_REMOVED);
    EXPECT_EQ(gm_get_last_status_word(), 0x6A84u) << "nothing was exchanged since";
}

TEST_F(gm_device, oem_data_travels_in_chunks_at_advancing_offsets) {
    cardsim::card_options options;
    options.max_buffer_size = 96; // chunk size 64
    simulated_token token(options);
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    ASSERT_EQ(cmd_get_chunk_size(device_of(h)), 64u);

    bytes data(3 * 64 + 5);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    token.sim().clear_log();
    ASSERT_EQ(gm_write_oem_info(h, 0, data.data(), static_cast<uint32_t>(data.size())), SAR_OK);
    const auto log = token.sim().apdu_log();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(is_ins(log[i], 0xC0, 0x0C));
        EXPECT_EQ(get_be16(log[i].data() + 2), i * 64);
        const size_t n = i < 3 ? 64 : 5;
        ASSERT_EQ(log[i].size(), 7 + n);
        EXPECT_TRUE(
            std::equal(log[i].begin() + 7, log[i].end(), data.begin() + static_cast<long>(i * 64)));
    }

    bytes back(data.size() + 10, 0xEE);
    uint32_t length = static_cast<uint32_t>(back.size());
    ASSERT_EQ(gm_read_oem_info(h, 0, static_cast<uint32_t>(data.size()), back.data(), &length),
              SAR_OK);
    EXPECT_EQ(length, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[data.size()], 0xEE);

    // Reading past the end of the 256-byte area ends at the short reply.
    length = 100;
    ASSERT_EQ(gm_read_oem_info(h, 200, 100, back.data(), &length), SAR_OK);
    EXPECT_EQ(length, 56u);

    // Size-query rule and argument errors.
    length = 0;
    EXPECT_EQ(gm_read_oem_info(h, 0, 16, nullptr, &length), SAR_OK);
    EXPECT_EQ(length, 16u);
    length = 15;
    EXPECT_EQ(gm_read_oem_info(h, 0, 16, back.data(), &length), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(gm_read_oem_info(h, 0, 16, back.data(), nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_write_oem_info(h, 0, nullptr, 4), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_write_oem_info(h, 0xFFFFFFF0u, data.data(), 32), SAR_INDATALENERR);
    // Past the end of the area the card refuses and nothing is written.
    EXPECT_EQ(gm_write_oem_info(h, 250, data.data(), 16), SAR_NO_ROOM);
}

TEST_F(gm_device, raw_serial_number_size_query) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    uint32_t length = 0;
    ASSERT_EQ(gm_get_raw_hwsn(h, nullptr, &length), SAR_OK);
    ASSERT_GT(length, 0u);
    DEVINFO info;
    ASSERT_EQ(SKF_GetDevInfo(h, &info), SAR_OK);
    bytes serial(length);
    uint32_t shorter = length - 1;
    EXPECT_EQ(gm_get_raw_hwsn(h, serial.data(), &shorter), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shorter, length);
    ASSERT_EQ(gm_get_raw_hwsn(h, serial.data(), &length), SAR_OK);
    EXPECT_EQ(std::string(serial.begin(), serial.end()), std::string(info.SerialNumber));
    EXPECT_EQ(gm_get_raw_hwsn(h, serial.data(), nullptr), SAR_INVALIDPARAMERR);
}

TEST_F(gm_device, sectors_and_inquiry_string_send_nothing_to_a_pcsc_token) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    // A "sector" that is really a format command must never reach the card.
    bytes sector(2048, 0);
    const uint8_t format_apdu[] = {0xC0, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4A, 'z',
                                   'E',  'L',  'T',  'I',  'n',  'i',  't'};
    std::memcpy(sector.data(), format_apdu, sizeof format_apdu);
    token.sim().clear_log();
    EXPECT_EQ(gm_write_sectors(h, 0, 1, sector.data()), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(gm_read_sectors(h, 0, 1, sector.data()), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(gm_set_inq_string(h, "vendor", "product"), SAR_FAIL);
    for (const auto& apdu : token.sim().apdu_log())
        ADD_FAILURE() << "the card received " << test_support::to_hex(apdu);
    EXPECT_EQ(gm_write_sectors(h, 0, 1, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_write_sectors(h, 0, 0, sector.data()), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_write_sectors(h, 0, 0x10000, sector.data()), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_write_sectors(0, 0, 1, sector.data()), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_set_inq_string(0, "v", "p"), SAR_INVALIDPARAMERR);
    EXPECT_EQ(label_of(h), "Oskarvel"); // the card was not formatted
}

TEST_F(gm_device, unmapped_status_words_reach_the_caller_unchanged) {
    simulated_token token;
    ASSERT_TRUE(token.inserted()) << token.error();
    const DEVHANDLE h = connect(first_reader);
    token.sim().inject_status_word(0x6A82);
    EXPECT_EQ(SKF_SetLabel(h, "x"), 0x6A82u);
    EXPECT_EQ(gm_get_last_status_word(), 0x6A82u);
    token.sim().inject_status_word(0x6A80);
    EXPECT_EQ(SKF_SetLabel(h, "x"), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_SetLabel(h, "x"), SAR_OK);
    EXPECT_EQ(gm_get_last_status_word(), 0x9000u);
}

} // namespace
