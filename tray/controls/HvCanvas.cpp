#include "HvCanvas.h"

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace hv {

namespace {

// The classic Windows grey scheme, by COLOR_ index.
constexpr std::uint32_t kSystemColors[] = {
    0xC8D0D4, // 0 scroll bar
    0x808000, // 1 desktop
    0x6A240A, // 2 active caption
    0x808080, // 3 inactive caption
    0xC0C0C0, // 4 menu
    0xFFFFFF, // 5 window
    0x000000, // 6 window frame
    0x000000, // 7 menu text
    0x000000, // 8 window text
    0xFFFFFF, // 9 caption text
    0xC0C0C0, // 10 active border
    0xC0C0C0, // 11 inactive border
    0x808080, // 12 application workspace
    0x800000, // 13 highlight (navy as COLORREF)
    0xFFFFFF, // 14 highlight text
    0xC0C0C0, // 15 button face
    0x808080, // 16 button shadow
    0x808080, // 17 grey text
    0x000000, // 18 button text
    0xC0C0C0, // 19 inactive caption text
    0xFFFFFF, // 20 button highlight
    0x000000, // 21 3D dark shadow
    0xDFDFDF, // 22 3D light
    0x000000, // 23 info text
    0xE1FFFF, // 24 info background
    0xB5B5B5, // 25
    0xFF0000, // 26 hot light
    0xF0CAA6, // 27 gradient active caption
    0xC0C0C0, // 28 gradient inactive caption
    0x6A240A, // 29 menu highlight
    0xC0C0C0, // 30 menu bar
};

inline std::uint32_t toPixel(std::uint32_t rgb) {
    return 0xFF000000u | (std::uint32_t(GetRValue(rgb)) << 16) |
           (std::uint32_t(GetGValue(rgb)) << 8) | std::uint32_t(GetBValue(rgb));
}
inline TColor fromPixel(std::uint32_t p) {
    return TColor(RGB(int((p >> 16) & 0xFF), int((p >> 8) & 0xFF), int(p & 0xFF)));
}

} // namespace

std::uint32_t ColorToRGB(TColor c) {
    const auto u = std::uint32_t(c);
    if ((u & 0xFF000000u) == 0xFF000000u) {
        const auto idx = u & 0xFFu;
        return idx < std::size(kSystemColors) ? kSystemColors[idx] : 0;
    }
    if (c == clNone) return 0;
    return u & 0x00FFFFFFu;
}

QColor ToQColor(TColor c) {
    const auto rgb = ColorToRGB(c);
    return QColor(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

TRect IntersectRect(const TRect& a, const TRect& b) {
    TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
            std::min(a.Bottom, b.Bottom)};
    if (r.IsEmpty()) return {};
    return r;
}

// ---------------------------------------------------------------- Surface

Surface::Surface(int w, int h, TColor fill)
    : w_(std::max(w, 0)), h_(std::max(h, 0)),
      px_(size_t(w_) * size_t(h_), toPixel(ColorToRGB(fill))) {}

TColor Surface::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return -1;
    return fromPixel(px_[size_t(y) * size_t(w_) + size_t(x)]);
}

void Surface::setPixel(int x, int y, TColor c) {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return;
    px_[size_t(y) * size_t(w_) + size_t(x)] = toPixel(ColorToRGB(c));
}

void Surface::fill(TColor c) {
    std::fill(px_.begin(), px_.end(), toPixel(ColorToRGB(c)));
}

QImage Surface::image() {
    if (isNull()) return QImage();
    return QImage(reinterpret_cast<uchar*>(px_.data()), w_, h_, w_ * 4, QImage::Format_RGB32);
}

QImage Surface::toImage() const {
    if (isNull()) return QImage();
    return QImage(reinterpret_cast<const uchar*>(px_.data()), w_, h_, w_ * 4, QImage::Format_RGB32)
        .copy();
}

Surface Surface::fromImage(const QImage& img) {
    const QImage src = img.convertToFormat(QImage::Format_RGB32);
    Surface s(src.width(), src.height());
    for (int y = 0; y < src.height(); ++y) {
        const auto* line = reinterpret_cast<const std::uint32_t*>(src.constScanLine(y));
        std::copy(line, line + src.width(), s.px_.begin() + std::ptrdiff_t(y) * src.width());
    }
    return s;
}

// ---------------------------------------------------------------- Canvas

Canvas::Canvas(Surface& s) : s_(&s) {}

bool Canvas::visible(int dx, int dy) const {
    if (dx < 0 || dy < 0 || dx >= s_->width() || dy >= s_->height()) return false;
    return clip_.empty() || clip_[size_t(dy) * size_t(s_->width()) + size_t(dx)] != 0;
}

void Canvas::plot(int lx, int ly, std::uint32_t rgb) {
    const int dx = lx + org_.X, dy = ly + org_.Y;
    if (!visible(dx, dy)) return;
    s_->raw()[size_t(dy) * size_t(s_->width()) + size_t(dx)] = toPixel(rgb);
}

void Canvas::SetPixel(int x, int y, TColor c) {
    plot(x, y, ColorToRGB(c));
}

TColor Canvas::GetPixel(int x, int y) const {
    return s_->pixel(x + org_.X, y + org_.Y);
}

void Canvas::LineTo(int x, int y) {
    const TPoint from = pen_;
    pen_ = {x, y};
    if (Pen.Style == PenStyle::Clear) return;
    const std::uint32_t rgb = ColorToRGB(Pen.Color);
    // Bresenham; the end point itself is not drawn.
    int x0 = from.X, y0 = from.Y;
    const int dx = std::abs(x - x0), sx = x0 < x ? 1 : -1;
    const int dy = -std::abs(y - y0), sy = y0 < y ? 1 : -1;
    int err = dx + dy;
    int n = 0;
    while (!(x0 == x && y0 == y)) {
        if (Pen.Style == PenStyle::Solid || (n % 2) == 0) plot(x0, y0, rgb);
        ++n;
        const int e2 = 2 * err;
        if (e2 >= dy) err += dy, x0 += sx;
        if (e2 <= dx) err += dx, y0 += sy;
    }
}

void Canvas::Line(int x0, int y0, int x1, int y1, TColor c) {
    Pen.Color = c;
    MoveTo(x0, y0);
    LineTo(x1, y1);
}

std::uint32_t Canvas::brushPixel(int dx, int dy) const {
    if (Brush.Pattern && !Brush.Pattern->isNull()) {
        const int pw = Brush.Pattern->width(), ph = Brush.Pattern->height();
        return std::uint32_t(Brush.Pattern->pixel(((dx % pw) + pw) % pw, ((dy % ph) + ph) % ph));
    }
    return ColorToRGB(Brush.Color);
}

void Canvas::FillRect(const TRect& r) {
    if (Brush.Style == BrushStyle::Clear && !Brush.Pattern) return;
    for (int y = r.Top; y < r.Bottom; ++y)
        for (int x = r.Left; x < r.Right; ++x)
            plot(x, y, brushPixel(x + org_.X, y + org_.Y));
}

void Canvas::FillRect(const TRect& r, TColor c) {
    const std::uint32_t rgb = ColorToRGB(c);
    const TRect dev =
        IntersectRect(OffsetRect(r, org_.X, org_.Y), Rect(0, 0, s_->width(), s_->height()));
    for (int y = dev.Top; y < dev.Bottom; ++y)
        for (int x = dev.Left; x < dev.Right; ++x)
            if (visible(x, y))
                s_->raw()[size_t(y) * size_t(s_->width()) + size_t(x)] = toPixel(rgb);
}

void Canvas::Polygon(const std::vector<TPoint>& pts) {
    if (pts.size() < 3 || (Brush.Style == BrushStyle::Clear && !Brush.Pattern)) return;
    int ymin = pts[0].Y, ymax = pts[0].Y;
    for (const auto& p : pts)
        ymin = std::min(ymin, p.Y), ymax = std::max(ymax, p.Y);
    std::vector<double> xs;
    for (int y = ymin; y < ymax; ++y) {
        const double yc = y + 0.5;
        xs.clear();
        for (size_t i = 0; i < pts.size(); ++i) {
            const TPoint a = pts[i], b = pts[(i + 1) % pts.size()];
            if (a.Y == b.Y) continue;
            const double y0 = std::min(a.Y, b.Y), y1 = std::max(a.Y, b.Y);
            if (yc < y0 || yc >= y1) continue;
            xs.push_back(a.X + (yc - a.Y) * double(b.X - a.X) / double(b.Y - a.Y));
        }
        std::sort(xs.begin(), xs.end());
        for (size_t i = 0; i + 1 < xs.size(); i += 2) {
            // Pixel x is inside when its centre x + 0.5 lies in [xa, xb).
            const int xa = int(std::ceil(xs[i] - 0.5));
            const int xb = int(std::ceil(xs[i + 1] - 0.5));
            for (int x = xa; x < xb; ++x)
                plot(x, y, brushPixel(x + org_.X, y + org_.Y));
        }
    }
}

void Canvas::ExcludeClipRect(const TRect& r) {
    const int w = s_->width(), h = s_->height();
    if (clip_.empty()) clip_.assign(size_t(w) * size_t(h), 1);
    const TRect dev = IntersectRect(OffsetRect(r, org_.X, org_.Y), Rect(0, 0, w, h));
    for (int y = dev.Top; y < dev.Bottom; ++y)
        for (int x = dev.Left; x < dev.Right; ++x)
            clip_[size_t(y) * size_t(w) + size_t(x)] = 0;
}

void Canvas::IntersectClipRect(const TRect& r) {
    const int w = s_->width(), h = s_->height();
    if (clip_.empty()) clip_.assign(size_t(w) * size_t(h), 1);
    const TRect dev = OffsetRect(r, org_.X, org_.Y);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (!dev.Contains(x, y)) clip_[size_t(y) * size_t(w) + size_t(x)] = 0;
}

TRect Canvas::ClipBox() const {
    const int w = s_->width(), h = s_->height();
    TRect box{w, h, 0, 0};
    if (clip_.empty()) {
        box = Rect(0, 0, w, h);
    } else {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (clip_[size_t(y) * size_t(w) + size_t(x)]) {
                    box.Left = std::min(box.Left, x), box.Top = std::min(box.Top, y);
                    box.Right = std::max(box.Right, x + 1),
                    box.Bottom = std::max(box.Bottom, y + 1);
                }
    }
    if (box.IsEmpty()) return {};
    return OffsetRect(box, -org_.X, -org_.Y);
}

void Canvas::SaveDC() {
    saved_.push_back({Pen, Brush, Font, FontColor, org_, clip_});
}

void Canvas::RestoreDC() {
    if (saved_.empty()) return;
    Saved s = std::move(saved_.back());
    saved_.pop_back();
    Pen = s.pen, Brush = s.brush, Font = s.font, FontColor = s.fontColor, org_ = s.org;
    clip_ = std::move(s.clip);
}

void Canvas::BitBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy) {
    StretchBlt(x, y, w, h, src, sx, sy, w, h);
}

