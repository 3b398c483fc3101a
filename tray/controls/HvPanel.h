// Panels with their own borders, backgrounds, grid and caption, and group
// boxes drawn on top of them.
#pragma once

#include "HvGrafx.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace hv {

enum THvGroupBoxStyle : int { gsStandard, gsCustom, gsTopLine, gsFlat, gsBanner, gsUnderline };
enum TAlign : int { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TDragState : int { dsDragEnter, dsDragLeave, dsDragMove };

class THvCustomPanel;

// What a docking carries: the client, where it is dropped and how it is
// placed against the client it is dropped on.
struct THvDragDockObject {
    QWidget* Control = nullptr;
    QWidget* DropOnControl = nullptr;
    int DropAlign = alNone; // TAlign: the side of DropOnControl, alNone for the end
    TRect DockRect;         // in screen coordinates
    bool Floating = false;
};

// The dock tree of a panel that is a dock site: it lays its docked clients
// out in zones side by side (top- and bottom-aligned panels) or one above the
// other, and draws each zone's grabber: the client's caption with a close
// glyph, or the plain grabber lines and close button.
class THvPanelDockManager : public QObject {
    Q_OBJECT
  public:
    explicit THvPanelDockManager(THvCustomPanel* site);
    ~THvPanelDockManager() override;

    static constexpr int kGrabberSize = 14;
    int GrabberSize() const { return kGrabberSize; }
    const QFont& CaptionFont() const { return captionFont_; }
    const QFont& CloseGlyphFont() const { return closeFont_; }
    THvCustomPanel* DockSite() const { return site_; }

    // insertAt is a TAlign against dropControl: alLeft or alTop before it,
    // anything else after it (at the end when dropControl is not docked).
    void InsertControl(QWidget* control, int insertAt, QWidget* dropControl);
    void RemoveControl(QWidget* control);
    bool Contains(const QWidget* control) const;
    QList<QWidget*> Clients() const;
    // Lays the clients out again in the site's dock client rectangle.
    void ResetBounds();

    // Grabbers stand at the left of their zones for a site aligned to the top
    // or bottom, else across their tops.
    bool VerticalGrabbers() const;
    TRect ZoneRect(const QWidget* client) const;
    void AdjustDockRect(TRect& r) const;
    TRect GrabberRect(const QWidget* client) const;
    TRect CloseRect(const QWidget* client) const;
    // Whether the client's caption shows in the active caption colours.
    bool ShowsActive(const QWidget* client) const;
    // What a grabber shows for the client: its Caption, else its window title.
    static QString ClientCaption(const QWidget* client);

    virtual void PaintSite(Canvas& c);
    virtual void PaintDockFrame(Canvas& c, QWidget* client, const TRect& zone);

