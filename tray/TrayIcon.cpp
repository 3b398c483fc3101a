#include "TrayIcon.h"
#include "TrayIconX11.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QScreen>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QWindowStateChangeEvent>

#include <algorithm>
#include <map>

namespace pruvell {

QString BoundedField(const QString& text, int capacity) {
    if (text.size() <= capacity) return text;
    int n = capacity;
    // Never leave half of a surrogate pair at the end.
    if (n > 0 && text.at(n - 1).isHighSurrogate()) --n;
    return text.left(n);
}

bool TRecordingNotifyArea::Shell_NotifyIcon(std::uint32_t message, const TNotifyIconData& data) {
    log_->calls.push_back({message, data});
    if (log_->failAll) return false;
    const bool present = log_->present.count(data.uID) != 0;
    switch (message) {
    case NIM_ADD:
        if (present) return false;
        log_->present[data.uID] = data;
        return true;
    case NIM_MODIFY:
        if (!present) return false;
        log_->present[data.uID] = data;
        return true;
    case NIM_DELETE:
        return log_->present.erase(data.uID) != 0;
    case NIM_SETVERSION:
        return present;
    default:
        return false;
    }
}

// ------------------------------------------------------------ Qt backend

namespace {

// Qt's tray icon as the notification area. Qt reports presses as
// activations; they are handed to the handler as the shell's classic mouse
// messages, queued, so that a handler may destroy the icon that reported.
class QtNotifyArea : public QObject, public TNotifyArea {
    Q_OBJECT
  public:
    QtNotifyArea() {
        // The X11 platform tells when a tray host takes the tray selection:
        // the moral equivalent of the "TaskbarCreated" broadcast.
        if (qGuiApp && qGuiApp->platformNativeInterface()) {
            // QPlatformNativeInterface is a QObject; only its signal is used.
            auto* native = reinterpret_cast<QObject*>(qGuiApp->platformNativeInterface());
            const int sig =
                native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)");
            const int slot = metaObject()->indexOfSlot("TrayHostChanged()");
            if (sig >= 0 && slot >= 0)
                connect(native, native->metaObject()->method(sig), this, metaObject()->method(slot),
                        Qt::QueuedConnection);
        }
    }

    bool Shell_NotifyIcon(std::uint32_t message, const TNotifyIconData& data) override {
        auto it = icons_.find(data.uID);
        switch (message) {
        case NIM_ADD: {
            if (it == icons_.end()) it = icons_.emplace(data.uID, MakeIcon(data.uID)).first;
            Apply(*it->second, data);
            it->second->show();
            return QSystemTrayIcon::isSystemTrayAvailable();
        }
        case NIM_MODIFY:
            if (it == icons_.end()) return false;
            Apply(*it->second, data);
            if ((data.uFlags & NIF_INFO) && !data.szInfo.isEmpty()) ShowBalloon(*it->second, data);
            return true;
        case NIM_DELETE:
            if (it == icons_.end()) return false;
            it->second->hide();
            icons_.erase(it);
            return true;
        case NIM_SETVERSION:
            return it != icons_.end();
        default:
            return false;
        }
    }

  public slots:
    void TrayHostChanged() {
        if (QSystemTrayIcon::isSystemTrayAvailable())
            if (TTrayIconHandler* h = TTrayIconHandler::Instance()) h->TaskbarCreated();
    }

  private:
    std::unique_ptr<QSystemTrayIcon> MakeIcon(std::uint32_t id) {
        auto icon = std::make_unique<QSystemTrayIcon>();
        auto post = [id](std::uint32_t msg) {
            if (TTrayIconHandler* h = TTrayIconHandler::Instance())
                h->TrayWindowProc(WM_TRAYNOTIFY, id, msg);
        };
        connect(
            icon.get(), &QSystemTrayIcon::activated, icon.get(),
            [post](QSystemTrayIcon::ActivationReason reason) {
                switch (reason) {
                case QSystemTrayIcon::Trigger:
                    post(WM_LBUTTONDOWN);
                    post(WM_LBUTTONUP);
                    break;
                case QSystemTrayIcon::DoubleClick:
                    post(WM_LBUTTONDBLCLK);
                    post(WM_LBUTTONUP);
                    break;
                case QSystemTrayIcon::Context:
                    post(WM_RBUTTONDOWN);
                    post(WM_RBUTTONUP);
                    break;
                case QSystemTrayIcon::MiddleClick:
                    post(WM_MBUTTONDOWN);
                    post(WM_MBUTTONUP);
                    break;
                default:
                    break;
                }
            },
            Qt::QueuedConnection);
        connect(
            icon.get(), &QSystemTrayIcon::messageClicked, icon.get(),
            [post] { post(NIN_BALLOONUSERCLICK); }, Qt::QueuedConnection);
        return icon;
    }

