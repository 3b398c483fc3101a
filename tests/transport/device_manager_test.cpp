// Reader filter parsing, reader selection, and the device list's states,
// cursor and identities (with a scripted reader listing instead of PC/SC).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_context.h"
#include "device_sc_manager.h"
#include "transport.h"

namespace {

struct filter_case {
    const char* label;
    const char* filter;
    int result;
    const char* reader_part;
    const char* usb_id;
};

class reader_filter : public ::testing::TestWithParam<filter_case> {};

TEST_P(reader_filter, splits_fields) {
    const filter_case& c = GetParam();
    char reader[256];
    char usb[256];
    char list[1024];
    EXPECT_EQ(parse_reader_filter(c.filter, reader, usb, list), c.result);
    if (c.result == 0) {
        EXPECT_STREQ(reader, c.reader_part);
        EXPECT_STREQ(usb, c.usb_id);
    }
}

const filter_case filter_cases[] = {
    {"no_comma", "Quessar vKessa Tavrel", 2, "", ""},
    {"empty", "", 1, "", ""},
    {"commas_only", ",,,", 1, "", ""},
    {"two_fields_keep_blanks", "  Quessar,vid_1", 0, "  Quessar", "vid_1"},
    {"three_fields_strip_blanks", " \tQuessar, vid_1,\t vid_2", 0, "Quessar", "vid_1"},
    {"leading_comma_skipped", ",Quessar,vid_1", 0, "Quessar", "vid_1"},
    {"comma_runs_are_one_separator", "Quessar,,,vid_1", 0, "Quessar", "vid_1"},
    {"three_fields_blank_reader", "   ,vid_1,vid_2", 0, "", "vid_1"},
};

INSTANTIATE_TEST_SUITE_P(cases, reader_filter, ::testing::ValuesIn(filter_cases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(reader_filter, overlong_fields_are_cut_not_overrun) {
    const std::string filter =
        std::string(600, 'r') + "," + std::string(600, 'u') + "," + std::string(2000, 'l');
    char reader[256];
    char usb[256];
    char list[1024];
    ASSERT_EQ(parse_reader_filter(filter.c_str(), reader, usb, list), 0);
    EXPECT_EQ(std::strlen(reader), 255u);
    EXPECT_EQ(std::strlen(usb), 255u);
    EXPECT_EQ(std::strlen(list), 1023u);
}

std::vector<char> multi_string(const std::vector<std::string>& names) {
    std::vector<char> out;
    for (const std::string& n : names) {
        out.insert(out.end(), n.begin(), n.end());
        out.push_back('\0');
    }
    out.push_back('\0');
    return out;
}

TEST(reader_selection, case_sensitive_substring_in_list_order) {
    const auto list =
        multi_string({"\\\\?PnP?\\Notification", "Quessar vKessa Tavrel 00 00",
                      "quessar lower 00 00", "Other Reader", "Quessar vKessa Tavrel 00 01"});
    reader_table table;
    ASSERT_EQ(match_reader_names(list, "Quessar", table), 2u);
    EXPECT_STREQ(table.names[0], "Quessar vKessa Tavrel 00 00");
    EXPECT_STREQ(table.names[1], "Quessar vKessa Tavrel 00 01");
    EXPECT_EQ(match_reader_names(list, "Tavrel 00 01", table), 1u);
    EXPECT_EQ(match_reader_names(list, "QUESSAR", table), 0u);
    // A pattern that matches the notification pseudo-reader still never selects it.
    EXPECT_EQ(match_reader_names(list, "PnP", table), 0u);
}

TEST(reader_selection, at_most_32_readers) {
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back("Quessar reader " + std::to_string(i));
    reader_table table;
    EXPECT_EQ(match_reader_names(multi_string(names), "Quessar", table), 32u);
    EXPECT_STREQ(table.names[31], "Quessar reader 31");
}

TEST(reader_selection, unterminated_list_is_read_within_bounds) {
    const char raw[] = {'Q', 'u', 'e', 's'}; // no terminator at all
    reader_table table;
    EXPECT_EQ(match_reader_names(std::span<const char>(raw, sizeof(raw)), "Que", table), 1u);
    EXPECT_STREQ(table.names[0], "Ques");
}

// Scripted reader listing: the readers "with a card" the next scan sees.
std::vector<std::string> g_readers;
int scripted_lister(const char* pattern, reader_table& table) {
    const auto list = multi_string(g_readers);
    return static_cast<int>(match_reader_names(list, pattern, table));
}

class device_list : public ::testing::Test {
  protected:
    void SetUp() override {
        device_manager().set_reader_lister(scripted_lister);
        clear();
    }
    void TearDown() override {
        clear();
        device_manager().set_reader_lister(nullptr);
    }
    static void clear() {
        g_readers.clear();
        while (device_node* node = device_manager().head())
            device_manager().remove_device(node);
    }
    static constexpr const char* filter = "Quessar,vid_0000";
};

TEST_F(device_list, states_follow_scans_and_purge_deletes_removed) {
    g_readers = {"Quessar A", "Quessar B", "Unrelated"};
    EXPECT_EQ(dev_refresh(filter), 2);
    device_id a = no_device;
    EXPECT_EQ(dev_first_in_state(&a, device_state_new), "Quessar A");
    device_id b = no_device;
    EXPECT_EQ(dev_next_in_state(&b, device_state_new), "Quessar B");
    EXPECT_NE(a, b);

    // B disappears: removed on this scan, still listed until a purge.
    g_readers = {"Quessar A"};
    int removed = -1;
    int added = -1;
    EXPECT_EQ(dev_scan_changes(&removed, &added, filter), 0);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(dev_get_state(a), device_state_present);
    EXPECT_EQ(dev_get_state(b), device_state_removed);

    // Plugged in again before a purge: the same object, present again.
    g_readers = {"Quessar A", "Quessar B"};
    dev_scan_changes(&removed, &added, filter);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(dev_get_state(b), device_state_present);

    g_readers = {"Quessar A"};
    EXPECT_EQ(dev_refresh(filter), 1);
    EXPECT_EQ(dev_get_state(b), -1);
    EXPECT_EQ(device_manager().device_count(), 1);
    device_id none = a;
    EXPECT_EQ(dev_first_in_state(&none, device_state_new), "");
    EXPECT_EQ(none, no_device);
}

TEST_F(device_list, filter_without_comma_selects_nothing) {
    g_readers = {"Quessar A"};
    EXPECT_EQ(dev_refresh("Quessar"), 0);
    EXPECT_EQ(device_manager().device_count(), 0);
    EXPECT_EQ(dev_refresh(" \t ,vid,list"), 0);
    EXPECT_EQ(std::string(device_manager().last_filter()), " \t ,vid,list");
}

TEST_F(device_list, device_at_is_bounded_by_reader_count) {
    g_readers = {"Quessar A", "Quessar B"};
    dev_refresh(filter);
    ASSERT_NE(device_manager().device_at(1), nullptr);
    EXPECT_STREQ(device_manager().device_at(1)->name(), "Quessar B");
    EXPECT_EQ(device_manager().device_at(2), nullptr);
    EXPECT_EQ(device_manager().device_at(-1), nullptr);
}

TEST_F(device_list, null_cursor_starts_at_the_first_device) {
    g_readers = {"Quessar A", "Quessar B"};
    dev_refresh(filter);
    device_node* cursor = nullptr;
    device_base* first = device_manager().next_device(&cursor);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->name(), "Quessar A");
    EXPECT_EQ(cursor, device_manager().head());
}

TEST_F(device_list, removing_or_purging_under_the_cursor_continues_the_walk) {
    g_readers = {"Quessar A", "Quessar B", "Quessar C"};
    dev_refresh(filter);
    device_id a = no_device;
    device_id b = no_device;
    dev_first_in_state(&a, device_state_any);
    dev_next_in_state(&b, device_state_any);
    // The walk stands on B; removing B must not skip C.
    EXPECT_EQ(dev_remove(b), 0);
    EXPECT_EQ(dev_remove(b), 1);
    device_id next = no_device;
    EXPECT_EQ(dev_next_in_state(&next, device_state_any), "Quessar C");

    // Same through a purge, with the cursor on the head.
    dev_first_in_state(&a, device_state_any);
    g_readers = {"Quessar C"};
    dev_refresh(filter);
    EXPECT_EQ(dev_next_in_state(&next, device_state_any), "Quessar C");
    EXPECT_EQ(dev_next_in_state(&next, device_state_any), "");
}

TEST_F(device_list, a_purged_device_id_never_finds_its_successor) {
    std::set<device_id> seen;
    g_readers = {"Quessar A"};
    dev_refresh(filter);
    device_id old = no_device;
    dev_first_in_state(&old, device_state_any);
    seen.insert(old);
    for (int round = 0; round < 50; ++round) {
        g_readers.clear();
        dev_refresh(filter); // deletes the device
        g_readers = {"Quessar A"};
        dev_refresh(filter); // a new object for the same reader, often at the same address
        device_id fresh = no_device;
        EXPECT_EQ(dev_first_in_state(&fresh, device_state_any), "Quessar A");
        EXPECT_TRUE(seen.insert(fresh).second) << "device id reused";
        EXPECT_EQ(dev_get_reader_name(old), "");
        EXPECT_EQ(dev_connect(old), 1);
        EXPECT_EQ(dev_set_alias(old, "x"), 1);
        old = fresh;
    }
}

} // namespace
