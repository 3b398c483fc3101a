#include "HvEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace hv {

namespace {
// The width of the non-client strip that the frame is painted in.
constexpr int kFrameStrip = 2;
} // namespace

THvCustomEdit::THvCustomEdit(QWidget* parent) : QLineEdit(parent) {
    setFrame(false);
    setContentsMargins(kFrameStrip, kFrameStrip, kFrameStrip, kFrameStrip);
    applyColor();
}

THvCustomEdit::~THvCustomEdit() {
    if (frameController_) frameController_->RemoveControl(this);
}

void THvCustomEdit::applyColor() {
    QPalette p = palette();
    p.setColor(QPalette::Base, ToQColor(color_));
    p.setColor(QPalette::Disabled, QPalette::Text, ToQColor(clGrayText));
    setPalette(p);
}

void THvCustomEdit::SetColor(int v) {
    if (color_ == v) return;
    color_ = v;
    applyColor();
    ColorChanged();
    if (colorGuard_) return;
    // A change from outside: it becomes the normal colour, and a focus
    // colour that matched the old one follows.
    if (focusColor_ == normalColor_) focusColor_ = color_;
    normalColor_ = color_;
    if (frameVisible_ && !UseThemes()) RepaintFrame();
}

void THvCustomEdit::SetCtl3D(bool v) {
    if (ctl3D_ == v) return;
    ctl3D_ = v;
    update();
}

void THvCustomEdit::SetAlignment(int v) {
    if (alignment_ == v) return;
    alignment_ = v;
    setAlignment(v == taRightJustify ? Qt::AlignRight | Qt::AlignVCenter
                 : v == taCenter     ? Qt::AlignHCenter | Qt::AlignVCenter
                                     : Qt::AlignLeft | Qt::AlignVCenter);
}

void THvCustomEdit::SetDisabledColor(int v) {
    disabledColor_ = v;
    if (!isEnabled()) UpdateColors();
}
void THvCustomEdit::SetFocusColor(int v) {
    focusColor_ = v;
    if (focused_) UpdateColors();
}
void THvCustomEdit::SetReadOnlyColor(int v) {
    readOnlyColor_ = v;
    if (isReadOnly()) UpdateColors();
}
void THvCustomEdit::SetReadOnlyColorOnFocus(bool v) {
    readOnlyColorOnFocus_ = v;
    UpdateColors();
}

#define HV_EDIT_FRAME_SETTER(Name, field, type)                                                    \
    void THvCustomEdit::Set##Name(type v) {                                                        \
        if (field == v) return;                                                                    \
        field = v;                                                                                 \
        RepaintFrame();                                                                            \
    }
HV_EDIT_FRAME_SETTER(FrameColor, frameColor_, int)
HV_EDIT_FRAME_SETTER(FrameHotColor, frameHotColor_, int)
HV_EDIT_FRAME_SETTER(FrameHotStyle, frameHotStyle_, int)
HV_EDIT_FRAME_SETTER(FrameSides, frameSides_, int)
HV_EDIT_FRAME_SETTER(FrameStyle, frameStyle_, int)
#undef HV_EDIT_FRAME_SETTER

void THvCustomEdit::SetFrameHotTrack(bool v) {
    if (frameHotTrack_ == v) return;
    frameHotTrack_ = v;
    if (v) {
        SetFrameVisible(true);
        if (!IsLoading()) frameSides_ = sdAll;
    }
    RepaintFrame();
    update();
}

void THvCustomEdit::SetFrameVisible(bool v) {
    if (frameVisible_ == v) return;
    frameVisible_ = v;
    if (v) ctl3D_ = true;
    update(); // the window is "recreated": everything repaints
}

void THvCustomEdit::SetFramingPreference(int v) {
    if (framingPreference_ == v) return;
    framingPreference_ = v;
    if (v == fpCustomFraming) RepaintFrame();
}

void THvCustomEdit::SetFlatButtons(bool v) {
    if (flatButtons_ == v) return;
    flatButtons_ = v;
    update();
}

void THvCustomEdit::SetPasswordChar(const QString& v) {
    passwordChar_ = v.left(1);
    setEchoMode(passwordChar_.isEmpty() ? QLineEdit::Normal : QLineEdit::Password);
}

void THvCustomEdit::SetReadOnly(bool v) {
    if (isReadOnly() == v) return;
    setReadOnly(v);
    ReadOnlyChanged();
}

void THvCustomEdit::ReadOnlyChanged() {
    if (isReadOnly())
        ReadOnlyOn();
    else
        ReadOnlyOff();
    UpdateColors();
    update();
}

void THvCustomEdit::SetFrameController(THvFrameController* c) {
    if (frameController_ == c) return;
    if (frameController_) frameController_->RemoveControl(this);
    frameController_ = c;
    if (c) c->AddControl(this);
}

bool THvCustomEdit::UseThemes() const {
    return framingPreference_ == fpXPThemes && ThemeServicesActive();
}

void THvCustomEdit::UpdateColors() {
    if (IsLoading()) return;
    colorGuard_ = true;
    if (!isEnabled())
        SetColor(disabledColor_);
    else if (focused_)
        SetColor(isReadOnly() && readOnlyColorOnFocus_ ? readOnlyColor_ : focusColor_);
    else if (isReadOnly())
        SetColor(readOnlyColor_);
    else
        SetColor(normalColor_);
    colorGuard_ = false;
}

