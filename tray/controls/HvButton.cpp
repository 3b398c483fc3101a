#include "HvButton.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPushButton>

namespace hv {

namespace {

// Gives the dialog keys of a window to its buttons before the window's own
// key handling (a QDialog would otherwise close on Escape by itself).
class DialogKeyFilter : public QObject {
  public:
    using QObject::QObject;
    bool eventFilter(QObject* obj, QEvent* ev) override {
        if (ev->type() != QEvent::KeyPress) return false;
        auto* w = qobject_cast<QWidget*>(obj);
        if (!w || !w->isWindow()) return false;
        auto* k = static_cast<QKeyEvent*>(ev);
        return THvButton::DialogKey(w, k->key(), k->modifiers());
    }
};

DialogKeyFilter* dialogKeyFilter() {
    static auto* f = new DialogKeyFilter(qApp);
    return f;
}

bool canFocus(const QWidget* w) {
    return w->isEnabled() && w->isVisible() && w->window()->isEnabled();
}

} // namespace

// ------------------------------------------------------------ THvCustomButton

THvCustomButton::THvCustomButton(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus); // TabStop
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(115, 17);
}

#define HV_BUTTON_SETTER(Name, field, type)                                                        \
    void THvCustomButton::Set##Name(type v) {                                                      \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        update();                                                                                  \
    }
HV_BUTTON_SETTER(AlignmentVertical, alignmentVertical_, int)
HV_BUTTON_SETTER(HotTrackColor, hotTrackColor_, int)
HV_BUTTON_SETTER(HotTrackColorType, hotTrackColorType_, int)
HV_BUTTON_SETTER(HighlightColor, highlightColor_, int)
HV_BUTTON_SETTER(LightTextStyle, lightTextStyle_, bool)
HV_BUTTON_SETTER(TextStyle, textStyle_, int)
HV_BUTTON_SETTER(TextHighlightColor, textHighlightColor_, int)
HV_BUTTON_SETTER(TextShadowColor, textShadowColor_, int)
HV_BUTTON_SETTER(TextShadowDepth, textShadowDepth_, int)
HV_BUTTON_SETTER(HotTrack, hotTrack_, bool)
HV_BUTTON_SETTER(ThemeAware, themeAware_, bool)
HV_BUTTON_SETTER(CornersShowParent, cornersShowParent_, bool)
HV_BUTTON_SETTER(Color, color_, int)
#undef HV_BUTTON_SETTER

void THvCustomButton::SetCaption(const QString& v) {
    if (caption_ == v) return;
    caption_ = v;
    TextChanged();
}

void THvCustomButton::Click() {
    emit clicked();
}

void THvCustomButton::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !isEnabled()) return;
    setFocus(Qt::MouseFocusReason);
    if (hasFocus()) {
        pressed_ = true;
        RefreshFace();
        tracking_ = true;
    }
}

void THvCustomButton::mouseMoveEvent(QMouseEvent* e) {
    if (!tracking_) return;
    const QPoint p = e->position().toPoint();
    const bool inside = p.x() >= 0 && p.x() < width() && p.y() >= 0 && p.y() < height();
    if (inside != pressed_) {
        pressed_ = inside;
        RefreshFace();
    }
}

void THvCustomButton::mouseReleaseEvent(QMouseEvent* e) {
    if (!tracking_) return;
    tracking_ = false;
    pressed_ = false;
    const QPoint p = e->position().toPoint();
    if (Rect(0, 0, width(), height()).Contains(p.x(), p.y())) PerformButtonClick();
    RefreshFace();
}

void THvCustomButton::focusInEvent(QFocusEvent* e) {
    QWidget::focusInEvent(e);
    FocusStateChanged();
}

void THvCustomButton::focusOutEvent(QFocusEvent* e) {
    QWidget::focusOutEvent(e);
    FocusStateChanged();
}

void THvCustomButton::enterEvent(QEnterEvent* e) {
    hot_ = true;
    QWidget::enterEvent(e);
    if (hotTrack_ || (themeAware_ && ThemeServicesActive())) update();
}

void THvCustomButton::leaveEvent(QEvent* e) {
    hot_ = false;
    QWidget::leaveEvent(e);
    if (hotTrack_ || (themeAware_ && ThemeServicesActive())) update();
}

