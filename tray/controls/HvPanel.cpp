#include "HvPanel.h"

#include <QApplication>
#include <QChildEvent>
#include <QCursor>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QShortcutEvent>

#include <algorithm>

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

TPoint THvCustomPanel::CursorClientPos() const {
    const QPoint p = mapFromGlobal(QCursor::pos());
    return {p.x(), p.y()};
}

void THvCustomPanel::SetFlatColorAdjustment(int v) {
    // Lightness changes beyond +-255 mean nothing more; keep the value in
    // range so that painting with it cannot fail.
    v = std::clamp(v, -255, 255);
    if (flatColorAdjustment_ == v) return;
    flatColorAdjustment_ = v;
    update();
}

void THvCustomPanel::SetColor(int v) {
    const int before = Color();
    parentColor_ = false;
    color_ = v;
    if (Color() == before) return;
    update();
    NotifyParentColorChanged(this);
}

void THvCustomPanel::SetParentColor(bool v) {
    if (parentColor_ == v) return;
    const int before = Color();
    parentColor_ = v;
    update();
    if (Color() != before) NotifyParentColorChanged(this);
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

void THvCustomPanel::SetAlign(int v) {
    if (align_ == v) return;
    align_ = v;
    // The grabbers of a dock site turn with the alignment.
    if (dockManager_) {
        dockManager_->ResetBounds();
        update();
    }
}

void THvCustomPanel::SetDockSite(bool v) {
    if (dockSite_ == v) return;
    dockSite_ = v;
    RenewDockManager();
    Realign();
    update();
}

void THvCustomPanel::SetShowDockClientCaptions(bool v) {
    if (showDockClientCaptions_ == v) return;
    showDockClientCaptions_ = v;
    if (dockManager_) update();
}

void THvCustomPanel::SetUseDockManager(bool v) {
    if (useDockManager_ == v) return;
    useDockManager_ = v;
    RenewDockManager();
    update();
}

void THvCustomPanel::RenewDockManager() {
    if (!dockSite_ || !useDockManager_)
        dockManager_.reset();
    else if (auto* m = CreateDockManager())
        dockManager_.reset(m);
}

THvPanelDockManager* THvCustomPanel::CreateDockManager() {
    // Qt paints every widget double-buffered, which the toolkit turns on
    // for a panel with a dock manager.
    if (dockManager_ || !dockSite_ || !useDockManager_) return nullptr;
    return new THvPanelDockManager(this);
}

void THvCustomPanel::AdjustClientRect(TRect& r) const {
    r = InflateRect(r, -borderWidth_, -borderWidth_);
    if (dockSite_) ShrinkByBorders(r, false);
}

TRect THvCustomPanel::DockClientRect() const {
    TRect r = WholeRect();
    AdjustClientRect(r);
    return r;
}

int THvCustomPanel::DockClientCount() const {
    return dockManager_ ? int(dockManager_->Clients().size()) : 0;
}

QWidget* THvCustomPanel::DockClients(int i) const {
    if (!dockManager_) return nullptr;
    const QList<QWidget*> all = dockManager_->Clients();
    return i >= 0 && i < all.size() ? all[i] : nullptr;
}

void THvCustomPanel::DockDrop(THvDragDockObject& source, int x, int y) {
    QWidget* control = source.Control;
    if (!control) return;
    if (control->parentWidget() != this) control->setParent(this); // a floating one docks again
    if (dockManager_) dockManager_->InsertControl(control, source.DropAlign, source.DropOnControl);
    control->show();
    source.Floating = false;
    update();
    if (OnDockDrop) OnDockDrop(this, source, x, y);
}

bool THvCustomPanel::DockOver(THvDragDockObject& source, int x, int y, TDragState state) {
    bool accept = true;
    if (OnDockOver) OnDockOver(this, source, x, y, state, accept);
    return accept;
}

void THvCustomPanel::GetSiteInfo(QWidget* client, TRect& influenceRect, const QPoint& mousePos,
                                 bool& canDock) {
    // The site takes clients dropped on it or within 10 pixels of it.
    const QPoint g = mapToGlobal(QPoint(0, 0));
    influenceRect = InflateRect(Rect(g.x(), g.y(), g.x() + width(), g.y() + height()), 10, 10);
    canDock = true;
    if (OnGetSiteInfo) OnGetSiteInfo(this, client, influenceRect, mousePos, canDock);
}

bool THvCustomPanel::DoUnDock(QWidget* newTarget, QWidget* client) {
    bool allow = true;
    if (OnUnDock) OnUnDock(this, client, newTarget, allow);
    return allow;
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
    AdjustClientRect(r);
    return r;
}

void THvCustomPanel::Realign() {
    const TRect r = ClientRectForChildren();
    setContentsMargins(r.Left, r.Top, width() - r.Right, height() - r.Bottom);
    if (dockManager_) dockManager_->ResetBounds();
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

bool THvCustomPanel::event(QEvent* e) {
    if (e->type() == ParentColorChangedEvent) {
        // A panel that shows its parent's colour passes the notice on.
        if (parentColor_) {
            update();
            NotifyParentColorChanged(this);
        }
        return true;
    }
    if (e->type() == QEvent::ChildRemoved && dockManager_) {
        auto* child = static_cast<QChildEvent*>(e)->child();
        if (child->isWidgetType()) dockManager_->RemoveControl(qobject_cast<QWidget*>(child));
    }
    const bool done = QWidget::event(e);
    if (e->type() == QEvent::ThemeChange) {
        // The XP colour scheme may have changed with the theme.
        RefreshXpColorScheme();
        update();
    }
    return done;
}

void THvCustomPanel::mousePressEvent(QMouseEvent* e) {
    if (dockManager_ && dockManager_->MouseDown(e->position().toPoint(), e->button(),
                                                e->globalPosition().toPoint())) {
        e->accept();
        return;
    }
    QWidget::mousePressEvent(e);
}

void THvCustomPanel::mouseMoveEvent(QMouseEvent* e) {
    if (dockManager_ &&
        dockManager_->MouseMove(e->position().toPoint(), e->globalPosition().toPoint())) {
        e->accept();
        return;
    }
    QWidget::mouseMoveEvent(e);
}

void THvCustomPanel::mouseReleaseEvent(QMouseEvent* e) {
    if (dockManager_ && dockManager_->MouseUp(e->position().toPoint(), e->button(),
                                              e->globalPosition().toPoint())) {
        e->accept();
        return;
    }
    QWidget::mouseReleaseEvent(e);
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
    if (dockManager_) dockManager_->PaintSite(c);
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
    if (OnPaint) OnPaint(this, c);
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

void THvCustomGroupBox::AdjustClientRect(TRect& r) const {
    THvCustomPanel::AdjustClientRect(r);
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

// ------------------------------------------------------------ dock manager

namespace {

// The close glyph: the "r" of the Marlett symbol font at 8 points, a cross
// of two-pixel strokes 7 pixels wide and 6 high. The symbol font is not on
// this platform, so its glyph is drawn pixel by pixel.
void PaintCloseGlyph(Canvas& c, const TRect& r, TColor color) {
    const int x0 = r.Left + (r.Width() - 7) / 2, y0 = r.Top + (r.Height() - 6) / 2;
    for (int i = 0; i < 6; ++i) {
        c.SetPixel(x0 + i, y0 + i, color);
        c.SetPixel(x0 + i + 1, y0 + i, color);
        c.SetPixel(x0 + 5 - i, y0 + i, color);
        c.SetPixel(x0 + 6 - i, y0 + i, color);
    }
}

// A raised line of the plain grabber: highlight on the left and top, shadow
// on the right and bottom.
void PaintGrabberLine(Canvas& c, int l, int t, int r, int b) {
    c.Pen.Color = clBtnHighlight;
    c.MoveTo(r, t);
    c.LineTo(l, t);
    c.LineTo(l, b);
    c.Pen.Color = clBtnShadow;
    c.LineTo(r, b);
    c.LineTo(r, t - 1);
}

// The toolkit's non-windowed controls (labels, images, shapes) are the
// widgets that neither take the focus nor hold other widgets.
bool IsWindowedClient(const QWidget* w) {
    return w->focusPolicy() != Qt::NoFocus || !w->findChildren<QWidget*>().isEmpty();
}

} // namespace

THvPanelDockManager::THvPanelDockManager(THvCustomPanel* site) : site_(site) {
    captionFont_ = QFont(QStringLiteral("Verdana"));
    captionFont_.setPointSize(8);
    closeFont_ = QFont(QStringLiteral("Marlett"));
    closeFont_.setPointSize(8);
    // The grabbers show which client has the focus: a change of focus, or a
    // click into a client, repaints them.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if ((old && site_->isAncestorOf(old)) || (now && site_->isAncestorOf(now))) site_->update();
    });
}

THvPanelDockManager::~THvPanelDockManager() {
    for (const QPointer<QWidget>& c : clients_)
        if (c) c->removeEventFilter(this);
}

QList<QWidget*> THvPanelDockManager::Clients() const {
    QList<QWidget*> out;
    for (const QPointer<QWidget>& c : clients_)
        if (c) out << c.data();
    return out;
}

bool THvPanelDockManager::Contains(const QWidget* control) const {
    return std::any_of(clients_.begin(), clients_.end(),
                       [control](const QPointer<QWidget>& c) { return c == control; });
}

void THvPanelDockManager::InsertControl(QWidget* control, int insertAt, QWidget* dropControl) {
    if (!control) return;
    RemoveControl(control);
    qsizetype at = clients_.size();
    for (qsizetype i = 0; i < clients_.size(); ++i)
        if (dropControl && clients_[i] == dropControl)
            at = (insertAt == alLeft || insertAt == alTop) ? i : i + 1;
    clients_.insert(at, control);
    control->installEventFilter(this);
    connect(control, &QObject::destroyed, this, &THvPanelDockManager::ClientDestroyed,
            Qt::UniqueConnection);
    ResetBounds();
    site_->update();
}

void THvPanelDockManager::RemoveControl(QWidget* control) {
    removeClient(control);
}

void THvPanelDockManager::ClientDestroyed(QObject* gone) {
    // Only the address is compared: the client is half destroyed by now.
    removeClient(gone);
}

void THvPanelDockManager::removeClient(const QObject* control) {
    // A client being destroyed has already dropped out of its guard; only a
    // live one is told to stop reporting to the manager.
    bool removed = false;
    for (qsizetype i = clients_.size() - 1; i >= 0; --i) {
        QWidget* c = clients_[i].data();
        if (c && c != control) continue;
        if (c) c->removeEventFilter(this);
        clients_.removeAt(i);
        removed = true;
    }
    if (!removed) return;
    if (dragClient_ ? dragClient_.data() == control : dragging_) endDrag();
    ResetBounds();
    site_->update();
}

QList<QWidget*> THvPanelDockManager::visibleClients() const {
    QList<QWidget*> out;
    for (const QPointer<QWidget>& c : clients_)
        if (c && !c->isHidden()) out << c.data();
    return out;
}

bool THvPanelDockManager::VerticalGrabbers() const {
    return site_->Align() == alTop || site_->Align() == alBottom;
}

TRect THvPanelDockManager::ZoneRect(const QWidget* client) const {
    const QList<QWidget*> shown = visibleClients();
    const qsizetype i = shown.indexOf(const_cast<QWidget*>(client));
    if (i < 0) return {};
    const TRect r = site_->DockClientRect();
    const int n = int(shown.size());
    // Equal shares along the row (or column); the last zone takes what the
    // division leaves.
    if (VerticalGrabbers()) {
        const int share = r.Width() / n;
        const int left = r.Left + int(i) * share;
        return Rect(left, r.Top, i == n - 1 ? r.Right : left + share, r.Bottom);
    }
    const int share = r.Height() / n;
    const int top = r.Top + int(i) * share;
    return Rect(r.Left, top, r.Right, i == n - 1 ? r.Bottom : top + share);
}

void THvPanelDockManager::AdjustDockRect(TRect& r) const {
    if (VerticalGrabbers())
        r.Left += kGrabberSize;
    else
        r.Top += kGrabberSize;
}

TRect THvPanelDockManager::GrabberRect(const QWidget* client) const {
    const TRect z = ZoneRect(client);
    if (z.IsEmpty()) return {};
    if (VerticalGrabbers()) return Rect(z.Left, z.Top, z.Left + kGrabberSize, z.Bottom);
    return Rect(z.Left, z.Top, z.Right, z.Top + kGrabberSize);
}

TRect THvPanelDockManager::CloseRect(const QWidget* client) const {
    const TRect g = GrabberRect(client);
    if (g.IsEmpty()) return {};
    // At the grabber's far end: the right end, or the top of a vertical one
    // (the rotated caption reads upwards).
    if (VerticalGrabbers()) return Rect(g.Left, g.Top, g.Right, g.Top + kGrabberSize);
    return Rect(g.Right - kGrabberSize, g.Top, g.Right, g.Bottom);
}

void THvPanelDockManager::ResetBounds() {
    for (QWidget* c : visibleClients()) {
        TRect r = ZoneRect(c);
        AdjustDockRect(r);
        c->setGeometry(r.Left, r.Top, std::max(r.Width(), 0), std::max(r.Height(), 0));
    }
}

bool THvPanelDockManager::ShowsActive(const QWidget* client) const {
    // A non-windowed client shows the active colours; others while they
    // hold the focus.
    if (!IsWindowedClient(client)) return true;
    const QWidget* f = QApplication::focusWidget();
    return f && (f == client || client->isAncestorOf(f));
}

QString THvPanelDockManager::ClientCaption(const QWidget* client) {
    const QVariant caption = client->property("Caption");
    if (caption.isValid() && !caption.toString().isEmpty()) return caption.toString();
    return client->windowTitle();
}

void THvPanelDockManager::PaintSite(Canvas& c) {
    for (QWidget* client : visibleClients())
        PaintDockFrame(c, client, ZoneRect(client));
}

void THvPanelDockManager::PaintDockFrame(Canvas& c, QWidget* client, const TRect& zone) {
    const bool vertical = VerticalGrabbers();
    const TRect g = vertical ? Rect(zone.Left, zone.Top, zone.Left + kGrabberSize, zone.Bottom)
                             : Rect(zone.Left, zone.Top, zone.Right, zone.Top + kGrabberSize);
    const TRect close = CloseRect(client);
    if (!site_->ShowDockClientCaptions()) {
        // The dock tree's own grabber: a small close button and two raised
        // lines.
        TRect button = vertical ? Rect(g.Left + 1, g.Top + 1, g.Left + kGrabberSize - 2,
                                       g.Top + kGrabberSize - 2)
                                : Rect(g.Right - kGrabberSize + 1, g.Top + 1, g.Right - 2,
                                       g.Top + kGrabberSize - 2);
        TRect face;
        PaintButtonBevel(c, button, false, face);
        c.FillRect(face, clBtnFace);
        PaintCloseGlyph(c, face, clBtnText);
        if (vertical) {
            PaintGrabberLine(c, g.Left + 3, g.Top + kGrabberSize + 1, g.Left + 5, g.Bottom - 2);
            PaintGrabberLine(c, g.Left + 6, g.Top + kGrabberSize + 1, g.Left + 8, g.Bottom - 2);
        } else {
            PaintGrabberLine(c, g.Left + 2, g.Top + 3, g.Right - kGrabberSize - 2, g.Top + 5);
            PaintGrabberLine(c, g.Left + 2, g.Top + 6, g.Right - kGrabberSize - 2, g.Top + 8);
        }
        return;
    }
    const bool active = ShowsActive(client);
    const TColor back = active ? clActiveCaption : clInactiveCaption;
    const TColor text = active ? clCaptionText : clInactiveCaptionText;
    c.FillRect(g, back);
    PaintCloseGlyph(c, close, text);
    const QString caption = ClientCaption(client);
    if (caption.isEmpty()) return;
    c.SaveDC();
    c.Brush.Style = BrushStyle::Clear;
    c.FontColor = text;
    if (vertical) {
        // Drawn with the caption font turned by 90 degrees, upwards from the
        // bottom of the grabber, clear of the close glyph.
        const RotatedFont f = CreateRotatedFont(captionFont_, 90);
        c.Font = f.font;
        c.IntersectClipRect(Rect(g.Left, close.Bottom + 1, g.Right, g.Bottom));
        const int h = c.TextHeight(caption);
        c.TextOutRotated(g.Left + (kGrabberSize - h) / 2, g.Bottom - 2, caption, f.escapement);
    } else {
        c.Font = captionFont_;
        TRect t = Rect(g.Left + 2, g.Top, close.Left - 1, g.Bottom);
        c.DrawText(caption, t, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    c.RestoreDC();
}

THvPanelDockManager::HitPart THvPanelDockManager::HitTest(const QPoint& p, QWidget** client) const {
    for (QWidget* c : visibleClients()) {
        if (CloseRect(c).Contains(p.x(), p.y())) {
            if (client) *client = c;
            return hpClose;
        }
        if (GrabberRect(c).Contains(p.x(), p.y())) {
            if (client) *client = c;
            return hpGrabber;
        }
    }
    if (client) *client = nullptr;
    return hpNone;
}

bool THvPanelDockManager::MouseDown(const QPoint& p, Qt::MouseButton button, const QPoint& global) {
    if (button != Qt::LeftButton) return false;
    QWidget* client = nullptr;
    switch (HitTest(p, &client)) {
    case hpClose:
        pressedClose_ = client;
        return true;
    case hpGrabber:
        dragClient_ = client;
        pressGlobal_ = global;
        dragging_ = false;
        return true;
    default:
        return false;
    }
}

void THvPanelDockManager::updateDragTarget(const QPoint& global) {
    // The site under the cursor that takes the client: each dock site says
    // where it reaches and whether it docks it, then whether it accepts it.
    THvCustomPanel* target = nullptr;
    for (QWidget* w : QApplication::allWidgets()) {
        auto* site = qobject_cast<THvCustomPanel*>(w);
        if (!site || !site->DockSite() || !site->DockManager() || !site->isVisible()) continue;
        if (site == dragClient_ || (dragClient_ && dragClient_->isAncestorOf(site))) continue;
        TRect influence;
        bool canDock = true;
        site->GetSiteInfo(dragClient_, influence, global, canDock);
        if (canDock && influence.Contains(global.x(), global.y())) {
            target = site;
            break;
        }
    }
    const QPoint local = target ? target->mapFromGlobal(global) : QPoint();
    const bool same = target == dragTarget_;
    if (!same) {
        if (dragTarget_) {
            const QPoint l = dragTarget_->mapFromGlobal(global);
            dragTarget_->DockOver(dragObject_, l.x(), l.y(), dsDragLeave);
        }
        dragTarget_ = target;
        dragAccepted_ = false;
    }
    dragObject_.DropOnControl = nullptr;
    dragObject_.DropAlign = alNone;
    if (!target) {
        dragObject_.DockRect = {};
        return;
    }
    // Dropped on a docked client, the new one goes before or after it by
    // the half of its zone the cursor is in.
    THvPanelDockManager* m = target->DockManager();
    for (QWidget* c : m->visibleClients()) {
        if (c == dragClient_) continue;
        const TRect z = m->ZoneRect(c);
        if (!z.Contains(local.x(), local.y())) continue;
        dragObject_.DropOnControl = c;
        if (m->VerticalGrabbers())
            dragObject_.DropAlign = local.x() < (z.Left + z.Right) / 2 ? alLeft : alRight;
        else
            dragObject_.DropAlign = local.y() < (z.Top + z.Bottom) / 2 ? alTop : alBottom;
    }
    const QPoint g0 = target->mapToGlobal(QPoint(0, 0));
    dragObject_.DockRect = OffsetRect(target->DockClientRect(), g0.x(), g0.y());
    dragAccepted_ =
        target->DockOver(dragObject_, local.x(), local.y(), same ? dsDragMove : dsDragEnter);
}

bool THvPanelDockManager::MouseMove(const QPoint&, const QPoint& global) {
    if (!dragClient_) return pressedClose_ != nullptr;
    if (!dragging_) {
        if ((global - pressGlobal_).manhattanLength() < QApplication::startDragDistance())
            return true;
        dragging_ = true;
        dragObject_ = THvDragDockObject{};
        dragObject_.Control = dragClient_;
        site_->setCursor(Qt::DragMoveCursor);
    }
    updateDragTarget(global);
    return true;
}

void THvPanelDockManager::endDrag() {
    dragClient_ = nullptr;
    dragging_ = false;
    dragTarget_ = nullptr;
    dragAccepted_ = false;
    site_->unsetCursor();
}

bool THvPanelDockManager::MouseUp(const QPoint& p, Qt::MouseButton button, const QPoint& global) {
    if (button != Qt::LeftButton) return false;
    if (pressedClose_) {
        QWidget* client = nullptr;
        const bool onIt = HitTest(p, &client) == hpClose && client == pressedClose_;
        QPointer<QWidget> closing = pressedClose_;
        pressedClose_ = nullptr;
        // The client is closed as a window is: it may refuse, else it hides
        // and the other zones take its room.
        if (onIt && closing) closing->close();
        return true;
    }
    if (!dragClient_) return false;
    if (!dragging_) {
        endDrag();
        return true;
    }
    QPointer<QWidget> client = dragClient_;
    QPointer<THvCustomPanel> target = dragTarget_;
    const bool accepted = dragAccepted_;
    THvDragDockObject drop = dragObject_;
    endDrag();
    if (!client) return true;
    if (target && accepted) {
        const QPoint l = target->mapFromGlobal(global);
        if (HostDockSite(client) != target && !site_->DoUnDock(target, client)) return true;
        target->DockDrop(drop, l.x(), l.y());
    } else if (!target) {
        ManualDock(client, nullptr, nullptr, alNone,
                   QRect(global, client->size().expandedTo(QSize(80, 40))));
    }
    return true;
}

bool THvPanelDockManager::eventFilter(QObject* watched, QEvent* e) {
    if (watched->isWidgetType() && Contains(static_cast<QWidget*>(watched))) {
        switch (e->type()) {
        case QEvent::ShowToParent:
        case QEvent::HideToParent:
            ResetBounds();
            site_->update();
            break;
        case QEvent::MouseButtonPress:
            site_->update();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, e);
}

THvCustomPanel* HostDockSite(const QWidget* control) {
    auto* site = control ? qobject_cast<THvCustomPanel*>(control->parentWidget()) : nullptr;
    return site && site->DockManager() && site->DockManager()->Contains(control) ? site : nullptr;
}

bool ManualDock(QWidget* control, THvCustomPanel* site, QWidget* dropControl, int controlSide,
                const QRect& floatRect) {
    if (!control) return false;
    THvCustomPanel* host = HostDockSite(control);
    if (host && host != site && !host->DoUnDock(site, control)) return false;
    if (!site) {
        // Floating: a tool window of its own.
        if (host) host->DockManager()->RemoveControl(control);
        const QRect r = floatRect.isValid()
                            ? floatRect
                            : QRect(control->mapToGlobal(QPoint()), control->size());
        control->setParent(nullptr, Qt::Tool);
        control->setGeometry(r);
        control->show();
        return true;
    }
    THvDragDockObject source;
    source.Control = control;
    source.DropOnControl = dropControl;
    source.DropAlign = controlSide;
    site->DockDrop(source, 0, 0);
    return true;
}

} // namespace hv
