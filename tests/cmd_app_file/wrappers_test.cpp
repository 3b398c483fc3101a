// The application, file, container, certificate and card-management wrappers
// against the simulated card (in-process, through the transport's fake
// device): success paths, the status words the host treats specially, short
// replies, chained certificate import and continued (6A9E) reads.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "card.h"
#include "cmd_app_file.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "sm4_oracle.h"
#include "test_hex.h"
#include "transport.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const char* text) {
    return test_support::from_hex(text);
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes be16(uint16_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

using test_support::sm4_ecb;

// The simulated token's template: application "APP" (id 1) with this user
// PIN, and the factory device-authentication key.
constexpr uint16_t app_id = 1;
constexpr char user_pin[] = "58204716";
constexpr char dev_auth_key[] = "7350914826057319";
const std::string reserved = "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7";

class app_file : public ::testing::Test {
  protected:
    void SetUp() override {
        device_ = new fake_device("sim", [this](std::span<const uint8_t> apdu) {
            return script_ ? script_(apdu) : card_.transmit(apdu);
        });
        device_manager().adopt_device(std::unique_ptr<device_base>(device_));
        id_ = device_->id();
    }
    void TearDown() override {
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }

    // Card set-up steps of the PIN and device families, sent directly.
    bytes challenge() {
        bytes r = card_.transmit(hex("80 50 00 00 00 00 08"));
        r.resize(8);
        return r;
    }
    void log_in_user() {
        const bytes block = sm4_ecb(test_support::pin_key(user_pin),
                                    hex("08 00") + challenge() + hex("80 00 00 00 00 00"), true);
        ASSERT_EQ(card_.transmit(hex("80 18 00 01 00 00 12") + be16(app_id) + block), hex("90 00"));
    }
    void authenticate_device() {
        const bytes block = sm4_ecb(std::span(reinterpret_cast<const uint8_t*>(dev_auth_key), 16),
                                    challenge() + bytes(8, 0), true);
        ASSERT_EQ(card_.transmit(hex("80 10 00 00 00 00 10") + block), hex("90 00"));
    }
    uint16_t make_container(const char* name) {
        uint16_t cont = 0;
        EXPECT_EQ(cmd_create_container(id_, app_id, name, &cont), cmd_ok);
        return cont;
    }
    // Command APDUs the card received since the last clear.
    std::vector<bytes> log() { return card_.apdu_log(); }

    cardsim::card card_;
    fake_device* device_ = nullptr;
    device_id id_ = no_device;
    fake_device::reply_fn script_; // when set, answers in place of the card
};

std::string names_of(const uint8_t* list, uint32_t size) {
    return std::string(reinterpret_cast<const char*>(list), size);
}

// ---- applications ----

TEST_F(app_file, applications_enumerate_open_and_close) {
    uint8_t list[256];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_application(id_, list, &size), cmd_ok);
    EXPECT_EQ(names_of(list, size), std::string("APP\0\0", 5));

    uint8_t info[16];
    uint32_t info_size = sizeof info;
    ASSERT_EQ(cmd_open_application(id_, "APP", info, &info_size), cmd_ok);
    ASSERT_EQ(info_size, 10u);
    EXPECT_EQ(info[8] << 8 | info[9], app_id);

    // The reserved application opens without creation and stays unlisted.
    info_size = sizeof info;
    ASSERT_EQ(cmd_open_application(id_, reserved.c_str(), info, &info_size), cmd_ok);
    EXPECT_NE(info[8] << 8 | info[9], app_id);
    size = sizeof list;
    ASSERT_EQ(cmd_enum_application_all(id_, list, &size), cmd_ok);
    EXPECT_EQ(names_of(list, size), std::string("APP\0\0", 5));

    EXPECT_EQ(cmd_close_application(id_, app_id), cmd_ok);
    info_size = sizeof info;
    EXPECT_EQ(cmd_open_application(id_, "NOPE", info, &info_size), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A88u);
}