void THvCustomButton::changeEvent(QEvent* e) {
    if (e->type() == QEvent::EnabledChange) {
        if (!isEnabled() && hasFocus()) focusNextChild();
        update();
    }
    QWidget::changeEvent(e);
}

std::vector<THvCustomButton::LabelPass> THvCustomButton::LabelPasses(unsigned flags) const {
    std::vector<LabelPass> passes;
    const TColor fontColor = [&] {
        const QColor q = palette().color(QPalette::ButtonText);
        return TColor(RGB(q.red(), q.green(), q.blue()));
    }();
    if (!isEnabled()) {
        passes.push_back({0, 0, clGrayText});
        return passes;
    }
    const int d = textShadowDepth_;
    switch (textStyle_) {
    case tsRaised:
        if (!lightTextStyle_) passes.push_back({1, 1, textShadowColor_});
        passes.push_back({-1, -1, textHighlightColor_});
        break;
    case tsRecessed:
        passes.push_back({1, 1, textHighlightColor_});
        if (!lightTextStyle_) passes.push_back({-1, -1, textShadowColor_});
        break;
    case tsShadow:
        if (flags & DT_RIGHT)
            passes.push_back({0, d, textShadowColor_});
        else
            passes.push_back({d, d, textShadowColor_});
        break;
    default:
        break;
    }
    passes.push_back({(flags & DT_RIGHT) ? -d : 0, 0, fontColor});
    return passes;
}

void THvCustomButton::DrawLabel(Canvas& c, TRect r, unsigned flags) {
    c.Brush.Style = BrushStyle::Clear;
    c.Font = font();
    TRect calc = r;
    const int ht = c.DrawText(caption_, calc,
                              DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK | DT_VCENTER | DT_CENTER);
    switch (alignmentVertical_) {
    case avTop:
        r.Bottom = r.Top + ht;
        break;
    case avCenter:
        r.Top = (r.Bottom + r.Top - ht) / 2;
        r.Bottom = r.Top + ht;
        break;
    default:
        r.Top = r.Bottom - ht - 1;
        break;
    }
    if (layoutDirection() == Qt::RightToLeft) flags |= DT_RTLREADING;
    for (const LabelPass& p : LabelPasses(flags)) {
        c.FontColor = p.color;
        TRect pr = OffsetRect(r, p.dx, p.dy);
        c.DrawText(caption_, pr, flags);
    }
    c.Brush.Style = BrushStyle::Solid;
}

// ------------------------------------------------------------ THvButton

THvButton::THvButton(QWidget* parent) : THvCustomButton(parent) {
    resize(75, 25);
    focusConn_ = connect(qApp, &QApplication::focusChanged, this,
                         [this](QWidget*, QWidget* now) { FocusChanged(now); });
}

THvButton::~THvButton() {
    disconnect(focusConn_);
}

void THvButton::showEvent(QShowEvent* e) {
    QWidget* w = window();
    if (!w->property("hvDialogKeys").toBool()) {
        w->installEventFilter(dialogKeyFilter());
        w->setProperty("hvDialogKeys", true);
    }
    active_ = default_;
    QWidget::showEvent(e);
}

void THvButton::FocusChanged(QWidget* now) {
    if (!now || now->window() != window()) return;
    const bool pushButton = qobject_cast<THvButton*>(now) || qobject_cast<QPushButton*>(now);
    const bool active = pushButton ? now == this : default_;
    if (active != active_) {
        active_ = active;
        update();
    }
}

bool THvButton::DialogKey(QWidget* window, int key, Qt::KeyboardModifiers mods) {
    const auto buttons = window->findChildren<THvButton*>();
    const bool plain = !(mods & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier));
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) && plain) {
        for (THvButton* b : buttons) {
            const bool takes = key == Qt::Key_Escape ? b->cancel_ : b->active_;
            if (!takes || !canFocus(b)) continue;
            b->enterClick_ = !b->dropDownOnEnter_;
            b->Click();
            b->enterClick_ = false;
            return true;
        }
        return false;
    }
    return false;
}

void THvButton::TextChanged() {
    if (shortcutId_) releaseShortcut(shortcutId_);
    const QKeySequence m = QKeySequence::mnemonic(Caption());
    shortcutId_ = m.isEmpty() ? 0 : grabShortcut(m);
    repaint();
}

