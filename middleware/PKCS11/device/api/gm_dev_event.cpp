// Device insertion and removal events: the reader watch on PC/SC's status
// change, the event window it posts to, and SKF_WaitForDevEvent /
// SKF_CancelWaitForDevEvent.
#include "gm_dev_event.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include <message_queue.h>

#include "device_sc_manager.h"
#include "gm_api.h"
#include "gm_dev_enum.h"
#include "gm_filters.h"
#include "gm_frame.h"
#include "gm_handles.h"
#include "pcsc_fork_guard.h"
#include "transport.h"

namespace {

constexpr uint32_t insertion_rescans = 10;
constexpr uint32_t removal_rescans = 2;
constexpr uint32_t rescan_interval_ms = 300;
constexpr uint32_t settle_ms = 100; // lets a burst of reports arrive before the scan
constexpr uint32_t primed_pause_ms = 60;
constexpr uint32_t no_window_backoff_ms = 1000;
constexpr uint32_t context_backoff_ms = 500; // while the PC/SC service is down
constexpr uint32_t reader_retry_ms = 100;

// One result of a wait: the event and the reader names, each followed by a NUL.
struct dev_event {
    uint32_t event = 0;
    std::string names;
};

// Everything the waiter, the watch thread and the canceller share.
struct event_state {
    CSmartCardConnectionNotifierTest callback; // outlives the notifier below

    std::mutex m; // guards window, pattern and notifier
    plat::window_id window = 0;
    std::string pattern;
    std::unique_ptr<CSmartCardConnectionNotifier> notifier;

    // Every cancel takes a new number; a wait is cancelled by a cancel
    // message numbered above the count at its entry, so a cancel message left
    // in the window from an earlier wait never ends a later one.
    std::atomic<uint64_t> cancel_count{0};

    std::mutex waiter;             // one waiter at a time
    std::deque<dev_event> pending; // results not yet handed out (under waiter)
    bool primed = false;           // under the device mutex

    event_state() { plat::init_message_windows(); } // the window table outlives this state

    ~event_state() {
        std::unique_ptr<CSmartCardConnectionNotifier> n;
        {
            std::lock_guard lock(m);
            n = std::move(notifier);
        }
        if (n) n->stop();
        std::lock_guard lock(m);
        if (window != 0) plat::destroy_message_window(window);
        window = 0;
    }
};

// A forked child starts with a state of its own: the inherited one may be
// held by threads of the parent that do not exist in the child (the waiter
// lock, the notifier's watch thread), so it is never used, stopped or freed
// there. The state made in this process is freed at unload.
struct event_state_holder {
    std::unique_ptr<event_state> current = std::make_unique<event_state>();
    event_state* inherited = nullptr; // kept reachable, never used
    pid_t owner = getpid();
    ~event_state_holder() {
        if (owner != getpid()) (void)current.release(); // another process's state
    }
};

event_state_holder& holder() {
    static event_state_holder h;
    return h;
}

void fresh_state_in_child() {
    holder().inherited = holder().current.release();
    holder().current = std::make_unique<event_state>();
    holder().owner = getpid();
}

event_state& state() {
    static const bool registered = [] {
        (void)holder();
        pthread_atfork(nullptr, nullptr, &fresh_state_in_child);
        return true;
    }();
    (void)registered;
    return *holder().current;
}

// Built while the library loads, so that it outlives the PKCS#11 core (built
// on first use), which cancels the wait from its destructor.
[[maybe_unused]] const bool state_built = (state(), true);

bool cancelled_since(uint64_t entry) {
    return state().cancel_count.load() != entry;
}

// Sleeps up to milliseconds, returning early once a cancel came after entry.
void pause_unless_cancelled(uint32_t milliseconds, uint64_t entry) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!cancelled_since(entry) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string reader_pattern_of(const char* filter) {
    char reader_part[256] = {};
    char usb_id[256] = {};
    char usb_id_list[1024] = {};
    if (parse_reader_filter(filter, reader_part, usb_id, usb_id_list) != 0) return {};
    return reader_part;
}

// Once per process: the device list holds the devices present before the
// first wait, so that the watch's first reports of them are not taken for
// arrivals.
void prime_device_list() {
    bool pause = false;
    (void)gm_locked_call([&]() -> uint32_t {
        event_state& s = state();
        if (s.primed) {
            pause = true;
            return SAR_OK;
        }
        device_id id = no_device;
        (void)dev_first_in_state(&id, device_state_any);
        if (id == no_device) {
            int removed = 0;
            int added = 0;
            (void)dev_scan_changes(&removed, &added, gm_device_filter());
            if (added > 0) (void)enum_filtered_devices(device_state_new);
        }
        s.primed = true;
        return SAR_OK;
    });
    if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(primed_pause_ms));
}

