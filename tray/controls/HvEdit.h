// A single-line edit box that paints its own frame around the text, changes
// its background colour by state and can take its settings from a frame
// controller.
#pragma once

#include "HvGrafx.h"

#include <QLineEdit>
#include <QPointer>

#include <functional>
#include <vector>

namespace hv {

class THvCustomEdit : public QLineEdit, public HvStreamable {
    Q_OBJECT
    Q_PROPERTY(int Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(bool TabOnEnter READ TabOnEnter WRITE SetTabOnEnter)
    Q_PROPERTY(bool BeepOnInvalidKey READ BeepOnInvalidKey WRITE SetBeepOnInvalidKey)
    Q_PROPERTY(bool AutoSelect READ AutoSelect WRITE SetAutoSelect)
    Q_PROPERTY(int Color READ Color WRITE SetColor)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE SetCtl3D)
    Q_PROPERTY(int DisabledColor READ DisabledColor WRITE SetDisabledColor)
    Q_PROPERTY(int FocusColor READ FocusColor WRITE SetFocusColor)
    Q_PROPERTY(int FrameColor READ FrameColor WRITE SetFrameColor)
    Q_PROPERTY(int FrameHotColor READ FrameHotColor WRITE SetFrameHotColor)
    Q_PROPERTY(bool FrameHotTrack READ FrameHotTrack WRITE SetFrameHotTrack)
    Q_PROPERTY(int FrameHotStyle READ FrameHotStyle WRITE SetFrameHotStyle)
    Q_PROPERTY(int FrameSides READ FrameSides WRITE SetFrameSides)
    Q_PROPERTY(int FrameStyle READ FrameStyle WRITE SetFrameStyle)
    Q_PROPERTY(bool FrameVisible READ FrameVisible WRITE SetFrameVisible)
    Q_PROPERTY(int FramingPreference READ FramingPreference WRITE SetFramingPreference)
    Q_PROPERTY(int FrameControllerNotifications READ FrameControllerNotifications WRITE
                   SetFrameControllerNotifications)
    Q_PROPERTY(int ReadOnlyColor READ ReadOnlyColor WRITE SetReadOnlyColor)
    Q_PROPERTY(bool ReadOnlyColorOnFocus READ ReadOnlyColorOnFocus WRITE SetReadOnlyColorOnFocus)
    Q_PROPERTY(bool ReadOnly READ ReadOnly WRITE SetReadOnly)
    Q_PROPERTY(bool FlatButtons READ FlatButtons WRITE SetFlatButtons)
    Q_PROPERTY(int FlatButtonColor READ FlatButtonColor WRITE SetFlatButtonColor)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_PROPERTY(QString EditMask READ EditMask WRITE SetEditMask)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int MaxLength READ maxLength WRITE setMaxLength)
    Q_PROPERTY(QString PasswordChar READ PasswordChar WRITE SetPasswordChar)
  public:
    explicit THvCustomEdit(QWidget* parent = nullptr);
    ~THvCustomEdit() override;

    int Alignment() const { return alignment_; }
    bool TabOnEnter() const { return tabOnEnter_; }
    bool BeepOnInvalidKey() const { return beepOnInvalidKey_; }
    bool AutoSelect() const { return autoSelect_; }
    int Color() const { return color_; }
    bool Ctl3D() const { return ctl3D_; }
    int DisabledColor() const { return disabledColor_; }
    int FocusColor() const { return focusColor_; }
    int FrameColor() const { return frameColor_; }
    int FrameHotColor() const { return frameHotColor_; }
    bool FrameHotTrack() const { return frameHotTrack_; }
    int FrameHotStyle() const { return frameHotStyle_; }
    int FrameSides() const { return frameSides_; }
    int FrameStyle() const { return frameStyle_; }
    bool FrameVisible() const { return frameVisible_; }
    int FramingPreference() const { return framingPreference_; }
    int FrameControllerNotifications() const { return notifications_; }
    int ReadOnlyColor() const { return readOnlyColor_; }
    bool ReadOnlyColorOnFocus() const { return readOnlyColorOnFocus_; }
    bool ReadOnly() const { return isReadOnly(); }
    bool FlatButtons() const { return flatButtons_; }
    int FlatButtonColor() const { return flatButtonColor_; }
    QString PasswordChar() const { return passwordChar_; }
    bool ParentColor() const { return parentColor_; }
    THvFrameController* FrameController() const { return frameController_; }
    int NormalColor() const { return normalColor_; }
    bool IsFocusedFlag() const { return focused_; }
    bool IsMouseOver() const { return mouseOver_; }

