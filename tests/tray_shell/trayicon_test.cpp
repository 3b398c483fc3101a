// TTrayIcon through the recording notification area: the shell record, tip
// and balloon limits, the click and double-click paths, the popup menu, icon
// cycling, the tray host restart, the start-up and minimise paths, and
// callback messages whose identifier names no live icon.
#include "TrayIcon.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyleHints>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace pruvell;

namespace {

QIcon SolidIcon(QColor colour) {
    QPixmap pm(16, 16);
    pm.fill(colour);
    return QIcon(pm);
}

class TrayIconTest : public ::testing::Test {
  protected:
    void SetUp() override {
        log = std::make_shared<TRecordingNotifyArea::Log>();
        auto shared = log;
        TTrayIconHandler::SetNotifyAreaFactory(
            [shared] { return std::make_unique<TRecordingNotifyArea>(shared); });
        owner = std::make_unique<QWidget>();
        icon = new TTrayIcon(owner.get());
        QGuiApplication::styleHints()->setMouseDoubleClickInterval(60);
    }
    void TearDown() override {
        delete icon.data();
        owner.reset();
        TTrayIconHandler::SetNotifyAreaFactory(nullptr);
        EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
    }

    std::intptr_t Send(std::uint32_t code) { return Send(icon->IconId(), code); }
    static std::intptr_t Send(std::uintptr_t id, std::uint32_t code) {
        return TTrayIconHandler::Instance()->TrayWindowProc(WM_TRAYNOTIFY, id, code);
    }
    const TRecordingNotifyArea::Call& Last() const { return log->calls.back(); }
    // Runs the event loop until a timer started now with twice the
    // double-click time has fired, so the click timer has had its turn.
    static void PassDoubleClickTime() {
        bool done = false;
        TSimpleTimer t(2 * QGuiApplication::styleHints()->mouseDoubleClickInterval(),
                       [&](TSimpleTimer*) { done = true; });
        t.Arm();
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 5000));
    }
    void RecordEvents() {
        icon->OnClick = [this](QObject*) { events.push_back("click"); };
        icon->OnMouseDown = [this](QObject*, TMouseButton b, TShiftState s, int, int) {
            events.push_back("down" + std::to_string(b) + ":" + std::to_string(s & ~7u));
        };
        icon->OnMouseUp = [this](QObject*, TMouseButton b, TShiftState, int, int) {
            events.push_back("up" + std::to_string(b));
        };
    }

    std::shared_ptr<TRecordingNotifyArea::Log> log;
    std::unique_ptr<QWidget> owner;
    QPointer<TTrayIcon> icon;
    std::vector<std::string> events;
};

} // namespace

