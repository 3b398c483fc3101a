#include "HvSpnEdt.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWheelEvent>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace hv {

// ------------------------------------------------------------ THvSpinButtons

THvSpinButtons::THvSpinButtons(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus); // TabStop False
    upRight_ = MakeChildButton();
    downLeft_ = MakeChildButton();
    SetGlyphUpRight(std::nullopt);
    SetGlyphDownLeft(std::nullopt);
    resize(16, 25);
    LayoutChildren();
    watchParent();
    adoptParentColor();
}

THvControlButton* THvSpinButtons::MakeChildButton() {
    auto* b = new THvControlButton(this);
    connect(b, &THvControlButton::clicked, this, [this, b] {
        if (b == upRight_)
            emit UpRightClick();
        else
            emit DownLeftClick();
    });
    b->OnMouseDown = [this](THvControlButton* child) { return ChildPressed(child); };
    b->OnGlyphChanged = [this](THvControlButton* child) { ChildGlyphChanged(child); };
    b->SetRepeatClicks(true);
    b->SetNumGlyphs(2);
    b->show();
    return b;
}

bool THvSpinButtons::ChildPressed(THvControlButton*) {
    QWidget* fc = focusControl_;
    if (fc && (fc->focusPolicy() & Qt::TabFocus) && fc->isEnabled() && fc->isVisible() &&
        !fc->hasFocus()) {
        fc->setFocus(Qt::MouseFocusReason);
        // A control that refuses the focus (e.g. one that validates on exit)
        // keeps the press from happening at all.
        return fc->hasFocus();
    }
    if ((focusPolicy() & Qt::TabFocus) && !hasFocus() && isEnabled() && isVisible()) {
        setFocus(Qt::MouseFocusReason);
        return hasFocus();
    }
    return true;
}

int THvSpinButtons::roleStyle(bool upRight) const {
    if (direction_ == sdLeftRight) return upRight ? cbsRight : cbsLeft;
    return upRight ? cbsUp : cbsDown;
}

void THvSpinButtons::ChildGlyphChanged(THvControlButton* child) {
    const bool upRight = child == upRight_;
    const bool custom = !child->Glyph().isNull();
    (upRight ? customUpRight_ : customDownLeft_) = custom;
    child->SetStyle(custom ? cbsNone : roleStyle(upRight));
}

void THvSpinButtons::SetGlyphUpRight(const std::optional<Surface>& glyph) {
    upRight_->SetGlyph(glyph.value_or(Surface()));
}

void THvSpinButtons::SetGlyphDownLeft(const std::optional<Surface>& glyph) {
    downLeft_->SetGlyph(glyph.value_or(Surface()));
}

void THvSpinButtons::SetGlyphUpRightImage(const QImage& img) {
    SetGlyphUpRight(img.isNull() ? std::nullopt : std::optional<Surface>(Surface::fromImage(img)));
}

void THvSpinButtons::SetGlyphDownLeftImage(const QImage& img) {
    SetGlyphDownLeft(img.isNull() ? std::nullopt : std::optional<Surface>(Surface::fromImage(img)));
}

void THvSpinButtons::SetDirection(int v) {
    if (direction_ == v) return;
    direction_ = v;
    SetGlyphUpRight(std::nullopt);
    SetGlyphDownLeft(std::nullopt);
    update();
}

void THvSpinButtons::SetOrientation(int v) {
    if (orientation_ == v) return;
    orientation_ = v;
    if (!IsLoading()) resize(v == orVertical ? width() / 2 : width() * 2, height());
    update();
}

void THvSpinButtons::SetFlat(bool v) {
    if (flat_ == v) return;
    flat_ = v;
    upRight_->SetFlat(v);
    downLeft_->SetFlat(v);
}

void THvSpinButtons::SetColor(int v) {
    if (color_ == v) return;
    parentColor_ = false;
    watchParent();
    applyColor(v);
}

void THvSpinButtons::applyColor(int v) {
    color_ = v;
    upRight_->SetColor(v);
    downLeft_->SetColor(v);
}

void THvSpinButtons::SetParentColor(bool v) {
    if (parentColor_ == v) return;
    parentColor_ = v;
    watchParent();
    adoptParentColor();
}

void THvSpinButtons::adoptParentColor() {
    if (parentColor_ && parentWidget()) applyColor(ParentColorOf(this));
}

void THvSpinButtons::watchParent() {
    parentWatch_.Watch(this, parentColor_ ? parentWidget() : nullptr);
}

