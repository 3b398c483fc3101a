// Borders, frames and arrows checked pixel by pixel on small surfaces.
#include "HvCommon.h"

#include <gtest/gtest.h>

#include <string>

using namespace hv;

namespace {

constexpr TColor kBack = 0x123456;

// The surface as rows of letters from a legend of colours; '.' is the
// background.
std::string Picture(const Surface& s, const std::vector<std::pair<char, TColor>>& legend) {
    std::string out;
    for (int y = 0; y < s.height(); ++y) {
        for (int x = 0; x < s.width(); ++x) {
            const TColor p = s.pixel(x, y);
            char ch = '?';
            if (p == TColor(ColorToRGB(kBack))) ch = '.';
            for (const auto& [c, col] : legend)
                if (p == TColor(ColorToRGB(col))) ch = c;
            out += ch;
        }
        out += '\n';
    }
    return out;
}

} // namespace

TEST(TrayBorder, PaintSidesLeavesOutEndPixelsAndShrinks) {
    Surface s(5, 4, kBack);
    Canvas c(s);
    TRect inner;
    PaintSides(c, Rect(0, 0, 5, 4), clRed, inner, sdAll, clBlue);
    EXPECT_EQ(inner, Rect(1, 1, 4, 3));
    EXPECT_EQ(Picture(s, {{'r', clRed}, {'b', clBlue}}), "rrrrb\n"
                                                         "r...b\n"
                                                         "r...b\n"
                                                         "bbbbb\n");
}

TEST(TrayBorder, ClNoneDrawsNothingButStillShrinks) {
    Surface s(4, 4, kBack);
    Canvas c(s);
    TRect inner;
    PaintSides(c, Rect(0, 0, 4, 4), clNone, inner, SideBit(sdLeft) | SideBit(sdTop), clBlue);
    EXPECT_EQ(inner, Rect(1, 1, 4, 4));
    EXPECT_EQ(Picture(s, {}), "....\n....\n....\n....\n");
}

TEST(TrayBorder, GrooveIsAnEtchedLineTwoPixelsDeep) {
    Surface s(10, 10, kBack);
    Canvas c(s);
    TRect inner;
    PaintStyledBorder(c, Rect(0, 0, 10, 10), fsGroove, inner);
    EXPECT_EQ(inner, Rect(2, 2, 8, 8));
    EXPECT_EQ(Picture(s, {{'s', clBtnShadow}, {'h', clBtnHighlight}}), "sssssssssh\n"
                                                                       "shhhhhhhsh\n"
                                                                       "sh......sh\n"
                                                                       "sh......sh\n"
                                                                       "sh......sh\n"
                                                                       "sh......sh\n"
                                                                       "sh......sh\n"
                                                                       "sh......sh\n"
                                                                       "sssssssssh\n"
                                                                       "hhhhhhhhhh\n");
}

struct StyleInset {
    TFrameStyleEx style;
    TRect inner;
    const char* name; // the style's
};
class TrayStyledBorder : public ::testing::TestWithParam<StyleInset> {};
TEST_P(TrayStyledBorder, InnerRectangleByStyle) {
    Surface s(12, 12, kBack);
    Canvas c(s);
    TRect inner;
    PaintStyledBorder(c, Rect(0, 0, 12, 12), GetParam().style, inner);
    EXPECT_EQ(inner, GetParam().inner);
}
INSTANTIATE_TEST_SUITE_P(
    Styles, TrayStyledBorder,
    ::testing::Values(StyleInset{fsNone, Rect(0, 0, 12, 12), "fsNone"},
                      StyleInset{fsFlat, Rect(1, 1, 11, 11), "fsFlat"},
                      StyleInset{fsLowered, Rect(2, 2, 10, 10), "fsLowered"},
                      StyleInset{fsButtonUp, Rect(2, 2, 10, 10), "fsButtonUp"},
                      StyleInset{fsStatus, Rect(1, 1, 11, 11), "fsStatus"},
                      StyleInset{fsFlatBold, Rect(2, 2, 10, 10), "fsFlatBold"}),
    [](const ::testing::TestParamInfo<StyleInset>& info) { return std::string(info.param.name); });

