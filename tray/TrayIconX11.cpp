#include "TrayIconX11.h"

#include <QApplication>
#include <QEnterEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>

#include <algorithm>
#include <atomic>
#include <map>

#include "x11_system_tray.h"

namespace pruvell {

namespace {

// How long a balloon may stay, whatever its record asks: the shell's own
// limits (10 to 30 seconds).
std::atomic<std::uint32_t> g_balloonShortest{10000}, g_balloonLongest{30000};

// The shell's callback message for icon `id`, delivered from the event loop.
void PostTrayMessage(std::uint32_t id, std::uint32_t msg) {
    QMetaObject::invokeMethod(
        qApp,
        [id, msg] {
            if (TTrayIconHandler* h = TTrayIconHandler::Instance())
                h->TrayWindowProc(WM_TRAYNOTIFY, id, msg);
        },
        Qt::QueuedConnection);
}

class X11NotifyArea : public QObject, public TNotifyArea {
  public:
    explicit X11NotifyArea(std::unique_ptr<plat::x11_system_tray> tray) : tray_(std::move(tray)) {
        notifier_ = std::make_unique<QSocketNotifier>(tray_->fd(), QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { ProcessEvents(); });
    }
    ~X11NotifyArea() override {
        notifier_.reset();
        icons_.clear(); // the windows go with their entries
    }

    bool Shell_NotifyIcon(std::uint32_t message, const TNotifyIconData& data) override {
        auto it = icons_.find(data.uID);
        switch (message) {
        case NIM_ADD: {
            if (it != icons_.end() || tray_->manager() == 0) return false;
            Entry e;
            e.window = std::make_unique<TTrayIconWindow>(data.uID);
            connect(
                e.window.get(), &TTrayIconWindow::Placed, this,
                [this, id = data.uID] { ShowPendingBalloon(id); }, Qt::QueuedConnection);
            Apply(*e.window, data);
            const bool docked = tray_->request_dock(static_cast<std::uint32_t>(e.window->winId()),
                                                    e.window->width(), e.window->height());
            ProcessEventsLater();
            if (!docked) return false;
            // Shown once the host has taken it (ProcessEvents).
            icons_.emplace(data.uID, std::move(e));
            return true;
        }
        case NIM_MODIFY:
            if (it == icons_.end()) return false;
            Apply(*it->second.window, data);
            if (data.uFlags & NIF_INFO) {
                if (data.szInfo.isEmpty())
                    Dismiss(it->second);
                else
                    ShowBalloon(it->second, data);
            }
            return true;
        case NIM_DELETE:
            if (it == icons_.end()) return false;
            Dismiss(it->second);
            icons_.erase(it);
            return true;
        case NIM_SETVERSION:
            return it != icons_.end();
        default:
            return false;
        }
    }

  private:
    struct Entry {
        std::unique_ptr<TTrayIconWindow> window;
        std::unique_ptr<TBalloonWindow> balloon;
        // A balloon asked for before the host has taken and placed the
        // icon: shown next to it once it is there.
        std::unique_ptr<TNotifyIconData> pendingBalloon;
    };

    static void Apply(TTrayIconWindow& window, const TNotifyIconData& data) {
        if (data.uFlags & NIF_ICON) window.SetIcon(data.hIcon);
        if (data.uFlags & NIF_TIP) window.SetTip(data.szTip);
    }

    static void Dismiss(Entry& e) {
        e.pendingBalloon.reset();
        if (e.balloon) e.balloon->Dismiss();
    }

    void ShowPendingBalloon(std::uint32_t id) {
        auto it = icons_.find(id);
        if (it == icons_.end()) return;
        if (auto pending = std::move(it->second.pendingBalloon)) ShowBalloon(it->second, *pending);
    }

