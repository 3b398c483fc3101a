// Slot events through the built module (dlopen + C_GetFunctionList) on
// simulated tokens behind the real pcscd: a card put into or taken out of a
// reader (the simulator connecting to or leaving vpcd) reaches a thread
// blocked in C_WaitForSlotEvent. The device API's own wait is also driven
// directly, for what the module folds into one slot id. Each test runs in its
// own process (gtest_discover_tests), so everything starts empty.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cardsim_harness.h"
#include "gm_api.h"
#include "gm_filters.h"
#include "gm_frame.h"
#include "message_queue.h"
#include "module_loader.h"
#include "wait_until.h"

using cardsim::test::first_port;
using cardsim::test::second_port;
using cardsim::test::simulated_token;
using namespace std::chrono_literals;

namespace {

cardsim::card_options token_options() {
    cardsim::card_options o;
    o.oem_identifier = "Tavrel01";
    return o;
}

struct slot_event {
    CK_RV rv = CKR_GENERAL_ERROR;
    CK_SLOT_ID slot = CK_UNAVAILABLE_INFORMATION;
};

// A blocking C_WaitForSlotEvent on a thread of its own. Going out of scope
// (a failed assertion ends the test early too) it releases a wait that is
// still blocked with C_Finalize, so the test ends instead of hanging in the
// thread's join.
class pending_event {
  public:
    pending_event(CK_FUNCTION_LIST* f, std::future<slot_event> result)
        : f_(f), result_(std::move(result)) {}
    pending_event(pending_event&&) = default;
    pending_event& operator=(pending_event&& other) {
        release();
        f_ = other.f_;
        result_ = std::move(other.result_);
        return *this;
    }
    ~pending_event() { release(); }

    std::future_status wait_for(std::chrono::milliseconds d) const { return result_.wait_for(d); }
    void wait() const { result_.wait(); }
    slot_event get() { return result_.get(); }

  private:
    void release() {
        if (!result_.valid() || result_.wait_for(0ms) == std::future_status::ready) return;
        f_->C_Finalize(nullptr);
        result_.wait();
    }
    CK_FUNCTION_LIST* f_;
    std::future<slot_event> result_;
};

class SlotEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cardsim::test::ensure_pcscd());
        for (uint16_t port : {first_port(), second_port()})
            ASSERT_TRUE(
                cardsim::test::wait_for_reader(cardsim::test::reader_for_port(port), false, 10s));
        ASSERT_NE(module().f, nullptr) << "module not loaded: " << TESSVIK_MODULE_PATH;
        f = module().f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override { f->C_Finalize(nullptr); }

    // Until the thread of wait_async() is inside its blocking wait.
    static bool waiting_in_module() {
        return test_support::wait_until([] { return slot_event_waiters(module()) == 1; }, 10s);
    }
    // C_WaitForSlotEvent (blocking) on a thread of its own.
    pending_event wait_async() {
        return {f, std::async(std::launch::async, [this] {
                    slot_event e;
                    e.rv = f->C_WaitForSlotEvent(0, &e.slot, nullptr);
                    return e;
                })};
    }
    // The result of a blocking wait that must come within `limit` of now.
    slot_event within(pending_event& pending, std::chrono::milliseconds limit) {
        const auto start = std::chrono::steady_clock::now();
        if (pending.wait_for(limit) != std::future_status::ready) {
            ADD_FAILURE() << "no slot event within " << limit.count() << " ms";
            // Release the waiter so that the test can end.
            f->C_Finalize(nullptr);
            pending.wait();
            f->C_Initialize(nullptr);
            return {};
        }
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        return pending.get();
    }
    CK_ULONG token_count() {
        CK_ULONG n = 0;
        EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
        return n;
    }

    CK_FUNCTION_LIST* f = nullptr;
    std::chrono::milliseconds elapsed{0};
};