bool THvButton::event(QEvent* e) {
    if (e->type() == QEvent::Shortcut) {
        // The caption's accelerator clicks a button that could take focus.
        if (canFocus(this)) Click();
        return true;
    }
    return THvCustomButton::event(e);
}

void THvButton::Click() {
    if (auto* dlg = qobject_cast<QDialog*>(window())) {
        if (modalResult_ != 0) dlg->done(modalResult_);
    }
    THvCustomButton::Click();
}

void THvButton::PerformButtonClick() {
    if (groupIndex_ != 0)
        SetDown(!down_);
    else
        RefreshFace();
    clicking_ = true;
    Click();
    clicking_ = false;
}

void THvButton::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Space && !(e->modifiers() & Qt::AltModifier)) {
        if (!e->isAutoRepeat()) spaceDown_ = true;
        pressed_ = true;
        RefreshFace();
        return;
    }
    QWidget::keyPressEvent(e);
}

void THvButton::keyReleaseEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Space && !e->isAutoRepeat()) {
        pressed_ = false;
        // Only a release that ends a press made on this button clicks; the
        // mark is spent here so a later stray release (after Alt+Space, or
        // one whose press went to another control) does nothing.
        const bool click = spaceDown_;
        spaceDown_ = false;
        if (click) PerformButtonClick();
        RefreshFace();
        return;
    }
    QWidget::keyReleaseEvent(e);
}

void THvButton::focusOutEvent(QFocusEvent* e) {
    THvCustomButton::focusOutEvent(e);
    spaceDown_ = false;
    pressed_ = false;
    RefreshFace();
}

void THvButton::SetAlignment(int v) {
    if (alignment_ == v) return;
    alignment_ = v;
    update();
}
void THvButton::SetFrameColor(int v) {
    if (frameColor_ == v) return;
    frameColor_ = v;
    update();
}
void THvButton::SetShowDownPattern(bool v) {
    if (showDownPattern_ == v) return;
    showDownPattern_ = v;
    update();
}
void THvButton::SetShowFocusRect(bool v) {
    if (showFocusRect_ == v) return;
    showFocusRect_ = v;
    update();
}

void THvButton::SetDefault(bool v) {
    default_ = v;
    if (QWidget* w = window(); w && w != this)
        FocusChanged(w->focusWidget() ? w->focusWidget() : w);
}

void THvButton::SetAllowAllUp(bool v) {
    if (allowAllUp_ == v) return;
    allowAllUp_ = v;
    NotifyGroup();
}

void THvButton::SetGroupIndex(int v) {
    if (groupIndex_ == v) return;
    groupIndex_ = v;
    NotifyGroup();
}

void THvButton::SetDown(bool v) {
    if (groupIndex_ == 0) v = false;
    if (v == down_) return;
    if (down_ && !allowAllUp_ && !v) return; // a grouped down button stays down
    down_ = v;
    update();
    if (v) NotifyGroup();
}

void THvButton::NotifyGroup() {
    if (groupIndex_ == 0 || !parentWidget()) return;
    for (QObject* o : parentWidget()->children())
        if (auto* b = qobject_cast<THvButton*>(o); b && b != this)
            b->GroupMessage(groupIndex_, this);
}

void THvButton::GroupMessage(int groupIndex, THvButton* sender) {
    if (groupIndex != groupIndex_) return;
    if (sender->down_ && down_) {
        down_ = false;
        update();
    }
    allowAllUp_ = sender->allowAllUp_;
}

void THvButton::SetHotTrack(bool v) {
    THvCustomButton::SetHotTrack(v);
    SetCornersShowParent(v);
    update();
}

bool THvButton::ReadObsoleteProperty(const QString& name, const QVariant& value) {
    if (name == QLatin1String("FrameFlat")) {
        SetHotTrack(value.toBool());
        return true;
    }
    return false;
}

Surface THvButton::FillDownPattern(TColor color) {
    Surface s(8, 8, color);
    const TColor dot = ColorToRGB(color) == 0xC0C0C0u ? clGray : clSilver;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            if ((x % 2) == (y % 2)) s.setPixel(x, y, dot);
    return s;
}

TRect THvButton::LabelArea() const {
    TRect r = InflateRect(Rect(0, 0, width(), height()), -5, -5);
    const bool classic = !(HotTrack() || (ThemeAware() && ThemeServicesActive()));
    if (classic && (pressed_ || (groupIndex_ != 0 && down_))) r = OffsetRect(r, 1, 1);
    return r;
}

