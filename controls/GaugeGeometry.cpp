#include "GaugeGeometry.h"

#include <cmath>
#include <numbers>

namespace movarth {

int PercentOf(std::int64_t part, std::int64_t whole)
{
    if (whole == 0) return 0;
    const long double scaled = static_cast<long double>(part) * 100.0L;
    return static_cast<int>(scaled / static_cast<long double>(whole));
}

int ScaleByPercent(int percent, int total)
{
    // 0.01L is the nearest extended value, a little below 0.01; each step rounds to extended.
    const long double fraction = static_cast<long double>(percent) * 0.01L;
    return static_cast<int>(static_cast<long double>(total) * fraction);
}

int RoundHalfEven(double x)
{
    return static_cast<int>(std::nearbyint(x)); // the default rounding mode, to nearest even
}

TRect PaintRect(int width, int height, TBorderStyle border)
{
    if (border == TBorderStyle::bsSingle) return {1, 1, width - 1, height - 1};
    return {0, 0, width, height};
}

// In the bars the sizes W and H are used directly as right and bottom edges; with a single
// border they equal the paint rectangle's edges.
TRect HorizontalBarRect(const TRect& paint, int percent)
{
    const int w = paint.Right - paint.Left + 1;
    const int h = paint.Bottom - paint.Top + 1;
    int f = ScaleByPercent(percent, w);
    if (f > w) f = w;
    if (f <= 0) return {};
    return {paint.Left, paint.Top, f, h};
}

TRect VerticalBarRect(const TRect& paint, int percent)
{
    const int w = paint.Right - paint.Left + 1;
    const int h = paint.Bottom - paint.Top + 1;
    int f = ScaleByPercent(percent, h);
    if (f >= h) f = h - 1;
    return {paint.Left, h - f, w, h};
}

TPieAngles PieAngles(const TPie& pie)
{
    const double cx = (pie.Box.Left + pie.Box.Right) / 2.0;
    const double cy = (pie.Box.Top + pie.Box.Bottom) / 2.0;
    // Screen y grows downwards, angles grow counter-clockwise.
    auto degrees = [&](TPoint p) {
        return std::atan2(cy - p.Y, p.X - cx) * 180.0 / std::numbers::pi;
    };
    const double start = degrees(pie.Start);
    double span = degrees(pie.End) - start;
    while (span <= 0)
        span += 360.0;
    if (span > 360.0) span = 360.0;
    return {static_cast<int>(std::lround(start * 16)), static_cast<int>(std::lround(span * 16))};
}

namespace {
void DialSize(const TRect& paint, TBorderStyle border, int& w, int& h)
{
    w = paint.Right - paint.Left;
    h = paint.Bottom - paint.Top;
    if (border == TBorderStyle::bsSingle) {
        ++w;
        ++h;
    }
}
} // namespace

TPieGeometry PieGeometry(const TRect& paint, TBorderStyle border, int percent)
{
    int w, h;
    DialSize(paint, border, w, h);
    TPieGeometry g{{paint.Left, paint.Top, w, h}, percent > 0, {}};
    if (g.HasWedge) {
        const int mx = w / 2;
        const int my = h / 2;
        const double a = (percent / 50.0 + 0.5) * std::numbers::pi;
        g.Wedge = {g.Box,
                   {RoundHalfEven(mx * (1 - std::cos(a))), RoundHalfEven(my * (1 - std::sin(a)))},
                   {mx, 0}};
    }
    return g;
}

TNeedleGeometry NeedleGeometry(const TRect& paint, TBorderStyle border, int controlWidth,
                               int percent)
{
    int w, h;
    DialSize(paint, border, w, h);
    TNeedleGeometry g{};
    g.Dial = {{paint.Left, paint.Top, w, 2 * h - 1},
              {paint.Left + w, paint.Bottom - 1},
              {paint.Left, paint.Bottom - 1}};
    g.BaseFrom = {paint.Left, paint.Bottom};
    g.BaseTo = {paint.Left + w, paint.Bottom};
    g.HasNeedle = percent > 0;
    if (g.HasNeedle) {
        const int mx = controlWidth / 2;
        const double a = percent / 100.0 * std::numbers::pi;
        g.NeedleFrom = {mx, paint.Bottom - 1};
        g.NeedleTo = {RoundHalfEven(mx * (1 - std::cos(a))),
                      RoundHalfEven((paint.Bottom - 1) * (1 - std::sin(a)))};
    }
    return g;
}

TPoint PercentTextOrigin(const TRect& paint, int textWidth, int textHeight)
{
    return {(paint.Right - paint.Left + 1 - textWidth) / 2,
            (paint.Bottom - paint.Top + 1 - textHeight) / 2};
}

} // namespace movarth
