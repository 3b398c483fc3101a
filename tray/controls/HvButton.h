// Push buttons (THvCustomButton, THvButton) and the windowless control
// button (THvControlButton) that spin buttons are made of.
#pragma once

#include "HvGrafx.h"

#include <QTimer>
#include <QWidget>

#include <functional>

namespace hv {

enum THvControlButtonStyle : int { cbsNone, cbsLeft, cbsUp, cbsRight, cbsDown, cbsDropDown };

class THvCustomButton : public QWidget, public HvCanvasPainter, public HvStreamable {
    Q_OBJECT
    Q_PROPERTY(int AlignmentVertical READ AlignmentVertical WRITE SetAlignmentVertical)
    Q_PROPERTY(int HotTrackColor READ HotTrackColor WRITE SetHotTrackColor)
    Q_PROPERTY(int HotTrackColorType READ HotTrackColorType WRITE SetHotTrackColorType)
    Q_PROPERTY(int HighlightColor READ HighlightColor WRITE SetHighlightColor)
    Q_PROPERTY(bool LightTextStyle READ LightTextStyle WRITE SetLightTextStyle)
    Q_PROPERTY(int TextStyle READ TextStyle WRITE SetTextStyle)
    Q_PROPERTY(int TextHighlightColor READ TextHighlightColor WRITE SetTextHighlightColor)
    Q_PROPERTY(int TextShadowColor READ TextShadowColor WRITE SetTextShadowColor)
    Q_PROPERTY(int TextShadowDepth READ TextShadowDepth WRITE SetTextShadowDepth)
    Q_PROPERTY(bool HotTrack READ HotTrack WRITE SetHotTrack)
    Q_PROPERTY(bool ThemeAware READ ThemeAware WRITE SetThemeAware)
    Q_PROPERTY(int Color READ Color WRITE SetColor)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
  public:
    explicit THvCustomButton(QWidget* parent = nullptr);

    int AlignmentVertical() const { return alignmentVertical_; }
    int HotTrackColor() const { return hotTrackColor_; }
    int HotTrackColorType() const { return hotTrackColorType_; }
    int HighlightColor() const { return highlightColor_; }
    bool LightTextStyle() const { return lightTextStyle_; }
    int TextStyle() const { return textStyle_; }
    int TextHighlightColor() const { return textHighlightColor_; }
    int TextShadowColor() const { return textShadowColor_; }
    int TextShadowDepth() const { return textShadowDepth_; }
    bool HotTrack() const { return hotTrack_; }
    bool ThemeAware() const { return themeAware_; }
    bool CornersShowParent() const { return cornersShowParent_; }
    int Color() const { return color_; }
    QString Caption() const { return caption_; }

    void SetAlignmentVertical(int v);
    void SetHotTrackColor(int v);
    void SetHotTrackColorType(int v);
    void SetHighlightColor(int v);
    void SetLightTextStyle(bool v);
    void SetTextStyle(int v);
    void SetTextHighlightColor(int v);
    void SetTextShadowColor(int v);
    void SetTextShadowDepth(int v);
    virtual void SetHotTrack(bool v);
    void SetThemeAware(bool v);
    void SetCornersShowParent(bool v);
    void SetColor(int v);
    void SetCaption(const QString& v);

    bool IsPressed() const { return pressed_; }
    bool IsHot() const { return hot_; }
    bool IsTracking() const { return tracking_; }

    // The text passes of DrawLabel, in order, for tests: (offset x, offset y, colour).
    struct LabelPass {
        int dx, dy;
        TColor color;
    };
    std::vector<LabelPass> LabelPasses(unsigned flags) const;

    virtual void Click();

  signals:
    void clicked();

  protected:
    virtual void PaintParentCorners(Canvas&) {}
    virtual void RefreshFace() {}
    virtual void FocusStateChanged() { update(); }
    virtual TRect HotTrackArea() const { return Rect(0, 0, width(), height()); }
    virtual void DrawLabel(Canvas& c, TRect r, unsigned flags);
    virtual void PerformButtonClick() = 0;
    virtual void TextChanged() { repaint(); }

    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent*) override { PaintWidgetFromCanvas(this, this); }