// Waits for a message of the event window: 0 with *event 1 (inserted), 2
// (removed) or 3 (cancelled); 1 when the window cannot be created.
int wait_device_event_message(const char* filter, uint32_t* event, uint64_t entry) {
    event_state& s = state();
    plat::window_id window = 0;
    {
        std::lock_guard lock(s.m);
        s.pattern = reader_pattern_of(filter);
        if (s.window == 0) {
            const std::string name =
                "gmwindow" + s.pattern + "_" + std::to_string(static_cast<long>(::gettid()));
            s.window = plat::create_message_window(name, name);
            if (s.window == 0) return 1;
        }
        window = s.window;
        if (s.notifier) {
            (void)s.notifier->start(); // nothing while its thread runs
        } else {
            s.notifier = std::make_unique<CSmartCardConnectionNotifier>(&s.callback, true);
        }
    }
    for (;;) {
        plat::window_msg msg;
        const plat::get_result r =
            plat::get_window_message(window, wm_dev_inserted, wm_dev_cancel, plat::infinite, &msg);
        if (r != plat::get_result::message) {
            *event = gm_dev_event_cancelled;
            break;
        }
        if (msg.message == wm_dev_cancel) {
            if (msg.wparam <= entry) continue; // an earlier wait's cancel
            *event = gm_dev_event_cancelled;
            break;
        }
        *event = msg.message == wm_dev_inserted ? GM_DEV_EVENT_INSERTED : GM_DEV_EVENT_REMOVED;
        break;
    }
    if (*event == gm_dev_event_cancelled) {
        std::lock_guard lock(s.m);
        if (s.window == window) {
            plat::destroy_message_window(window);
            s.window = 0;
        }
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    // Reports queued up to now are all covered by the scan that follows.
    (void)plat::drop_window_messages(window, wm_dev_inserted, wm_dev_removed);
    return 0;
}

// Scans the readers (under the device mutex, released between rescans) until
// a device came or went, at most `rescans` further times. Removals and
// arrivals seen together are both kept, the removal first.
void collect_changes(uint32_t rescans, uint64_t entry, std::deque<dev_event>& out) {
    for (uint32_t round = 0;; ++round) {
        int removed = 0;
        int added = 0;
        std::string gone;
        std::string came;
        (void)gm_locked_call([&]() -> uint32_t {
            (void)dev_scan_changes(&removed, &added, gm_device_filter());
            if (removed > 0) {
                device_id id = no_device;
                for (std::string n = dev_first_in_state(&id, device_state_removed); id != no_device;
                     n = dev_next_in_state(&id, device_state_removed)) {
                    gone += n;
                    gone += '\0';
                }
                dev_purge_removed();
            }
            if (added > 0) came = enum_filtered_devices(device_state_new);
            return SAR_OK;
        });
        if (!gone.empty()) out.push_back(dev_event{GM_DEV_EVENT_REMOVED, std::move(gone)});
        if (!came.empty()) out.push_back(dev_event{GM_DEV_EVENT_INSERTED, std::move(came)});
        if (removed > 0 || added > 0 || round >= rescans || cancelled_since(entry)) return;
        pause_unless_cancelled(rescan_interval_ms, entry);
    }
}

// Hands out the oldest pending result (it stays pending when the caller's
// buffer cannot take it, so no event is lost to a size query).
uint32_t deliver(char* names, uint32_t* length, uint32_t* event) {
    event_state& s = state();
    const dev_event& e = s.pending.front();
    const uint32_t needed = static_cast<uint32_t>(e.names.size() + 1);
    *event = e.event;
    if (names == nullptr) {
        *length = needed;
        return SAR_OK;
    }
    if (*length < needed) {
        *length = needed;
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(names, e.names.data(), e.names.size());
    names[e.names.size()] = '\0';
    *length = needed;
    s.pending.pop_front();
    return SAR_OK;
}

} // namespace

// ---- the callback ----------------------------------------------------------

void CSmartCardConnectionNotifierTest::on_event(int type, const char* reader, const char*,
                                                const uint8_t*, uint32_t) {
    event_state& s = state();
    std::lock_guard lock(s.m);
    if (s.window == 0) return;
    if (type == notify_watch_ended) {
        plat::post_window_message(s.window, wm_dev_cancel,
                                  static_cast<uintptr_t>(s.cancel_count.load()));
        return;
    }
    if (reader == nullptr || std::strstr(reader, s.pattern.c_str()) == nullptr) return;
    if (type == notify_card_present) plat::post_window_message(s.window, wm_dev_inserted);
    if (type == notify_card_gone) plat::post_window_message(s.window, wm_dev_removed);
}

// ---- the reader table ------------------------------------------------------

void reader_watch_table::update(const std::vector<std::string>& listed) {
    if (entries_.empty()) entries_.push_back(entry{pnp_notification_reader, 0, 0});
    std::vector<std::string> wanted;
    for (const std::string& name : listed) {
        if (wanted.size() >= reader_watch_max) break;
        if (name == pnp_notification_reader || name.empty()) continue;
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) wanted.push_back(name);
    }
    // Readers no longer listed go; the others keep their known state.
    std::erase_if(entries_, [&, first = true](const entry& e) mutable {
        if (first) {
            first = false;
            return false;
        }
        return std::find(wanted.begin(), wanted.end(), e.name) == wanted.end();
    });
    for (const std::string& name : wanted) {
        const bool known = std::any_of(entries_.begin() + 1, entries_.end(),
                                       [&](const entry& e) { return e.name == name; });
        if (!known) entries_.push_back(entry{name, 0, 0});
    }
}

