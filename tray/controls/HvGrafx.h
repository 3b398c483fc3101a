// Stateless raster routines under the control set's painting: the
// transparent glyph copy, the two block-copy helpers, the gradient painter
// with its three band engines, and the parent-backdrop painter.
#pragma once

#include "HvCommon.h"

#include <QWidget>

#include <vector>

namespace hv {

// Implemented by the controls that draw themselves onto a canvas, so that a
// child that looks transparent can have its parent paint behind it.
class HvCanvasPainter {
  public:
    virtual ~HvCanvasPainter() = default;
    // Erases the background and paints the control, in its own coordinates.
    virtual void PaintInto(Canvas& c) = 0;
};

// Runs a control's canvas painting and puts the result on the widget.
void PaintWidgetFromCanvas(QWidget* w, HvCanvasPainter* painter);
// The control as it paints itself, for tests and the gallery.
Surface RenderControl(QWidget* w);

void PaintBitmapTransparent(Canvas& canvas, const Surface& bitmap, TRect dest,
                            TColor transparentColor, TRect source);
// Fills totalW x totalH by doubling the painted filledW x filledH block at
// (x, y). Returns the destination rectangles of the copies, in order.
std::vector<TRect> DoublingFillBlit(Canvas& dc, int x, int y, int totalW, int totalH, int filledW,
                                    int filledH);
// Completes a picture from its painted top-left quadrant: the left half
// ((w + 1) div 2 columns, the centre column of an odd width included) is
// mirrored into the bottom rows, then exactly w div 2 columns into the right.
void MirrorQuadrants(Canvas& dc, int x, int y, int w, int h);

// Extra steps per band from the Steps argument.
int MinBandExtra(int steps, bool boxEngine);
void PaintLinearBands(Canvas& dc, int splitX, int splitY, int extent, TColor a, TColor b,
                      int steps);
void PaintBoxBands(Canvas& dc, int w, int h, int insetX, int insetY, TColor a, TColor b, int steps);
void PaintDiagonalBands(Canvas& dc, int extentX, int h, TColor a, TColor b, int steps);
void PaintGradient(Canvas& canvas, TRect r, TGradientDirection dir, TColor a, TColor b, int steps);

// Has the parent of control paint its image into dc, shifted so that it lies
// under the control.
void PaintParentBackground(QWidget* control, Canvas& dc, bool invalidateParent);

} // namespace hv
