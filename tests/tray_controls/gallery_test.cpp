// Every control in its main styles on one window, grabbed into a PNG that
// the build keeps under artifacts/.
#include "HvButton.h"
#include "HvEdit.h"
#include "HvPanel.h"
#include "HvSpnEdt.h"
#include "widget_support.h"

#include <QDir>
#include <QLabel>
#include <QVBoxLayout>

using namespace hv;

namespace {

QLabel* Label(QWidget* parent, const QString& text, int x, int y) {
    auto* l = new QLabel(text, parent);
    l->move(x, y);
    return l;
}

} // namespace

TEST(TrayGallery, EveryControlInItsMainStyles) {
    ShownWindow w;
    QWidget* win = w.window.get();
    win->resize(760, 760);
    QPalette pal = win->palette();
    pal.setColor(QPalette::Window, ToQColor(clBtnFace));
    win->setPalette(pal);
    win->setAutoFillBackground(true);

    // Buttons: classic, default, hot track, grouped down, disabled, text styles.
    int x = 10;
    Label(win, "THvButton", 10, 4);
    auto addButton = [&](const QString& caption) {
        auto* b = new THvButton(win);
        b->SetCaption(caption);
        b->move(x, 22);
        x += 85;
        return b;
    };
    addButton("&Classic");
    addButton("Default")->SetDefault(true);
    auto* hot = addButton("Hot track");
    hot->SetHotTrack(true);
    auto* g1 = addButton("Down");
    g1->SetGroupIndex(1);
    g1->SetDown(true);
    auto* g2 = addButton("Up");
    g2->SetGroupIndex(1);
    addButton("Disabled")->setEnabled(false);
    auto* raised = addButton("Raised");
    raised->SetTextStyle(tsRaised);
    auto* colored = addButton("Coloured");
    colored->SetColor(0xC0E0FF);

    // Control buttons: arrows, drop-down, flat, glyph.
    Label(win, "THvControlButton", 10, 56);
    x = 10;
    for (int style : {cbsUp, cbsDown, cbsLeft, cbsRight, cbsDropDown}) {
        auto* cb = new THvControlButton(win);
        cb->SetStyle(style);
        cb->move(x, 74);
        x += 22;
    }
    auto* flat = new THvControlButton(win);
    flat->SetStyle(cbsUp);
    flat->SetFlat(true);
    flat->move(x, 74);
    x += 22;
    auto* glyphed = new THvControlButton(win);
    Surface glyph(24, 12, RGB(255, 0, 255));
    for (int i = 2; i < 10; ++i) { // a cross; the bottom-left pixel stays the key colour
        glyph.setPixel(i, i, clNavy);
        glyph.setPixel(11 - i, i, clNavy);
        glyph.setPixel(12 + i, i, clGray);
    }
    glyphed->SetGlyph(glyph);
    glyphed->resize(21, 21);
    glyphed->move(x, 74);

    // Edits: plain, flat frame, hot frame, read-only, disabled, styled.
    Label(win, "THvEdit", 10, 104);
    const struct {
        const char* text;
        int style;
        bool visible;
    } edits[] = {{"plain", fsFlat, false},        {"flat", fsFlat, true},
                 {"flat bold", fsFlatBold, true}, {"lowered", fsLowered, true},
                 {"groove", fsGroove, true},      {"raised", fsRaised, true}};
    x = 10;
    for (const auto& e : edits) {
        auto* ed = new THvEdit(win);
        ed->setText(e.text);
        ed->SetFrameVisible(e.visible);
        ed->SetFrameStyle(e.style);
        ed->setGeometry(x, 122, 110, 22);
        x += 120;
    }
    auto* ro = new THvEdit(win);
    ro->setText("read-only");
    ro->SetFrameVisible(true);
    ro->SetReadOnly(true);
    ro->setGeometry(10, 150, 110, 22);
    auto* dis = new THvEdit(win);
    dis->setText("disabled");
    dis->SetFrameVisible(true);
    dis->setEnabled(false);
    dis->setGeometry(130, 150, 110, 22);
    auto* pw = new THvEdit(win);
    pw->SetPasswordChar("*");
    pw->setText("secret");
    pw->SetFrameVisible(true);
    pw->SetFrameColor(clNavy);
    pw->setGeometry(250, 150, 110, 22);

    // Spin edits.
    Label(win, "THvSpinEdit", 10, 180);
    auto* s1 = new THvSpinEdit(win);
    s1->SetMax(365);
    s1->SetValue(30);
    s1->setGeometry(10, 198, 70, 22);
    auto* s2 = new THvSpinEdit(win);
    s2->SetIntegersOnly(false);
    s2->SetDecimals(2);
    s2->SetValue(2.5L);
    s2->SetFrameVisible(true);
    s2->setGeometry(90, 198, 80, 22);
    auto* s3 = new THvSpinEdit(win);
    s3->SetFrameVisible(true);
    s3->SetFlatButtons(true);
    s3->setGeometry(180, 198, 70, 22);
    auto* s4 = new THvSpinEdit(win);
    s4->SetOrientation(orHorizontal);
    s4->SetDirection(sdLeftRight);
    s4->setGeometry(260, 198, 90, 22);
    auto* sb = new THvSpinButtons(win);
    sb->move(360, 196);

    // Panels: raised, lowered, flat rounded, gradient, grid, caption.
    Label(win, "THvPanel", 10, 228);
    x = 10;
    auto addPanel = [&](const QString& caption) {
        auto* p = new THvPanel(win);
        p->SetCaption(caption);
        p->setGeometry(x, 246, 115, 70);
        x += 123;
        return p;
    };
    addPanel("Raised");
    auto* lowered = addPanel("Lowered");
    lowered->SetBorderOuter(fsLowered);
    auto* rounded = addPanel("Flat rounded");
    rounded->SetBorderOuter(fsFlatRounded);
    auto* grad = addPanel("Gradient");
    grad->SetVisualStyle(vsGradient);
    auto* box = addPanel("Square box");
    box->SetVisualStyle(vsGradient);
    box->SetGradientColorStyle(gcsCustom);
    box->SetGradientColorStart(0xFFE0C0);
    box->SetGradientColorStop(0x804000);
    box->SetGradientDirection(gdSquareBox);
    auto* grid = addPanel("Grid");
    grid->SetBorderOuter(fsFlat);
    grid->SetBorderInner(fsGroove);
    grid->SetGridVisible(true);
    grid->SetGridPattern(1);
    grid->SetVerticalAlignment(avBottom);

    // Gradient directions.
    Label(win, "PaintGradient", 10, 322);
    x = 10;
    for (int d = gdDiagonalUp; d <= gdBigSquareBox; ++d) {
        auto* p = new THvPanel(win);
        p->SetBorderOuter(fsNone);
        p->SetVisualStyle(vsGradient);
        p->SetGradientColorStyle(gcsCustom);
        p->SetGradientColorStart(0x00FFFF);
        p->SetGradientColorStop(0x800000);
        p->SetGradientDirection(d);
        p->setGeometry(x, 340, 67, 50);
        x += 74;
    }

    // Group boxes in their six styles.
    Label(win, "THvGroupBox", 10, 398);
    const struct {
        const char* caption;
        int style;
    } groups[] = {{"gsStandard", gsStandard},   {"gsFlat", gsFlat},
                  {"gsTopLine", gsTopLine},     {"gsBanner", gsBanner},
                  {"gsUnderline", gsUnderline}, {"gsCustom", gsCustom}};
    x = 10;
    for (const auto& g : groups) {
        auto* gb = new THvGroupBox(win);
        gb->SetCaption(g.caption);
        gb->SetGroupStyle(g.style);
        if (g.style == gsCustom) gb->SetBorderOuter(fsGroove);
        gb->setGeometry(x, 416, 115, 90);
        auto* inner = new THvEdit(gb);
        inner->setText("child");
        inner->SetFrameVisible(true);
        const TRect cr = gb->ClientRectForChildren();
        inner->setGeometry(cr.Left + 4, cr.Top + 4, 90, 22);
        x += 123;
    }
    auto* pinBox = new THvGroupBox(win);
    pinBox->SetCaption("PIN");
    pinBox->setGeometry(10, 516, 300, 110);
    auto* pinEdit = new THvEdit(pinBox);
    pinEdit->SetPasswordChar("*");
    pinEdit->setMaxLength(16);
    pinEdit->setText("1234");
    pinEdit->SetFrameVisible(true);
    pinEdit->setGeometry(10, 30, 150, 22);
    auto* ok = new THvButton(pinBox);
    ok->SetCaption("OK");
    ok->SetDefault(true);
    ok->move(120, 70);
    auto* cancel = new THvButton(pinBox);
    cancel->SetCaption("Cancel");
    cancel->SetCancel(true);
    cancel->SetModalResult(2);
    cancel->move(205, 70);

    // A panel with a border width: its child is laid out inside the inner
    // border, clear of the band between the two borders.
    auto* banded = new THvPanel(win);
    banded->SetCaption("Border width 5");
    banded->SetBorderInner(fsLowered);
    banded->SetBorderWidth(5);
    banded->setGeometry(620, 516, 130, 100);
    auto* bandedLayout = new QVBoxLayout(banded);
    bandedLayout->setContentsMargins(0, 0, 0, 0);
    auto* bandedEdit = new THvEdit(banded);
    bandedEdit->setText("child");
    bandedEdit->SetFrameVisible(true);
    bandedLayout->addWidget(bandedEdit);
    bandedLayout->addStretch();

    // The edit box's drop-down button, flat and classic, and masked edits.
    Label(win, "THvEdit: button, mask", 330, 516);
    auto* drop = new THvEdit(win);
    drop->setText("drop-down");
    drop->SetFrameVisible(true);
    drop->SetShowButton(true);
    drop->setGeometry(330, 534, 130, 22);
    auto* flatDrop = new THvEdit(win);
    flatDrop->setText("flat button");
    flatDrop->SetFrameVisible(true);
    flatDrop->SetFlatButtons(true);
    flatDrop->SetShowButton(true);
    flatDrop->setGeometry(470, 534, 130, 22);
    auto* phone = new THvEdit(win);
    phone->SetEditMask("!(999) 000-0000;1;_");
    phone->SetText("0301234567");
    phone->SetFrameVisible(true);
    phone->setGeometry(330, 564, 130, 22);
    auto* date = new THvEdit(win);
    date->SetEditMask("00/00/0000;1;_");
    date->SetText("24");
    date->SetFrameVisible(true);
    date->setGeometry(470, 564, 130, 22);

    // Dock sites with two clients each: captions across the top of each
    // zone, and turned up the side in a top-aligned site.
    Label(win, "THvPanel dock sites", 10, 632);
    auto dockClient = [](const QString& caption, const QString& text) {
        auto* client = new THvPanel;
        client->SetCaption(caption);
        client->SetBorderOuter(fsNone);
        client->SetColor(clWindow);
        auto* e = new THvEdit(client);
        e->setText(text);
        e->SetFrameVisible(true);
        e->setGeometry(6, 4, 110, 20);
        return client;
    };
    auto* site = new THvPanel(win);
    site->setGeometry(10, 650, 360, 100);
    site->SetDockSite(true);
    THvPanel* tokens = dockClient("Tokens", "token 1");
    ManualDock(tokens, site);
    ManualDock(dockClient("Log", "log line"), site);
    auto* topSite = new THvPanel(win);
    topSite->setGeometry(380, 650, 370, 100);
    topSite->SetAlign(alTop);
    topSite->SetDockSite(true);
    ManualDock(dockClient("Alpha", "left"), topSite);
    ManualDock(dockClient("Beta", "right"), topSite);

    w.show();
    tokens->findChild<THvEdit*>()->setFocus(); // its grabber shows the active colours
    const QImage img = win->grab().toImage();
    ASSERT_EQ(img.size(), QSize(760, 760));
    const QString dir = QStringLiteral(HV_ARTIFACT_DIR);
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString path = dir + QStringLiteral("/tray_controls_gallery.png");
    ASSERT_TRUE(img.save(path, "PNG"));
    // Spot checks on the picture itself: a raised panel's highlight edge and
    // the flat edit's frame colour.
    EXPECT_EQ(img.pixelColor(10, 246), ToQColor(cl3DLight));
    EXPECT_EQ(img.pixelColor(130, 130), ToQColor(clBtnShadow));
    // The drop-down button's highlight edge, and the two grabbers of the
    // first dock site: the focused client's active, the other's inactive.
    EXPECT_EQ(img.pixelColor(330 + 130 - 2 - kSystemScrollBarWidth, 540), ToQColor(clBtnHighlight));
    EXPECT_EQ(img.pixelColor(10 + 200, 650 + 3), ToQColor(clActiveCaption));
    EXPECT_EQ(img.pixelColor(10 + 200, 650 + 2 + 48 + 1), ToQColor(clInactiveCaption));
    // The banded panel's child begins inside raised border, band and lowered
    // border (2 + 5 + 2 pixels): its frame, with the inner border's shadow
    // just outside it.
    EXPECT_EQ(bandedEdit->pos(), QPoint(9, 9));
    EXPECT_EQ(img.pixelColor(620 + 9, 516 + 20), ToQColor(clBtnShadow));
    EXPECT_EQ(img.pixelColor(620 + 8, 516 + 20), ToQColor(cl3DDkShadow));
}