namespace {
// Destination pixel i (0 .. |n|-1) of an extent n starting at p.
inline int destAt(int p, int n, int i) {
    return n >= 0 ? p + i : p - i;
}
// Nearest source index for destination index i when |dn| pixels show |sn|.
inline int srcIndex(int i, int dn, int sn) {
    const int adn = std::abs(dn), asn = std::abs(sn);
    const int k = int((std::int64_t(i) * asn) / adn);
    return sn >= 0 ? k : -k;
}
} // namespace

void Canvas::StretchBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy, int sw,
                        int sh) {
    MaskedStretchBlt(x, y, w, h, src, sx, sy, sw, sh, MonoMask{}, 0, 0);
}

void Canvas::MaskedStretchBlt(int x, int y, int w, int h, const Canvas& src, int sx, int sy, int sw,
                              int sh, const MonoMask& mask, int mx, int my) {
    if (w == 0 || h == 0 || sw == 0 || sh == 0) return;
    // Read the whole source block first, so that copies within one surface
    // see the source as it was.
    const int aw = std::abs(w), ah = std::abs(h);
    std::vector<std::uint32_t> block(size_t(aw) * size_t(ah));
    std::vector<std::uint8_t> masked(block.size(), 0);
    for (int j = 0; j < ah; ++j) {
        const int syy = sy + srcIndex(j, h, sh);
        for (int i = 0; i < aw; ++i) {
            const int sxx = sx + srcIndex(i, w, sw);
            const TColor c = src.GetPixel(sxx, syy);
            block[size_t(j) * size_t(aw) + size_t(i)] = std::uint32_t(c);
            const bool outside = c < 0;
            const bool maskBit = mask.w > 0 && mask.at(mx + (sxx - sx), my + (syy - sy));
            masked[size_t(j) * size_t(aw) + size_t(i)] = (outside || maskBit) ? 1 : 0;
        }
    }
    for (int j = 0; j < ah; ++j)
        for (int i = 0; i < aw; ++i)
            if (!masked[size_t(j) * size_t(aw) + size_t(i)])
                plot(destAt(x, w, i), destAt(y, h, j), block[size_t(j) * size_t(aw) + size_t(i)]);
}

