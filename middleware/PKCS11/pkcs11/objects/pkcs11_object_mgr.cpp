#include "pkcs11_object_mgr.h"

#include <algorithm>
#include <cstring>

size_t pkcs11_object_mgr::add(std::shared_ptr<pkcs11_object> object) {
    list_.push_back(std::move(object));
    return list_.size();
}

std::optional<size_t> pkcs11_object_mgr::index_of(uint32_t handle) const {
    for (size_t i = 0; i < list_.size(); ++i)
        if (list_[i]->handle() == handle) return i;
    return std::nullopt;
}

pkcs11_object* pkcs11_object_mgr::find(CK_OBJECT_HANDLE handle) const {
    return find_shared(handle).get();
}

std::shared_ptr<pkcs11_object> pkcs11_object_mgr::find_shared(CK_OBJECT_HANDLE handle) const {
    const auto h = p11abi::narrow_id(handle);
    if (!h || *h == 0) return nullptr;
    const auto i = index_of(*h);
    return i ? list_[*i] : nullptr;
}

uint32_t pkcs11_object_mgr::object_mgr_remove(const pkcs11_object* object) {
    std::erase_if(list_,
                  [object](const std::shared_ptr<pkcs11_object>& o) { return o.get() == object; });
    return 0;
}

template <typename P> void pkcs11_object_mgr::purge_if(P predicate) {
    std::erase_if(list_, [&](const std::shared_ptr<pkcs11_object>& o) { return predicate(*o); });
}

void pkcs11_object_mgr::object_mgr_purge_session(uint32_t session_handle) {
    purge_if([&](const pkcs11_object& o) {
        return !o.object_is_token() && o.owner_session() == session_handle;
    });
}

void pkcs11_object_mgr::object_mgr_purge_private() {
    purge_if([](pkcs11_object& o) {
        return o.attributes().flag(CKA_PRIVATE) && o.object_class() == CKO_DATA;
    });
}

void pkcs11_object_mgr::object_mgr_purge_key_objects() {
    purge_if([](pkcs11_object& o) {
        const int64_t c = o.object_class();
        return c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY;
    });
}

void pkcs11_object_mgr::object_list_clear() {
    list_.clear();
}

std::vector<std::shared_ptr<pkcs11_object>>
pkcs11_object_mgr::take_if(const std::function<bool(pkcs11_object&)>& predicate) {
    std::vector<std::shared_ptr<pkcs11_object>> taken;
    std::erase_if(list_, [&](const std::shared_ptr<pkcs11_object>& o) {
        if (!predicate(*o)) return false;
        taken.push_back(o);
        return true;
    });
    return taken;
}

void pkcs11_object_mgr::replace_at(size_t index, std::shared_ptr<pkcs11_object> object) {
    if (index < list_.size()) list_[index] = std::move(object);
}

pkcs11_object* pkcs11_object_mgr::object_mgr_find_by_id(const pkcs11_object& object,
                                                        uint32_t object_class) const {
    const pkcs11_attribute* id = object.attributes().find(CKA_ID);
    if (id == nullptr || id->length() > 256) return nullptr;
    const inner_attribute wanted[2] = {
        {CKA_ID, const_cast<uint8_t*>(id->value.data()), id->length()},
        {CKA_CLASS, &object_class, 4},
    };
    for (const auto& o : list_)
        if (o->object_matches_template(wanted, 2)) return o.get();
    return nullptr;
}

// ---- search ----

bool object_searchable_at(uint32_t storage_kind, uint32_t level) {
    switch (level) {
    case 0:
    case 1:
    case 4:
        return storage_kind == storage_public_session || storage_kind == storage_public_token;
    case 2:
    case 3:
        return true;
    default:
        return false;
    }
}

