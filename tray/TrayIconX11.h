// The notification area on an X11 desktop with a tray host: each icon is a
// window of ours docked through the freedesktop System Tray Protocol
// (plat::x11_system_tray), so that it sees the pointer come, move and go,
// and each balloon is a window of ours that knows when it is shown, when its
// time is up, when it is clicked and when it is taken away. Their callbacks
// reach the shared handler as the shell's messages (WM_MOUSEMOVE, the button
// messages, NIN_BALLOONSHOW/HIDE/TIMEOUT/USERCLICK), posted, so that a
// handler may delete the icon that reported.
//
// A tray host that goes away takes every icon with it; the next one to take
// the selection is announced to the handler as "TaskbarCreated", which adds
// the visible icons again.
#pragma once

#include "TrayIcon.h"

#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>

class QLabel;

namespace pruvell {

// The X11 notification area, or nullptr where there is none to dock into
// (not the xcb platform, no X server of our own to reach, no tray host).
std::unique_ptr<TNotifyArea> MakeX11NotifyArea();

// The icon's window in the tray host.
class TTrayIconWindow : public QWidget {
    Q_OBJECT
  public:
    explicit TTrayIconWindow(std::uint32_t iconId);
    void SetIcon(const QIcon& icon);
    void SetTip(const QString& tip);
    std::uint32_t IconId() const { return iconId_; }
    // Painted in the host since it was last shown (the host has placed and
    // sized it by then).
    bool InPlace() const { return inPlace_; }

  signals:
    void Placed();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    std::uint32_t iconId_;
    QIcon icon_;
    bool inPlace_ = false;
};

// A balloon next to its icon.
class TBalloonWindow : public QWidget {
    Q_OBJECT
  public:
    explicit TBalloonWindow(std::uint32_t iconId);
    // Shows the record's balloon next to `iconArea` (root coordinates) for
    // `timeoutMs`; a balloon still shown is taken away first.
    void ShowFor(const TNotifyIconData& data, const QRect& iconArea, int timeoutMs);
    // Taken away before its time (cleared, replaced, its icon deleted):
    // NIN_BALLOONHIDE when it was shown.
    void Dismiss();
    QString Title() const;
    QString Text() const;

  protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void Close(std::uint32_t notice);

    std::uint32_t iconId_;
    QLabel* icon_;
    QLabel* title_;
    QLabel* text_;
    QTimer timeout_;
};

} // namespace pruvell
