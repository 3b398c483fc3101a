// A light message timer: every timer is armed on one hidden handler shared by
// the process, and a due timer comes back to its object through the handler's
// window procedure (the WM_TIMER path).
//
// Timer identifiers are small numbers handed out by the handler, never object
// addresses: a WM_TIMER that is still queued for a timer already destroyed, or
// one that carries any other number, finds no live timer and does nothing.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <unordered_map>

class QTimerEvent;

namespace pruvell {

constexpr std::uint32_t WM_TIMER = 0x0113;

class TSimpleTimer;
using TSimpleTimerEvent = std::function<void(TSimpleTimer* Sender)>;

// The hidden window shared by all timers (one per process, alive while at
// least one TSimpleTimer is).
class TSimpleTimerHandler : public QObject {
    Q_OBJECT
  public:
    // The handler of this process, or nullptr when no timer exists.
    static TSimpleTimerHandler* Instance();

    // WM_TIMER: the live timer with the identifier in wParam gets its
    // OnElapsed; any other message is left to the default procedure (0).
    std::intptr_t WindowProc(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);

    // SetTimer/KillTimer on this window by identifier.
    bool SetTimer(std::uint32_t id, std::uint32_t period);
    bool KillTimer(std::uint32_t id);
    bool IsTimerSet(std::uint32_t id) const;
    int UserCount() const { return static_cast<int>(timers_.size()); }
    std::intptr_t LastResult() const { return lastResult_; }

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    friend class TSimpleTimer;
    TSimpleTimerHandler() = default;
    ~TSimpleTimerHandler() override;
    static std::uint32_t Join(TSimpleTimer* timer);
    static void Leave(std::uint32_t id);
    void DeleteWhenIdle();

    std::unordered_map<std::uint32_t, TSimpleTimer*> timers_; // live timers
    std::unordered_map<std::uint32_t, int> systemTimers_;     // id -> Qt timer
    std::unordered_map<int, std::uint32_t> idOfSystemTimer_;  // Qt timer -> id
    std::intptr_t lastResult_ = 0;
    int dispatchDepth_ = 0; // nested WindowProc calls in progress
    bool orphaned_ = false; // the last timer left during a dispatch
};

class TSimpleTimer {
  public:
    TSimpleTimer();                                                  // Create
    TSimpleTimer(std::uint32_t period, TSimpleTimerEvent onElapsed); // CreateWithHandler
    ~TSimpleTimer();
    TSimpleTimer(const TSimpleTimer&) = delete;
    TSimpleTimer& operator=(const TSimpleTimer&) = delete;

    bool Arm();
    bool Disarm(bool disable);

    bool Active() const { return active_; }
    void SetActive(bool value);
    std::uint32_t Period() const { return period_; }
    void SetPeriod(std::uint32_t value);
    const TSimpleTimerEvent& OnElapsed() const { return onElapsed_; }
    void SetOnElapsed(TSimpleTimerEvent value);

    std::uint32_t Id() const { return id_; }

  private:
    friend class TSimpleTimerHandler;
    std::uint32_t id_ = 0;
    bool active_ = false;
    std::uint32_t period_ = 1000;
    TSimpleTimerEvent onElapsed_;
};

} // namespace pruvell
