#include "HvCommon.h"

#include "HvGrafx.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMetaProperty>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <cmath>

namespace hv {

// ------------------------------------------------------------ geometry, text

TRect CenteredRect(const TRect& r, int w, int h) {
    const int left = (r.Left + r.Right - w) / 2; // C++ division truncates towards zero
    const int top = (r.Top + r.Bottom - h) / 2;
    return {left, top, left + w, top + h};
}

RotatedFont CreateRotatedFont(const QFont& font, int angle) {
    RotatedFont f;
    f.font = font;
    f.font.setWeight(font.bold() ? QFont::Bold : QFont::Normal);
    f.escapement = angle * 10;
    return f;
}

int FontLineHeight(const QFont& font) {
    return QFontMetrics(font).height() + 2;
}

QString StripAccelChars(const QString& text) {
    QString out;
    const int n = int(text.size());
    int i = 0;
    while (i < n - 1) {
        if (text[i] == QLatin1Char('&')) {
            if (text[i + 1] == QLatin1Char('&')) {
                out += QLatin1Char('&');
                i += 2;
            } else {
                ++i; // a lone mark
            }
        } else {
            out += text[i++];
        }
    }
    if (n > 0) out += text[n - 1]; // the last character is always copied
    return out;
}

void RedrawNonClientFrame(QWidget* window) {
    if (window && window->isVisible()) window->update();
}

const QEvent::Type ParentColorChangedEvent = QEvent::Type(QEvent::registerEventType());

void NotifyParentColorChanged(QWidget* parent) {
    if (!parent) return;
    for (QObject* o : parent->children()) {
        if (!o->isWidgetType()) continue;
        QEvent e(ParentColorChangedEvent);
        QCoreApplication::sendEvent(o, &e);
    }
}

TColor ParentColorOf(const QWidget* control) {
    const QWidget* parent = control ? control->parentWidget() : nullptr;
    if (!parent) return clBtnFace;
    const QVariant c = parent->property("Color");
    if (c.isValid()) return TColor(c.toInt());
    const QColor q = parent->palette().color(parent->backgroundRole());
    return TColor(RGB(q.red(), q.green(), q.blue()));
}

void TParentColorWatch::Watch(QObject* control, QWidget* parent) {
    if (watched_ == parent && control_ == control) return;
    if (watched_ && control_) watched_->removeEventFilter(control_);
    watched_ = parent;
    control_ = control;
    if (watched_ && control_) watched_->installEventFilter(control_);
}

void InvalidateTransparentChildren(QWidget* parent) {
    if (!parent) return;
    for (QObject* o : parent->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (!w) continue;
        const QVariant t = w->property("Transparent");
        if (t.isValid() && t.toInt() == 1) w->update();
    }
}

// ------------------------------------------------------------ colours

Hsl ColorToHsl(TColor c) {
    const std::uint32_t rgb = ColorToRGB(c);
    const double r = GetRValue(rgb) / 255.0, g = GetGValue(rgb) / 255.0, b = GetBValue(rgb) / 255.0;
    const double mx = std::max({r, g, b}), mn = std::min({r, g, b});
    const double l = (mx + mn) / 2;
    double h = 0, s = 0;
    if (mx != mn) {
        const double d = mx - mn;
        s = l < 0.5 ? d / (mx + mn) : d / (2 - mx - mn);
        if (r == mx)
            h = (g - b) / d;
        else if (g == mx)
            h = (b - r) / d + 2;
        else
            h = (r - g) / d + 4;
        h /= 6;
        if (h < 0) h += 1;
    }
    return {int(std::lround(h * 240)), int(std::lround(s * 240)), int(std::lround(l * 240))};
}

int HueOfColor(TColor c) {
    return ColorToHsl(c).H;
}

std::uint32_t HslToColor(int H, int S, int L) {
    const double l = L / 240.0, s = S / 240.0;
    const double m2 = l < 0.5 ? l * (1 + s) : l + s - l * s;
    if (m2 <= 0) return 0;
    const double m1 = 2 * l - m2;
    // The hue circle wraps: 239 (and above) continue from red, so every hue
    // lands in one of the six sectors.
    double h6 = H / 239.0 * 6;
    h6 = std::fmod(h6, 6.0);
    if (h6 < 0) h6 += 6;
    const int sector = std::min(int(h6), 5);
    const double f = h6 - sector;
    const double rising = m1 + (m2 - m1) * f, falling = m2 - (m2 - m1) * f;
    double r = 0, g = 0, b = 0;
    switch (sector) {
    case 0:
        r = m2, g = rising, b = m1;
        break;
    case 1:
        r = falling, g = m2, b = m1;
        break;
    case 2:
        r = m1, g = m2, b = rising;
        break;
    case 3:
        r = m1, g = falling, b = m2;
        break;
    case 4:
        r = rising, g = m1, b = m2;
        break;
    default:
        r = m2, g = m1, b = falling;
        break;
    }
    auto ch = [](double v) { return int(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    return RGB(ch(r), ch(g), ch(b));
}

TColor DarkerColor(TColor c, int amount) {
    const Hsl x = ColorToHsl(c);
    return TColor(HslToColor(x.H, x.S, std::max(x.L - amount, 0)));
}

TColor LighterColor(TColor c, int amount) {
    const Hsl x = ColorToHsl(c);
    return TColor(HslToColor(x.H, x.S, std::min(x.L + amount, 255)));
}

TColor AdjustColor(TColor c, int amount) {
    // Lightness moves by at most 255 either way; a larger published value
    // (e.g. a panel's FlatColorAdjustment) is clamped rather than failing
    // the paint that uses it.
    amount = std::clamp(amount, -255, 255);
    if (amount == 0) return c;
    return amount > 0 ? LighterColor(c, amount) : DarkerColor(c, -amount);
}

TColor BlendColors(TColor a, TColor b, int weight) {
    const std::uint32_t ca = ColorToRGB(a), cb = ColorToRGB(b);
    const double w = std::clamp(weight, 0, 255) / 255.0;
    auto mix = [w](int x, int y) { return int(std::lround(x * w + y * (1 - w))); };
    return TColor(RGB(mix(GetRValue(ca), GetRValue(cb)), mix(GetGValue(ca), GetGValue(cb)),
                      mix(GetBValue(ca), GetBValue(cb))));
}

bool ColorsAreClose(TColor a, TColor b) {
    const Hsl x = ColorToHsl(a), y = ColorToHsl(b);
    return std::abs(x.H - y.H) < 20 && std::abs(x.L - y.L) < 60;
}

TColor ContrastColor(TColor c, int l) {
    int h = HueOfColor(c);
    h = h < 120 ? h + 120 : h - 120;
    return TColor(HslToColor(h, 240, l));
}

bool ThemeServicesActive() {
    return false;
}

TColor ThemedSystemColor(int /*kind*/) {
    // Without visual styles every kind reads as the button face.
    return clBtnFace;
}

namespace {
struct XpScheme {
    TColor light, medium, frame;
};
constexpr XpScheme kXpSchemes[] = {
    {0xFFEFE3, 0xEABB99, 0xBF7F57},
    {0xEDFFFF, 0x92C7B8, 0x77A17F},
    {0xFFF9F9, 0xD0BCBD, 0xB19F9F},
};
int& schemeSlot() {
    static int scheme = ReadXpColorScheme();
    return scheme;
}
std::optional<bool>& fullColorOverride() {
    static std::optional<bool> v;
    return v;
}
std::function<void()>& beepHandler() {
    static std::function<void()> h;
    return h;
}
std::function<void(QWidget*, const QString&)>& dataEditErrorHandler() {
    static std::function<void(QWidget*, const QString&)> h;
    return h;
}
std::function<void(QWidget*, const QString&)>& rangeErrorHandler() {
    static std::function<void(QWidget*, const QString&)> h;
    return h;
}
// An error nobody handled reaches the user as the application's message box
// over the control's window.
void ShowToolkitError(const std::function<void(QWidget*, const QString&)>& handler,
                      QWidget* control, const QString& message) {
    if (handler) {
        handler(control, message);
        return;
    }
    QMessageBox::critical(control ? control->window() : nullptr,
                          QApplication::applicationDisplayName(), message);
}
} // namespace

int ReadXpColorScheme() {
    HvRegistryFileStore reg(hkeyCurrentUser,
                            QStringLiteral("\\Software\\Microsoft\\Windows\\CurrentVersion"),
                            1u << keyRead);
    const QString name = reg.ReadString(QStringLiteral("ThemeManager"), QStringLiteral("ColorName"))
                             .value_or(QString())
                             .toUpper();
    if (name == QLatin1String("HOMESTEAD")) return 1;
    if (name == QLatin1String("METALLIC")) return 2;
    return 0;
}

int XpColorScheme() {
    return schemeSlot();
}
void RefreshXpColorScheme() {
    schemeSlot() = ReadXpColorScheme();
}

void GradientDefaultColors(THvGradientColorStyle style, TColor& start, TColor& stop) {
    if (style == gcsMSOffice && ThemeServicesActive()) {
        start = kXpSchemes[XpColorScheme()].light;
        stop = kXpSchemes[XpColorScheme()].medium;
    } else {
        start = clWindow;
        stop = DarkerColor(clBtnFace, 10);
    }
}

TColor GradientFrameColor(THvGradientColorStyle style) {
    if (style == gcsMSOffice && ThemeServicesActive()) return kXpSchemes[XpColorScheme()].frame;
    return LighterColor(clBtnShadow, 30);
}

void GradientPanelColors(THvGradientColorStyle style, TColor& dark, TColor& light, TColor& frame) {
    if (style == gcsMSOffice && ThemeServicesActive()) {
        dark = kXpSchemes[XpColorScheme()].medium;
        light = kXpSchemes[XpColorScheme()].light;
        frame = dark;
    } else {
        dark = DarkerColor(clBtnFace, 20);
        light = clWindow;
        frame = DarkerColor(clBtnFace, 40);
    }
}

bool ScreenIsFullColor() {
    return fullColorOverride().value_or(true);
}
void OverrideScreenIsFullColor(std::optional<bool> value) {
    fullColorOverride() = value;
}

void MessageBeep() {
    if (beepHandler())
        beepHandler()();
    else
        QApplication::beep();
}
void SetBeepHandler(std::function<void()> handler) {
    beepHandler() = std::move(handler);
}

void ShowDataEditError(QWidget* control, const QString& message) {
    ShowToolkitError(dataEditErrorHandler(), control, message);
}
void SetDataEditErrorHandler(std::function<void(QWidget*, const QString&)> handler) {
    dataEditErrorHandler() = std::move(handler);
}

QString RangeErrorMessage() {
    return QStringLiteral("Range check error");
}
void ShowRangeError(QWidget* control) {
    ShowToolkitError(rangeErrorHandler(), control, RangeErrorMessage());
}
void SetRangeErrorHandler(std::function<void(QWidget*, const QString&)> handler) {
    rangeErrorHandler() = std::move(handler);
}

// ------------------------------------------------------------ lines and borders

void PaintSides(Canvas& c, TRect r, TColor topLeft, TRect& inner, TSides sides,
                TColor bottomRight) {
    if (topLeft != clNone) {
        if (HasSide(sides, sdLeft)) c.Line(r.Left, r.Top, r.Left, r.Bottom, topLeft);
        if (HasSide(sides, sdTop)) c.Line(r.Left, r.Top, r.Right, r.Top, topLeft);
    }
    if (bottomRight != clNone) {
        if (HasSide(sides, sdRight)) c.Line(r.Right - 1, r.Top, r.Right - 1, r.Bottom, bottomRight);
        if (HasSide(sides, sdBottom))
            c.Line(r.Left, r.Bottom - 1, r.Right, r.Bottom - 1, bottomRight);
    }
    inner = r;
    if (HasSide(sides, sdLeft)) ++inner.Left;
    if (HasSide(sides, sdTop)) ++inner.Top;
    if (HasSide(sides, sdRight)) --inner.Right;
    if (HasSide(sides, sdBottom)) --inner.Bottom;
}

void PaintSidesRepeat(Canvas& c, TRect r, TColor topLeft, TRect& inner, TSides sides, int count,
                      TColor bottomRight) {
    c.Pen.Width = 1;
    inner = r;
    for (int i = 0; i < count; ++i)
        PaintSides(c, inner, topLeft, inner, sides, bottomRight);
}

void PaintBevel(Canvas& c, TRect r, bool sunken, TRect& inner, TSides sides) {
    if (sunken) {
        PaintSides(c, r, clBtnShadow, inner, sides, clBtnHighlight);
        PaintSides(c, inner, cl3DDkShadow, inner, sides, cl3DLight);
    } else {
        PaintSides(c, r, cl3DLight, inner, sides, cl3DDkShadow);
        PaintSides(c, inner, clBtnHighlight, inner, sides, clBtnShadow);
    }
}

void PaintButtonBevelSides(Canvas& c, TRect r, bool down, TRect& inner, TSides sides) {
    if (down) {
        PaintSides(c, r, clBtnText, inner, sides, clBtnText);
        PaintSides(c, inner, clBtnShadow, inner, sides, clBtnShadow);
    } else {
        PaintSides(c, r, clBtnHighlight, inner, sides, cl3DDkShadow);
        PaintSides(c, inner, cl3DLight, inner, sides, clBtnShadow);
    }
}

void PaintButtonBevel(Canvas& c, TRect r, bool down, TRect& inner) {
    PaintButtonBevelSides(c, r, down, inner, sdAll);
}

void PaintColorButtonBevelSides(Canvas& c, TRect r, TColor color, bool down, TRect& inner,
                                TSides sides) {
    if (down) {
        const TColor d100 = DarkerColor(color, 100), d50 = DarkerColor(color, 50);
        PaintSides(c, r, d100, inner, sides, d100);
        PaintSides(c, inner, d50, inner, sides, d50);
    } else {
        PaintSides(c, r, LighterColor(color, 100), inner, sides, DarkerColor(color, 100));
        PaintSides(c, inner, LighterColor(color, 40), inner, sides, DarkerColor(color, 50));
    }
}

void PaintColorButtonBevel(Canvas& c, TRect r, TColor color, bool down, TRect& inner) {
    PaintColorButtonBevelSides(c, r, color, down, inner, sdAll);
}

namespace {

void PaintEtched(Canvas& c, TRect r, TColor a, TColor b, TRect& inner, TSides s) {
    const int L = r.Left, T = r.Top, R = r.Right, B = r.Bottom;
    const bool left = HasSide(s, sdLeft), top = HasSide(s, sdTop), right = HasSide(s, sdRight),
               bottom = HasSide(s, sdBottom);
    if (right) c.SetPixel(R - 1, T, b);
    if (top && !right) c.SetPixel(R - 1, T, a);
    if (bottom) c.SetPixel(L, B - 1, b);
    if (left && !bottom) c.SetPixel(L, B - 1, a);
    if (top && !left) c.SetPixel(L, T + 1, b);
    if (left && !top) c.SetPixel(L + 1, T, b);
    if (bottom && !right) c.SetPixel(R - 1, B - 2, a);
    if (right && !bottom) c.SetPixel(R - 2, B - 1, a);
    TRect dummy;
    PaintSides(c, Rect(L + 1, T + 1, R, B), b, dummy, s, b);
    PaintSides(c, Rect(L, T, R - 1, B - 1), a, dummy, s, a);
    inner = r;
    if (left) inner.Left += 2;
    if (top) inner.Top += 2;
    if (right) inner.Right -= 2;
    if (bottom) inner.Bottom -= 2;
}

} // namespace

void PaintStyledBorderSides(Canvas& c, TRect r, TFrameStyleEx style, TRect& inner, TSides sides) {
    inner = r;
    switch (style) {
    case fsNone:
    case fsFlatRounded:
        break;
    case fsFlat:
        PaintSides(c, r, cl3DDkShadow, inner, sides, cl3DDkShadow);
        break;
    case fsGroove:
        PaintEtched(c, r, clBtnShadow, clBtnHighlight, inner, sides);
        break;
    case fsBump:
        PaintEtched(c, r, clBtnHighlight, clBtnShadow, inner, sides);
        break;
    case fsLowered:
        PaintBevel(c, r, true, inner, sides);
        break;
    case fsButtonDown:
        PaintButtonBevelSides(c, r, true, inner, sides);
        break;
    case fsRaised:
        PaintBevel(c, r, false, inner, sides);
        break;
    case fsButtonUp:
        PaintButtonBevelSides(c, r, false, inner, sides);
        break;
    case fsStatus:
        PaintSides(c, r, clBtnShadow, inner, sides, clBtnHighlight);
        break;
    case fsPopup:
        PaintSides(c, r, clBtnHighlight, inner, sides, clBtnShadow);
        break;
    case fsFlatBold:
        PaintSidesRepeat(c, r, clBtnShadow, inner, sides, 2, clBtnShadow);
        break;
    }
}

void PaintStyledBorder(Canvas& c, TRect r, TFrameStyleEx style, TRect& inner) {
    PaintStyledBorderSides(c, r, style, inner, sdAll);
}

void PaintColorStyledBorderSides(Canvas& c, TRect r, TColor color, TRect& inner, TSides sides,
                                 TFrameStyleEx style) {
    auto D = [&](int n) { return DarkerColor(color, n); };
    auto L = [&](int n) { return LighterColor(color, n); };
    inner = r;
    switch (style) {
    case fsNone:
    case fsFlatRounded:
        break;
    case fsFlat:
        PaintSides(c, r, D(50), inner, sides, D(50));
        break;
    case fsGroove:
        PaintEtched(c, r, D(50), L(100), inner, sides);
        break;
    case fsBump:
        PaintEtched(c, r, L(100), D(50), inner, sides);
        break;
    case fsLowered:
        PaintSides(c, r, D(50), inner, sides, L(100));
        PaintSides(c, inner, D(100), inner, sides, L(50));
        break;
    case fsRaised:
        PaintSides(c, r, L(50), inner, sides, D(100));
        PaintSides(c, inner, L(100), inner, sides, D(50));
        break;
    case fsButtonDown:
        PaintColorButtonBevelSides(c, r, color, true, inner, sides);
        break;
    case fsButtonUp:
        PaintColorButtonBevelSides(c, r, color, false, inner, sides);
        break;
    case fsStatus:
        PaintSides(c, r, D(50), inner, sides, L(100));
        break;
    case fsPopup:
        PaintSides(c, r, L(100), inner, sides, D(50));
        break;
    case fsFlatBold:
        PaintSidesRepeat(c, r, D(50), inner, sides, 2, D(50));
        break;
    }
}

void PaintColorStyledBorder(Canvas& c, TRect r, TColor color, TRect& inner, TFrameStyleEx style) {
    PaintColorStyledBorderSides(c, r, color, inner, sdAll, style);
}

void PaintBox(Canvas& c, TRect r, TColor color, TRect& inner) {
    TRect dummy;
    PaintSides(c, r, color, dummy, sdAll, color);
    inner = InflateRect(r, -1, -1);
}

void PaintFocusBox(Canvas& c, TRect r, TRect& inner) {
    for (int x = r.Left + 1; x < r.Right; x += 2)
        c.SetPixel(x, r.Top, clBlack);
    for (int x = r.Left + 1; x < r.Right; x += 2)
        c.SetPixel(x, r.Bottom - 1, clBlack);
    for (int y = r.Top + 1; y < r.Bottom; y += 2)
        c.SetPixel(r.Left, y, clBlack);
    for (int y = r.Top + 1; y < r.Bottom; y += 2)
        c.SetPixel(r.Right - 1, y, clBlack);
    inner = InflateRect(r, -1, -1);
}

void PaintRoundedFlatBorder(Canvas& c, TRect r, TColor color, TRect& inner, TSides sides) {
    const bool left = HasSide(sides, sdLeft), top = HasSide(sides, sdTop),
               right = HasSide(sides, sdRight), bottom = HasSide(sides, sdBottom);
    inner = Rect(left ? r.Left + 2 : r.Left, top ? r.Top + 2 : r.Top, right ? r.Right - 2 : r.Right,
                 bottom ? r.Bottom - 2 : r.Bottom);
    if (left) c.Line(r.Left, inner.Top, r.Left, inner.Bottom, color);
    if (top) c.Line(inner.Left, r.Top, inner.Right, r.Top, color);
    if (right) c.Line(r.Right - 1, inner.Top, r.Right - 1, inner.Bottom, color);
    if (bottom) c.Line(inner.Left, r.Bottom - 1, inner.Right, r.Bottom - 1, color);
    if (left && top) c.SetPixel(r.Left + 1, r.Top + 1, color);
    if (right && top) c.SetPixel(r.Right - 2, r.Top + 1, color);
    if (right && bottom) c.SetPixel(r.Right - 2, r.Bottom - 2, color);
    if (left && bottom) c.SetPixel(r.Left + 1, r.Bottom - 2, color);
}

void PaintEditFrame(Canvas& c, int w, int h, bool frameOnly, TSides sides, TColor frameColor,
                    TColor color, TFrameStyleEx style) {
    const TRect r = Rect(0, 0, w, h);
    TRect inner;
    if (!frameOnly) PaintSidesRepeat(c, r, color, inner, sdAll, 2, color);
    switch (style) {
    case fsFlat:
        PaintSides(c, r, frameColor, inner, sides, frameColor);
        break;
    case fsFlatBold:
        PaintSidesRepeat(c, r, frameColor, inner, sides, 2, frameColor);
        break;
    default:
        if (color == clWindow)
            PaintStyledBorderSides(c, r, style, inner, sides);
        else
            PaintColorStyledBorderSides(c, r, color, inner, sides, style);
        break;
    }
}

void PaintPanelBorder(Canvas& c, TRect r, const PanelBorder& b, TRect& inner) {
    const TColor F = AdjustColor(b.flatColor, b.flatAdjust);
    const bool banded = b.borderWidth > 0 || b.innerStyle != fsNone;
    inner = r;
    switch (b.outer) {
    case fsFlat:
        PaintSides(c, inner, F, inner, b.sides, F);
        break;
    case fsFlatBold:
        PaintSidesRepeat(c, inner, F, inner, b.sides, 2, F);
        break;
    case fsFlatRounded: {
        TRect t;
        if (!b.transparent) {
            PaintSides(c, inner, b.parentColor, t, b.sides, b.parentColor);
            const TColor ring = banded ? b.borderColor : b.color;
            PaintSides(c, t, ring, t, b.sides, ring);
        } else if (banded) {
            PaintSides(c, InflateRect(inner, -1, -1), b.borderColor, t, b.sides, b.borderColor);
        }
        PaintRoundedFlatBorder(c, inner, F, inner, b.sides);
        break;
    }
    case fsPopup:
        PaintSidesRepeat(c, inner, b.highlightColor, inner, b.sides, b.bevelWidth, b.shadowColor);
        break;
    case fsStatus:
        PaintSidesRepeat(c, inner, b.shadowColor, inner, b.sides, b.bevelWidth, b.highlightColor);
        break;
    default:
        PaintStyledBorderSides(c, inner, b.outer, inner, b.sides);
        break;
    }
    if (b.borderWidth > 0)
        PaintSidesRepeat(c, inner, b.borderColor, inner, b.sides, b.borderWidth, b.borderColor);
    switch (b.innerStyle) {
    case fsFlat:
        if (b.roundedSolid) {
            const TRect q = inner;
            c.Line(q.Left, q.Top + 1, q.Left, q.Bottom - 1, F);
            c.Line(q.Left + 1, q.Top, q.Right - 1, q.Top, F);
            c.Line(q.Right - 1, q.Top + 1, q.Right - 1, q.Bottom - 1, F);
            c.Line(q.Left + 1, q.Bottom - 1, q.Right - 1, q.Bottom - 1, F);
            inner = InflateRect(inner, -1, -1);
        } else {
            PaintSides(c, inner, F, inner, b.sides, F);
        }
        break;
    case fsFlatBold:
        PaintSidesRepeat(c, inner, F, inner, b.sides, 2, F);
        break;
    case fsFlatRounded: {
        TRect t;
        PaintSides(c, inner, b.borderColor, t, b.sides, b.borderColor);
        if (!b.transparent) PaintSides(c, t, b.color, t, b.sides, b.color);
        PaintRoundedFlatBorder(c, inner, F, inner, b.sides);
        break;
    }
    case fsPopup:
        PaintSidesRepeat(c, inner, b.highlightColor, inner, b.sides, b.bevelWidth, b.shadowColor);
        break;
    case fsStatus:
        PaintSidesRepeat(c, inner, b.shadowColor, inner, b.sides, b.bevelWidth, b.highlightColor);
        break;
    default:
        PaintStyledBorderSides(c, inner, b.innerStyle, inner, b.sides);
        break;
    }
}

void PaintGradientRing(Canvas& c, TRect r, TGradientDirection dir, TColor a, TColor b) {
    if (!ScreenIsFullColor()) return;
    c.SaveDC();
    c.ExcludeClipRect(InflateRect(r, -2, -2));
    PaintGradient(c, r, dir, a, b, 1);
    c.RestoreDC();
}

namespace {

TColor arrowColor(const Canvas& c, bool enabled) {
    if (!enabled) return clBtnShadow;
    return ColorsAreClose(c.Brush.Color, clBlack) ? cl3DDkShadow : clBlack;
}

// Rows (or columns) of 1, 3, 5 and 7 pixels from the tip to the base.
void paintClassicArrow(Canvas& c, int cx, int cy, int direction, TColor color) {
    for (int i = 0; i < 4; ++i) {
        switch (direction) {
        case 0:
            c.FillRect(Rect(cx - i, cy - 3 + i, cx + i + 1, cy - 2 + i), color);
            break;
        case 1:
            c.FillRect(Rect(cx - i, cy - i, cx + i + 1, cy - i + 1), color);
            break;
        case 2:
            c.FillRect(Rect(cx + i, cy - i, cx + i + 1, cy + i + 1), color);
            break;
        default:
            c.FillRect(Rect(cx + 3 - i, cy - i, cx + 4 - i, cy + i + 1), color);
            break;
        }
    }
}

void paintChevron(Canvas& c, int cx, int cy, int direction, TColor color) {
    // The up chevron; other directions turn it about the centre.
    const TPoint up[6] = {{0, -5}, {4, 0}, {1, 0}, {0, -2}, {-1, 0}, {-4, 0}};
    std::vector<TPoint> pts;
    for (const TPoint& p : up) {
        switch (direction) {
        case 0:
            pts.push_back({cx + p.X, cy + p.Y});
            break;
        case 1:
            pts.push_back({cx + p.X, cy - p.Y});
            break;
        case 2:
            pts.push_back({cx + p.Y, cy + p.X});
            break;
        default:
            pts.push_back({cx - p.Y, cy + p.X});
            break;
        }
    }
    const TColor saved = c.Brush.Color;
    c.Brush.Color = color;
    c.Polygon(pts);
    c.Brush.Color = saved;
}

} // namespace

void PaintSpinArrow(Canvas& c, TRect r, bool themedStyle, bool enabled, bool pressed,
                    int direction) {
    const TColor saved = c.Brush.Color;
    const TColor color = arrowColor(c, enabled);
    const PenStyle pen = c.Pen.Style;
    c.Pen.Style = PenStyle::Clear;
    int cx = r.Left + r.Width() / 2;
    int cy = r.Top + r.Height() / 2;
    if (r.Height() % 2 == 0) --cy;
    if (!themedStyle) {
        if (direction <= 1)
            cy += 1;
        else
            cx -= 2;
    } else {
        switch (direction) {
        case 0:
            cy += 4;
            break;
        case 1:
            cy += 2;
            break;
        case 2:
            cx -= 1;
            break;
        default:
            cx -= 3;
            break;
        }
    }
    if (enabled && pressed) ++cx, ++cy;
    if (themedStyle)
        paintChevron(c, cx, cy, direction, color);
    else
        paintClassicArrow(c, cx, cy, direction, color);
    c.Pen.Style = pen;
    c.Brush.Color = saved;
}

void PaintDropDownArrow(Canvas& c, TRect r, bool themedStyle, bool enabled, bool pressed) {
    const TColor saved = c.Brush.Color;
    const TColor color = arrowColor(c, enabled);
    int cx = r.Left + r.Width() / 2;
    int cy = r.Top + r.Height() / 2;
    if (r.Height() % 2 == 0) --cy;
    cy += themedStyle ? 4 : 2;
    if (pressed) ++cx, ++cy;
    if (themedStyle)
        paintChevron(c, cx, cy, 1, color);
    else
        paintClassicArrow(c, cx, cy, 1, color);
    c.Brush.Color = saved;
}

void PaintDropDownButtonFace(Canvas& c, TRect r, bool pressed, bool enabled) {
    if (pressed)
        PaintBox(c, r, clBtnShadow, r);
    else
        PaintStyledBorder(c, r, fsButtonUp, r);
    c.FillRect(r, clBtnFace);
    c.Brush.Color = clBtnFace;
    PaintDropDownArrow(c, r, false, enabled, pressed);
}

// ------------------------------------------------------------ form streams

bool LoadProperties(QObject* obj, const QList<QPair<QString, QVariant>>& props) {
    auto* s = dynamic_cast<HvStreamable*>(obj);
    if (s) s->BeginLoading();
    bool all = true;
    for (const auto& [name, value] : props) {
        if (s && s->ReadObsoleteProperty(name, value)) continue;
        const QByteArray n = name.toLatin1();
        if (obj->metaObject()->indexOfProperty(n.constData()) < 0) {
            all = false;
            continue;
        }
        obj->setProperty(n.constData(), value);
    }
    if (s) s->EndLoading();
    return all;
}

int FrameStyleFromName(const QString& name) {
    static const char* const names[] = {"fsNone",    "fsFlat",       "fsGroove",  "fsBump",
                                        "fsLowered", "fsButtonDown", "fsRaised",  "fsButtonUp",
                                        "fsStatus",  "fsPopup",      "fsFlatBold"};
    for (int i = 0; i < int(std::size(names)); ++i)
        if (name.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0) return i;
    return -1;
}

// ------------------------------------------------------------ settings store

namespace {

struct IniLine {
    QString text;
};

QStringList readLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    QTextStream in(&f);
    QStringList lines;
    while (!in.atEnd())
        lines << in.readLine();
    return lines;
}

QString sectionOf(const QString& line) {
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')))
        return t.mid(1, t.size() - 2).trimmed();
    return QString();
}

} // namespace

std::optional<QString> HvIniFileStore::ReadString(const QString& section,
                                                  const QString& key) const {
    bool inSection = false;
    for (const QString& line : readLines(path_)) {
        const QString sec = sectionOf(line);
        if (!sec.isNull()) {
            inSection = sec.compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection) continue;
        const auto eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) continue;
        if (line.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return line.mid(eq + 1).trimmed();
    }
    return std::nullopt;
}

bool HvIniFileStore::WriteString(const QString& section, const QString& key, const QString& value) {
    if (key.contains(QLatin1Char('=')) || key.contains(QLatin1Char('\n')) ||
        value.contains(QLatin1Char('\n')) || section.contains(QLatin1Char(']')))
        return false;
    QStringList lines = readLines(path_);
    int sectionAt = -1, insertAt = -1;
    bool inSection = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString sec = sectionOf(lines[i]);
        if (!sec.isNull()) {
            if (inSection) break;
            inSection = sec.compare(section, Qt::CaseInsensitive) == 0;
            if (inSection) sectionAt = i, insertAt = i + 1;
            continue;
        }
        if (!inSection) continue;
        const auto eq = lines[i].indexOf(QLatin1Char('='));
        if (!lines[i].trimmed().isEmpty()) insertAt = i + 1;
        if (eq >= 0 && lines[i].left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
            lines[i] = key + QLatin1Char('=') + value;
            insertAt = -2;
            break;
        }
    }
    if (insertAt != -2) {
        if (sectionAt < 0) {
            lines << QLatin1Char('[') + section + QLatin1Char(']');
            lines << key + QLatin1Char('=') + value;
        } else {
            lines.insert(insertAt, key + QLatin1Char('=') + value);
        }
    }
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSaveFile out(path_);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    const QByteArray data = (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    if (out.write(data) != data.size()) return false;
    return out.commit();
}

QString HvRegistryFileStore::FileFor(THvRegKey root) {
    static const char* const hives[] = {"HKCR", "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD"};
    QString dir = qEnvironmentVariable("PRUVELL_REGISTRY_DIR");
    if (dir.isEmpty()) {
        QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
        if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
        dir = base + QStringLiteral("/pruvell/registry");
    }
    const int i = std::clamp(int(root), 0, 6);
    return dir + QLatin1Char('/') + QLatin1String(hives[i]) + QStringLiteral(".ini");
}

HvRegistryFileStore::HvRegistryFileStore(THvRegKey root, QString keyPath, THvRegAccess access)
    : file_(FileFor(root)), keyPath_(std::move(keyPath)), access_(access) {
    while (keyPath_.startsWith(QLatin1Char('\\')))
        keyPath_.remove(0, 1);
}

QString HvRegistryFileStore::sectionName(const QString& section) const {
    return section.isEmpty() ? keyPath_ : keyPath_ + QLatin1Char('\\') + section;
}

std::optional<QString> HvRegistryFileStore::ReadString(const QString& section,
                                                       const QString& key) const {
    const THvRegAccess canRead =
        (1u << keyQueryValue) | (1u << keyRead) | (1u << keyAllAccess) | (1u << keyWrite);
    if (!(access_ & canRead)) return std::nullopt;
    return file_.ReadString(sectionName(section), key);
}

bool HvRegistryFileStore::WriteString(const QString& section, const QString& key,
                                      const QString& value) {
    const THvRegAccess canWrite = (1u << keySetValue) | (1u << keyWrite) | (1u << keyAllAccess);
    if (!(access_ & canWrite)) return false;
    return file_.WriteString(sectionName(section), key, value);
}

THvRegIniFile::THvRegIniFile(QObject* owner) : QObject(owner) {}
THvRegIniFile::~THvRegIniFile() {
    ini_.reset();
    reg_.reset();
}

void THvRegIniFile::SetPath(const QString& v) {
    if (v == path_) return;
    path_ = v;
    changed_ = true;
}
void THvRegIniFile::SetPathType(int v) {
    if (v == pathType_) return;
    pathType_ = v;
    changed_ = true;
}
void THvRegIniFile::SetRegKey(int v) {
    if (v == regKey_) return;
    regKey_ = v;
    changed_ = true;
}
void THvRegIniFile::SetRegAccess(int v) {
    if (v == regAccess_) return;
    regAccess_ = v;
    changed_ = true;
}
void THvRegIniFile::SetSpecialFolder(int v) {
    if (v == specialFolder_) return;
    specialFolder_ = v;
    changed_ = true;
}

QStringList THvRegIniFile::StoredProperties() const {
    QStringList out;
    if (!path_.isEmpty()) out << QStringLiteral("Path");
    if (pathType_ != ptIniFile) out << QStringLiteral("PathType");
    if (regKey_ != hkeyCurrentUser) out << QStringLiteral("RegKey");
    if (regAccess_ != kDefaultRegAccess) out << QStringLiteral("RegAccess");
    if (specialFolder_ != sfNone) out << QStringLiteral("SpecialFolder");
    return out;
}

QString THvRegIniFile::ResolvedIniPath() const {
    if (path_.isEmpty() || QDir::isAbsolutePath(path_) || specialFolder_ == sfNone) return path_;
    QString base;
    switch (specialFolder_) {
    case sfUserAppDataRoaming:
        base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        break;
    case sfUserAppDataLocal:
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        break;
    case sfUserDocuments:
        base = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        break;
    default: {
        const QStringList all =
            QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
        base = all.isEmpty() ? QStringLiteral("/etc/xdg") : all.last();
        break;
    }
    }
    return base + QLatin1Char('/') + path_;
}

HvKeyValueStore* THvRegIniFile::target() {
    if (changed_) {
        ini_.reset();
        reg_.reset();
        changed_ = false;
    }
    if (pathType_ == ptRegistry) {
        if (!reg_)
            reg_ = std::make_unique<HvRegistryFileStore>(THvRegKey(regKey_), path_,
                                                         THvRegAccess(regAccess_));
        return reg_.get();
    }
    if (path_.isEmpty()) return nullptr;
    if (!ini_) ini_ = std::make_unique<HvIniFileStore>(ResolvedIniPath());
    return ini_.get();
}

std::optional<QString> THvRegIniFile::ReadString(const QString& section, const QString& key) {
    HvKeyValueStore* t = target();
    return t ? t->ReadString(section, key) : std::nullopt;
}

bool THvRegIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    HvKeyValueStore* t = target();
    return t && t->WriteString(section, key, value);
}

// ------------------------------------------------------------ frame controller

THvFrameController::THvFrameController(QObject* owner) : QObject(owner) {}

THvFrameController::~THvFrameController() {
    controls_.clear();
}

void THvFrameController::AddControl(QObject* control) {
    if (!control) return;
    for (const auto& p : controls_)
        if (p == control) return;
    controls_.append(control);
    // Forget a control that is destroyed without unregistering, so that no
    // later push reaches freed memory.
    connect(control, &QObject::destroyed, this, [this](QObject* gone) {
        controls_.removeIf([gone](const QPointer<QObject>& p) { return p.isNull() || p == gone; });
    });
    UpdateControl(control, fcpAll);
}

void THvFrameController::RemoveControl(QObject* control) {
    controls_.removeIf(
        [control](const QPointer<QObject>& p) { return p.isNull() || p == control; });
    if (control) disconnect(control, &QObject::destroyed, this, nullptr);
}

void THvFrameController::EndUpdate() {
    if (--updateDepth_ <= 0) {
        updateDepth_ = 0;
        UpdateControls(fcpAll);
    }
}

void THvFrameController::UpdateControls(THvFrameControllerProperty p) {
    if (updateDepth_ > 0 || IsLoading()) return;
    const auto snapshot = controls_;
    for (const auto& c : snapshot)
        if (c) UpdateControl(c, p);
}

void THvFrameController::setIfPublished(QObject* control, const char* name, const QVariant& v) {
    if (control->metaObject()->indexOfProperty(name) >= 0) control->setProperty(name, v);
}

void THvFrameController::UpdateControl(QObject* control, THvFrameControllerProperty p) {
    if (!qobject_cast<QWidget*>(control)) return;
    THvFrameControllerNotifications accepted = fcnAll;
    if (control->metaObject()->indexOfProperty("FrameControllerNotifications") >= 0)
        accepted = THvFrameControllerNotifications(
            control->property("FrameControllerNotifications").toUInt());
    if (auto* notify = qobject_cast<IHvFrameControllerNotify*>(control)) {
        notify->FrameControllerChanged();
        return;
    }
    auto push = [&](THvFrameControllerProperty which) {
        if (!HasNotification(accepted, which)) return;
        switch (which) {
        case fcpColor:
            setIfPublished(control, "Color", color_);
            break;
        case fcpFocusColor:
            setIfPublished(control, "FocusColor", focusColor_);
            break;
        case fcpDisabledColor:
            setIfPublished(control, "DisabledColor", disabledColor_);
            break;
        case fcpReadOnlyColor:
            setIfPublished(control, "ReadOnlyColor", readOnlyColor_);
            break;
        case fcpReadOnlyColorOnFocus:
            setIfPublished(control, "ReadOnlyColorOnFocus", readOnlyColorOnFocus_);
            break;
        case fcpParentColor:
            setIfPublished(control, "ParentColor", parentColor_);
            break;
        case fcpFlatButtonColor:
            setIfPublished(control, "FlatButtonColor", flatButtonColor_);
            break;
        case fcpFlatButtons:
            setIfPublished(control, "FlatButtons", flatButtons_);
            break;
        case fcpFrameColor:
            setIfPublished(control, "FrameColor", frameColor_);
            break;
        case fcpFrameHotColor:
            setIfPublished(control, "FrameHotColor", frameHotColor_);
            break;
        case fcpFrameHotTrack:
            setIfPublished(control, "FrameHotTrack", frameHotTrack_);
            break;
        case fcpFrameHotStyle:
            setIfPublished(control, "FrameHotStyle", frameHotStyle_);
            break;
        case fcpFrameSides:
            setIfPublished(control, "FrameSides", frameSides_);
            break;
        case fcpFrameStyle:
            setIfPublished(control, "FrameStyle", frameStyle_);
            break;
        case fcpFrameVisible:
            setIfPublished(control, "FrameVisible", frameVisible_);
            break;
        case fcpFramingPreference:
            setIfPublished(control, "FramingPreference", framingPreference_);
            break;
        case fcpAll:
            break;
        }
    };
    if (p != fcpAll) {
        push(p);
        return;
    }
    push(fcpParentColor);
    if (!parentColor_) push(fcpColor);
    for (auto which :
         {fcpDisabledColor, fcpReadOnlyColor, fcpReadOnlyColorOnFocus, fcpFocusColor,
          fcpFlatButtonColor, fcpFlatButtons, fcpFrameColor, fcpFrameHotColor, fcpFrameHotTrack,
          fcpFrameHotStyle, fcpFrameSides, fcpFrameStyle, fcpFrameVisible, fcpFramingPreference})
        push(which);
}

void THvFrameController::Assign(const THvFrameController& s) {
    BeginUpdate();
    color_ = s.color_;
    disabledColor_ = s.disabledColor_;
    readOnlyColor_ = s.readOnlyColor_;
    readOnlyColorOnFocus_ = s.readOnlyColorOnFocus_;
    flatButtonColor_ = s.flatButtonColor_;
    flatButtons_ = s.flatButtons_;
    focusColor_ = s.focusColor_;
    frameColor_ = s.frameColor_;
    frameHotColor_ = s.frameHotColor_;
    frameHotStyle_ = s.frameHotStyle_;
    frameHotTrack_ = s.frameHotTrack_;
    frameSides_ = s.frameSides_;
    frameStyle_ = s.frameStyle_;
    frameVisible_ = s.frameVisible_;
    framingPreference_ = s.framingPreference_;
    parentColor_ = s.parentColor_;
    EndUpdate();
}

#define HV_SIMPLE_SETTER(Name, field, type, sel)                                                   \
    void THvFrameController::Set##Name(type v) {                                                   \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        UpdateControls(sel);                                                                       \
    }
