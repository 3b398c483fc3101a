// The spin edit's value in its text: parsing, clamping, stepping and the
// key filter; and the spin buttons.
#include "HvPanel.h"
#include "HvSpnEdt.h"
#include "param_name.h"
#include "widget_support.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QMenu>
#include <QWheelEvent>

#include <vector>

using namespace hv;

namespace {

struct SpinWindow : ShownWindow {
    THvSpinEdit* spin = new THvSpinEdit(window.get());
    QLineEdit* other = new QLineEdit(window.get());
    SpinWindow() {
        spin->setGeometry(10, 10, 80, 24);
        other->setGeometry(10, 60, 80, 24);
    }
};

void Wheel(QWidget* w, int dy, Qt::KeyboardModifiers mods) {
    QWheelEvent e(QPointF(5, 5), QPointF(w->mapToGlobal(QPoint(5, 5))), QPoint(), QPoint(0, dy),
                  Qt::NoButton, mods, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

} // namespace

struct ParseCase {
    const char* text;
    bool ok;
    double value;
};
class TraySpinParse : public ::testing::TestWithParam<ParseCase> {};
TEST_P(TraySpinParse, Parse) {
    const auto v = THvSpinEdit::ParseNumber(GetParam().text);
    ASSERT_EQ(v.has_value(), GetParam().ok);
    if (v) {
        EXPECT_DOUBLE_EQ(double(*v), GetParam().value);
    }
}
INSTANTIATE_TEST_SUITE_P(Texts, TraySpinParse,
                         ::testing::Values(ParseCase{"12", true, 12},
                                           ParseCase{" -3.5 ", true, -3.5},
                                           ParseCase{"+7", true, 7}, ParseCase{"1e2", true, 100},
                                           ParseCase{"", false, 0}, ParseCase{"12a", false, 0},
                                           ParseCase{"inf", false, 0}, ParseCase{"--1", false, 0}),
                         [](const ::testing::TestParamInfo<ParseCase>& info) {
                             // The signs and the point by name: " -3.5 " and "--1"
                             // would otherwise read alike.
                             std::string text;
                             for (const char* p = info.param.text; *p != '\0'; ++p)
                                 text += *p == '-'   ? std::string("_minus_")
                                         : *p == '+' ? std::string("_plus_")
                                         : *p == '.' ? std::string("_point_")
                                         : *p == ' ' ? std::string("_space_")
                                                     : std::string(1, *p);
                             return test_support::param_name(text);
                         });

// Fixed notation with at most 18 significant digits, padded with zeros to
// the decimals; an integer part longer than that is written in scientific
// notation.
struct FormatCase {
    const char* name;
    long double value;
    int decimals;
    const char* text;
};
class TraySpinFormat : public ::testing::TestWithParam<FormatCase> {};
TEST_P(TraySpinFormat, Format) {
    EXPECT_EQ(THvSpinEdit::FormatNumber(GetParam().value, GetParam().decimals),
              QString(GetParam().text));
}
INSTANTIATE_TEST_SUITE_P(
    Values, TraySpinFormat,
    ::testing::Values(
        FormatCase{"EighteenDecimals", 1234.56789L, 18, "1234.567890000000000000"},
        FormatCase{"ThirdsToEighteenDigits", 1000.0L / 3, 18, "333.333333333333333000"},
        FormatCase{"CarryIntoTheIntegerPart", 9.9996L, 3, "10.000"},
        FormatCase{"NegativeThirds", -1000.0L / 3, 18, "-333.333333333333333000"},
        FormatCase{"EighteenIntegerDigits", 123456789012345678.0L, 0, "123456789012345678"},
        FormatCase{"NineteenIntegerDigits", 1e18L, 2, "1E18"},
        FormatCase{"ScientificKeepsTheDigits", -1.5e25L, 2, "-1.5E25"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(TraySpinEdit, NewShowsZeroAndDecimalsPad) {
    THvSpinEdit spin;
    EXPECT_EQ(spin.text(), QString("0"));
    EXPECT_EQ(spin.width(), 47);
    EXPECT_EQ(spin.Alignment(), taRightJustify);
    spin.SetIntegersOnly(false);
    spin.SetDecimals(2);
    EXPECT_EQ(spin.text(), QString("0.00"));
    EXPECT_EQ(THvSpinEdit::FormatNumber(-0.001L, 2), QString("0.00"));
}

TEST(TraySpinEdit, MaxOfTheSettingsDialog) {
    SpinWindow w;
    w.spin->SetAllowKeyEdit(true);
    w.spin->SetMax(365);
    w.show();
    w.spin->SetValue(365);
    w.spin->StepUp(1);
    EXPECT_EQ(w.spin->text(), QString("365"));
    w.spin->SetValue(360);
    w.spin->setFocus();
    QTest::keyClick(w.spin, Qt::Key_PageUp);
    EXPECT_EQ(w.spin->text(), QString("365"));
    w.spin->selectAll();
    QTest::keyClicks(w.spin, "400");
    EXPECT_EQ(w.spin->text(), QString("400"));
    w.other->setFocus();
    EXPECT_EQ(w.spin->text(), QString("365"));
}

// The exit handling (rewriting "400" to the Max of 365) and the enter
// handling (selecting all) run when the focus moves between controls of the
// window; the edit's own menu and a change of the active window leave the
// text, the selection and the focus colour as they were.
struct FocusCase {
    const char* name;
    void (*act)(SpinWindow& w);
    const char* text;
    const char* selected;
    bool focusColour;
};
class TraySpinFocus : public ::testing::TestWithParam<FocusCase> {};
TEST_P(TraySpinFocus, EnterAndExitRunOnlyBetweenControlsOfTheWindow) {
    SpinWindow w;
    w.spin->SetAllowKeyEdit(true);
    w.spin->SetMax(365);
    w.spin->SetFocusColor(clYellow);
    w.show();
    w.spin->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(w.spin, "400");
    w.spin->setSelection(0, 2);
    ASSERT_EQ(w.spin->Color(), clYellow);
    GetParam().act(w);
    EXPECT_EQ(w.spin->text(), QString(GetParam().text));
    EXPECT_EQ(w.spin->selectedText(), QString(GetParam().selected));
    EXPECT_EQ(w.spin->Color(), GetParam().focusColour ? clYellow : clWindow);
}

namespace {

// Another top-level window takes the activation, then gives it back.
void ActivateElsewhereAndBack(SpinWindow& w, QWidget* focusMeanwhile) {
    QWidget elsewhere;
    elsewhere.resize(100, 50);
    elsewhere.show();
    QApplication::setActiveWindow(&elsewhere);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    ASSERT_FALSE(w.spin->hasFocus());
    if (focusMeanwhile) focusMeanwhile->setFocus();
    QApplication::setActiveWindow(w.window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.window.get()));
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Reasons, TraySpinFocus,
    ::testing::Values(FocusCase{"OwnContextMenu",
                                [](SpinWindow& w) {
                                    QApplication::clipboard()->setText("before");
                                    QContextMenuEvent open(QContextMenuEvent::Keyboard,
                                                           QPoint(5, 5),
                                                           w.spin->mapToGlobal(QPoint(5, 5)));
                                    QApplication::sendEvent(w.spin, &open);
                                    auto* menu =
                                        qobject_cast<QMenu*>(QApplication::activePopupWidget());
                                    ASSERT_NE(menu, nullptr);
                                    EXPECT_EQ(w.spin->text(),
                                              QString("400")); // while the menu is open
                                    QAction* copy = menu->findChild<QAction*>("edit-copy");
                                    ASSERT_NE(copy, nullptr);
                                    copy->trigger();
                                    menu->close();
                                    EXPECT_EQ(QApplication::clipboard()->text(), QString("40"));
                                    EXPECT_TRUE(w.spin->hasFocus());
                                },
                                "400", "40", true},
                      FocusCase{"WindowDeactivatedAndActivatedAgain",
                                [](SpinWindow& w) {
                                    ActivateElsewhereAndBack(w, nullptr);
                                    EXPECT_TRUE(w.spin->hasFocus());
                                },
                                "400", "40", true},
                      FocusCase{"TabToAnotherControl",
                                [](SpinWindow& w) {
                                    QTest::keyClick(w.spin, Qt::Key_Tab);
                                    EXPECT_TRUE(w.other->hasFocus());
                                },
                                "365", "", false},
                      FocusCase{"AnotherControlFocusedWhileTheWindowWasInactive",
                                [](SpinWindow& w) {
                                    ActivateElsewhereAndBack(w, w.other);
                                    EXPECT_TRUE(w.other->hasFocus());
                                },
                                "365", "", false}),
    [](const ::testing::TestParamInfo<FocusCase>& info) { return std::string(info.param.name); });

TEST(TraySpinEdit, RangeOffAndRangeForced) {
    THvSpinEdit spin;
    spin.SetMax(0);
    spin.SetValue(42);
    EXPECT_EQ(spin.text(), QString("42"));
    spin.SetCheckRange(true);
    EXPECT_EQ(spin.text(), QString("0"));
    spin.SetValue(-5);
    EXPECT_EQ(spin.text(), QString("0"));
}

TEST(TraySpinEdit, MinAndMaxPushEachOther) {
    THvSpinEdit spin;
    spin.SetValue(50);
    spin.SetMin(200);
    EXPECT_EQ(double(spin.Max()), 200);
    EXPECT_EQ(spin.text(), QString("50")); // Min = Max: the range is off
    spin.SetCheckRange(true);
    EXPECT_EQ(spin.text(), QString("200"));
    spin.SetMax(-10);
    EXPECT_EQ(double(spin.Min()), -10);
    EXPECT_EQ(spin.text(), QString("-10"));
}

TEST(TraySpinEdit, EmptyTextReadsAsMinOrBlank) {
    SpinWindow w;
    w.spin->SetMin(5);
    w.spin->setText("");
    EXPECT_EQ(double(w.spin->Value()), 5);
    EXPECT_EQ(w.spin->text(), QString("5"));
    w.spin->SetAllowBlank(true);
    w.spin->SetBlankValue(-1);
    w.spin->setText("");
    EXPECT_EQ(double(w.spin->Value()), -1);
    EXPECT_EQ(w.spin->text(), QString(""));
    w.show();
    w.spin->setFocus();
    w.other->setFocus();
    EXPECT_EQ(w.spin->text(), QString(""));
}

TEST(TraySpinEdit, WithoutKeyEditOnlyStepsChangeTheText) {
    SpinWindow w;
    BeepCounter beeps;
    w.show();
    w.spin->setFocus();
    w.spin->setCursorPosition(1);
    QTest::keyClicks(w.spin, "7");
    QTest::keyClick(w.spin, Qt::Key_Backspace);
    QTest::keyClick(w.spin, Qt::Key_Delete);
    EXPECT_EQ(w.spin->text(), QString("0"));
    EXPECT_EQ(beeps.count, 3);
    QTest::keyClick(w.spin, Qt::Key_Up);
    EXPECT_EQ(w.spin->text(), QString("1"));
    QTest::keyClick(w.spin, Qt::Key_PageUp);
    EXPECT_EQ(w.spin->text(), QString("11"));
    QTest::keyClick(w.spin, Qt::Key_Down);
    EXPECT_EQ(w.spin->text(), QString("10"));
    Wheel(w.spin, 120, Qt::NoModifier);
    EXPECT_EQ(w.spin->text(), QString("11"));
    Wheel(w.spin, -120, Qt::ControlModifier);
    EXPECT_EQ(w.spin->text(), QString("1"));
}

// One step per notch of 120, however the wheel reports it.
struct WheelCase {
    const char* name;
    std::vector<int> deltas;
    const char* text; // from 10
};
class TraySpinWheel : public ::testing::TestWithParam<WheelCase> {};
TEST_P(TraySpinWheel, OneStepPerNotch) {
    THvSpinEdit spin;
    spin.SetValue(10);
    for (int dy : GetParam().deltas)
        Wheel(&spin, dy, Qt::NoModifier);
    EXPECT_EQ(spin.text(), QString(GetParam().text));
}
INSTANTIATE_TEST_SUITE_P(Deltas, TraySpinWheel,
                         ::testing::Values(WheelCase{"TwoNotchesAtOnce", {240}, "12"},
                                           WheelCase{"PartOfANotch", {40}, "10"},
                                           WheelCase{"ThreePartsMakeANotch", {40, 40, 40}, "11"},
                                           WheelCase{"HalvesDown", {-60, -60, -60}, "9"},
                                           WheelCase{"BackAndForth", {40, -40, 40}, "10"}),
                         [](const ::testing::TestParamInfo<WheelCase>& info) {
                             return std::string(info.param.name);
                         });

// Typed "125" with key editing on, caret after the 1; then each row's way to
// change the text with key editing as the row has it.
struct KeyEditCase {
    const char* name;
    bool allowKeyEdit;
    void (*act)(THvSpinEdit* spin);
    const char* text;
};
class TraySpinKeyEdit : public ::testing::TestWithParam<KeyEditCase> {};
TEST_P(TraySpinKeyEdit, OnlyWhatTheKeyFilterTakesChangesTheText) {
    SpinWindow w;
    w.spin->SetAllowKeyEdit(true);
    w.show();
    w.spin->setFocus();
    w.spin->selectAll();
    QTest::keyClicks(w.spin, "125");
    w.spin->SetAllowKeyEdit(GetParam().allowKeyEdit);
    w.spin->setCursorPosition(1);
    GetParam().act(w.spin);
    EXPECT_EQ(w.spin->text(), QString(GetParam().text));
}

namespace {

// Ctrl with a letter, as a keyboard sends it: the key and its control
// character (QTest would give the letter itself as the text).
void ControlChord(THvSpinEdit* spin, Qt::Key letter) {
    const QString text(QChar(char16_t(letter - Qt::Key_A + 1)));
    QKeyEvent press(QEvent::KeyPress, letter, Qt::ControlModifier, text);
    QApplication::sendEvent(spin, &press);
    QKeyEvent release(QEvent::KeyRelease, letter, Qt::ControlModifier, text);
    QApplication::sendEvent(spin, &release);
}

void Commit(THvSpinEdit* spin, const QString& text, int replaceFrom = 0, int replaceLength = 0) {
    QInputMethodEvent e;
    e.setCommitString(text, replaceFrom, replaceLength);
    QApplication::sendEvent(spin, &e);
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Edits, TraySpinKeyEdit,
    ::testing::Values(
        // Deletes to the end of the line where the key scheme is X11's.
        KeyEditCase{"CtrlK", false, [](THvSpinEdit* spin) { ControlChord(spin, Qt::Key_K); },
                    "125"},
        KeyEditCase{"CtrlZ", false, [](THvSpinEdit* spin) { ControlChord(spin, Qt::Key_Z); },
                    "125"},
        KeyEditCase{"CtrlZWithKeyEdit", true,
                    [](THvSpinEdit* spin) { ControlChord(spin, Qt::Key_Z); }, "0"},
        KeyEditCase{"MenuHasOnlyCopyAndSelectAll", false,
                    [](THvSpinEdit* spin) {
                        QApplication::clipboard()->setText("9");
                        spin->setSelection(0, 2);
                        QContextMenuEvent open(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                               spin->mapToGlobal(QPoint(5, 5)));
                        QApplication::sendEvent(spin, &open);
                        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                        ASSERT_NE(menu, nullptr);
                        QStringList enabled;
                        for (QAction* a : menu->actions())
                            if (a->isEnabled() && !a->isSeparator()) enabled << a->objectName();
                        EXPECT_EQ(enabled, (QStringList{"edit-copy", "select-all"}));
                        menu->close();
                    },
                    "125"},
        KeyEditCase{"InputMethodDigit", false, [](THvSpinEdit* spin) { Commit(spin, "7"); }, "125"},
        KeyEditCase{"InputMethodDeletesBeforeTheCaret", false,
                    [](THvSpinEdit* spin) { Commit(spin, "", -1, 1); }, "125"},
        KeyEditCase{"InputMethodTextThroughTheFilter", true,
                    [](THvSpinEdit* spin) { Commit(spin, "5x-"); }, "1525"},
        KeyEditCase{"InputMethodReplacesAroundTheCaret", true,
                    [](THvSpinEdit* spin) { Commit(spin, "9", -1, 1); }, "925"}),
    [](const ::testing::TestParamInfo<KeyEditCase>& info) { return std::string(info.param.name); });

TEST(TraySpinEdit, WithKeyEditTypingAndDeletingWork) {
    SpinWindow w;
    BeepCounter beeps;
    w.spin->SetAllowKeyEdit(true);
    w.show();
    w.spin->setFocus();
    w.spin->setText("12");
    w.spin->setCursorPosition(0);
    QTest::keyClick(w.spin, Qt::Key_Delete);
    EXPECT_EQ(w.spin->text(), QString("2"));
    QTest::keyClick(w.spin, Qt::Key_End);
    QTest::keyClicks(w.spin, "5x");
    EXPECT_EQ(w.spin->text(), QString("25"));
    EXPECT_EQ(beeps.count, 1); // for the x
    QTest::keyClick(w.spin, Qt::Key_Backspace);
    EXPECT_EQ(w.spin->text(), QString("2"));
}

TEST(TraySpinEdit, IntegersOnlyRoundsTiesToEven) {
    THvSpinEdit spin;
    spin.SetIntegersOnly(false);
    spin.SetDecimals(1);
    spin.SetValue(2.5L);
    spin.SetIntegersOnly(true);
    EXPECT_EQ(spin.text(), QString("2"));
    EXPECT_EQ(spin.Decimals(), 0);
    spin.SetIntegersOnly(false);
    spin.SetDecimals(1);
    spin.SetValue(3.5L);
    EXPECT_EQ(spin.ValueAsInteger(), 4);
    spin.SetIntegersOnly(true);
    EXPECT_EQ(spin.text(), QString("4"));
}

// The nearest integer, ties to even, decides: the range error comes only for
// a rounded value outside 32 bits.
struct IntegerCase {
    const char* name;
    long double value;
    std::optional<int> expected; // none: the range error
};
class TraySpinValueAsInteger : public ::testing::TestWithParam<IntegerCase> {};
TEST_P(TraySpinValueAsInteger, NearestIntegerOrTheRangeError) {
    QStringList errors;
    SetRangeErrorHandler([&](QWidget* control, const QString& m) {
        EXPECT_NE(qobject_cast<THvSpinEdit*>(control), nullptr);
        errors << m;
    });
    THvSpinEdit spin;
    spin.SetIntegersOnly(false);
    spin.SetDecimals(1);
    spin.SetMax(0); // Min = Max: the range is off
    spin.SetValue(GetParam().value);
    const std::optional<int> got = spin.ValueAsInteger();
    SetRangeErrorHandler(nullptr);
    EXPECT_EQ(got, GetParam().expected);
    EXPECT_EQ(errors, GetParam().expected ? QStringList() : QStringList{RangeErrorMessage()});
}
INSTANTIATE_TEST_SUITE_P(
    Values, TraySpinValueAsInteger,
    ::testing::Values(IntegerCase{"Largest", 2147483647.4L, 2147483647},
                      IntegerCase{"TieAboveLargest", 2147483647.5L, std::nullopt},
                      IntegerCase{"TieBelowLargest", 2147483646.5L, 2147483646},
                      IntegerCase{"TieToSmallest", -2147483648.5L, -2147483647 - 1},
                      IntegerCase{"BelowSmallest", -2147483648.6L, std::nullopt},
                      IntegerCase{"Huge", 1e30L, std::nullopt},
                      IntegerCase{"NegativeTie", -2.5L, -2}),
    [](const ::testing::TestParamInfo<IntegerCase>& info) { return std::string(info.param.name); });

TEST(TraySpinEdit, TypedCharacterRules) {
    SpinWindow w;
    w.spin->SetAllowKeyEdit(true);
    w.spin->SetIntegersOnly(false);
    w.show();
    w.spin->setText("1.5");
    w.spin->setCursorPosition(3);
    EXPECT_FALSE(w.spin->AcceptsTypedChar('.')); // a second separator
    w.spin->setSelection(1, 2);                  // ".5" selected
    EXPECT_TRUE(w.spin->AcceptsTypedChar('.'));
    w.spin->setCursorPosition(0);
    EXPECT_TRUE(w.spin->AcceptsTypedChar('-'));
    w.spin->setCursorPosition(2);
    EXPECT_FALSE(w.spin->AcceptsTypedChar('-'));
    w.spin->selectAll();
    EXPECT_TRUE(w.spin->AcceptsTypedChar('-'));
    // A selection made left to right from the start: its caret is at the
    // end, its start at 0.
    w.spin->setSelection(0, 2);
    ASSERT_EQ(w.spin->cursorPosition(), 2);
    EXPECT_TRUE(w.spin->AcceptsTypedChar('-'));
    w.spin->setSelection(3, -2); // right to left from the end: the start is 1
    ASSERT_EQ(w.spin->cursorPosition(), 1);
    EXPECT_FALSE(w.spin->AcceptsTypedChar('-'));
    w.spin->setText("-1");
    w.spin->setCursorPosition(0);
    EXPECT_FALSE(w.spin->AcceptsTypedChar('+'));
    EXPECT_FALSE(w.spin->AcceptsTypedChar('x'));
    EXPECT_FALSE(w.spin->AcceptsTypedChar(QChar(13)));
    EXPECT_TRUE(w.spin->AcceptsTypedChar(QChar(8)));
    w.spin->SetIntegersOnly(true);
    w.spin->setText("1");
    EXPECT_FALSE(w.spin->AcceptsTypedChar('.'));
}

TEST(TraySpinEdit, VetoedStepChangesNothing) {
    THvSpinEdit spin;
    int clicks = 0;
    long double seen = 0;
    spin.OnChanging = [&](THvSpinEdit*, long double v, bool& allow) {
        seen = v;
        allow = v < 2;
    };
    spin.OnButtonClick = [&](THvSpinEdit*, TSpinButtonType) { ++clicks; };
    spin.StepUp(1);
    spin.StepUp(1);
    EXPECT_EQ(spin.text(), QString("1"));
    EXPECT_EQ(double(seen), 2);
    EXPECT_EQ(clicks, 1);
    spin.SetMax(5);
    spin.OnChanging = nullptr;
    spin.StepUp(10); // OnChanging would see 11; the value is clamped
    EXPECT_EQ(spin.text(), QString("5"));
}

TEST(TraySpinEdit, ReadOnlyHidesTheButtonsAndRefusesSteps) {
    THvSpinEdit spin;
    BeepCounter beeps;
    spin.SetReadOnly(true);
    EXPECT_FALSE(spin.SpinButtons()->isVisibleTo(&spin));
    EXPECT_EQ(spin.textMargins().right(), 0);
    spin.StepUp(1);
    EXPECT_EQ(spin.text(), QString("0"));
    EXPECT_EQ(beeps.count, 1);
    spin.SetReadOnly(false);
    EXPECT_TRUE(spin.SpinButtons()->isVisibleTo(&spin));
    EXPECT_EQ(spin.textMargins().right(), spin.SpinButtons()->width() + 2);
}

TEST(TraySpinEdit, ButtonsSitInsideTheFrameAndTheTextLeavesThemRoom) {
    THvSpinEdit spin;
    spin.resize(80, 24);
    spin.show(); // a hidden widget gets its resize event when shown
    // (W - Wb - 4, 0, Wb, H - 4) in client coordinates, inside the
    // two-pixel frame.
    EXPECT_EQ(spin.SpinButtons()->geometry(), QRect(80 - 17 - 4 + 2, 2, 17, 20));
    EXPECT_EQ(spin.textMargins().right(), 19);
    EXPECT_EQ(spin.GetEditRect(), Rect(0, 0, 80 - 19, 24));
    spin.SetButtonWidth(20);
    EXPECT_EQ(spin.SpinButtons()->width(), 20);
    EXPECT_EQ(spin.SpinButtons()->x(), 80 - 20 - 4 + 2);
    spin.SetOrientation(orHorizontal);
    EXPECT_EQ(spin.SpinButtons()->width(), 40);
}

TEST(TraySpinEdit, TheButtonsShowTheArrowWhileTheTextShowsTheIBeam) {
    SpinWindow w;
    w.show();
    QTest::mouseMove(w.window->windowHandle(), w.spin->mapTo(w.window.get(), QPoint(20, 12)));
    EXPECT_EQ(w.spin->cursor().shape(), Qt::IBeamCursor);
    EXPECT_EQ(w.spin->ButtonOf(sbUp)->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(w.spin->ButtonOf(sbDown)->cursor().shape(), Qt::ArrowCursor);
}

TEST(TraySpinEdit, ClickingTheButtonsSteps) {
    SpinWindow w;
    w.show();
    auto* up = w.spin->ButtonOf(sbUp);
    auto* down = w.spin->ButtonOf(sbDown);
    EXPECT_EQ(up->Style(), cbsUp);
    EXPECT_EQ(down->Style(), cbsDown);
    QTest::mouseClick(up, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseClick(up, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseClick(down, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(w.spin->text(), QString("1"));
    EXPECT_TRUE(w.spin->hasFocus()); // the press focused the edit first
}

TEST(TraySpinButtons, LayoutOrientationAndDirection) {
    THvSpinButtons sb;
    EXPECT_EQ(sb.size(), QSize(16, 25));
    auto l = sb.LayoutFor(16, 25);
    EXPECT_EQ(l.upRight, QRect(0, 0, 16, 12));
    EXPECT_EQ(l.downLeft, QRect(0, 12, 16, 13));
    sb.SetOrientation(orHorizontal);
    EXPECT_EQ(sb.width(), 32);
    l = sb.LayoutFor(33, 10);
    EXPECT_EQ(l.upRight, QRect(16, 0, 17, 10));
    EXPECT_EQ(l.downLeft, QRect(0, 0, 16, 10));
    sb.SetDirection(sdLeftRight);
    EXPECT_EQ(sb.UpRightButton()->Style(), cbsRight);
    EXPECT_EQ(sb.DownLeftButton()->Style(), cbsLeft);
    sb.SetGlyphUpRight(Surface(32, 16));
    EXPECT_EQ(sb.UpRightButton()->Style(), cbsNone);
    EXPECT_TRUE(sb.IsStored("GlyphUpRight"));
    EXPECT_FALSE(sb.IsStored("GlyphDownLeft"));
    sb.SetGlyphUpRight(std::nullopt);
    EXPECT_EQ(sb.UpRightButton()->Style(), cbsRight);
}

// A stand-alone pair takes its parent's colour onto both faces until it is
// given one of its own.
TEST(TraySpinButtons, ParentColorPaintsTheFacesInTheParentsColour) {
    THvPanel panel;
    panel.SetColor(clYellow);
    auto* sb = new THvSpinButtons(&panel);
    EXPECT_TRUE(sb->ParentColor());
    EXPECT_FALSE(sb->IsStored("Color"));
    EXPECT_FALSE(sb->IsStored("ParentColor"));
    // (3, 3) is inside the bevel and beside the arrow on both buttons.
    EXPECT_EQ(RenderControl(sb->UpRightButton()).pixel(3, 3), clYellow);
    EXPECT_EQ(RenderControl(sb->DownLeftButton()).pixel(3, 3), clYellow);
    panel.SetColor(clRed);
    EXPECT_EQ(sb->Color(), clRed);
    EXPECT_EQ(RenderControl(sb->DownLeftButton()).pixel(3, 3), clRed);

    sb->SetColor(clWhite);
    EXPECT_FALSE(sb->ParentColor());
    EXPECT_TRUE(sb->IsStored("Color"));
    EXPECT_TRUE(sb->IsStored("ParentColor"));
    panel.SetColor(clBlue);
    EXPECT_EQ(RenderControl(sb->UpRightButton()).pixel(3, 3), clWhite);
    sb->SetParentColor(true);
    EXPECT_EQ(RenderControl(sb->UpRightButton()).pixel(3, 3), clBlue);

    // A parent outside the control set lends its background colour.
    QWidget plain;
    QPalette p = plain.palette();
    p.setColor(plain.backgroundRole(), QColor(0x12, 0x34, 0x56));
    plain.setPalette(p);
    auto* onPlain = new THvSpinButtons(&plain);
    EXPECT_EQ(onPlain->Color(), TColor(RGB(0x12, 0x34, 0x56)));
    p.setColor(plain.backgroundRole(), QColor(0x65, 0x43, 0x21));
    plain.setPalette(p);
    EXPECT_EQ(RenderControl(onPlain->UpRightButton()).pixel(3, 3), TColor(RGB(0x65, 0x43, 0x21)));
}

TEST(TraySpinButtons, RepeatClicksAfterTheInitialDelay) {
    ShownWindow w;
    auto* sb = new THvSpinButtons(w.window.get());
    w.show();
    int ups = 0;
    QObject::connect(sb, &THvSpinButtons::UpRightClick, [&] { ++ups; });
    auto* up = sb->UpRightButton();
    QTest::mousePress(up, Qt::LeftButton, {}, QPoint(2, 2));
    ASSERT_NE(up->RepeatTimer(), nullptr);
    EXPECT_TRUE(up->RepeatTimer()->isActive());
    EXPECT_EQ(up->RepeatTimer()->interval(), 400);
    QMetaObject::invokeMethod(up->RepeatTimer(), "timeout"); // the first repeat
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(up->RepeatTimer()->interval(), 100);
    QMetaObject::invokeMethod(up->RepeatTimer(), "timeout");
    EXPECT_EQ(ups, 2);
    QTest::mouseRelease(up, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(ups, 3); // the release inside adds one
    EXPECT_FALSE(up->RepeatTimer()->isActive());
}

TEST(TraySpinEdit, ColourChangesReachTheSpinButtons) {
    THvSpinEdit spin;
    EXPECT_EQ(spin.SpinButtons()->Color(), spin.Color());
    spin.SetColor(clYellow);
    EXPECT_EQ(spin.SpinButtons()->Color(), clYellow);
    EXPECT_EQ(spin.ButtonOf(sbUp)->Color(), clYellow);
    EXPECT_EQ(spin.ButtonOf(sbDown)->Color(), clYellow);
    // A flat button's face shows it.
    spin.SetFlatButtons(true);
    THvControlButton* up = spin.ButtonOf(sbUp);
    EXPECT_EQ(RenderControl(up).pixel(1, 1), clYellow);
    // So does the colour the edit takes by its state.
    spin.setEnabled(false);
    EXPECT_EQ(spin.SpinButtons()->Color(), clBtnFace);
}

TEST(TraySpinEdit, GlyphPropertiesAreTheSpinButtonsOwn) {
    THvSpinEdit spin;
    Surface glyph(16, 8, TColor(0xFF00FF));
    glyph.setPixel(3, 3, clNavy);
    EXPECT_FALSE(spin.IsStored("ButtonUpGlyph"));
    spin.SetButtonUpGlyph(glyph);
    THvControlButton* up = spin.ButtonOf(sbUp);
    EXPECT_EQ(up->Glyph().width(), 16);
    EXPECT_EQ(up->Style(), cbsNone);
    EXPECT_EQ(spin.ButtonUpGlyph().pixel(3, 3), clNavy);
    EXPECT_TRUE(spin.IsStored("ButtonUpGlyph"));
    EXPECT_TRUE(spin.IsStored("ButtonUpNumGlyphs"));
    EXPECT_EQ(spin.ButtonUpNumGlyphs(), 2);
    spin.SetButtonUpNumGlyphs(1);
    EXPECT_EQ(up->NumGlyphs(), 1);
    EXPECT_EQ(up->GlyphCellSize(), (TPoint{16, 8}));

    // By name, as a form stream sets them.
    QImage down(12, 6, QImage::Format_RGB32);
    down.fill(Qt::white);
    ASSERT_TRUE(spin.setProperty("ButtonDownGlyph", down));
    ASSERT_TRUE(spin.setProperty("ButtonDownNumGlyphs", 3));
    EXPECT_EQ(spin.ButtonOf(sbDown)->Glyph().width(), 12);
    EXPECT_EQ(spin.ButtonOf(sbDown)->NumGlyphs(), 3);
    EXPECT_EQ(spin.property("ButtonDownGlyph").value<QImage>().size(), QSize(12, 6));
    EXPECT_TRUE(spin.IsStored("ButtonDownGlyph"));

    // No glyph: the arrow of the button's role again.
    spin.SetDirection(sdLeftRight);
    spin.SetButtonUpGlyph(std::nullopt);
    spin.setProperty("ButtonDownGlyph", QImage());
    EXPECT_EQ(up->Style(), cbsRight);
    EXPECT_EQ(spin.ButtonOf(sbDown)->Style(), cbsLeft);
    EXPECT_FALSE(spin.IsStored("ButtonUpGlyph"));
    EXPECT_FALSE(spin.IsStored("ButtonDownNumGlyphs"));
}