TEST_F(TrayIconTest, AddedIconCarriesTheShellRecordFields) {
    icon->SetHint(QStringLiteral("Pruvell"));
    EXPECT_TRUE(log->present.empty()); // a hint alone adds nothing
    icon->SetIconVisible(true);
    ASSERT_EQ(Last().message, NIM_ADD);
    const TNotifyIconData& d = Last().data;
    EXPECT_EQ(TNotifyIconData::cbSize, 936u);
    EXPECT_EQ(d.uID, icon->IconId());
    EXPECT_NE(d.uID, 0u);
    EXPECT_EQ(d.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_EQ(d.uCallbackMessage, 0x800u);
    EXPECT_EQ(d.szTip, QStringLiteral("Pruvell"));
    icon->SetShowHint(false);
    EXPECT_EQ(Last().message, NIM_MODIFY);
    EXPECT_TRUE(Last().data.szTip.isEmpty());
    icon->SetIconVisible(false);
    EXPECT_EQ(Last().message, NIM_DELETE);
    EXPECT_TRUE(log->present.empty());
}

TEST_F(TrayIconTest, HintOf200CharactersShowsItsFirst127) {
    icon->SetIconVisible(true);
    QString hint;
    for (int i = 0; i < 200; ++i)
        hint += QChar(u'a' + i % 26);
    icon->SetHint(hint);
    EXPECT_EQ(Last().data.szTip, hint.left(127));
    EXPECT_EQ(icon->Hint(), hint); // the property keeps the whole text
    // A cut never leaves half of a surrogate pair.
    QString emoji = QString(126, QChar(u'x')) + QString::fromUtf8("\xF0\x9F\x94\x91") + "yz";
    icon->SetHint(emoji);
    EXPECT_EQ(Last().data.szTip, QString(126, QChar(u'x')));
}

TEST_F(TrayIconTest, BalloonWithoutTitleAndTheTrayIconTimesOutAfterTenSeconds) {
    icon->SetIcon(SolidIcon(Qt::red));
    icon->SetIconVisible(true);
    const size_t before = log->calls.size();
    EXPECT_TRUE(icon->ShowBalloonHint(QString(), QStringLiteral("Token inserted"), 4, 10));
    ASSERT_EQ(log->calls.size(), before + 2);
    // First the old balloon is cleared, then the new one shown.
    const TNotifyIconData& clear = log->calls[before].data;
    EXPECT_TRUE(clear.uFlags & NIF_INFO);
    EXPECT_TRUE(clear.szInfo.isEmpty());
    const TNotifyIconData& d = Last().data;
    EXPECT_EQ(Last().message, NIM_MODIFY);
    EXPECT_EQ(d.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO);
    EXPECT_EQ(d.szInfo, QStringLiteral("Token inserted"));
    EXPECT_TRUE(d.szInfoTitle.isEmpty());
    EXPECT_EQ(d.uTimeout, 10000u);
    EXPECT_EQ(d.dwInfoFlags, NIIF_USER);
    EXPECT_EQ(icon->IconData().uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
}

TEST_F(TrayIconTest, BalloonTextAndTitleAreCutToTheirFields) {
    icon->SetIconVisible(true);
    EXPECT_TRUE(icon->ShowBalloonHint(QString(100, 'T'), QString(300, 'x'), 1, 300));
    EXPECT_EQ(Last().data.szInfo.size(), 255);
    EXPECT_EQ(Last().data.szInfoTitle.size(), 63);
    EXPECT_EQ(Last().data.uTimeout, 255000u);
}

TEST_F(TrayIconTest, BalloonOfAnIconNotInTheTrayFails) {
    EXPECT_FALSE(icon->ShowBalloonHint(QString(), QStringLiteral("x"), 1, 10));
}

class BalloonKind : public TrayIconTest, public ::testing::WithParamInterface<int> {};
TEST_P(BalloonKind, MapsToTheShellInfoFlags) {
    static constexpr std::uint32_t expected[] = {NIIF_NONE,  NIIF_INFO, NIIF_WARNING,
                                                 NIIF_ERROR, NIIF_USER, NIIF_NONE};
    icon->SetIconVisible(true);
    icon->ShowBalloonHint(QString(), QStringLiteral("x"), GetParam(), 1);
    EXPECT_EQ(Last().data.dwInfoFlags, expected[GetParam()]);
}
static std::string KindName(const ::testing::TestParamInfo<int>& info) {
    static const char* const names[] = {"none", "info", "warning", "error", "user", "unknown_5"};
    return names[info.param];
}
INSTANTIATE_TEST_SUITE_P(Kinds, BalloonKind, ::testing::Range(0, 6), KindName);

TEST_F(TrayIconTest, ClickWithoutDoubleClickHandlerComesAtOnceOnButtonUp) {
    RecordEvents();
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    EXPECT_EQ(events, (std::vector<std::string>{"down0:8", "click", "up0"}));
}

TEST_F(TrayIconTest, ClickWithDoubleClickHandlerComesAfterTheDoubleClickTime) {
    RecordEvents();
    icon->OnDblClick = [this](QObject*) { events.push_back("dbl"); };
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    EXPECT_EQ(events, (std::vector<std::string>{"down0:8", "up0"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return events.size() == 3; }, 5000));
    EXPECT_EQ(events.back(), "click");
}

TEST_F(TrayIconTest, DoubleClickRaisesOnlyOnDblClickAndClicksTheDefaultMenuItem) {
    RecordEvents();
    int dbl = 0, defaultClicked = 0;
    icon->OnDblClick = [&](QObject* sender) {
        EXPECT_EQ(sender, icon.data());
        ++dbl;
    };
    TPopupMenu menu;
    menu.addAction(QStringLiteral("First"));
    QAction* def = menu.addAction(QStringLiteral("Open"));
    menu.setDefaultAction(def);
    QObject::connect(def, &QAction::triggered, [&] { ++defaultClicked; });
    icon->PopupMenu = &menu;
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    Send(WM_LBUTTONDBLCLK);
    Send(WM_LBUTTONUP);
    EXPECT_EQ(dbl, 1);
    EXPECT_EQ(defaultClicked, 1);
    PassDoubleClickTime();
    EXPECT_EQ(std::count(events.begin(), events.end(), "click"), 0);
    // The next single click is a click again.
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::count(events.begin(), events.end(), "click") == 1; }, 5000));
}

