// The tray icon in a real tray host: an Xvfb server on a display it picks
// itself, trayer as the XEmbed tray, and Qt's xcb platform. The icon must
// appear in the tray and a balloon next to it; both are kept as pictures
// under the build's artifacts folder.
#include "TrayIcon.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "x11_tray_host.h"

using namespace pruvell;

namespace {

test_support::x11_tray_host g_host;

QImage Screen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

QIcon TestIcon() {
    QPixmap pm(32, 32);
    pm.fill(QColor(0, 160, 0));
    QPainter p(&pm);
    p.fillRect(8, 8, 16, 16, QColor(250, 250, 250));
    p.fillRect(12, 12, 8, 8, QColor(200, 0, 0));
    return QIcon(pm);
}

// The box of the pixels of one colour (empty when there are none).
QRect ColourBox(const QImage& img, QRgb colour) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) box |= QRect(x, y, 1, 1);
    return box;
}

int CountColour(const QImage& img, QRgb colour) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) ++n;
    return n;
}

QWidget* VisibleBalloon() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QBalloonTip") && w->isVisible()) return w;
    return nullptr;
}

} // namespace

TEST(TrayHost, IconAppearsInTheTrayAndShowsABalloon) {
    if (!g_host.skip_reason().empty()) GTEST_SKIP() << g_host.skip_reason();
    ASSERT_TRUE(g_host.start_error().empty()) << g_host.start_error();
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000))
        << "trayer did not take the tray";
    QDir().mkpath(QStringLiteral(PRUVELL_ARTIFACT_DIR));

    QWidget owner;
    auto* icon = new TTrayIcon(&owner);
    icon->SetIcon(TestIcon());
    icon->SetHint(QStringLiteral("Pruvell"));
    icon->SetIconVisible(true);
    icon->Loaded();
    EXPECT_TRUE(icon->IconVisible());

    // The icon's green shows up in the tray once it is embedded and painted.
    const QRgb green = qRgb(0, 160, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountColour(Screen(), green) > 20; }, 15000))
        << "the icon never appeared in the tray";
    const QImage withIcon = Screen();
    // In trayer's panel: the top 32 rows, at the right edge.
    const QRect box = ColourBox(withIcon, green);
    EXPECT_LE(box.bottom(), 32) << box.y();
    EXPECT_GE(box.right(), withIcon.width() - 40) << box.x();
    EXPECT_TRUE(withIcon.save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_icon.png")));

    // Presses on the icon in the tray come back as the shell's messages: a
    // left click is a click, a right press opens the popup menu.
    QWidget* sys = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QSystemTrayIconSys")) sys = w;
    ASSERT_NE(sys, nullptr);
    int clicks = 0;
    icon->OnClick = [&](QObject*) { ++clicks; };
    TPopupMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    icon->PopupMenu = &menu;
    QTest::mouseClick(sys, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return clicks == 1; }, 5000));
    QTest::mouseClick(sys, Qt::RightButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }, 5000));
    EXPECT_EQ(clicks, 1);
    menu.hide();

    ASSERT_TRUE(
        icon->ShowBalloonHint(QString(), QStringLiteral("Token inserted: Tavrel token"), 4, 10));
    ASSERT_TRUE(QTest::qWaitFor([] { return VisibleBalloon() != nullptr; }, 10000));
    // Painted: most of the balloon's area is no longer the black root window.
    QRect area = VisibleBalloon()->geometry();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const QImage shot = Screen().copy(area);
            return CountColour(shot, qRgb(0, 0, 0)) < shot.width() * shot.height() / 2;
        },
        10000))
        << "the balloon was never painted";
    const QImage withBalloon = Screen();
    EXPECT_TRUE(withBalloon.save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_balloon.png")));
    EXPECT_GT(CountColour(withBalloon, green), 20); // the icon is still there

    // The tray host goes away and a new one starts: the icon is back.
    g_host.stop_tray();
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountColour(Screen(), green) == 0; }, 10000));
    g_host.start_tray();
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountColour(Screen(), green) > 20; }, 15000))
        << "the icon did not come back to the new tray";
    EXPECT_TRUE(icon->IconVisible());

    delete icon;
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_host.start("400x220x24");
    // Qt's own tray icon, not a status-notifier item on some session bus.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("QT_QPA_PLATFORM", g_host.running() ? "xcb" : "offscreen");
    int rc = 0;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    g_host.stop();
    return rc;
}
