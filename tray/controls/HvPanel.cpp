#include "HvPanel.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QResizeEvent>
#include <QShortcutEvent>

namespace hv {

namespace {
int insetOf(int style, int bevelWidth) {
    switch (style) {
    case fsFlat:
        return 1;
    case fsStatus:
    case fsPopup:
        return bevelWidth;
    case fsNone:
        return 0;
    default:
        return 2; // groove .. button up, flat bold, flat rounded
    }
}
} // namespace

THvCustomPanel::THvCustomPanel(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    Realign();
}

THvCustomPanel::~THvCustomPanel() {
    if (frameController_) frameController_->RemoveControl(this);
}

int THvCustomPanel::Color() const {
    if (parentColor_ && parentWidget()) {
        const QVariant c = parentWidget()->property("Color");
        if (c.isValid()) return c.toInt();
    }
    return color_;
}

#define HV_PANEL_SETTER(Name, field, type)                                                         \
    void THvCustomPanel::Set##Name(type v) {                                                       \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        update();                                                                                  \
    }
HV_PANEL_SETTER(Alignment, alignment_, int)
HV_PANEL_SETTER(VerticalAlignment, verticalAlignment_, int)
HV_PANEL_SETTER(BorderColor, borderColor_, int)
HV_PANEL_SETTER(BorderLightColor, borderLightColor_, int)
HV_PANEL_SETTER(BorderDarkColor, borderDarkColor_, int)
HV_PANEL_SETTER(FlatColor, flatColor_, int)
HV_PANEL_SETTER(GradientColorStyle, gradientColorStyle_, int)
HV_PANEL_SETTER(VisualStyle, visualStyle_, int)
HV_PANEL_SETTER(GridLineColor, gridLineColor_, int)
HV_PANEL_SETTER(GridPattern, gridPattern_, int)
HV_PANEL_SETTER(GridSpacingX, gridSpacingX_, int)
HV_PANEL_SETTER(GridSpacingY, gridSpacingY_, int)
HV_PANEL_SETTER(GridVisible, gridVisible_, bool)
HV_PANEL_SETTER(FillClientArea, fillClientArea_, bool)
HV_PANEL_SETTER(CaptionIndentX, captionIndentX_, int)
HV_PANEL_SETTER(CaptionIndentY, captionIndentY_, int)
HV_PANEL_SETTER(CaptionWordWrap, captionWordWrap_, bool)
#undef HV_PANEL_SETTER

void THvCustomPanel::SetFlatColorAdjustment(int v) {
    // Lightness changes beyond +-255 mean nothing more; keep the value in
    // range so that painting with it cannot fail.
    v = std::clamp(v, -255, 255);
    if (flatColorAdjustment_ == v) return;
    flatColorAdjustment_ = v;
    update();
}

void THvCustomPanel::SetColor(int v) {
    parentColor_ = false;
    if (color_ == v) return;
    color_ = v;
    update();
}

void THvCustomPanel::SetParentColor(bool v) {
    if (parentColor_ == v) return;
    parentColor_ = v;
    update();
}

void THvCustomPanel::SetCaption(const QString& v) {
    if (caption_ == v) return;
    caption_ = v;
    update();
    if (auto* gb = qobject_cast<THvCustomGroupBox*>(this)) {
        gb->releaseShortcut(gb->property("hvShortcut").toInt());
        const QKeySequence m = QKeySequence::mnemonic(v);
        gb->setProperty("hvShortcut", m.isEmpty() ? 0 : gb->grabShortcut(m));
        Realign();
    }
}

#define HV_PANEL_REALIGN_SETTER(Name, field)                                                       \
    void THvCustomPanel::Set##Name(int v) {                                                        \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        Realign();                                                                                 \
        update();                                                                                  \
    }
HV_PANEL_REALIGN_SETTER(BorderInner, borderInner_)
HV_PANEL_REALIGN_SETTER(BorderOuter, borderOuter_)
HV_PANEL_REALIGN_SETTER(BorderSides, borderSides_)
HV_PANEL_REALIGN_SETTER(BorderWidth, borderWidth_)
HV_PANEL_REALIGN_SETTER(BevelWidth, bevelWidth_)
#undef HV_PANEL_REALIGN_SETTER

#define HV_PANEL_GRADIENT_SETTER(Name, field)                                                      \
    void THvCustomPanel::Set##Name(int v) {                                                        \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        update();                                                                                  \
        InvalidateTransparentChildren(this);                                                       \
    }
