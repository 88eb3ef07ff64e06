#include "controls/GaugeGeometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

using namespace movarth;

TEST(GaugeArithmetic, PercentOfTruncatesTowardZero)
{
    const struct
    {
        long long part, whole;
        int percent;
    } cases[] = {{0, 0, 0},       {5, 0, 0},
                 {1, 3, 33},      {2, 3, 66},
                 {3, 3, 100},     {1, 33, 3},
                 {33, 33, 100},   {-1, 3, -33},
                 {999, 1000, 99}, {4294967294LL, 4294967294LL, 100}};
    for (const auto& c : cases)
        EXPECT_EQ(PercentOf(c.part, c.whole), c.percent) << c.part << " of " << c.whole;
}

TEST(GaugeArithmetic, ScaleByPercentComesOutLowWhereTheExactResultIsWhole)
{
    EXPECT_EQ(ScaleByPercent(5, 20), 0); // 0.99999... in extended precision
    EXPECT_EQ(ScaleByPercent(5, 100), 4);
    EXPECT_EQ(ScaleByPercent(50, 20), 10);
    EXPECT_EQ(ScaleByPercent(50, 209), 104);
    EXPECT_EQ(ScaleByPercent(0, 209), 0);
    for (int total = 0; total <= 5000; ++total)
        ASSERT_EQ(ScaleByPercent(100, total), total) << total;
}

// Captured once from the long double computation on x86 (80-bit extended): the percentages p
// from 0 to 100 at which ScaleByPercent(p, total) comes out one below the exact p * total / 100;
// at every other percentage it is the exact quotient's whole part. The totals are the widths and
// heights W and H of the bars of the main window's gauge (209 by 25), of a new gauge (100 by
// 100) and of the gauges in these tests, with either border, and the totals used above.
struct TScaleReference
{
    int total;
    std::vector<int> lowPercents;
};
const TScaleReference kScaleReference[] = {
    {20, {5, 10, 15, 20, 30, 40, 60, 80}},
    {24, {}},
    {25, {20, 40, 60, 80, 92}},
    {26, {}},
    {39, {}},
    {99, {}},
    {100, {5, 10, 15, 20, 23, 27, 30, 40, 43, 46, 49, 53, 54, 59, 60, 67, 73, 80, 86, 92, 98, 99}},
    {101, {}},
    {208, {}},
    {209, {}},
    {210, {10, 20, 30, 40, 60, 80}},
};

TEST(GaugeArithmetic, ScaleByPercentMatchesTheX86ExtendedResultsAtEveryPercentage)
{
    for (const auto& ref : kScaleReference)
        for (int percent = 0; percent <= 100; ++percent) {
            const bool low = std::ranges::find(ref.lowPercents, percent) != ref.lowPercents.end();
            EXPECT_EQ(ScaleByPercent(percent, ref.total), percent * ref.total / 100 - (low ? 1 : 0))
                << percent << " % of " << ref.total;
        }
}

// Where long double is the 80-bit type, the integer arithmetic is checked against it directly.
TEST(GaugeArithmetic, AgreesWithX86ExtendedPrecisionWhereItIsLongDouble)
{
    if (std::numeric_limits<long double>::digits != 64)
        GTEST_SKIP() << "long double has " << std::numeric_limits<long double>::digits << " bits";
    for (int total = -100; total <= 5000; ++total)
        for (int percent = -5; percent <= 105; ++percent) {
            const auto scaled = static_cast<long double>(total) *
                                (static_cast<long double>(percent) * 0.01L);
            ASSERT_EQ(ScaleByPercent(percent, total), static_cast<int>(scaled))
                << percent << " % of " << total;
        }
    const std::int64_t big = std::int64_t{1} << 62;
    const struct
    {
        std::int64_t part, whole;
    } cases[] = {{1, 3},          {-2, 3},           {4294967295LL, 4294967294LL},
                 {big / 7, big},  {big / 100, big / 99}, {-big / 3, big / 7 + 1},
                 {big - 1, big / 3}, {(big - 1) / 50, big / 3 + 5}};
    for (const auto& c : cases) {
        const auto quotient =
            static_cast<long double>(c.part) * 100.0L / static_cast<long double>(c.whole);
        EXPECT_EQ(PercentOf(c.part, c.whole), static_cast<int>(quotient)) << c.part << " of " << c.whole;
    }
    for (std::int64_t whole = 1; whole <= 1000; ++whole)
        for (std::int64_t part = -whole; part <= 2 * whole; ++part)
            ASSERT_EQ(PercentOf(part, whole),
                      static_cast<int>(static_cast<long double>(part) * 100.0L /
                                       static_cast<long double>(whole)))
                << part << " of " << whole;
}

TEST(GaugeArithmetic, RoundsHalvesToEven)
{
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(2.4999), 2);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
}

TEST(GaugeGeometry, PaintRectLeavesTheSingleBorderOut)
{
    EXPECT_EQ(PaintRect(209, 25, TBorderStyle::bsSingle), (TRect{1, 1, 208, 24}));
    EXPECT_EQ(PaintRect(209, 25, TBorderStyle::bsNone), (TRect{0, 0, 209, 25}));
}