    void ShowBalloon(Entry& e, const TNotifyIconData& data) {
        if (!e.window->InPlace()) {
            Dismiss(e);
            e.pendingBalloon = std::make_unique<TNotifyIconData>(data);
            return;
        }
        if (!e.balloon) e.balloon = std::make_unique<TBalloonWindow>(data.uID);
        QRect area(QPoint(0, 0), e.window->size());
        int x = 0, y = 0;
        if (tray_->root_position(static_cast<std::uint32_t>(e.window->winId()), x, y))
            area.moveTo(x, y);
        ProcessEventsLater();
        const std::uint32_t shortest = g_balloonShortest.load(), longest = g_balloonLongest.load();
        const std::uint32_t ms = std::clamp(data.uTimeout, shortest, std::max(shortest, longest));
        e.balloon->ShowFor(data, area, static_cast<int>(std::min<std::uint32_t>(ms, INT32_MAX)));
    }

    // A reply read from the server may have brought events with it, which
    // the socket no longer announces.
    void ProcessEventsLater() {
        QMetaObject::invokeMethod(
            this, [this] { ProcessEvents(); }, Qt::QueuedConnection);
    }

    void ProcessEvents() {
        const plat::x11_system_tray::events events = tray_->process_events();
        if (!tray_->connected()) notifier_->setEnabled(false);
        for (const std::uint32_t docked : events.docked)
            for (auto& [id, e] : icons_)
                if (static_cast<std::uint32_t>(e.window->winId()) == docked) e.window->show();
        if (!events.host_changed) return;
        // The old host took our windows with it (or handed them back to the
        // root window): they go, and the icons are absent until added again.
        icons_.clear();
        if (tray_->manager() != 0)
            if (TTrayIconHandler* h = TTrayIconHandler::Instance()) h->TaskbarCreated();
    }

    std::unique_ptr<plat::x11_system_tray> tray_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<std::uint32_t, Entry> icons_;
};

QIcon BalloonIcon(const TNotifyIconData& data) {
    switch (data.dwInfoFlags) {
    case NIIF_INFO:
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation);
    case NIIF_WARNING:
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    case NIIF_ERROR:
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical);
    case NIIF_USER:
        return data.hIcon;
    default:
        return {};
    }
}

} // namespace

void SetBalloonTimeoutRange(std::uint32_t shortestMs, std::uint32_t longestMs) {
    g_balloonShortest.store(shortestMs);
    g_balloonLongest.store(longestMs);
}

std::unique_ptr<TNotifyArea> MakeX11NotifyArea() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto tray = plat::x11_system_tray::open();
    if (!tray || tray->manager() == 0) return nullptr;
    return std::make_unique<X11NotifyArea>(std::move(tray));
}

// ------------------------------------------------------------ icon window

TTrayIconWindow::TTrayIconWindow(std::uint32_t iconId)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint),
      iconId_(iconId) {
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setMouseTracking(true);
    // The host sizes its icons from the window's size hints: the common
    // icon size of the desktops' trays, as the least it should get.
    const QSize size(22, 22);
    setMinimumSize(size);
    resize(size);
}

void TTrayIconWindow::SetIcon(const QIcon& icon) {
    icon_ = icon;
    update();
}

void TTrayIconWindow::SetTip(const QString& tip) {
    setToolTip(tip);
}

void TTrayIconWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    icon_.paint(&p, rect());
    if (!inPlace_) {
        inPlace_ = true;
        emit Placed();
    }
}

void TTrayIconWindow::hideEvent(QHideEvent*) {
    inPlace_ = false;
}

// The pointer coming onto the icon is a move over it, as in the shell.
void TTrayIconWindow::enterEvent(QEnterEvent*) {
    PostTrayMessage(iconId_, WM_MOUSEMOVE);
}

void TTrayIconWindow::mouseMoveEvent(QMouseEvent*) {
    PostTrayMessage(iconId_, WM_MOUSEMOVE);
}

