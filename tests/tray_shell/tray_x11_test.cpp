// The tray icon in a real tray host: an Xvfb server on a display it picks
// itself, trayer as the XEmbed tray, and Qt's xcb platform. The icon must
// appear in the tray, see the pointer come, move and go, and show balloons
// that tell when they are shown, time out, are replaced and are clicked;
// the pictures are kept under the build's artifacts folder.
#include "TrayIcon.h"
#include "TrayIconX11.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolTip>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef TEST_HAVE_XCB
#include <xcb/xcb.h>
#endif

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

TBalloonWindow* VisibleBalloon() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<TBalloonWindow*>(w); b && b->isVisible()) return b;
    return nullptr;
}

// The area of a visible top-level window of that class (empty: none).
QRect VisibleTopLevel(const char* cls) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits(cls) && w->isVisible()) return w->geometry();
    return {};
}

TTrayIconWindow* IconWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* i = qobject_cast<TTrayIconWindow*>(w); i && i->isVisible()) return i;
    return nullptr;
}

// Most of the area is no longer the black of the root window.
bool Painted(const QRect& area) {
    const QImage shot = Screen().copy(area);
    return CountColour(shot, qRgb(0, 0, 0)) < shot.width() * shot.height() / 2;
}

// The icon, shown in the tray with the hint "Pruvell".
std::unique_ptr<TTrayIcon> ShowIcon(QWidget& owner) {
    auto icon = std::make_unique<TTrayIcon>(&owner);
    icon->SetIcon(TestIcon());
    icon->SetHint(QStringLiteral("Pruvell"));
    icon->SetIconVisible(true);
    icon->Loaded();
    return icon;
}

#ifdef TEST_HAVE_XCB
// The pointer of the test's X server, moved as a user would (XWarpPointer
// makes the same enter, leave and motion events), on a connection of the
// test's own.
class Pointer {
  public:
    Pointer() : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_) == 0)
            root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    }
    ~Pointer() { xcb_disconnect(c_); }
    bool ok() const { return root_ != 0; }
    // Returns once the server has moved it. The move is made from another
    // thread, as a user's hand would, while this one goes on handling events.
    bool MoveTo(QPoint p) {
        std::atomic<bool> moved{false};
        std::thread hand([&] {
            xcb_warp_pointer(c_, XCB_NONE, root_, 0, 0, 0, 0, static_cast<int16_t>(p.x()),
                             static_cast<int16_t>(p.y()));
            std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
            moved = true;
        });
        const bool done = QTest::qWaitFor([&] { return moved.load(); }, 10000);
        hand.join();
        return done;
    }
    // The window's place on the screen, from the server (the tray host, not
    // the toolkit, decides where it is).
    QRect ScreenArea(const QWidget& w) {
        xcb_translate_coordinates_reply_t* r = xcb_translate_coordinates_reply(
            c_, xcb_translate_coordinates(c_, static_cast<xcb_window_t>(w.winId()), root_, 0, 0),
            nullptr);
        QRect area;
        if (r != nullptr) area = QRect(r->dst_x, r->dst_y, w.width(), w.height());
        std::free(r);
        return area;
    }

  private:
    xcb_connection_t* c_;
    xcb_window_t root_ = 0;
};
#endif

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
    QWidget* sys = IconWindow();
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return Painted(area); }, 10000))
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

