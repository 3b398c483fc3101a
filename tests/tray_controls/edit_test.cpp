// The framed edit: colours by state, the frame, hot tracking and keys.
#include "HvEdit.h"
#include "HvGrafx.h"
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
