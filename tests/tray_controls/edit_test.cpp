// The framed edit: colours by state, the frame, hot tracking and keys.
#include "HvEdit.h"
#include "HvGrafx.h"
#include "HvPanel.h"
#include "widget_support.h"

using namespace hv;

namespace {

struct EditWindow : ShownWindow {
    THvEdit* edit = new THvEdit(window.get());
    THvEdit* other = new THvEdit(window.get());
    EditWindow() {
        edit->setGeometry(10, 10, 120, 24);
        other->setGeometry(10, 50, 120, 24);
    }
};

} // namespace

TEST(TrayEdit, BackgroundFollowsFocusReadOnlyAndEnabled) {
    EditWindow w;
    w.edit->SetFocusColor(clYellow);
    w.show();
    w.other->setFocus();
    EXPECT_EQ(w.edit->Color(), clWindow);
    w.edit->setFocus();
    EXPECT_EQ(w.edit->Color(), clYellow);
    // Another window active: the edit is still its window's focused control.
    {
        QWidget elsewhere;
        elsewhere.show();
        QApplication::setActiveWindow(&elsewhere);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
        EXPECT_FALSE(w.edit->hasFocus());
        EXPECT_EQ(w.edit->Color(), clYellow);
    }
    QApplication::setActiveWindow(w.window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.window.get()));
    EXPECT_TRUE(w.edit->hasFocus());
    EXPECT_EQ(w.edit->Color(), clYellow);
    w.other->setFocus();
    EXPECT_EQ(w.edit->Color(), clWindow);

    w.edit->SetReadOnly(true);
    EXPECT_EQ(w.edit->Color(), clInfoBk);
    w.edit->setFocus();
    EXPECT_EQ(w.edit->Color(), clYellow); // focused, ReadOnlyColorOnFocus off
    w.edit->SetReadOnlyColorOnFocus(true);
    EXPECT_EQ(w.edit->Color(), clInfoBk);
    w.other->setFocus();
    w.edit->SetReadOnly(false);
    w.edit->setEnabled(false);
    EXPECT_EQ(w.edit->Color(), clBtnFace);
    EXPECT_FALSE(w.edit->IsStored("Color"));
    w.edit->setEnabled(true);
    EXPECT_EQ(w.edit->Color(), clWindow);
}

TEST(TrayEdit, OutsideColourChangeCarriesTheFocusColour) {
    THvEdit edit;
    edit.SetColor(clSilver);
    EXPECT_EQ(edit.FocusColor(), clSilver);
    EXPECT_EQ(edit.NormalColor(), clSilver);
    edit.SetFocusColor(clYellow);
    edit.SetColor(clWhite);
    EXPECT_EQ(edit.FocusColor(), clYellow);
    EXPECT_TRUE(edit.IsStored("FocusColor"));
    edit.SetFocusColor(clWhite);
    EXPECT_FALSE(edit.IsStored("FocusColor"));
}

TEST(TrayEdit, HotTrackShowsTheFrameOnAllSidesExceptWhileLoading) {
    THvEdit edit;
    edit.SetFrameSides(SideBit(sdBottom));
    edit.SetFrameHotTrack(true);
    EXPECT_TRUE(edit.FrameVisible());
    EXPECT_TRUE(edit.Ctl3D());
    EXPECT_EQ(edit.FrameSides(), sdAll);

    THvEdit loaded;
    ASSERT_TRUE(
        LoadProperties(&loaded, {{"FrameSides", int(SideBit(sdBottom))}, {"FrameHotTrack", true}}));
    EXPECT_EQ(loaded.FrameSides(), SideBit(sdBottom));
    EXPECT_TRUE(loaded.FrameVisible());
}

TEST(TrayEdit, FrameStylesByStateAndPixels) {
    EditWindow w;
    w.edit->SetFrameVisible(true);
    w.edit->SetFrameColor(clRed);
    w.edit->SetFrameHotColor(clBlue);
    w.edit->SetFrameHotTrack(true);
    w.show();
    w.other->setFocus();
    EXPECT_EQ(w.edit->CurrentFrameStyle(), fsFlat);
    const QImage plain = w.edit->grab().toImage();
    EXPECT_EQ(plain.pixelColor(0, 5), QColor(255, 0, 0));
    EXPECT_EQ(plain.pixelColor(1, 5), QColor(255, 255, 255)); // the ring in Color
    w.edit->setFocus();
    EXPECT_EQ(w.edit->CurrentFrameStyle(), fsFlatBold);
    const QImage hot = w.edit->grab().toImage();
    EXPECT_EQ(hot.pixelColor(0, 5), QColor(0, 0, 255));
    EXPECT_EQ(hot.pixelColor(1, 5), QColor(0, 0, 255));

    w.edit->SetFrameVisible(false);
    EXPECT_EQ(w.edit->CurrentFrameStyle(), fsNone);
}