    enum HitPart { hpNone, hpGrabber, hpClose };
    HitPart HitTest(const QPoint& p, QWidget** client) const;
    // Mouse on the site: a press on a grabber starts dragging the client out,
    // a click on the close glyph closes it. True when the manager took it.
    bool MouseDown(const QPoint& p, Qt::MouseButton button, const QPoint& global);
    bool MouseMove(const QPoint& p, const QPoint& global);
    bool MouseUp(const QPoint& p, Qt::MouseButton button, const QPoint& global);
    bool IsDragging() const { return dragging_; }
    THvCustomPanel* DragTarget() const { return dragTarget_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private slots:
    void ClientDestroyed(QObject* gone);

  private:
    QList<QWidget*> visibleClients() const;
    void removeClient(const QObject* control);
    void updateDragTarget(const QPoint& global);
    void endDrag();
    THvCustomPanel* site_;
    QList<QPointer<QWidget>> clients_;
    QFont captionFont_;
    QFont closeFont_;
    QPointer<QWidget> pressedClose_;
    QPointer<QWidget> dragClient_;
    QPoint pressGlobal_;
    bool dragging_ = false;
    QPointer<THvCustomPanel> dragTarget_;
    bool dragAccepted_ = false;
    THvDragDockObject dragObject_;
};

// Docks control into site (the toolkit's ManualDock): its old site must allow
// the undocking; a null site floats it in a window of its own at floatRect.
bool ManualDock(QWidget* control, THvCustomPanel* site, QWidget* dropControl = nullptr,
                int controlSide = alNone, const QRect& floatRect = QRect());
// The dock site a control is docked in, or none.
THvCustomPanel* HostDockSite(const QWidget* control);

class THvCustomPanel : public QWidget,
                       public HvCanvasPainter,
                       public HvStreamable,
                       public IHvFrameControllerNotify {
    Q_OBJECT
    Q_INTERFACES(hv::IHvFrameControllerNotify)
    Q_PROPERTY(int Alignment READ Alignment WRITE SetAlignment)
    Q_PROPERTY(int VerticalAlignment READ VerticalAlignment WRITE SetVerticalAlignment)
    Q_PROPERTY(int BevelWidth READ BevelWidth WRITE SetBevelWidth)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)
    Q_PROPERTY(int BorderInner READ BorderInner WRITE SetBorderInner)
    Q_PROPERTY(int BorderOuter READ BorderOuter WRITE SetBorderOuter)
    Q_PROPERTY(int BorderSides READ BorderSides WRITE SetBorderSides)
    Q_PROPERTY(int BorderColor READ BorderColor WRITE SetBorderColor)
    Q_PROPERTY(int BorderLightColor READ BorderLightColor WRITE SetBorderLightColor)
    Q_PROPERTY(int BorderDarkColor READ BorderDarkColor WRITE SetBorderDarkColor)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(int Color READ Color WRITE SetColor)
    Q_PROPERTY(bool ParentColor READ ParentColor WRITE SetParentColor)
    Q_PROPERTY(int FlatColor READ FlatColor WRITE SetFlatColor)
    Q_PROPERTY(int FlatColorAdjustment READ FlatColorAdjustment WRITE SetFlatColorAdjustment)
    Q_PROPERTY(bool FillClientArea READ FillClientArea WRITE SetFillClientArea)
    Q_PROPERTY(int VisualStyle READ VisualStyle WRITE SetVisualStyle)
    Q_PROPERTY(int GradientColorStyle READ GradientColorStyle WRITE SetGradientColorStyle)
    Q_PROPERTY(int GradientColorStart READ GradientColorStart WRITE SetGradientColorStart)
    Q_PROPERTY(int GradientColorStop READ GradientColorStop WRITE SetGradientColorStop)
    Q_PROPERTY(int GradientDirection READ GradientDirection WRITE SetGradientDirection)
    Q_PROPERTY(int GridLineColor READ GridLineColor WRITE SetGridLineColor)
    Q_PROPERTY(int GridPattern READ GridPattern WRITE SetGridPattern)
    Q_PROPERTY(int GridSpacingX READ GridSpacingX WRITE SetGridSpacingX)
    Q_PROPERTY(int GridSpacingY READ GridSpacingY WRITE SetGridSpacingY)
    Q_PROPERTY(bool GridVisible READ GridVisible WRITE SetGridVisible)
    Q_PROPERTY(int Transparent READ Transparent WRITE SetTransparent)
    Q_PROPERTY(int CaptionIndentX READ CaptionIndentX WRITE SetCaptionIndentX)
    Q_PROPERTY(int CaptionIndentY READ CaptionIndentY WRITE SetCaptionIndentY)
    Q_PROPERTY(bool CaptionWordWrap READ CaptionWordWrap WRITE SetCaptionWordWrap)
    Q_PROPERTY(
        bool ShowDockClientCaptions READ ShowDockClientCaptions WRITE SetShowDockClientCaptions)
    Q_PROPERTY(int FrameControllerNotifications READ FrameControllerNotifications WRITE
                   SetFrameControllerNotifications)
    Q_PROPERTY(bool DockSite READ DockSite WRITE SetDockSite)
    Q_PROPERTY(bool UseDockManager READ UseDockManager WRITE SetUseDockManager)
  public:
    explicit THvCustomPanel(QWidget* parent = nullptr);
    ~THvCustomPanel() override;

    bool DockSite() const { return dockSite_; }
    bool UseDockManager() const { return useDockManager_; }
    void SetDockSite(bool v);
    void SetUseDockManager(bool v);
    THvPanelDockManager* DockManager() const { return dockManager_.get(); }
    // The client rectangle as docking and alignment see it: inside the border
    // width and, for a dock site, inside the borders.
    virtual void AdjustClientRect(TRect& r) const;
    TRect DockClientRect() const;
    int DockClientCount() const;
    QWidget* DockClients(int i) const;