void THvButton::PaintLabel(Canvas& c) {
    unsigned flags = DT_WORDBREAK | DT_EXPANDTABS;
    int a = alignment_;
    if (layoutDirection() == Qt::RightToLeft && a != taCenter)
        a = a == taLeftJustify ? taRightJustify : taLeftJustify;
    flags |= a == taLeftJustify ? DT_LEFT : a == taRightJustify ? DT_RIGHT : DT_CENTER;
    DrawLabel(c, LabelArea(), flags);
}

void THvButton::PaintParentCorners(Canvas& c) {
    const TRect r =
        InflateRect(Rect(0, 0, width(), height()), isEnabled() ? -1 : -2, isEnabled() ? -1 : -2);
    const TRect wide = InflateRect(r, 1, -1);
    const TRect tall = InflateRect(wide, -2, 2);
    c.SaveDC();
    c.ExcludeClipRect(r);
    c.ExcludeClipRect(wide);
    c.ExcludeClipRect(tall);
    PaintParentBackground(this, c, false);
    c.RestoreDC();
}

void THvButton::PaintInto(Canvas& c) {
    const TRect client = Rect(0, 0, width(), height());
    // Erase.
    c.FillRect(client, Color());
    if (CornersShowParent()) PaintParentCorners(c);

    const bool themedLook = ThemeAware() && ThemeServicesActive();
    TRect fr = InflateRect(client, (HotTrack() || themedLook) ? -3 : -4,
                           (HotTrack() || themedLook) ? -3 : -4);
    if (groupIndex_ != 0 && (down_ || pressed_)) fr = OffsetRect(fr, 1, 1);
    TRect r = client;
    const TColor color = Color();
    const bool focused = hasFocus();

    if (HotTrack()) {
        const TColor disabledFrame =
            ColorToRGB(color) == ColorToRGB(clBtnFace) && color == clBtnFace
                ? LighterColor(clBtnShadow, 30)
                : DarkerColor(color, 80);
        auto innerRing = [&](TColor fc) {
            c.Line(r.Left, r.Top + 1, r.Left, r.Bottom - 1, fc);
            c.Line(r.Left + 1, r.Top, r.Right - 1, r.Top, fc);
            c.Line(r.Right - 1, r.Top + 1, r.Right - 1, r.Bottom - 1, fc);
            c.Line(r.Left + 1, r.Bottom - 1, r.Right - 1, r.Bottom - 1, fc);
        };
        if (isEnabled()) {
            const TColor pc = ParentColorOf(this);
            const TColor dark = DarkerColor(pc, 20), light = LighterColor(pc, 20);
            c.Line(r.Left, r.Top + 2, r.Left, r.Bottom - 2, dark);
            c.Line(r.Left + 2, r.Top, r.Right - 2, r.Top, dark);
            c.Line(r.Right - 1, r.Top + 2, r.Right - 1, r.Bottom - 2, light);
            c.Line(r.Left + 2, r.Bottom - 1, r.Right - 2, r.Bottom - 1, light);
            c.SetPixel(r.Left + 1, r.Top + 1, dark);
            c.SetPixel(r.Right - 2, r.Top + 1, dark);
            c.SetPixel(r.Left + 1, r.Bottom - 2, dark);
            c.SetPixel(r.Right - 2, r.Bottom - 2, light);
            r = InflateRect(r, -1, -1);
            innerRing(frameColor_);
            r = InflateRect(r, -1, -1);
            if (down_ || pressed_) {
                c.FillRect(r, DarkerColor(color, 10));
            } else {
                c.Line(r.Left, r.Bottom - 2, r.Right, r.Bottom - 2, DarkerColor(color, 20));
                c.Line(r.Left, r.Bottom - 1, r.Right, r.Bottom - 1, DarkerColor(color, 30));
                r.Bottom -= 2;
                if (ScreenIsFullColor())
                    PaintGradient(c, r, gdHorizontalEnd, DarkerColor(color, 10),
                                  LighterColor(color, 30), 1);
                else
                    c.FillRect(r, color);
                if (hot_) {
                    TColor a, b;
                    if (HotTrackColorType() == htctActual) {
                        a = HotTrackColor();
                        b = BlendColors(clWhite, HotTrackColor(), 190);
                    } else {
                        b = ContrastColor(HotTrackColor(), 180);
                        a = DarkerColor(b, 30);
                    }
                    PaintGradientRing(c, r, gdHorizontalEnd, a, b);
                } else if (groupIndex_ == 0 && (active_ || focused) && !pressed_) {
                    const TColor h = ColorsAreClose(HighlightColor(), clBtnFace)
                                         ? DarkerColor(HighlightColor(), 30)
                                         : TColor(HighlightColor());
                    const TColor f = LighterColor(color, 30);
                    PaintGradientRing(c, r, gdHorizontalEnd, BlendColors(h, f, 160),
                                      BlendColors(h, f, 60));
                }
            }
        } else {
            r = InflateRect(r, -1, -1);
            innerRing(disabledFrame);
            r = InflateRect(r, -1, -1);
            c.FillRect(r, color);
        }
    } else {
        if (groupIndex_ == 0 && (((active_ || focused) && !pressed_) || clicking_))
            PaintSides(c, r, clWindowFrame, r, sdAll, clWindowFrame);
        if (color == clBtnFace) {
            if (groupIndex_ != 0)
                PaintStyledBorder(c, r, (down_ || pressed_) ? fsLowered : fsButtonUp, r);
            else
                PaintButtonBevel(c, r, pressed_, r);
        } else if (groupIndex_ == 0) {
            PaintColorButtonBevel(c, r, color, pressed_, r);
        } else if (down_ || pressed_) {
            PaintColorStyledBorder(c, r, color, r, fsLowered);
        } else {
            PaintColorButtonBevel(c, r, color, false, r);
        }
        c.FillRect(r, color);
    }
    if (groupIndex_ != 0 && down_ && showDownPattern_) {
        const Surface pattern = FillDownPattern(color);
        c.Brush.Pattern = &pattern;
        c.FillRect(r);
        c.Brush.Pattern = nullptr;
    }
    c.Font = font();
    c.Brush.Color = color;
    PaintLabel(c);
    if (focused && showFocusRect_) PaintFocusBox(c, fr, fr);
}