namespace {
// The shell's message for a press or release of `button`; 0: none.
std::uint32_t ButtonMessage(Qt::MouseButton button, bool down) {
    switch (button) {
    case Qt::LeftButton:
        return down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
    case Qt::RightButton:
        return down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
    case Qt::MiddleButton:
        return down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
    default:
        return 0;
    }
}
} // namespace

void TTrayIconWindow::mousePressEvent(QMouseEvent* event) {
    if (const std::uint32_t msg = ButtonMessage(event->button(), true))
        PostTrayMessage(iconId_, msg);
}

// The second press of a double click: the left button's double-click
// message; the other buttons have none of their own and press again.
void TTrayIconWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        PostTrayMessage(iconId_, WM_LBUTTONDBLCLK);
    else
        mousePressEvent(event);
}

void TTrayIconWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (const std::uint32_t msg = ButtonMessage(event->button(), false))
        PostTrayMessage(iconId_, msg);
}

// ------------------------------------------------------------ balloon

TBalloonWindow::TBalloonWindow(std::uint32_t iconId)
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::BypassWindowManagerHint),
      iconId_(iconId), icon_(new QLabel(this)), title_(new QLabel(this)), text_(new QLabel(this)) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setBackgroundRole(QPalette::ToolTipBase);
    setForegroundRole(QPalette::ToolTipText);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setTextFormat(Qt::PlainText);
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    text_->setMaximumWidth(300);
    for (QLabel* l : {icon_, title_, text_})
        l->setForegroundRole(QPalette::ToolTipText);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(10, 8, 12, 10);
    grid->setHorizontalSpacing(8);
    grid->addWidget(icon_, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(title_, 0, 1);
    grid->addWidget(text_, 1, 1);
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] { Close(NIN_BALLOONTIMEOUT); });
}

QString TBalloonWindow::Title() const {
    return title_->text();
}

QString TBalloonWindow::Text() const {
    return text_->text();
}

void TBalloonWindow::ShowFor(const TNotifyIconData& data, const QRect& iconArea, int timeoutMs) {
    Dismiss();
    const QIcon icon = BalloonIcon(data);
    icon_->setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(32, 32));
    icon_->setVisible(!icon.isNull());
    title_->setText(data.szInfoTitle);
    title_->setVisible(!data.szInfoTitle.isEmpty());
    text_->setText(data.szInfo);
    // A short text on one line; a long one wraps at the widest line.
    const int widest = text_->maximumWidth();
    text_->setMinimumWidth(
        std::min(widest, text_->fontMetrics().boundingRect(data.szInfo).width() + 2));
    adjustSize();

    // Below an icon in the upper half of its screen, above one in the lower
    // half; as far right as the icon, and always on the screen.
    QScreen* screen = QGuiApplication::screenAt(iconArea.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect avail = screen ? screen->geometry() : QRect(0, 0, 640, 480);
    int y = iconArea.center().y() < avail.center().y() ? iconArea.bottom() + 4
                                                       : iconArea.top() - height() - 4;
    int x = iconArea.right() - width() + 1;
    x = std::clamp(x, avail.left(), std::max(avail.left(), avail.right() - width() + 1));
    y = std::clamp(y, avail.top(), std::max(avail.top(), avail.bottom() - height() + 1));
    move(x, y);
    timeout_.setInterval(timeoutMs);
    show();
}

void TBalloonWindow::Dismiss() {
    if (isVisible()) Close(NIN_BALLOONHIDE);
}

void TBalloonWindow::Close(std::uint32_t notice) {
    timeout_.stop();
    hide();
    PostTrayMessage(iconId_, notice);
}

void TBalloonWindow::showEvent(QShowEvent*) {
    PostTrayMessage(iconId_, NIN_BALLOONSHOW);
    timeout_.start();
}

void TBalloonWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().toolTipBase());
    p.setPen(palette().toolTipText().color());
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TBalloonWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Close(NIN_BALLOONUSERCLICK);
}

} // namespace pruvell
