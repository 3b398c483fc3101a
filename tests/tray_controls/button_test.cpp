// Push buttons and control buttons: mouse, keys, groups and faces.
#include "HvButton.h"
#include "widget_support.h"

#include <QDialog>
#include <QLineEdit>

using namespace hv;

namespace {

struct ButtonWindow : ShownWindow {
    THvButton* a = new THvButton(window.get());
    THvButton* b = new THvButton(window.get());
    QLineEdit* edit = new QLineEdit(window.get());
    int clicksA = 0, clicksB = 0;
    ButtonWindow() {
        a->move(10, 10);
        b->move(100, 10);
        edit->setGeometry(10, 60, 100, 22);
        a->SetCaption("&Apply");
        b->SetCaption("Cancel");
        QObject::connect(a, &THvButton::clicked, [this] { ++clicksA; });
        QObject::connect(b, &THvButton::clicked, [this] { ++clicksB; });
    }
};

} // namespace

TEST(TrayButton, DefaultsAndSize) {
    THvButton b;
    EXPECT_EQ(b.size(), QSize(75, 25));
    EXPECT_EQ(b.Color(), clBtnFace);
    EXPECT_EQ(b.FrameColor(), cl3DDkShadow);
    EXPECT_EQ(b.HotTrackColor(), 0x149BF0);
    EXPECT_TRUE(b.ShowFocusRect());
}

TEST(TrayButton, ClickPressMoveOffAndBack) {
    ButtonWindow w;
    w.show();
    QTest::mouseClick(w.a, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(w.clicksA, 1);
    EXPECT_TRUE(w.a->hasFocus());

    QTest::mousePress(w.a, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(w.a->IsPressed());
    QTest::mouseMove(w.a, QPoint(5, w.a->height())); // the bottom row is outside
    EXPECT_FALSE(w.a->IsPressed());
    QTest::mouseMove(w.a, QPoint(5, w.a->height() - 1));
    EXPECT_TRUE(w.a->IsPressed());
    QTest::mouseRelease(w.a, Qt::LeftButton, {}, QPoint(5, w.a->height()));
    EXPECT_EQ(w.clicksA, 1);
    EXPECT_FALSE(w.a->IsPressed());
}

TEST(TrayButton, EnterClicksTheActiveButtonEscapeTheCancelOne) {
    ButtonWindow w;
    w.a->SetDefault(true);
    w.b->SetCancel(true);
    w.show();
    w.edit->setFocus();
    EXPECT_TRUE(w.a->IsActive());
    QTest::keyClick(w.edit, Qt::Key_Return);
    EXPECT_EQ(w.clicksA, 1);
    QTest::keyClick(w.edit, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(w.clicksA, 1);
    QTest::keyClick(w.edit, Qt::Key_Escape);
    EXPECT_EQ(w.clicksB, 1);
    // Focus on a button makes it the active one.
    w.b->setFocus();
    EXPECT_TRUE(w.b->IsActive());
    EXPECT_FALSE(w.a->IsActive());
    QTest::keyClick(w.b, Qt::Key_Return);
    EXPECT_EQ(w.clicksB, 2);
    EXPECT_EQ(w.clicksA, 1);
    QTest::keyClick(w.edit, Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(w.clicksA, 2) << w.edit->text().toStdString();
}

TEST(TrayButton, SpaceClicksOnlyAfterAPressOnTheButton) {
    ButtonWindow w;
    w.show();
    w.a->setFocus();
    QTest::keyClick(w.a, Qt::Key_Space);
    EXPECT_EQ(w.clicksA, 1);
    QTest::keyRelease(w.a, Qt::Key_Space); // a stray release (e.g. after Alt+Space)
    EXPECT_EQ(w.clicksA, 1);
    QTest::keyPress(w.a, Qt::Key_Space, Qt::AltModifier);
    QTest::keyRelease(w.a, Qt::Key_Space);
    EXPECT_EQ(w.clicksA, 1);
    // Pressed here, focus moved away, released: no click anywhere.
    QTest::keyPress(w.a, Qt::Key_Space);
    w.b->setFocus();
    QTest::keyRelease(w.b, Qt::Key_Space);
    EXPECT_EQ(w.clicksA, 1);
    EXPECT_EQ(w.clicksB, 0);
    w.a->setFocus();
    QTest::keyRelease(w.a, Qt::Key_Space);
    EXPECT_EQ(w.clicksA, 1);
}

TEST(TrayButton, ModalResultEndsTheDialog) {
    QDialog dlg;
    auto* cancel = new THvButton(&dlg);
    cancel->SetCancel(true);
    cancel->SetModalResult(2);
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    QTest::mouseClick(cancel, Qt::LeftButton, {}, QPoint(4, 4));
    EXPECT_EQ(dlg.result(), 2);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(TrayButton, GroupedButtonsReleaseEachOther) {
    QWidget parent;
    auto* a = new THvButton(&parent);
    auto* b = new THvButton(&parent);
    a->SetGroupIndex(1);
    b->SetGroupIndex(1);
    a->SetDown(true);
    EXPECT_TRUE(a->Down());
    b->SetDown(true);
    EXPECT_TRUE(b->Down());
    EXPECT_FALSE(a->Down());
    b->SetDown(false); // AllowAllUp False: stays down
    EXPECT_TRUE(b->Down());
    b->SetAllowAllUp(true);
    EXPECT_TRUE(a->AllowAllUp());
    b->SetDown(false);
    EXPECT_FALSE(b->Down());
    THvButton lone;
    lone.SetDown(true);
    EXPECT_FALSE(lone.Down()); // no group: never down
}

TEST(TrayButton, LabelPassesByTextStyle) {
    THvButton b;
    b.SetTextStyle(tsRaised);
    auto p = b.LabelPasses(DT_CENTER);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].dx, 1);
    EXPECT_EQ(p[1].dx, -1);
    b.SetLightTextStyle(true);
    p = b.LabelPasses(DT_CENTER);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].color, clBtnHighlight);
    b.SetTextStyle(tsRecessed);
    p = b.LabelPasses(DT_CENTER);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].dx, 1);
    b.SetTextStyle(tsShadow);
    p = b.LabelPasses(DT_RIGHT);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].dx, 0);
    EXPECT_EQ(p[0].dy, 2);
    EXPECT_EQ(p[1].dx, -2);
    b.setEnabled(false);
    p = b.LabelPasses(DT_CENTER);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].color, clGrayText);
}

