// Panels and group boxes: borders, client areas, grid and enabled state.
#include "HvPanel.h"
#include "widget_support.h"

#include <QCursor>
#include <QLineEdit>
#include <QTemporaryDir>

#include <memory>

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

// Children are laid out inside the borders and then the border width; a
// group box's caption room comes on top of that.
struct ClientAreaCase {
    const char* name;
    int groupStyle; // -1: a plain panel
    TFrameStyleEx outer, inner;
    int sides, borderWidth;
    TRect expected;
    bool belowCaptionLine; // the text height is added to the expected top
};
class TrayPanelClientArea : public ::testing::TestWithParam<ClientAreaCase> {};
TEST_P(TrayPanelClientArea, ChildrenSitInsideTheBordersAndTheBorderWidth) {
    const ClientAreaCase& c = GetParam();
    std::unique_ptr<THvCustomPanel> p;
    if (c.groupStyle < 0) {
        p = std::make_unique<THvPanel>();
    } else {
        auto g = std::make_unique<THvGroupBox>();
        g->SetGroupStyle(c.groupStyle);
        p = std::move(g);
    }
    p->resize(120, 105);
    p->SetBorderOuter(c.outer);
    p->SetBorderInner(c.inner);
    p->SetBorderSides(c.sides);
    p->SetBorderWidth(c.borderWidth);
    const int ht = QFontMetrics(p->font()).height();
    ASSERT_GE(ht / 2 - 1, c.borderWidth); // the caption line reaches below the border width
    TRect expected = c.expected;
    if (c.belowCaptionLine) expected.Top += ht;
    EXPECT_EQ(p->ClientRectForChildren(), expected);
    // What a layout of the panel's children fills.
    EXPECT_EQ(p->contentsRect(), QRect(QPoint(expected.Left, expected.Top),
                                       QPoint(expected.Right - 1, expected.Bottom - 1)));
}
INSTANTIATE_TEST_SUITE_P(
    Borders, TrayPanelClientArea,
    ::testing::Values(ClientAreaCase{"raised_width_5", -1, fsRaised, fsNone, sdAll, 5,
                                     Rect(7, 7, 113, 98), false},
                      ClientAreaCase{"flat_lowered_left_top_width_3", -1, fsFlat, fsLowered,
                                     SideBit(sdLeft) | SideBit(sdTop), 3, Rect(6, 6, 117, 102),
                                     false},
                      ClientAreaCase{"group_flat_width_5", gsFlat, fsNone, fsNone, sdAll, 5,
                                     Rect(6, 1, 114, 99), true},
                      ClientAreaCase{"group_top_line_width_5", gsTopLine, fsNone, fsNone, sdAll, 5,
                                     Rect(5, 5, 115, 100), true}),
    [](const ::testing::TestParamInfo<ClientAreaCase>& info) {
        return std::string(info.param.name);
    });

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