// ------------------------------------------------------------ THvControlButton

THvControlButton::THvControlButton(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    resize(17, 21);
}

void THvControlButton::SetFlat(bool v) {
    if (flat_ == v) return;
    flat_ = v;
    repaint();
}

void THvControlButton::SetNumGlyphs(int v) {
    v = std::clamp(v, 1, 4);
    if (numGlyphs_ == v) return;
    numGlyphs_ = v;
    update();
}

void THvControlButton::SetStyle(int v) {
    if (style_ == v) return;
    style_ = v;
    update();
}

void THvControlButton::SetColor(int v) {
    if (color_ == v) return;
    color_ = v;
    update();
}

void THvControlButton::SetGlyph(const Surface& glyph) {
    glyph_ = glyph;
    if (glyph_.height() > 0 && glyph_.width() % glyph_.height() == 0) {
        const int n = glyph_.width() / glyph_.height();
        numGlyphs_ = (n > 4 || n < 1) ? 1 : n;
    }
    update();
    if (OnGlyphChanged) OnGlyphChanged(this);
}

TPoint THvControlButton::GlyphCellSize() const {
    if (glyph_.isNull()) return {0, 0};
    return {glyph_.width() / std::max(numGlyphs_, 1), glyph_.height()};
}

int THvControlButton::GlyphIndex() const {
    if (numGlyphs_ >= 3 && down_) return 2;
    if (numGlyphs_ >= 2 && !isEnabled()) return 1;
    return 0;
}

void THvControlButton::Click() {
    emit clicked();
}

void THvControlButton::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !isEnabled()) return;
    if (OnMouseDown && !OnMouseDown(this)) return; // press abandoned
    if (!down_) {
        down_ = true;
        update();
    }
    dragging_ = true;
    if (repeatClicks_) {
        if (!repeatTimer_) {
            repeatTimer_ = new QTimer(this);
            connect(repeatTimer_, &QTimer::timeout, this, &THvControlButton::RepeatTick);
        }
        repeatTimer_->setInterval(initialDelay_);
        repeatTimer_->start();
    }
}

void THvControlButton::RepeatTick() {
    repeatTimer_->setInterval(delay_);
    if (down_ && dragging_) Click();
}