TEST(GaugeGeometry, HorizontalBar)
{
    const TRect paint = PaintRect(209, 25, TBorderStyle::bsSingle);
    EXPECT_EQ(HorizontalBarRect(paint, 100), (TRect{1, 1, 208, 24}));
    EXPECT_EQ(HorizontalBarRect(paint, 50), (TRect{1, 1, 104, 24}));
    EXPECT_TRUE(HorizontalBarRect(paint, 0).IsEmpty());
    // W = Right - Left + 1 = 20: 5 % scales to 0, no bar.
    EXPECT_TRUE(HorizontalBarRect(PaintRect(21, 25, TBorderStyle::bsSingle), 5).IsEmpty());
    // 10 % scales to 1.99... and so to 1, which as a right edge equals Left: no bar either.
    EXPECT_TRUE(HorizontalBarRect(PaintRect(21, 25, TBorderStyle::bsSingle), 10).IsEmpty());
    EXPECT_EQ(HorizontalBarRect(PaintRect(21, 25, TBorderStyle::bsSingle), 50),
              (TRect{1, 1, 10, 24}));
}

TEST(GaugeGeometry, VerticalBarGrowsFromTheBottom)
{
    const TRect paint = PaintRect(40, 100, TBorderStyle::bsSingle); // W = 39, H = 99
    EXPECT_EQ(VerticalBarRect(paint, 100), (TRect{1, 1, 39, 99}));
    EXPECT_EQ(VerticalBarRect(paint, 50), (TRect{1, 50, 39, 99}));
    EXPECT_TRUE(VerticalBarRect(paint, 0).IsEmpty());
}

TEST(GaugeGeometry, PieWedgeGrowsClockwiseFromTwelve)
{
    const TRect paint = PaintRect(100, 100, TBorderStyle::bsSingle);
    EXPECT_FALSE(PieGeometry(paint, TBorderStyle::bsSingle, 0).HasWedge);

    const TPieGeometry quarter = PieGeometry(paint, TBorderStyle::bsSingle, 25);
    EXPECT_EQ(quarter.Box, (TRect{1, 1, 99, 99}));
    EXPECT_EQ(quarter.Wedge.Start, (TPoint{98, 49})); // three o'clock
    EXPECT_EQ(quarter.Wedge.End, (TPoint{49, 0}));    // twelve o'clock
    const TPieAngles angles = PieAngles(quarter.Wedge);
    EXPECT_NEAR(angles.Start16, 0, 2 * 16);
    EXPECT_NEAR(angles.Span16, 90 * 16, 2 * 16);

    const TPieAngles half = PieAngles(PieGeometry(paint, TBorderStyle::bsSingle, 50).Wedge);
    EXPECT_NEAR(half.Start16, -90 * 16, 2 * 16); // six o'clock
    EXPECT_NEAR(half.Span16, 180 * 16, 3 * 16);  // the points are whole pixels off the centre

    const TPieAngles full = PieAngles(PieGeometry(paint, TBorderStyle::bsSingle, 100).Wedge);
    EXPECT_EQ(full.Span16, 360 * 16);
}

TEST(GaugeGeometry, NeedlePointsLeftUpAndRight)
{
    const TRect paint = PaintRect(100, 100, TBorderStyle::bsSingle); // Bottom 99, MX 50
    EXPECT_FALSE(NeedleGeometry(paint, TBorderStyle::bsSingle, 100, 0).HasNeedle);

    const TNeedleGeometry up = NeedleGeometry(paint, TBorderStyle::bsSingle, 100, 50);
    EXPECT_EQ(up.NeedleFrom, (TPoint{50, 98}));
    EXPECT_EQ(up.NeedleTo, (TPoint{50, 0}));
    EXPECT_EQ(NeedleGeometry(paint, TBorderStyle::bsSingle, 100, 100).NeedleTo, (TPoint{100, 98}));
    EXPECT_EQ(NeedleGeometry(paint, TBorderStyle::bsSingle, 100, 1).NeedleTo.Y, 95);

    // The dial is the upper half of an ellipse twice the paint height.
    EXPECT_EQ(up.Dial.Box, (TRect{1, 1, 99, 197}));
    EXPECT_NEAR(PieAngles(up.Dial).Span16, 180 * 16, 3 * 16);
    EXPECT_EQ(up.BaseFrom, (TPoint{1, 99}));
    EXPECT_EQ(up.BaseTo, (TPoint{100, 99}));
}

TEST(GaugeGeometry, PercentTextIsCentredWithTruncatingDivisions)
{
    const TRect paint = PaintRect(209, 25, TBorderStyle::bsSingle);
    EXPECT_EQ(PercentTextOrigin(paint, 30, 16), (TPoint{89, 4}));
    EXPECT_EQ(PercentTextOrigin(paint, 31, 15), (TPoint{88, 4}));
    EXPECT_EQ(PercentTextOrigin(PaintRect(10, 10, TBorderStyle::bsNone), 30, 16), (TPoint{-9, -2}));
}
