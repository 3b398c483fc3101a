// The gradient painter and its block-copy helpers.
#include "HvGrafx.h"

#include <gtest/gtest.h>

using namespace hv;

namespace {

int Channel(TColor c) {
    return GetRValue(std::uint32_t(c));
}

Surface Gradient(int w, int h, TGradientDirection d, TColor a, TColor b) {
    Surface s(w, h, 0x00FF00);
    Canvas c(s);
    PaintGradient(c, Rect(0, 0, w, h), d, a, b, 1);
    return s;
}

} // namespace

TEST(TrayGradient, EmptyRectanglePaintsNothing) {
    Surface s(4, 4, 0x00FF00);
    Canvas c(s);
    PaintGradient(c, Rect(1, 1, 1, 3), gdHorizontalEnd, clBlack, clWhite, 1);
    PaintGradient(c, Rect(1, 1, 3, 1), gdSquareBox, clBlack, clWhite, 1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(s.pixel(x, y), 0x00FF00);
}

TEST(TrayGradient, HorizontalEndRunsFromATopToBBottom) {
    const TColor a = RGB(0x10, 0x10, 0x10), b = RGB(0x50, 0x50, 0x50);
    const Surface s = Gradient(30, 100, gdHorizontalEnd, a, b);
    EXPECT_EQ(s.pixel(0, 99), b);
    EXPECT_EQ(s.pixel(29, 99), b);
    EXPECT_EQ(s.pixel(0, 0), a);
    EXPECT_EQ(s.pixel(17, 0), a);
    for (int y = 1; y < 100; ++y) {
        EXPECT_LE(Channel(s.pixel(5, y - 1)), Channel(s.pixel(5, y))) << y;
        // Every column is the same strip.
        EXPECT_EQ(s.pixel(0, y), s.pixel(29, y));
    }
}

TEST(TrayGradient, HorizontalCenterHasBInTheMiddleAndAAtBothEnds) {
    const TColor a = RGB(0x20, 0x20, 0x20), b = RGB(0x60, 0x60, 0x60);
    const Surface s = Gradient(10, 100, gdHorizontalCenter, a, b);
    // The bands step by (B - A) / 51 per row in 16.16 fixed point, so the
    // far ends come within one step of A.
    EXPECT_EQ(s.pixel(3, 50), b);
    EXPECT_NEAR(Channel(s.pixel(3, 0)), Channel(a), 2);
    EXPECT_NEAR(Channel(s.pixel(3, 99)), Channel(a), 2);
    for (int y = 1; y <= 50; ++y)
        EXPECT_LE(Channel(s.pixel(3, y - 1)), Channel(s.pixel(3, y)));
    for (int y = 51; y < 100; ++y)
        EXPECT_GE(Channel(s.pixel(3, y - 1)), Channel(s.pixel(3, y)));
}

TEST(TrayGradient, VerticalEndRunsAcrossTheWidth) {
    const TColor a = RGB(0, 0, 0), b = RGB(0x40, 0x40, 0x40);
    const Surface s = Gradient(80, 20, gdVerticalEnd, a, b);
    EXPECT_EQ(s.pixel(0, 10), a);
    EXPECT_EQ(s.pixel(79, 10), b);
    for (int x = 1; x < 80; ++x)
        EXPECT_LE(Channel(s.pixel(x - 1, 7)), Channel(s.pixel(x, 7)));
    EXPECT_EQ(s.pixel(40, 0), s.pixel(40, 19));
}

TEST(TrayGradient, EqualColoursGiveSolidFills) {
    for (auto d : {gdDiagonalUp, gdDiagonalDown, gdSquareBox, gdBigSquareBox}) {
        const Surface s = Gradient(13, 9, d, clRed, clRed);
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(s.pixel(x, y), clRed) << d;
    }
}

TEST(TrayGradient, SmallBoxIsSolidA) {
    const Surface s = Gradient(4, 4, gdSquareBox, clRed, clBlue);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(s.pixel(x, y), clRed);
}

class TrayBoxSymmetry : public ::testing::TestWithParam<std::tuple<TGradientDirection, int, int>> {
};
// "square_6x9".
static std::string BoxName(const ::testing::TestParamInfo<TrayBoxSymmetry::ParamType>& info) {
    const auto [d, w, h] = info.param;
    const char* box = d == gdSquareBox       ? "square"
                      : d == gdBigSquareBox  ? "big_square"
                      : d == gdHorizontalBox ? "horizontal"
                                             : "vertical";
    return std::string(box) + "_" + std::to_string(w) + "x" + std::to_string(h);
}
// The mirrored quadrants give a picture symmetric about both centre lines,
// odd widths and heights included.
TEST_P(TrayBoxSymmetry, Symmetric) {
    const auto [d, w, h] = GetParam();
    const Surface s = Gradient(w, h, d, RGB(0, 0, 0), RGB(200, 200, 200));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            ASSERT_EQ(s.pixel(x, y), s.pixel(w - 1 - x, y)) << x << "," << y;
            ASSERT_EQ(s.pixel(x, y), s.pixel(x, h - 1 - y)) << x << "," << y;
        }
    // Lighter towards the centre (B), darker at the edge (A).
    EXPECT_GE(Channel(s.pixel(w / 2, h / 2)), Channel(s.pixel(0, 0)));
}
INSTANTIATE_TEST_SUITE_P(Boxes, TrayBoxSymmetry,
                         ::testing::Combine(::testing::Values(gdSquareBox, gdBigSquareBox,
                                                              gdHorizontalBox, gdVerticalBox),
                                            ::testing::Values(6, 7, 21), ::testing::Values(9, 14)),
                         BoxName);