SCARD_READERSTATE* reader_watch_table::states() {
    states_.assign(entries_.size(), SCARD_READERSTATE{});
    for (size_t i = 0; i < entries_.size(); ++i) {
        states_[i].szReader = entries_[i].name.c_str();
        states_[i].dwCurrentState = entries_[i].known;
    }
    return states_.data();
}

void reader_watch_table::take_changes(ISmartCardConnectionNotifierRef* callback) {
    for (size_t i = 0; i < entries_.size() && i < states_.size(); ++i) {
        entry& e = entries_[i];
        const SCARD_READERSTATE& st = states_[i];
        const DWORD now = st.dwEventState;
        if ((now & SCARD_STATE_CHANGED) == 0) continue;
        const bool was_present = (e.known & SCARD_STATE_PRESENT) != 0;
        const bool is_present = (now & SCARD_STATE_PRESENT) != 0;
        const uint32_t atr_length =
            static_cast<uint32_t>(std::min<DWORD>(st.cbAtr, sizeof st.rgbAtr));
        // pcsc-lite counts card events in the upper 16 bits: a card taken out
        // and another put in between two waits changes the count only.
        const bool swapped =
            was_present && is_present && e.known != 0 && ((now ^ e.known) & 0xFFFF0000u) != 0;
        if (callback != nullptr && i > 0) {
            if (swapped || (was_present && !is_present))
                callback->on_event(notify_card_gone, e.name.c_str(), nullptr, nullptr, 0);
            if (swapped || (is_present && !was_present))
                callback->on_event(notify_card_present, e.name.c_str(), "", st.rgbAtr, atr_length);
        }
        e.known = now & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        e.event = now;
    }
}

