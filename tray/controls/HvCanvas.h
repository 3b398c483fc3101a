// A raster canvas with the semantics of a Windows GDI device context, over a
// 32-bit surface that QImage and QPainter share for text.
//
// The control set draws pixel by pixel the way GDI does: a line leaves out its
// end pixel, a filled rectangle leaves out its right column and bottom row, a
// stretch blit with a negative extent mirrors, and clipping and the viewport
// origin apply to everything drawn. Qt's raster engine antialiases and uses a
// different edge rule, so the borders and gradients are drawn here instead;
// QPainter is used only for text, drawn onto a scratch image and copied in
// through the clip.
#pragma once

#include <QFont>
#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

namespace hv {

// A colour as the control set stores it: a COLORREF (0x00BBGGRR), or a system
// colour (0xFF000000 + the COLOR_ index), or clNone.
using TColor = std::int32_t;

constexpr TColor SysColor(int index) {
    return static_cast<TColor>(0xFF000000u | unsigned(index));
}

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clNavy = 0x800000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clNone = 0x1FFFFFFF;

constexpr TColor clScrollBar = SysColor(0);
constexpr TColor clBackground = SysColor(1);
constexpr TColor clActiveCaption = SysColor(2);
constexpr TColor clInactiveCaption = SysColor(3);
constexpr TColor clMenu = SysColor(4);
constexpr TColor clWindow = SysColor(5);
constexpr TColor clWindowFrame = SysColor(6);
constexpr TColor clMenuText = SysColor(7);
constexpr TColor clWindowText = SysColor(8);
constexpr TColor clCaptionText = SysColor(9);
constexpr TColor clActiveBorder = SysColor(10);
constexpr TColor clInactiveBorder = SysColor(11);
constexpr TColor clAppWorkSpace = SysColor(12);
constexpr TColor clHighlight = SysColor(13);
constexpr TColor clHighlightText = SysColor(14);
constexpr TColor clBtnFace = SysColor(15);
constexpr TColor clBtnShadow = SysColor(16);
constexpr TColor clGrayText = SysColor(17);
constexpr TColor clBtnText = SysColor(18);
constexpr TColor clInactiveCaptionText = SysColor(19);
constexpr TColor clBtnHighlight = SysColor(20);
constexpr TColor cl3DDkShadow = SysColor(21);
constexpr TColor cl3DLight = SysColor(22);
constexpr TColor clInfoText = SysColor(23);
constexpr TColor clInfoBk = SysColor(24);

// Resolves a system colour from the fixed classic (grey) scheme, so that what
// the controls draw does not depend on the desktop; other values keep their
// low 24 bits. clNone resolves to black, as the toolkit's ColorToRGB does.
std::uint32_t ColorToRGB(TColor c);

constexpr int GetRValue(std::uint32_t rgb) {
    return int(rgb & 0xFF);
}
constexpr int GetGValue(std::uint32_t rgb) {
    return int((rgb >> 8) & 0xFF);
}
constexpr int GetBValue(std::uint32_t rgb) {
    return int((rgb >> 16) & 0xFF);
}
constexpr std::uint32_t RGB(int r, int g, int b) {
    return std::uint32_t(r & 0xFF) | (std::uint32_t(g & 0xFF) << 8) |
           (std::uint32_t(b & 0xFF) << 16);
}
QColor ToQColor(TColor c);

struct TPoint {
    int X = 0;
    int Y = 0;
    bool operator==(const TPoint&) const = default;
};

// Right and Bottom are exclusive, as in a Windows RECT.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int l, int t, int r, int b) {
    return TRect{l, t, r, b};
}
inline TRect InflateRect(TRect r, int dx, int dy) {
    return TRect{r.Left - dx, r.Top - dy, r.Right + dx, r.Bottom + dy};
}
inline TRect OffsetRect(TRect r, int dx, int dy) {
    return TRect{r.Left + dx, r.Top + dy, r.Right + dx, r.Bottom + dy};
}
TRect IntersectRect(const TRect& a, const TRect& b);

// Pixels are stored as QImage::Format_RGB32 (0xFFRRGGBB) so that image()
// wraps the buffer without a copy.
class Surface {
  public:
    Surface() = default;
    Surface(int w, int h, TColor fill = clWhite);
    int width() const { return w_; }
    int height() const { return h_; }
    bool isNull() const { return w_ == 0 || h_ == 0; }
    // COLORREF of a pixel; -1 (CLR_INVALID) outside the surface.
    TColor pixel(int x, int y) const;
    void setPixel(int x, int y, TColor c);
    void fill(TColor c);
    std::uint32_t* raw() { return px_.data(); }
    const std::uint32_t* raw() const { return px_.data(); }
    QImage image();         // shares the buffer
    QImage toImage() const; // a copy
    static Surface fromImage(const QImage& img);

  private:
    int w_ = 0;
    int h_ = 0;
    std::vector<std::uint32_t> px_;
};