HV_PANEL_GRADIENT_SETTER(GradientColorStart, gradientColorStart_)
HV_PANEL_GRADIENT_SETTER(GradientColorStop, gradientColorStop_)
HV_PANEL_GRADIENT_SETTER(GradientDirection, gradientDirection_)
#undef HV_PANEL_GRADIENT_SETTER

void THvCustomPanel::SetTransparent(int v) {
    const bool t = v != 0;
    if (transparent_ == t) return;
    transparent_ = t;
    setAttribute(Qt::WA_OpaquePaintEvent, !t);
    update();
    for (QObject* o : children())
        if (auto* w = qobject_cast<QWidget*>(o)) w->update();
}

void THvCustomPanel::SetFrameController(THvFrameController* c) {
    if (frameController_ == c) return;
    if (frameController_) frameController_->RemoveControl(this);
    frameController_ = c;
    if (c) c->AddControl(this);
}

void THvCustomPanel::SetBounds(int left, int top, int w, int h) {
    if (align_ == alBottom && h != height()) top = y() + height() - h;
    if (align_ == alRight && w != width()) left = x() + width() - w;
    setGeometry(left, top, w, h);
}

void THvCustomPanel::ShrinkByBorders(TRect& r, bool includeBorderWidth) const {
    if (includeBorderWidth) r = InflateRect(r, -borderWidth_, -borderWidth_);
    for (int style : {borderOuter_, borderInner_}) {
        const int n = insetOf(style, bevelWidth_);
        if (HasSide(TSides(borderSides_), sdLeft)) r.Left += n;
        if (HasSide(TSides(borderSides_), sdTop)) r.Top += n;
        if (HasSide(TSides(borderSides_), sdRight)) r.Right -= n;
        if (HasSide(TSides(borderSides_), sdBottom)) r.Bottom -= n;
    }
}

TRect THvCustomPanel::ClientRectForChildren() const {
    TRect r = WholeRect();
    ShrinkByBorders(r, false);
    return r;
}

void THvCustomPanel::Realign() {
    const TRect r = ClientRectForChildren();
    setContentsMargins(r.Left, r.Top, width() - r.Right, height() - r.Bottom);
}

void THvCustomPanel::GradientColorsInUse(TColor& start, TColor& stop) const {
    if (gradientColorStyle_ == gcsCustom) {
        start = gradientColorStart_;
        stop = gradientColorStop_;
    } else {
        GradientDefaultColors(THvGradientColorStyle(gradientColorStyle_), start, stop);
    }
}

void THvCustomPanel::FlatFrameColorInUse(TColor& color, int& adjustment) const {
    if (visualStyle_ == vsGradient && gradientColorStyle_ != gcsCustom) {
        color = GradientFrameColor(THvGradientColorStyle(gradientColorStyle_));
        adjustment = 0;
    } else {
        color = flatColor_;
        adjustment = flatColorAdjustment_;
    }
}

void THvCustomPanel::FrameControllerChanged() {
    THvFrameController* fc = frameController_;
    if (!fc || !fc->FrameVisible()) return;
    const auto n = THvFrameControllerNotifications(notifications_);
    if (HasNotification(n, fcpFrameStyle)) borderOuter_ = fc->FrameStyle();
    if (HasNotification(n, fcpFrameSides)) borderSides_ = fc->FrameSides();
    if (HasNotification(n, fcpFrameColor)) {
        flatColor_ = fc->FrameColor();
        flatColorAdjustment_ = 0;
    }
    if (HasNotification(n, fcpColor)) SetColor(fc->Color());
    if (HasNotification(n, fcpParentColor)) SetParentColor(fc->ParentColor());
    if (HasNotification(n, fcpColor)) {
        borderLightColor_ = LighterColor(Color(), 100);
        borderDarkColor_ = DarkerColor(Color(), 50);
    }
    update();
}

bool THvCustomPanel::ReadObsoleteProperty(const QString& name, const QVariant& value) {
    if (name == QLatin1String("FrameSides")) return THvOldPropReader::SkipList(value), true;
    if (name == QLatin1String("ThemeAware")) return THvOldPropReader::SkipBoolean(value), true;
    if (name == QLatin1String("UseGradients")) {
        if (value.toBool()) SetVisualStyle(vsGradient);
        return true;
    }
    return false;
}

void THvCustomPanel::resizeEvent(QResizeEvent* e) {
    Realign();
    if (fullRepaint_ || !caption_.isEmpty()) {
        update();
    } else {
        // Only the border strips that move need repainting.
        TRect b = WholeRect();
        const TRect old = Rect(0, 0, e->oldSize().width(), e->oldSize().height());
        ShrinkByBorders(b, true);
        const TPoint p = RepaintStripSize();
        if (e->oldSize().width() != width())
            update(QRect(std::min(b.Right, old.Right) - p.X - 2, 0, width(), height()));
        if (e->oldSize().height() != height())
            update(QRect(0, std::min(b.Bottom, old.Bottom) - p.Y - 2, width(), height()));
    }
    QWidget::resizeEvent(e);
}

