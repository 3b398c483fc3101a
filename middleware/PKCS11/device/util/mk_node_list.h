// Singly linked list of typed payloads. The list owns its nodes and their
// payloads: unlinking a node (remove, clear, the destructor) deletes the
// payload through its destructor, so nobody deletes a payload by hand.
// Nodes never move while they are listed, so a pointer to a node is a stable
// cursor until that node is removed.
#pragma once

#include <memory>
#include <utility>

template <class T> class mk_node_list;

template <class T> class mk_node {
  public:
    mk_node() = default;
    mk_node(const mk_node&) = delete;
    mk_node& operator=(const mk_node&) = delete;

    mk_node* next() const { return next_.get(); }
    T* value() const { return value_.get(); }

  private:
    friend class mk_node_list<T>;
    std::unique_ptr<mk_node> next_;
    std::unique_ptr<T> value_;
};

template <class T> class mk_node_list {
  public:
    mk_node_list() = default;
    ~mk_node_list() { clear(); }
    mk_node_list(const mk_node_list&) = delete;
    mk_node_list& operator=(const mk_node_list&) = delete;

    // Appends a node holding value at the tail; returns the node count after it.
    int append(std::unique_ptr<T> value) {
        auto node = std::make_unique<mk_node<T>>();
        node->value_ = std::move(value);
        int count = 1;
        std::unique_ptr<mk_node<T>>* slot = &head_;
        for (; *slot; slot = &(*slot)->next_)
            ++count;
        *slot = std::move(node);
        return count;
    }

    // Unlinks the first node holding value and deletes it with its payload:
    // 0; none: 1.
    int remove(const T* value) {
        for (std::unique_ptr<mk_node<T>>* slot = &head_; *slot; slot = &(*slot)->next_) {
            if ((*slot)->value_.get() != value) continue;
            std::unique_ptr<mk_node<T>> gone = std::move(*slot);
            *slot = std::move(gone->next_);
            return 0;
        }
        return 1;
    }

    // Deletes every node and payload from the head on. One node at a time,
    // so that a long list does not destroy itself recursively.
    void clear() {
        while (head_) {
            std::unique_ptr<mk_node<T>> first = std::move(head_);
            head_ = std::move(first->next_);
        }
    }

    int count() const {
        int n = 0;
        for (mk_node<T>* node = head(); node; node = node->next())
            ++n;
        return n;
    }
    mk_node<T>* head() const { return head_.get(); }
    mk_node<T>* last() const {
        mk_node<T>* node = head();
        while (node && node->next())
            node = node->next();
        return node;
    }

  private:
    std::unique_ptr<mk_node<T>> head_;
};