bool THvSpinButtons::eventFilter(QObject* watched, QEvent* e) {
    if (parentWatch_.IsPaletteChange(watched, e)) adoptParentColor();
    return QWidget::eventFilter(watched, e);
}

bool THvSpinButtons::event(QEvent* e) {
    if (e->type() == ParentColorChangedEvent) {
        adoptParentColor();
        return true;
    }
    if (e->type() == QEvent::ParentChange) {
        watchParent();
        adoptParentColor();
    }
    return QWidget::event(e);
}

void THvSpinButtons::SetDelay(int v) {
    upRight_->SetDelay(v);
    downLeft_->SetDelay(v);
}

void THvSpinButtons::SetInitialDelay(int v) {
    upRight_->SetInitialDelay(v);
    downLeft_->SetInitialDelay(v);
}

void THvSpinButtons::SetEnabledAll(bool v) {
    if (isEnabled() == v) return;
    setEnabled(v);
    upRight_->setEnabled(v);
    downLeft_->setEnabled(v);
}

THvSpinButtons::Layout THvSpinButtons::LayoutFor(int w, int h) const {
    if (orientation_ == orVertical) return {QRect(0, 0, w, h / 2), QRect(0, h / 2, w, h - h / 2)};
    return {QRect(w / 2, 0, w - w / 2, h), QRect(0, 0, w / 2, h)};
}

void THvSpinButtons::LayoutChildren() {
    if (IsLoading() || !upRight_ || !downLeft_) return;
    const Layout l = LayoutFor(width(), height());
    upRight_->setGeometry(l.upRight);
    downLeft_->setGeometry(l.downLeft);
}

void THvSpinButtons::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    LayoutChildren();
}

void THvSpinButtons::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Up) upRight_->Click();
    if (e->key() == Qt::Key_Down) downLeft_->Click();
    QWidget::keyPressEvent(e);
}

bool THvSpinButtons::IsStored(const char* name) const {
    if (qstrcmp(name, "Color") == 0 || qstrcmp(name, "ParentColor") == 0) return !parentColor_;
    if (qstrcmp(name, "GlyphUpRight") == 0 || qstrcmp(name, "NumGlyphsUpRight") == 0)
        return customUpRight_;
    if (qstrcmp(name, "GlyphDownLeft") == 0 || qstrcmp(name, "NumGlyphsDownLeft") == 0)
        return customDownLeft_;
    return true;
}

// ------------------------------------------------------------ THvSpinEdit

THvSpinEdit::THvSpinEdit(QWidget* parent) : THvCustomEdit(parent) {
    spin_ = new THvSpinButtons(this);
    spin_->resize(17, 17);
    spin_->UpRightButton()->InSpinEdit = true;
    spin_->DownLeftButton()->InSpinEdit = true;
    spin_->SetFocusControl(this);
    // The buttons are no text: the arrow over them, whichever cursor the edit
    // shows at the moment.
    spin_->setCursor(Qt::ArrowCursor);
    spin_->SetColor(Color()); // the buttons take the edit's colour, as their parent's
    spin_->show();
    connect(spin_, &THvSpinButtons::UpRightClick, this, [this] { StepUp(increment_); });
    connect(spin_, &THvSpinButtons::DownLeftClick, this, [this] { StepDown(increment_); });
    setAcceptDrops(false);
    resize(47, height());
    SetAlignment(taRightJustify);
    SetValue(0);
    PlaceSpinButtons();
}

