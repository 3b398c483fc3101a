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
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace pruvell;

namespace {

pid_t g_xvfb = -1;
pid_t g_trayer = -1;
std::string g_skip;       // why the test cannot run here
std::string g_startError; // the tools exist but did not start

// posix_spawn: the test process has threads once Qt runs. Descriptors
// without close-on-exec (the server's display pipe) are inherited.
pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

void Stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

// Starts Xvfb with -displayfd, so the server itself takes a free display.
bool StartXvfb() {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    g_xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "400x220x24",
                    "-nolisten", "tcp", "-br", "-noreset"});
    ::close(fds[1]);
    if (g_xvfb <= 0) {
        ::close(fds[0]);
        return false;
    }
    std::string display;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&p, 1, 15000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    ::close(fds[0]);
    if (display.empty()) return false;
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    return true;
}

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

void StartTrayer() {
    g_trayer = Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                      "--height", "32", "--transparent", "false", "--SetDockType", "true"});
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
    if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    ASSERT_TRUE(g_startError.empty()) << g_startError;
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
    Stop(g_trayer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountColour(Screen(), green) == 0; }, 10000));
    StartTrayer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return CountColour(Screen(), green) > 20; }, 15000))
        << "the icon did not come back to the new tray";
    EXPECT_TRUE(icon->IconVisible());

    delete icon;
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool haveTools = !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
                           !QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty();
    if (!haveTools) {
        g_skip = "Xvfb or trayer is not installed";
    } else if (!StartXvfb()) {
        g_startError = "Xvfb did not start";
    } else {
        StartTrayer();
    }
    // Qt's own tray icon, not a status-notifier item on some session bus.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("QT_QPA_PLATFORM", g_skip.empty() && g_startError.empty() ? "xcb" : "offscreen");
    int rc = 0;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    Stop(g_trayer);
    Stop(g_xvfb);
    return rc;
}
