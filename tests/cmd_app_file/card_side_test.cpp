// The card's side of the application, file, container, certificate and
// card-management commands, in raw APDUs (independent of the host's
// builders): every collection and field is bounded, and the reserved
// application and container behave as the host needs.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "card.h"
#include "sm4_oracle.h"
#include "test_hex.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const char* text) {
    return test_support::from_hex(text);
}

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes be16(size_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
bytes be32(size_t v) {
    return be16(v >> 16) + be16(v & 0xFFFF);
}
bytes text(const std::string& s) {
    return bytes(s.begin(), s.end());
}

// An extended case 3 APDU.
bytes e_lc(const char* header, const bytes& data) {
    return hex(header) + hex("00") + be16(data.size()) + data;
}

using test_support::sm4_ecb;

class card_side : public ::testing::Test {
  protected:
    // The status word of the reply.
    uint16_t sw(const bytes& apdu) {
        const bytes r = card_.transmit(apdu);
        return r.size() < 2 ? 0 : static_cast<uint16_t>(r[r.size() - 2] << 8 | r[r.size() - 1]);
    }
    bytes challenge() {
        bytes r = card_.transmit(hex("80 50 00 00 00 00 08"));
        r.resize(8);
        return r;
    }
    void authenticate_device() {
        const bytes block = sm4_ecb(text("7350914826057319"), challenge() + bytes(8, 0), true);
        ASSERT_EQ(sw(e_lc("80 10 00 00", block)), 0x9000);
    }
    void log_in_user() {
        const bytes block = sm4_ecb(test_support::pin_key("58204716"),
                                    hex("08 00") + challenge() + hex("80 00 00 00 00 00"), true);
        ASSERT_EQ(sw(e_lc("80 18 00 01", hex("00 01") + block)), 0x9000);
    }
    // CreateApplication of a record.
    static bytes create_app(const bytes& record) { return e_lc("80 20 00 00", record); }
    static bytes app_record(const std::string& name) {
        bytes r(84, 0);
        std::memcpy(r.data(), name.data(), name.size());
        r[32] = 'S', r[51] = 5, r[52] = 'U', r[71] = 5, r[72] = 0xFF;
        r[80] = 1, r[81] = 16, r[82] = 1, r[83] = 16;
        return r;
    }
    static bytes file_record(const std::string& name, size_t size, uint8_t read = 0xFF,
                             uint8_t write = 0xFF) {
        bytes r = text(name);
        r.resize(32);
        r = r + be32(size) + bytes{read, 0, 0, 0, write, 0, 0, 0};
        return r;
    }
    static bytes create_container(const std::string& name) {
        return e_lc("80 40 00 00", hex("00 01") + text(name)) + hex("00 02");
    }

    cardsim::card card_;
};

TEST_F(card_side, applications_are_bounded_and_the_reserved_one_is_hidden) {
    authenticate_device();
    for (int i = 2; i <= 8; ++i)
        EXPECT_EQ(sw(create_app(app_record("A" + std::to_string(i)))), 0x9000);
    EXPECT_EQ(sw(create_app(app_record("A9"))), 0x6A84);
    EXPECT_EQ(sw(create_app(app_record("\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7"))), 0x6A80);
    bytes bad = app_record("X");
    bad[51] = 16; // more retries than 63Cx can report
    EXPECT_EQ(sw(create_app(bad)), 0x6A80);
    EXPECT_EQ(sw(e_lc("80 20 00 00", bytes(83, 1))), 0x6700);
    EXPECT_EQ(sw(e_lc("80 20 00 00", app_record("LONG") + bytes(16, 0))), 0x6700);

    const bytes reply =
        card_.transmit(e_lc("80 26 00 00", hex("F0 F1 F2 F3 F4 F5 F6 F7")) + hex("00 0A"));
    EXPECT_EQ(reply, bytes(8, 0) + hex("F0 F7 90 00"));
    const bytes list = card_.transmit(hex("80 22 00 00 00 07 FE"));
    EXPECT_EQ(std::string(list.begin(), list.end()).find("\xF0"), std::string::npos);
}

TEST_F(card_side, files_are_bounded) {
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("big", 0x10000))), 0x6A84);
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("bad", 4, 0x02))), 0x6A80);
    EXPECT_EQ(sw(e_lc("80 30 00 09", file_record("f", 4))), 0x6A88);
    // Free space (128 KiB) runs out before the count.
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("f1", 0xFFFF))), 0x9000);
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("f2", 0xFFFF))), 0x9000);
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("f3", 0xFFFF))), 0x6A84);
    // The count: 32 files (empty ones take no space).
    for (int i = 3; i <= 32; ++i)
        EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("s" + std::to_string(i), 0))), 0x9000);
    EXPECT_EQ(sw(e_lc("80 30 00 01", file_record("s33", 0))), 0x6A84);
    // ReadFile whose name length disagrees with the data.
    EXPECT_EQ(sw(e_lc("80 38 00 00", hex("00 01 00 00 00 01 00 05") + text("f1")) + hex("00 01")),
              0x6700);
    EXPECT_EQ(sw(e_lc("80 38 00 00", hex("00 01 FF FF 00 01 00 02") + text("s3")) + hex("00 01")),
              0x6B00);
}