// A 1-bit mask as a monochrome bitmap: a bit is set where the source pixel had
// the background colour of the colour-to-monochrome blit.
struct MonoMask {
    int w = 0;
    int h = 0;
    std::vector<std::uint8_t> bits;
    bool at(int x, int y) const {
        return x >= 0 && y >= 0 && x < w && y < h && bits[size_t(y) * size_t(w) + size_t(x)];
    }
};

enum class PenStyle { Solid, Dot, Clear };
enum class BrushStyle { Solid, Clear };

// DrawText flags (the GDI values).
enum : unsigned {
    DT_LEFT = 0x0,
    DT_CENTER = 0x1,
    DT_RIGHT = 0x2,
    DT_VCENTER = 0x4,
    DT_BOTTOM = 0x8,
    DT_WORDBREAK = 0x10,
    DT_SINGLELINE = 0x20,
    DT_EXPANDTABS = 0x40,
    DT_CALCRECT = 0x400,
    DT_NOPREFIX = 0x800,
    DT_RTLREADING = 0x20000,
};

class Canvas {
  public:
    explicit Canvas(Surface& s);
    Surface& surface() { return *s_; }

    struct PenState {
        TColor Color = clBlack;
        PenStyle Style = PenStyle::Solid;
        int Width = 1;
    };
    struct BrushState {
        TColor Color = clWhite;
        BrushStyle Style = BrushStyle::Solid;
        const Surface* Pattern = nullptr; // 8 x 8 pattern brush when set
    };
    PenState Pen;
    BrushState Brush;
    QFont Font;
    TColor FontColor = clWindowText;

    // Lines leave out their end pixel; the pen position moves to the end.
    void MoveTo(int x, int y) { pen_ = {x, y}; }
    void LineTo(int x, int y);
    TPoint PenPos() const { return pen_; }
    void Line(int x0, int y0, int x1, int y1, TColor c); // MoveTo/LineTo with a pen colour

    void SetPixel(int x, int y, TColor c);
    TColor GetPixel(int x, int y) const;

    // Fills with the brush (solid or pattern); right and bottom are left out.
    void FillRect(const TRect& r);
    void FillRect(const TRect& r, TColor c);
    // Fills the polygon's interior with the brush: a pixel is inside when its
    // centre is (half-open, so shared edges are painted once).
    void Polygon(const std::vector<TPoint>& pts);

    void SetViewportOrg(int x, int y) { org_ = {x, y}; }
    void OffsetViewportOrg(int dx, int dy) { org_.X += dx, org_.Y += dy; }
    TPoint ViewportOrg() const { return org_; }

    // Clipping, in logical coordinates at the time of the call.
    void ExcludeClipRect(const TRect& r);
    void IntersectClipRect(const TRect& r);
    void ResetClip() { clip_.clear(); }
    bool HasClip() const { return !clip_.empty(); }
    // The bounding box of the visible area in logical coordinates; empty when
    // nothing can be drawn (NULLREGION).
    TRect ClipBox() const;

    void SaveDC();
    void RestoreDC();

    // Block copies, SRCCOPY. The source may be this canvas; overlapping copies
    // read the source as it was before the copy.
    void BitBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy);
    // Negative extents mirror: a destination width of -n covers x, x-1, ...,
    // x-n+1. Source pixels are picked by nearest neighbour.
    void StretchBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy, int sw, int sh);
    // Copies only where the mask bit (scaled like the source) is clear.
    void MaskedStretchBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy, int sw,
                          int sh, const MonoMask& mask, int mx, int my);
    // Colour to monochrome: bit set where the pixel equals bg.
    MonoMask MonoMaskOf(int x, int y, int w, int h, TColor bg) const;

    // Text, drawn with the canvas Font in FontColor. Returns the text height;
    // with DT_CALCRECT nothing is drawn and r is set to the text's extent.
    int DrawText(const QString& text, TRect& r, unsigned flags);
    void TextOut(int x, int y, const QString& text);
    // TextOut with a font turned by escapement tenths of a degree (900: the
    // text runs upwards from (x, y), as a LOGFONT's lfEscapement draws it).
    void TextOutRotated(int x, int y, const QString& text, int escapement);
    TPoint TextExtent(const QString& text) const;
    int TextHeight(const QString& text) const { return TextExtent(text).Y; }

  private:
    bool visible(int dx, int dy) const; // device coordinates
    // Puts antialiased text from a premultiplied scratch image at (left, top).
    void blendText(const QImage& scratch, int left, int top);
    void plot(int lx, int ly, std::uint32_t rgb);
    std::uint32_t brushPixel(int dx, int dy) const;

    struct Saved {
        PenState pen;
        BrushState brush;
        QFont font;
        TColor fontColor;
        TPoint org;
        std::vector<std::uint8_t> clip;
    };
    Surface* s_;
    TPoint pen_;
    TPoint org_;
    std::vector<std::uint8_t> clip_; // empty: no clip region; else 1 = visible
    std::vector<Saved> saved_;
};

// Maps the GDI DrawText flags onto Qt's text flags. DT_VCENTER and DT_BOTTOM
// act only together with DT_SINGLELINE, as in GDI.
int QtTextFlags(unsigned dtFlags);

} // namespace hv
