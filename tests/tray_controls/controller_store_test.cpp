// The frame controller pushing settings by property name, and the settings
// store over its INI and registry files.
#include "HvEdit.h"
#include "HvPanel.h"
#include "widget_support.h"

#include <QTemporaryDir>

using namespace hv;

TEST(TrayFrameController, AddingAControlPushesEverything) {
    THvFrameController fc;
    fc.SetFrameStyle(fsFlatBold);
    fc.SetFrameColor(clRed);
    THvEdit edit;
    edit.SetFrameController(&fc);
    EXPECT_EQ(fc.ControlCount(), 1);
    EXPECT_EQ(edit.FrameStyle(), fsFlatBold);
    EXPECT_EQ(edit.FrameColor(), clRed);
    edit.SetFrameController(&fc);
    EXPECT_EQ(fc.ControlCount(), 1);
}

TEST(TrayFrameController, ColorDragsFocusColorAlong) {
    THvFrameController fc;
    THvEdit edit;
    edit.SetFrameController(&fc);
    fc.SetColor(clYellow);
    EXPECT_EQ(fc.FocusColor(), clYellow);
    EXPECT_EQ(edit.Color(), clYellow);
}

TEST(TrayFrameController, UpdatesWaitForEndUpdate) {
    THvFrameController fc;
    THvEdit edit;
    edit.SetFrameController(&fc);
    fc.BeginUpdate();
    fc.SetFrameStyle(fsLowered);
    fc.SetFrameHotColor(clBlue);
    EXPECT_EQ(edit.FrameStyle(), fsFlat);
    fc.EndUpdate();
    EXPECT_EQ(edit.FrameStyle(), fsLowered);
    EXPECT_EQ(edit.FrameHotColor(), clBlue);
}

TEST(TrayFrameController, NotificationMaskKeepsTheControlsOwnValue) {
    THvFrameController fc;
    THvEdit edit;
    edit.SetFrameControllerNotifications(fcnAll & ~(1u << fcpFrameStyle));
    edit.SetFrameStyle(fsRaised);
    edit.SetFrameController(&fc);
    fc.SetFrameStyle(fsGroove);
    fc.SetFrameColor(clRed);
    EXPECT_EQ(edit.FrameStyle(), fsRaised);
    EXPECT_EQ(edit.FrameColor(), clRed);
    // The settings the controller supplies are not stored with the control.
    EXPECT_TRUE(edit.IsStored("FrameStyle"));
    EXPECT_FALSE(edit.IsStored("FrameColor"));
}

TEST(TrayFrameController, ForgetsAControlDestroyedWithoutUnregistering) {
    THvFrameController fc;
    auto* foreign = new QWidget; // publishes nothing, never unregisters
    fc.AddControl(foreign);
    EXPECT_EQ(fc.ControlCount(), 1);
    delete foreign;
    EXPECT_EQ(fc.ControlCount(), 0);
    fc.SetFrameColor(clRed); // would reach the freed control otherwise
    SUCCEED();
}

TEST(TrayFrameController, ControlsForgetADestroyedController) {
    THvEdit edit;
    {
        THvFrameController fc;
        edit.SetFrameController(&fc);
    }
    EXPECT_EQ(edit.FrameController(), nullptr);
}

TEST(TrayFrameController, HotTrackTurnsTheFrameOnWithAllSides) {
    THvFrameController fc;
    fc.SetFrameSides(SideBit(sdTop));
    fc.SetFrameHotTrack(true);
    EXPECT_TRUE(fc.FrameVisible());
    EXPECT_EQ(fc.FrameSides(), sdAll);
}

TEST(TrayFrameController, OldStreamFrameFlat) {
    THvFrameController fc;
    ASSERT_TRUE(LoadProperties(&fc, {{"FrameFlat", true}, {"FrameFlatStyle", "fsFlat"}}));
    EXPECT_TRUE(fc.FrameHotTrack());
    EXPECT_EQ(fc.FrameStyle(), fsStatus);
    EXPECT_EQ(fc.FrameHotStyle(), fsLowered);
    THvFrameController fc2;
    LoadProperties(&fc2, {{"FrameFocusStyle", "fsRaised"}});
    EXPECT_EQ(fc2.FrameHotStyle(), fsRaised);
}

