#include "GaugeGeometry.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <numbers>

namespace movarth {

namespace {

// The gauge's two arithmetic steps round like x86's 80-bit long double (64-bit significand,
// to nearest, ties to even). Other processors' long double has 53 or 113 bits, and the last
// pixel of a bar would differ, so the steps are carried out here in integers instead.
__extension__ typedef unsigned __int128 TWide;

// ±Significand × 2^Exponent, the significand's top bit set; zero has a zero significand.
struct TExtended
{
    bool Negative = false;
    std::uint64_t Significand = 0;
    int Exponent = 0;
};

int BitWidth(TWide v)
{
    const auto high = static_cast<std::uint64_t>(v >> 64);
    return high ? 64 + std::bit_width(high) : std::bit_width(static_cast<std::uint64_t>(v));
}

// ±(value + a fraction of its last unit) × 2^exponent rounded to 64 bits; `inexact` tells that
// the fraction is not zero, and may only be set when value has more than 64 bits.
TExtended Round(bool negative, TWide value, int exponent, bool inexact)
{
    if (value == 0) return {};
    const int drop = BitWidth(value) - 64;
    if (drop <= 0)
        return {negative, static_cast<std::uint64_t>(value << -drop), exponent + drop};
    const TWide half = TWide{1} << (drop - 1);
    const TWide rest = value & ((half << 1) - 1);
    auto significand = static_cast<std::uint64_t>(value >> drop);
    if (rest > half || (rest == half && (inexact || (significand & 1)))) {
        if (++significand == 0) return {negative, std::uint64_t{1} << 63, exponent + drop + 1};
    }
    return {negative, significand, exponent + drop};
}

TExtended FromInteger(std::int64_t v)
{
    const auto magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return Round(v < 0, magnitude, 0, false);
}

TExtended Multiply(TExtended a, TExtended b)
{
    return Round(a.Negative != b.Negative, TWide{a.Significand} * b.Significand,
                 a.Exponent + b.Exponent, false);
}

// b is not zero.
TExtended Divide(TExtended a, TExtended b)
{
    // a / b = (A * 2^64 / B) * 2^(ea - eb - 64); one more quotient bit than the 65 that division
    // gives, so that the remainder only decides between exact and inexact.
    const TWide scaled = TWide{a.Significand} << 64;
    const TWide quotient = scaled / b.Significand;
    TWide twice = scaled % b.Significand << 1;
    const bool bit = twice >= b.Significand;
    if (bit) twice -= b.Significand;
    return Round(a.Negative != b.Negative, quotient << 1 | TWide{bit},
                 a.Exponent - b.Exponent - 65, twice != 0);
}

// Toward zero, as the conversion of long double to int does; saturated outside int.
int Truncate(TExtended x)
{
    std::int64_t magnitude = 0;
    if (x.Exponent >= 0 && x.Significand != 0)
        magnitude = INT64_MAX;
    else if (x.Exponent > -64)
        magnitude = static_cast<std::int64_t>(x.Significand >> -x.Exponent); // below 2^63
    return static_cast<int>(std::clamp<std::int64_t>(x.Negative ? -magnitude : magnitude, INT_MIN,
                                                     INT_MAX));
}

// 0.01 rounded to 64 bits: 0xA3D70A3D70A3D70A.3D... × 2^-70, so a little below 0.01.
constexpr TExtended kHundredth{false, 0xA3D70A3D70A3D70AULL, -70};

} // namespace

int PercentOf(std::int64_t part, std::int64_t whole)
{
    if (whole == 0) return 0;
    return Truncate(Divide(Multiply(FromInteger(part), FromInteger(100)), FromInteger(whole)));
}

int ScaleByPercent(int percent, int total)
{
    return Truncate(Multiply(FromInteger(total), Multiply(FromInteger(percent), kHundredth)));
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