// The application record "SECOND" (SO PIN "so-pin", user PIN "user-pin").
bytes second_record() {
    bytes record(84, 0);
    std::memcpy(record.data(), "SECOND", 6);
    std::memcpy(record.data() + 32, "so-pin", 6);
    record[51] = 5;
    std::memcpy(record.data() + 52, "user-pin", 8);
    record[71] = 5;
    record[72] = 0xFF; // create-file rights, little-endian
    record[80] = 4, record[81] = 16, record[82] = 4, record[83] = 16;
    return record;
}

TEST_F(app_file, create_application_needs_device_authentication) {
    const bytes record = second_record();
    EXPECT_EQ(cmd_create_application(id_, record.data(), 84), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    authenticate_device();
    ASSERT_EQ(cmd_create_application(id_, record.data(), 84), cmd_ok);
    EXPECT_EQ(cmd_create_application(id_, record.data(), 84), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A89u);

    uint8_t list[256];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_application_all(id_, list, &size), cmd_ok);
    EXPECT_EQ(names_of(list, size), std::string("APP\0SECOND\0\0", 12));
    // The PINs the card stored are the record's.
    uint8_t info[16];
    uint32_t info_size = sizeof info;
    ASSERT_EQ(cmd_open_application(id_, "SECOND", info, &info_size), cmd_ok);
    const uint16_t second = static_cast<uint16_t>(info[8] << 8 | info[9]);
    const bytes block = sm4_ecb(test_support::pin_key("user-pin"),
                                hex("08 00") + challenge() + hex("80 00 00 00 00 00"), true);
    EXPECT_EQ(card_.transmit(hex("80 18 00 01 00 00 12") + be16(second) + block), hex("90 00"));
}

// The record is exactly 84 bytes: a shorter or a longer one (such as the
// record followed by a 16-byte MAC) is refused and creates nothing.
class create_refused : public app_file, public ::testing::WithParamInterface<size_t> {};

TEST_P(create_refused, and_nothing_is_created) {
    authenticate_device();
    bytes sent = second_record();
    sent.resize(GetParam(), 0x5A);
    EXPECT_EQ(cmd_create_application(id_, sent.data(), static_cast<uint32_t>(sent.size())),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6700u);
    uint8_t list[256];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_application_all(id_, list, &size), cmd_ok);
    EXPECT_EQ(names_of(list, size), std::string("APP\0\0", 5));
}

INSTANTIATE_TEST_SUITE_P(app_file, create_refused, ::testing::Values(83u, 85u, 100u),
                         [](const ::testing::TestParamInfo<size_t>& i) {
                             return "length_" + std::to_string(i.param);
                         });

TEST_F(app_file, application_extended_info_reports_pin_bounds_and_login) {
    uint8_t info[8];
    uint32_t size = sizeof info;
    ASSERT_EQ(cmd_get_app_extened_info(id_, app_id, info, &size), cmd_ok);
    ASSERT_EQ(size, 8u);
    EXPECT_EQ(info[0], 4);
    EXPECT_EQ(info[1], 16);
    EXPECT_EQ(info[4] | info[5] | info[6] | info[7], 0) << "nobody logged in";
    log_in_user();
    ASSERT_EQ(cmd_get_app_extened_info(id_, app_id, info, &size), cmd_ok);
    EXPECT_NE(info[4] | info[5] | info[6] | info[7], 0);
}

// ---- files ----

bytes file_record(const char* name, uint32_t size, uint8_t read_rights, uint8_t write_rights) {
    bytes r(44, 0);
    std::memcpy(r.data(), name, std::strlen(name));
    r[32] = static_cast<uint8_t>(size >> 24), r[33] = static_cast<uint8_t>(size >> 16);
    r[34] = static_cast<uint8_t>(size >> 8), r[35] = static_cast<uint8_t>(size);
    r[36] = read_rights; // little-endian u32
    r[40] = write_rights;
    return r;
}

