// The object list of a token (session objects and objects read from the card
// alike, in the order they were added) and the search over it behind
// C_FindObjectsInit / C_FindObjects / C_FindObjectsFinal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "pkcs11_object.h"

class pkcs11_object_mgr {
  public:
    pkcs11_object_mgr() = default;
    virtual ~pkcs11_object_mgr() = default;
    pkcs11_object_mgr(const pkcs11_object_mgr&) = delete;
    pkcs11_object_mgr& operator=(const pkcs11_object_mgr&) = delete;

    // Appends at the tail; the number of objects afterwards.
    size_t add(std::shared_ptr<pkcs11_object> object);
    // The object with that handle; a host value above 32 bits names none.
    pkcs11_object* find(CK_OBJECT_HANDLE handle) const;
    std::shared_ptr<pkcs11_object> find_shared(CK_OBJECT_HANDLE handle) const;
    // Unlinks the object (if present) and drops the list's reference; 0.
    uint32_t object_mgr_remove(const pkcs11_object* object);
    // Session objects (CKA_TOKEN not a one-byte true) owned by that session.
    void object_mgr_purge_session(uint32_t session_handle);
    // Data objects whose CKA_PRIVATE is a one-byte true.
    void object_mgr_purge_private();
    // Certificates, public keys and private keys.
    void object_mgr_purge_key_objects();
    void object_list_clear();
    // Unlinks every object the predicate holds for and hands them over, in
    // list order.
    std::vector<std::shared_ptr<pkcs11_object>>
    take_if(const std::function<bool(pkcs11_object&)>& predicate);
    // Puts `object` where the object at position `index` stood.
    void replace_at(size_t index, std::shared_ptr<pkcs11_object> object);
    // The first object of `object_class` whose CKA_ID matches the given
    // object's CKA_ID (at most 256 bytes); null when none.
    pkcs11_object* object_mgr_find_by_id(const pkcs11_object& object, uint32_t object_class) const;

    size_t size() const { return list_.size(); }
    const std::vector<std::shared_ptr<pkcs11_object>>& objects() const { return list_; }
    // Position of the object with that handle; nullopt when it is not listed.
    std::optional<size_t> index_of(uint32_t handle) const;

  private:
    template <typename P> void purge_if(P predicate);
    std::vector<std::shared_ptr<pkcs11_object>> list_;
};

// The state of one search. It keeps its own copy of the template and the
// handle of the object at which the next call goes on; it holds no reference
// to the list, which every call is given afresh, so objects destroyed under a
// search are never touched.
class pkcs11_object_finder {
  public:
    // Loads an object's value from the card before a CKA_VALUE comparison;
    // anything but CKR_OK makes the object not match.
    using value_loader = std::function<CK_RV(pkcs11_object&)>;

    pkcs11_object_finder() = default;
    virtual ~pkcs11_object_finder() = default;

    // Replaces the template: count 0 matches every object; a CKA_VALUE entry
    // is kept apart (the last one wins). A malformed entry (null value with a
    // length) gives CKR_ATTRIBUTE_VALUE_INVALID and leaves the search unset.
    CK_RV finder_init(const inner_attribute* entries, uint32_t count);
    // A search that can match nothing (the template names a value the module
    // cannot hold): every call returns no handles.
    void finder_init_empty();
    // The token's own searches: up to 64 handles, no visibility rule.
    CK_RV finder_next(const pkcs11_object_mgr& objects, uint32_t* handles, uint32_t* count,
                      const value_loader& load = {});
    // C_FindObjects: objects visible at the level, at most `max` a call; a
    // null buffer with max 0 counts up to 65535 objects (and consumes them).
    CK_RV finder_next_visible(const pkcs11_object_mgr& objects, uint32_t level,
                              CK_OBJECT_HANDLE* handles, uint32_t max, uint32_t* count,
                              const value_loader& load = {});
    // The CKA_VALUE condition.
    bool finder_match(pkcs11_object& object, const value_loader& load) const;
    bool done() const { return done_; }

  private:
    struct entry {
        uint32_t type;
        bool has_value; // a null value never matches an integer attribute
        std::vector<uint8_t> value;
    };
    template <typename Out>
    CK_RV walk(const pkcs11_object_mgr& objects, std::optional<uint32_t> level, Out* handles,
               uint32_t limit, uint32_t* count, const value_loader& load);
    bool matches(pkcs11_object& object, const value_loader& load) const;

    std::vector<entry> template_;
    std::vector<uint8_t> value_; // empty: no value condition
    std::optional<uint32_t> next_object_;
    bool initialised_ = false;
    bool done_ = false;
    bool match_all_ = false;
    bool match_none_ = false;
};

// Whether a search at this level may return an object of that storage kind:
// levels 0, 1 and 4 see public objects only, 2 and 3 see every object.
bool object_searchable_at(uint32_t storage_kind, uint32_t level);