TEST(TrayHost, PointerOntoOverAndOffTheIconRaisesEnterMoveAndExit) {
    if (!g_host.skip_reason().empty()) GTEST_SKIP() << g_host.skip_reason();
    ASSERT_TRUE(g_host.start_error().empty()) << g_host.start_error();
#ifndef TEST_HAVE_XCB
    GTEST_SKIP() << "built without libxcb: nothing can move the pointer";
#else
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000))
        << "trayer did not take the tray";
    Pointer pointer;
    ASSERT_TRUE(pointer.ok());
    QDir().mkpath(QStringLiteral(PRUVELL_ARTIFACT_DIR));
    const QPoint away(60, 150);
    ASSERT_TRUE(pointer.MoveTo(away));

    QWidget owner;
    auto icon = ShowIcon(owner);
    struct Seen {
        char what; // 'E'nter, 'M'ove, e'X'it
        QPoint at;
    };
    std::vector<Seen> seen;
    icon->OnMouseEnter = [&](QObject*) { seen.push_back({'E', QCursor::pos()}); };
    icon->OnMouseMove = [&](QObject*, TShiftState, int x, int y) {
        seen.push_back({'M', QPoint(x, y)});
    };
    icon->OnMouseExit = [&](QObject*) { seen.push_back({'X', QCursor::pos()}); };
    icon->SetWantEnterExitEvents(true);

    TTrayIconWindow* window = nullptr;
    QRect area;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            window = IconWindow();
            if (window) area = pointer.ScreenArea(*window);
            return window && area.width() >= 8 && area.top() < 40 && Painted(area);
        },
        15000))
        << "the icon never appeared in the tray";
    EXPECT_TRUE(seen.empty()) << "the pointer is not on the icon yet";
    auto last = [&](char what, QPoint at) {
        return !seen.empty() && seen.back().what == what && (at.isNull() || seen.back().at == at);
    };

    // Onto the icon: it comes in, and moves there.
    const QPoint onto = area.center();
    ASSERT_TRUE(pointer.MoveTo(onto));
    ASSERT_TRUE(QTest::qWaitFor([&] { return last('M', onto); }, 10000));
    EXPECT_EQ(seen.front().what, 'E');
    // Resting on the icon, the host shows the icon's hint.
    QRect tip;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (!QToolTip::isVisible() || QToolTip::text() != QStringLiteral("Pruvell"))
                return false;
            tip = VisibleTopLevel("QTipLabel");
            return !tip.isEmpty() && Painted(tip);
        },
        10000))
        << "no hint while the pointer rests on the icon";
    EXPECT_TRUE(Screen().save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_icon_pointer.png")));

    // Over it: moves.
    const QPoint over = onto + QPoint(-3, 2);
    ASSERT_TRUE(area.contains(over));
    ASSERT_TRUE(pointer.MoveTo(over));
    ASSERT_TRUE(QTest::qWaitFor([&] { return last('M', over); }, 10000));

    // Off it: it goes, and no move is seen away from it.
    ASSERT_TRUE(pointer.MoveTo(away));
    ASSERT_TRUE(QTest::qWaitFor([&] { return last('X', away); }, 10000));
    // The hint goes with the pointer.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !QToolTip::isVisible() && !Painted(tip); }, 10000));
    EXPECT_TRUE(Screen().save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_icon_pointer_off.png")));

    // Each move comes while the pointer is in (the shell's 20 ms look at the
    // cursor may see a move before its message and count an exit and an
    // enter more in between, never a move outside), and every enter has
    // its exit.
    bool in = false;
    int enters = 0, exits = 0;
    std::string order;
    for (const Seen& s : seen) {
        order += s.what;
        if (s.what == 'E') {
            EXPECT_FALSE(in) << order;
            in = true;
            ++enters;
        } else if (s.what == 'X') {
            EXPECT_TRUE(in) << order;
            in = false;
            ++exits;
        } else {
            EXPECT_TRUE(in) << order;
            EXPECT_TRUE(area.contains(s.at)) << order << " at " << s.at.x() << "," << s.at.y();
        }
    }
    EXPECT_EQ(enters, exits) << order;
    EXPECT_GE(enters, 1) << order;

    icon.reset();
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
#endif
}

TEST(TrayHost, BalloonTellsWhenItShowsTimesOutIsReplacedAndIsClicked) {
    if (!g_host.skip_reason().empty()) GTEST_SKIP() << g_host.skip_reason();
    ASSERT_TRUE(g_host.start_error().empty()) << g_host.start_error();
    ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 15000))
        << "trayer did not take the tray";
    QDir().mkpath(QStringLiteral(PRUVELL_ARTIFACT_DIR));
    // Balloons stay 0.3 to 30 seconds here (the shell's 10 to 30).
    SetBalloonTimeoutRange(300, 30000);
    struct RangeReset {
        ~RangeReset() { SetBalloonTimeoutRange(10000, 30000); }
    } rangeReset;

    QWidget owner;
    auto icon = ShowIcon(owner);
    std::vector<std::string> notices;
    QElapsedTimer shown;
    qint64 stayed = -1;
    icon->OnBalloonHintShow = [&](QObject*) {
        notices.push_back("show");
        shown.start();
    };
    icon->OnBalloonHintTimeout = [&](QObject*) {
        notices.push_back("timeout");
        stayed = shown.elapsed();
    };
    icon->OnBalloonHintHide = [&](QObject*) { notices.push_back("hide"); };
    icon->OnBalloonHintClick = [&](QObject*) { notices.push_back("click"); };
    TTrayIconWindow* window = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (window = IconWindow()) != nullptr && Painted(window->geometry()); }, 15000));
    auto notices_are = [&](std::vector<std::string> expected) {
        return QTest::qWaitFor([&] { return notices == expected; }, 10000);
    };

    // Shown for its one second, then timed out.
    ASSERT_TRUE(icon->ShowBalloonHint(QStringLiteral("Pruvell"),
                                      QStringLiteral("Token inserted: Tavrel token"), 1, 1));
    ASSERT_TRUE(notices_are({"show"})) << notices.size();
    TBalloonWindow* balloon = VisibleBalloon();
    ASSERT_NE(balloon, nullptr);
    EXPECT_EQ(balloon->Title(), QStringLiteral("Pruvell"));
    EXPECT_EQ(balloon->Text(), QStringLiteral("Token inserted: Tavrel token"));
    const QRect area = balloon->geometry();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Painted(area); }, 5000)) << "never painted";
    EXPECT_TRUE(Screen().save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_balloon_shown.png")));
    // Below the tray at the top of the screen, on the screen.
    EXPECT_GE(area.top(), 30);
    EXPECT_LE(area.right(), Screen().width() - 1);
    EXPECT_GE(area.left(), 0);
    ASSERT_TRUE(notices_are({"show", "timeout"}));
    EXPECT_GE(stayed, 900);
    EXPECT_EQ(VisibleBalloon(), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Painted(area); }, 5000)) << "still on the screen";
    EXPECT_TRUE(Screen().save(QStringLiteral(PRUVELL_ARTIFACT_DIR "/tray_balloon_timed_out.png")));

    // A balloon replaced by the next is hidden; one clicked says so.
    ASSERT_TRUE(icon->ShowBalloonHint(QString(), QStringLiteral("first"), 2, 10));
    ASSERT_TRUE(notices_are({"show", "timeout", "show"}));
    ASSERT_TRUE(icon->ShowBalloonHint(QString(), QStringLiteral("second"), 3, 10));
    ASSERT_TRUE(notices_are({"show", "timeout", "show", "hide", "show"}));
    balloon = VisibleBalloon();
    ASSERT_NE(balloon, nullptr);
    EXPECT_EQ(balloon->Text(), QStringLiteral("second"));
    QTest::mouseClick(balloon, Qt::LeftButton);
    ASSERT_TRUE(notices_are({"show", "timeout", "show", "hide", "show", "click"}));
    EXPECT_EQ(VisibleBalloon(), nullptr);

    // No time given: the shortest time; a balloon of a deleted icon is hidden.
    ASSERT_TRUE(icon->ShowBalloonHint(QString(), QStringLiteral("third"), 0, 0));
    ASSERT_TRUE(
        notices_are({"show", "timeout", "show", "hide", "show", "click", "show", "timeout"}));
    ASSERT_TRUE(icon->ShowBalloonHint(QString(), QStringLiteral("fourth"), 4, 10));
    ASSERT_TRUE(notices_are(
        {"show", "timeout", "show", "hide", "show", "click", "show", "timeout", "show"}));
    icon->SetIconVisible(false);
    ASSERT_TRUE(notices_are(
        {"show", "timeout", "show", "hide", "show", "click", "show", "timeout", "show", "hide"}));
    EXPECT_EQ(VisibleBalloon(), nullptr);

    icon.reset();
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