TEST(TrayGradient, DiagonalCornersAndMonotoneAlongTheDiagonal) {
    const Surface up = Gradient(40, 30, gdDiagonalUp, RGB(0, 0, 0), RGB(250, 250, 250));
    EXPECT_LT(Channel(up.pixel(0, 0)), 10);
    EXPECT_GE(Channel(up.pixel(39, 29)), 235);
    for (int i = 1; i < 30; ++i)
        EXPECT_LE(Channel(up.pixel(i - 1, i - 1)), Channel(up.pixel(i, i)));
    const Surface down = Gradient(40, 30, gdDiagonalDown, RGB(0, 0, 0), RGB(250, 250, 250));
    EXPECT_GE(Channel(down.pixel(39, 0)), 235);
    EXPECT_LT(Channel(down.pixel(0, 29)), 10);
}

TEST(TrayGradient, DoublingFillCopiesDoubleThenClip) {
    Surface s(100, 20, clWhite);
    Canvas c(s);
    c.FillRect(Rect(0, 0, 8, 20), clRed);
    const auto copies = DoublingFillBlit(c, 0, 0, 100, 20, 8, 20);
    ASSERT_EQ(copies.size(), 4u);
    EXPECT_EQ(copies[0].Width(), 8);
    EXPECT_EQ(copies[1].Width(), 16);
    EXPECT_EQ(copies[2].Width(), 32);
    EXPECT_EQ(copies[3].Width(), 36);
    for (int x = 0; x < 100; ++x)
        EXPECT_EQ(s.pixel(x, 19), clRed);
}

TEST(TrayGradient, DoublingFillAlternatesDirections) {
    Surface s(20, 20, clWhite);
    Canvas c(s);
    c.FillRect(Rect(0, 0, 5, 5), clRed);
    const auto copies = DoublingFillBlit(c, 0, 0, 20, 20, 5, 5);
    ASSERT_GE(copies.size(), 2u);
    EXPECT_EQ(copies[0], Rect(0, 5, 5, 10));  // down first
    EXPECT_EQ(copies[1], Rect(5, 0, 10, 10)); // then right
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(s.pixel(x, y), clRed);
}

TEST(TrayGradient, MinimumBandWidth) {
    EXPECT_EQ(MinBandExtra(0, false), 0);
    EXPECT_EQ(MinBandExtra(1, false), 0);
    EXPECT_EQ(MinBandExtra(8, false), 7);
    EXPECT_EQ(MinBandExtra(16, false), 15);
    EXPECT_EQ(MinBandExtra(16, true), 16);
}

TEST(TrayGradient, RingPaintsOnlyTheTwoPixelEdgeAndNotOnAPaletteScreen) {
    Surface s(10, 10, 0x00FF00);
    Canvas c(s);
    PaintGradientRing(c, Rect(0, 0, 10, 10), gdHorizontalEnd, clRed, clRed);
    EXPECT_EQ(s.pixel(0, 5), clRed);
    EXPECT_EQ(s.pixel(1, 5), clRed);
    EXPECT_EQ(s.pixel(2, 5), 0x00FF00);
    EXPECT_FALSE(c.HasClip());

    OverrideScreenIsFullColor(false);
    Surface t(10, 10, 0x00FF00);
    Canvas ct(t);
    PaintGradientRing(ct, Rect(0, 0, 10, 10), gdHorizontalEnd, clRed, clRed);
    OverrideScreenIsFullColor(std::nullopt);
    EXPECT_EQ(t.pixel(0, 5), 0x00FF00);
}

TEST(TrayGrafx, TransparentBitmapLeavesTransparentPixelsAlone) {
    const TColor key = RGB(255, 0, 255);
    Surface glyph(4, 2, key);
    glyph.setPixel(1, 0, clBlue);
    glyph.setPixel(2, 1, clRed);
    Surface dest(4, 2, 0x00FF00);
    Canvas c(dest);
    PaintBitmapTransparent(c, glyph, Rect(0, 0, 4, 2), key, Rect(0, 0, 4, 2));
    EXPECT_EQ(dest.pixel(0, 0), 0x00FF00);
    EXPECT_EQ(dest.pixel(1, 0), clBlue);
    EXPECT_EQ(dest.pixel(2, 1), clRed);
    EXPECT_EQ(dest.pixel(3, 1), 0x00FF00);
}