    static void Apply(QSystemTrayIcon& icon, const TNotifyIconData& data) {
        if (data.uFlags & NIF_ICON) icon.setIcon(data.hIcon);
        if (data.uFlags & NIF_TIP) icon.setToolTip(data.szTip);
    }

    static void ShowBalloon(QSystemTrayIcon& icon, const TNotifyIconData& data) {
        const int ms = static_cast<int>(data.uTimeout);
        switch (data.dwInfoFlags) {
        case NIIF_USER:
            icon.showMessage(data.szInfoTitle, data.szInfo, data.hIcon, ms);
            break;
        case NIIF_INFO:
            icon.showMessage(data.szInfoTitle, data.szInfo, QSystemTrayIcon::Information, ms);
            break;
        case NIIF_WARNING:
            icon.showMessage(data.szInfoTitle, data.szInfo, QSystemTrayIcon::Warning, ms);
            break;
        case NIIF_ERROR:
            icon.showMessage(data.szInfoTitle, data.szInfo, QSystemTrayIcon::Critical, ms);
            break;
        default:
            icon.showMessage(data.szInfoTitle, data.szInfo, QSystemTrayIcon::NoIcon, ms);
            break;
        }
    }

    std::map<std::uint32_t, std::unique_ptr<QSystemTrayIcon>> icons_;
};

TTrayIconHandler* g_trayHandler = nullptr;
TNotifyAreaFactory g_notifyAreaFactory;
std::uint32_t g_nextIconId = 1;

// Common-controls version of this platform, major * 65536 + minor: the
// notification area here always announces a new tray host.
constexpr std::uint32_t kComCtlVersion = 0x00060000;

} // namespace

std::uint32_t TaskbarCreatedMessage() {
    // Registered window messages live in 0xC000..0xFFFF; this is the one.
    return kComCtlVersion > 0x00040046 ? 0xC0A1u : 0u;
}

TShiftState ReadShiftKeys() {
    const Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
    TShiftState s = 0;
    if (m & Qt::ShiftModifier) s |= ssShift;
    if (m & Qt::AltModifier) s |= ssAlt;
    if (m & Qt::ControlModifier) s |= ssCtrl;
    return s;
}

QIcon TCustomImageList::GetIcon(int index) const {
    if (index < 0 || index >= Count()) return {};
    return Images.at(index);
}

// ------------------------------------------------------------ handler

TTrayIconHandler* TTrayIconHandler::Instance() {
    return g_trayHandler;
}

void TTrayIconHandler::SetNotifyAreaFactory(TNotifyAreaFactory factory) {
    g_notifyAreaFactory = std::move(factory);
}

namespace {
std::unique_ptr<TNotifyArea> DefaultNotifyArea() {
    if (auto x11 = MakeX11NotifyArea()) return x11;
    return std::make_unique<QtNotifyArea>();
}
} // namespace

TTrayIconHandler::TTrayIconHandler()
    : notifyArea_(g_notifyAreaFactory ? g_notifyAreaFactory() : DefaultNotifyArea()) {}

TTrayIconHandler::~TTrayIconHandler() {
    if (g_trayHandler == this) g_trayHandler = nullptr;
}

std::uint32_t TTrayIconHandler::Join(TTrayIcon* icon) {
    if (!g_trayHandler) g_trayHandler = new TTrayIconHandler;
    std::uint32_t id = g_nextIconId++;
    if (id == 0) id = g_nextIconId++;
    g_trayHandler->icons_[id] = icon;
    return id;
}