void reader_watch_table::report_all_gone(ISmartCardConnectionNotifierRef* callback) {
    for (size_t i = 1; i < entries_.size(); ++i)
        if ((entries_[i].known & SCARD_STATE_PRESENT) != 0 && callback != nullptr)
            callback->on_event(notify_card_gone, entries_[i].name.c_str(), nullptr, nullptr, 0);
    entries_.clear();
}

// ---- the notifier ----------------------------------------------------------

CSmartCardConnectionNotifier::CSmartCardConnectionNotifier(
    ISmartCardConnectionNotifierRef* callback, bool start_now)
    : callback_(callback) {
    if (start_now) (void)start();
}

CSmartCardConnectionNotifier::~CSmartCardConnectionNotifier() {
    if (thread_) (void)stop();
}

int32_t CSmartCardConnectionNotifier::start() {
    if (callback_ == nullptr) return e_fail;
    if (thread_) {
        if (thread_->exit_code() == plat::still_active) return e_fail;
        thread_->join(plat::infinite);
        thread_.reset();
    }
    stop_flag_ = 0;
    stop_event_.reset();
    thread_ = plat::thread::start([this] { return thread_routine(); });
    return thread_ ? s_ok : e_fail;
}

int32_t CSmartCardConnectionNotifier::stop() {
    stop_flag_ = 1;
    if (!thread_) return e_fail;
    stop_event_.set();
    {
        std::lock_guard lock(context_mutex_);
        if (context_ != 0) (void)pcsc_call([&] { return SCardCancel(context_); });
    }
    // Every wait of the watch is bounded, so the thread ends within about
    // one wait slice even when the cancel came just before a wait began.
    thread_->join(plat::infinite);
    thread_.reset();
    return s_ok;
}

bool CSmartCardConnectionNotifier::running() const {
    return thread_ && thread_->exit_code() == plat::still_active;
}

uint32_t CSmartCardConnectionNotifier::thread_routine() {
    while (!stop_asked()) {
        LONG rc = SCARD_F_INTERNAL_ERROR;
        try {
            rc = watch_round();
        } catch (...) {
            // Out of memory while listing readers or reporting: the round
            // ends as on a PC/SC failure, and the watch starts over.
        }
        if (stop_asked()) break;
        // A round ends only on a PC/SC failure (the service away, the
        // context lost): contexts are not asked for in a tight loop.
        (void)stop_event_.wait(rc == static_cast<LONG>(SCARD_E_CANCELLED) ? 10
                                                                          : context_backoff_ms);
    }
    if (callback_ != nullptr) callback_->on_event(notify_watch_ended, "", nullptr, nullptr, 0);
    return 0;
}

namespace {

LONG list_readers(SCARDCONTEXT context, std::vector<std::string>& names) {
    names.clear();
    LPSTR list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rc = pcsc_call([&] {
        return SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&list), &length);
    });
    if (rc == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
    if (rc != SCARD_S_SUCCESS) return rc;
    for (size_t pos = 0; list != nullptr && pos < length && list[pos] != '\0';) {
        const size_t n = strnlen(list + pos, length - pos);
        names.emplace_back(list + pos, n);
        pos += n + 1;
    }
    if (list != nullptr) (void)pcsc_call([&] { return SCardFreeMemory(context, list); });
    return SCARD_S_SUCCESS;
}

} // namespace

