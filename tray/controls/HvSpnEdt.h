// Spin buttons and the spin edit: a framed edit for one number, stepped by
// embedded buttons, keys and the mouse wheel and kept inside a range.
#pragma once

#include "HvButton.h"
#include "HvEdit.h"

#include <functional>
#include <optional>

class QMenu;

namespace hv {

enum TSpinDirection : int { sdUpDown, sdLeftRight };
enum TSpinButtonType : int { sbUp, sbDown };

class THvSpinButtons : public QWidget, public HvStreamable {
    Q_OBJECT
    Q_PROPERTY(int Direction READ Direction WRITE SetDirection)
    Q_PROPERTY(int Orientation READ Orientation WRITE SetOrientation)
    Q_PROPERTY(bool Flat READ Flat WRITE SetFlat)
    Q_PROPERTY(int Color READ Color WRITE SetColor)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_PROPERTY(int Delay READ Delay WRITE SetDelay)
    Q_PROPERTY(int InitialDelay READ InitialDelay WRITE SetInitialDelay)
    Q_PROPERTY(int NumGlyphsUpRight READ NumGlyphsUpRight WRITE SetNumGlyphsUpRight)
    Q_PROPERTY(int NumGlyphsDownLeft READ NumGlyphsDownLeft WRITE SetNumGlyphsDownLeft)
    Q_PROPERTY(QImage GlyphUpRight READ GlyphUpRightImage WRITE SetGlyphUpRightImage)
    Q_PROPERTY(QImage GlyphDownLeft READ GlyphDownLeftImage WRITE SetGlyphDownLeftImage)
  public:
    explicit THvSpinButtons(QWidget* parent = nullptr);

    int Direction() const { return direction_; }
    int Orientation() const { return orientation_; }
    bool Flat() const { return flat_; }
    int Color() const { return color_; }
    bool ParentColor() const { return parentColor_; }
    int Delay() const { return upRight_->Delay(); }
    int InitialDelay() const { return upRight_->InitialDelay(); }
    int NumGlyphsUpRight() const { return upRight_->NumGlyphs(); }
    int NumGlyphsDownLeft() const { return downLeft_->NumGlyphs(); }
    QWidget* FocusControl() const { return focusControl_; }
    THvControlButton* UpRightButton() const { return upRight_; }
    THvControlButton* DownLeftButton() const { return downLeft_; }
    bool HasCustomGlyphUpRight() const { return customUpRight_; }
    bool HasCustomGlyphDownLeft() const { return customDownLeft_; }

    void SetDirection(int v);
    void SetOrientation(int v);
    void SetFlat(bool v);
    // A colour of its own ends following the parent's.
    void SetColor(int v);
    void SetParentColor(bool v);
    void SetDelay(int v);
    void SetInitialDelay(int v);
    void SetNumGlyphsUpRight(int v) { upRight_->SetNumGlyphs(v); }
    void SetNumGlyphsDownLeft(int v) { downLeft_->SetNumGlyphs(v); }
    void SetFocusControl(QWidget* w) { focusControl_ = w; }
    void SetGlyphUpRight(const std::optional<Surface>& glyph);
    void SetGlyphDownLeft(const std::optional<Surface>& glyph);
    const Surface& GlyphUpRight() const { return upRight_->Glyph(); }
    const Surface& GlyphDownLeft() const { return downLeft_->Glyph(); }
    // The glyphs as images, for form streams; a null image is no glyph.
    QImage GlyphUpRightImage() const { return GlyphUpRight().toImage(); }
    QImage GlyphDownLeftImage() const { return GlyphDownLeft().toImage(); }
    void SetGlyphUpRightImage(const QImage& img);
    void SetGlyphDownLeftImage(const QImage& img);
    void SetEnabledAll(bool v);

    // The children's rectangles for a control of w x h.
    struct Layout {
        QRect upRight, downLeft;
    };
    Layout LayoutFor(int w, int h) const;

    bool IsStored(const char* name) const override;

  signals:
    void UpRightClick();
    void DownLeftClick();

