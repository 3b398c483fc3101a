// The handle tree: counter, classes, registry, lookups and removal.
#include "gm_handles.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "byte_order.h"
#include "gm_types.h"
#include "transport.h"

namespace {

// Plain counter: every creation runs under the device mutex. A spent range
// yields 0 from then on, which no lookup ever matches.
uint32_t handle_counter = gm_first_handle_value;
bool handle_counter_spent = false;

std::string bounded_name(const char* text, size_t limit) {
    if (text == nullptr) return {};
    return std::string(text, strnlen(text, limit));
}

template <typename T, typename... Args>
T* append_new(std::vector<std::unique_ptr<T>>& list, Args&&... args) {
    try {
        auto object = std::make_unique<T>(std::forward<Args>(args)...);
        if (object->handle() == 0) return nullptr;
        list.push_back(std::move(object));
        return list.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <typename T>
uint32_t remove_by_handle(std::vector<std::unique_ptr<T>>& list, uint32_t handle) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const auto& p) { return p->handle() == handle; });
    if (handle == 0 || it == list.end()) return SAR_FAIL;
    list.erase(it);
    return SAR_OK;
}

template <typename T>
uint32_t remove_object(std::vector<std::unique_ptr<T>>& list, const T* object) {
    auto it =
        std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == object; });
    if (object == nullptr || it == list.end()) return SAR_FAIL;
    list.erase(it);
    return SAR_OK;
}

} // namespace

uint32_t gm_take_handle_value() {
    if (handle_counter_spent) return 0;
    const uint32_t value = handle_counter;
    if (value == UINT32_MAX)
        handle_counter_spent = true;
    else
        ++handle_counter;
    return value;
}

uint32_t gm_peek_handle_value() {
    return handle_counter_spent ? 0 : handle_counter;
}

gm_sc_cont::gm_sc_cont(uint32_t id, const char* container_name, uint32_t app)
    : gm_handle(gm_kind::container), name(bounded_name(container_name, 128)), container_id(id),
      app_id(app) {}

gm_sc_key* gm_sc_cont::add_key(uint32_t card_key_id, uint32_t alg_id) {
    return append_new(keys, card_key_id, container_id, alg_id);
}

gm_sc_mac* gm_sc_cont::add_mac(uint32_t card_key_id, uint32_t alg_id) {
    return append_new(macs, card_key_id, container_id, alg_id);
}

uint32_t gm_sc_cont::remove_key(uint32_t handle) {
    return remove_by_handle(keys, handle);
}
uint32_t gm_sc_cont::remove_mac(uint32_t handle) {
    return remove_by_handle(macs, handle);
}

gm_sc_app::gm_sc_app(const uint8_t (&reply)[gm_open_app_reply_size], const char* app_name)
    : gm_handle(gm_kind::application), name(bounded_name(app_name, 32)),
      app_id(get_be16(reply + 8)) {
    std::memcpy(open_reply, reply, sizeof open_reply);
    std::swap(open_reply[8], open_reply[9]);
}

gm_sc_cont* gm_sc_app::add_container(uint32_t container_id, const char* container_name) {
    return append_new(containers, container_id, container_name, app_id);
}

gm_sc_cont* gm_sc_app::find_container_by_name(const char* container_name) const {
    if (container_name == nullptr) return nullptr;
    for (const auto& c : containers)
        if (c->name == container_name) return c.get();
    return nullptr;
}

uint32_t gm_sc_app::remove_container(const gm_sc_cont* container) {
    return remove_object(containers, container);
}

int gm_sc_app::remove_containers_named(const char* container_name) {
    if (container_name == nullptr) return 0;
    const auto before = containers.size();
    std::erase_if(containers, [&](const auto& c) { return c->name == container_name; });
    return static_cast<int>(before - containers.size());
}

gm_sc_dev::gm_sc_dev(const char* reader_name)
    : gm_handle(gm_kind::device), name(bounded_name(reader_name, gm_device_name_max)) {}

gm_sc_app* gm_sc_dev::add_app(const uint8_t (&reply)[gm_open_app_reply_size],
                              const char* app_name) {
    return append_new(apps, reply, app_name);
}

gm_sc_app* gm_sc_dev::find_app_by_name(const char* app_name) const {
    if (app_name == nullptr) return nullptr;
    for (const auto& a : apps)
        if (a->name == app_name) return a.get();
    return nullptr;
}

uint32_t gm_sc_dev::remove_app(const gm_sc_app* app) {
    return remove_object(apps, app);
}

gm_sc_digest* gm_sc_dev::add_digest(uint32_t alg_id) {
    return append_new(digests, alg_id);
}

uint32_t gm_sc_dev::remove_digest(uint32_t handle) {
    return remove_by_handle(digests, handle);
}

std::vector<std::unique_ptr<gm_sc_dev>>& gm_handle_registry() {
    static std::vector<std::unique_ptr<gm_sc_dev>> registry;
    return registry;
}

namespace {
// Built empty while the library loads, before the PKCS#11 core, so that the
// core's destructor still finds it when it closes its tokens' devices.
[[maybe_unused]] const bool registry_built = (gm_handle_registry(), true);
} // namespace

gm_sc_dev* gm_register_dev(std::unique_ptr<gm_sc_dev> dev) {
    if (!dev || dev->handle() == 0) return nullptr;
    try {
        gm_handle_registry().push_back(std::move(dev));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return gm_handle_registry().back().get();
}

uint32_t gm_unregister_dev(uint32_t handle) {
    return remove_by_handle(gm_handle_registry(), handle);
}

gm_sc_dev* gm_find_dev(uint32_t handle) {
    if (handle == 0) return nullptr;
    for (const auto& d : gm_handle_registry())
        if (d->handle() == handle) return d.get();
    return nullptr;
}

gm_app_ref gm_find_app(uint32_t handle) {
    if (handle == 0) return {};
    for (const auto& d : gm_handle_registry())
        for (const auto& a : d->apps)
            if (a->handle() == handle) return {d.get(), a.get()};
    return {};
}

gm_cont_ref gm_find_cont(uint32_t handle) {
    if (handle == 0) return {};
    for (const auto& d : gm_handle_registry())
        for (const auto& a : d->apps)
            for (const auto& c : a->containers)
                if (c->handle() == handle) return {d.get(), a.get(), c.get()};
    return {};
}

gm_key_ref gm_find_key(uint32_t handle) {
    if (handle == 0) return {};
    for (const auto& d : gm_handle_registry())
        for (const auto& a : d->apps)
            for (const auto& c : a->containers)
                for (const auto& k : c->keys)
                    if (k->handle() == handle) return {d.get(), a.get(), c.get(), k.get()};
    return {};
}

gm_mac_ref gm_find_mac(uint32_t handle) {
    if (handle == 0) return {};
    for (const auto& d : gm_handle_registry())
        for (const auto& a : d->apps)
            for (const auto& c : a->containers)
                for (const auto& m : c->macs)
                    if (m->handle() == handle) return {d.get(), a.get(), c.get(), m.get()};
    return {};
}

gm_digest_ref gm_find_digest(uint32_t handle) {
    if (handle == 0) return {};
    for (const auto& d : gm_handle_registry())
        for (const auto& g : d->digests)
            if (g->handle() == handle) return {d.get(), g.get()};
    return {};
}