void THvCustomPanel::changeEvent(QEvent* e) {
    // Qt keeps the enabled state a child was given itself: disabling the
    // panel disables every child, and enabling it again re-enables those
    // that were enabled before (a child added meanwhile follows the panel).
    if (e->type() == QEvent::EnabledChange) repaint();
    if (e->type() == QEvent::FontChange) {
        Realign();
        update();
    }
    QWidget::changeEvent(e);
}

unsigned THvCustomPanel::AlignmentFlag() const {
    return alignment_ == taLeftJustify    ? DT_LEFT
           : alignment_ == taRightJustify ? DT_RIGHT
                                          : DT_CENTER;
}

void THvCustomPanel::PaintInto(Canvas& c) {
    // Erase.
    if (transparent_ && fillClientArea_)
        PaintParentBackground(this, c, false);
    else
        c.FillRect(WholeRect(), Color());
    Paint(c);
}

void THvCustomPanel::Paint(Canvas& c) {
    TRect r = WholeRect();
    TColor fc;
    int fa;
    FlatFrameColorInUse(fc, fa);
    PanelBorder b;
    b.outer = TFrameStyleEx(borderOuter_);
    b.innerStyle = TFrameStyleEx(borderInner_);
    b.sides = TSides(borderSides_);
    b.bevelWidth = bevelWidth_;
    b.borderWidth = borderWidth_;
    b.borderColor = borderColor_;
    b.highlightColor = borderLightColor_;
    b.shadowColor = borderDarkColor_;
    b.flatColor = fc;
    b.flatAdjust = fa;
    b.color = Color();
    {
        const QVariant pc = parentWidget() ? parentWidget()->property("Color") : QVariant();
        b.parentColor = pc.isValid() ? TColor(pc.toInt()) : clBtnFace;
    }
    b.transparent = transparent_;
    b.roundedSolid = false;
    PaintPanelBorder(c, r, b, r);
    if (!transparent_ && fillClientArea_) {
        if (visualStyle_ == vsGradient) {
            TColor start, stop;
            GradientColorsInUse(start, stop);
            PaintGradient(c, r, TGradientDirection(gradientDirection_), stop, start, 1);
        } else {
            c.FillRect(r, Color());
        }
    }
    if (gridVisible_) PaintGrid(c, r);
    c.Brush.Style = BrushStyle::Clear;
    PaintCaptionText(c, r);
    c.Brush.Style = BrushStyle::Solid;
}

void THvCustomPanel::PaintCaptionText(Canvas& c, TRect r) {
    if (caption_.isEmpty()) return;
    c.Font = font();
    r = InflateRect(r, -captionIndentX_, -captionIndentY_);
    const unsigned wrap = captionWordWrap_ ? unsigned(DT_WORDBREAK) : 0u;
    TRect calc = r;
    const int ht = c.DrawText(caption_, calc,
                              DT_CALCRECT | DT_EXPANDTABS | DT_VCENTER | wrap | AlignmentFlag());
    switch (verticalAlignment_) {
    case avTop:
        if (r.Top + ht < r.Bottom) r.Bottom = r.Top + ht;
        break;
    case avCenter:
        r.Top = (r.Bottom + r.Top - ht) / 2;
        if (r.Top + ht < r.Bottom) r.Bottom = r.Top + ht;
        break;
    default:
        if (r.Bottom - ht - 1 > r.Top) r.Top = r.Bottom - ht - 1;
        break;
    }
    const QColor fontColor = palette().color(QPalette::WindowText);
    c.FontColor = isEnabled() ? TColor(RGB(fontColor.red(), fontColor.green(), fontColor.blue()))
                              : clGrayText;
    c.DrawText(caption_, r, DT_EXPANDTABS | DT_VCENTER | wrap | AlignmentFlag());
}

std::vector<TPoint> THvCustomPanel::GridDots(const TRect& r) const {
    std::vector<TPoint> dots;
    const int nx = gridSpacingX_ ? r.Width() / gridSpacingX_ : 0;
    const int ny = gridSpacingY_ ? r.Height() / gridSpacingY_ : 0;
    for (int i = 1; i <= nx; ++i)
        for (int j = 1; j <= ny; ++j)
            dots.push_back({r.Left - 1 + i * gridSpacingX_, r.Top - 1 + j * gridSpacingY_});
    return dots;
}

