// The notification area of an X11 desktop: the freedesktop System Tray
// Protocol (version 0.3) over a connection of its own to the X server.
//
// The tray host ("manager") owns the selection _NET_SYSTEM_TRAY_S<screen>;
// a new manager announces itself with a MANAGER client message on the root
// window, and a manager that ends destroys its window. An icon is an X
// window of the client, embedded by the manager (XEmbed) after the client
// sends it _NET_SYSTEM_TRAY_OPCODE SYSTEM_TRAY_REQUEST_DOCK.
//
// The connection is separate from the toolkit's, so that the event masks
// selected here (on the root window and on the manager's window) are this
// object's own and never replace the toolkit's. Builds without X11 support
// get an open() that always gives nullptr.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace plat {

class x11_system_tray {
  public:
    // A connection to `display` (nullptr: $DISPLAY) that follows the tray
    // host of its default screen; nullptr when no X server can be reached or
    // this build has no X11 support.
    static std::unique_ptr<x11_system_tray> open(const char* display = nullptr);
    virtual ~x11_system_tray() = default;

    // Readable when events have come in; then call process_events().
    virtual int fd() const = 0;
    // False once the connection has failed (the server went away).
    virtual bool connected() const = 0;
    struct events {
        // A manager took the selection, or the one known went away.
        bool host_changed = false;
        // Windows of request_dock that the manager has taken in.
        std::vector<std::uint32_t> docked;
    };
    // Handles every event that has come in, never waiting for one, and tells
    // what happened since the last call.
    virtual events process_events() = 0;
    // The manager's window, 0 while no tray host runs.
    virtual std::uint32_t manager() const = 0;

    // Marks `window` as an XEmbed client (version 0, to be mapped by the
    // embedder) that wants at least `width` x `height` (ICCCM 4.1.2.3 size
    // hints, which the embedder reads when it takes the window) and asks the
    // manager to dock it; events().docked names it once the manager has.
    // The window must not be mapped before: an embedder that sees it unmapped
    // by the reparenting takes it as withdrawn. False without a manager or
    // once the connection has failed.
    virtual bool request_dock(std::uint32_t window, int width, int height) = 0;
    // Where `window` is on the root window (its top left corner).
    virtual bool root_position(std::uint32_t window, int& x, int& y) = 0;
};

} // namespace plat