  protected:
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void paintEvent(QPaintEvent*) override {}
    void Loaded() override { LayoutChildren(); }
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    THvControlButton* MakeChildButton();
    // The control's colour and its buttons' faces.
    void applyColor(int v);
    void adoptParentColor();
    void watchParent();
    bool ChildPressed(THvControlButton* child);
    void ChildGlyphChanged(THvControlButton* child);
    void LayoutChildren();
    int roleStyle(bool upRight) const;
    THvControlButton* upRight_;
    THvControlButton* downLeft_;
    QPointer<QWidget> focusControl_;
    int direction_ = sdUpDown;
    int orientation_ = orVertical;
    bool flat_ = false;
    int color_ = clBtnFace;
    bool parentColor_ = true;
    TParentColorWatch parentWatch_;
    bool customUpRight_ = false;
    bool customDownLeft_ = false;
};

class THvSpinEdit : public THvCustomEdit {
    Q_OBJECT
    Q_PROPERTY(bool AllowKeyEdit READ AllowKeyEdit WRITE SetAllowKeyEdit)
    Q_PROPERTY(bool AllowBlank READ AllowBlank WRITE SetAllowBlank)
    Q_PROPERTY(double BlankValue READ BlankValueD WRITE SetBlankValueD)
    Q_PROPERTY(int ButtonWidth READ ButtonWidth WRITE SetButtonWidth)
    Q_PROPERTY(bool CheckRange READ CheckRange WRITE SetCheckRange)
    Q_PROPERTY(int Decimals READ Decimals WRITE SetDecimals)
    Q_PROPERTY(double Increment READ IncrementD WRITE SetIncrementD)
    Q_PROPERTY(bool IntegersOnly READ IntegersOnly WRITE SetIntegersOnly)
    Q_PROPERTY(double Min READ MinD WRITE SetMinD)
    Q_PROPERTY(double Max READ MaxD WRITE SetMaxD)
    Q_PROPERTY(double PageSize READ PageSizeD WRITE SetPageSizeD)
    Q_PROPERTY(double Value READ ValueD WRITE SetValueD)
    Q_PROPERTY(int Direction READ Direction WRITE SetDirection)
    Q_PROPERTY(int Orientation READ Orientation WRITE SetOrientation)
    Q_PROPERTY(QImage ButtonUpGlyph READ ButtonUpGlyphImage WRITE SetButtonUpGlyphImage)
    Q_PROPERTY(QImage ButtonDownGlyph READ ButtonDownGlyphImage WRITE SetButtonDownGlyphImage)
    Q_PROPERTY(int ButtonUpNumGlyphs READ ButtonUpNumGlyphs WRITE SetButtonUpNumGlyphs)
    Q_PROPERTY(int ButtonDownNumGlyphs READ ButtonDownNumGlyphs WRITE SetButtonDownNumGlyphs)
  public:
    using Extended = long double;
    explicit THvSpinEdit(QWidget* parent = nullptr);

    bool AllowKeyEdit() const { return allowKeyEdit_; }
    bool AllowBlank() const { return allowBlank_; }
    Extended BlankValue() const { return blankValue_; }
    int ButtonWidth() const { return buttonWidth_; }
    bool CheckRange() const { return checkRange_; }
    int Decimals() const { return decimals_; }
    Extended Increment() const { return increment_; }
    bool IntegersOnly() const { return integersOnly_; }
    Extended Min() const { return min_; }
    Extended Max() const { return max_; }
    Extended PageSize() const { return pageSize_; }
    Extended Value();
    // The nearest integer (ties to even). One outside the 32-bit range is the
    // range error: it is reported and no value is given.
    std::optional<int> ValueAsInteger();
    int Direction() const { return spin_->Direction(); }
    int Orientation() const { return spin_->Orientation(); }
    THvSpinButtons* SpinButtons() const { return spin_; }
    THvControlButton* ButtonOf(TSpinButtonType b) const;
    // The embedded buttons' glyphs and glyph counts.
    const Surface& ButtonUpGlyph() const { return spin_->GlyphUpRight(); }
    const Surface& ButtonDownGlyph() const { return spin_->GlyphDownLeft(); }
    int ButtonUpNumGlyphs() const { return spin_->NumGlyphsUpRight(); }
    int ButtonDownNumGlyphs() const { return spin_->NumGlyphsDownLeft(); }
    void SetButtonUpGlyph(const std::optional<Surface>& g) { spin_->SetGlyphUpRight(g); }
    void SetButtonDownGlyph(const std::optional<Surface>& g) { spin_->SetGlyphDownLeft(g); }
    void SetButtonUpNumGlyphs(int v) { spin_->SetNumGlyphsUpRight(v); }
    void SetButtonDownNumGlyphs(int v) { spin_->SetNumGlyphsDownLeft(v); }