TEST(TrayEdit, TabOnEnterMovesOnAndInsertsNothing) {
    EditWindow w;
    w.edit->SetTabOnEnter(true);
    w.show();
    w.edit->setFocus();
    QTest::keyClicks(w.edit, "ab");
    QTest::keyClick(w.edit, Qt::Key_Return);
    EXPECT_EQ(w.edit->text(), QString("ab"));
    EXPECT_TRUE(w.other->hasFocus());
}

TEST(TrayEdit, PasswordAndMaxLength) {
    EditWindow w;
    w.edit->setMaxLength(4);
    w.edit->SetPasswordChar("*");
    w.show();
    w.edit->setFocus();
    QTest::keyClicks(w.edit, "123456");
    EXPECT_EQ(w.edit->text(), QString("1234"));
    EXPECT_EQ(w.edit->echoMode(), QLineEdit::Password);
}

TEST(TrayEdit, ObsoleteFrameFlat) {
    THvEdit edit;
    LoadProperties(&edit, {{"FrameFlat", true}});
    EXPECT_TRUE(edit.FrameHotTrack());
    EXPECT_EQ(edit.FrameStyle(), fsStatus);
    EXPECT_EQ(edit.FrameHotStyle(), fsLowered);
}

// ------------------------------------------------------------ masked edit

namespace {

struct ErrorRecorder {
    QStringList messages;
    ErrorRecorder() {
        SetDataEditErrorHandler([this](QWidget*, const QString& m) { messages << m; });
    }
    ~ErrorRecorder() { SetDataEditErrorHandler(nullptr); }
};

} // namespace

TEST(TrayEdit, EditMaskShapesTheTextAndRefusesKeys) {
    EditWindow w;
    BeepCounter beeps;
    w.edit->SetEditMask("!(999) 000-0000;1;_");
    EXPECT_TRUE(w.edit->IsMasked());
    EXPECT_EQ(w.edit->EditText(), QString("(___) ___-____"));
    w.show();
    w.edit->setFocus();
    w.edit->home(false);
    QTest::keyClicks(w.edit, "0123x456789");
    EXPECT_EQ(beeps.count, 1); // the letter does not fit a digit
    EXPECT_EQ(w.edit->EditText(), QString("(012) 345-6789"));
    EXPECT_EQ(w.edit->Text(), QString("(012) 345-6789"));

    // Without saved literals Text holds only what was typed.
    w.edit->SetEditMask("!(999) 000-0000;0;_");
    w.edit->SetText("0123456789");
    EXPECT_EQ(w.edit->EditText(), QString("(012) 345-6789"));
    EXPECT_EQ(w.edit->Text(), QString("0123456789"));
    w.edit->SetText("01234");
    EXPECT_EQ(w.edit->Text(), QString("01234"));

    w.edit->SetEditMask("");
    EXPECT_FALSE(w.edit->IsMasked());
    QTest::keyClicks(w.edit, "x");
    EXPECT_EQ(beeps.count, 1);
}

TEST(TrayEdit, MaskCharactersOfEachKind) {
    THvEdit edit;
    edit.SetEditMask(">LL-aa\\0;1; ");
    edit.SetText("ab-c");
    EXPECT_EQ(edit.EditText(), QString("AB-C 0"));
    int pos = -1;
    EXPECT_TRUE(edit.Validate(edit.GetEditText(), pos)); // the a's are optional
    edit.SetText("a");
    EXPECT_FALSE(edit.Validate(edit.GetEditText(), pos));
    EXPECT_EQ(pos, 1);
}

