// The frame shared by every device-API call: the status-word map, the
// size-query rule and the record layouts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gm_frame.h"
#include "gm_types.h"
#include "transport.h"

namespace {

struct sw_case {
    uint32_t sw;
    uint32_t code;
};

const sw_case sw_cases[] = {
    {0x9000, SAR_OK},
    {0x6581, SAR_UNKNOWNERR},
    {0x6A86, SAR_UNKNOWNERR},
    {0x6E00, SAR_UNKNOWNERR},
    {0x6700, SAR_INDATALENERR},
    {0x6982, SAR_USER_NOT_LOGGED_IN},
    {0x6983, SAR_PIN_LOCKED},
    {0x6984, SAR_INDATAERR},
    {0x6A80, SAR_INVALIDPARAMERR},
    {0x6A84, SAR_NO_ROOM},
    {0x6A88, SAR_APPLICATION_NOT_EXISTS},
    {0x6A8B, SAR_APPLICATION_NOT_EXISTS},
    {0x6A89, SAR_APPLICATION_EXISTS},
    {0x6A8C, SAR_KEYNOTFOUNTERR},
    {0x6A95, SAR_KEYNOTFOUNTERR},
    {0x6A91, 0x0B000035},
    {0x6A94, 0x0B000035},
    {0x6A92, SAR_FILE_ALREADY_EXIST},
    {0x6A93, SAR_FILE_NOT_EXIST},
    {0x6A96, SAR_CERTNOTFOUNTERR},
    {0x6A98, SAR_HASHNOTEQUALERR},
    {0x6A9A, 0x0B000038},
    {0x6B00, 0x0B000034},
    {0x6E01, SAR_BUFFER_TOO_SMALL},
    {0x6E02, 0x0B000036},
    {0x6F01, 0x0B000039},
    {0x6F0D, 0x0B000039},
    {0x6F02, 0x0B000040},
    {0x6F0C, 0x0B000040},
    {0x6F09, 0x0C000001},
    {0x6F0A, 0x0C000002},
    {0x6F0B, 0x0C000003},
    // Not in the map: passed through unchanged.
    {0x6A82, 0x6A82},
    {0x63C2, 0x63C2},
    {0x8001, 0x8001},
    {0x8002, 0x8002},
    {0x8005, 0x8005},
};

TEST(gm_frame, status_word_map) {
    for (const sw_case& c : sw_cases)
        EXPECT_EQ(gm_map_status_word(c.sw), c.code) << std::hex << c.sw;
}

// The answer to a verification: every counter warning 63C0..63CF gives its
// tries left; the other words the card returns keep the general map.
struct verify_case {
    uint32_t sw;
    uint32_t code;
    bool counter;
    uint32_t tries;
};

std::vector<verify_case> verify_cases() {
    std::vector<verify_case> cases;
    cases.push_back({0x63C0, SAR_PIN_LOCKED, true, 0});
    for (uint32_t x = 1; x <= 0xF; ++x)
        cases.push_back({0x63C0 | x, SAR_PIN_INCORRECT, true, x});
    cases.push_back({0x9000, SAR_OK, false, 0});
    cases.push_back({0x6983, SAR_PIN_LOCKED, false, 0});
    cases.push_back({0x6982, SAR_USER_NOT_LOGGED_IN, false, 0});
    cases.push_back({0x6A88, SAR_APPLICATION_NOT_EXISTS, false, 0});
    cases.push_back({0x6F0D, 0x0B000039, false, 0});
    cases.push_back({0x63D1, 0x63D1, false, 0}); // not a counter warning
    cases.push_back({0x6A82, 0x6A82, false, 0});
    cases.push_back({0x8003, 0x8003, false, 0}); // a transport code
    return cases;
}

class verify_status : public ::testing::TestWithParam<verify_case> {};

TEST_P(verify_status, decodes_the_counter_warning) {
    const verify_case& c = GetParam();
    const gm_verify_status status = gm_read_verify_status(c.sw);
    EXPECT_EQ(status.code, c.code);
    EXPECT_EQ(status.counter, c.counter);
    EXPECT_EQ(status.tries, c.tries);
}

INSTANTIATE_TEST_SUITE_P(gm_frame, verify_status, ::testing::ValuesIn(verify_cases()),
                         [](const auto& info) {
                             char name[8];
                             std::snprintf(name, sizeof name, "sw_%04X",
                                           static_cast<unsigned>(info.param.sw));
                             return std::string(name);
                         });

TEST(gm_frame, a_failed_wrapper_is_never_success_even_with_status_word_9000) {
    EXPECT_EQ(gm_wrapper_error({cmd_ok, sw_success}), SAR_OK);
    EXPECT_EQ(gm_wrapper_error({cmd_bad_length, sw_success}), SAR_FAIL);
    EXPECT_EQ(gm_wrapper_error({cmd_transport_failed, sw_success}), SAR_FAIL);
    EXPECT_EQ(gm_wrapper_error({cmd_bad_length, sw_none}), SAR_FAIL) << "nothing was sent";
}

TEST(gm_frame, a_failed_wrapper_maps_its_own_status_word) {
    EXPECT_EQ(gm_wrapper_error({cmd_bad_status, 0x6A84}), SAR_NO_ROOM);
    EXPECT_EQ(gm_wrapper_error({cmd_bad_status, 0x6A93}), SAR_FILE_NOT_EXIST);
    EXPECT_EQ(gm_wrapper_error({cmd_transport_failed, transport_exchange_failed}),
              transport_exchange_failed)
        << "transport codes pass unchanged";
}

TEST(gm_frame, size_query_rule) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    uint8_t out[8];
    uint32_t length = 0;
    EXPECT_EQ(gm_copy_out(data, 5, out, nullptr), SAR_INVALIDPARAMERR);