    // The dock events, with the toolkit's defaults when unassigned.
    void DockDrop(THvDragDockObject& source, int x, int y);
    bool DockOver(THvDragDockObject& source, int x, int y, TDragState state);
    void GetSiteInfo(QWidget* client, TRect& influenceRect, const QPoint& mousePos, bool& canDock);
    bool DoUnDock(QWidget* newTarget, QWidget* client);

    // Runs at the end of Paint, on the canvas the panel paints on.
    std::function<void(THvCustomPanel*, Canvas&)> OnPaint;
    std::function<void(THvCustomPanel*, THvDragDockObject&, int x, int y)> OnDockDrop;
    std::function<void(THvCustomPanel*, THvDragDockObject&, int x, int y, TDragState, bool& accept)>
        OnDockOver;
    std::function<void(THvCustomPanel*, QWidget* client, TRect& influenceRect, QPoint mousePos,
                       bool& canDock)>
        OnGetSiteInfo;
    std::function<void(THvCustomPanel*, QWidget* client, QWidget* newTarget, bool& allow)> OnUnDock;

    int Alignment() const { return alignment_; }
    int VerticalAlignment() const { return verticalAlignment_; }
    int BevelWidth() const { return bevelWidth_; }
    int BorderWidth() const { return borderWidth_; }
    int BorderInner() const { return borderInner_; }
    int BorderOuter() const { return borderOuter_; }
    int BorderSides() const { return borderSides_; }
    int BorderColor() const { return borderColor_; }
    int BorderLightColor() const { return borderLightColor_; }
    int BorderDarkColor() const { return borderDarkColor_; }
    QString Caption() const { return caption_; }
    int Color() const;
    bool ParentColor() const { return parentColor_; }
    int FlatColor() const { return flatColor_; }
    int FlatColorAdjustment() const { return flatColorAdjustment_; }
    bool FillClientArea() const { return fillClientArea_; }
    int VisualStyle() const { return visualStyle_; }
    int GradientColorStyle() const { return gradientColorStyle_; }
    int GradientColorStart() const { return gradientColorStart_; }
    int GradientColorStop() const { return gradientColorStop_; }
    int GradientDirection() const { return gradientDirection_; }
    int GridLineColor() const { return gridLineColor_; }
    int GridPattern() const { return gridPattern_; }
    int GridSpacingX() const { return gridSpacingX_; }
    int GridSpacingY() const { return gridSpacingY_; }
    bool GridVisible() const { return gridVisible_; }
    int Transparent() const { return transparent_ ? 1 : 0; }
    int CaptionIndentX() const { return captionIndentX_; }
    int CaptionIndentY() const { return captionIndentY_; }
    bool CaptionWordWrap() const { return captionWordWrap_; }
    bool ShowDockClientCaptions() const { return showDockClientCaptions_; }
    int FrameControllerNotifications() const { return notifications_; }
    THvFrameController* FrameController() const { return frameController_; }
    int Align() const { return align_; }
    bool FullRepaint() const { return fullRepaint_; }

    void SetAlignment(int v);
    void SetVerticalAlignment(int v);
    void SetBevelWidth(int v);
    void SetBorderWidth(int v);
    void SetBorderInner(int v);
    void SetBorderOuter(int v);
    void SetBorderSides(int v);
    void SetBorderColor(int v);
    void SetBorderLightColor(int v);
    void SetBorderDarkColor(int v);
    void SetCaption(const QString& v);
    void SetColor(int v);
    void SetParentColor(bool v);
    void SetFlatColor(int v);
    void SetFlatColorAdjustment(int v);
    void SetFillClientArea(bool v);
    void SetVisualStyle(int v);
    void SetGradientColorStyle(int v);
    void SetGradientColorStart(int v);
    void SetGradientColorStop(int v);
    void SetGradientDirection(int v);
    void SetGridLineColor(int v);
    void SetGridPattern(int v);
    void SetGridSpacingX(int v);
    void SetGridSpacingY(int v);
    void SetGridVisible(bool v);
    void SetTransparent(int v);
    void SetCaptionIndentX(int v);
    void SetCaptionIndentY(int v);
    void SetCaptionWordWrap(bool v);
    void SetShowDockClientCaptions(bool v);
    void SetFrameControllerNotifications(int v) { notifications_ = v; }
    void SetFrameController(THvFrameController* c);
    void SetAlign(int v);
    void SetFullRepaint(bool v) { fullRepaint_ = v; }
    // Moves and sizes the panel; aligned to the bottom (right) it keeps its
    // bottom (right) edge when the height (width) changes.
    void SetBounds(int left, int top, int w, int h);