void TTrayIconHandler::Leave(std::uint32_t id) {
    TTrayIconHandler* h = g_trayHandler;
    if (!h) return;
    h->icons_.erase(id);
    if (!h->icons_.empty()) return;
    g_trayHandler = nullptr;
    if (h->dispatchDepth_ > 0)
        h->orphaned_ = true; // freed when the message that led here returns
    else
        delete h;
}

std::intptr_t TTrayIconHandler::TrayWindowProc(std::uint32_t msg, std::uintptr_t wParam,
                                               std::intptr_t lParam) {
    switch (msg) {
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_QUIT:
    case WM_ENDSESSION:
    case WM_NCDESTROY:
        return 1; // the hidden window lives as long as its icons
    case WM_TRAYNOTIFY:
        break;
    default:
        return 0; // the default window procedure
    }
    auto it = icons_.find(static_cast<std::uint32_t>(wParam));
    if (wParam > UINT32_MAX || it == icons_.end()) return 0; // no such live icon
    QPointer<TTrayIcon> icon = it->second;
    ++dispatchDepth_;
    const auto code = static_cast<std::uint32_t>(lParam);
    auto balloon = [this](TTrayIcon::TNotifyEvent ev) { // a copy: it may free the icon
        if (ev) ev(this);
    };
    switch (code) {
    case NIN_BALLOONSHOW:
        balloon(icon->OnBalloonHintShow);
        break;
    case NIN_BALLOONHIDE:
        balloon(icon->OnBalloonHintHide);
        break;
    case NIN_BALLOONTIMEOUT:
        balloon(icon->OnBalloonHintTimeout);
        break;
    case NIN_BALLOONUSERCLICK:
        balloon(icon->OnBalloonHintClick);
        break;
    default:
        icon->HandleCallback(code);
        break;
    }
    if (--dispatchDepth_ == 0 && orphaned_) delete this;
    return 0;
}

void TTrayIconHandler::TaskbarCreated() {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, icon] : icons_)
        ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    QPointer<TTrayIconHandler> self = this;
    for (std::uint32_t id : ids) {
        if (!self) return;
        auto it = icons_.find(id);
        if (it != icons_.end()) it->second->AppWindowHook(TaskbarCreatedMessage());
    }
}

// ------------------------------------------------------------ TTrayIcon

TTrayIcon::TTrayIcon(QWidget* owner) : QObject(owner), owner_(owner) {
    data_.uID = TTrayIconHandler::Join(this);
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = WM_TRAYNOTIFY;
    cycleTimer_ = std::make_unique<TSimpleTimer>();
    cycleTimer_->SetOnElapsed([this](TSimpleTimer*) { AdvanceCycle(); });
    clickTimer_ = std::make_unique<TSimpleTimer>();
    clickTimer_->SetOnElapsed([this](TSimpleTimer*) { ClickDelayElapsed(); });
    enterExitTimer_ =
        std::make_unique<TSimpleTimer>(20, [this](TSimpleTimer*) { CheckMouseLeft(); });
    if (owner_) {
        owner_->installEventFilter(this);
        if (QWidget* main = MainForm(); main && main != owner_) main->installEventFilter(this);
    }
}

TTrayIcon::~TTrayIcon() {
    SetIconVisible(false);
    cycleTimer_.reset();
    clickTimer_.reset();
    enterExitTimer_.reset();
    if (owner_) {
        owner_->removeEventFilter(this);
        if (QWidget* main = MainForm()) main->removeEventFilter(this);
    }
    TTrayIconHandler::Leave(data_.uID);
}

QWidget* TTrayIcon::MainForm() const {
    return owner_ ? owner_->window() : nullptr;
}

void TTrayIcon::Loaded() {
    if (owner_) {
        bool showMainForm = true;
        if (auto ev = OnStartup) ev(this, showMainForm);
        startupShowsMainForm_ = showMainForm;
        if (!showMainForm) HideMainForm();
    }
    startupPending_ = false;
    UpdateTrayIcon();
    SetIconVisible(iconVisible_);
    SetCycleIcons(cycleIcons_);
    SetWantEnterExitEvents(wantEnterExitEvents_);
    // Version 0: the classic callback messages (button down and up).
    data_.uVersion = 0;
    if (TTrayIconHandler* h = TTrayIconHandler::Instance())
        h->NotifyArea().Shell_NotifyIcon(NIM_SETVERSION, data_);
}