TEST(TrayEdit, LeavingAnIncompleteMaskedTextRaisesTheInvalidDataEvent) {
    EditWindow w;
    BeepCounter beeps;
    ErrorRecorder errors;
    w.edit->SetEditMask("000;1;_");
    int events = 0;
    QString seen = "unset";
    w.edit->OnInvalidData = [&](THvCustomEdit* sender, QString& message) {
        EXPECT_EQ(sender, w.edit);
        ++events;
        seen = message;
        message = "Three digits, please";
    };
    w.show();
    w.edit->setFocus();
    w.edit->home(false);
    QTest::keyClicks(w.edit, "12");
    w.other->setFocus();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(seen, QString()); // the event gets an empty message
    EXPECT_EQ(errors.messages, QStringList{"Three digits, please"});
    EXPECT_EQ(beeps.count, 0);
    EXPECT_TRUE(w.edit->hasFocus());        // the focus stays
    EXPECT_EQ(w.edit->cursorPosition(), 2); // on the first missing digit

    // A handler that leaves the message empty gets the masked edit's own error.
    w.edit->OnInvalidData = [&](THvCustomEdit*, QString&) { ++events; };
    w.other->setFocus();
    EXPECT_EQ(events, 2);
    EXPECT_EQ(errors.messages.last(), THvCustomEdit::DefaultMaskError());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(w.edit->hasFocus());

    // Escape abandons the changes; an unchanged text may be left.
    QTest::keyClick(w.edit, Qt::Key_Escape);
    EXPECT_EQ(w.edit->EditText(), QString("___"));
    w.other->setFocus();
    EXPECT_TRUE(w.other->hasFocus());
    EXPECT_EQ(events, 2);

    w.edit->setFocus();
    w.edit->home(false);
    QTest::keyClicks(w.edit, "123");
    w.other->setFocus();
    EXPECT_TRUE(w.other->hasFocus());
    EXPECT_EQ(events, 2);
    EXPECT_EQ(w.edit->Text(), QString("123"));
}

// ------------------------------------------------------------ button facility

TEST(TrayEdit, ButtonStripIsReservedBesideTheText) {
    THvEdit edit;
    edit.resize(120, 24);
    EXPECT_TRUE(edit.ButtonRect().IsEmpty());
    EXPECT_EQ(edit.contentsRect(), QRect(2, 2, 116, 20));
    edit.SetShowButton(true);
    EXPECT_EQ(edit.ButtonStripWidth(), kSystemScrollBarWidth);
    EXPECT_EQ(edit.ButtonRect(), Rect(101, 2, 118, 22));
    EXPECT_EQ(edit.contentsRect(), QRect(2, 2, 99, 20));
    edit.setLayoutDirection(Qt::RightToLeft);
    EXPECT_EQ(edit.ButtonRect(), Rect(2, 2, 19, 22));
    EXPECT_EQ(edit.contentsRect(), QRect(19, 2, 99, 20));
    edit.SetShowButton(false);
    EXPECT_EQ(edit.contentsRect(), QRect(2, 2, 116, 20));
}

TEST(TrayEdit, ButtonIsPressedByAClickAndByAltDownAndF4) {
    EditWindow w;
    w.edit->SetShowButton(true);
    w.edit->setText("abc");
    QStringList log;
    w.edit->OnButtonDown = [&](THvCustomEdit* e) {
        log << QString("down %1 %2").arg(e->ButtonState()).arg(e->hasFocus());
    };
    w.edit->OnButtonUp = [&](THvCustomEdit* e) { log << QString("up %1").arg(e->ButtonState()); };
    w.show();
    w.other->setFocus();
    w.edit->setCursorPosition(1);

    // A click in the strip focuses the edit and presses the button; the
    // caret stays where it was.
    QTest::mouseClick(w.edit, Qt::LeftButton, {}, QPoint(110, 12));
    EXPECT_EQ(log, (QStringList{"down 2 1", "up 2"}));
    EXPECT_EQ(w.edit->ButtonState(), 0);
    EXPECT_TRUE(w.edit->hasFocus());
    EXPECT_EQ(w.edit->cursorPosition(), 1);
    // The right button there does nothing; a click on the text is the edit's.
    QTest::mouseClick(w.edit, Qt::RightButton, {}, QPoint(110, 12));
    QTest::mouseClick(w.edit, Qt::LeftButton, {}, QPoint(60, 12));
    EXPECT_EQ(log.size(), 2);

    log.clear();
    QTest::keyClick(w.edit, Qt::Key_Down, Qt::AltModifier);
    QTest::keyClick(w.edit, Qt::Key_F4);
    EXPECT_EQ(log, (QStringList{"down 2 1", "up 2", "down 2 1", "up 2"}));
    QTest::keyClick(w.edit, Qt::Key_Down);
    EXPECT_EQ(log.size(), 4);

    log.clear();
    w.edit->SetShowButton(false);
    QTest::keyClick(w.edit, Qt::Key_F4);
    QTest::mouseClick(w.edit, Qt::LeftButton, {}, QPoint(110, 12));
    EXPECT_TRUE(log.isEmpty());
}

