// The event window's message queue and the reader table of the watch, without
// PC/SC.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <message_queue.h>
#include <wait.h>

#include "gm_api.h"
#include "gm_dev_event.h"
#include "wait_until.h"

namespace {

using namespace std::chrono_literals;

TEST(message_window, messages_are_taken_in_order_within_the_range_and_others_stay) {
    const plat::window_id w = plat::create_message_window("gmwindow", "gmwindow");
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(plat::post_window_message(w, 0x10));
    EXPECT_TRUE(plat::post_window_message(w, 0x465, 7));
    EXPECT_TRUE(plat::post_window_message(w, 0x464, 8));
    plat::window_msg m;
    ASSERT_EQ(plat::get_window_message(w, 0x464, 0x466, 0, &m), plat::get_result::message);
    EXPECT_EQ(m.message, 0x465u);
    EXPECT_EQ(m.wparam, 7u);
    ASSERT_EQ(plat::get_window_message(w, 0x464, 0x466, 0, &m), plat::get_result::message);
    EXPECT_EQ(m.message, 0x464u);
    EXPECT_EQ(plat::get_window_message(w, 0x464, 0x466, 20, &m), plat::get_result::timeout);
    ASSERT_EQ(plat::get_window_message(w, 0, 0xFFFF, 0, &m), plat::get_result::message);
    EXPECT_EQ(m.message, 0x10u);
    EXPECT_TRUE(plat::destroy_message_window(w));
}

TEST(message_window, ids_are_never_reused_and_a_destroyed_window_takes_nothing) {
    const plat::window_id a = plat::create_message_window("a", "a");
    ASSERT_TRUE(plat::destroy_message_window(a));
    const plat::window_id b = plat::create_message_window("a", "a");
    EXPECT_NE(a, b);
    EXPECT_FALSE(plat::post_window_message(a, 0x464));
    EXPECT_FALSE(plat::destroy_message_window(a));
    plat::window_msg m;
    EXPECT_EQ(plat::get_window_message(a, 0, 0xFFFF, 0, &m), plat::get_result::no_window);
    EXPECT_EQ(plat::get_window_message(b, 0, 0xFFFF, 0, &m), plat::get_result::timeout);
    EXPECT_TRUE(plat::destroy_message_window(b));
}

TEST(message_window, a_post_wakes_a_waiter_and_a_destroy_releases_it) {
    const plat::window_id w = plat::create_message_window("w", "w");
    plat::window_msg m;
    // Each helper acts once the waiter is blocked, so the wake-up path is the
    // one taken (a message queued before the wait would be taken at once).
    const auto waiting = [&] {
        return test_support::wait_until([&] { return plat::window_message_waiters(w) == 1; }, 5s);
    };
    std::thread poster([&] {
        EXPECT_TRUE(waiting()) << "the first waiter never blocked";
        plat::post_window_message(w, 0x466, 3);
    });
    EXPECT_EQ(plat::get_window_message(w, 0x464, 0x466, plat::infinite, &m),
              plat::get_result::message);
    EXPECT_EQ(m.wparam, 3u);
    poster.join();

    std::thread destroyer([&] {
        EXPECT_TRUE(waiting()) << "the second waiter never blocked";
        plat::destroy_message_window(w);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::get_window_message(w, 0x464, 0x466, plat::infinite, &m),
              plat::get_result::no_window);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    destroyer.join();
}

TEST(message_window, the_queue_is_bounded_and_a_range_can_be_dropped) {
    const plat::window_id w = plat::create_message_window("w", "w");
    for (size_t i = 0; i < plat::window_queue_max; ++i)
        ASSERT_TRUE(plat::post_window_message(w, 0x464));
    EXPECT_FALSE(plat::post_window_message(w, 0x466));
    EXPECT_EQ(plat::drop_window_messages(w, 0x464, 0x465), plat::window_queue_max);
    EXPECT_TRUE(plat::post_window_message(w, 0x466));
    plat::destroy_message_window(w);
}

// Records the watch's reports.
struct recorder : ISmartCardConnectionNotifierRef {
    std::vector<std::pair<int, std::string>> reports;
    void on_event(int type, const char* reader, const char*, const uint8_t*, uint32_t) override {
        reports.emplace_back(type, reader ? reader : "");
    }
};

// Makes PC/SC's answer for entry i: the state it reports now.
void answer(reader_watch_table& table, size_t i, DWORD state) {
    table.states()[i].dwEventState = state | SCARD_STATE_CHANGED;
}

TEST(reader_watch_table, readers_that_vanish_leave_and_the_others_keep_their_state) {
    reader_watch_table table;
    table.update({"R 00", "R 01", "R 02"});
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table.name(0), pnp_notification_reader);

    recorder r;
    SCARD_READERSTATE* s = table.states();
    for (size_t i = 1; i < 4; ++i)
        s[i].dwEventState = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
    table.take_changes(&r);
    EXPECT_EQ(r.reports.size(), 3u); // a card already there is reported at once

    // "R 01" vanishes between a listing and the next wait: its entry goes,
    // the cards of the others are not reported again.
    table.update({"R 00", "R 02", "R 03"});
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table.name(1), "R 00");
    EXPECT_EQ(table.name(2), "R 02");
    EXPECT_EQ(table.name(3), "R 03");
    r.reports.clear();
    s = table.states();
    EXPECT_TRUE(s[1].dwCurrentState & SCARD_STATE_PRESENT);
    EXPECT_EQ(s[3].dwCurrentState, 0u);
    EXPECT_STREQ(s[2].szReader, "R 02");
}