// ------------------------------------------------------------ setters

void TTrayIcon::SetIcon(const QIcon& value) {
    icon_ = value;
    UpdateTrayIcon();
}

void TTrayIcon::SetIconVisible(bool value) {
    if (value)
        AddTrayIcon();
    else
        DeleteTrayIcon();
}

void TTrayIcon::SetHint(const QString& value) {
    hint_ = value;
    UpdateTrayIcon();
}

void TTrayIcon::SetShowHint(bool value) {
    showHint_ = value;
    UpdateTrayIcon();
}

void TTrayIcon::SetIconList(TCustomImageList* value) {
    if (iconList_) disconnect(iconList_, &QObject::destroyed, this, nullptr);
    iconList_ = value;
    if (value)
        connect(value, &QObject::destroyed, this, [this] {
            iconList_ = nullptr;
            SetIconList(nullptr);
        });
    SetIconIndex(0);
}

void TTrayIcon::SetIconIndex(int value) {
    if (iconList_ && iconList_->Count() > 0) {
        iconIndex_ = std::clamp(value, 0, iconList_->Count() - 1);
        icon_ = iconList_->GetIcon(iconIndex_);
    } else {
        iconIndex_ = 0; // nothing to show from an absent or empty list
    }
    UpdateTrayIcon();
}

void TTrayIcon::SetCycleIcons(bool value) {
    cycleIcons_ = value;
    if (value) {
        SetIconIndex(0);
        cycleTimer_->SetPeriod(cycleInterval_);
    }
    cycleTimer_->SetActive(value);
}

void TTrayIcon::SetCycleInterval(std::uint32_t value) {
    if (value == cycleInterval_) return;
    cycleInterval_ = value;
    SetCycleIcons(cycleIcons_);
}

void TTrayIcon::SetWantEnterExitEvents(bool value) {
    wantEnterExitEvents_ = value;
    enterExitTimer_->SetActive(value);
}

// ------------------------------------------------------------ the shell record

bool TTrayIcon::FillIconData() {
    data_.hIcon = icon_;
    data_.szTip = (!hint_.isEmpty() && showHint_) ? BoundedField(hint_, kTipChars) : QString();
    return true;
}

bool TTrayIcon::AddTrayIcon() {
    iconVisible_ = true;
    FillIconData();
    TTrayIconHandler* h = TTrayIconHandler::Instance();
    return h && h->NotifyArea().Shell_NotifyIcon(NIM_ADD, data_);
}

bool TTrayIcon::DeleteTrayIcon() {
    iconVisible_ = false;
    FillIconData();
    TTrayIconHandler* h = TTrayIconHandler::Instance();
    return h && h->NotifyArea().Shell_NotifyIcon(NIM_DELETE, data_);
}

bool TTrayIcon::UpdateTrayIcon() {
    FillIconData();
    TTrayIconHandler* h = TTrayIconHandler::Instance();
    return h && h->NotifyArea().Shell_NotifyIcon(NIM_MODIFY, data_);
}

void TTrayIcon::ClearBalloon() {
    data_.uFlags |= NIF_INFO;
    data_.szInfo.clear();
    UpdateTrayIcon();
}

bool TTrayIcon::ShowBalloonHint(const QString& title, const QString& text, int iconKind,
                                int timeoutSeconds) {
    static constexpr std::uint32_t kInfoFlags[] = {NIIF_NONE, NIIF_INFO, NIIF_WARNING, NIIF_ERROR,
                                                   NIIF_USER};
    ClearBalloon();
    data_.uFlags |= NIF_INFO;
    data_.szInfo = BoundedField(text, kInfoChars);
    data_.szInfoTitle = BoundedField(title, kInfoTitleChars);
    data_.uTimeout = static_cast<std::uint32_t>(std::clamp(timeoutSeconds, 0, 255)) * 1000u;
    data_.dwInfoFlags = (iconKind >= 0 && iconKind <= 4) ? kInfoFlags[iconKind] : NIIF_NONE;
    const bool ok = UpdateTrayIcon();
    data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    return ok;
}