MonoMask Canvas::MonoMaskOf(int x, int y, int w, int h, TColor bg) const {
    MonoMask m;
    m.w = std::max(w, 0), m.h = std::max(h, 0);
    m.bits.assign(size_t(m.w) * size_t(m.h), 0);
    const auto key = TColor(ColorToRGB(bg));
    for (int j = 0; j < m.h; ++j)
        for (int i = 0; i < m.w; ++i)
            m.bits[size_t(j) * size_t(m.w) + size_t(i)] = GetPixel(x + i, y + j) == key ? 1 : 0;
    return m;
}

int QtTextFlags(unsigned f) {
    int q = 0;
    if (f & DT_CENTER)
        q |= Qt::AlignHCenter;
    else if (f & DT_RIGHT)
        q |= Qt::AlignRight;
    else
        q |= Qt::AlignLeft;
    if ((f & DT_SINGLELINE) && (f & DT_VCENTER))
        q |= Qt::AlignVCenter;
    else if ((f & DT_SINGLELINE) && (f & DT_BOTTOM))
        q |= Qt::AlignBottom;
    else
        q |= Qt::AlignTop;
    if ((f & DT_WORDBREAK) && !(f & DT_SINGLELINE)) q |= Qt::TextWordWrap;
    if (f & DT_SINGLELINE) q |= Qt::TextSingleLine;
    if (f & DT_EXPANDTABS) q |= Qt::TextExpandTabs;
    q |= (f & DT_NOPREFIX) ? 0 : Qt::TextShowMnemonic;
    return q;
}

