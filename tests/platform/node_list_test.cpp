#include <gtest/gtest.h>

#include <vector>

#include "mk_node_list.h"

namespace {

std::vector<void*> values(const mk_node_list& list)
{
    std::vector<void*> out;
    for (mk_node* node = list.head(); node; node = node->next()) out.push_back(node->value());
    return out;
}

TEST(NodeList, AppendReturnsTheCountAndKeepsOrder)
{
    int a, b, c;
    mk_node_list list;
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.last(), nullptr);
    EXPECT_EQ(list.append(&a), 1);
    EXPECT_EQ(list.append(&b), 2);
    EXPECT_EQ(list.append(&c), 3);
    EXPECT_EQ(values(list), (std::vector<void*>{&a, &b, &c}));
    EXPECT_EQ(list.last()->value(), &c);
    list.clear();
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.count(), 0);
}

TEST(NodeList, Remove)
{
    int a, b, c, absent;
    struct remove_case {
        const char* what;
        std::vector<void*> before;
        void* value;
        int result;
        std::vector<void*> after;
    };
    const remove_case cases[] = {
        {"empty list", {}, &a, 1, {}},
        {"absent value", {&a, &b}, &absent, 1, {&a, &b}},
        {"head: the second node becomes the head", {&a, &b, &c}, &a, 0, {&b, &c}},
        {"middle", {&a, &b, &c}, &b, 0, {&a, &c}},
        {"tail", {&a, &b, &c}, &c, 0, {&a, &b}},
        {"only the first of equal values", {&a, &b, &a}, &a, 0, {&b, &a}},
        {"last node", {&a}, &a, 0, {}},
    };
    for (const auto& c : cases) {
        mk_node_list list;
        for (void* v : c.before) list.append(v);
        EXPECT_EQ(list.remove(c.value), c.result) << c.what;
        EXPECT_EQ(values(list), c.after) << c.what;
        EXPECT_EQ(list.count(), static_cast<int>(c.after.size())) << c.what;
        EXPECT_EQ(list.last() ? list.last()->value() : nullptr, c.after.empty() ? nullptr : c.after.back()) << c.what;
    }
}

}  // namespace
