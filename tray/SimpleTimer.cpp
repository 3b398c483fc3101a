#include "SimpleTimer.h"

#include <QTimerEvent>

#include <climits>

namespace pruvell {

namespace {
TSimpleTimerHandler* g_handler = nullptr;
// Identifiers run on across handler lifetimes, so an old number never names a
// new timer.
std::uint32_t g_nextTimerId = 0x1000;
} // namespace

TSimpleTimerHandler* TSimpleTimerHandler::Instance() {
    return g_handler;
}

TSimpleTimerHandler::~TSimpleTimerHandler() {
    for (const auto& [id, qtId] : systemTimers_)
        killTimer(qtId);
    if (g_handler == this) g_handler = nullptr;
}

std::uint32_t TSimpleTimerHandler::Join(TSimpleTimer* timer) {
    if (!g_handler) g_handler = new TSimpleTimerHandler;
    g_handler->orphaned_ = false;
    std::uint32_t id = g_nextTimerId++;
    if (id == 0) id = g_nextTimerId++;
    g_handler->timers_[id] = timer;
    return id;
}

void TSimpleTimerHandler::Leave(std::uint32_t id) {
    TSimpleTimerHandler* h = g_handler;
    if (!h) return;
    h->KillTimer(id);
    h->timers_.erase(id);
    if (h->timers_.empty()) h->DeleteWhenIdle();
}

void TSimpleTimerHandler::DeleteWhenIdle() {
    // The last timer may be destroyed from inside its own OnElapsed; the
    // handler then goes when that dispatch has returned.
    g_handler = nullptr;
    if (dispatchDepth_ > 0)
        orphaned_ = true;
    else
        delete this;
}

bool TSimpleTimerHandler::SetTimer(std::uint32_t id, std::uint32_t period) {
    if (period == 0) return false;
    KillTimer(id);
    const int qtId = startTimer(static_cast<int>(std::min<std::uint32_t>(period, INT_MAX)));
    if (qtId == 0) return false;
    systemTimers_[id] = qtId;
    idOfSystemTimer_[qtId] = id;
    return true;
}

bool TSimpleTimerHandler::KillTimer(std::uint32_t id) {
    auto it = systemTimers_.find(id);
    if (it == systemTimers_.end()) return false;
    killTimer(it->second);
    idOfSystemTimer_.erase(it->second);
    systemTimers_.erase(it);
    return true;
}

bool TSimpleTimerHandler::IsTimerSet(std::uint32_t id) const {
    return systemTimers_.count(id) != 0;
}

void TSimpleTimerHandler::timerEvent(QTimerEvent* event) {
    auto it = idOfSystemTimer_.find(event->timerId());
    if (it == idOfSystemTimer_.end()) return;
    WindowProc(WM_TIMER, it->second, 0);
}

std::intptr_t TSimpleTimerHandler::WindowProc(std::uint32_t msg, std::uintptr_t wParam,
                                              std::intptr_t /*lParam*/) {
    if (msg != WM_TIMER) {
        lastResult_ = 0; // the default window procedure
        return lastResult_;
    }
    auto it = timers_.find(static_cast<std::uint32_t>(wParam));
    if (wParam > UINT32_MAX || it == timers_.end()) return 0; // no such live timer
    TSimpleTimer* timer = it->second;
    if (!timer->onElapsed_) return 0;
    // Copy the handler: OnElapsed may replace it or destroy the timer.
    TSimpleTimerEvent onElapsed = timer->onElapsed_;
    ++dispatchDepth_;
    onElapsed(timer);
    if (--dispatchDepth_ == 0 && orphaned_) {
        delete this;
        return 0;
    }
    return 0;
}

// ------------------------------------------------------------ TSimpleTimer

TSimpleTimer::TSimpleTimer() : id_(TSimpleTimerHandler::Join(this)) {}

TSimpleTimer::TSimpleTimer(std::uint32_t period, TSimpleTimerEvent onElapsed)
    : id_(TSimpleTimerHandler::Join(this)), period_(period), onElapsed_(std::move(onElapsed)) {}

TSimpleTimer::~TSimpleTimer() {
    if (active_) Disarm(true);
    TSimpleTimerHandler::Leave(id_);
}

bool TSimpleTimer::Arm() {
    if (period_ == 0) return false;
    if (active_) Disarm(true);
    TSimpleTimerHandler* h = TSimpleTimerHandler::Instance();
    const bool ok = h && h->SetTimer(id_, period_);
    if (ok) active_ = true;
    return ok;
}

bool TSimpleTimer::Disarm(bool disable) {
    if (disable) active_ = false;
    TSimpleTimerHandler* h = TSimpleTimerHandler::Instance();
    return h && h->KillTimer(id_);
}

void TSimpleTimer::SetActive(bool value) {
    if (value)
        Arm();
    else
        Disarm(true);
}

void TSimpleTimer::SetPeriod(std::uint32_t value) {
    if (value == period_) return;
    period_ = value;
    if (!active_) return;
    if (value != 0)
        Arm();
    else
        Disarm(false);
}

void TSimpleTimer::SetOnElapsed(TSimpleTimerEvent value) {
    onElapsed_ = std::move(value);
    if (!onElapsed_ && active_) Disarm(false);
}

} // namespace pruvell