    virtual void SetAlignment(int v);
    void SetTabOnEnter(bool v) { tabOnEnter_ = v; }
    void SetBeepOnInvalidKey(bool v) { beepOnInvalidKey_ = v; }
    void SetAutoSelect(bool v) { autoSelect_ = v; }
    void SetColor(int v);
    void SetCtl3D(bool v);
    virtual void SetDisabledColor(int v);
    virtual void SetFocusColor(int v);
    virtual void SetFrameColor(int v);
    virtual void SetFrameHotColor(int v);
    virtual void SetFrameHotTrack(bool v);
    virtual void SetFrameHotStyle(int v);
    virtual void SetFrameSides(int v);
    virtual void SetFrameStyle(int v);
    virtual void SetFrameVisible(bool v);
    virtual void SetFramingPreference(int v);
    void SetFrameControllerNotifications(int v) { notifications_ = v; }
    virtual void SetReadOnlyColor(int v);
    void SetReadOnlyColorOnFocus(bool v);
    void SetReadOnly(bool v);
    virtual void SetFlatButtons(bool v);
    void SetFlatButtonColor(int v);
    void SetPasswordChar(const QString& v);
    void SetParentColor(bool v);
    virtual void SetFrameController(THvFrameController* c);

    // The masked edit. The mask is written as the toolkit's masked edit reads
    // it: "mask;save literals;blank", with 0 and 9 for required and optional
    // digits, L and l for letters, A and a for letters or digits, C and c for
    // any character, # for a digit or sign, > < <> for case, \ for a literal
    // and _ for a blank; the literals are saved in Text unless the second
    // field is 0, and the blank defaults to '_'.
    QString EditMask() const { return editMask_; }
    void SetEditMask(const QString& mask);
    bool IsMasked() const { return !mask_.elements.empty(); }
    // The text as shown, literals and blanks included.
    QString EditText() const;
    // The text: with a mask, the characters typed (and the literals when they
    // are saved), blanks as spaces.
    QString Text() const;
    void SetText(const QString& v);
    // Whether the text fits the mask; else the position of the first
    // required character that is missing.
    bool Validate(const QString& editText, int& pos) const;
    // Checks a modified masked text; on invalid input the focus stays, the
    // caret goes to the first missing character and ValidateError runs.
    void ValidateEdit();
    // Called with an empty message when a masked text is invalid; a text set
    // by the handler is shown as the error instead of the masked edit's own.
    std::function<void(THvCustomEdit*, QString& message)> OnInvalidData;
    static QString DefaultMaskError();

    // The button facility: a drop-down button in a strip beside the text.
    bool ShowButton() const { return showButton_; }
    virtual void SetShowButton(bool v);
    // 0 normal, 2 pressed.
    int ButtonState() const { return buttonState_; }
    // The strip in the control's coordinates; empty while the button is hidden.
    TRect ButtonRect() const;
    int ButtonStripWidth() const;
    // Whether a point lies in the non-client strip: the frame around the text
    // and, when shown, the button strip.
    bool InNonClientStrip(const QPoint& p) const;
    // A press of the button: from a click on the strip, Alt+Down or F4.
    void PressButton();
    std::function<void(THvCustomEdit*)> OnButtonDown;
    std::function<void(THvCustomEdit*)> OnButtonUp;

    virtual bool UseThemes() const;
    // The frame as painted now: style and colour, or none (fsNone) when the
    // control draws no frame of its own.
    TFrameStyleEx CurrentFrameStyle() const;
    TColor CurrentFrameColor() const;
    virtual TRect GetEditRect() const { return Rect(0, 0, width(), height()); }
    // What validation reads: the masked edit's text as shown.
    virtual QString GetEditText() const { return EditText(); }
    virtual bool IsReadOnly() const { return isReadOnly(); }
    // The non-client strip: frame and ring, drawn onto a canvas of the
    // control's size.
    void PaintFrame(Canvas& c) const;
    // The frame and, when shown, the button, as the non-client area shows them.
    void PaintNonClient(Canvas& c) const;