void THvCustomPanel::PaintGrid(Canvas& c, TRect r) {
    const int nx = gridSpacingX_ ? r.Width() / gridSpacingX_ : 0;
    const int ny = gridSpacingY_ ? r.Height() / gridSpacingY_ : 0;
    const TColor color = gridLineColor_;
    if (gridPattern_ == 0) {
        for (const TPoint& p : GridDots(r))
            c.SetPixel(p.X, p.Y, color);
        return;
    }
    if (gridPattern_ != 1 && gridPattern_ != 2) return;
    for (int i = 1; i <= nx; ++i) {
        const int x = r.Left - 1 + i * gridSpacingX_;
        if (gridPattern_ == 2)
            c.Line(x, r.Top, x, r.Bottom, color);
        else
            for (int y = r.Top + 1; y < r.Bottom - 1; y += 2)
                c.SetPixel(x, y, color);
    }
    for (int j = 1; j <= ny; ++j) {
        const int y = r.Top - 1 + j * gridSpacingY_;
        if (gridPattern_ == 2)
            c.Line(r.Left, y, r.Right, y, color);
        else
            for (int x = r.Left + 1; x < r.Right - 1; x += 2)
                c.SetPixel(x, y, color);
    }
}

// ------------------------------------------------------------ group box

THvCustomGroupBox::THvCustomGroupBox(QWidget* parent) : THvCustomPanel(parent) {
    SetBorderOuter(fsNone);
    SetBorderInner(fsNone);
    SetAlignment(taLeftJustify);
    SetVerticalAlignment(avTop);
    resize(width(), 105);
    groupStyle_ = gsFlat;
    Realign();
}

void THvCustomGroupBox::SetGroupStyle(int v) {
    if (groupStyle_ == v) return;
    groupStyle_ = v;
    Realign();
    update();
}

TRect THvCustomGroupBox::ClientRectForChildren() const {
    TRect r = THvCustomPanel::ClientRectForChildren();
    const int ht = QFontMetrics(font()).height(); // "Yy"
    switch (groupStyle_) {
    case gsStandard:
    case gsFlat: {
        const int h = ht / 2 - 1;
        r.Top += h < BorderWidth() ? h : ht - BorderWidth();
        const int n = groupStyle_ == gsStandard ? 2 : 1;
        r = InflateRect(r, -n, -n);
        break;
    }
    case gsCustom:
        if (!Caption().isEmpty()) r.Top += ht;
        r = InflateRect(r, -2, -2);
        break;
    case gsTopLine:
        r.Top += ht;
        break;
    case gsBanner:
        r.Top += ht + 8;
        break;
    default:
        r.Top += ht + 4;
        break;
    }
    return r;
}

TRect THvCustomGroupBox::CaptionRect() const {
    if (Caption().isEmpty() || groupStyle_ == gsCustom) return {};
    const QFontMetrics fm(font());
    const QString t = StripAccelChars(Caption());
    const int w = fm.horizontalAdvance(t), h = fm.height();
    const bool rtl = layoutDirection() == Qt::RightToLeft;
    switch (groupStyle_) {
    case gsStandard:
    case gsFlat:
        return rtl ? Rect(width() - w - 8, 0, width() - 8, h) : Rect(8, 0, w + 8, h);
    case gsTopLine:
        return rtl ? Rect(width() - w - 4, 0, width() - 4, h) : Rect(0, 0, w + 4, h);
    case gsBanner:
        return Rect(0, 0, width(), h + 6);
    default:
        return Rect(0, 0, width(), h + 2);
    }
}

void THvCustomGroupBox::FrameControllerChanged() {
    if (FrameController() && FrameController()->FrameVisible() && groupStyle_ == gsCustom)
        THvCustomPanel::FrameControllerChanged();
}