void THvControlButton::mouseReleaseEvent(QMouseEvent* e) {
    if (dragging_) {
        dragging_ = false;
        const QPoint p = e->position().toPoint();
        const bool inside = p.x() >= 0 && p.x() < width() && p.y() >= 0 && p.y() < height();
        down_ = false;
        mouseIn_ = false;
        repaint();
        if (inside) Click();
        SyncHotState();
    }
    if (repeatTimer_) repeatTimer_->stop();
}

void THvControlButton::SyncHotState() {
    if (!(flat_ || ThemeServicesActive()) || !isEnabled()) return;
    mouseIn_ = rect().contains(mapFromGlobal(QCursor::pos()));
    update();
}

void THvControlButton::enterEvent(QEnterEvent* e) {
    mouseIn_ = true;
    QWidget::enterEvent(e);
    if (flat_ || ThemeServicesActive()) repaint();
}

void THvControlButton::leaveEvent(QEvent* e) {
    mouseIn_ = false;
    QWidget::leaveEvent(e);
    if (flat_ || ThemeServicesActive()) repaint();
}

void THvControlButton::PaintPlainFace(Canvas& c, TRect& r) {
    TColor brush = color_;
    if (flat_) {
        if (lit()) PaintStyledBorder(c, r, down_ ? fsStatus : fsPopup, r);
    } else {
        if (down_) {
            PaintBox(c, r, clBtnShadow, r);
        } else {
            PaintStyledBorder(c, r, fsRaised, r);
        }
        brush = clBtnFace;
    }
    c.FillRect(r, brush);
}

void THvControlButton::PaintArrowFace(Canvas& c, TRect& r) {
    TColor brush = color_;
    if (flat_) {
        if (lit()) PaintStyledBorder(c, r, down_ ? fsStatus : fsPopup, r);
    } else {
        if (down_)
            PaintBox(c, r, clBtnShadow, r);
        else
            PaintStyledBorder(c, r, fsButtonUp, r);
        brush = InSpinEdit ? clBtnFace : TColor(color_);
    }
    c.FillRect(r, brush);
    c.Brush.Color = brush;
    const int dir = style_ == cbsUp ? 0 : style_ == cbsDown ? 1 : style_ == cbsLeft ? 2 : 3;
    PaintSpinArrow(c, r, false, isEnabled(), down_, dir);
}

void THvControlButton::PaintDropDownFace(Canvas& c, TRect& r) {
    if (!flat_) {
        PaintDropDownButtonFace(c, r, down_, isEnabled());
        return;
    }
    if (lit()) PaintStyledBorder(c, r, down_ ? fsStatus : fsPopup, r);
    c.FillRect(r, color_);
    c.Brush.Color = color_;
    PaintDropDownArrow(c, r, false, isEnabled(), down_);
}

void THvControlButton::PaintGlyphImage(Canvas& c, TRect r) {
    const TPoint cell = GlyphCellSize();
    if (cell.X <= 0 || cell.Y <= 0) return;
    const int idx = GlyphIndex();
    Surface work(r.Width(), r.Height());
    Canvas wc(work);
    wc.BitBlt(0, 0, r.Width(), r.Height(), c, r.Left, r.Top);
    const TColor transparent = glyph_.pixel(0, glyph_.height() - 1);
    PaintBitmapTransparent(wc, glyph_, Rect(0, 0, cell.X, cell.Y), transparent,
                           Rect(idx * cell.X, 0, idx * cell.X + cell.X, cell.Y));
    c.BitBlt(r.Left, r.Top, r.Width(), r.Height(), wc, 0, 0);
}

void THvControlButton::PaintInto(Canvas& c) {
    TRect r = Rect(0, 0, width(), height());
    switch (style_) {
    case cbsNone:
        PaintPlainFace(c, r);
        if (!glyph_.isNull()) {
            r = InflateRect(r, -1, -1);
            const TPoint cell = GlyphCellSize();
            r = CenteredRect(r, cell.X, cell.Y);
            if (down_) r = OffsetRect(r, 1, 1);
            PaintGlyphImage(c, r);
        }
        break;
    case cbsDropDown:
        PaintDropDownFace(c, r);
        break;
    default:
        PaintArrowFace(c, r);
        break;
    }
}

} // namespace hv