void THvCustomEdit::UpdateFrame(bool isMouse, bool value) {
    if (isMouse)
        mouseOver_ = value;
    else
        focused_ = value;
    if (frameHotTrack_) RepaintFrame();
    UpdateColors();
}

void THvCustomEdit::Loaded() {
    UpdateColors();
    UpdateFrame(false, false);
}

TFrameStyleEx THvCustomEdit::CurrentFrameStyle() const {
    if (!frameVisible_ || UseThemes()) return fsNone;
    return TFrameStyleEx(hot() ? frameHotStyle_ : frameStyle_);
}

TColor THvCustomEdit::CurrentFrameColor() const {
    return hot() ? frameHotColor_ : frameColor_;
}

void THvCustomEdit::PaintFrame(Canvas& c) const {
    if (frameVisible_ && !UseThemes()) {
        PaintEditFrame(c, width(), height(), false, TSides(frameSides_), CurrentFrameColor(),
                       color_, CurrentFrameStyle());
    } else if (ctl3D_) {
        TRect inner;
        PaintBevel(c, Rect(0, 0, width(), height()), true, inner);
    } else {
        TRect inner;
        PaintSidesRepeat(c, Rect(0, 0, width(), height()), color_, inner, sdAll, 2, color_);
    }
}

void THvCustomEdit::paintEvent(QPaintEvent* e) {
    {
        QPainter bg(this);
        bg.fillRect(rect(), ToQColor(color_));
    }
    QLineEdit::paintEvent(e);
    Surface s(width(), height(), color_);
    Canvas c(s);
    PaintFrame(c);
    QPainter p(this);
    QPainterPath strip;
    strip.addRect(rect());
    strip.addRect(rect().adjusted(kFrameStrip, kFrameStrip, -kFrameStrip, -kFrameStrip));
    p.setClipPath(strip); // odd-even fill: only the strip
    p.drawImage(0, 0, s.image());
}

void THvCustomEdit::InvalidKeyBeep() const {
    if (beepOnInvalidKey_) MessageBeep();
}

void THvCustomEdit::KeyDown(int&, Qt::KeyboardModifiers) {}

bool THvCustomEdit::KeyPress(QChar ch) {
    if (ch == QChar(13) && tabOnEnter_) {
        // Enter moves the focus on instead of going into the text.
        focusNextChild();
        return false;
    }
    return true;
}

void THvCustomEdit::keyPressEvent(QKeyEvent* e) {
    // Enter and Escape are dialog keys: unless Enter moves the focus here,
    // they go on to the window (its default and cancel buttons) untouched.
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && !tabOnEnter_) {
        e->ignore();
        return;
    }
    if (e->key() == Qt::Key_Escape) {
        e->ignore();
        return;
    }
    int key = e->key();
    KeyDown(key, e->modifiers());
    if (key == 0) {
        e->accept();
        return;
    }
    QChar ch;
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        ch = QChar(13);
    else if (key == Qt::Key_Backspace)
        ch = QChar(8);
    else if (key != Qt::Key_Delete && !e->text().isEmpty())
        ch = e->text().at(0); // Delete types no character (it is a key, as on Windows)
    if (!ch.isNull() && !KeyPress(ch)) {
        e->accept();
        return;
    }
    QLineEdit::keyPressEvent(e);
}

void THvCustomEdit::focusInEvent(QFocusEvent* e) {
    QLineEdit::focusInEvent(e);
    UpdateFrame(false, true);
}

void THvCustomEdit::focusOutEvent(QFocusEvent* e) {
    QLineEdit::focusOutEvent(e);
    UpdateFrame(false, false);
}

void THvCustomEdit::enterEvent(QEnterEvent* e) {
    QLineEdit::enterEvent(e);
    UpdateFrame(true, true);
}

void THvCustomEdit::leaveEvent(QEvent* e) {
    QLineEdit::leaveEvent(e);
    UpdateFrame(true, false);
}

void THvCustomEdit::changeEvent(QEvent* e) {
    QLineEdit::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        UpdateColors();
        update();
    }
}

void THvCustomEdit::resizeEvent(QResizeEvent* e) {
    QLineEdit::resizeEvent(e);
    if (frameVisible_ && !UseThemes()) RepaintFrame();
}

bool THvCustomEdit::IsStored(const char* name) const {
    static const std::pair<const char*, THvFrameControllerProperty> byController[] = {
        {"DisabledColor", fcpDisabledColor},
        {"ReadOnlyColor", fcpReadOnlyColor},
        {"ReadOnlyColorOnFocus", fcpReadOnlyColorOnFocus},
        {"FrameColor", fcpFrameColor},
        {"FrameHotColor", fcpFrameHotColor},
        {"FrameHotTrack", fcpFrameHotTrack},
        {"FrameHotStyle", fcpFrameHotStyle},
        {"FrameSides", fcpFrameSides},
        {"FrameStyle", fcpFrameStyle},
        {"FrameVisible", fcpFrameVisible},
        {"FramingPreference", fcpFramingPreference},
        {"FlatButtons", fcpFlatButtons},
    };
    for (const auto& [n, p] : byController)
        if (qstrcmp(name, n) == 0)
            return !(frameController_ &&
                     HasNotification(THvFrameControllerNotifications(notifications_), p));
    if (qstrcmp(name, "Color") == 0) return isEnabled();
    if (qstrcmp(name, "FocusColor") == 0) return ColorToRGB(focusColor_) != ColorToRGB(color_);
    return true;
}

bool THvCustomEdit::ReadObsoleteProperty(const QString& name, const QVariant& value) {
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