TEST(TrayEdit, ButtonFacesClassicPressedAndFlat) {
    EditWindow w;
    w.edit->SetShowButton(true);
    QImage pressed;
    w.edit->OnButtonDown = [&](THvCustomEdit* e) { pressed = e->grab().toImage(); };
    w.show();
    w.other->setFocus();
    // The strip is (101, 2)-(118, 22): a raised button with the arrow's tip
    // at (109, 13) and its 7-pixel base three rows higher.
    const QImage up = w.edit->grab().toImage();
    EXPECT_EQ(up.pixelColor(101, 5), ToQColor(clBtnHighlight));
    EXPECT_EQ(up.pixelColor(117, 5), ToQColor(cl3DDkShadow));
    EXPECT_EQ(up.pixelColor(104, 18), ToQColor(clBtnFace));
    EXPECT_EQ(up.pixelColor(109, 13), QColor(Qt::black));
    EXPECT_EQ(up.pixelColor(106, 10), QColor(Qt::black));
    EXPECT_EQ(up.pixelColor(109, 14), ToQColor(clBtnFace));
    // Pressed: a flat shadow frame and the arrow one pixel down and right.
    w.edit->PressButton();
    ASSERT_FALSE(pressed.isNull());
    EXPECT_EQ(pressed.pixelColor(101, 5), ToQColor(clBtnShadow));
    EXPECT_EQ(pressed.pixelColor(110, 14), QColor(Qt::black));
    EXPECT_EQ(pressed.pixelColor(109, 14), ToQColor(clBtnFace));

    // Flat: the edit's colour until the control is hot, then a bevel in the
    // flat button colour.
    w.edit->SetFlatButtons(true);
    w.edit->SetFlatButtonColor(clYellow);
    w.edit->SetColor(TColor(0xFFFF00));
    const QImage flat = w.edit->grab().toImage();
    EXPECT_EQ(flat.pixelColor(104, 18), ToQColor(TColor(0xFFFF00)));
    EXPECT_EQ(flat.pixelColor(109, 13), QColor(Qt::black));
    w.edit->setFocus();
    const QImage hot = w.edit->grab().toImage();
    EXPECT_EQ(hot.pixelColor(104, 18), ToQColor(clYellow));
    EXPECT_EQ(hot.pixelColor(101, 5), ToQColor(LighterColor(clYellow, 100)));
}

// ------------------------------------------------------------ non-client strip

// Through the window, as the window system delivers them: a right press then
// asks for its context menu too, and a double click replaces its second press.
namespace {
QPoint InWindow(QWidget* w, QPoint p) {
    return w->mapTo(w->window(), p);
}
} // namespace

TEST(TrayEdit, PressesOnTheFrameFocusTheEditButNeverReachTheText) {
    EditWindow w;
    w.edit->setText("abc def");
    w.show();
    QWindow* win = w.window->windowHandle();
    const QPoint frame = InWindow(w.edit, QPoint(1, 12)); // the left side of the frame
    const QPoint text = InWindow(w.edit, QPoint(40, 12));
    w.other->setFocus();
    w.edit->setCursorPosition(1);

    // On the text a press would move the caret to 0 and a double click
    // select "abc".
    QTest::mouseClick(win, Qt::LeftButton, {}, frame);
    EXPECT_TRUE(w.edit->hasFocus());
    EXPECT_EQ(w.edit->cursorPosition(), 1);
    QTest::mouseDClick(win, Qt::LeftButton, {}, frame);
    EXPECT_FALSE(w.edit->hasSelectedText());
    EXPECT_EQ(w.edit->cursorPosition(), 1);

    // A right press on the frame opens no menu; on the text it does.
    QTest::mousePress(win, Qt::RightButton, {}, frame);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    QTest::mouseRelease(win, Qt::RightButton, {}, frame);
    QTest::mousePress(win, Qt::RightButton, {}, text);
    QWidget* menu = QApplication::activePopupWidget();
    ASSERT_NE(menu, nullptr);
    menu->close();
    QTest::mouseRelease(win, Qt::RightButton, {}, text);

    // With the button shown, a left press anywhere on the strip presses it;
    // a double click is two presses, as two clicks are.
    int presses = 0;
    w.edit->OnButtonDown = [&](THvCustomEdit*) { ++presses; };
    w.edit->SetShowButton(true);
    QTest::mouseClick(win, Qt::LeftButton, {}, frame);
    EXPECT_EQ(presses, 1);
    QTest::mouseDClick(win, Qt::LeftButton, {}, frame);
    EXPECT_EQ(presses, 3);
    QTest::mouseClick(win, Qt::RightButton, {}, frame);
    QTest::mouseClick(win, Qt::LeftButton, {}, text);
    EXPECT_EQ(presses, 3);
    EXPECT_EQ(w.edit->ButtonState(), 0);
}

