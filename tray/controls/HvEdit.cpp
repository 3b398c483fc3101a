#include "HvEdit.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace hv {

namespace {
// The width of the non-client strip that the frame is painted in.
constexpr int kFrameStrip = 2;
} // namespace

THvCustomEdit::THvCustomEdit(QWidget* parent) : QLineEdit(parent) {
    setFrame(false);
    // The cursor changes between the text and the strip around it.
    setMouseTracking(true);
    applyMargins();
    applyColor();
    // A key that the mask refuses is answered as the masked edit does.
    connect(this, &QLineEdit::inputRejected, this, [this] {
        if (IsMasked()) MessageBeep();
    });
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { FocusChanged(now); });
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
    // A colour given from outside ends following the parent; the control's
    // own state colours do not.
    if (!colorGuard_ && parentColor_) {
        parentColor_ = false;
        watchParent();
    }
    setColorValue(v, !colorGuard_);
}

void THvCustomEdit::setColorValue(int v, bool outside) {
    if (color_ == v) return;
    color_ = v;
    applyColor();
    ColorChanged();
    if (!outside) return;
    // A change from outside: it becomes the normal colour, and a focus
    // colour that matched the old one follows.
    if (focusColor_ == normalColor_) focusColor_ = color_;
    normalColor_ = color_;
    if (frameVisible_ && !UseThemes()) RepaintFrame();
}

void THvCustomEdit::SetParentColor(bool v) {
    if (parentColor_ == v) return;
    parentColor_ = v;
    watchParent();
    adoptParentColor();
}

void THvCustomEdit::adoptParentColor() {
    if (parentColor_ && parentWidget()) setColorValue(ParentColorOf(this), true);
}

void THvCustomEdit::watchParent() {
    parentWatch_.Watch(this, parentColor_ ? parentWidget() : nullptr);
}

bool THvCustomEdit::eventFilter(QObject* watched, QEvent* e) {
    if (parentWatch_.IsPaletteChange(watched, e)) adoptParentColor();
    return QLineEdit::eventFilter(watched, e);
}

