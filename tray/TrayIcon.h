// The tray icon: one icon in the notification area, the area's callback
// messages turned into events, a popup menu, balloon hints, icon cycling from
// an image list, hiding and showing the main form, and the icon put back when
// the tray host restarts.
//
// The notification area is an interface (TNotifyArea) fed the fields of the
// shell's icon record. On an X11 desktop with a tray host the program's
// backend docks windows of its own (TrayIconX11.h), which report the pointer
// moving and the balloons' life; elsewhere (no tray host, offscreen, Wayland)
// it is Qt's QSystemTrayIcon, which reports presses only. Tests use
// TRecordingNotifyArea. Callback messages come back through one shared
// handler (TTrayIconHandler::TrayWindowProc). Icon identifiers are numbers
// handed out by the handler, never addresses: a message with an identifier of
// no live icon is ignored.
#pragma once

#include "SimpleTimer.h"

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace pruvell {

// Shell_NotifyIcon messages, record flags and balloon icons (Windows shell API).
constexpr std::uint32_t NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2, NIM_SETVERSION = 4;
constexpr std::uint32_t NIF_MESSAGE = 1, NIF_ICON = 2, NIF_TIP = 4, NIF_INFO = 0x10;
constexpr std::uint32_t NIIF_NONE = 0, NIIF_INFO = 1, NIIF_WARNING = 2, NIIF_ERROR = 3,
                        NIIF_USER = 4;
// Window messages seen by the handler window and the application hook.
constexpr std::uint32_t WM_DESTROY = 0x0002, WM_SIZE = 0x0005, WM_CLOSE = 0x0010,
                        WM_QUERYENDSESSION = 0x0011, WM_QUIT = 0x0012, WM_ENDSESSION = 0x0016,
                        WM_NCDESTROY = 0x0082, WM_MOUSEMOVE = 0x0200, WM_LBUTTONDOWN = 0x0201,
                        WM_LBUTTONUP = 0x0202, WM_LBUTTONDBLCLK = 0x0203, WM_RBUTTONDOWN = 0x0204,
                        WM_RBUTTONUP = 0x0205, WM_MBUTTONDOWN = 0x0207, WM_MBUTTONUP = 0x0208,
                        WM_SYSCOMMAND = 0x0112;
// WM_SIZE's kind and the WM_SYSCOMMAND command the hook looks at.
constexpr std::uintptr_t SIZE_MINIMIZED = 1, SC_RESTORE = 0xF120;
constexpr std::uint32_t NIN_BALLOONSHOW = 0x402, NIN_BALLOONHIDE = 0x403,
                        NIN_BALLOONTIMEOUT = 0x404, NIN_BALLOONUSERCLICK = 0x405;
// The callback message of our icons.
constexpr std::uint32_t WM_TRAYNOTIFY = 0x0800;

// Field capacities of the shell record, in UTF-16 units without terminator.
constexpr int kTipChars = 127, kInfoChars = 255, kInfoTitleChars = 63;

// The shell's icon record (NOTIFYICONDATAW in its Windows 2000 layout), as fields.
struct TNotifyIconData {
    static constexpr std::uint32_t cbSize = 936;
    std::uint32_t uID = 0;
    std::uint32_t uFlags = 0;
    std::uint32_t uCallbackMessage = 0;
    QIcon hIcon;                // null: no icon
    QString szTip;              // at most kTipChars
    QString szInfo;             // at most kInfoChars
    std::uint32_t uTimeout = 0; // milliseconds
    std::uint32_t uVersion = 0;
    QString szInfoTitle; // at most kInfoTitleChars
    std::uint32_t dwInfoFlags = 0;
};

// Copies text into a record field of `capacity` units: a longer text is cut,
// never in the middle of a surrogate pair.
QString BoundedField(const QString& text, int capacity);

// The notification area.
class TNotifyArea {
  public:
    virtual ~TNotifyArea() = default;
    virtual bool Shell_NotifyIcon(std::uint32_t message, const TNotifyIconData& data) = 0;
};

// Records every call and keeps the set of icons present, as the shell would:
// adding a present icon or modifying or deleting an absent one fails.
class TRecordingNotifyArea : public TNotifyArea {
  public:
    struct Call {
        std::uint32_t message;
        TNotifyIconData data;
    };
    struct Log {
        std::vector<Call> calls;
        std::unordered_map<std::uint32_t, TNotifyIconData> present;
        bool failAll = false; // the shell refuses every call
    };
    explicit TRecordingNotifyArea(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    bool Shell_NotifyIcon(std::uint32_t message, const TNotifyIconData& data) override;

  private:
    std::shared_ptr<Log> log_;
};

using TNotifyAreaFactory = std::function<std::unique_ptr<TNotifyArea>()>;

// The shortest and longest time a balloon of the X11 notification area stays
// (10 and 30 seconds, as the shell's); the record's uTimeout is held within.
void SetBalloonTimeoutRange(std::uint32_t shortestMs, std::uint32_t longestMs);

class TTrayIcon;

// The hidden window shared by all tray icons (one per process, alive while
// at least one TTrayIcon is); it owns the notification-area backend.
class TTrayIconHandler : public QObject {
    Q_OBJECT
  public:
    static TTrayIconHandler* Instance(); // nullptr when no icon exists
    // The backend made for the next handler; empty: the X11 notification
    // area where there is a tray host to dock into, else Qt's tray icon.
    static void SetNotifyAreaFactory(TNotifyAreaFactory factory);

    std::intptr_t TrayWindowProc(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    // The tray host was (re)started: every visible icon is added again.
    void TaskbarCreated();

    TNotifyArea& NotifyArea() { return *notifyArea_; }
    int UserCount() const { return static_cast<int>(icons_.size()); }

  private:
    friend class TTrayIcon;
    TTrayIconHandler();
    ~TTrayIconHandler() override;
    static std::uint32_t Join(TTrayIcon* icon);
    static void Leave(std::uint32_t id);

    std::unique_ptr<TNotifyArea> notifyArea_;
    std::unordered_map<std::uint32_t, TTrayIcon*> icons_;
    int dispatchDepth_ = 0;
    bool orphaned_ = false;
};

// The registered "TaskbarCreated" message; 0 (never matches) where the common
// controls are 4.70 or older.
std::uint32_t TaskbarCreatedMessage();

// An image list the icon can cycle through (not owned by the icon).
class TCustomImageList : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    QList<QIcon> Images;
    int Count() const { return static_cast<int>(Images.size()); }
    QIcon GetIcon(int index) const;
};

// A popup menu with the toolkit's AutoPopup switch; the default item is the
// menu's default action. PopupComponent is whoever popped it up last, so that
// the items' handlers can tell.
class TPopupMenu : public QMenu {
    Q_OBJECT
  public:
    using QMenu::QMenu;
    bool AutoPopup = true;
    QPointer<QObject> PopupComponent;
};

enum TMouseButton : int { mbLeft, mbRight, mbMiddle };
enum TShiftFlag : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32
};
using TShiftState = unsigned;
// The state of Shift, Alt and Control now.
TShiftState ReadShiftKeys();

class TTrayIcon : public QObject {
    Q_OBJECT
  public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    using TMouseEvent =
        std::function<void(QObject* Sender, TMouseButton, TShiftState, int X, int Y)>;
    using TMouseMoveEvent = std::function<void(QObject* Sender, TShiftState, int X, int Y)>;
    using TCycleEvent = std::function<void(QObject* Sender, int NextIndex)>;
    using TStartupEvent = std::function<void(QObject* Sender, bool& ShowMainForm)>;

    explicit TTrayIcon(QWidget* owner);
    ~TTrayIcon() override;

    // After the owner has set the properties (the end of form loading).
    void Loaded();

    // Plain fields.
    bool Enabled = true;
    bool LeftPopup = false;
    bool MinimizeToTray = false;
    QPointer<TPopupMenu> PopupMenu;
    TNotifyEvent OnClick, OnDblClick, OnMouseEnter, OnMouseExit, OnMinimizeToTray;
    TNotifyEvent OnBalloonHintShow, OnBalloonHintHide, OnBalloonHintTimeout, OnBalloonHintClick;
    TMouseEvent OnMouseDown, OnMouseUp;
    TMouseMoveEvent OnMouseMove;
    TCycleEvent OnCycle;
    TStartupEvent OnStartup;

    // Properties with setters.
    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& value);
    bool IconVisible() const { return iconVisible_; }
    void SetIconVisible(bool value);
    const QString& Hint() const { return hint_; }
    void SetHint(const QString& value);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool value);
    TCustomImageList* IconList() const { return iconList_; }
    void SetIconList(TCustomImageList* value);
    int IconIndex() const { return iconIndex_; }
    void SetIconIndex(int value);
    bool CycleIcons() const { return cycleIcons_; }
    void SetCycleIcons(bool value);
    std::uint32_t CycleInterval() const { return cycleInterval_; }
    void SetCycleInterval(std::uint32_t value);
    bool WantEnterExitEvents() const { return wantEnterExitEvents_; }
    void SetWantEnterExitEvents(bool value);
    bool DesignPreview() const { return designPreview_; }
    void SetDesignPreview(bool value) { designPreview_ = value; } // designer only

    virtual bool AllowDefaultIcon() { return true; }
    virtual bool AddTrayIcon();
    virtual bool DeleteTrayIcon();
    virtual bool UpdateTrayIcon();

    bool ShowBalloonHint(const QString& title, const QString& text, int iconKind,
                         int timeoutSeconds);
    void ShowMainForm();
    void HideMainForm();
    void OpenMenuAt(int x, int y);
    void OpenMenuAtCursor();

    // What Loaded's OnStartup decided about showing the main form.
    bool StartupShowsMainForm() const { return startupShowsMainForm_; }
    std::uint32_t IconId() const { return data_.uID; }
    const TNotifyIconData& IconData() const { return data_; }
    // The application window's messages: its minimise (WM_SIZE with
    // SIZE_MINIMIZED) and restore (WM_SYSCOMMAND with SC_RESTORE), and the
    // "TaskbarCreated" re-add. Nothing is marked handled. Qt has no
    // application window: the main form's minimise is fed in from its state
    // change, while a restore by the window system shows the form by itself
    // and cannot be told from the platform's echo of a state the program set,
    // so the restore comes only from callers.
    void AppWindowHook(std::uint32_t msg, std::uintptr_t wParam = 0);

  protected:
    virtual void RaiseClick();
    virtual void RaiseDblClick();
    virtual void RaiseCycle();
    virtual void RaiseMouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void RaiseMouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void RaiseMouseMove(TShiftState shift, int x, int y);
    virtual void RaiseMouseEnter();
    virtual void RaiseMouseExit();
    virtual void SendToTray();
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    friend class TTrayIconHandler;
    bool FillIconData();
    void ClearBalloon();
    void HandleCallback(std::uint32_t mouseMsg);
    void AdvanceCycle();
    void ClickDelayElapsed();
    void CheckMouseLeft();
    QWidget* MainForm() const;

    QPointer<QWidget> owner_;
    QIcon icon_;
    bool iconVisible_ = false;
    QString hint_;
    bool showHint_ = true;
    bool leftButtonDown_ = false;
    bool clickPending_ = false;
    std::unique_ptr<TSimpleTimer> cycleTimer_, clickTimer_, enterExitTimer_;
    int lastX_ = 0, lastY_ = 0;
    bool mouseOutside_ = true;
    bool wantEnterExitEvents_ = false;
    bool dblClickSeen_ = false;
    int iconIndex_ = 0;
    bool designPreview_ = false;
    bool startupPending_ = true;
    QPointer<TCustomImageList> iconList_;
    bool cycleIcons_ = false;
    std::uint32_t cycleInterval_ = 0;
    bool startupShowsMainForm_ = true;
    TNotifyIconData data_;
};

} // namespace pruvell