std::optional<THvSpinEdit::Extended> THvSpinEdit::ParseNumber(const QString& text) {
    QString t = text.trimmed();
    const QString sep = QLocale().decimalPoint();
    if (sep != QLatin1String(".")) {
        if (t.contains(QLatin1Char('.'))) return std::nullopt;
        t.replace(sep, QLatin1String("."));
    }
    if (t.startsWith(QLatin1Char('+'))) t.remove(0, 1);
    const std::string s = t.toStdString();
    if (s.empty()) return std::nullopt;
    Extended v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

namespace {

// The significant digits an extended value is written with.
constexpr int kNumberPrecision = 18;

// The general format's scientific form of digits d1 d2 ... (trailing zeros
// dropped) times ten to exp: "1.5E25", "1E18".
std::string ScientificText(std::string digits, int exp) {
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::string text(1, digits[0]);
    if (digits.size() > 1) text += '.' + digits.substr(1);
    return text + 'E' + std::to_string(exp);
}

} // namespace

QString THvSpinEdit::FormatNumber(Extended v, int decimals) {
    if (std::isnan(v)) return QStringLiteral("NAN");
    if (std::isinf(v)) return v < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    const int d = std::clamp(decimals, 0, kNumberPrecision);
    const Extended a = std::fabs(v);
    // The value rounded to the precision: its digits and the power of ten of
    // the first one.
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.*Le", kNumberPrecision - 1, a);
    const std::string digits = std::string(1, buf[0]) + std::string(buf + 2, kNumberPrecision - 1);
    const int exp = a == 0 ? 0 : std::atoi(std::strchr(buf, 'e') + 1);
    std::string text;
    if (exp + 1 > kNumberPrecision) {
        // An integer part longer than the precision.
        text = ScientificText(digits, exp);
    } else if (exp + 1 + d <= kNumberPrecision) {
        // The decimals end within the precision: rounded there.
        std::snprintf(buf, sizeof buf, "%.*Lf", d, a);
        text = buf;
        const int integerDigits = int(std::min(text.find('.'), text.size()));
        if (integerDigits > kNumberPrecision) text = ScientificText("1", integerDigits - 1);
    } else {
        // The precision ends first (so the integer part has a digit): the
        // decimals after it are zeros.
        text = digits.substr(0, std::size_t(exp) + 1) + '.' + digits.substr(std::size_t(exp) + 1);
        const std::size_t shown = text.size() - text.find('.') - 1;
        text.append(std::size_t(d) - shown, '0');
    }
    // A value that rounds to zero is shown without a sign.
    if (std::signbit(v) && text.find_first_of("123456789") != std::string::npos)
        text.insert(0, 1, '-');
    QString s = QString::fromLatin1(text);
    s.replace(QLatin1Char('.'), QLocale().decimalPoint());
    return s;
}

THvSpinEdit::Extended THvSpinEdit::Value() {
    const QString t = text();
    if (!t.isEmpty()) return ParseNumber(t).value_or(min_);
    if (allowBlank_) return blankValue_;
    char buf[128];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, min_);
    QString general =
        ec == std::errc() ? QString::fromLatin1(buf, int(end - buf)) : QStringLiteral("0");
    general.replace(QLatin1Char('.'), QLocale().decimalPoint());
    setText(general);
    return ParseNumber(general).value_or(min_);
}

std::optional<int> THvSpinEdit::ValueAsInteger() {
    const Extended r = std::nearbyint(Value()); // the default rounding: ties to even
    if (r < Extended(std::numeric_limits<int>::min()) ||
        r > Extended(std::numeric_limits<int>::max())) {
        ShowRangeError(this);
        return std::nullopt;
    }
    return int(r);
}

THvSpinEdit::Extended THvSpinEdit::ClampToRange(Extended v) const {
    if (max_ != min_ || checkRange_) {
        if (v < min_) return min_;
        if (v > max_) return max_;
    }
    return v;
}

void THvSpinEdit::SetValue(Extended v) {
    const bool hasParent = parentWidget() != nullptr;
    const bool noSelection = hasParent && !hasSelectedText();
    const int pos = hasParent ? cursorPosition() : 0;
    const int l0 = hasParent ? int(text().size()) : 0;
    setText(FormatNumber(ClampToRange(v), decimals_));
    if (noSelection) {
        const int l1 = int(text().size());
        setCursorPosition(l1 == l0 ? pos : l1 > l0 ? pos + 1 : std::max(pos - 1, 0));
    }
}

void THvSpinEdit::SetDecimals(int v) {
    v = std::clamp(v, 0, 255);
    if (decimals_ == v) return;
    decimals_ = v;
    SetValue(Value());
}

void THvSpinEdit::SetIntegersOnly(bool v) {
    if (integersOnly_ == v) return;
    integersOnly_ = v;
    if (v) {
        decimals_ = 0;
        SetValue(std::nearbyint(Value()));
    }
}

void THvSpinEdit::SetCheckRange(bool v) {
    if (checkRange_ == v) return;
    checkRange_ = v;
    SetValue(Value());
}

void THvSpinEdit::SetMin(Extended v) {
    if (v == min_) return;
    min_ = v;
    if (min_ > max_) max_ = min_;
    SetValue(Value());
    update();
}

void THvSpinEdit::SetMax(Extended v) {
    if (v == max_) return;
    max_ = v;
    if (max_ < min_) min_ = max_;
    SetValue(Value());
    update();
}

