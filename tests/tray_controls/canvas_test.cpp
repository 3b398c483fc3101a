// GDI semantics of the canvas the controls draw on.
#include "HvCanvas.h"

#include <gtest/gtest.h>

using namespace hv;

TEST(TrayCanvas, LineLeavesOutItsEndPixel) {
    Surface s(5, 1, clWhite);
    Canvas c(s);
    c.Line(0, 0, 4, 0, clRed);
    EXPECT_EQ(s.pixel(3, 0), clRed);
    EXPECT_EQ(s.pixel(4, 0), clWhite);
    EXPECT_EQ(c.PenPos(), (TPoint{4, 0}));
}

TEST(TrayCanvas, FillRectExcludesRightAndBottom) {
    Surface s(4, 4, clWhite);
    Canvas c(s);
    c.FillRect(Rect(1, 1, 3, 3), clRed);
    EXPECT_EQ(s.pixel(2, 2), clRed);
    EXPECT_EQ(s.pixel(3, 2), clWhite);
    EXPECT_EQ(s.pixel(2, 3), clWhite);
}

TEST(TrayCanvas, NegativeStretchMirrors) {
    Surface s(6, 1, clWhite);
    Canvas c(s);
    c.SetPixel(0, 0, clRed);
    c.SetPixel(1, 0, clBlue);
    c.SetPixel(2, 0, clGreen);
    c.StretchBlt(5, 0, -3, 1, c, 0, 0, 3, 1);
    EXPECT_EQ(s.pixel(5, 0), clRed);
    EXPECT_EQ(s.pixel(4, 0), clBlue);
    EXPECT_EQ(s.pixel(3, 0), clGreen);
}

TEST(TrayCanvas, ClipAndViewportApplyToDrawing) {
    Surface s(6, 6, clWhite);
    Canvas c(s);
    c.SetViewportOrg(2, 2);
    c.ExcludeClipRect(Rect(0, 0, 1, 1)); // device (2, 2)
    c.FillRect(Rect(-2, -2, 4, 4), clRed);
    EXPECT_EQ(s.pixel(0, 0), clRed);
    EXPECT_EQ(s.pixel(2, 2), clWhite);
    EXPECT_EQ(s.pixel(5, 5), clRed);
    EXPECT_EQ(c.GetPixel(0, 0), clWhite);
    c.SaveDC();
    c.IntersectClipRect(Rect(0, 0, 1, 1));
    EXPECT_TRUE(c.ClipBox().IsEmpty());
    c.RestoreDC();
    EXPECT_EQ(c.ClipBox(), Rect(-2, -2, 4, 4));
}

TEST(TrayCanvas, MaskedBlitSkipsMaskedPixels) {
    Surface src(2, 1, clRed);
    src.setPixel(1, 0, clBlue);
    Canvas sc(src);
    const MonoMask m = sc.MonoMaskOf(0, 0, 2, 1, clBlue);
    EXPECT_FALSE(m.at(0, 0));
    EXPECT_TRUE(m.at(1, 0));
    Surface dst(2, 1, clWhite);
    Canvas dc(dst);
    dc.MaskedStretchBlt(0, 0, 2, 1, sc, 0, 0, 2, 1, m, 0, 0);
    EXPECT_EQ(dst.pixel(0, 0), clRed);
    EXPECT_EQ(dst.pixel(1, 0), clWhite);
}

TEST(TrayCanvas, PolygonPaintsSharedEdgesOnce) {
    Surface s(8, 8, clWhite);
    Canvas c(s);
    c.Brush.Color = clRed;
    c.Polygon({{0, 0}, {8, 0}, {0, 8}});
    c.Brush.Color = clBlue;
    c.Polygon({{8, 0}, {8, 8}, {0, 8}});
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const TColor p = s.pixel(x, y);
            ASSERT_TRUE(p == clRed || p == clBlue) << x << "," << y;
            ASSERT_EQ(p, x + y < 7 ? clRed : clBlue) << x << "," << y;
        }
}