TEST_F(SlotEventTest, an_insertion_and_a_removal_each_reach_a_blocked_wait_within_a_second) {
    pending_event pending = wait_async();
    std::optional<simulated_token> token;
    token.emplace(token_options(), first_port());
    ASSERT_TRUE(token->inserted()) << token->error();
    slot_event e = within(pending, 1000ms);
    EXPECT_EQ(e.rv, CKR_OK);
    EXPECT_EQ(e.slot, 0u);
    CK_SLOT_INFO info{};
    ASSERT_EQ(f->C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);

    pending = wait_async();
    ASSERT_TRUE(token->remove());
    e = within(pending, 1000ms);
    EXPECT_EQ(e.rv, CKR_OK);
    EXPECT_EQ(e.slot, 0u);
    ASSERT_EQ(f->C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_PRESENT);
}

TEST_F(SlotEventTest, dont_block_answers_no_event_until_a_change_and_then_its_slot_once) {
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    EXPECT_EQ(slot, 99u);
    EXPECT_EQ(f->C_WaitForSlotEvent(2, &slot, nullptr), CKR_ARGUMENTS_BAD);

    simulated_token token(token_options(), second_port());
    ASSERT_TRUE(token.inserted()) << token.error();
    CK_RV rv = CKR_NO_EVENT;
    test_support::wait_until(
        [&] {
            return (rv = f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr)) != CKR_NO_EVENT;
        },
        10s);
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
}

TEST_F(SlotEventTest, finalize_releases_a_blocked_wait_and_events_go_on_after_initialize) {
    pending_event pending = wait_async();
    ASSERT_TRUE(waiting_in_module());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(pending.wait_for(1000ms), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(pending.get().rv, CKR_CRYPTOKI_NOT_INITIALIZED);

    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        pending = wait_async();
        simulated_token token(token_options(), first_port());
        ASSERT_TRUE(token.inserted()) << token.error();
        const slot_event e = within(pending, 1000ms);
        EXPECT_EQ(e.rv, CKR_OK) << "cycle " << cycle;
        EXPECT_EQ(e.slot, 0u) << "cycle " << cycle;
        ASSERT_TRUE(token.remove());
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    }
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
}

// The watch's first look reports the card already there; that is no reason
// to stop watching.
TEST_F(SlotEventTest, a_token_present_at_start_leaves_the_event_thread_running) {
    std::optional<simulated_token> token;
    token.emplace(token_options(), first_port());
    ASSERT_TRUE(token->inserted()) << token->error();
    ASSERT_EQ(token_count(), 1u); // starts the slot-event thread
    pending_event pending = wait_async();
    ASSERT_TRUE(token->remove());
    slot_event e = within(pending, 1000ms);
    EXPECT_EQ(e.rv, CKR_OK);
    EXPECT_EQ(e.slot, 0u);

    pending = wait_async();
    ASSERT_TRUE(token->insert());
    e = within(pending, 1000ms);
    EXPECT_EQ(e.rv, CKR_OK);
    EXPECT_EQ(e.slot, 0u);
    token.reset();
}

// pcscd goes away and comes back while the module waits: the watch takes a
// new context and the next card is reported.
TEST_F(SlotEventTest, a_pcscd_restart_during_a_wait_is_survived) {
    pending_event pending = wait_async();
    ASSERT_TRUE(waiting_in_module());
    const std::string script = std::string(TESSVIK_SOURCE_DIR) + "/scripts/pcscd.sh";
    const std::string lane = " --lane " + std::to_string(cardsim::test::lane());
    ASSERT_EQ(std::system(("bash " + script + " stop" + lane).c_str()), 0);
    ASSERT_EQ(std::system(("bash " + script + " start" + lane + " >/dev/null").c_str()), 0);
    EXPECT_EQ(pending.wait_for(0ms), std::future_status::timeout)
        << "the wait ended without a card";

    simulated_token token(token_options(), first_port());
    ASSERT_TRUE(token.inserted()) << token.error();
    const slot_event e = within(pending, 3000ms);
    EXPECT_EQ(e.rv, CKR_OK);
    EXPECT_EQ(e.slot, 0u);
}

// ---- the device API's wait, driven directly ----