// ------------------------------------------------------------ main form

void TTrayIcon::ShowMainForm() {
    QWidget* main = MainForm();
    if (!main) return;
    if (main->isMinimized()) main->showNormal();
    main->setVisible(true);
    main->raise();
    main->activateWindow();
}

void TTrayIcon::HideMainForm() {
    if (QWidget* main = MainForm()) main->setVisible(false);
}

void TTrayIcon::SendToTray() {
    QPointer<TTrayIcon> self = this;
    HideMainForm();
    if (self) SetIconVisible(true);
}

void TTrayIcon::OpenMenuAt(int x, int y) {
    if (!PopupMenu) return;
    // Qt's menu takes the foreground and closes on a click elsewhere by
    // itself; the shell's foreground and WM_NULL workarounds have no use here.
    PopupMenu->PopupComponent = this;
    PopupMenu->popup(QPoint(x, y));
}

void TTrayIcon::OpenMenuAtCursor() {
    const QPoint p = QCursor::pos();
    OpenMenuAt(p.x(), p.y());
}

void TTrayIcon::AppWindowHook(std::uint32_t msg, std::uintptr_t wParam) {
    QPointer<TTrayIcon> self = this;
    if (msg == WM_SIZE && wParam == SIZE_MINIMIZED && MinimizeToTray) {
        SendToTray();
        if (!self) return;
    } else if (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) {
        if (QWidget* main = MainForm()) {
            if (main->isMinimized()) main->showNormal();
            main->setVisible(true);
            if (!self) return;
        }
    }
    if (msg != 0 && msg == TaskbarCreatedMessage() && iconVisible_) AddTrayIcon();
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == owner_ && event->type() == QEvent::Show) {
        owner_->activateWindow();
        return false;
    }
    auto* form = qobject_cast<QWidget*>(watched);
    if (!form || event->type() != QEvent::WindowStateChange) return false;
    const Qt::WindowStates old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    if (!form->isMinimized() || (old & Qt::WindowMinimized) || !MinimizeToTray) return false;

    // The owner form's minimise (its SC_MINIMIZE) is the tray's when a
    // handler wants it: the form never sees it and goes to the tray. Qt
    // reports it once the window system has minimised the window; taking the
    // window back out of that would have the window system show it again, so
    // it stays minimised in the tray until ShowMainForm brings it back normal.
    // Queued, as showMinimized shows the window again after the state change.
    if (watched == owner_ && owner_->isWindow() && OnMinimizeToTray) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                QPointer<TTrayIcon> self = this;
                if (auto ev = OnMinimizeToTray) ev(this);
                if (self) SendToTray();
            },
            Qt::QueuedConnection);
        return true; // not passed on
    }
    // Else the minimise goes through, and the application's WM_SIZE with
    // SIZE_MINIMIZED follows once the toolkit has finished minimising.
    if (watched == MainForm())
        QMetaObject::invokeMethod(
            this, [this] { AppWindowHook(WM_SIZE, SIZE_MINIMIZED); }, Qt::QueuedConnection);
    return false;
}

// ------------------------------------------------------------ dispatchers

void TTrayIcon::RaiseClick() {
    if (auto ev = OnClick) ev(this);
}
void TTrayIcon::RaiseDblClick() {
    if (auto ev = OnDblClick) ev(this);
}
void TTrayIcon::RaiseCycle() {
    const int next = (iconList_ && iconIndex_ < iconList_->Count() - 1) ? iconIndex_ + 1 : 0;
    if (auto ev = OnCycle) ev(this, next);
}
void TTrayIcon::RaiseMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    if (auto ev = OnMouseDown) ev(this, button, shift, x, y);
}
void TTrayIcon::RaiseMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    if (auto ev = OnMouseUp) ev(this, button, shift, x, y);
}
void TTrayIcon::RaiseMouseMove(TShiftState shift, int x, int y) {
    if (auto ev = OnMouseMove) ev(this, shift, x, y);
}
void TTrayIcon::RaiseMouseEnter() {
    if (auto ev = OnMouseEnter) ev(this);
}
void TTrayIcon::RaiseMouseExit() {
    if (auto ev = OnMouseExit) ev(this);
}