TEST(TrayFrameController, PanelsTakeTheSettingsThemselves) {
    THvFrameController fc;
    fc.SetFrameVisible(true);
    fc.SetFrameStyle(fsFlatBold);
    fc.SetFrameColor(clRed);
    THvPanel panel;
    panel.SetFrameController(&fc);
    EXPECT_EQ(panel.BorderOuter(), fsFlatBold);
    EXPECT_EQ(panel.FlatColor(), clRed);
    EXPECT_EQ(panel.FlatColorAdjustment(), 0);
    EXPECT_EQ(panel.BorderLightColor(), LighterColor(clWindow, 100));
}

TEST(TraySettingsStore, FreshObjectStoresOnlyItsPath) {
    THvRegIniFile s;
    EXPECT_TRUE(s.StoredProperties().isEmpty());
    s.SetPath("app.ini");
    EXPECT_EQ(s.StoredProperties(), QStringList{"Path"});
    EXPECT_EQ(s.RegAccess(), 0x200);
}

TEST(TraySettingsStore, SameTextLeavesTheChangedFlag) {
    QTemporaryDir dir;
    THvRegIniFile s;
    s.SetPath(dir.filePath("a.ini"));
    EXPECT_TRUE(s.SettingsChanged());
    EXPECT_FALSE(s.ReadString("S", "K").has_value()); // opens the target
    EXPECT_FALSE(s.SettingsChanged());
    s.SetPath(dir.filePath("a.ini"));
    EXPECT_FALSE(s.SettingsChanged());
    s.SetPathType(ptRegistry);
    EXPECT_TRUE(s.SettingsChanged());
}

TEST(TraySettingsStore, IniValuesRoundTripWithoutCase) {
    QTemporaryDir dir;
    THvRegIniFile s;
    s.SetPath(dir.filePath("sub/a.ini"));
    ASSERT_TRUE(s.WriteString("Main", "Key", "one"));
    ASSERT_TRUE(s.WriteString("Main", "Other", "two"));
    ASSERT_TRUE(s.WriteString("main", "KEY", "three"));
    EXPECT_EQ(s.ReadString("MAIN", "key").value_or(""), QString("three"));
    EXPECT_EQ(s.ReadString("Main", "Other").value_or(""), QString("two"));
    EXPECT_FALSE(s.WriteString("Main", "bad=key", "x"));
}

TEST(TraySettingsStore, RegistryFileAndTheXpScheme) {
    QTemporaryDir dir;
    qputenv("PRUVELL_REGISTRY_DIR", dir.path().toUtf8());
    EXPECT_EQ(ReadXpColorScheme(), 0);
    HvRegistryFileStore reg(hkeyCurrentUser, "\\Software\\Microsoft\\Windows\\CurrentVersion",
                            1u << keyAllAccess);
    ASSERT_TRUE(reg.WriteString("ThemeManager", "ColorName", "Homestead"));
    EXPECT_EQ(ReadXpColorScheme(), 1);
    ASSERT_TRUE(reg.WriteString("ThemeManager", "ColorName", "metallic"));
    EXPECT_EQ(ReadXpColorScheme(), 2);
    HvRegistryFileStore readOnly(hkeyCurrentUser, "\\Software\\X", 1u << keyRead);
    EXPECT_FALSE(readOnly.WriteString("S", "K", "v"));

    THvRegIniFile s;
    s.SetPathType(ptRegistry);
    s.SetPath("\\Software\\Microsoft\\Windows\\CurrentVersion");
    EXPECT_EQ(s.ReadString("ThemeManager", "ColorName").value_or(""), QString("metallic"));
    qunsetenv("PRUVELL_REGISTRY_DIR");
}