TEST(TrayBorder, RaisedBevelColours) {
    Surface s(6, 6, kBack);
    Canvas c(s);
    TRect inner;
    PaintBevel(c, Rect(0, 0, 6, 6), false, inner);
    EXPECT_EQ(s.pixel(0, 0), TColor(ColorToRGB(cl3DLight)));
    EXPECT_EQ(s.pixel(5, 5), TColor(ColorToRGB(cl3DDkShadow)));
    EXPECT_EQ(s.pixel(1, 1), TColor(ColorToRGB(clBtnHighlight)));
    EXPECT_EQ(s.pixel(4, 4), TColor(ColorToRGB(clBtnShadow)));
    EXPECT_EQ(inner, Rect(2, 2, 4, 4));
}

TEST(TrayBorder, EditFrameFlatInsideAColourRing) {
    Surface s(6, 5, kBack);
    Canvas c(s);
    PaintEditFrame(c, 6, 5, false, sdAll, clRed, clYellow, fsFlat);
    EXPECT_EQ(Picture(s, {{'r', clRed}, {'y', clYellow}}), "rrrrrr\n"
                                                           "ryyyyr\n"
                                                           "ry..yr\n"
                                                           "ryyyyr\n"
                                                           "rrrrrr\n");
}

TEST(TrayBorder, FocusBoxDotsEverySecondPixel) {
    Surface s(6, 4, clWhite);
    Canvas c(s);
    TRect inner;
    PaintFocusBox(c, Rect(0, 0, 6, 4), inner);
    EXPECT_EQ(inner, Rect(1, 1, 5, 3));
    EXPECT_EQ(s.pixel(0, 0), TColor(0xFFFFFF));
    EXPECT_EQ(s.pixel(1, 0), TColor(0));
    EXPECT_EQ(s.pixel(2, 0), TColor(0xFFFFFF));
    EXPECT_EQ(s.pixel(0, 1), TColor(0));
    EXPECT_EQ(s.pixel(5, 3), TColor(0));
}

TEST(TrayBorder, RoundedFlatBorderCutsItsCorners) {
    Surface s(6, 5, kBack);
    Canvas c(s);
    TRect inner;
    PaintRoundedFlatBorder(c, Rect(0, 0, 6, 5), clRed, inner, sdAll);
    EXPECT_EQ(inner, Rect(2, 2, 4, 3));
    EXPECT_EQ(Picture(s, {{'r', clRed}}), "..rr..\n"
                                          ".r..r.\n"
                                          "r....r\n"
                                          ".r..r.\n"
                                          "..rr..\n");
}

TEST(TrayBorder, PanelBorderOuterWidthAndInner) {
    Surface s(10, 10, kBack);
    Canvas c(s);
    PanelBorder b;
    b.outer = fsFlat;
    b.flatColor = clRed;
    b.flatAdjust = 0;
    b.borderWidth = 1;
    b.borderColor = clBlue;
    b.innerStyle = fsFlat;
    TRect inner;
    PaintPanelBorder(c, Rect(0, 0, 10, 10), b, inner);
    EXPECT_EQ(inner, Rect(3, 3, 7, 7));
    EXPECT_EQ(s.pixel(0, 5), TColor(ColorToRGB(clRed)));
    EXPECT_EQ(s.pixel(1, 5), TColor(ColorToRGB(clBlue)));
    EXPECT_EQ(s.pixel(2, 5), TColor(ColorToRGB(clRed)));
    EXPECT_EQ(s.pixel(3, 5), TColor(ColorToRGB(kBack)));
}

TEST(TrayBorder, PanelBorderSurvivesAnOutOfRangeAdjustment) {
    Surface s(6, 6, kBack);
    Canvas c(s);
    PanelBorder b;
    b.outer = fsFlat;
    b.flatColor = 0x808080;
    b.flatAdjust = 1000;
    TRect inner;
    PaintPanelBorder(c, Rect(0, 0, 6, 6), b, inner);
    EXPECT_EQ(s.pixel(0, 0), TColor(0xFFFFFF));
}

