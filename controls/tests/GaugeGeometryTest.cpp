#include "controls/GaugeGeometry.h"

#include <gtest/gtest.h>

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