TEST_F(card_side, containers_and_certificates_are_bounded) {
    log_in_user();
    EXPECT_EQ(sw(create_container(std::string(65, 'c'))), 0x6700);
    for (int i = 1; i <= 16; ++i)
        EXPECT_EQ(sw(create_container("c" + std::to_string(i))), 0x9000);
    EXPECT_EQ(sw(create_container("c17")), 0x6A84);
    EXPECT_EQ(sw(create_container("c1")), 0x6A8A);

    const bytes opened =
        card_.transmit(e_lc("80 42 00 00", hex("00 01") + text("c1")) + hex("00 02"));
    ASSERT_EQ(opened.size(), 4u);
    const bytes cont(opened.begin(), opened.begin() + 2);

    // Header length that disagrees with what arrived; a certificate too big.
    EXPECT_EQ(sw(e_lc("80 4C 00 00", hex("00 01") + cont + hex("01") + be32(5) + bytes(4, 1))),
              0x6700);
    EXPECT_EQ(sw(e_lc("90 4C 00 00", hex("00 01") + cont + hex("01") + be32(8193))), 0x9000);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(sw(e_lc("90 4C 00 00", bytes(1024, 7))), 0x9000);
    EXPECT_EQ(sw(e_lc("80 4C 00 00", bytes(1, 7))), 0x6A84);
    // A header whose first part is not the 9-byte header.
    EXPECT_EQ(sw(e_lc("90 4C 00 00", hex("00 01") + cont + hex("01") + be32(2) + hex("AA"))),
              0x9000);
    EXPECT_EQ(sw(e_lc("80 4C 00 00", hex("BB"))), 0x6700);
    // Export of a slot without a certificate; of an unknown container.
    EXPECT_EQ(sw(e_lc("80 4E 01 00", hex("00 01") + cont) + hex("07 FE")), 0x6A96);
    EXPECT_EQ(sw(e_lc("80 4E 01 00", hex("00 01 7F 7F")) + hex("07 FE")), 0x6A82);
    EXPECT_EQ(sw(e_lc("80 4E 02 00", hex("00 01") + cont) + hex("07 FE")), 0x6A86);
}

TEST_F(card_side, reserved_container_opens_everywhere_without_login) {
    for (const char* app : {"00 01", "F0 F7"}) {
        const bytes r = card_.transmit(
            e_lc("80 42 00 00", hex(app) + hex("F0 F1 F2 F3 F4 F5 F6 F7")) + hex("00 02"));
        EXPECT_EQ(r, hex("F0 F7 90 00")) << app;
    }
    EXPECT_EQ(sw(e_lc("80 42 00 00", hex("00 07 F0 F1 F2 F3 F4 F5 F6 F7")) + hex("00 02")), 0x6A88);
    log_in_user();
    EXPECT_EQ(sw(create_container("\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7")), 0x6A80);
}

TEST_F(card_side, format_and_oem_bounds) {
    const bytes record(288, 0);
    const bytes tail = bytes(32, 0x11) + hex("08 08");
    EXPECT_EQ(sw(e_lc("C0 00 00 00", text("zELTInix") + record + tail)), 0x6A80);
    EXPECT_EQ(sw(e_lc("C0 00 00 00", text("zELTInit") + record + tail + hex("00"))), 0x6700);
    bytes too_big = record;
    too_big[216] = 0x7F;
    EXPECT_EQ(sw(e_lc("C0 00 00 00", text("zELTInit") + too_big + tail)), 0x6A84);

    EXPECT_EQ(sw(hex("C0 0A 01 01 00 00 01")), 0x6B00);
    EXPECT_EQ(card_.transmit(hex("C0 0A 00 FE 00 00 10")), hex("00 00 90 00"))
        << "the area ends at 256";
    EXPECT_EQ(sw(e_lc("C0 0C 00 FA", bytes(7, 1))), 0x6A84);
    EXPECT_EQ(sw(e_lc("C0 0C 00 FA", bytes(6, 1))), 0x9000);
}

} // namespace
