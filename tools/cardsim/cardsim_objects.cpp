#include "cardsim_objects.h"

#include <algorithm>

namespace cardsim {

std::string name_of(std::span<const uint8_t> bytes) {
    size_t n = bytes.size();
    while (n > 0 && bytes[n - 1] == 0)
        --n;
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

bool is_reserved_name(const std::string& name) {
    return name.size() == reserved_name.size() &&
           std::equal(name.begin(), name.end(), reserved_name.begin(),
                      [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; });
}

application* find_application(card_model& card, uint16_t app_id) {
    for (application& app : card.persistent.applications)
        if (app.id == app_id) return &app;
    return nullptr;
}

application* find_application(card_model& card, const std::string& name) {
    for (application& app : card.persistent.applications)
        if (app.name == name) return &app;
    return nullptr;
}

bool application_exists(const card_model& card, uint16_t app_id) {
    if (app_id == reserved_app_id) return true;
    return std::any_of(card.persistent.applications.begin(), card.persistent.applications.end(),
                       [&](const application& a) { return a.id == app_id; });
}

container* find_container(card_model& card, uint16_t app_id, uint16_t container_id) {
    application* app = find_application(card, app_id);
    if (!app) return nullptr;
    for (container& c : app->containers)
        if (c.id == container_id) return &c;
    return nullptr;
}

container* find_container(application& app, const std::string& name) {
    for (container& c : app.containers)
        if (c.name == name) return &c;
    return nullptr;
}

bool container_exists(const card_model& card, uint16_t app_id, uint16_t container_id) {
    if (!application_exists(card, app_id)) return false;
    if (container_id == reserved_container_id) return true;
    return find_container(const_cast<card_model&>(card), app_id, container_id) != nullptr;
}

namespace {

const login_state* login_of(const card_model& card, uint16_t app_id) {
    for (const login_state& l : card.vol.logins)
        if (l.app_id == app_id) return &l;
    return nullptr;
}

} // namespace

bool user_logged_in(const card_model& card, uint16_t app_id) {
    const login_state* l = login_of(card, app_id);
    return l && l->user;
}

bool so_logged_in(const card_model& card, uint16_t app_id) {
    const login_state* l = login_of(card, app_id);
    return l && l->so;
}

bool right_granted(const card_model& card, uint16_t app_id, uint32_t right) {
    switch (right) {
    case right_everyone:
        return true;
    case right_user:
        return user_logged_in(card, app_id);
    case right_so:
        return so_logged_in(card, app_id);
    case right_any_login:
        return user_logged_in(card, app_id) || so_logged_in(card, app_id);
    default:
        return false;
    }
}

void append_name_list(std::vector<uint8_t>& reply, std::span<const std::string> names) {
    for (const std::string& n : names) {
        reply.insert(reply.end(), n.begin(), n.end());
        reply.push_back(0);
    }
    reply.push_back(0);
}

} // namespace cardsim