TEST_F(TrayIconTest, RightButtonOpensThePopupMenuOnButtonDown) {
    RecordEvents();
    TPopupMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    icon->PopupMenu = &menu;
    EXPECT_EQ(menu.PopupComponent.data(), nullptr);
    Send(WM_RBUTTONDOWN);
    EXPECT_TRUE(menu.isVisible());
    EXPECT_EQ(menu.PopupComponent.data(), icon.data()); // the items can tell who opened it
    EXPECT_EQ(events, (std::vector<std::string>{"down1:16"}));
    Send(WM_RBUTTONUP);
    EXPECT_EQ(events.back(), "up1");
    menu.hide();
    menu.AutoPopup = false;
    Send(WM_RBUTTONDOWN);
    EXPECT_FALSE(menu.isVisible());
}

TEST_F(TrayIconTest, LeftPopupOpensTheMenuOnLeftButtonDown) {
    TPopupMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    icon->PopupMenu = &menu;
    Send(WM_LBUTTONDOWN);
    EXPECT_FALSE(menu.isVisible());
    icon->LeftPopup = true;
    Send(WM_LBUTTONDOWN);
    EXPECT_TRUE(menu.isVisible());
    menu.hide();
}

TEST_F(TrayIconTest, DisabledIconIgnoresTheMouseButNotTheBalloon) {
    RecordEvents();
    QObject* balloonSender = nullptr;
    icon->OnBalloonHintClick = [&](QObject* s) { balloonSender = s; };
    icon->Enabled = false;
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    Send(WM_RBUTTONDOWN);
    EXPECT_TRUE(events.empty());
    Send(NIN_BALLOONUSERCLICK);
    EXPECT_EQ(balloonSender, TTrayIconHandler::Instance()); // the shared handler is the Sender
}

TEST_F(TrayIconTest, MiddleButtonAndBalloonNotifications) {
    RecordEvents();
    int show = 0, hide = 0, timeout = 0;
    icon->OnBalloonHintShow = [&](QObject*) { ++show; };
    icon->OnBalloonHintHide = [&](QObject*) { ++hide; };
    icon->OnBalloonHintTimeout = [&](QObject*) { ++timeout; };
    Send(WM_MBUTTONDOWN);
    Send(WM_MBUTTONUP);
    Send(NIN_BALLOONSHOW);
    Send(NIN_BALLOONHIDE);
    Send(NIN_BALLOONTIMEOUT);
    Send(0x1234); // not a message of ours
    EXPECT_EQ(events, (std::vector<std::string>{"down2:32", "up2"}));
    EXPECT_EQ(show + hide + timeout, 3);
}

// The callback's wParam names the icon. Numbers of no live icon, including a
// destroyed icon's and addresses, reach nothing.
TEST_F(TrayIconTest, CallbacksForUnknownIconIdentifiersDoNothing) {
    RecordEvents();
    std::uint32_t staleId = 0;
    {
        TTrayIcon other(owner.get());
        int otherClicks = 0;
        other.OnClick = [&](QObject*) { ++otherClicks; };
        staleId = other.IconId();
        EXPECT_NE(staleId, icon->IconId());
    }
    Send(staleId, WM_LBUTTONDOWN);
    Send(staleId, WM_LBUTTONUP);
    Send(reinterpret_cast<std::uintptr_t>(icon.data()), WM_LBUTTONDOWN);
    Send(std::uintptr_t(0xFFFFFFFF00000000ull) | icon->IconId(), WM_LBUTTONDOWN);
    Send(0, WM_LBUTTONUP);
    EXPECT_TRUE(events.empty());
}