bool THvCustomEdit::event(QEvent* e) {
    if (e->type() == QEvent::ContextMenu) {
        // The menu of a right press on the strip: the press was dropped, and
        // so is what it would open.
        auto* ce = static_cast<QContextMenuEvent*>(e);
        if (ce->reason() == QContextMenuEvent::Mouse && InNonClientStrip(ce->pos())) {
            ce->accept();
            return true;
        }
    }
    if (e->type() == ParentColorChangedEvent) {
        adoptParentColor();
        return true;
    }
    if (e->type() == QEvent::ParentChange) {
        watchParent();
        adoptParentColor();
    }
    return QLineEdit::event(e);
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
    if (IsReadOnly()) UpdateColors();
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

void THvCustomEdit::SetFlatButtonColor(int v) {
    if (flatButtonColor_ == v) return;
    flatButtonColor_ = v;
    if (showButton_)
        update(ButtonRect().Left, ButtonRect().Top, ButtonRect().Width(), ButtonRect().Height());
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
    if (IsReadOnly())
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
        SetColor(IsReadOnly() && readOnlyColorOnFocus_ ? readOnlyColor_ : focusColor_);
    else if (IsReadOnly())
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
    if (showButton_) {
        // A flat, hot-tracked or themed button changes its face with the
        // focus and the mouse; a pressed one keeps it.
        if ((flatButtons_ || frameHotTrack_ || ThemeServicesActive()) && buttonState_ != 2) {
            if (frameHotTrack_) {
                update();
            } else {
                const int w = kSystemScrollBarWidth + 2;
                const bool rtl = layoutDirection() == Qt::RightToLeft;
                update(rtl ? 0 : width() - w, 0, w, height());
            }
        }
    } else if (frameHotTrack_) {
        RepaintFrame();
    }
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

void THvCustomEdit::PaintNonClient(Canvas& c) const {
    PaintFrame(c);
    if (showButton_) PaintButton(c, ButtonRect());
}

void THvCustomEdit::paintEvent(QPaintEvent* e) {
    {
        QPainter bg(this);
        bg.fillRect(rect(), ToQColor(color_));
    }
    QLineEdit::paintEvent(e);
    Surface s(width(), height(), color_);
    Canvas c(s);
    PaintNonClient(c);
    QPainter p(this);
    QPainterPath strip;
    strip.addRect(rect());
    strip.addRect(contentsRect());
    p.setClipPath(strip); // odd-even fill: only the non-client area
    p.drawImage(0, 0, s.image());
}

// ------------------------------------------------------------ button facility

int THvCustomEdit::ButtonStripWidth() const {
    return ThemeServicesActive() ? kSystemScrollBarWidth - 1 : kSystemScrollBarWidth;
}

TRect THvCustomEdit::ButtonRect() const {
    if (!showButton_) return {};
    const int w = ButtonStripWidth();
    const int top = kFrameStrip, bottom = height() - kFrameStrip;
    if (layoutDirection() == Qt::RightToLeft)
        return Rect(kFrameStrip, top, kFrameStrip + w, bottom);
    return Rect(width() - kFrameStrip - w, top, width() - kFrameStrip, bottom);
}

void THvCustomEdit::applyMargins() {
    // The frame takes two pixels on every side; the button strip comes off
    // the client area at the right (at the left for right-to-left reading).
    const int w = showButton_ ? ButtonStripWidth() : 0;
    const bool rtl = layoutDirection() == Qt::RightToLeft;
    setContentsMargins(kFrameStrip + (rtl ? w : 0), kFrameStrip, kFrameStrip + (rtl ? 0 : w),
                       kFrameStrip);
}

void THvCustomEdit::SetShowButton(bool v) {
    if (showButton_ == v) return;
    showButton_ = v;
    applyMargins();
    update();
}

void THvCustomEdit::SetButtonState(int state) {
    if (buttonState_ == state) return;
    buttonState_ = state;
    // Painted at once, so that the pressed face shows while the button's
    // events run.
    if (showButton_ && isVisible()) {
        const TRect r = ButtonRect();
        repaint(r.Left, r.Top, r.Width(), r.Height());
    }
}

void THvCustomEdit::RaiseButtonDown() {
    if (OnButtonDown) OnButtonDown(this);
}

void THvCustomEdit::RaiseButtonUp() {
    if (OnButtonUp) OnButtonUp(this);
}

void THvCustomEdit::PressButton() {
    SetButtonState(2);
    RaiseButtonDown();
    RaiseButtonUp();
    SetButtonState(0);
}

bool THvCustomEdit::InNonClientStrip(const QPoint& p) const {
    return rect().contains(p) && !contentsRect().contains(p);
}

void THvCustomEdit::PaintButton(Canvas& c, TRect r) const {
    const bool enabled = isEnabled();
    const bool pressed = buttonState_ == 2;
    const bool hot = focused_ || mouseOver_;
    if (ThemeServicesActive()) {
        // The combo-box drop-down part: normal, hot, pressed or disabled.
        const TColor face = !enabled  ? clBtnFace
                            : pressed ? DarkerColor(0xF7E7DC, 20)
                            : hot     ? LighterColor(0xF7E7DC, 20)
                                      : TColor(0xF7E7DC);
        TRect inner;
        PaintBox(c, r, enabled ? TColor(0xBF7F57) : TColor(clBtnShadow), inner);
        c.FillRect(inner, face);
        c.Brush.Color = face;
        PaintDropDownArrow(c, inner, true, enabled, pressed);
        return;
    }
    if (!flatButtons_) {
        // DrawFrameControl's scroll-down button: pushed while pressed,
        // inactive while disabled.
        PaintDropDownButtonFace(c, r, pressed, enabled);
        return;
    }
    TColor face = color_;
    if (hot) {
        if (flatButtonColor_ == clBtnFace) {
            PaintSides(c, r, pressed ? clBtnShadow : clBtnHighlight, r, sdAll,
                       pressed ? clBtnHighlight : clBtnShadow);
        } else {
            PaintColorButtonBevelSides(c, r, flatButtonColor_, pressed, r, sdAll);
        }
        face = flatButtonColor_;
    }
    c.FillRect(r, face);
    c.Brush.Color = face;
    PaintDropDownArrow(c, r, false, enabled, pressed);
}

void THvCustomEdit::NonClientPress(QMouseEvent* e) {
    // The frame and the button strip are outside the text: a left press
    // focuses the control and presses the button when it is shown; other
    // presses are dropped, so the text never sees them.
    e->accept();
    pressInStrip_ = true;
    if (e->button() != Qt::LeftButton) return;
    if (!hasFocus()) setFocus(Qt::MouseFocusReason);
    if (showButton_) PressButton();
}

void THvCustomEdit::mousePressEvent(QMouseEvent* e) {
    if (InNonClientStrip(e->position().toPoint())) {
        NonClientPress(e);
        return;
    }
    QLineEdit::mousePressEvent(e);
}

void THvCustomEdit::mouseDoubleClickEvent(QMouseEvent* e) {
    // A double click on the strip is one more press there, never a word
    // selection.
    if (InNonClientStrip(e->position().toPoint())) {
        NonClientPress(e);
        return;
    }
    QLineEdit::mouseDoubleClickEvent(e);
}

void THvCustomEdit::mouseMoveEvent(QMouseEvent* e) {
    // The strip shows the arrow; the text the line edit's own cursor (the
    // I-beam, the arrow when read-only). A held button keeps the cursor of
    // where the press began.
    const Qt::CursorShape want = InNonClientStrip(e->position().toPoint()) || isReadOnly()
                                     ? Qt::ArrowCursor
                                     : Qt::IBeamCursor;
    if (e->buttons() == Qt::NoButton && cursor().shape() != want) setCursor(want);
    if (pressInStrip_) {
        e->accept();
        return;
    }
    QLineEdit::mouseMoveEvent(e);
}

void THvCustomEdit::mouseReleaseEvent(QMouseEvent* e) {
    if (pressInStrip_) {
        pressInStrip_ = false;
        SetButtonState(0);
        e->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(e);
}

// ------------------------------------------------------------ masked edit

THvCustomEdit::ParsedMask THvCustomEdit::ParseEditMask(const QString& mask) {
    ParsedMask m;
    if (mask.isEmpty()) return m;
    // Qt's mask characters that stand for themselves here are escaped.
    static const QString qtSpecial = QStringLiteral("AaNnXx90DdHhBb#><!\\");
    auto literal = [&m](QChar ch) {
        if (ch == QLatin1Char(';')) return; // Qt's mask cannot hold its separator
        if (qtSpecial.contains(ch)) m.qtMask += QLatin1Char('\\');
        m.qtMask += ch;
        m.elements.push_back({true, false, ch});
    };
    auto slot = [&m](char qt, bool required) {
        m.qtMask += QLatin1Char(qt);
        m.elements.push_back({false, required, QChar()});
    };
    // The mask characters that stand for one typed character: Qt's mask
    // character for it and whether it must be typed.
    struct SlotChar {
        char16_t mask;
        char qt;
        bool required;
    };
    static constexpr SlotChar slotChars[] = {
        {u'L', 'A', true},  {u'l', 'a', false}, {u'A', 'N', true},
        {u'a', 'n', false}, {u'C', 'X', true},  {u'c', 'x', false},
        {u'0', '9', true},  {u'9', '0', false}, {u'#', '#', false},
    };
    int i = 0;
    const int n = int(mask.size());
    for (; i < n; ++i) {
        const QChar ch = mask[i];
        if (ch == QLatin1Char(';')) break;
        if (const SlotChar* k = std::ranges::find(slotChars, ch.unicode(), &SlotChar::mask);
            k != std::ranges::end(slotChars)) {
            slot(k->qt, k->required);
            continue;
        }
        switch (ch.unicode()) {
        case '\\':
            if (i + 1 < n) literal(mask[++i]);
            break;
        case '!': // optional characters as leading blanks: Qt keeps them in place
            break;
        case '>':
            m.qtMask += QLatin1Char('>');
            break;
        case '<':
            if (i + 1 < n && mask[i + 1] == QLatin1Char('>')) {
                m.qtMask += QLatin1Char('!');
                ++i;
            } else {
                m.qtMask += QLatin1Char('<');
            }
            break;
        case '_':
            literal(QLatin1Char(' '));
            break;
        default:
            literal(ch);
            break;
        }
    }
    // The second field: 0 keeps the literals out of Text.
    if (i < n && mask[i] == QLatin1Char(';')) {
        ++i;
        if (i < n && mask[i] != QLatin1Char(';')) m.saveLiterals = mask[i++] != QLatin1Char('0');
        if (i < n && mask[i] == QLatin1Char(';') && i + 1 < n) m.blank = mask[i + 1];
    }
    if (m.elements.empty()) {
        m.qtMask.clear();
        return m;
    }
    m.qtMask += QLatin1Char(';');
    m.qtMask += m.blank;
    return m;
}

void THvCustomEdit::SetEditMask(const QString& mask) {
    if (editMask_ == mask) return;
    editMask_ = mask;
    mask_ = ParseEditMask(mask);
    setInputMask(mask_.qtMask);
    valueOnEnter_ = EditText();
}

QString THvCustomEdit::EditText() const {
    if (!IsMasked()) return text();
    if (echoMode() == QLineEdit::Normal) return displayText();
    // A hidden text shows only its echo; its characters with the literals
    // are the nearest form.
    return text();
}

QString THvCustomEdit::Text() const {
    if (!IsMasked()) return text();
    const QString shown = EditText();
    QString out;
    for (size_t i = 0; i < mask_.elements.size(); ++i) {
        const MaskElement& el = mask_.elements[i];
        const QChar ch = int(i) < shown.size() ? shown[int(i)] : mask_.blank;
        if (el.literal) {
            if (mask_.saveLiterals) out += el.ch;
        } else {
            out += ch == mask_.blank ? QChar(QLatin1Char(' ')) : ch;
        }
    }
    if (!mask_.saveLiterals)
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
    return out;
}

void THvCustomEdit::SetText(const QString& v) {
    setText(v);
}

bool THvCustomEdit::Validate(const QString& editText, int& pos) const {
    for (size_t i = 0; i < mask_.elements.size(); ++i) {
        const MaskElement& el = mask_.elements[i];
        if (el.literal || !el.required) continue;
        const QChar ch = int(i) < editText.size() ? editText[int(i)] : mask_.blank;
        if (ch == mask_.blank || ch == QLatin1Char(' ')) {
            pos = int(i);
            return false;
        }
    }
    pos = 0;
    return true;
}

QString THvCustomEdit::DefaultMaskError() {
    return QStringLiteral("Invalid input value.  Use escape key to abandon changes");
}

void THvCustomEdit::ValidateEdit() {
    if (!IsMasked() || !isModified()) return;
    int pos = 0;
    if (Validate(GetEditText(), pos)) return;
    // The control stays entered, so the text from before stays the one
    // Escape returns to.
    if (!hasFocus()) setFocus(Qt::OtherFocusReason);
    setCursorPosition(pos);
    ValidateError();
}

void THvCustomEdit::ValidateError() {
    if (OnInvalidData) {
        QString message;
        OnInvalidData(this, message);
        if (!message.isEmpty()) {
            ShowDataEditError(this, message);
            return;
        }
    }
    MessageBeep();
    ShowDataEditError(this, DefaultMaskError());
}

void THvCustomEdit::InvalidKeyBeep() const {
    if (beepOnInvalidKey_) MessageBeep();
}

void THvCustomEdit::KeyDown(int& key, Qt::KeyboardModifiers mods) {
    if (showButton_ && ((key == Qt::Key_Down && (mods & Qt::AltModifier)) || key == Qt::Key_F4)) {
        PressButton();
        key = 0;
    }
}

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
        if (IsMasked() && isModified()) {
            // Escape abandons the changes made to a masked text.
            setText(valueOnEnter_);
            setModified(false);
            e->accept();
            return;
        }
        e->ignore();
        return;
    }
    int key = e->key();
    KeyDown(key, e->modifiers());
    if (key == 0) {
        e->accept();
        return;
    }
    const bool typesText = key != Qt::Key_Return && key != Qt::Key_Enter &&
                           key != Qt::Key_Backspace && key != Qt::Key_Delete;
    if (typesText && e->text().size() > 1) {
        // A key that types several characters (a compose sequence, say) types
        // them one by one.
        TypeText(e->text());
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

void THvCustomEdit::TypeText(const QString& text) {
    for (const QChar ch : text) {
        // A control character types nothing into a single line.
        if (!KeyPress(ch) || ch < QLatin1Char(' ')) continue;
        QInputMethodEvent typed;
        typed.setCommitString(QString(ch));
        QLineEdit::inputMethodEvent(&typed);
    }
}

void THvCustomEdit::inputMethodEvent(QInputMethodEvent* e) {
    if (e->commitString().isEmpty() && e->replacementLength() == 0) {
        QLineEdit::inputMethodEvent(e); // the composition only
        return;
    }
    // The text an input method commits is typed, each character through
    // KeyPress as typed keys go; text it replaces around the caret is deleted
    // as Backspace deletes.
    const bool replace = e->replacementLength() != 0 && KeyPress(QChar(8));
    QInputMethodEvent ended; // the composition ends, the replaced text goes
    if (replace) ended.setCommitString(QString(), e->replacementStart(), e->replacementLength());
    QLineEdit::inputMethodEvent(&ended);
    TypeText(e->commitString());
    QInputMethodEvent composing(e->preeditString(), e->attributes());
    QLineEdit::inputMethodEvent(&composing);
    e->accept();
}

void THvCustomEdit::focusInEvent(QFocusEvent* e) {
    QLineEdit::focusInEvent(e);
    // The focus coming back from the control's own menu, or with its window
    // activated again, finds the control still entered.
    if (entered_) return;
    entered_ = true;
    EnterControl();
}

void THvCustomEdit::focusOutEvent(QFocusEvent* e) {
    QLineEdit::focusOutEvent(e);
    if (buttonState_ != 0) SetButtonState(0);
    // A menu over the control, or its window losing activation (to a message
    // box, say), leaves it the focused control of its window; so does the
    // focus going to another window.
    if (e->reason() == Qt::PopupFocusReason || e->reason() == Qt::ActiveWindowFocusReason) return;
    const QWidget* next = QApplication::focusWidget();
    if (next && next->window() != window()) return;
    LeaveControl();
}

void THvCustomEdit::FocusChanged(QWidget* now) {
    // The focus went to another control of the window while the control did
    // not have it: moved there while the window was inactive, it lands there
    // when the window is activated again.
    if (entered_ && now && now != this && now->window() == window()) LeaveControl();
}

void THvCustomEdit::LeaveControl() {
    // A masked text that does not fit keeps the focus: the control is not
    // left.
    if (IsMasked() && isModified()) {
        int pos = 0;
        if (!Validate(GetEditText(), pos)) {
            ValidateEdit();
            return;
        }
    }
    entered_ = false;
    ExitControl();
}

void THvCustomEdit::EnterControl() {
    if (IsMasked()) valueOnEnter_ = EditText();
    UpdateFrame(false, true);
}

void THvCustomEdit::ExitControl() {
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
    } else if (e->type() == QEvent::LayoutDirectionChange) {
        applyMargins();
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
    if (qstrcmp(name, "Color") == 0) return isEnabled() && !parentColor_;
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