    bool pressed_ = false;
    bool hot_ = false;
    bool tracking_ = false;

  private:
    int alignmentVertical_ = avCenter;
    int hotTrackColor_ = 0x149BF0;
    int hotTrackColorType_ = htctActual;
    int highlightColor_ = clHighlight;
    bool lightTextStyle_ = false;
    int textStyle_ = tsNormal;
    int textHighlightColor_ = clBtnHighlight;
    int textShadowColor_ = clBtnShadow;
    int textShadowDepth_ = 2;
    bool hotTrack_ = false;
    bool cornersShowParent_ = false;
    bool themeAware_ = true;
    int color_ = clBtnFace;
    QString caption_;
};

class THvButton : public THvCustomButton {
    Q_OBJECT
    Q_PROPERTY(int Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(bool AllowAllUp READ AllowAllUp WRITE SetAllowAllUp)
    Q_PROPERTY(bool Cancel READ Cancel WRITE SetCancel)
    Q_PROPERTY(bool Default READ Default WRITE SetDefault)
    Q_PROPERTY(bool DropDownOnEnter READ DropDownOnEnter WRITE SetDropDownOnEnter)
    Q_PROPERTY(int GroupIndex READ GroupIndex WRITE SetGroupIndex)
    Q_PROPERTY(bool Down READ Down WRITE SetDown)
    Q_PROPERTY(int FrameColor READ FrameColor WRITE SetFrameColor)
    Q_PROPERTY(int ModalResult READ ModalResult WRITE SetModalResult)
    Q_PROPERTY(bool ShowDownPattern READ ShowDownPattern WRITE SetShowDownPattern)
    Q_PROPERTY(bool ShowFocusRect READ ShowFocusRect WRITE SetShowFocusRect)
  public:
    explicit THvButton(QWidget* parent = nullptr);
    ~THvButton() override;

    int Alignment() const { return alignment_; }
    bool AllowAllUp() const { return allowAllUp_; }
    bool Cancel() const { return cancel_; }
    bool Default() const { return default_; }
    bool DropDownOnEnter() const { return dropDownOnEnter_; }
    int GroupIndex() const { return groupIndex_; }
    bool Down() const { return down_; }
    int FrameColor() const { return frameColor_; }
    int ModalResult() const { return modalResult_; }
    bool ShowDownPattern() const { return showDownPattern_; }
    bool ShowFocusRect() const { return showFocusRect_; }
    bool IsActive() const { return active_; }

    void SetAlignment(int v);
    void SetAllowAllUp(bool v);
    void SetCancel(bool v) { cancel_ = v; }
    void SetDefault(bool v);
    void SetDropDownOnEnter(bool v) { dropDownOnEnter_ = v; }
    void SetGroupIndex(int v);
    void SetDown(bool v);
    void SetFrameColor(int v);
    void SetModalResult(int v) { modalResult_ = v; }
    void SetShowDownPattern(bool v);
    void SetShowFocusRect(bool v);
    void SetHotTrack(bool v) override;

    void Click() override;
    void PaintInto(Canvas& c) override;
    bool ReadObsoleteProperty(const QString& name, const QVariant& value) override;

    // The dialog keys of the button's window: Enter clicks the active
    // button, Escape a Cancel button. True when a button took the key.
    // (The caption's accelerator is a shortcut of the button itself.)
    static bool DialogKey(QWidget* window, int key, Qt::KeyboardModifiers mods);
    // 8 x 8 down pattern brush.
    static Surface FillDownPattern(TColor color);

  protected:
    void PerformButtonClick() override;
    void RefreshFace() override { update(); }
    void PaintParentCorners(Canvas& c) override;
    TRect LabelArea() const;
    void PaintLabel(Canvas& c);
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void TextChanged() override;
    bool event(QEvent* e) override;

  private:
    void NotifyGroup();
    void GroupMessage(int groupIndex, THvButton* sender);
    void FocusChanged(QWidget* now);
    int alignment_ = taCenter;
    bool clicking_ = false;
    bool default_ = false;
    bool cancel_ = false;
    bool active_ = false;
    int modalResult_ = 0;
    bool spaceDown_ = false;
    bool allowAllUp_ = false;
    bool down_ = false;
    int groupIndex_ = 0;
    bool showDownPattern_ = true;
    bool showFocusRect_ = true;
    bool dropDownOnEnter_ = true;
    int frameColor_ = cl3DDkShadow;
    bool enterClick_ = false;
    QMetaObject::Connection focusConn_;
    int shortcutId_ = 0;
};

class THvControlButton : public QWidget, public HvCanvasPainter {
    Q_OBJECT
    Q_PROPERTY(bool Flat READ Flat WRITE SetFlat)
    Q_PROPERTY(int NumGlyphs READ NumGlyphs WRITE SetNumGlyphs)
    Q_PROPERTY(int Delay READ Delay WRITE SetDelay)
    Q_PROPERTY(int InitialDelay READ InitialDelay WRITE SetInitialDelay)
    Q_PROPERTY(bool RepeatClicks READ RepeatClicks WRITE SetRepeatClicks)
    Q_PROPERTY(int Style READ Style WRITE SetStyle)
    Q_PROPERTY(int Color READ Color WRITE SetColor)
  public:
    explicit THvControlButton(QWidget* parent = nullptr);