    // The mouse position in the panel's client coordinates.
    virtual TPoint CursorClientPos() const;
    // Insets of the borders (and, when asked, the border width).
    void ShrinkByBorders(TRect& r, bool includeBorderWidth) const;
    TRect WholeRect() const { return Rect(0, 0, width(), height()); }
    virtual TPoint RepaintStripSize() const { return {1, 1}; }
    void GradientColorsInUse(TColor& start, TColor& stop) const;
    void FlatFrameColorInUse(TColor& color, int& adjustment) const;
    // The client area that children are laid out in: inside the borders,
    // then as AdjustClientRect narrows it.
    TRect ClientRectForChildren() const;

    void FrameControllerChanged() override;
    void PaintInto(Canvas& c) override;
    bool ReadObsoleteProperty(const QString& name, const QVariant& value) override;
    // The grid's pixels for a rectangle (pattern 0), for tests.
    std::vector<TPoint> GridDots(const TRect& r) const;

  protected:
    virtual void Paint(Canvas& c);
    virtual void PaintCaptionText(Canvas& c, TRect r);
    // The factory: a dock manager for a dock site that uses one, else none.
    virtual THvPanelDockManager* CreateDockManager();
    void PaintGrid(Canvas& c, TRect r);
    void Realign();
    void paintEvent(QPaintEvent*) override { PaintWidgetFromCanvas(this, this); }
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    unsigned AlignmentFlag() const;

  private:
    // After a change of DockSite or UseDockManager: no dock manager unless
    // both are on, else the one there or a new one from the factory.
    void RenewDockManager();

    int alignment_ = taCenter;
    int verticalAlignment_ = avCenter;
    int bevelWidth_ = 1;
    int borderWidth_ = 0;
    int borderInner_ = fsNone;
    int borderOuter_ = fsRaised;
    int borderSides_ = sdAll;
    int borderColor_ = clBtnFace;
    int borderLightColor_ = clBtnHighlight;
    int borderDarkColor_ = clBtnShadow;
    QString caption_;
    int color_ = clBtnFace;
    bool parentColor_ = false;
    int flatColor_ = clBtnShadow;
    int flatColorAdjustment_ = 30;
    bool fillClientArea_ = true;
    int visualStyle_ = vsWinXP;
    int gradientColorStyle_ = gcsSystem;
    int gradientColorStart_ = clWhite;
    int gradientColorStop_ = clBtnFace;
    int gradientDirection_ = gdHorizontalEnd;
    int gridLineColor_ = clBtnShadow;
    int gridPattern_ = 0;
    int gridSpacingX_ = 8;
    int gridSpacingY_ = 8;
    bool gridVisible_ = false;
    bool transparent_ = false;
    int captionIndentX_ = 0;
    int captionIndentY_ = 0;
    bool captionWordWrap_ = true;
    bool showDockClientCaptions_ = true;
    int notifications_ = fcnAll;
    int align_ = alNone;
    bool fullRepaint_ = true;
    bool dockSite_ = false;
    bool useDockManager_ = true;
    std::unique_ptr<THvPanelDockManager> dockManager_;
    QPointer<THvFrameController> frameController_;
};

class THvCustomGroupBox : public THvCustomPanel {
    Q_OBJECT
    Q_PROPERTY(int GroupStyle READ GroupStyle WRITE SetGroupStyle)
  public:
    explicit THvCustomGroupBox(QWidget* parent = nullptr);
    int GroupStyle() const { return groupStyle_; }
    void SetGroupStyle(int v);
    // The panel's client rectangle, then the caption's room by the style.
    void AdjustClientRect(TRect& r) const override;
    // The caption rectangle of the classic look.
    TRect CaptionRect() const;
    void FrameControllerChanged() override;

  protected:
    void Paint(Canvas& c) override;
    void keyPressEvent(QKeyEvent* e) override;
    bool event(QEvent* e) override;

  private:
    int groupStyle_ = gsFlat;
};

class THvGroupBox : public THvCustomGroupBox {
    Q_OBJECT
  public:
    using THvCustomGroupBox::THvCustomGroupBox;
};

class THvPanel : public THvCustomPanel {
    Q_OBJECT
  public:
    using THvCustomPanel::THvCustomPanel;
};

} // namespace hv