    EXPECT_EQ(gm_copy_out(data, 5, nullptr, &length), SAR_OK);
    EXPECT_EQ(length, 5u);

    std::memset(out, 0xEE, sizeof out);
    length = 4;
    EXPECT_EQ(gm_copy_out(data, 5, out, &length), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(out[0], 0xEE); // nothing written into a short buffer

    length = sizeof out;
    EXPECT_EQ(gm_copy_out(data, 5, out, &length), SAR_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::memcmp(out, data, 5), 0);
    EXPECT_EQ(out[5], 0xEE);
}

TEST(gm_frame, records_are_laid_out_as_gmt_0016_defines_them) {
    EXPECT_EQ(offsetof(DEVINFO, Manufacturer), 2u);
    EXPECT_EQ(offsetof(DEVINFO, Issuer), 66u);
    EXPECT_EQ(offsetof(DEVINFO, SerialNumber), 162u);
    EXPECT_EQ(offsetof(DEVINFO, FirmwareVersion), 196u);
    EXPECT_EQ(offsetof(DEVINFO, TotalSpace), 214u);
    EXPECT_EQ(offsetof(DEVINFO, MaxECCBufferSize), 222u);
    EXPECT_EQ(offsetof(RSAPRIVATEKEYBLOB, PrivateExponent), 268u);
    EXPECT_EQ(offsetof(RSAPRIVATEKEYBLOB, Coefficient), 1036u);
    EXPECT_EQ(offsetof(ECCCIPHERBLOB, CipherLen), 160u);
    EXPECT_EQ(offsetof(BLOCKCIPHERPARAM, PaddingType), 36u);
    EXPECT_EQ(offsetof(FILEATTRIBUTE, WriteRights), 40u);
}

TEST(gm_frame, the_device_mutex_is_recursive_for_its_thread) {
    gm_api_lock outer;
    ASSERT_TRUE(outer.locked());
    gm_api_lock inner;
    EXPECT_TRUE(inner.locked());
    EXPECT_EQ(gm_locked_call([] { return SAR_OK; }), SAR_OK);
}

} // namespace