    bool Flat() const { return flat_; }
    int NumGlyphs() const { return numGlyphs_; }
    int Delay() const { return delay_; }
    int InitialDelay() const { return initialDelay_; }
    bool RepeatClicks() const { return repeatClicks_; }
    int Style() const { return style_; }
    int Color() const { return color_; }
    const Surface& Glyph() const { return glyph_; }
    bool IsDown() const { return down_; }
    bool IsMouseIn() const { return mouseIn_; }

    void SetFlat(bool v);
    // TNumGlyphs is 1..4: other values are brought into that range.
    void SetNumGlyphs(int v);
    void SetDelay(int v) { delay_ = v; }
    void SetInitialDelay(int v) { initialDelay_ = v; }
    void SetRepeatClicks(bool v) { repeatClicks_ = v; }
    void SetStyle(int v);
    void SetColor(int v);
    void SetGlyph(const Surface& glyph);
    TPoint GlyphCellSize() const;
    // Which glyph cell the face shows now: 0 normal, 1 disabled, 2 down.
    int GlyphIndex() const;

    // Called before a left press is taken; returning false abandons the
    // press (no pressed face, no click).
    std::function<bool(THvControlButton*)> OnMouseDown;
    std::function<void(THvControlButton*)> OnGlyphChanged;
    // Whether the button sits in spin buttons of a spin edit (face colour).
    bool InSpinEdit = false;

    QTimer* RepeatTimer() const { return repeatTimer_; }
    virtual void Click();
    void PaintInto(Canvas& c) override;

  signals:
    void clicked();

  protected:
    void PaintPlainFace(Canvas& c, TRect& r);
    void PaintArrowFace(Canvas& c, TRect& r);
    void PaintDropDownFace(Canvas& c, TRect& r);
    void PaintGlyphImage(Canvas& c, TRect r);
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void paintEvent(QPaintEvent*) override { PaintWidgetFromCanvas(this, this); }

  private:
    void RepeatTick();
    void SyncHotState();
    bool lit() const { return down_ || (mouseIn_ && isEnabled()); }
    bool down_ = false;
    bool dragging_ = false;
    bool flat_ = false;
    bool mouseIn_ = false;
    Surface glyph_;
    int numGlyphs_ = 1;
    bool repeatClicks_ = false;
    QTimer* repeatTimer_ = nullptr;
    int initialDelay_ = 400;
    int delay_ = 100;
    int style_ = cbsNone;
    int color_ = clBtnFace;
};

} // namespace hv
