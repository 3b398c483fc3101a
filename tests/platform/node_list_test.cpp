#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "mk_node_list.h"

namespace {

// A payload that records its own deletion, so a test sees which payloads the
// list deleted and which it still holds.
struct payload {
    payload(int tag, std::vector<int>& deleted) : tag(tag), deleted(deleted) {}
    ~payload() { deleted.push_back(tag); }
    int tag;
    std::vector<int>& deleted;
};

std::vector<int> tags(const mk_node_list<payload>& list) {
    std::vector<int> out;
    for (mk_node<payload>* node = list.head(); node; node = node->next())
        out.push_back(node->value()->tag);
    return out;
}

// The payload with the given tag (the first one), null when none.
const payload* find(const mk_node_list<payload>& list, int tag) {
    for (mk_node<payload>* node = list.head(); node; node = node->next())
        if (node->value()->tag == tag) return node->value();
    return nullptr;
}

TEST(NodeList, AppendReturnsTheCountAndKeepsOrder) {
    std::vector<int> deleted;
    mk_node_list<payload> list;
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.last(), nullptr);
    EXPECT_EQ(list.append(std::make_unique<payload>(1, deleted)), 1);
    EXPECT_EQ(list.append(std::make_unique<payload>(2, deleted)), 2);
    EXPECT_EQ(list.append(std::make_unique<payload>(3, deleted)), 3);
    EXPECT_EQ(tags(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.last()->value()->tag, 3);
    EXPECT_TRUE(deleted.empty());
    list.clear();
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(deleted, (std::vector<int>{1, 2, 3}))
        << "clear deletes every payload, from the head on";
}

TEST(NodeList, DestroyingTheListDeletesItsPayloads) {
    std::vector<int> deleted;
    {
        mk_node_list<payload> list;
        list.append(std::make_unique<payload>(7, deleted));
        list.append(std::make_unique<payload>(8, deleted));
    }
    EXPECT_EQ(deleted, (std::vector<int>{7, 8}));
}

TEST(NodeList, Remove) {
    constexpr int absent = 99;
    struct remove_case {
        const char* what;
        std::vector<int> before;
        int value;
        int result;
        std::vector<int> after;
    };
    const remove_case cases[] = {
        {"empty list", {}, 1, 1, {}},
        {"absent value", {1, 2}, absent, 1, {1, 2}},
        {"head: the second node becomes the head", {1, 2, 3}, 1, 0, {2, 3}},
        {"middle", {1, 2, 3}, 2, 0, {1, 3}},
        {"tail", {1, 2, 3}, 3, 0, {1, 2}},
        {"only the first of equal tags", {1, 2, 1}, 1, 0, {2, 1}},
        {"last node", {1}, 1, 0, {}},
    };
    for (const auto& c : cases) {
        std::vector<int> deleted;
        mk_node_list<payload> list;
        for (int tag : c.before)
            list.append(std::make_unique<payload>(tag, deleted));
        // Removal is by identity: an absent value is a payload the list does not hold.
        payload outsider(absent, deleted);
        const payload* target = c.value == absent ? &outsider : find(list, c.value);
        if (!target) target = &outsider;
        EXPECT_EQ(list.remove(target), c.result) << c.what;
        EXPECT_EQ(tags(list), c.after) << c.what;
        EXPECT_EQ(list.count(), static_cast<int>(c.after.size())) << c.what;
        EXPECT_EQ(list.last() ? list.last()->value()->tag : -1,
                  c.after.empty() ? -1 : c.after.back())
            << c.what;
        EXPECT_EQ(deleted, c.result == 0 ? std::vector<int>{c.value} : std::vector<int>{})
            << c.what << ": the removed payload, and only it, is deleted";
    }
}

TEST(NodeList, NodesStayPutWhileOthersComeAndGo) {
    // A node pointer is an enumeration cursor: appends and the removal of
    // other nodes leave it valid and pointing at the same payload.
    std::vector<int> deleted;
    mk_node_list<payload> list;
    list.append(std::make_unique<payload>(1, deleted));
    list.append(std::make_unique<payload>(2, deleted));
    mk_node<payload>* cursor = list.head()->next();
    list.append(std::make_unique<payload>(3, deleted));
    EXPECT_EQ(list.remove(find(list, 1)), 0);
    EXPECT_EQ(cursor, list.head());
    EXPECT_EQ(cursor->value()->tag, 2);
    EXPECT_EQ(cursor->next()->value()->tag, 3);
}

} // namespace