TEST(TrayEdit, TheStripShowsTheArrowAndTheTextTheLineEditsCursor) {
    EditWindow w;
    w.show();
    QWindow* win = w.window->windowHandle();
    struct Case {
        QPoint at;
        bool readOnly;
        Qt::CursorShape expected;
    };
    const Case cases[] = {
        {QPoint(60, 1), false, Qt::ArrowCursor},   // the top of the frame
        {QPoint(60, 12), false, Qt::IBeamCursor},  // the text
        {QPoint(119, 12), false, Qt::ArrowCursor}, // the right of the frame
        {QPoint(60, 12), true, Qt::ArrowCursor},   // a read-only text: the line edit's arrow
        {QPoint(60, 22), true, Qt::ArrowCursor},   // the bottom of the frame
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("(%1, %2) read-only %3")
                         .arg(c.at.x())
                         .arg(c.at.y())
                         .arg(c.readOnly)
                         .toStdString());
        w.edit->SetReadOnly(c.readOnly);
        QTest::mouseMove(win, InWindow(w.edit, c.at));
        EXPECT_EQ(w.edit->cursor().shape(), c.expected);
    }
}

// ------------------------------------------------------------ parent colour

TEST(TrayEdit, ParentColorFollowsTheParentsColour) {
    THvPanel panel;
    panel.SetColor(clYellow);
    auto* edit = new THvEdit(&panel);
    EXPECT_EQ(edit->Color(), clWindow);
    edit->SetParentColor(true);
    EXPECT_EQ(edit->Color(), clYellow);
    EXPECT_EQ(edit->NormalColor(), clYellow);
    EXPECT_EQ(edit->FocusColor(), clYellow); // it matched the old colour
    EXPECT_FALSE(edit->IsStored("Color"));
    panel.SetColor(clRed);
    EXPECT_EQ(edit->Color(), clRed);
    EXPECT_EQ(edit->FocusColor(), clRed);

    // A colour of its own ends it.
    edit->SetColor(clWhite);
    EXPECT_FALSE(edit->ParentColor());
    panel.SetColor(clBlue);
    EXPECT_EQ(edit->Color(), clWhite);
    EXPECT_TRUE(edit->IsStored("Color"));

    // A panel that itself shows its parent's colour passes the notice on.
    auto* inner = new THvPanel(&panel);
    auto* deep = new THvEdit(inner);
    inner->SetParentColor(true);
    deep->SetParentColor(true);
    EXPECT_EQ(deep->Color(), clBlue);
    panel.SetColor(clGreen);
    EXPECT_EQ(deep->Color(), clGreen);
}

TEST(TrayEdit, ParentColorOfAPlainParentFollowsItsPalette) {
    QWidget parent;
    QPalette p = parent.palette();
    p.setColor(parent.backgroundRole(), QColor(0x12, 0x34, 0x56));
    parent.setPalette(p);
    auto* edit = new THvEdit(&parent);
    edit->SetParentColor(true);
    EXPECT_EQ(edit->Color(), TColor(RGB(0x12, 0x34, 0x56)));
    p.setColor(parent.backgroundRole(), QColor(0x65, 0x43, 0x21));
    parent.setPalette(p);
    EXPECT_EQ(edit->Color(), TColor(RGB(0x65, 0x43, 0x21)));
    // Painted in it, too.
    edit->resize(60, 20);
    EXPECT_EQ(edit->grab().toImage().pixelColor(30, 10), QColor(0x65, 0x43, 0x21));
}