void THvSpinEdit::SetAllowKeyEdit(bool v) {
    allowKeyEdit_ = v;
    setAcceptDrops(v);
}

void THvSpinEdit::SetButtonWidth(int v) {
    if (buttonWidth_ == v) return;
    buttonWidth_ = std::max(v, 0);
    spin_->resize(spin_->Orientation() == orVertical ? buttonWidth_ : 2 * buttonWidth_,
                  spin_->height());
    PlaceSpinButtons();
    update();
}

void THvSpinEdit::SetOrientation(int v) {
    spin_->SetOrientation(v);
    PlaceSpinButtons();
    update();
}

void THvSpinEdit::SetFrameStyle(int v) {
    THvCustomEdit::SetFrameStyle(v);
    PlaceSpinButtons();
}

void THvSpinEdit::SetFlatButtons(bool v) {
    THvCustomEdit::SetFlatButtons(v);
    spin_->SetFlat(v);
    PlaceSpinButtons();
}

THvControlButton* THvSpinEdit::ButtonOf(TSpinButtonType b) const {
    return b == sbDown ? spin_->DownLeftButton() : spin_->UpRightButton();
}

bool THvSpinEdit::ConfirmStep(Extended newValue) {
    bool allow = true;
    if (OnChanging) OnChanging(this, newValue, allow);
    return allow;
}

void THvSpinEdit::NotifyStep(TSpinButtonType b) {
    if (OnButtonClick) OnButtonClick(this, b);
}

void THvSpinEdit::StepUp(Extended amount) {
    if (isReadOnly()) {
        InvalidKeyBeep();
        return;
    }
    const Extended n = Value() + amount;
    if (ConfirmStep(n)) {
        SetValue(n);
        NotifyStep(sbUp);
    }
}

void THvSpinEdit::StepDown(Extended amount) {
    if (isReadOnly()) {
        InvalidKeyBeep();
        return;
    }
    const Extended n = Value() - amount;
    if (ConfirmStep(n)) {
        SetValue(n);
        NotifyStep(sbDown);
    }
}

bool THvSpinEdit::AcceptsTypedChar(QChar key) const {
    const QString sep = QLocale().decimalPoint();
    const char16_t k = key.unicode();
    bool ok = false;
    if (k <= 255) {
        ok = k == '+' || k == '-' || (k >= '0' && k <= '9') ||
             (!integersOnly_ && sep.size() == 1 && key == sep[0]);
    }
    if (!ok && k < 32 && k != 13) ok = true;
    const QString t = text();
    if (ok && sep.size() == 1 && key == sep[0] && !integersOnly_) {
        if (!hasSelectedText())
            ok = !t.contains(sep);
        else
            ok = !t.contains(sep) || selectedText().contains(sep);
    }
    if (ok && (k == '+' || k == '-')) {
        // SelStart: a selection's start, wherever its caret is.
        const int selStart = hasSelectedText() ? selectionStart() : cursorPosition();
        if (selStart == 0 && !t.contains(QLatin1Char('+')) && !t.contains(QLatin1Char('-')))
            ok = true;
        else
            ok = selectedText().size() == t.size() && hasSelectedText();
    }
    if (!allowKeyEdit_ && (k >= 32 || k == 8)) ok = false;
    return ok;
}

void THvSpinEdit::KeyDown(int& key, Qt::KeyboardModifiers mods) {
    THvCustomEdit::KeyDown(key, mods);
    if (!allowKeyEdit_ && key == Qt::Key_Delete) {
        key = 0;
        InvalidKeyBeep();
        return;
    }
    switch (key) {
    case Qt::Key_PageUp:
        StepUp(pageSize_);
        break;
    case Qt::Key_PageDown:
        StepDown(pageSize_);
        break;
    case Qt::Key_Up:
        StepUp(increment_);
        break;
    case Qt::Key_Down:
        StepDown(increment_);
        break;
    default:
        return;
    }
    key = 0;
}

bool THvSpinEdit::KeyPress(QChar ch) {
    if (!THvCustomEdit::KeyPress(ch)) return false;
    if (!AcceptsTypedChar(ch)) {
        InvalidKeyBeep();
        return false;
    }
    return true;
}