class HandlerMessage : public TrayIconTest,
                       public ::testing::WithParamInterface<std::pair<std::uint32_t, int>> {};
TEST_P(HandlerMessage, ClosingMessagesAreAnsweredOneAndNotPassedOn) {
    EXPECT_EQ(TTrayIconHandler::Instance()->TrayWindowProc(GetParam().first, 0, 0),
              GetParam().second);
    EXPECT_NE(TTrayIconHandler::Instance(), nullptr);
}
INSTANTIATE_TEST_SUITE_P(Messages, HandlerMessage,
                         ::testing::Values(std::pair<std::uint32_t, int>{WM_QUERYENDSESSION, 1},
                                           std::pair<std::uint32_t, int>{WM_ENDSESSION, 1},
                                           std::pair<std::uint32_t, int>{WM_CLOSE, 1},
                                           std::pair<std::uint32_t, int>{WM_DESTROY, 1},
                                           std::pair<std::uint32_t, int>{WM_QUIT, 1},
                                           std::pair<std::uint32_t, int>{WM_NCDESTROY, 1},
                                           std::pair<std::uint32_t, int>{0x0001 /* WM_CREATE */,
                                                                         0}),
                         [](const ::testing::TestParamInfo<HandlerMessage::ParamType>& info) {
                             switch (info.param.first) {
                             case WM_QUERYENDSESSION:
                                 return std::string("WM_QUERYENDSESSION");
                             case WM_ENDSESSION:
                                 return std::string("WM_ENDSESSION");
                             case WM_CLOSE:
                                 return std::string("WM_CLOSE");
                             case WM_DESTROY:
                                 return std::string("WM_DESTROY");
                             case WM_QUIT:
                                 return std::string("WM_QUIT");
                             case WM_NCDESTROY:
                                 return std::string("WM_NCDESTROY");
                             default:
                                 return "message_" + std::to_string(info.param.first);
                             }
                         });

TEST_F(TrayIconTest, RestartedTrayHostGetsTheVisibleIconAgain) {
    TTrayIcon hidden(owner.get());
    icon->SetHint(QStringLiteral("Pruvell"));
    icon->SetIconVisible(true);
    log->present.clear(); // the tray host went away with its icons
    const size_t before = log->calls.size();
    TTrayIconHandler::Instance()->TaskbarCreated();
    ASSERT_EQ(log->calls.size(), before + 1);
    EXPECT_EQ(Last().message, NIM_ADD);
    EXPECT_EQ(Last().data.uID, icon->IconId());
    EXPECT_EQ(Last().data.szTip, QStringLiteral("Pruvell"));
    EXPECT_EQ(log->present.count(hidden.IconId()), 0u);
}

TEST_F(TrayIconTest, ShellFailuresAreOnlyReported) {
    log->failAll = true;
    EXPECT_FALSE(icon->AddTrayIcon());
    EXPECT_TRUE(icon->IconVisible());
    EXPECT_FALSE(icon->UpdateTrayIcon());
    EXPECT_FALSE(icon->DeleteTrayIcon());
    EXPECT_FALSE(icon->IconVisible());
}

TEST_F(TrayIconTest, CyclingFromTheLastImageGoesBackToTheFirst) {
    TCustomImageList list;
    list.Images = {SolidIcon(Qt::red), SolidIcon(Qt::green), SolidIcon(Qt::blue)};
    icon->SetIconList(&list);
    icon->SetIconVisible(true);
    int firstNext = -1;
    qint64 iconAfter = 0;
    int indexAfter = -1;
    icon->OnCycle = [&](QObject*, int next) {
        if (firstNext >= 0) return;
        firstNext = next;
    };
    icon->SetCycleInterval(10);
    icon->SetCycleIcons(true);
    EXPECT_EQ(icon->IconIndex(), 0);
    icon->SetIconIndex(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return firstNext >= 0; }, 5000));
    icon->SetCycleIcons(false);
    indexAfter = icon->IconIndex();
    iconAfter = icon->Icon().cacheKey();
    EXPECT_EQ(firstNext, 0);
    EXPECT_EQ(indexAfter, 0);
    EXPECT_EQ(iconAfter, list.Images[0].cacheKey());
    EXPECT_EQ(log->present[icon->IconId()].hIcon.cacheKey(), list.Images[0].cacheKey());
}

