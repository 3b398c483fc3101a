// Colour arithmetic on the 0-240 HSL scale and the system colour table.
#include "HvCommon.h"
#include "param_name.h"

#include <gtest/gtest.h>

using namespace hv;

TEST(TrayColour, SystemColoursResolveFromTheClassicTable) {
    EXPECT_EQ(ColorToRGB(clBtnFace), 0xC0C0C0u);
    EXPECT_EQ(ColorToRGB(clBtnShadow), 0x808080u);
    EXPECT_EQ(ColorToRGB(clWindow), 0xFFFFFFu);
    EXPECT_EQ(ColorToRGB(cl3DDkShadow), 0x000000u);
    EXPECT_EQ(ColorToRGB(0x00123456), 0x123456u);
}

TEST(TrayColour, DarkerButtonFaceLowersLightnessByTheAmount) {
    EXPECT_EQ(ColorToHsl(clBtnFace).L, 181);
    const TColor d = DarkerColor(clBtnFace, 10);
    EXPECT_EQ(ColorToHsl(d).L, 171);
    EXPECT_EQ(GetRValue(d), GetGValue(d));
    EXPECT_EQ(GetGValue(d), GetBValue(d));
}

TEST(TrayColour, GreyKeepsEqualChannelsAndFullLightnessIsWhite) {
    EXPECT_EQ(HslToColor(0, 0, 240), 0xFFFFFFu);
    for (int l : {0, 37, 120, 200}) {
        const auto c = HslToColor(77, 0, l);
        EXPECT_EQ(GetRValue(c), GetGValue(c));
        EXPECT_EQ(GetGValue(c), GetBValue(c));
    }
    EXPECT_EQ(LighterColor(0x0000FF, 200), TColor(0xFFFFFF));
}

struct HueCase {
    int hue;
    std::uint32_t expected;
};
class TrayHue : public ::testing::TestWithParam<HueCase> {};

// Hue 239 and 240 lie past the last sector of the 239-based scale; they wrap
// to red instead of landing in an undefined seventh sector.
TEST_P(TrayHue, EveryHueIsDefined) {
    EXPECT_EQ(HslToColor(GetParam().hue, 240, 120), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Hues, TrayHue,
                         ::testing::Values(HueCase{0, RGB(255, 0, 0)}, HueCase{239, RGB(255, 0, 0)},
                                           HueCase{240, RGB(255, 6, 0)},
                                           HueCase{80, RGB(0, 255, 2)}),
                         [](const ::testing::TestParamInfo<HueCase>& info) {
                             return "hue_" + std::to_string(info.param.hue);
                         });

TEST(TrayColour, HueNearTheEndOfTheCircleRoundTrips) {
    // RGB(255, 0, 1) has hue 240 after rounding: adjusting it keeps a red.
    EXPECT_EQ(ColorToHsl(RGB(255, 0, 1)).H, 240);
    const TColor d = DarkerColor(RGB(255, 0, 1), 20);
    EXPECT_GT(GetRValue(d), 200);
    EXPECT_LT(GetGValue(d), 10);
    EXPECT_LT(GetBValue(d), 10);
}

struct AdjustCase {
    int amount;
    TColor expected;
};
class TrayAdjust : public ::testing::TestWithParam<AdjustCase> {};
TEST_P(TrayAdjust, AdjustClampsBeyondTheRange) {
    EXPECT_EQ(AdjustColor(0x808080, GetParam().amount), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Amounts, TrayAdjust,
                         ::testing::Values(AdjustCase{0, 0x808080}, AdjustCase{255, 0xFFFFFF},
                                           AdjustCase{256, 0xFFFFFF}, AdjustCase{-255, 0},
                                           AdjustCase{-256, 0}, AdjustCase{100000, 0xFFFFFF}),
                         [](const ::testing::TestParamInfo<AdjustCase>& info) {
                             return test_support::number_name(info.param.amount);
                         });

TEST(TrayColour, BlendWeightsTheFirstColour) {
    EXPECT_EQ(BlendColors(clWhite, clBlack, 255), TColor(0xFFFFFF));
    EXPECT_EQ(BlendColors(clWhite, clBlack, 0), TColor(0));
    EXPECT_EQ(BlendColors(RGB(200, 100, 0), RGB(0, 100, 200), 51), TColor(RGB(40, 100, 160)));
}

TEST(TrayColour, CloseAndContrast) {
    EXPECT_TRUE(ColorsAreClose(clBtnFace, 0xC8C8C8));
    EXPECT_FALSE(ColorsAreClose(clBtnFace, clBlack));
    const Hsl c = ColorToHsl(ContrastColor(RGB(255, 0, 0), 120));
    EXPECT_NEAR(c.H, 120, 1);
    EXPECT_EQ(c.S, 240);
}

TEST(TrayText, StripAccelChars) {
    EXPECT_EQ(StripAccelChars("&Open"), QString("Open"));
    EXPECT_EQ(StripAccelChars("Fish && Chips"), QString("Fish & Chips"));
    EXPECT_EQ(StripAccelChars("A&&"), QString("A&&"));
    EXPECT_EQ(StripAccelChars("End&"), QString("End&"));
    EXPECT_EQ(StripAccelChars(""), QString(""));
}

TEST(TrayGeometry, CenteredRectRoundsTowardsZero) {
    EXPECT_EQ(CenteredRect(Rect(0, 0, 10, 10), 4, 3), Rect(3, 3, 7, 6));
    EXPECT_EQ(CenteredRect(Rect(-5, -5, 0, 0), 2, 2), Rect(-3, -3, -1, -1));
}