TEST_F(app_file, file_life_cycle) {
    const bytes rec = file_record("CacheFile", 300, 0xFF, 0xFF);
    ASSERT_EQ(cmd_create_file(id_, app_id, rec.data(), 44), cmd_ok);
    EXPECT_EQ(cmd_create_file(id_, app_id, rec.data(), 44), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A92u);

    uint32_t size = 0, read_rights = 0, write_rights = 0;
    ASSERT_EQ(cmd_get_file_info(id_, app_id, "CacheFile", &size, &read_rights, &write_rights),
              cmd_ok);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(read_rights, 0xFFu);
    EXPECT_EQ(write_rights, 0xFFu);

    bytes data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(cmd_write_file(id_, app_id, "CacheFile", 50, data.data(), 200), cmd_ok);
    uint8_t back[256] = {};
    uint32_t length = 200;
    ASSERT_EQ(cmd_read_file(id_, app_id, "CacheFile", 50, &length, back), cmd_ok);
    ASSERT_EQ(length, 200u);
    EXPECT_EQ(bytes(back, back + 200), data);
    // Near the end of the file the card sends what there is.
    length = 100;
    ASSERT_EQ(cmd_read_file(id_, app_id, "CacheFile", 250, &length, back), cmd_ok);
    EXPECT_EQ(length, 50u);
    // Writing past the end is refused by the card.
    EXPECT_EQ(cmd_write_file(id_, app_id, "CacheFile", 250, data.data(), 51), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A84u);

    uint8_t list[256];
    uint32_t list_size = sizeof list;
    ASSERT_EQ(cmd_enum_files_all(id_, app_id, list, &list_size), cmd_ok);
    EXPECT_EQ(names_of(list, list_size), std::string("CacheFile\0\0", 11));

    ASSERT_EQ(cmd_delete_file(id_, app_id, "CacheFile"), cmd_ok);
    EXPECT_EQ(cmd_get_file_info(id_, app_id, "CacheFile", &size, &read_rights, &write_rights),
              cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A93u);
    EXPECT_EQ(cmd_delete_file(id_, app_id, "CacheFile"), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A93u);
}

