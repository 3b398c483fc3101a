#include "mk_node_list.h"

mk_node::~mk_node()
{
    next_ = nullptr;
    value_ = nullptr;
}

mk_node_list::~mk_node_list() { clear(); }

void mk_node_list::clear()
{
    mk_node* node = head_;
    while (node) {
        mk_node* next = node->next();
        delete node;
        node = next;
    }
    head_ = nullptr;
}

int mk_node_list::append(void* value)
{
    auto* node = new mk_node;
    node->set_value(value);
    if (!head_) {
        head_ = node;
        return 1;
    }
    int count = 1;
    mk_node* tail = head_;
    for (; tail->next(); tail = tail->next()) ++count;
    tail->set_next(node);
    return count + 1;
}

int mk_node_list::remove(void* value)
{
    mk_node* prev = nullptr;
    for (mk_node* node = head_; node; prev = node, node = node->next()) {
        if (node->value() != value) continue;
        if (prev)
            prev->set_next(node->next());
        else
            head_ = node->next();
        delete node;
        return 0;
    }
    return 1;
}

int mk_node_list::count() const
{
    int n = 0;
    for (mk_node* node = head_; node; node = node->next()) ++n;
    return n;
}

mk_node* mk_node_list::last() const
{
    mk_node* node = head_;
    while (node && node->next()) node = node->next();
    return node;
}