HV_SIMPLE_SETTER(FlatButtonColor, flatButtonColor_, int, fcpFlatButtonColor)
HV_SIMPLE_SETTER(FlatButtons, flatButtons_, bool, fcpFlatButtons)
HV_SIMPLE_SETTER(DisabledColor, disabledColor_, int, fcpDisabledColor)
HV_SIMPLE_SETTER(ReadOnlyColor, readOnlyColor_, int, fcpReadOnlyColor)
HV_SIMPLE_SETTER(ReadOnlyColorOnFocus, readOnlyColorOnFocus_, bool, fcpReadOnlyColorOnFocus)
HV_SIMPLE_SETTER(FocusColor, focusColor_, int, fcpFocusColor)
HV_SIMPLE_SETTER(FrameColor, frameColor_, int, fcpFrameColor)
HV_SIMPLE_SETTER(FrameHotColor, frameHotColor_, int, fcpFrameHotColor)
HV_SIMPLE_SETTER(FrameHotStyle, frameHotStyle_, int, fcpFrameHotStyle)
HV_SIMPLE_SETTER(FrameSides, frameSides_, int, fcpFrameSides)
HV_SIMPLE_SETTER(FrameStyle, frameStyle_, int, fcpFrameStyle)
HV_SIMPLE_SETTER(FrameVisible, frameVisible_, bool, fcpFrameVisible)
HV_SIMPLE_SETTER(FramingPreference, framingPreference_, int, fcpFramingPreference)
#undef HV_SIMPLE_SETTER

