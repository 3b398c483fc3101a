// Panels and group boxes: borders, client areas, grid and enabled state.
#include "HvPanel.h"
#include "widget_support.h"

#include <QLineEdit>

using namespace hv;

struct ShrinkCase {
    TFrameStyleEx outer, inner;
    int sides, borderWidth;
    bool includeWidth;
    TRect expected;
    const char* name;
};
class TrayPanelShrink : public ::testing::TestWithParam<ShrinkCase> {};
TEST_P(TrayPanelShrink, ShrinkByBorders) {
    THvPanel p;
    p.SetBorderOuter(GetParam().outer);
    p.SetBorderInner(GetParam().inner);
    p.SetBorderSides(GetParam().sides);
    p.SetBorderWidth(GetParam().borderWidth);
    TRect r = Rect(0, 0, 100, 50);
    p.ShrinkByBorders(r, GetParam().includeWidth);
    EXPECT_EQ(r, GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Borders, TrayPanelShrink,
    ::testing::Values(ShrinkCase{fsRaised, fsNone, sdAll, 0, false, Rect(2, 2, 98, 48), "raised"},
                      ShrinkCase{fsFlat, fsLowered, sdAll, 3, true, Rect(6, 6, 94, 44),
                                 "flat_lowered_width_3"},
                      ShrinkCase{fsFlat, fsNone, SideBit(sdLeft) | SideBit(sdBottom), 0, false,
                                 Rect(1, 0, 100, 49), "flat_left_and_bottom"},
                      ShrinkCase{fsStatus, fsNone, sdAll, 0, false, Rect(1, 1, 99, 49), "status"},
                      ShrinkCase{fsNone, fsFlatRounded, sdAll, 0, false, Rect(2, 2, 98, 48),
                                 "inner_flat_rounded"}),
    [](const ::testing::TestParamInfo<ShrinkCase>& info) { return std::string(info.param.name); });

TEST(TrayPanel, BottomAlignedPanelKeepsItsBottomEdge) {
    THvPanel p;
    p.setGeometry(0, 100, 50, 40);
    p.SetAlign(alBottom);
    p.SetBounds(0, 100, 50, 60);
    EXPECT_EQ(p.geometry(), QRect(0, 80, 50, 60));
    p.SetAlign(alRight);
    p.SetBounds(0, 80, 30, 60);
    EXPECT_EQ(p.geometry(), QRect(20, 80, 30, 60));
}

TEST(TrayPanel, ChildrenKeepTheirOwnDisabledStateAcrossDisableEnable) {
    THvPanel p;
    auto* a = new QLineEdit(&p);
    auto* b = new QLineEdit(&p);
    b->setEnabled(false);
    p.setEnabled(false);
    EXPECT_FALSE(a->isEnabled());
    auto* c = new QLineEdit(&p); // added while disabled
    p.setEnabled(true);
    EXPECT_TRUE(a->isEnabled());
    EXPECT_FALSE(b->isEnabled());
    EXPECT_TRUE(c->isEnabled());
}

TEST(TrayPanel, GridDotsAndNoneForZeroSpacing) {
    THvPanel p;
    p.SetGridSpacingX(10);
    p.SetGridSpacingY(5);
    auto dots = p.GridDots(Rect(2, 2, 32, 12));
    ASSERT_EQ(dots.size(), 6u);
    EXPECT_EQ(dots[0], (TPoint{11, 6}));
    p.SetGridSpacingX(0);
    EXPECT_TRUE(p.GridDots(Rect(2, 2, 32, 12)).empty());
}

TEST(TrayPanel, PaintsBorderFillAndGradient) {
    THvPanel p;
    p.resize(40, 30);
    p.SetBorderOuter(fsFlat);
    p.SetFlatColor(clRed);
    p.SetFlatColorAdjustment(0);
    p.SetColor(clYellow);
    Surface s = RenderControl(&p);
    EXPECT_EQ(s.pixel(0, 10), clRed);
    EXPECT_EQ(s.pixel(20, 15), clYellow);
    p.SetVisualStyle(vsGradient);
    p.SetGradientColorStyle(gcsCustom);
    p.SetGradientColorStart(clWhite);
    p.SetGradientColorStop(clBlack);
    s = RenderControl(&p);
    EXPECT_GT(GetRValue(std::uint32_t(s.pixel(20, 28))), GetRValue(std::uint32_t(s.pixel(20, 1))));
    p.SetFlatColorAdjustment(5000); // clamped, painting still works
    EXPECT_EQ(p.FlatColorAdjustment(), 255);
    RenderControl(&p);
}

TEST(TrayGroupBox, DefaultsAndClassicFlatFrame) {
    THvGroupBox g;
    g.resize(120, 105);
    EXPECT_EQ(g.height(), 105);
    EXPECT_EQ(g.GroupStyle(), gsFlat);
    EXPECT_EQ(g.BorderOuter(), fsNone);
    EXPECT_EQ(g.Alignment(), taLeftJustify);
    const int hp = QFontMetrics(g.font()).height();
    const TRect client = g.ClientRectForChildren();
    EXPECT_EQ(client.Top, hp + 1); // the caption line, then one pixel of inset
    EXPECT_EQ(client.Left, 1);
    const Surface s = RenderControl(&g);
    const TColor d = LighterColor(clBtnShadow, 30);
    const int top = hp / 2 - 1;
    EXPECT_EQ(s.pixel(0, top + 10), d);
    EXPECT_EQ(s.pixel(1, top + 1), d);
    EXPECT_EQ(s.pixel(0, top + 1), TColor(ColorToRGB(clBtnFace))); // cut corner
}

TEST(TrayGroupBox, StandardDrawsAGrooveAndBannerCaptionSitsInside) {
    THvGroupBox g;
    g.resize(120, 80);
    g.SetGroupStyle(gsStandard);
    const int hp = QFontMetrics(g.font()).height();
    const Surface s = RenderControl(&g);
    EXPECT_EQ(s.pixel(0, hp / 2 + 5), TColor(ColorToRGB(clBtnShadow)));
    EXPECT_EQ(s.pixel(1, hp / 2 + 5), TColor(ColorToRGB(clBtnHighlight)));
    g.SetCaption("Group");
    g.SetGroupStyle(gsBanner);
    EXPECT_EQ(g.CaptionRect(), Rect(0, 0, 120, hp + 6));
    EXPECT_EQ(g.ClientRectForChildren().Top, hp + 8);
}

TEST(TrayGroupBox, AcceleratorFocusesTheFirstChild) {
    ShownWindow w;
    auto* g = new THvGroupBox(w.window.get());
    g->setGeometry(5, 5, 200, 120);
    auto* other = new QLineEdit(w.window.get());
    other->move(5, 150);
    g->SetCaption("&Pins");
    auto* first = new QLineEdit(g);
    first->move(10, 30);
    w.show();
    other->setFocus();
    QTest::keyClick(other, Qt::Key_P, Qt::AltModifier);
    EXPECT_TRUE(first->hasFocus());
}

TEST(TrayPanel, TransparentPanelShowsItsParentsImage) {
    THvPanel parent;
    parent.resize(60, 60);
    parent.SetBorderOuter(fsNone);
    parent.SetVisualStyle(vsGradient);
    parent.SetGradientColorStyle(gcsCustom);
    parent.SetGradientColorStart(clBlack);
    parent.SetGradientColorStop(clWhite);
    auto* child = new THvPanel(&parent);
    child->SetBorderOuter(fsNone);
    child->SetColor(clRed);
    child->setGeometry(10, 20, 30, 30);
    EXPECT_EQ(RenderControl(child).pixel(5, 5), clRed);
    child->SetTransparent(1);
    const Surface whole = RenderControl(&parent);
    const Surface mine = RenderControl(child);
    for (int y = 0; y < 30; y += 7)
        for (int x = 0; x < 30; x += 7)
            EXPECT_EQ(mine.pixel(x, y), whole.pixel(x + 10, y + 20));
}