TEST(TrayPanel, CursorClientPosIsTheMouseInTheControlsOwnCoordinates) {
    ShownWindow w;
    auto* panel = new THvPanel(w.window.get());
    panel->setGeometry(30, 40, 120, 80);
    auto* box = new THvGroupBox(panel);
    box->setGeometry(10, 20, 60, 50);
    w.show();
    QCursor::setPos(panel->mapToGlobal(QPoint(15, 25)));
    EXPECT_EQ(panel->CursorClientPos(), (TPoint{15, 25}));
    // The group box's client area is all of it, its caption strip included.
    EXPECT_EQ(box->CursorClientPos(), (TPoint{5, 5}));
    // Outside the control the position goes on past its edges.
    QCursor::setPos(panel->mapToGlobal(QPoint(-3, 200)));
    EXPECT_EQ(panel->CursorClientPos(), (TPoint{-3, 200}));
    EXPECT_EQ(box->CursorClientPos(), (TPoint{-13, 180}));
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

TEST(TrayPanel, OnPaintDrawsOnThePanelsCanvasAfterThePanel) {
    THvPanel p;
    p.resize(40, 30);
    p.SetColor(clYellow);
    THvCustomPanel* sender = nullptr;
    p.OnPaint = [&](THvCustomPanel* s, Canvas& c) {
        sender = s;
        EXPECT_EQ(c.GetPixel(20, 20), clYellow); // the panel is already painted
        c.FillRect(Rect(5, 5, 10, 10), clRed);
    };
    const Surface s = RenderControl(&p);
    EXPECT_EQ(sender, &p);
    EXPECT_EQ(s.pixel(6, 6), clRed);
    EXPECT_EQ(s.pixel(20, 20), clYellow);

    // A group box paints as a panel only in its custom style.
    THvGroupBox g;
    g.resize(60, 50);
    int calls = 0;
    g.OnPaint = [&](THvCustomPanel*, Canvas&) { ++calls; };
    RenderControl(&g);
    EXPECT_EQ(calls, 0);
    g.SetGroupStyle(gsCustom);
    RenderControl(&g);
    EXPECT_EQ(calls, 1);
}

TEST(TrayPanel, ThemeChangeReadsTheColourSchemeAgain) {
    QTemporaryDir dir;
    qputenv("PRUVELL_REGISTRY_DIR", dir.path().toUtf8());
    HvRegistryFileStore reg(hkeyCurrentUser, "\\Software\\Microsoft\\Windows\\CurrentVersion",
                            1u << keyAllAccess);
    THvPanel p;
    QEvent themeChange(QEvent::ThemeChange);
    ASSERT_TRUE(reg.WriteString("ThemeManager", "ColorName", "Metallic"));
    QApplication::sendEvent(&p, &themeChange);
    EXPECT_EQ(XpColorScheme(), 2);
    ASSERT_TRUE(reg.WriteString("ThemeManager", "ColorName", "NormalColor"));
    QApplication::sendEvent(&p, &themeChange);
    EXPECT_EQ(XpColorScheme(), 0);
    qunsetenv("PRUVELL_REGISTRY_DIR");
}

// ------------------------------------------------------------ dock sites

namespace {

struct DockWindow : ShownWindow {
    THvPanel* site = new THvPanel(window.get());
    THvPanel* alpha = new THvPanel;
    THvPanel* beta = new THvPanel;
    QLineEdit* inAlpha = new QLineEdit(alpha);
    QLineEdit* inBeta = new QLineEdit(beta);
    QLineEdit* outside = new QLineEdit(window.get());
    DockWindow() {
        window->resize(420, 320);
        site->setGeometry(10, 10, 300, 120);
        site->SetDockSite(true);
        alpha->SetCaption("Alpha");
        beta->SetCaption("Beta");
        outside->setGeometry(10, 280, 80, 22);
        EXPECT_TRUE(ManualDock(alpha, site));
        EXPECT_TRUE(ManualDock(beta, site));
    }
};

TColor Px(const Surface& s, int x, int y) {
    return TColor(ColorToRGB(s.pixel(x, y)));
}
TColor Rgb(TColor c) {
    return TColor(ColorToRGB(c));
}

// The bounding box of the pixels inside r that are not the background colour.
TRect InkBox(const Surface& s, TRect r, TColor background) {
    TRect box{r.Right, r.Bottom, r.Left, r.Top};
    for (int y = r.Top; y < r.Bottom; ++y)
        for (int x = r.Left; x < r.Right; ++x)
            if (Px(s, x, y) != Rgb(background)) {
                box.Left = std::min(box.Left, x);
                box.Top = std::min(box.Top, y);
                box.Right = std::max(box.Right, x + 1);
                box.Bottom = std::max(box.Bottom, y + 1);
            }
    return box;
}

} // namespace

TEST(TrayDockPanel, TwoClientsGetZonesUnderTheirGrabbers) {
    DockWindow w;
    THvPanelDockManager* m = w.site->DockManager();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(w.site->DockClientCount(), 2);
    EXPECT_EQ(w.site->DockClients(0), w.alpha);
    EXPECT_EQ(HostDockSite(w.beta), w.site);
    // Inside the raised border; each client below a 14-pixel grabber.
    EXPECT_EQ(w.site->DockClientRect(), Rect(2, 2, 298, 118));
    EXPECT_EQ(m->ZoneRect(w.alpha), Rect(2, 2, 298, 60));
    EXPECT_EQ(w.alpha->geometry(), QRect(2, 16, 296, 44));
    EXPECT_EQ(w.beta->geometry(), QRect(2, 74, 296, 44));
    EXPECT_EQ(m->GrabberRect(w.beta), Rect(2, 60, 298, 74));
    EXPECT_EQ(m->CloseRect(w.alpha), Rect(284, 2, 298, 16));
    // The border width and the borders narrow the dock client rectangle.
    w.site->SetBorderWidth(3);
    EXPECT_EQ(w.site->DockClientRect(), Rect(5, 5, 295, 115));
    EXPECT_EQ(w.alpha->geometry(), QRect(5, 19, 290, 41));
    w.site->SetDockSite(false);
    EXPECT_EQ(w.site->DockManager(), nullptr);
    EXPECT_EQ(HostDockSite(w.alpha), nullptr);
}

TEST(TrayDockPanel, GrabbersShowCaptionsCloseGlyphsAndTheFocusedClient) {
    DockWindow w;
    w.show();
    w.outside->setFocus();
    Surface s = RenderControl(w.site);
    // Neither client has the focus: inactive caption colours.
    EXPECT_EQ(Px(s, 150, 4), Rgb(clInactiveCaption));
    EXPECT_EQ(Px(s, 150, 62), Rgb(clInactiveCaption));
    // The caption text at the grabber's start, clear of the close glyph.
    const TRect caption = InkBox(s, Rect(2, 2, 284, 16), clInactiveCaption);
    EXPECT_FALSE(caption.IsEmpty());
    EXPECT_LT(caption.Left, 8);
    EXPECT_GT(caption.Width(), caption.Height());
    // The close glyph: a cross of two-pixel strokes centred in (284, 2)-(298, 16).
    EXPECT_EQ(Px(s, 287, 6), Rgb(clInactiveCaptionText));
    EXPECT_EQ(Px(s, 293, 6), Rgb(clInactiveCaptionText));
    EXPECT_EQ(Px(s, 290, 8), Rgb(clInactiveCaptionText));
    EXPECT_EQ(Px(s, 290, 6), Rgb(clInactiveCaption));
    EXPECT_EQ(InkBox(s, Rect(284, 2, 298, 16), clInactiveCaption), Rect(287, 6, 294, 12));

    // A focused client shows the active colours; the other stays inactive.
    w.inAlpha->setFocus();
    s = RenderControl(w.site);
    EXPECT_EQ(Px(s, 150, 4), Rgb(clActiveCaption));
    EXPECT_EQ(Px(s, 290, 8), Rgb(clCaptionText));
    EXPECT_EQ(Px(s, 150, 62), Rgb(clInactiveCaption));

    // Without captions: the plain grabber lines and close button.
    w.site->SetShowDockClientCaptions(false);
    s = RenderControl(w.site);
    EXPECT_EQ(Px(s, 100, 5), Rgb(clBtnHighlight)); // top of the first line
    EXPECT_EQ(Px(s, 100, 7), Rgb(clBtnShadow));    // its bottom
    EXPECT_EQ(Px(s, 285, 3), Rgb(clBtnHighlight)); // the close button's bevel
}

TEST(TrayDockPanel, TopAlignedSiteHasVerticalGrabbersWithRotatedCaptions) {
    DockWindow w;
    w.site->SetAlign(alTop);
    THvPanelDockManager* m = w.site->DockManager();
    EXPECT_TRUE(m->VerticalGrabbers());
    EXPECT_EQ(m->ZoneRect(w.alpha), Rect(2, 2, 150, 118));
    EXPECT_EQ(w.alpha->geometry(), QRect(16, 2, 134, 116));
    EXPECT_EQ(w.beta->geometry(), QRect(164, 2, 134, 116));
    EXPECT_EQ(m->GrabberRect(w.beta), Rect(150, 2, 164, 118));
    EXPECT_EQ(m->CloseRect(w.alpha), Rect(2, 2, 16, 16)); // at the top
    const Surface s = RenderControl(w.site);
    EXPECT_EQ(InkBox(s, Rect(2, 2, 16, 16), clInactiveCaption), Rect(5, 6, 12, 12));
    // The caption runs up the grabber from its bottom end.
    const TRect caption = InkBox(s, Rect(2, 17, 16, 118), clInactiveCaption);
    ASSERT_FALSE(caption.IsEmpty());
    EXPECT_GT(caption.Height(), caption.Width());
    EXPECT_GT(caption.Bottom, 100);
    EXPECT_LT(caption.Top, 100);
    // Turned counter-clockwise: the text's first letter is at the bottom. The
    // same caption drawn upright has its ink at the left end.
    Surface upright(60, 14, clInactiveCaption);
    Canvas uc(upright);
    uc.Font = m->CaptionFont();
    uc.FontColor = clInactiveCaptionText;
    uc.Brush.Style = BrushStyle::Clear;
    uc.TextOut(0, 0, "Alpha");
    const TRect flat = InkBox(upright, Rect(0, 0, 60, 14), clInactiveCaption);
    EXPECT_NEAR(caption.Height(), flat.Width(), 2);
    EXPECT_NEAR(caption.Width(), flat.Height(), 2);
    // Column by column the upright ink matches the turned ink row by row
    // from the bottom up, and not from the top down.
    const int n = std::min(flat.Width(), caption.Height());
    int upwards = 0, downwards = 0;
    for (int i = 0; i < n; ++i) {
        int column = 0, fromBottom = 0, fromTop = 0;
        for (int y = 0; y < 14; ++y)
            column += Px(upright, flat.Left + i, y) != Rgb(clInactiveCaption);
        for (int x = 2; x < 16; ++x) {
            fromBottom += Px(s, x, caption.Bottom - 1 - i) != Rgb(clInactiveCaption);
            fromTop += Px(s, x, caption.Top + i) != Rgb(clInactiveCaption);
        }
        upwards += std::abs(column - fromBottom);
        downwards += std::abs(column - fromTop);
    }
    EXPECT_LT(upwards, downwards);
}

TEST(TrayDockPanel, TheCloseGlyphClosesAClientAndTheOtherTakesItsRoom) {
    DockWindow w;
    w.show();
    // A press that leaves the glyph closes nothing.
    QTest::mousePress(w.site, Qt::LeftButton, {}, QPoint(290, 8));
    QTest::mouseRelease(w.site, Qt::LeftButton, {}, QPoint(200, 8));
    EXPECT_TRUE(w.alpha->isVisible());
    QTest::mouseClick(w.site, Qt::LeftButton, {}, QPoint(290, 8));
    EXPECT_FALSE(w.alpha->isVisible());
    EXPECT_EQ(w.beta->geometry(), QRect(2, 16, 296, 102));
    EXPECT_EQ(w.site->DockClientCount(), 2); // still docked, only hidden
    w.alpha->show();
    EXPECT_EQ(w.alpha->geometry(), QRect(2, 16, 296, 44));
    // A client that goes away leaves its zone too.
    delete w.alpha;
    EXPECT_EQ(w.site->DockClientCount(), 1);
    EXPECT_EQ(w.beta->geometry(), QRect(2, 16, 296, 102));
}

TEST(TrayDockPanel, DraggingAGrabberDocksTheClientElsewhereWithTheDockEvents) {
    DockWindow w;
    auto* other = new THvPanel(w.window.get());
    other->setGeometry(10, 150, 300, 120);
    other->SetDockSite(true);
    QStringList log;
    other->OnGetSiteInfo = [&](THvCustomPanel*, QWidget* client, TRect&, QPoint, bool& canDock) {
        log << "info " + client->property("Caption").toString();
        canDock = true;
    };
    other->OnDockOver = [&](THvCustomPanel*, THvDragDockObject& src, int, int, TDragState st,
                            bool& accept) {
        if (log.isEmpty() || !log.last().startsWith("over")) log << QString("over %1").arg(st);
        accept = src.Control == w.alpha;
    };
    other->OnDockDrop = [&](THvCustomPanel*, THvDragDockObject& src, int x, int y) {
        log << QString("drop %1 %2,%3")
                   .arg(src.Control->property("Caption").toString())
                   .arg(x)
                   .arg(y);
    };
    bool allow = false;
    w.site->OnUnDock = [&](THvCustomPanel*, QWidget* client, QWidget* target, bool& a) {
        log << QString("undock %1 %2")
                   .arg(client->property("Caption").toString())
                   .arg(target == other);
        a = allow;
    };
    w.show();
    auto drag = [&](const QPoint& from, const QPoint& toInSite) {
        QTest::mousePress(w.site, Qt::LeftButton, {}, from);
        QTest::mouseMove(w.site, from + QPoint(10, 10));
        QTest::mouseMove(w.site, toInSite);
        QTest::mouseRelease(w.site, Qt::LeftButton, {}, toInSite);
    };
    // The grabber of Alpha dropped in the middle of the other site (which
    // is 140 pixels lower): refused by the site it leaves.
    drag(QPoint(150, 8), QPoint(150, 200));
    EXPECT_EQ(HostDockSite(w.alpha), w.site);
    EXPECT_TRUE(log.contains("undock Alpha 1"));
    EXPECT_TRUE(log.contains("info Alpha"));
    EXPECT_TRUE(log.contains(QString("over %1").arg(dsDragEnter)));

    log.clear();
    allow = true;
    drag(QPoint(150, 8), QPoint(150, 200));
    EXPECT_EQ(HostDockSite(w.alpha), other);
    EXPECT_EQ(log.last(), "drop Alpha 150,60");
    EXPECT_EQ(w.site->DockClientCount(), 1);
    EXPECT_EQ(w.beta->geometry(), QRect(2, 16, 296, 102));
    EXPECT_EQ(w.alpha->geometry(), QRect(2, 16, 296, 102));

    // The other site does not accept Beta.
    log.clear();
    drag(QPoint(150, 8), QPoint(150, 200));
    EXPECT_EQ(HostDockSite(w.beta), w.site);
    EXPECT_FALSE(log.contains("undock Beta 1"));
}

TEST(TrayDockPanel, AClientDraggedOutFloatsAndDocksAgain) {
    DockWindow w;
    w.show();
    QTest::mousePress(w.site, Qt::LeftButton, {}, QPoint(150, 62));
    QTest::mouseMove(w.site, QPoint(160, 72));
    QTest::mouseMove(w.site, QPoint(380, 250)); // over no dock site
    QTest::mouseRelease(w.site, Qt::LeftButton, {}, QPoint(380, 250));
    EXPECT_EQ(HostDockSite(w.beta), nullptr);
    EXPECT_TRUE(w.beta->isWindow());
    EXPECT_TRUE(w.beta->isVisible());
    EXPECT_EQ(w.site->DockClientCount(), 1);
    EXPECT_EQ(w.alpha->geometry(), QRect(2, 16, 296, 102));
    // Docked again before Alpha.
    EXPECT_TRUE(ManualDock(w.beta, w.site, w.alpha, alTop));
    EXPECT_FALSE(w.beta->isWindow());
    EXPECT_EQ(w.site->DockClients(0), w.beta);
    EXPECT_EQ(w.beta->geometry(), QRect(2, 16, 296, 44));
    EXPECT_EQ(w.alpha->geometry(), QRect(2, 74, 296, 44));
}