LONG CSmartCardConnectionNotifier::watch_round() {
    SCARDCONTEXT context = 0;
    LONG rc = pcsc_call(
        [&] { return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context); });
    if (rc != SCARD_S_SUCCESS) return rc;
    {
        std::lock_guard lock(context_mutex_);
        context_ = context;
    }
    // A new context starts from an empty table: nothing of the last one's
    // reader names is kept.
    table_.clear();
    std::vector<std::string> readers;
    rc = list_readers(context, readers);
    if (rc == SCARD_S_SUCCESS) table_.update(readers);
    while (rc == SCARD_S_SUCCESS && !stop_asked()) {
        SCARD_READERSTATE* states = table_.states();
        rc = SCardGetStatusChange(context, reader_watch_slice_ms, states,
                                  static_cast<DWORD>(table_.size()));
        if (rc == SCARD_S_SUCCESS || rc == static_cast<LONG>(SCARD_E_TIMEOUT)) {
            if (rc == SCARD_S_SUCCESS) table_.take_changes(callback_);
            rc = list_readers(context, readers);
            if (rc == SCARD_S_SUCCESS) table_.update(readers);
            continue;
        }
        if (rc == static_cast<LONG>(SCARD_E_UNKNOWN_READER) ||
            rc == static_cast<LONG>(SCARD_E_READER_UNAVAILABLE)) {
            // A reader went between the listing and the wait: follow the
            // readers listed now and go on watching.
            (void)stop_event_.wait(reader_retry_ms);
            rc = list_readers(context, readers);
            if (rc == SCARD_S_SUCCESS) table_.update(readers);
            continue;
        }
    }
    // The context ends here: its cards are reported gone (the scan that the
    // report starts finds what is really there) unless the watch was stopped.
    if (!stop_asked()) table_.report_all_gone(callback_);
    table_.clear();
    {
        std::lock_guard lock(context_mutex_);
        context_ = 0;
    }
    (void)pcsc_call([&] { return SCardReleaseContext(context); });
    return rc;
}

// ---- the device API --------------------------------------------------------

uint32_t SKF_WaitForDevEvent(char* szDevName, uint32_t* pulDevNameLen, uint32_t* pulEvent) {
    if (pulDevNameLen == nullptr || pulEvent == nullptr) return SAR_INVALIDPARAMERR;
    try {
        event_state& s = state();
        const uint64_t entry = s.cancel_count.load();
        std::lock_guard waiter(s.waiter);
        if (!s.pending.empty()) return deliver(szDevName, pulDevNameLen, pulEvent);
        if (cancelled_since(entry)) return SAR_NOT_EVENTERR;
        prime_device_list();
        for (;;) {
            uint32_t event = 0;
            const int waited = wait_device_event_message(gm_device_filter(), &event, entry);
            if (waited == 0 && event == gm_dev_event_cancelled) return SAR_NOT_EVENTERR;
            const uint32_t rescans =
                waited != 0
                    ? 0
                    : (event == GM_DEV_EVENT_INSERTED ? insertion_rescans : removal_rescans);
            collect_changes(rescans, entry, s.pending);
            if (!s.pending.empty()) return deliver(szDevName, pulDevNameLen, pulEvent);
            // No device came or went: the report was stale (a card already
            // listed, a reader of another pattern, a duplicate): wait again.
            if (cancelled_since(entry)) return SAR_NOT_EVENTERR;
            if (waited != 0) pause_unless_cancelled(no_window_backoff_ms, entry);
        }
    } catch (const std::bad_alloc&) {
        return SAR_MEMORYERR;
    } catch (...) {
        return SAR_FAIL;
    }
}

uint32_t SKF_CancelWaitForDevEvent() {
    event_state& s = state();
    std::unique_ptr<CSmartCardConnectionNotifier> notifier;
    plat::window_id window = 0;
    uint64_t number = 0;
    {
        std::lock_guard lock(s.m);
        number = ++s.cancel_count;
        notifier = std::move(s.notifier);
        window = s.window;
    }
    if (notifier) notifier->stop();
    notifier.reset();
    if (window != 0)
        plat::post_window_message(window, wm_dev_cancel, static_cast<uintptr_t>(number));
    return SAR_OK;
}