namespace {

// Qt's editing bindings besides paste and cut: none is a typed key, and
// they vary with the platform's key scheme (under X11 Ctrl+K deletes to the
// end of the line and Ctrl+U the whole line).
bool IsEditingBinding(const QKeyEvent* e) {
    static constexpr QKeySequence::StandardKey editing[] = {
        QKeySequence::Undo,
        QKeySequence::Redo,
        QKeySequence::Delete,
        QKeySequence::Backspace,
        QKeySequence::DeleteStartOfWord,
        QKeySequence::DeleteEndOfWord,
        QKeySequence::DeleteEndOfLine,
        QKeySequence::DeleteCompleteLine,
    };
    return std::ranges::any_of(editing, [e](QKeySequence::StandardKey k) { return e->matches(k); });
}

} // namespace

void THvSpinEdit::keyPressEvent(QKeyEvent* e) {
    // The Backspace and Delete keys, with any modifier, go to the key
    // filters, which refuse them without key editing.
    if (e->key() != Qt::Key_Backspace && e->key() != Qt::Key_Delete) {
        // Paste and cut are ignored unless the text may be edited.
        if ((e->matches(QKeySequence::Paste) || e->matches(QKeySequence::Cut)) && !PasteAllowed()) {
            e->accept();
            return;
        }
        if (!allowKeyEdit_ && IsEditingBinding(e)) {
            e->accept();
            return;
        }
    }
    THvCustomEdit::keyPressEvent(e);
}

QMenu* THvSpinEdit::CreateContextMenu() {
    // Qt's standard menu of an edit, whose actions carry no names to find
    // them by; without key editing only Copy and Select All stay.
    auto* menu = new QMenu(this);
    const bool editable = allowKeyEdit_ && !isReadOnly();
    const bool shown = echoMode() == QLineEdit::Normal;
    const bool shortcuts = QGuiApplication::styleHints()->showShortcutsInContextMenus();
    auto add = [&](const char* name, const char* text, QKeySequence::StandardKey key, bool enabled,
                   auto slot) {
        QString label = QCoreApplication::translate("QLineEdit", text);
        if (shortcuts && key != QKeySequence::UnknownKey)
            label += QLatin1Char('\t') + QKeySequence(key).toString(QKeySequence::NativeText);
        QAction* a = menu->addAction(label, this, slot);
        a->setObjectName(QLatin1String(name));
        a->setEnabled(enabled);
    };
    const bool selected = hasSelectedText();
    add("edit-undo", "&Undo", QKeySequence::Undo, editable && isUndoAvailable(), &QLineEdit::undo);
    add("edit-redo", "&Redo", QKeySequence::Redo, editable && isRedoAvailable(), &QLineEdit::redo);
    menu->addSeparator();
    add("edit-cut", "Cu&t", QKeySequence::Cut, PasteAllowed() && selected && shown,
        &QLineEdit::cut);
    add("edit-copy", "&Copy", QKeySequence::Copy, selected && shown, &QLineEdit::copy);
    add("edit-paste", "&Paste", QKeySequence::Paste,
        PasteAllowed() && !QGuiApplication::clipboard()->text().isEmpty(), &QLineEdit::paste);
    add("edit-delete", "Delete", QKeySequence::UnknownKey, editable && selected, &QLineEdit::del);
    menu->addSeparator();
    add("select-all", "Select All", QKeySequence::SelectAll,
        !text().isEmpty() && selectedText() != text(), &QLineEdit::selectAll);
    return menu;
}

void THvSpinEdit::contextMenuEvent(QContextMenuEvent* e) {
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(e->globalPos());
}

void THvSpinEdit::mouseReleaseEvent(QMouseEvent* e) {
    // The middle button pastes the X selection: the same gate as paste.
    if (e->button() == Qt::MiddleButton && !PasteAllowed()) {
        e->accept();
        return;
    }
    THvCustomEdit::mouseReleaseEvent(e);
}

void THvSpinEdit::wheelEvent(QWheelEvent* e) {
    // One step per notch of 120: a high-resolution wheel or a touchpad
    // reports a notch in parts, which add up until they make one.
    constexpr int kWheelNotch = 120;
    wheelAccumulator_ += e->angleDelta().y();
    const Extended step = (e->modifiers() & Qt::ControlModifier) ? pageSize_ : increment_;
    while (std::abs(wheelAccumulator_) >= kWheelNotch) {
        if (wheelAccumulator_ < 0) {
            wheelAccumulator_ += kWheelNotch;
            StepDown(step);
        } else {
            wheelAccumulator_ -= kWheelNotch;
            StepUp(step);
        }
    }
    e->accept();
}