struct dev_event_result {
    uint32_t rv = 0;
    uint32_t event = 0;
    std::string names;
};

dev_event_result wait_dev_event() {
    char names[1024] = {};
    uint32_t length = sizeof names;
    dev_event_result r;
    r.rv = SKF_WaitForDevEvent(names, &length, &r.event);
    if (r.rv == SAR_OK && length > 0) r.names.assign(names, length - 1);
    return r;
}

class DevEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cardsim::test::ensure_pcscd());
        // Both readers start empty (a card of an earlier test may still be
        // on its way out).
        for (uint16_t port : {first_port(), second_port()})
            ASSERT_TRUE(
                cardsim::test::wait_for_reader(cardsim::test::reader_for_port(port), false, 10s));
        gm_set_enum_filters("Quessar vKessa Tavrel,vid_0000&pid_0000,", "*");
    }
    void TearDown() override { SKF_CancelWaitForDevEvent(); }
};

TEST_F(DevEventTest, a_removal_and_an_insertion_at_once_are_both_reported_the_removal_first) {
    std::optional<simulated_token> a;
    a.emplace(cardsim::card_options{}, first_port());
    ASSERT_TRUE(a->inserted()) << a->error();
    auto first = std::async(std::launch::async, wait_dev_event);
    // The first look finds the card already listed: no event.
    EXPECT_EQ(first.wait_for(500ms), std::future_status::timeout);

    // One card leaves while another arrives. The device mutex is held
    // meanwhile, so the wait's scan after the wake-up sees both changes.
    cardsim::card b_card;
    cardsim::vpcd_link b_link(b_card, second_port());
    {
        gm_api_lock lock;
        ASSERT_TRUE(lock.locked());
        ASSERT_TRUE(b_link.start());
        a.reset();
        ASSERT_TRUE(cardsim::test::wait_for_reader(cardsim::test::reader_for_port(second_port()),
                                                   true, 10s));
    }
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    dev_event_result r = first.get();
    ASSERT_EQ(r.rv, SAR_OK);
    EXPECT_EQ(r.event, GM_DEV_EVENT_REMOVED);
    EXPECT_EQ(r.names, std::string("Quessar vKessa Tavrel 00 00") + '\0');
    r = wait_dev_event();
    ASSERT_EQ(r.rv, SAR_OK);
    EXPECT_EQ(r.event, GM_DEV_EVENT_INSERTED);
    EXPECT_EQ(r.names, std::string("Quessar vKessa Tavrel 00 01") + '\0');
    b_link.stop();
    EXPECT_TRUE(
        cardsim::test::wait_for_reader(cardsim::test::reader_for_port(second_port()), false, 10s));
}

TEST_F(DevEventTest,
       a_buffer_too_small_keeps_the_event_for_the_next_call_and_a_cancel_ends_a_wait) {
    auto pending = std::async(std::launch::async, [] {
        uint32_t length = 4;
        uint32_t event = 0;
        char small[4] = {};
        const uint32_t rv = SKF_WaitForDevEvent(small, &length, &event);
        return std::make_pair(rv, length);
    });
    simulated_token token(cardsim::card_options{}, first_port());
    ASSERT_TRUE(token.inserted()) << token.error();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    const auto [rv, length] = pending.get();
    EXPECT_EQ(rv, SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, sizeof("Quessar vKessa Tavrel 00 00") + 1);
    const dev_event_result r = wait_dev_event();
    EXPECT_EQ(r.rv, SAR_OK);
    EXPECT_EQ(r.event, GM_DEV_EVENT_INSERTED);

    auto waiting = std::async(std::launch::async, wait_dev_event);
    // The cancel must end a wait in progress, not one that has yet to begin.
    ASSERT_TRUE(test_support::wait_until([] { return plat::blocked_window_waiters() == 1; }, 5s))
        << "the wait never blocked on the event window";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SKF_CancelWaitForDevEvent(), SAR_OK);
    ASSERT_EQ(waiting.wait_for(1s), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(waiting.get().rv, SAR_NOT_EVENTERR);
}

} // namespace