TEST_F(TrayIconTest, IconIndexIsClampedToTheListAndAnEmptyListGivesNothing) {
    TCustomImageList list;
    list.Images = {SolidIcon(Qt::red), SolidIcon(Qt::green), SolidIcon(Qt::blue)};
    icon->SetIconList(&list);
    icon->SetIconIndex(7);
    EXPECT_EQ(icon->IconIndex(), 2);
    EXPECT_EQ(icon->Icon().cacheKey(), list.Images[2].cacheKey());
    TCustomImageList empty;
    icon->SetIconList(&empty);
    icon->SetIconIndex(1);
    EXPECT_EQ(icon->IconIndex(), 0);
    icon->SetCycleInterval(5);
    icon->SetCycleIcons(true); // ticks over an empty list change nothing
    PassDoubleClickTime();
    icon->SetCycleIcons(false);
}

TEST_F(TrayIconTest, RemovedImageListAndMenuAreForgotten) {
    auto list = std::make_unique<TCustomImageList>();
    list->Images = {SolidIcon(Qt::red), SolidIcon(Qt::green)};
    icon->SetIconList(list.get());
    icon->SetIconIndex(1);
    list.reset();
    EXPECT_EQ(icon->IconList(), nullptr);
    EXPECT_EQ(icon->IconIndex(), 0);
    auto menu = std::make_unique<TPopupMenu>();
    icon->PopupMenu = menu.get();
    menu.reset();
    Send(WM_RBUTTONDOWN); // no menu to open
    EXPECT_TRUE(icon->PopupMenu.isNull());
}

TEST_F(TrayIconTest, StartupHandlerCanKeepTheMainFormHidden) {
    owner->show();
    bool called = false;
    icon->OnStartup = [&](QObject*, bool& show) {
        called = true;
        show = false;
    };
    icon->SetIconVisible(true);
    icon->Loaded();
    EXPECT_TRUE(called);
    EXPECT_FALSE(icon->StartupShowsMainForm());
    EXPECT_FALSE(owner->isVisible());
    EXPECT_EQ(Last().message, NIM_SETVERSION);
    EXPECT_EQ(Last().data.uVersion, 0u);
    icon->ShowMainForm();
    EXPECT_TRUE(owner->isVisible());
    icon->HideMainForm();
    EXPECT_FALSE(owner->isVisible());
}

TEST_F(TrayIconTest, MinimisingWithMinimizeToTraySendsTheFormToTheTray) {
    owner->show();
    int minimized = 0;
    icon->OnMinimizeToTray = [&](QObject*) { ++minimized; };
    icon->MinimizeToTray = true;
    owner->showMinimized();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !owner->isVisible(); }, 5000));
    EXPECT_EQ(minimized, 1);
    EXPECT_TRUE(icon->IconVisible());
    EXPECT_EQ(log->present.count(icon->IconId()), 1u);
}

namespace {
// A form that counts the window-state changes it gets to see.
class StateForm : public QWidget {
  public:
    int stateChanges = 0;

  protected:
    void changeEvent(QEvent* e) override {
        if (e->type() == QEvent::WindowStateChange) ++stateChanges;
        QWidget::changeEvent(e);
    }
};
} // namespace

