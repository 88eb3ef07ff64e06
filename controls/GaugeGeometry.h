#pragma once

#include <cstdint>

// What the progress gauge draws for a given size and percentage, as plain values: the
// widget's paint only draws what these functions return.
namespace movarth {

enum class TGaugeKind
{
    gkText,
    gkHorizontalBar,
    gkVerticalBar,
    gkPie,
    gkNeedle
};
enum class TBorderStyle
{
    bsNone,
    bsSingle
};

// A rectangle with exclusive right and bottom edges.
struct TRect
{
    int Left = 0, Top = 0, Right = 0, Bottom = 0;

    bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TRect&) const = default;
};

struct TPoint
{
    int X = 0, Y = 0;

    bool operator==(const TPoint&) const = default;
};

// Both rounded as in x86's 80-bit extended precision at each step (on every processor), then
// truncated toward zero.
// The whole number part of part * 100 / whole; 0 when whole is 0.
int PercentOf(std::int64_t part, std::int64_t whole);
// The whole number part of total * (percent * 0.01): 5 % of 20 gives 0, 100 % gives total.
int ScaleByPercent(int percent, int total);

// The nearest whole number, halves to the even neighbour.
int RoundHalfEven(double x);

// The client rectangle, 1 pixel smaller on each side for bsSingle.
TRect PaintRect(int width, int height, TBorderStyle border);

// The rectangle filled in ForeColor by the bars; empty when nothing is filled.
TRect HorizontalBarRect(const TRect& paint, int percent);
TRect VerticalBarRect(const TRect& paint, int percent);

// A pie in the Win32 sense: the part of the ellipse in Box from the radial through Start
// counter-clockwise to the radial through End (the whole ellipse when both radials coincide).
struct TPie
{
    TRect Box;
    TPoint Start, End;
};

// The same pie as QPainter::drawPie takes it: sixteenths of a degree counter-clockwise from
// three o'clock, and the span (up to a full turn).
struct TPieAngles
{
    int Start16 = 0, Span16 = 0;

    bool operator==(const TPieAngles&) const = default;
};
TPieAngles PieAngles(const TPie& pie);

struct TPieGeometry
{
    TRect Box;     // the dial ellipse
    bool HasWedge; // false at 0 %
    TPie Wedge;    // in ForeColor, growing clockwise from twelve o'clock
};
TPieGeometry PieGeometry(const TRect& paint, TBorderStyle border, int percent);

struct TNeedleGeometry
{
    TPie Dial;                   // upper half of the ellipse
    TPoint BaseFrom, BaseTo;     // the base line, end point excluded
    bool HasNeedle;              // false at 0 %
    TPoint NeedleFrom, NeedleTo; // end point excluded
};
TNeedleGeometry NeedleGeometry(const TRect& paint, TBorderStyle border, int controlWidth,
                               int percent);

// Where the percentage text of the given size starts, centred in the paint rectangle.
TPoint PercentTextOrigin(const TRect& paint, int textWidth, int textHeight);

} // namespace movarth
