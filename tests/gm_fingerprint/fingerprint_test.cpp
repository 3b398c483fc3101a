// The fingerprint functions of the device API against the simulated card: its
// sensor is scripted (busy starts, polls without a finger, match or not).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "card.h"
#include "device_sc_manager.h"
#include "fake_device.h"
#include "gm_api.h"
#include "gm_handles.h"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
constexpr const char* reader = "Quessar vKessa Tavrel 00 00";
constexpr const char* so_pin = "pevot";
constexpr uint32_t user = 1;
constexpr uint32_t so = 0;

class connectable_device : public fake_device {
  public:
    using fake_device::fake_device;
    uint32_t connect() override { return 0; }
    uint32_t disconnect() override { return 0; }
    int get_direct_cipher_size(uint32_t* size) override {
        *size = 0;
        return 0;
    }
};

class fingerprint : public ::testing::Test {
  protected:
    cardsim::card card;
    DEVHANDLE dev = 0;
    HAPPLICATION app = 0;

    void SetUp() override {
        gm_set_fingerprint_timeout(gm_fingerprint_timeout_default);
        auto* device = new connectable_device(
            reader, [this](std::span<const uint8_t> apdu) { return card.transmit(apdu); });
        device_manager().adopt_device(std::unique_ptr<device_base>(device));
        ASSERT_EQ(SKF_ConnectDev(reader, &dev), SAR_OK);
        ASSERT_EQ(SKF_OpenApplication(dev, "APP", &app), SAR_OK);
    }
    void TearDown() override {
        gm_set_fingerprint_timeout(gm_fingerprint_timeout_default);
        if (dev != 0) {
            EXPECT_EQ(SKF_DisConnectDev(dev), SAR_OK);
        }
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }

    // The simulator's own command: what the next verification meets.
    void script_sensor(uint8_t busy_starts, uint8_t pending_polls, bool match, uint8_t finger = 1) {
        const bytes apdu = {0xC0,  0xB7,        0x00,          0x00,
                            0x04,  busy_starts, pending_polls, match ? uint8_t{1} : uint8_t{0},
                            finger};
        const bytes reply = card.transmit(apdu);
        ASSERT_EQ(reply, (bytes{0x90, 0x00}));
    }
    // VerifyFingerPrint commands sent with the given mode byte (1 start, 0 poll).
    size_t verify_commands(uint8_t mode) {
        size_t n = 0;
        for (const bytes& a : card.apdu_log()) {
            if (a.size() < 8 || a[0] != 0xC0 || a[1] != 0xB2) continue;
            const size_t data = a[4] == 0 ? 7 : 5; // extended or short Lc
            if (a.size() > data + 2 && a[data + 2] == mode) ++n;
        }
        return n;
    }
    uint32_t tries_left() {
        uint32_t present = 0, tries = 99, length = 64;
        uint8_t block[64] = {};
        EXPECT_EQ(
            gm_get_fingerprint_info(app, user, &present, nullptr, nullptr, &tries, block, &length),
            SAR_OK);
        return tries;
    }
    gm_sc_app* app_object() { return gm_find_app(app).app; }
};

TEST_F(fingerprint,
       an_enrolled_finger_verifies_after_busy_starts_and_pending_polls_and_logs_the_user_in) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    script_sensor(2, 3, true, 4);
    card.clear_log();
    uint32_t retry = 77;
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_OK);
    EXPECT_EQ(retry, 77u); // not written on success
    EXPECT_EQ(app_object()->user_logged_in, 1);
    EXPECT_EQ(app_object()->so_logged_in, 0);
    EXPECT_EQ(verify_commands(1), 3u); // two busy answers, then the start
    EXPECT_EQ(verify_commands(0), 4u); // three pending polls, then the match

    // The poll itself hands out the card's finger index.
    script_sensor(0, 0, true, 6);
    ASSERT_EQ(gm_start_fingerprint_verify(app, user), SAR_OK);
    uint32_t finger = 0;
    EXPECT_EQ(gm_poll_fingerprint_verify(app, user, &finger, nullptr), SAR_OK);
    EXPECT_EQ(finger, 6u);
}

TEST_F(fingerprint, an_so_finger_logs_in_the_so_only) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    script_sensor(0, 0, true);
    EXPECT_EQ(SKF_VerifyPIN(app, so, nullptr, nullptr), SAR_OK);
    EXPECT_EQ(app_object()->so_logged_in, 1);
    EXPECT_EQ(app_object()->user_logged_in, 0);
}