// Minimising the owner form: with a handler the tray takes the minimise and
// the form never sees it; without one the minimise goes through and the
// application's minimise then sends the form to the tray.
struct MinimiseCase {
    const char* name;
    bool minimizeToTray;
    bool handler;
    int handlerCalls;
    int stateChangesSeen;
    bool visibleAfter;
};
class TrayIconMinimise : public TrayIconTest, public ::testing::WithParamInterface<MinimiseCase> {};
TEST_P(TrayIconMinimise, MinimisingTheOwnerForm) {
    const MinimiseCase& c = GetParam();
    StateForm form;
    auto* tray = new TTrayIcon(&form);
    int calls = 0;
    if (c.handler) tray->OnMinimizeToTray = [&](QObject*) { ++calls; };
    tray->MinimizeToTray = c.minimizeToTray;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.stateChanges = 0;
    form.showMinimized();
    QCoreApplication::processEvents(); // what the tray queued has run
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isVisible() == c.visibleAfter; }, 5000));
    EXPECT_EQ(calls, c.handlerCalls);
    EXPECT_EQ(form.stateChanges, c.stateChangesSeen);
    EXPECT_EQ(tray->IconVisible(), !c.visibleAfter);
    EXPECT_EQ(log->present.count(tray->IconId()), c.visibleAfter ? 0u : 1u);
    // From the tray the form comes back normal.
    tray->ShowMainForm();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
}
INSTANTIATE_TEST_SUITE_P(Paths, TrayIconMinimise,
                         ::testing::Values(MinimiseCase{"TakenByTheTray", true, true, 1, 0, false},
                                           MinimiseCase{"PassedOnThenSentToTheTray", true, false, 0,
                                                        1, false},
                                           MinimiseCase{"Off", false, true, 0, 1, true}),
                         [](const ::testing::TestParamInfo<MinimiseCase>& info) {
                             return std::string(info.param.name);
                         });

// The application restored (WM_SYSCOMMAND with SC_RESTORE): a minimised main
// form comes back normal and shown, also one the tray has hidden.
TEST_F(TrayIconTest, RestoringTheApplicationShowsTheMainFormNormal) {
    owner->show();
    owner->showMinimized();
    owner->hide();
    icon->AppWindowHook(WM_SYSCOMMAND, SC_RESTORE);
    EXPECT_TRUE(owner->isVisible());
    EXPECT_FALSE(owner->isMinimized());
    owner->hide();
    icon->AppWindowHook(WM_SYSCOMMAND, SC_RESTORE);
    EXPECT_TRUE(owner->isVisible());
}

TEST_F(TrayIconTest, MouseEnterOnFirstMoveAndExitWhenTheCursorLeaves) {
    int enter = 0, exitCount = 0, moves = 0;
    icon->OnMouseEnter = [&](QObject*) { ++enter; };
    icon->OnMouseExit = [&](QObject*) { ++exitCount; };
    icon->OnMouseMove = [&](QObject*, TShiftState, int, int) { ++moves; };
    icon->SetWantEnterExitEvents(true);
    QCursor::setPos(10, 10);
    Send(WM_MOUSEMOVE);
    Send(WM_MOUSEMOVE);
    EXPECT_EQ(enter, 1);
    EXPECT_EQ(moves, 2);
    QCursor::setPos(40, 40);
    EXPECT_TRUE(QTest::qWaitFor([&] { return exitCount == 1; }, 5000));
}

TEST_F(TrayIconTest, LastIconFreesTheSharedHandlerAndANewOneMakesItAgain) {
    delete icon.data();
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
    icon = new TTrayIcon(owner.get());
    EXPECT_NE(TTrayIconHandler::Instance(), nullptr);
    EXPECT_EQ(TTrayIconHandler::Instance()->UserCount(), 1);
}

TEST_F(TrayIconTest, AnIconMayBeDestroyedFromItsOwnClickHandler) {
    icon->SetIconVisible(true);
    icon->OnClick = [this](QObject*) { delete icon.data(); };
    Send(WM_LBUTTONDOWN);
    Send(WM_LBUTTONUP);
    EXPECT_TRUE(icon.isNull());
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
    EXPECT_TRUE(log->present.empty());
}

// Qt's tray icon without a tray (the offscreen platform has none): adding is
// reported as failed, the icon stays meant to be visible for the next tray.
TEST(QtNotifyArea, WithoutATrayAddingFailsAndNothingBreaks) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    QWidget owner;
    {
        TTrayIcon icon(&owner);
        icon.SetIcon(SolidIcon(Qt::red));
        EXPECT_FALSE(icon.AddTrayIcon());
        EXPECT_TRUE(icon.IconVisible());
        EXPECT_TRUE(icon.UpdateTrayIcon());
        icon.ShowBalloonHint(QString(), QStringLiteral("x"), 1, 1);
        TTrayIconHandler::Instance()->TaskbarCreated();
        EXPECT_TRUE(icon.DeleteTrayIcon());
    }
    EXPECT_EQ(TTrayIconHandler::Instance(), nullptr);
}
