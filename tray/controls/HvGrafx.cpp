#include "HvGrafx.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>

namespace hv {

void PaintWidgetFromCanvas(QWidget* w, HvCanvasPainter* painter) {
    Surface s(w->width(), w->height());
    Canvas c(s);
    c.Font = w->font();
    painter->PaintInto(c);
    QPainter p(w);
    p.drawImage(0, 0, s.image());
}

Surface RenderControl(QWidget* w) {
    Surface s(w->width(), w->height());
    if (auto* p = dynamic_cast<HvCanvasPainter*>(w)) {
        Canvas c(s);
        c.Font = w->font();
        p->PaintInto(c);
        return s;
    }
    return Surface::fromImage(w->grab().toImage());
}

void PaintBitmapTransparent(Canvas& canvas, const Surface& bitmap, TRect dest,
                            TColor transparentColor, TRect source) {
    const int dw = dest.Width(), dh = dest.Height();
    if (dw <= 0 || dh <= 0 || source.Width() <= 0 || source.Height() <= 0) return;
    Surface src = bitmap; // the canvas reads through a non-const surface
    Canvas srcCanvas(src);
    Surface work(dw, dh);
    Canvas wc(work);
    wc.StretchBlt(0, 0, dw, dh, srcCanvas, source.Left, source.Top, source.Width(),
                  source.Height());
    const MonoMask mask = wc.MonoMaskOf(0, 0, dw, dh, transparentColor);
    canvas.MaskedStretchBlt(0, 0, dw, dh, wc, 0, 0, source.Width(), source.Height(), mask, 0, 0);
}

std::vector<TRect> DoublingFillBlit(Canvas& dc, int x, int y, int totalW, int totalH, int filledW,
                                    int filledH) {
    std::vector<TRect> copies;
    if (filledW <= 0 || filledH <= 0) return copies;
    int fw = std::min(filledW, totalW), fh = std::min(filledH, totalH);
    bool down = fh < totalH;
    while (fw < totalW || fh < totalH) {
        if (down) {
            const int h = std::min(fh, totalH - fh);
            dc.BitBlt(x, y + fh, fw, h, dc, x, y);
            copies.push_back({x, y + fh, x + fw, y + fh + h});
            fh += h;
            down = fw >= totalW;
        } else {
            const int w = std::min(fw, totalW - fw);
            dc.BitBlt(x + fw, y, w, fh, dc, x, y);
            copies.push_back({x + fw, y, x + fw + w, y + fh});
            fw += w;
            down = fh < totalH;
        }
    }
    return copies;
}

void MirrorQuadrants(Canvas& dc, int x, int y, int w, int h) {
    const int left = (w + 1) / 2, top = h / 2, right = w / 2;
    if (top > 0) dc.StretchBlt(x, y + h - 1, left, -top, dc, x, y, left, top);
    if (right > 0) dc.StretchBlt(x + w - 1, y, -right, h, dc, x, y, right, h);
}

int MinBandExtra(int steps, bool boxEngine) {
    steps &= 0xFF;
    if (steps <= 8) return steps > 0 ? steps - 1 : 0;
    return ((boxEngine ? 256 : 255) / steps + 1) - 1;
}

namespace {

// A colour in 16.16 fixed point per channel, moving towards a target.
struct Running {
    std::array<std::int64_t, 3> v{};
    std::array<std::int64_t, 3> d{};
    Running(std::uint32_t from, std::uint32_t to, int n) {
        const int f[3] = {GetRValue(from), GetGValue(from), GetBValue(from)};
        const int t[3] = {GetRValue(to), GetGValue(to), GetBValue(to)};
        for (int i = 0; i < 3; ++i) {
            v[size_t(i)] = std::int64_t(f[i]) * 65536;
            d[size_t(i)] = n > 0 ? (std::int64_t(t[i]) * 65536 - v[size_t(i)]) / n : 0;
        }
    }
    void step() {
        for (int i = 0; i < 3; ++i)
            v[size_t(i)] += d[size_t(i)];
    }
    TColor color() const {
        auto ch = [](std::int64_t x) { return int(std::clamp<std::int64_t>(x >> 16, 0, 255)); };
        return TColor(RGB(ch(v[0]), ch(v[1]), ch(v[2])));
    }
};

} // namespace

void PaintLinearBands(Canvas& dc, int splitX, int splitY, int extent, TColor a, TColor b,
                      int steps) {
    const bool horizontal = splitX != 0;
    const int split = horizontal ? splitX : splitY;
    const int extra = MinBandExtra(steps, false);
    const std::uint32_t ca = ColorToRGB(a), cb = ColorToRGB(b);
    // Positions are 1-based along the axis; position p is pixel p - 1.
    auto pass = [&](int start, int limit, std::uint32_t from, std::uint32_t to) {
        const int n = start - limit + 1;
        if (n <= 0) return;
        Running run(from, to, n);
        int pos = start;
        while (pos >= limit) {
            const TColor band = run.color();
            const int bandStart = pos;
            int width = 0;
            do {
                --pos;
                run.step();
                ++width;
            } while (pos >= limit && (run.color() == band || width <= extra));
            const int lo = pos, hi = bandStart; // pixels lo .. hi - 1
            if (horizontal)
                dc.FillRect(Rect(lo, 0, hi, 8), band);
            else
                dc.FillRect(Rect(0, lo, 8, hi), band);
        }
    };
    if (split < 0) {
        pass(extent, 1, cb, ca);
    } else {
        pass(split + 1, 1, cb, ca);
        pass(extent, split + 2, ca, cb);
    }
}

void PaintBoxBands(Canvas& dc, int w, int h, int insetX, int insetY, TColor a, TColor b,
                   int steps) {
    const std::uint32_t ca = ColorToRGB(a), cb = ColorToRGB(b);
    if (ca == cb || w <= 4 || h <= 4) {
        dc.FillRect(Rect(0, 0, w + 1, h + 1), a);
        return;
    }
    const int qx = (w - 1) / 2 + 1, qy = (h - 1) / 2 + 1;
    const int hx = std::max((w - 1) / 2 - insetX, 0), hy = std::max((h - 1) / 2 - insetY, 0);
    const int n = std::max(hx, hy) + 1;
    const int extra = MinBandExtra(steps, true);
    std::int64_t cx = std::int64_t(hx) * 65536, cy = std::int64_t(hy) * 65536;
    const std::int64_t dx = std::int64_t(hx) * 65536 / n, dy = std::int64_t(hy) * 65536 / n;
    Running run(cb, ca, n);
    dc.FillRect(Rect(hx, hy, qx, qy), TColor(cb));
    int px = hx, py = hy, k = 0;
    while (true) {
        const TColor band = run.color();
        int width = 0;
        do {
            cx -= dx, cy -= dy;
            run.step();
            ++k, ++width;
        } while (k < n && (run.color() == band || width <= extra) && !(cx <= 0 && cy <= 0));
        int nx = int(std::max<std::int64_t>(cx >> 16, 0));
        int ny = int(std::max<std::int64_t>(cy >> 16, 0));
        if (k >= n) nx = ny = 0;
        dc.FillRect(Rect(nx, ny, qx, py), band); // the strip above the old corner
        dc.FillRect(Rect(nx, py, px, qy), band); // the strip left of it
        px = nx, py = ny;
        if (nx == 0 && ny == 0) break;
    }
}

namespace {

struct PtD {
    double x, y;
};

// Clips a convex polygon to the half-plane s(p) >= t (keepAbove) or s(p) <= t.
std::vector<PtD> clipHalf(const std::vector<PtD>& poly, double W, double H, double t,
                          bool keepAbove) {
    auto s = [&](const PtD& p) { return p.x / W + p.y / H; };
    auto in = [&](const PtD& p) { return keepAbove ? s(p) >= t : s(p) <= t; };
    std::vector<PtD> out;
    for (size_t i = 0; i < poly.size(); ++i) {
        const PtD a = poly[i], b = poly[(i + 1) % poly.size()];
        const bool ia = in(a), ib = in(b);
        if (ia) out.push_back(a);
        if (ia != ib) {
            const double sa = s(a), sb = s(b);
            const double u = (t - sa) / (sb - sa);
            out.push_back({a.x + (b.x - a.x) * u, a.y + (b.y - a.y) * u});
        }
    }
    return out;
}

} // namespace

void PaintDiagonalBands(Canvas& dc, int extentX, int h, TColor a, TColor b, int steps) {
    const bool mirrored = extentX < 0;
    const int w = std::abs(extentX);
    if (w == 0 || h == 0) return;
    std::uint32_t from = ColorToRGB(a), to = ColorToRGB(b);
    if (mirrored) std::swap(from, to);
    const int n = int(std::sqrt(double(w) * w + double(h) * h)) + 1;
    const int half = std::max(n / 2, 1);
    const int extra = MinBandExtra(steps, false);
    Running run(from, to, n);
    // Band k lies between the lines x/W + y/H = k/half; the two moving
    // points of the line reach the far edges after half the steps.
    const std::vector<PtD> rect = {{0, 0}, {double(w), 0}, {double(w), double(h)}, {0, double(h)}};
    auto fillBand = [&](int k0, int k1, TColor c) {
        std::vector<PtD> poly = clipHalf(rect, w, h, double(k0) / half, true);
        if (k1 < n) poly = clipHalf(poly, w, h, double(k1) / half, false);
        if (poly.size() < 3) return;
        std::vector<TPoint> pts;
        for (const auto& p : poly) {
            const double x = mirrored ? w - p.x : p.x;
            pts.push_back({int(std::lround(x)), int(std::lround(p.y))});
        }
        dc.Brush.Color = c;
        dc.Brush.Style = BrushStyle::Solid;
        dc.Polygon(pts);
    };
    int k = 0;
    while (k < n) {
        const TColor band = run.color();
        const int k0 = k;
        int width = 0;
        do {
            run.step();
            ++k, ++width;
        } while (k < n && (run.color() == band || width <= extra));
        fillBand(k0, k, band);
    }
}

void PaintGradient(Canvas& canvas, TRect r, TGradientDirection dir, TColor a, TColor b, int steps) {
    a = TColor(ColorToRGB(a));
    b = TColor(ColorToRGB(b));
    const int w = std::abs(r.Width()), h = std::abs(r.Height());
    if (w == 0 || h == 0) return;
    Surface work(w, h);
    Canvas dc(work);
    dc.Pen.Style = PenStyle::Clear;
    switch (dir) {
    case gdDiagonalUp:
    case gdDiagonalDown:
        if (a == b)
            dc.FillRect(Rect(0, 0, w, h), a);
        else
            PaintDiagonalBands(dc, dir == gdDiagonalUp ? w : -w, h, a, b, steps);
        break;
    case gdHorizontalEnd:
        PaintLinearBands(dc, 0, -1, h, a, b, steps);
        DoublingFillBlit(dc, 0, 0, w, h, 8, h);
        break;
    case gdHorizontalCenter:
        PaintLinearBands(dc, 0, h / 2, h, a, b, steps);
        DoublingFillBlit(dc, 0, 0, w, h, 8, h);
        break;
    case gdVerticalEnd:
        PaintLinearBands(dc, -1, 0, w, a, b, steps);
        DoublingFillBlit(dc, 0, 0, w, h, w, 8);
        break;
    case gdVerticalCenter:
        PaintLinearBands(dc, w / 2, 0, w, a, b, steps);
        DoublingFillBlit(dc, 0, 0, w, h, w, 8);
        break;
    case gdHorizontalBox:
        dc.FillRect(Rect(0, 0, w, h), a);
        PaintBoxBands(dc, w, h, w / 4, 0, a, b, steps);
        MirrorQuadrants(dc, 0, 0, w, h);
        break;
    case gdVerticalBox:
        PaintBoxBands(dc, w, h, 0, h / 4, a, b, steps);
        MirrorQuadrants(dc, 0, 0, w, h);
        break;
    case gdSquareBox:
        dc.FillRect(Rect(0, 0, w, h), a);
        PaintBoxBands(dc, w, h, 0, 0, a, b, steps);
        MirrorQuadrants(dc, 0, 0, w, h);
        break;
    case gdBigSquareBox:
        PaintBoxBands(dc, w, h, w / 4, h / 4, a, b, steps);
        MirrorQuadrants(dc, 0, 0, w, h);
        break;
    }
    canvas.BitBlt(r.Left, r.Top, w, h, dc, 0, 0);
}

void PaintParentBackground(QWidget* control, Canvas& dc, bool invalidateParent) {
    QWidget* parent = control ? control->parentWidget() : nullptr;
    if (!parent) return;
    dc.SaveDC();
    dc.OffsetViewportOrg(-control->x(), -control->y());
    dc.IntersectClipRect(Rect(0, 0, parent->width(), parent->height()));
    if (auto* own = dynamic_cast<HvCanvasPainter*>(parent)) {
        own->PaintInto(dc);
    } else {
        // A foreign parent renders itself without its children (the control
        // itself must not be drawn into its own backdrop).
        QImage img(parent->size(), QImage::Format_RGB32);
        img.fill(parent->palette().color(parent->backgroundRole()));
        parent->render(&img, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        const QRect under = QRect(control->pos(), control->size()).intersected(img.rect());
        for (int y = under.top(); y <= under.bottom(); ++y)
            for (int x = under.left(); x <= under.right(); ++x) {
                const QRgb p = img.pixel(x, y);
                dc.SetPixel(x, y, TColor(RGB(qRed(p), qGreen(p), qBlue(p))));
            }
    }
    dc.RestoreDC();
    if (invalidateParent && !dynamic_cast<HvCanvasPainter*>(parent) && !parent->isWindow())
        parent->update(QRect(control->pos(), control->size()));
}

} // namespace hv