int Canvas::DrawText(const QString& text, TRect& r, unsigned flags) {
    const QFontMetrics fm(Font);
    const int qf = QtTextFlags(flags);
    const QRect bound = fm.boundingRect(
        QRect(r.Left, r.Top, std::max(r.Width(), 1), std::max(r.Height(), 1)), qf, text);
    if (flags & DT_CALCRECT) {
        const int w = (flags & DT_WORDBREAK) ? std::max(r.Width(), bound.width()) : bound.width();
        r.Right = r.Left + w;
        r.Bottom = r.Top + bound.height();
        return bound.height();
    }
    if (r.IsEmpty() || text.isEmpty()) return bound.height();
    // Draw onto a transparent scratch image, then copy the covered pixels in
    // through the clip region and the viewport origin.
    QImage scratch(r.Width(), r.Height(), QImage::Format_ARGB32_Premultiplied);
    scratch.fill(Qt::transparent);
    {
        QPainter p(&scratch);
        p.setFont(Font);
        p.setPen(ToQColor(FontColor));
        if (flags & DT_RTLREADING) p.setLayoutDirection(Qt::RightToLeft);
        p.drawText(QRect(0, 0, r.Width(), r.Height()), qf, text);
    }
    blendText(scratch, r.Left, r.Top);
    return bound.height();
}

void Canvas::TextOut(int x, int y, const QString& text) {
    const TPoint e = TextExtent(text);
    TRect r{x, y, x + e.X, y + e.Y};
    DrawText(text, r, DT_SINGLELINE | DT_NOPREFIX);
}

void Canvas::blendText(const QImage& scratch, int left, int top) {
    for (int j = 0; j < scratch.height(); ++j) {
        const auto* line = reinterpret_cast<const QRgb*>(scratch.constScanLine(j));
        for (int i = 0; i < scratch.width(); ++i) {
            const QRgb c = line[i];
            const int a = qAlpha(c);
            if (a == 0) continue;
            const int lx = left + i, ly = top + j;
            const TColor under = GetPixel(lx, ly);
            if (under < 0) continue;
            const auto ub = std::uint32_t(under);
            // Premultiplied source over the destination.
            const int rr = qRed(c) + GetRValue(ub) * (255 - a) / 255;
            const int gg = qGreen(c) + GetGValue(ub) * (255 - a) / 255;
            const int bb = qBlue(c) + GetBValue(ub) * (255 - a) / 255;
            plot(lx, ly, RGB(std::min(rr, 255), std::min(gg, 255), std::min(bb, 255)));
        }
    }
}

void Canvas::TextOutRotated(int x, int y, const QString& text, int escapement) {
    if (text.isEmpty()) return;
    const TPoint e = TextExtent(text);
    // GDI turns the text cell about its top-left corner, counter-clockwise
    // by the escapement (tenths of a degree); screen y grows downwards.
    QTransform turn;
    turn.rotate(-escapement / 10.0);
    const QRect bounds = turn.mapRect(QRectF(0, 0, e.X, e.Y)).toAlignedRect();
    QImage scratch(bounds.size(), QImage::Format_ARGB32_Premultiplied);
    scratch.fill(Qt::transparent);
    {
        QPainter p(&scratch);
        p.translate(-bounds.left(), -bounds.top());
        p.setTransform(turn, true);
        p.setFont(Font);
        p.setPen(ToQColor(FontColor));
        p.drawText(QRect(0, 0, e.X, e.Y), QtTextFlags(DT_SINGLELINE | DT_NOPREFIX), text);
    }
    blendText(scratch, x + bounds.left(), y + bounds.top());
}

TPoint Canvas::TextExtent(const QString& text) const {
    const QFontMetrics fm(Font);
    return {fm.horizontalAdvance(text), fm.height()};
}

} // namespace hv
