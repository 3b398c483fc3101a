// Session-change notifications for a window: logind's session over the
// D-Bus system bus in the program, an injected source in tests. Optional, as
// on systems without the session service: without it registration fails and
// no session changes arrive; nothing else changes.
//
// A registered window receives each change as a posted TWindowMessageEvent
// WM_WTSSESSION_CHANGE (wParam the change code, lParam the session number),
// so an application-wide event filter sees it before dispatch.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace pruvell {

constexpr std::uint32_t WM_WTSSESSION_CHANGE = 0x02B1;
constexpr std::uint32_t WTS_CONSOLE_CONNECT = 1, WTS_CONSOLE_DISCONNECT = 2, WTS_REMOTE_CONNECT = 3,
                        WTS_REMOTE_DISCONNECT = 4, WTS_SESSION_LOGON = 5, WTS_SESSION_LOGOFF = 6,
                        WTS_SESSION_LOCK = 7, WTS_SESSION_UNLOCK = 8;
constexpr std::uint32_t NOTIFY_FOR_THIS_SESSION = 0;

// A window message posted to a QObject.
class TWindowMessageEvent : public QEvent {
  public:
    TWindowMessageEvent(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
        : QEvent(EventType()), Msg(msg), WParam(wParam), LParam(lParam) {}
    static QEvent::Type EventType();
    const std::uint32_t Msg;
    const std::uintptr_t WParam;
    const std::intptr_t LParam;
};

// Where session changes come from; `deliver` takes the change code and the
// session number.
class TSessionSource {
  public:
    using Deliver = std::function<void(std::uint32_t code, std::uint32_t session)>;
    virtual ~TSessionSource() = default;
    virtual bool Register(Deliver deliver) = 0;
};

// A source that tests drive.
class TInjectedSessionSource : public TSessionSource {
  public:
    bool Register(Deliver deliver) override {
        deliver_ = std::move(deliver);
        return available;
    }
    void Change(std::uint32_t code, std::uint32_t session = 1) {
        if (deliver_) deliver_(code, session);
    }
    bool available = true;

  private:
    Deliver deliver_;
};

using TSessionSourceFactory = std::function<std::unique_ptr<TSessionSource>()>;
// The source made by the next registration; empty: logind.
void SetSessionSourceFactory(TSessionSourceFactory factory);

// True when the window will receive session changes.
bool RegisterSessionNotification(QObject* window, std::uint32_t flags);
void UnregisterSessionNotification(QObject* window);

// True for the session changes after which the tokens are looked for again:
// a console or remote connect and an unlock.
bool SessionChangeWantsRescan(const QEvent* event);

} // namespace pruvell