struct ArrowCase {
    int direction;
    const char* picture;
};
class TraySpinArrow : public ::testing::TestWithParam<ArrowCase> {};
// Where the arrow points, as the pictures show.
static std::string ArrowName(const ::testing::TestParamInfo<ArrowCase>& info) {
    static const char* const names[] = {"up", "down", "left", "right"};
    return names[info.param.direction];
}
TEST_P(TraySpinArrow, ClassicArrowRows) {
    Surface s(9, 9, clWhite);
    Canvas c(s);
    c.Brush.Color = clBtnFace;
    PaintSpinArrow(c, Rect(0, 0, 9, 9), false, true, false, GetParam().direction);
    std::string pic;
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 9; ++x)
            pic += s.pixel(x, y) == 0 ? '#' : '.';
        pic += '\n';
    }
    EXPECT_EQ(pic, GetParam().picture);
    EXPECT_EQ(c.Brush.Color, clBtnFace);
}
INSTANTIATE_TEST_SUITE_P(Directions, TraySpinArrow,
                         ::testing::Values(ArrowCase{0, ".........\n"
                                                        ".........\n"
                                                        "....#....\n"
                                                        "...###...\n"
                                                        "..#####..\n"
                                                        ".#######.\n"
                                                        ".........\n"
                                                        ".........\n"
                                                        ".........\n"},
                                           ArrowCase{1, ".........\n"
                                                        ".........\n"
                                                        ".#######.\n"
                                                        "..#####..\n"
                                                        "...###...\n"
                                                        "....#....\n"
                                                        ".........\n"
                                                        ".........\n"
                                                        ".........\n"},
                                           ArrowCase{3, ".........\n"
                                                        "..#......\n"
                                                        "..##.....\n"
                                                        "..###....\n"
                                                        "..####...\n"
                                                        "..###....\n"
                                                        "..##.....\n"
                                                        "..#......\n"
                                                        ".........\n"}),
                         ArrowName);

TEST(TrayBorder, DisabledArrowIsShadowGrey) {
    Surface s(9, 9, clWhite);
    Canvas c(s);
    PaintSpinArrow(c, Rect(0, 0, 9, 9), false, false, false, 0);
    EXPECT_EQ(s.pixel(4, 5), TColor(ColorToRGB(clBtnShadow)));
}

TEST(TrayBorder, ColourStyledBordersDeriveFromTheBaseColour) {
    const TColor base = 0x808080;
    Surface s(8, 8, kBack);
    Canvas c(s);
    TRect inner;
    PaintColorStyledBorder(c, Rect(0, 0, 8, 8), base, inner, fsLowered);
    EXPECT_EQ(inner, Rect(2, 2, 6, 6));
    EXPECT_EQ(s.pixel(0, 3), DarkerColor(base, 50));
    EXPECT_EQ(s.pixel(7, 3), LighterColor(base, 100));
    EXPECT_EQ(s.pixel(1, 3), DarkerColor(base, 100));
    EXPECT_EQ(s.pixel(6, 3), LighterColor(base, 50));
}

TEST(TrayBorder, PopupPanelBorderIsBevelWidthDeep) {
    Surface s(10, 10, kBack);
    Canvas c(s);
    PanelBorder b;
    b.outer = fsPopup;
    b.bevelWidth = 3;
    b.highlightColor = clWhite;
    b.shadowColor = clBlack;
    TRect inner;
    PaintPanelBorder(c, Rect(0, 0, 10, 10), b, inner);
    EXPECT_EQ(inner, Rect(3, 3, 7, 7));
    EXPECT_EQ(s.pixel(2, 5), clWhite);
    EXPECT_EQ(s.pixel(7, 5), clBlack);
    EXPECT_EQ(s.pixel(3, 5), kBack);
}