CK_RV pkcs11_object_finder::finder_init(const inner_attribute* entries, uint32_t count) {
    if (CK_RV rv = template_check(entries, count); rv != CKR_OK) return rv;
    template_.clear();
    value_.clear();
    next_object_.reset();
    done_ = false;
    match_none_ = false;
    match_all_ = count == 0;
    for (uint32_t i = 0; i < count; ++i) {
        const inner_attribute& e = entries[i];
        const auto* bytes = static_cast<const uint8_t*>(e.value);
        if (e.type == CKA_VALUE) {
            value_.assign(bytes, bytes + e.length);
            continue;
        }
        entry copy{e.type, e.value != nullptr, {}};
        if (e.length != 0) copy.value.assign(bytes, bytes + e.length);
        template_.push_back(std::move(copy));
    }
    initialised_ = true;
    return CKR_OK;
}

void pkcs11_object_finder::finder_init_empty() {
    template_.clear();
    value_.clear();
    next_object_.reset();
    match_all_ = false;
    match_none_ = true;
    done_ = true;
    initialised_ = true;
}

bool pkcs11_object_finder::finder_match(pkcs11_object& object, const value_loader& load) const {
    if (value_.empty()) return true;
    if (object.object_needs_value_load() && (!load || load(object) != CKR_OK)) return false;
    const pkcs11_attribute* v = object.attributes().find(CKA_VALUE);
    return v != nullptr && v->value == value_;
}

bool pkcs11_object_finder::matches(pkcs11_object& object, const value_loader& load) const {
    if (match_none_) return false;
    if (match_all_) return true;
    static uint8_t no_bytes = 0;
    for (const entry& e : template_) {
        const inner_attribute wanted{
            e.type,
            e.has_value ? (e.value.empty() ? &no_bytes : const_cast<uint8_t*>(e.value.data()))
                        : nullptr,
            static_cast<uint32_t>(e.value.size())};
        if (!object.object_matches_template(&wanted, 1)) return false;
    }
    return finder_match(object, load);
}

template <typename Out>
CK_RV pkcs11_object_finder::walk(const pkcs11_object_mgr& objects, std::optional<uint32_t> level,
                                 Out* handles, uint32_t limit, uint32_t* count,
                                 const value_loader& load) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    *count = 0;
    if (!initialised_) return CKR_OPERATION_NOT_INITIALIZED;
    if (done_ || limit == 0) return CKR_OK; // a zero limit neither writes nor moves
    size_t i = 0;
    if (next_object_) {
        const auto at = objects.index_of(*next_object_);
        if (!at) { // the object the search stood on is gone: the search ends
            next_object_.reset();
            done_ = true;
            return CKR_OK;
        }
        i = *at;
    }
    const auto& list = objects.objects();
    uint32_t taken = 0;
    while (i < list.size() && taken < limit) {
        // Hold the object for the step: a value load may change the list.
        const std::shared_ptr<pkcs11_object> object = list[i];
        ++i;
        if (level && !object_searchable_at(object->object_storage_kind(), *level)) continue;
        if (!matches(*object, load)) continue;
        if (handles != nullptr) handles[taken] = object->handle();
        ++taken;
    }
    if (i < list.size()) {
        next_object_ = list[i]->handle();
    } else {
        next_object_.reset();
    }
    done_ = !next_object_.has_value();
    *count = taken;
    return CKR_OK;
}

CK_RV pkcs11_object_finder::finder_next(const pkcs11_object_mgr& objects, uint32_t* handles,
                                        uint32_t* count, const value_loader& load) {
    return walk(objects, std::nullopt, handles, 64, count, load);
}

CK_RV pkcs11_object_finder::finder_next_visible(const pkcs11_object_mgr& objects, uint32_t level,
                                                CK_OBJECT_HANDLE* handles, uint32_t max,
                                                uint32_t* count, const value_loader& load) {
    const uint32_t limit = handles == nullptr && max == 0 ? 65535 : max;
    return walk(objects, std::optional<uint32_t>(level), handles, limit, count, load);
}