TEST_F(fingerprint, a_finger_that_does_not_match_reports_the_tries_left_read_afresh) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    script_sensor(0, 1, false);
    uint32_t retry = 77;
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(retry, 2u);
    EXPECT_EQ(app_object()->user_logged_in, 0);
}

TEST_F(fingerprint, a_blocked_finger_is_refused_without_a_start_and_the_so_unblocks_it) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 1, 1, 1, 1), SAR_OK);
    script_sensor(0, 0, false);
    uint32_t retry = 77;
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_PIN_LOCKED);
    EXPECT_EQ(retry, 0u);

    card.clear_log();
    retry = 77;
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_PIN_LOCKED);
    EXPECT_EQ(retry, 0u);
    EXPECT_EQ(verify_commands(1), 0u);

    // Without a new user PIN the unblock is the fingerprint's; the SO PIN is
    // checked first, and a wrong one stops it.
    EXPECT_EQ(SKF_UnblockPIN(app, "wrong", "", &retry), SAR_PIN_INCORRECT);
    EXPECT_EQ(tries_left(), 0u);
    EXPECT_EQ(SKF_UnblockPIN(app, so_pin, "", &retry), SAR_OK);
    EXPECT_EQ(tries_left(), 1u);
    script_sensor(0, 0, true);
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_OK);
}

TEST_F(fingerprint, clean_removes_the_record) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    EXPECT_EQ(gm_clean_fingerprints(0x7777), SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_clean_fingerprints(dev), SAR_OK);
    uint32_t present = 9, tries = 9, length = 64;
    uint8_t block[64] = {};
    ASSERT_EQ(
        gm_get_fingerprint_info(app, user, &present, nullptr, nullptr, &tries, block, &length),
        SAR_OK);
    EXPECT_EQ(present, 0u);
    EXPECT_EQ(tries, 0u);
    uint32_t retry = 77;
    EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_PIN_LOCKED);
}

TEST_F(fingerprint, information_follows_the_size_rule) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    uint32_t a = 99, d = 99, length = 5;
    uint8_t block[64] = {};
    EXPECT_EQ(gm_get_fingerprint_info(app, user, &a, nullptr, nullptr, &d, block, &length),
              SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(a, 99u);
    EXPECT_EQ(d, 99u);
    EXPECT_EQ(gm_get_fingerprint_info(app, user, &a, nullptr, nullptr, &d, nullptr, &length),
              SAR_OK);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(d, 3u);
    EXPECT_EQ(gm_get_fingerprint_info(app, user, &a, nullptr, nullptr, &d, block, nullptr),
              SAR_INVALIDPARAMERR);
    EXPECT_EQ(gm_get_fingerprint_info(0x7777, user, &a, nullptr, nullptr, &d, block, &length),
              SAR_INVALIDHANDLEERR);
}

// A sensor that never sees a finger (or stays busy) ends the verification
// at the time-out.
TEST_F(fingerprint, a_sensor_that_never_answers_times_out) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    gm_set_fingerprint_timeout(700);
    for (const bool busy : {false, true}) {
        script_sensor(busy ? 255 : 0, busy ? 0 : 255, true);
        const auto start = std::chrono::steady_clock::now();
        uint32_t retry = 77;
        EXPECT_EQ(SKF_VerifyPIN(app, user, "", &retry), SAR_TIMEOUTERR)
            << (busy ? "busy start" : "no finger");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 300ms);
        EXPECT_LT(took, 3s);
        EXPECT_EQ(app_object()->user_logged_in, 0);
    }
}

// Between polls the device mutex is free: another thread uses the token
// while the finger is awaited.
TEST_F(fingerprint, other_callers_reach_the_token_while_the_finger_is_awaited) {
    ASSERT_EQ(gm_create_fingerprint_record(app, 3, 3, 1, 1), SAR_OK);
    script_sensor(0, 15, true); // about 3 s of polls
    std::atomic<bool> done{false};
    std::atomic<uint32_t> result{0xFFFFFFFF};
    std::thread verifier([&] {
        result = SKF_VerifyPIN(app, user, "", nullptr);
        done = true;
    });
    ASSERT_TRUE(test_support::wait_until([&] { return verify_commands(0) > 0; }, 5s));
    uint32_t max = 0, left = 0;
    EXPECT_EQ(SKF_GetPINInfo(app, user, &max, &left, nullptr), SAR_OK);
    EXPECT_FALSE(done.load()) << "the PIN information waited for the whole verification";
    verifier.join();
    EXPECT_EQ(result.load(), SAR_OK);
}

} // namespace