TEST(reader_watch_table, a_removal_and_an_insertion_in_one_answer_are_both_reported) {
    reader_watch_table table;
    table.update({"A", "B"});
    recorder r;
    answer(table, 1, SCARD_STATE_PRESENT);
    table.take_changes(&r);
    r.reports.clear();

    SCARD_READERSTATE* s = table.states();
    s[1].dwEventState = SCARD_STATE_CHANGED | SCARD_STATE_EMPTY;
    s[2].dwEventState = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT;
    table.take_changes(&r);
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[0], (std::pair<int, std::string>{notify_card_gone, "A"}));
    EXPECT_EQ(r.reports[1], (std::pair<int, std::string>{notify_card_present, "B"}));

    // A card swapped between two waits changes only the event count.
    r.reports.clear();
    s = table.states();
    s[2].dwEventState = SCARD_STATE_CHANGED | SCARD_STATE_PRESENT | 0x00010000;
    table.take_changes(&r);
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[0].first, notify_card_gone);
    EXPECT_EQ(r.reports[1].first, notify_card_present);
}

TEST(reader_watch_table,
     at_most_nine_readers_are_watched_and_a_lost_service_reports_the_cards_gone) {
    reader_watch_table table;
    std::vector<std::string> many;
    for (int i = 0; i < 12; ++i)
        many.push_back("R " + std::to_string(i));
    many.push_back(pnp_notification_reader);
    table.update(many);
    EXPECT_EQ(table.size(), 1 + reader_watch_table::reader_watch_max);

    recorder r;
    answer(table, 2, SCARD_STATE_PRESENT);
    table.take_changes(&r);
    r.reports.clear();
    table.report_all_gone(&r);
    ASSERT_EQ(r.reports.size(), 1u);
    EXPECT_EQ(r.reports[0], (std::pair<int, std::string>{notify_card_gone, "R 1"}));
    EXPECT_EQ(table.size(), 0u); // a new context starts from nothing
}

TEST(dev_event, a_cancel_before_any_wait_returns_0_and_missing_outputs_are_refused) {
    EXPECT_EQ(SKF_CancelWaitForDevEvent(), SAR_OK);
    EXPECT_EQ(SKF_CancelWaitForDevEvent(), SAR_OK);
    uint32_t length = 0;
    uint32_t event = 0;
    EXPECT_EQ(SKF_WaitForDevEvent(nullptr, nullptr, &event), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF_WaitForDevEvent(nullptr, &length, nullptr), SAR_INVALIDPARAMERR);
}

} // namespace