void THvFrameController::SetColor(int v) {
    if (color_ == v) return;
    if (color_ == focusColor_) focusColor_ = v;
    color_ = v;
    parentColor_ = false;
    UpdateControls(fcpColor);
}

void THvFrameController::SetParentColor(bool v) {
    if (parentColor_ == v) return;
    parentColor_ = v;
    UpdateControls(fcpParentColor);
    if (!v) UpdateControls(fcpColor);
}

void THvFrameController::SetFrameHotTrack(bool v) {
    if (frameHotTrack_ == v) return;
    frameHotTrack_ = v;
    if (v) {
        SetFrameVisible(true);
        if (!IsLoading()) frameSides_ = sdAll;
    }
    UpdateControls(fcpFrameHotTrack);
}

void THvFrameController::SetRegIniFile(THvRegIniFile* v) {
    regIniFile_ = v;
}

bool THvFrameController::IsStored(const char* name) const {
    if (qstrcmp(name, "Color") == 0) return !parentColor_;
    return true;
}

bool THvFrameController::ReadObsoleteProperty(const QString& name, const QVariant& value) {
    if (name == QLatin1String("FrameFlat")) {
        const bool on = value.toBool();
        SetFrameHotTrack(on);
        if (on) {
            SetFrameStyle(fsStatus);
            SetFrameHotStyle(fsLowered);
        }
        return true;
    }
    if (name == QLatin1String("FrameFocusStyle")) {
        const int s = FrameStyleFromName(value.toString());
        if (s >= 0) SetFrameHotStyle(s);
        return true;
    }
    if (name == QLatin1String("FrameFlatStyle")) return THvOldPropReader::SkipIdent(value), true;
    return false;
}

} // namespace hv
