// Singly linked list of untyped payload pointers. The list owns its nodes,
// never the payloads: whoever keeps heap objects in a list deletes a payload
// when it unlinks it.
#pragma once

class mk_node {
public:
    mk_node() = default;
    virtual ~mk_node();
    mk_node(const mk_node&) = delete;
    mk_node& operator=(const mk_node&) = delete;

    mk_node* next() const { return next_; }
    void set_next(mk_node* next) { next_ = next; }
    void* value() const { return value_; }
    void set_value(void* value) { value_ = value; }

private:
    mk_node* next_ = nullptr;
    void* value_ = nullptr;
};

class mk_node_list {
public:
    mk_node_list() = default;
    virtual ~mk_node_list();
    mk_node_list(const mk_node_list&) = delete;
    mk_node_list& operator=(const mk_node_list&) = delete;

    // Appends a node holding value at the tail; returns the node count after it.
    int append(void* value);
    // Unlinks and deletes the first node holding value: 0; none: 1.
    int remove(void* value);
    void clear();
    int count() const;
    mk_node* head() const { return head_; }
    mk_node* last() const;

private:
    mk_node* head_ = nullptr;
};