// ------------------------------------------------------------ callbacks

void TTrayIcon::HandleCallback(std::uint32_t mouseMsg) {
    if (!Enabled) return;
    // Any event handler may destroy this icon; stop touching it if so.
    QPointer<TTrayIcon> self = this;
    const QPoint p = QCursor::pos();
    const int x = p.x(), y = p.y();
    const TShiftState shift = ReadShiftKeys();
    const bool autoPopup = PopupMenu && PopupMenu->AutoPopup;
    switch (mouseMsg) {
    case WM_MOUSEMOVE:
        if (wantEnterExitEvents_ && mouseOutside_) {
            RaiseMouseEnter();
            if (!self) return;
            mouseOutside_ = false;
        }
        RaiseMouseMove(shift, x, y);
        if (!self) return;
        lastX_ = x;
        lastY_ = y;
        break;
    case WM_LBUTTONDOWN:
        if (OnDblClick) {
            clickTimer_->SetPeriod(static_cast<std::uint32_t>(
                QGuiApplication::styleHints()->mouseDoubleClickInterval()));
            clickTimer_->SetActive(true);
        }
        RaiseMouseDown(mbLeft, shift | ssLeft, x, y);
        if (!self) return;
        leftButtonDown_ = true;
        if (LeftPopup && autoPopup && PopupMenu) OpenMenuAtCursor();
        break;
    case WM_LBUTTONUP:
        if (leftButtonDown_) clickPending_ = true;
        if (leftButtonDown_ && !clickTimer_->Active()) {
            leftButtonDown_ = clickPending_ = false;
            RaiseClick();
            if (!self) return;
        }
        leftButtonDown_ = false;
        RaiseMouseUp(mbLeft, shift | ssLeft, x, y);
        break;
    case WM_LBUTTONDBLCLK:
        clickPending_ = false;
        dblClickSeen_ = true;
        RaiseDblClick();
        if (!self) return;
        if (autoPopup && PopupMenu && !LeftPopup)
            if (QAction* item = PopupMenu->defaultAction()) item->trigger();
        break;
    case WM_RBUTTONDOWN:
        RaiseMouseDown(mbRight, shift | ssRight, x, y);
        if (!self) return;
        if (autoPopup && PopupMenu) OpenMenuAtCursor();
        break;
    case WM_RBUTTONUP:
        RaiseMouseUp(mbRight, shift | ssRight, x, y);
        break;
    case WM_MBUTTONDOWN:
        RaiseMouseDown(mbMiddle, shift | ssMiddle, x, y);
        break;
    case WM_MBUTTONUP:
        RaiseMouseUp(mbMiddle, shift | ssMiddle, x, y);
        break;
    default:
        break; // not a message of ours
    }
}

void TTrayIcon::ClickDelayElapsed() {
    QPointer<TTrayIcon> self = this;
    clickTimer_->SetActive(false);
    if (!dblClickSeen_ && clickPending_) {
        clickPending_ = false;
        RaiseClick();
        if (!self) return;
    }
    dblClickSeen_ = false;
}

void TTrayIcon::AdvanceCycle() {
    if (!iconList_ || iconList_->Count() == 0) return;
    QPointer<TTrayIcon> self = this;
    icon_ = iconList_->GetIcon(std::min(iconIndex_, iconList_->Count() - 1));
    UpdateTrayIcon();
    RaiseCycle();
    if (!self || !iconList_) return;
    SetIconIndex(iconIndex_ < iconList_->Count() - 1 ? iconIndex_ + 1 : 0);
}

void TTrayIcon::CheckMouseLeft() {
    if (mouseOutside_) return;
    const QPoint p = QCursor::pos();
    if (p.x() != lastX_ || p.y() != lastY_) {
        mouseOutside_ = true;
        RaiseMouseExit();
    }
}

} // namespace pruvell

#include "TrayIcon.moc"