TEST_F(app_file, file_rights_follow_the_login) {
    const bytes rec = file_record("PRIOBJ", 16, 0x10, 0x10);
    ASSERT_EQ(cmd_create_file(id_, app_id, rec.data(), 44), cmd_ok);
    uint8_t back[16];
    uint32_t length = 16;
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(cmd_read_file(id_, app_id, "PRIOBJ", 0, &length, back), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    EXPECT_EQ(cmd_write_file(id_, app_id, "PRIOBJ", 0, data, 4), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    log_in_user();
    EXPECT_EQ(cmd_write_file(id_, app_id, "PRIOBJ", 0, data, 4), cmd_ok);
    length = 4;
    ASSERT_EQ(cmd_read_file(id_, app_id, "PRIOBJ", 0, &length, back), cmd_ok);
    EXPECT_EQ(bytes(back, back + 4), bytes(data, data + 4));
    // A reset ends the login.
    card_.reset();
    length = 4;
    EXPECT_EQ(cmd_read_file(id_, app_id, "PRIOBJ", 0, &length, back), cmd_bad_status);
}

TEST_F(app_file, refused_inputs_send_nothing) {
    card_.clear_log();
    uint8_t buffer[16];
    uint32_t length = 16;
    const std::string long_name(121, 'x');
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(cmd_read_file(id_, app_id, long_name.c_str(), 0, &length, buffer), cmd_bad_length);
    EXPECT_EQ(cmd_read_file(id_, app_id, "F", 0xFFF8, &length, buffer), cmd_bad_length);
    EXPECT_EQ(cmd_write_file(id_, app_id, "F", 0x10000, data, 2), cmd_bad_length);
    EXPECT_EQ(cmd_write_file(id_, app_id, long_name.c_str(), 0, data, 2), cmd_bad_length);
    EXPECT_EQ(cmd_delete_file(id_, app_id, ""), cmd_bad_length);
    EXPECT_EQ(cmd_delete_file(id_, app_id, nullptr), cmd_bad_length);
    EXPECT_EQ(cmd_open_container(id_, app_id, std::string(127, 'c').c_str(), nullptr),
              cmd_bad_length);
    EXPECT_EQ(cmd_write_oem_info(id_, 0x10000, data, 2), cmd_bad_length);
    EXPECT_EQ(cmd_write_oem_info(id_, 0, data, 0), cmd_bad_length);
    EXPECT_EQ(cmd_import_certificate(id_, app_id, 1, 1, data, 0), cmd_bad_length);
    EXPECT_TRUE(log().empty());
}

// ---- containers and certificates ----

TEST_F(app_file, containers_need_the_user_and_report_their_state) {
    uint16_t cont = 0;
    EXPECT_EQ(cmd_create_container(id_, app_id, "keys", &cont), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6982u);
    log_in_user();
    cont = make_container("keys");
    EXPECT_NE(cont, 0);
    uint16_t again = 0;
    EXPECT_EQ(cmd_create_container(id_, app_id, "keys", &again), cmd_bad_status);

    uint16_t opened = 0;
    ASSERT_EQ(cmd_open_container(id_, app_id, "keys", &opened), cmd_ok);
    EXPECT_EQ(opened, cont);
    EXPECT_EQ(cmd_open_container(id_, app_id, "none", &opened), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A82u);
    // The reserved container opens in any application, unlisted.
    ASSERT_EQ(cmd_open_container(id_, app_id, reserved.c_str(), &opened), cmd_ok);
    EXPECT_NE(opened, cont);

    uint8_t list[64];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_containers(id_, app_id, list, &size), cmd_ok);
    EXPECT_EQ(names_of(list, size), std::string("keys\0\0", 6));

    uint8_t type = 9, f1 = 9, f2 = 9;
    uint32_t bits1 = 9, bits2 = 9;
    ASSERT_EQ(cmd_get_container_info(id_, app_id, "keys", &type, &bits1, &bits2, &f1, &f2), cmd_ok);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(bits1, 0u);
    EXPECT_EQ(f1, 0);

    EXPECT_EQ(cmd_close_container(id_, app_id, cont), cmd_ok);
    ASSERT_EQ(cmd_delete_container(id_, app_id, "keys"), cmd_ok);
    size = sizeof list;
    ASSERT_EQ(cmd_enum_containers(id_, app_id, list, &size), cmd_ok);
    EXPECT_EQ(size, 1u);
}

// A certificate of n bytes whose bytes tell their position.
bytes certificate(size_t n) {
    bytes c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = static_cast<uint8_t>(i * 31 + i / 256);
    return c;
}

// Chained import with data of 1, C-1, C, C+1 and several C bytes (C = the
// device's chunk size): the header, then ceil(n / C) segments, every CLA but
// the last with the chaining bit; the card stores exactly the bytes sent.
struct chain_length {
    const char* label;
    size_t chunks; // length = chunks x C + delta
    int delta;
};

class certificate_chain : public app_file, public ::testing::WithParamInterface<chain_length> {};

TEST_P(certificate_chain, import_in_segments_and_export_whole) {
    ASSERT_EQ(cmd_set_chunk_size(id_, 1024), 992u);
    const size_t c = cmd_get_chunk_size(id_);
    const size_t length =
        static_cast<size_t>(static_cast<long>(GetParam().chunks * c) + GetParam().delta);
    log_in_user();
    const uint16_t cont = make_container("c");
    const bytes cert = certificate(length);
    card_.clear_log();
    ASSERT_EQ(cmd_import_certificate(id_, app_id, cont, cert_kind_signature, cert.data(),
                                     static_cast<uint32_t>(cert.size())),
              cmd_ok);

    const std::vector<bytes> sent = log();
    const size_t segments = (length + c - 1) / c;
    ASSERT_EQ(sent.size(), 1 + segments);
    const bytes length_field = {static_cast<uint8_t>(length >> 24),
                                static_cast<uint8_t>(length >> 16),
                                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    EXPECT_EQ(sent[0],
              hex("90 4C 00 00 00 00 09") + be16(app_id) + be16(cont) + hex("01") + length_field);
    bytes joined;
    for (size_t i = 1; i < sent.size(); ++i) {
        const bool last = i + 1 == sent.size();
        EXPECT_EQ(sent[i][0], last ? 0x80 : 0x90) << "segment " << i;
        const size_t lc = static_cast<size_t>(sent[i][5] << 8 | sent[i][6]);
        EXPECT_EQ(lc, last ? length - c * (segments - 1) : c);
        joined.insert(joined.end(), sent[i].begin() + 7, sent[i].end());
    }
    EXPECT_EQ(joined, cert);

    bytes back(8192);
    uint32_t size = static_cast<uint32_t>(back.size());
    ASSERT_EQ(
        cmd_export_certificate_all(id_, app_id, cont, cert_kind_signature, back.data(), &size),
        cmd_ok);
    back.resize(size);
    EXPECT_EQ(back, cert);
}

INSTANTIATE_TEST_SUITE_P(cmd_app_file, certificate_chain,
                         ::testing::Values(chain_length{"one_byte", 0, 1},
                                           chain_length{"c_minus_1", 1, -1},
                                           chain_length{"c", 1, 0}, chain_length{"c_plus_1", 1, 1},
                                           chain_length{"three_c", 3, 0}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(app_file, import_of_2500_bytes_at_chunk_992) {
    ASSERT_EQ(cmd_set_chunk_size(id_, 1024), 992u);
    log_in_user();
    const uint16_t cont = make_container("c");
    const bytes cert = certificate(2500);
    card_.clear_log();
    ASSERT_EQ(cmd_import_certificate(id_, app_id, cont, cert_kind_exchange, cert.data(), 2500),
              cmd_ok);
    const std::vector<bytes> sent = log();
    ASSERT_EQ(sent.size(), 4u);
    const size_t lengths[] = {9, 992, 992, 516};
    const uint8_t classes[] = {0x90, 0x90, 0x90, 0x80};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sent[i][0], classes[i]);
        EXPECT_EQ(sent[i].size(), 7 + lengths[i]);
    }
}

TEST_F(app_file, failed_segment_stops_the_chain_and_leaves_the_card_usable) {
    log_in_user();
    const uint16_t cont = make_container("c");
    const bytes cert = certificate(3000);
    card_.clear_log();
    // Header and first segment pass; the second is refused.
    int count = 0;
    script_ = [&](std::span<const uint8_t> apdu) {
        return ++count == 3 ? hex("6A 84") : card_.transmit(apdu);
    };
    EXPECT_EQ(cmd_import_certificate(id_, app_id, cont, 1, cert.data(), 3000), cmd_bad_status);
    EXPECT_EQ(count, 3) << "nothing sent after the failure";
    script_ = nullptr;
    uint8_t type = 0, f1 = 9, f2 = 9;
    uint32_t b1 = 0, b2 = 0;
    ASSERT_EQ(cmd_get_container_info(id_, app_id, "c", &type, &b1, &b2, &f1, &f2), cmd_ok);
    EXPECT_EQ(f1, 0) << "a broken chain stores nothing";
}

TEST_F(app_file, certificate_export_delete_and_missing) {
    log_in_user();
    const uint16_t cont = make_container("c");
    uint8_t buffer[64];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(cmd_export_certificate(id_, true, app_id, cont, 1, buffer, &size), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A96u);

    const bytes cert = certificate(40);
    ASSERT_EQ(cmd_import_certificate(id_, app_id, cont, 1, cert.data(), 40), cmd_ok);
    size = sizeof buffer;
    ASSERT_EQ(cmd_export_certificate(id_, true, app_id, cont, 1, buffer, &size), cmd_ok);
    EXPECT_EQ(bytes(buffer, buffer + size), cert);
    size = sizeof buffer;
    ASSERT_EQ(cmd_export_certificate(id_, false, app_id, cont, 1, buffer, &size), cmd_ok);
    EXPECT_EQ(size, 44u) << "the card's 4-byte length prefix is kept without the skip flag";
    EXPECT_EQ(bytes(buffer, buffer + 4), hex("00 00 00 28"));

    ASSERT_EQ(cmd_delete_certificate(id_, app_id, cont, 1), cmd_ok);
    EXPECT_EQ(cmd_delete_certificate(id_, app_id, cont, 1), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A96u);
}

// ---- continued reads (6A9E) ----

TEST_F(app_file, long_certificate_arrives_in_pieces_and_is_joined) {
    card_.set_max_buffer_size(1024); // pieces of 992
    log_in_user();
    const uint16_t cont = make_container("c");
    const bytes cert = certificate(5000);
    ASSERT_EQ(cmd_import_certificate(id_, app_id, cont, 0, cert.data(), 5000), cmd_ok);
    card_.clear_log();
    bytes back(8192);
    uint32_t size = static_cast<uint32_t>(back.size());
    ASSERT_EQ(cmd_export_certificate_all(id_, app_id, cont, 0, back.data(), &size), cmd_ok);
    back.resize(size);
    EXPECT_EQ(back, cert);
    const std::vector<bytes> sent = log();
    ASSERT_EQ(sent.size(), 1 + 6u) << "SetzFSCursor, then 5004 bytes in pieces of 992";
    EXPECT_EQ(sent[0], hex("C0 52 00 00"));

    // The same with a buffer one byte short: 3, and nothing beyond it written
    // (AddressSanitizer watches the exact-size buffer).
    auto small = std::make_unique<uint8_t[]>(4999);
    size = 4999;
    EXPECT_EQ(cmd_export_certificate_all(id_, app_id, cont, 0, small.get(), &size), cmd_bad_length);
    EXPECT_GT(size, 4999u);
}

// A card that answers 6A9E for ever: with data in every piece the read stops
// after cmd_max_continued_pieces commands, or when the buffer is full;
// without data it stops at once.
struct endless_case {
    const char* label;
    bytes answer;
    uint32_t capacity;
    int result;
    size_t commands;
};

std::ostream& operator<<(std::ostream& os, const endless_case& c) {
    return os << c.label;
}

class endless_more_data : public app_file, public ::testing::WithParamInterface<endless_case> {};

TEST_P(endless_more_data, read_ends_bounded) {
    const endless_case& c = GetParam();
    script_ = [&](std::span<const uint8_t>) { return c.answer; };
    auto buffer = std::make_unique<uint8_t[]>(c.capacity);
    uint32_t size = c.capacity;
    EXPECT_EQ(cmd_enum_files_all(id_, app_id, buffer.get(), &size), c.result);
    EXPECT_EQ(device_->sent.size(), c.commands);
    // Every repeat is the very same command.
    for (const bytes& s : device_->sent)
        EXPECT_EQ(s, device_->sent.front());
}

INSTANTIATE_TEST_SUITE_P(
    cmd_app_file, endless_more_data,
    ::testing::Values(endless_case{"count_bound", hex("41 6A 9E"), 100000, cmd_bad_status,
                                   cmd_max_continued_pieces},
                      endless_case{"buffer_bound", hex("41 42 43 44 6A 9E"), 10, cmd_bad_length, 3},
                      endless_case{"empty_piece", hex("6A 9E"), 100, cmd_ok, 1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(app_file, endless_more_data_from_the_card_itself) {
    card_.inject_status_word(0x6A9E, 1000);
    uint8_t list[64];
    uint32_t size = sizeof list;
    EXPECT_EQ(cmd_enum_containers_all(id_, app_id, list, &size), cmd_ok);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(log().size(), 1u);
    card_.clear_faults();
}

TEST_F(app_file, more_data_pieces_that_end_are_joined) {
    int n = 0;
    script_ = [&](std::span<const uint8_t>) {
        ++n;
        return n == 1 ? hex("61 00 6A 9E") : n == 2 ? hex("62 00 6A 9E") : hex("00 90 00");
    };
    uint8_t list[16];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_application_all(id_, list, &size), cmd_ok);
    EXPECT_EQ(bytes(list, list + size), hex("61 00 62 00 00"));
}

// ---- special and short replies ----

// The wrappers that accept 6A9E, answered with 6A9E and an empty body.
TEST_F(app_file, single_more_data_reply_without_body_is_accepted) {
    script_ = [](std::span<const uint8_t>) { return hex("6A 9E"); };
    uint8_t buffer[16];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(cmd_enum_containers(id_, app_id, buffer, &size), cmd_ok);
    EXPECT_EQ(size, 0u);
    size = sizeof buffer;
    EXPECT_EQ(cmd_enum_application(id_, buffer, &size), cmd_ok);
    size = sizeof buffer;
    EXPECT_EQ(cmd_enum_files(id_, app_id, buffer, &size), cmd_ok);
    size = sizeof buffer;
    EXPECT_EQ(cmd_export_certificate(id_, false, app_id, 1, 1, buffer, &size), cmd_ok);
    // Not accepted elsewhere.
    EXPECT_EQ(cmd_close_application(id_, app_id), cmd_bad_status);
}

TEST_F(app_file, export_with_skip_drops_the_four_byte_prefix) {
    script_ = [](std::span<const uint8_t>) { return bytes(1000, 0x3C) + hex("90 00"); };
    bytes buffer(1000);
    uint32_t size = 996;
    ASSERT_EQ(cmd_export_certificate(id_, true, app_id, 1, 1, buffer.data(), &size), cmd_ok);
    EXPECT_EQ(size, 996u);
    size = 995;
    EXPECT_EQ(cmd_export_certificate(id_, true, app_id, 1, 1, buffer.data(), &size),
              cmd_bad_length);
    EXPECT_EQ(size, 996u) << "the length needed is reported";
}

struct short_case {
    const char* label;
    bytes reply;
    std::function<cmd_result(device_id)> call;
};

std::ostream& operator<<(std::ostream& os, const short_case& c) {
    return os << c.label;
}

class short_reply : public app_file, public ::testing::WithParamInterface<short_case> {};

TEST_P(short_reply, is_result_3) {
    const short_case& c = GetParam();
    script_ = [&](std::span<const uint8_t>) { return c.reply; };
    const cmd_result result = c.call(id_);
    EXPECT_EQ(result, cmd_bad_length);
    EXPECT_EQ(result.status_word, 0x9000u) << "the word the short reply came with";
}

uint8_t scratch[64];

INSTANTIATE_TEST_SUITE_P(
    cmd_app_file, short_reply,
    ::testing::Values(short_case{"open_application_9", bytes(9, 0) + hex("90 00"),
                                 [](device_id d) {
                                     uint32_t s = sizeof scratch;
                                     return cmd_open_application(d, "APP", scratch, &s);
                                 }},
                      short_case{"app_extended_info_7", bytes(7, 0) + hex("90 00"),
                                 [](device_id d) {
                                     uint32_t s = sizeof scratch;
                                     return cmd_get_app_extened_info(d, 1, scratch, &s);
                                 }},
                      short_case{"file_info_11", bytes(11, 0) + hex("90 00"),
                                 [](device_id d) {
                                     uint32_t a, b, c;
                                     return cmd_get_file_info(d, 1, "F", &a, &b, &c);
                                 }},
                      short_case{"container_info_10", bytes(10, 0) + hex("90 00"),
                                 [](device_id d) {
                                     uint8_t t, f1, f2;
                                     uint32_t b1, b2;
                                     return cmd_get_container_info(d, 1, "c", &t, &b1, &b2, &f1,
                                                                   &f2);
                                 }},
                      short_case{"create_container_1", hex("00 90 00"),
                                 [](device_id d) {
                                     uint16_t c;
                                     return cmd_create_container(d, 1, "c", &c);
                                 }},
                      short_case{"open_container_0", hex("90 00"),
                                 [](device_id d) {
                                     uint16_t c;
                                     return cmd_open_container(d, 1, "c", &c);
                                 }},
                      short_case{"fs_max_cap_3", hex("00 01 00 90 00"),
                                 [](device_id d) {
                                     uint32_t c;
                                     return cmd_get_fs_max_cap(d, &c);
                                 }},
                      short_case{"export_with_skip_3", hex("00 00 00 90 00"),
                                 [](device_id d) {
                                     uint32_t s = sizeof scratch;
                                     return cmd_export_certificate(d, true, 1, 1, 1, scratch, &s);
                                 }},
                      short_case{"raw_hwsn_longer_than_buffer", bytes(65, 1) + hex("90 00"),
                                 [](device_id d) {
                                     uint32_t s = sizeof scratch;
                                     return cmd_get_raw_hwsn(d, scratch, &s);
                                 }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(app_file, reply_without_status_word_is_a_transport_failure) {
    card_.inject_short_reply();
    uint8_t info[16];
    uint32_t size = sizeof info;
    EXPECT_EQ(cmd_open_application(id_, "APP", info, &size), cmd_transport_failed);
    EXPECT_EQ(cmd_last_status_word(), transport_no_status_word);
}

// ---- card management ----

TEST_F(app_file, oem_information_round_trip) {
    uint8_t oem[128];
    uint32_t length = sizeof oem;
    ASSERT_EQ(cmd_read_oem_info(id_, 128, oem, &length), cmd_ok);
    ASSERT_EQ(length, 128u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(oem)), "vx8100");

    const uint8_t flag[2] = {0x00, 0x01};
    ASSERT_EQ(cmd_write_oem_info(id_, 0, flag, 2), cmd_ok);
    length = 2;
    ASSERT_EQ(cmd_read_oem_info(id_, 0, oem, &length), cmd_ok);
    EXPECT_EQ(bytes(oem, oem + 2), bytes(flag, flag + 2));
    EXPECT_EQ(cmd_write_oem_info(id_, 255, flag, 2), cmd_bad_status);
    EXPECT_EQ(cmd_last_status_word(), 0x6A84u);
}

TEST_F(app_file, write_oem_info_keeps_the_callers_data) {
    script_ = [](std::span<const uint8_t>) { return hex("EE EE 90 00"); };
    const bytes original = hex("01 02");
    bytes data = original;
    EXPECT_EQ(cmd_write_oem_info(id_, 0, data.data(), 2), cmd_ok);
    EXPECT_EQ(data, original);
}

TEST_F(app_file, format_wipes_applications_and_takes_the_new_key) {
    uint32_t capacity = 0;
    ASSERT_EQ(cmd_get_fs_max_cap(id_, &capacity), cmd_ok);
    EXPECT_GT(capacity, 0u);
    uint8_t serial[128];
    uint32_t serial_size = sizeof serial;
    ASSERT_EQ(cmd_get_raw_hwsn(id_, serial, &serial_size), cmd_ok);
    EXPECT_GT(serial_size, 0u);

    bytes record(288, 0);
    std::memcpy(record.data() + 132, "Fresh", 5); // label
    const bytes key(16, 0x5A);
    ASSERT_EQ(cmd_format(id_, record.data(), 288, key.data(), 16, 8, 8, 0), cmd_ok);
    EXPECT_EQ(device_->last_timeout, 30000);

    uint8_t list[16];
    uint32_t size = sizeof list;
    ASSERT_EQ(cmd_enum_application_all(id_, list, &size), cmd_ok);
    EXPECT_EQ(bytes(list, list + size), hex("00")) << "no application after a format";
    // The new device-authentication key is in force.
    const bytes block = sm4_ecb(key, challenge() + bytes(8, 0), true);
    EXPECT_EQ(card_.transmit(hex("80 10 00 00 00 00 10") + block), hex("90 00"));
}

TEST_F(app_file, delete_file_carries_its_time_out) {
    const bytes rec = file_record("F", 4, 0xFF, 0xFF);
    ASSERT_EQ(cmd_create_file(id_, app_id, rec.data(), 44), cmd_ok);
    ASSERT_EQ(cmd_delete_file(id_, app_id, "F"), cmd_ok);
    EXPECT_EQ(device_->last_timeout, 10000);
}

} // namespace