    void SetAllowKeyEdit(bool v);
    void SetAllowBlank(bool v) { allowBlank_ = v; }
    void SetBlankValue(Extended v) { blankValue_ = v; }
    void SetButtonWidth(int v);
    void SetCheckRange(bool v);
    void SetDecimals(int v);
    void SetIncrement(Extended v) { increment_ = v; }
    void SetIntegersOnly(bool v);
    void SetMin(Extended v);
    void SetMax(Extended v);
    void SetPageSize(Extended v) { pageSize_ = v; }
    void SetValue(Extended v);
    void SetValueAsInteger(int v) { SetValue(v); }
    void SetDirection(int v) { spin_->SetDirection(v); }
    void SetOrientation(int v);
    void SetFrameStyle(int v) override;
    void SetFlatButtons(bool v) override;

    Extended ClampToRange(Extended v) const;
    void StepUp(Extended amount);
    void StepDown(Extended amount);
    bool AcceptsTypedChar(QChar key) const;
    void PlaceSpinButtons();
    void UpdateTextMargins();
    TRect GetEditRect() const override;

    // Text <-> number in the locale's notation.
    static std::optional<Extended> ParseNumber(const QString& text);
    static QString FormatNumber(Extended v, int decimals);

    std::function<void(THvSpinEdit*, Extended newValue, bool& allow)> OnChanging;
    std::function<void(THvSpinEdit*, TSpinButtonType)> OnButtonClick;

    bool IsStored(const char* name) const override;
    bool ReadObsoleteProperty(const QString& name, const QVariant& value) override;

  protected:
    bool ConfirmStep(Extended newValue);
    void NotifyStep(TSpinButtonType b);
    void UpdateFrame(bool isMouse, bool value) override;
    void ColorChanged() override;
    void ReadOnlyOn() override { ReadOnlyChange(); }
    void ReadOnlyOff() override { ReadOnlyChange(); }
    void KeyDown(int& key, Qt::KeyboardModifiers mods) override;
    bool KeyPress(QChar ch) override;
    void Loaded() override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void EnterControl() override;
    void ExitControl() override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

  private:
    void ReadOnlyChange();
    QMenu* CreateContextMenu();
    bool PasteAllowed() const { return allowKeyEdit_ && !isReadOnly(); }
    double BlankValueD() const { return double(blankValue_); }
    void SetBlankValueD(double v) { blankValue_ = v; }
    double IncrementD() const { return double(increment_); }
    void SetIncrementD(double v) { increment_ = v; }
    double MinD() const { return double(min_); }
    void SetMinD(double v) { SetMin(v); }
    double MaxD() const { return double(max_); }
    void SetMaxD(double v) { SetMax(v); }
    double PageSizeD() const { return double(pageSize_); }
    void SetPageSizeD(double v) { pageSize_ = v; }
    double ValueD() { return double(Value()); }
    void SetValueD(double v) { SetValue(v); }
    QImage ButtonUpGlyphImage() const { return spin_->GlyphUpRightImage(); }
    QImage ButtonDownGlyphImage() const { return spin_->GlyphDownLeftImage(); }
    void SetButtonUpGlyphImage(const QImage& img) { spin_->SetGlyphUpRightImage(img); }
    void SetButtonDownGlyphImage(const QImage& img) { spin_->SetGlyphDownLeftImage(img); }

    THvSpinButtons* spin_ = nullptr;
    bool allowKeyEdit_ = false;
    bool allowBlank_ = false;
    Extended blankValue_ = 0;
    int buttonWidth_ = 17;
    bool checkRange_ = false;
    int decimals_ = 0;
    Extended increment_ = 1;
    bool integersOnly_ = true;
    Extended min_ = 0;
    Extended max_ = 100;
    Extended pageSize_ = 10;
    // Wheel movement not yet a whole notch.
    int wheelAccumulator_ = 0;
};

} // namespace hv