void THvCustomGroupBox::Paint(Canvas& c) {
    c.Font = font();
    const int hp = QFontMetrics(font()).height(); // "Pp"
    TRect k = CaptionRect();
    if (groupStyle_ == gsCustom) {
        THvCustomPanel::Paint(c);
        return;
    }
    const bool transparent = Transparent() != 0;
    c.SaveDC();
    if (!transparent)
        c.FillRect(WholeRect(), Color());
    else if (groupStyle_ != gsBanner && !k.IsEmpty())
        c.ExcludeClipRect(k);
    const TRect f = Rect(0, hp / 2 - 1, width(), height());
    const TColor d = AdjustColor(FlatColor(), FlatColorAdjustment());
    TRect inner;
    const int outer = BorderOuter();
    switch (groupStyle_) {
    case gsStandard:
        if (outer == fsNone)
            PaintStyledBorderSides(c, f, fsGroove, inner, sdAll);
        else if (outer == fsFlat)
            PaintBox(c, f, d, inner);
        else if (outer == fsFlatBold)
            PaintSidesRepeat(c, f, d, inner, sdAll, 2, d);
        else if (outer <= fsPopup)
            PaintStyledBorderSides(c, f, TFrameStyleEx(outer), inner, sdAll);
        // An outer fsFlatRounded has no group frame of its own: the panel's
        // border routine stops at fsFlatBold, so nothing is drawn.
        break;
    case gsTopLine: {
        const TSides top = SideBit(sdTop);
        if (outer == fsNone)
            PaintStyledBorderSides(c, f, fsGroove, inner, top);
        else if (outer == fsFlat)
            c.Line(f.Left + 2, f.Top, f.Right - 2, f.Top, d);
        else if (outer == fsFlatBold) {
            c.Line(f.Left + 2, f.Top, f.Right - 2, f.Top, d);
            c.Line(f.Left + 2, f.Top + 1, f.Right - 2, f.Top + 1, d);
        } else if (outer <= fsPopup)
            PaintStyledBorderSides(c, f, TFrameStyleEx(outer), inner, top);
        break;
    }
    case gsFlat:
        c.Line(f.Left, f.Top + 2, f.Left, f.Bottom - 2, d);
        c.Line(f.Left + 2, f.Top, f.Right - 2, f.Top, d);
        c.Line(f.Right - 1, f.Top + 2, f.Right - 1, f.Bottom - 2, d);
        c.Line(f.Left + 2, f.Bottom - 1, f.Right - 2, f.Bottom - 1, d);
        c.SetPixel(f.Left + 1, f.Top + 1, d);
        c.SetPixel(f.Right - 2, f.Top + 1, d);
        c.SetPixel(f.Right - 2, f.Bottom - 2, d);
        c.SetPixel(f.Left + 1, f.Bottom - 2, d);
        break;
    case gsBanner: {
        TColor start, stop, frame;
        if (GradientColorStyle() == gcsCustom) {
            start = GradientColorStart();
            stop = GradientColorStop();
            frame = d;
        } else {
            TColor dark, light;
            GradientPanelColors(THvGradientColorStyle(GradientColorStyle()), dark, light, frame);
            start = light;
            stop = dark;
        }
        if (!k.IsEmpty()) {
            c.Line(k.Left, k.Top + 1, k.Left, k.Bottom - 1, frame);
            c.Line(k.Left + 1, k.Top, k.Right - 1, k.Top, frame);
            c.Line(k.Right - 1, k.Top + 1, k.Right - 1, k.Bottom - 1, frame);
            c.Line(k.Left + 1, k.Bottom - 1, k.Right - 1, k.Bottom - 1, frame);
            PaintGradient(c, InflateRect(k, -1, -1), gdHorizontalEnd, stop, start, 1);
        }
        break;
    }
    default:
        if (!k.IsEmpty()) c.Line(k.Left, k.Bottom, k.Right, k.Bottom, d);
        break;
    }
    c.RestoreDC();
    if (k.IsEmpty()) return;
    if (!transparent && groupStyle_ != gsBanner) c.FillRect(k, Color());
    if (groupStyle_ == gsBanner) k = InflateRect(k, -4, -1);
    c.Brush.Style = BrushStyle::Clear;
    const QColor fcq = palette().color(QPalette::WindowText);
    c.FontColor =
        isEnabled() ? TColor(RGB(fcq.red(), fcq.green(), fcq.blue())) : TColor(clGrayText);
    c.DrawText(Caption(), k, AlignmentFlag() | DT_SINGLELINE);
    c.Brush.Style = BrushStyle::Solid;
}

void THvCustomGroupBox::keyPressEvent(QKeyEvent* e) {
    QWidget::keyPressEvent(e);
}

bool THvCustomGroupBox::event(QEvent* e) {
    if (e->type() == QEvent::Shortcut) {
        // The caption's accelerator focuses the first child in tab order.
        if (isEnabled() && isVisible()) {
            QWidget* w = nextInFocusChain();
            while (w && w != this) {
                if (isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isEnabled() &&
                    w->isVisible()) {
                    w->setFocus(Qt::ShortcutFocusReason);
                    return true;
                }
                w = w->nextInFocusChain();
            }
        }
        return true;
    }
    return THvCustomPanel::event(e);
}

} // namespace hv