    bool IsStored(const char* name) const override;
    bool ReadObsoleteProperty(const QString& name, const QVariant& value) override;

  protected:
    virtual void UpdateColors();
    virtual void UpdateFrame(bool isMouse, bool value);
    virtual void RepaintFrame() { RedrawNonClientFrame(this); }
    virtual void ReadOnlyOn() {}
    virtual void ReadOnlyOff() {}
    virtual void ReadOnlyChanged();
    // After Color changed, from inside or outside.
    virtual void ColorChanged() {}
    virtual void PaintButton(Canvas& c, TRect r) const;
    virtual void SetButtonState(int state);
    virtual void RaiseButtonDown();
    virtual void RaiseButtonUp();
    // The masked edit's answer to invalid input: the invalid-data event, then
    // the data-edit error.
    virtual void ValidateError();
    // Key hooks: KeyDown may clear the key (set it to 0); KeyPress returns
    // false to refuse a typed character.
    virtual void KeyDown(int& key, Qt::KeyboardModifiers mods);
    virtual bool KeyPress(QChar ch);
    void InvalidKeyBeep() const;
    void Loaded() override;
    // The control becomes, and stops being, the focused control of its
    // window: the focus moves to it from another control of the window, or
    // from it to another one. Its menu and the window's activation move Qt's
    // focus but neither of these.
    virtual void EnterControl();
    virtual void ExitControl();

    void paintEvent(QPaintEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    struct MaskElement {
        bool literal;
        bool required;
        QChar ch; // the literal
    };
    struct ParsedMask {
        QString qtMask;
        bool saveLiterals = true;
        QChar blank = QLatin1Char('_');
        std::vector<MaskElement> elements;
    };
    static ParsedMask ParseEditMask(const QString& mask);
    void setColorValue(int v, bool outside);
    void adoptParentColor();
    void watchParent();
    void applyMargins();
    void NonClientPress(QMouseEvent* e);
    void LeaveControl();
    // Characters typed one by one, each through KeyPress.
    void TypeText(const QString& text);
    void FocusChanged(QWidget* now);
    void applyColor();
    bool hot() const { return frameHotTrack_ && (focused_ || mouseOver_); }
    int alignment_ = taLeftJustify;
    bool tabOnEnter_ = false;
    bool beepOnInvalidKey_ = true;
    bool autoSelect_ = true;
    bool colorGuard_ = false;
    int color_ = clWindow;
    bool ctl3D_ = true;
    int disabledColor_ = clBtnFace;
    int focusColor_ = clWindow;
    int normalColor_ = clWindow;
    int frameColor_ = clBtnShadow;
    int frameHotColor_ = clBtnShadow;
    QPointer<THvFrameController> frameController_;
    int notifications_ = fcnAll;
    bool frameHotTrack_ = false;
    int frameHotStyle_ = fsFlatBold;
    int frameSides_ = sdAll;
    int frameStyle_ = fsFlat;
    int framingPreference_ = fpXPThemes;
    int readOnlyColor_ = clInfoBk;
    bool readOnlyColorOnFocus_ = false;
    bool flatButtons_ = false;
    int flatButtonColor_ = clBtnFace;
    QString passwordChar_;
    bool parentColor_ = false;
    TParentColorWatch parentWatch_;
    QString editMask_;
    ParsedMask mask_;
    QString valueOnEnter_;
    bool showButton_ = false;
    int buttonState_ = 0;
    bool pressInStrip_ = false;
    // The control is the focused control of its window.
    bool entered_ = false;
    bool focused_ = false;
    bool mouseOver_ = false;
    bool frameVisible_ = false;
};

class THvEdit : public THvCustomEdit {
    Q_OBJECT
  public:
    using THvCustomEdit::THvCustomEdit;
};

} // namespace hv
