// Device insertion and removal events: the reader watch that sits in PC/SC's
// status-change call (CSmartCardConnectionNotifier, on its own thread), the
// callback that turns its reports into messages for the event window
// (CSmartCardConnectionNotifierTest), and the table of readers one watch
// round follows. SKF_WaitForDevEvent and SKF_CancelWaitForDevEvent
// (gm_api.h) are built on them.
//
// Three threads meet here: the waiter (the PKCS#11 layer's slot-event
// thread), the watch thread, and the thread that cancels (C_Finalize or
// unload). They share the event window (an in-process message queue, see
// platform/message_queue.h), the notifier object and its PC/SC context, each
// behind a mutex. The device mutex is held only while the device list is
// scanned, never across a wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <winscard.h>

#include <event.h>
#include <thread.h>

// Messages of the event window.
inline constexpr uint32_t wm_dev_inserted = 0x464; // WM_USER + 100
inline constexpr uint32_t wm_dev_removed = 0x465;  // WM_USER + 101
inline constexpr uint32_t wm_dev_cancel = 0x466;   // WM_USER + 102: wait cancelled or watch ended

// Report types of the watch.
inline constexpr int notify_card_present = 0;
inline constexpr int notify_card_gone = 2;
inline constexpr int notify_watch_ended = 3;

// Internal event code of a cancelled wait.
inline constexpr uint32_t gm_dev_event_cancelled = 3;

// The PC/SC plug-and-play pseudo-reader: it changes when readers come or go.
inline constexpr const char* pnp_notification_reader = "\\\\?PnP?\\Notification";

class ISmartCardConnectionNotifierRef {
  public:
    virtual ~ISmartCardConnectionNotifierRef() = default;
    // type: notify_card_present, notify_card_gone or notify_watch_ended.
    virtual void on_event(int type, const char* reader, const char* cards, const uint8_t* atr,
                          uint32_t atr_length) {
        (void)type, (void)reader, (void)cards, (void)atr, (void)atr_length;
    }
};

// Posts the watch's reports to the event window: a card present or gone in a
// reader whose name contains the reader pattern (case-sensitive), and the end
// of the watch (whatever the reader).
class CSmartCardConnectionNotifierTest : public ISmartCardConnectionNotifierRef {
  public:
    void on_event(int type, const char* reader, const char* cards, const uint8_t* atr,
                  uint32_t atr_length) override;
};

// The readers a watch round follows: entry 0 is the pseudo-reader, then at
// most reader_watch_max real readers, each with the state PC/SC last reported.
class reader_watch_table {
  public:
    static constexpr size_t reader_watch_max = 9;

    // Brings the entries in line with the listed readers: entries of readers
    // no longer listed go (their names with them), new readers are appended
    // with state 0 (unaware), so that the next wait reports a card they hold
    // at once. The first entry is made on the first call.
    void update(const std::vector<std::string>& listed);
    // Forgets every entry (a new PC/SC context starts from scratch).
    void clear() { entries_.clear(); }
    size_t size() const { return entries_.size(); }
    const std::string& name(size_t i) const { return entries_[i].name; }
    // The SCARD_READERSTATE array PC/SC fills, rebuilt to point at the names.
    SCARD_READERSTATE* states();
    // After a status change: reports transitions through callback and makes
    // every entry's known state its event state.
    void take_changes(ISmartCardConnectionNotifierRef* callback);
    // Reports every reader whose known state has a card as gone (the service
    // stopped), then forgets the entries.
    void report_all_gone(ISmartCardConnectionNotifierRef* callback);

  private:
    struct entry {
        std::string name;
        DWORD known = 0;
        DWORD event = 0;
    };
    std::vector<entry> entries_;
    std::vector<SCARD_READERSTATE> states_;
};

// The watch thread. Stopping it is a flag, the stop event, SCardCancel on its
// context and a join; it is never killed. Every status-change wait is bounded,
// so a cancel that comes just before a wait begins is not lost either.
class CSmartCardConnectionNotifier {
  public:
    static constexpr int32_t s_ok = 0;
    static constexpr int32_t e_fail = static_cast<int32_t>(0x80004005);

    CSmartCardConnectionNotifier(ISmartCardConnectionNotifierRef* callback, bool start_now);
    virtual ~CSmartCardConnectionNotifier();
    CSmartCardConnectionNotifier(const CSmartCardConnectionNotifier&) = delete;
    CSmartCardConnectionNotifier& operator=(const CSmartCardConnectionNotifier&) = delete;

    // s_ok when the thread was started; e_fail without a callback, while the
    // thread still runs, or when it cannot be created.
    int32_t start();
    // Stops and joins the thread: s_ok; e_fail when there was none.
    int32_t stop();
    bool running() const;

  private:
    uint32_t thread_routine();
    LONG watch_round();
    bool stop_asked() const { return stop_flag_.load() != 0; }

    std::unique_ptr<plat::thread> thread_;
    plat::event stop_event_{true, false}; // owned for the notifier's whole life
    std::mutex context_mutex_;
    SCARDCONTEXT context_ = 0;
    ISmartCardConnectionNotifierRef* callback_ = nullptr;
    std::atomic<uint32_t> stop_flag_{0};
    reader_watch_table table_;
};

// Longest single status-change wait of a watch round, in milliseconds.
inline constexpr uint32_t reader_watch_slice_ms = 500;

// Threads blocked in SKF_WaitForDevEvent's wait on the event window at this
// moment (the PKCS#11 layer's slot-event thread, or a direct caller).
size_t dev_event_waiters();