TEST(TrayButton, DownPatternAlternatesSilverAndGray) {
    const Surface s = THvButton::FillDownPattern(clBtnFace);
    EXPECT_EQ(s.pixel(0, 0), clGray);
    EXPECT_EQ(s.pixel(1, 0), clSilver);
    const Surface t = THvButton::FillDownPattern(clWhite);
    EXPECT_EQ(t.pixel(1, 1), clSilver);
    EXPECT_EQ(t.pixel(0, 1), clWhite);
}

struct GlyphCase {
    int w, h, numGlyphs;
};
class TrayGlyphs : public ::testing::TestWithParam<GlyphCase> {};
TEST_P(TrayGlyphs, NumGlyphsFromTheGlyphSize) {
    THvControlButton b;
    b.SetGlyph(Surface(GetParam().w, GetParam().h));
    EXPECT_EQ(b.NumGlyphs(), GetParam().numGlyphs);
}
INSTANTIATE_TEST_SUITE_P(Sizes, TrayGlyphs,
                         ::testing::Values(GlyphCase{48, 16, 3}, GlyphCase{80, 16, 1},
                                           GlyphCase{16, 16, 1}, GlyphCase{30, 16, 1}),
                         [](const ::testing::TestParamInfo<GlyphCase>& info) {
                             return std::to_string(info.param.w) + "x" +
                                    std::to_string(info.param.h);
                         });

TEST(TrayControlButton, ZeroGlyphCountNeverDividesByZero) {
    THvControlButton b;
    b.resize(20, 20);
    b.SetGlyph(Surface(30, 16));
    b.SetNumGlyphs(0);
    EXPECT_EQ(b.NumGlyphs(), 1);
    EXPECT_EQ(b.GlyphCellSize(), (TPoint{30, 16}));
    const Surface s = RenderControl(&b);
    EXPECT_EQ(s.width(), 20);
}

TEST(TrayControlButton, PressAbandonedByTheMouseDownHook) {
    ShownWindow w;
    auto* b = new THvControlButton(w.window.get());
    w.show();
    int clicks = 0;
    QObject::connect(b, &THvControlButton::clicked, [&] { ++clicks; });
    b->OnMouseDown = [](THvControlButton*) { return false; };
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(clicks, 0);
    EXPECT_FALSE(b->IsDown());
    b->OnMouseDown = nullptr;
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(clicks, 1);
}

TEST(TrayControlButton, GlyphCellByState) {
    THvControlButton b;
    b.SetGlyph(Surface(48, 16));
    EXPECT_EQ(b.GlyphIndex(), 0);
    b.setEnabled(false);
    EXPECT_EQ(b.GlyphIndex(), 1);
}

TEST(TrayButton, ClassicFacesByState) {
    ButtonWindow w;
    w.show();
    w.edit->setFocus();
    Surface s = RenderControl(w.a);
    EXPECT_EQ(s.pixel(0, 0), TColor(ColorToRGB(clBtnHighlight))); // raised bevel
    EXPECT_EQ(s.pixel(74, 24), TColor(ColorToRGB(cl3DDkShadow)));
    EXPECT_EQ(s.pixel(37, 3), TColor(ColorToRGB(clBtnFace)));
    w.a->setFocus();
    s = RenderControl(w.a);
    EXPECT_EQ(s.pixel(0, 0), TColor(ColorToRGB(clWindowFrame))); // the default ring
    EXPECT_EQ(s.pixel(1, 1), TColor(ColorToRGB(clBtnHighlight)));
    EXPECT_EQ(s.pixel(5, 4), 0); // focus dots on the rectangle inset by 4
    QTest::mousePress(w.a, Qt::LeftButton, {}, QPoint(5, 5));
    s = RenderControl(w.a);
    EXPECT_EQ(s.pixel(0, 0), TColor(ColorToRGB(clBtnText))); // pushed bevel, no ring
    EXPECT_EQ(s.pixel(1, 1), TColor(ColorToRGB(clBtnShadow)));
    QTest::mouseRelease(w.a, Qt::LeftButton, {}, QPoint(5, 5));
}

TEST(TrayButton, HotTrackShowsTheParentAtItsCorners) {
    ShownWindow w;
    auto* parent = new QWidget(w.window.get());
    parent->setGeometry(0, 0, 200, 100);
    parent->setProperty("Color", int(clRed));
    auto* b = new THvButton(parent);
    b->move(10, 10);
    b->SetHotTrack(true);
    EXPECT_TRUE(b->CornersShowParent());
    w.show();
    const Surface s = RenderControl(b);
    const TColor dark = DarkerColor(clRed, 20);
    EXPECT_EQ(s.pixel(0, 5), dark); // the outer ring from the parent's colour
    EXPECT_EQ(s.pixel(1, 1), dark); // its corner pixel
    EXPECT_EQ(s.pixel(1, 5), TColor(ColorToRGB(cl3DDkShadow))); // FrameColor ring
}
