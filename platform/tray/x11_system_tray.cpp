#include "x11_system_tray.h"

#ifdef TRAY_HAVE_XCB

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace plat {

namespace {

// System Tray Protocol 0.3: the opcode message's operations.
constexpr std::uint32_t SYSTEM_TRAY_REQUEST_DOCK = 0;
// XEmbed 0.5: _XEMBED_INFO is {version, flags}; XEMBED_MAPPED asks the
// embedder to map the client.
constexpr std::uint32_t XEMBED_VERSION = 0;
constexpr std::uint32_t XEMBED_MAPPED = 1;
// ICCCM 4.1.2.3 WM_SIZE_HINTS flags.
constexpr std::uint32_t P_SIZE = 1u << 3, P_MIN_SIZE = 1u << 4, P_BASE_SIZE = 1u << 8;

template <typename T> struct reply_ptr {
    T* p = nullptr;
    explicit reply_ptr(T* r) : p(r) {}
    ~reply_ptr() { std::free(p); }
    reply_ptr(const reply_ptr&) = delete;
    reply_ptr& operator=(const reply_ptr&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

class xcb_system_tray final : public x11_system_tray {
  public:
    xcb_system_tray(xcb_connection_t* c, int screen_number) : c_(c) {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
        for (int i = 0; i < screen_number && it.rem > 0; ++i)
            xcb_screen_next(&it);
        if (it.rem > 0) root_ = it.data->root;
        selection_ = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screen_number));
        opcode_ = atom("_NET_SYSTEM_TRAY_OPCODE");
        manager_atom_ = atom("MANAGER");
        xembed_info_ = atom("_XEMBED_INFO");
        // MANAGER announcements are sent to the root window with
        // StructureNotify; this connection's mask there is its own.
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        if (root_ != 0) xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
        find_manager();
        changed_ = false; // the first manager is no change
    }
    ~xcb_system_tray() override { xcb_disconnect(c_); }

    int fd() const override { return xcb_get_file_descriptor(c_); }
    bool connected() const override { return xcb_connection_has_error(c_) == 0; }

    events process_events() override {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
            handle(e);
            std::free(e);
        }
        if (xcb_connection_has_error(c_) != 0 && manager_ != 0) {
            manager_ = 0; // the server is gone, and its tray host with it
            changed_ = true;
        }
        events out;
        out.host_changed = changed_;
        out.docked.swap(docked_);
        changed_ = false;
        return out;
    }

    std::uint32_t manager() const override { return manager_; }

    bool request_dock(std::uint32_t window, int width, int height) override {
        if (manager_ == 0 || window == 0 || xcb_connection_has_error(c_) != 0) return false;
        const std::uint32_t info[2] = {XEMBED_VERSION, XEMBED_MAPPED};
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, xembed_info_, xembed_info_, 32, 2,
                            info);
        // WM_SIZE_HINTS: flags, x, y, width, height, min, max, increments,
        // aspects, base size, gravity (18 CARD32, ICCCM 4.1.2.3).
        std::uint32_t hints[18] = {};
        hints[0] = P_SIZE | P_MIN_SIZE | P_BASE_SIZE;
        hints[3] = hints[5] = hints[15] = static_cast<std::uint32_t>(width > 0 ? width : 1);
        hints[4] = hints[6] = hints[16] = static_cast<std::uint32_t>(height > 0 ? height : 1);
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS,
                            XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        // The reparenting into the manager's socket tells that it docked.
        const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, window, XCB_CW_EVENT_MASK, &mask);
        xcb_client_message_event_t m{};
        m.response_type = XCB_CLIENT_MESSAGE;
        m.format = 32;
        m.window = manager_;
        m.type = opcode_;
        m.data.data32[0] = XCB_CURRENT_TIME;
        m.data.data32[1] = SYSTEM_TRAY_REQUEST_DOCK;
        m.data.data32[2] = window;
        xcb_send_event(c_, 0, manager_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&m));
        // A round trip: the request has reached the server when this returns.
        reply_ptr<xcb_get_input_focus_reply_t> done(
            xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        return static_cast<bool>(done);
    }

    bool root_position(std::uint32_t window, int& x, int& y) override {
        if (root_ == 0 || window == 0) return false;
        reply_ptr<xcb_translate_coordinates_reply_t> r(xcb_translate_coordinates_reply(
            c_, xcb_translate_coordinates(c_, window, root_, 0, 0), nullptr));
        if (!r) return false;
        x = r->dst_x;
        y = r->dst_y;
        return true;
    }

  private:
    xcb_atom_t atom(const std::string& name) {
        reply_ptr<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr));
        return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }

    // The selection's owner, watched for its end. An owner that is already
    // gone when its events are selected counts as none; the next manager
    // announces itself.
    void find_manager() {
        std::uint32_t owner = 0;
        reply_ptr<xcb_get_selection_owner_reply_t> r(
            xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection_), nullptr));
        if (r) owner = r->owner;
        if (owner != 0) {
            const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_generic_error_t* error = xcb_request_check(
                c_, xcb_change_window_attributes_checked(c_, owner, XCB_CW_EVENT_MASK, &mask));
            if (error != nullptr) {
                std::free(error);
                owner = 0;
            }
        }
        if (owner != manager_) changed_ = true;
        manager_ = owner;
    }

    void handle(const xcb_generic_event_t* e) {
        switch (e->response_type & 0x7F) {
        case XCB_CLIENT_MESSAGE: {
            const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e);
            if (m->window == root_ && m->type == manager_atom_ && m->format == 32 &&
                m->data.data32[1] == selection_) {
                const std::uint32_t before = manager_;
                find_manager();
                // The same window announcing itself again is a new host too:
                // whatever it had embedded is gone.
                if (manager_ != 0 && manager_ == before) changed_ = true;
            }
            break;
        }
        case XCB_REPARENT_NOTIFY: {
            const auto* r = reinterpret_cast<const xcb_reparent_notify_event_t*>(e);
            // Ours is the only structure mask on windows other than the
            // root and the manager: our clients.
            if (r->event == r->window && r->parent != root_ && r->window != manager_)
                docked_.push_back(r->window);
            break;
        }
        case XCB_DESTROY_NOTIFY: {
            const auto* d = reinterpret_cast<const xcb_destroy_notify_event_t*>(e);
            if (d->window == manager_ && manager_ != 0) {
                manager_ = 0;
                changed_ = true;
                find_manager(); // a successor may have taken the selection already
            }
            break;
        }
        default:
            break; // errors of unchecked requests and anything else: not ours to act on
        }
    }

    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
    xcb_atom_t selection_ = XCB_ATOM_NONE;
    xcb_atom_t opcode_ = XCB_ATOM_NONE;
    xcb_atom_t manager_atom_ = XCB_ATOM_NONE;
    xcb_atom_t xembed_info_ = XCB_ATOM_NONE;
    std::uint32_t manager_ = 0;
    bool changed_ = false;
    std::vector<std::uint32_t> docked_;
};

} // namespace

std::unique_ptr<x11_system_tray> x11_system_tray::open(const char* display) {
    int screen = 0;
    xcb_connection_t* c = xcb_connect(display, &screen);
    if (c == nullptr) return nullptr;
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return nullptr;
    }
    return std::make_unique<xcb_system_tray>(c, screen);
}

} // namespace plat

#else // no X11 support in this build

namespace plat {
std::unique_ptr<x11_system_tray> x11_system_tray::open(const char*) {
    return nullptr;
}
} // namespace plat

#endif