void THvSpinEdit::EnterControl() {
    THvCustomEdit::EnterControl();
    UpdateTextMargins();
    if (AutoSelect() && !(QApplication::mouseButtons() & Qt::LeftButton)) selectAll();
}

void THvSpinEdit::ExitControl() {
    THvCustomEdit::ExitControl();
    UpdateTextMargins();
    if (allowBlank_ && text().isEmpty()) return;
    SetValue(ParseNumber(text()).value_or(min_));
}

void THvSpinEdit::UpdateFrame(bool isMouse, bool value) {
    THvCustomEdit::UpdateFrame(isMouse, value);
    if (!FlatButtons()) return;
    spin_->SetColor((value || IsFocusedFlag()) ? FlatButtonColor() : Color());
}

void THvSpinEdit::ColorChanged() {
    // The embedded buttons take the edit's colour.
    if (spin_) spin_->SetColor(Color());
}

void THvSpinEdit::ReadOnlyChange() {
    spin_->setVisible(!isReadOnly());
    PlaceSpinButtons();
}

void THvSpinEdit::PlaceSpinButtons() {
    if (IsLoading()) return;
    const int lh = FontLineHeight(font());
    if (lh > height()) {
        resize(width(), lh); // the resize places the buttons again
        return;
    }
    if (!spin_) return;
    const int wb = spin_->width(), w = width(), h = height();
    // Child positions of the original are client coordinates, inside the
    // two-pixel non-client frame.
    constexpr int nc = 2;
    QRect r;
    if (layoutDirection() == Qt::RightToLeft)
        r = QRect(0, 0, wb, h - 4);
    else if (FrameVisible() || Ctl3D())
        r = ThemeServicesActive() ? QRect(w - wb - 3, -1, wb, h - 2)
                                  : QRect(w - wb - 4, 0, wb, h - 4);
    else
        r = QRect(w - wb - 1, 1, wb, h - 2);
    spin_->setGeometry(r.translated(nc, nc));
    UpdateTextMargins();
}

void THvSpinEdit::UpdateTextMargins() {
    if (isReadOnly()) {
        setTextMargins(0, 0, 0, 0);
        return;
    }
    if (IsLoading()) return;
    const int wb = spin_ ? spin_->width() : 0;
    if (layoutDirection() == Qt::RightToLeft)
        setTextMargins(wb + 2, 0, 0, 0);
    else
        setTextMargins(0, 0, wb + 2, 0);
}

TRect THvSpinEdit::GetEditRect() const {
    TRect r = THvCustomEdit::GetEditRect();
    if (!isReadOnly()) r.Right -= spin_->width() + 2;
    return r;
}

void THvSpinEdit::resizeEvent(QResizeEvent* e) {
    THvCustomEdit::resizeEvent(e);
    PlaceSpinButtons();
}

void THvSpinEdit::changeEvent(QEvent* e) {
    THvCustomEdit::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        UpdateTextMargins();
        spin_->SetEnabledAll(isEnabled());
        if (FlatButtons()) spin_->SetColor(Color());
    } else if (e->type() == QEvent::FontChange) {
        UpdateTextMargins();
        spin_->SetEnabledAll(isEnabled());
    }
}

void THvSpinEdit::Loaded() {
    THvCustomEdit::Loaded();
    PlaceSpinButtons();
}

bool THvSpinEdit::IsStored(const char* name) const {
    if (qstrcmp(name, "Increment") == 0) return increment_ != 1;
    if (qstrcmp(name, "Min") == 0) return min_ != 0;
    if (qstrcmp(name, "Max") == 0) return max_ != 100;
    if (qstrcmp(name, "PageSize") == 0) return pageSize_ != 10;
    if (qstrcmp(name, "ButtonUpGlyph") == 0 || qstrcmp(name, "ButtonUpNumGlyphs") == 0)
        return spin_->HasCustomGlyphUpRight();
    if (qstrcmp(name, "ButtonDownGlyph") == 0 || qstrcmp(name, "ButtonDownNumGlyphs") == 0)
        return spin_->HasCustomGlyphDownLeft();
    return THvCustomEdit::IsStored(name);
}

bool THvSpinEdit::ReadObsoleteProperty(const QString& name, const QVariant& value) {
    if (name == QLatin1String("FlatButtonParentColor"))
        return THvOldPropReader::SkipBoolean(value), true;
    return THvCustomEdit::ReadObsoleteProperty(name, value);
}

} // namespace hv
