#include "controls/ProgressGauge.h"

#include "controls/Colors.h"

#include <QApplication>
#include <QPainter>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <set>

using namespace movarth;

namespace {

const QColor kInverseNavy{255, 255, 127};

// The colours found inside a rectangle.
std::set<QRgb> ColoursIn(const QImage& image, const QRect& rect)
{
    std::set<QRgb> colours;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            colours.insert(image.pixel(x, y) & 0xFFFFFF);
    return colours;
}

QRgb Rgb(const QColor& color)
{
    return color.rgb() & 0xFFFFFF;
}

bool RingIsBlack(const QImage& image)
{
    const int w = image.width(), h = image.height();
    for (int x = 0; x < w; ++x)
        if (Rgb(image.pixel(x, 0)) != 0 || Rgb(image.pixel(x, h - 1)) != 0) return false;
    for (int y = 0; y < h; ++y)
        if (Rgb(image.pixel(0, y)) != 0 || Rgb(image.pixel(w - 1, y)) != 0) return false;
    return true;
}

// The main window's gauge: 209 x 25, a navy bar, "MS Sans Serif" 13 px.
class MainWindowGauge : public testing::Test
{
protected:
    void SetUp() override
    {
        gauge.resize(209, 25);
        gauge.SetForeColor(clNavy);
        QFont face(QStringLiteral("MS Sans Serif"));
        face.setPixelSize(13);
        gauge.setFont(face);
    }

    // The white pixels that "text" leaves on a black picture of the gauge's size, written
    // where the gauge centres it.
    QImage ExpectedTextMask(const QString& text) const
    {
        QImage mask(gauge.size(), QImage::Format_RGB32);
        mask.fill(Qt::black);
        QFont face = gauge.font();
        face.setStyleStrategy(QFont::NoAntialias);
        const QFontMetrics metrics(face);
        const TRect paint = PaintRect(gauge.width(), gauge.height(), gauge.BorderStyle());
        const TPoint origin =
            PercentTextOrigin(paint, metrics.horizontalAdvance(text), metrics.height());
        QPainter painter(&mask);
        painter.setFont(face);
        painter.setPen(Qt::white);
        painter.setClipRect(
            QRect(paint.Left, paint.Top, paint.Right - paint.Left, paint.Bottom - paint.Top));
        painter.drawText(QPoint(origin.X, origin.Y + metrics.ascent()), text);
        return mask;
    }

    TGauge gauge;
};

} // namespace

TEST(Gauge, NewGaugeHasItsDefaults)
{
    TGauge gauge;
    EXPECT_EQ(gauge.BackColor(), clWhite);
    EXPECT_EQ(gauge.BorderStyle(), TBorderStyle::bsSingle);
    EXPECT_EQ(gauge.ForeColor(), clBlack);
    EXPECT_EQ(gauge.Kind(), TGaugeKind::gkHorizontalBar);
    EXPECT_EQ(gauge.MinValue(), 0);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_TRUE(gauge.ShowText());
    EXPECT_EQ(gauge.size(), QSize(100, 100));
    EXPECT_TRUE(gauge.testAttribute(Qt::WA_OpaquePaintEvent));
}

TEST_F(MainWindowGauge, FullBarCoversThePaintRectExactlyInsideABlackRing)
{
    gauge.SetShowText(false);
    gauge.SetProgress(100);
    const QImage image = gauge.Render();
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(1, 1), QPoint(207, 23))), std::set{Rgb(clNavy)});
    EXPECT_TRUE(RingIsBlack(image));
}

TEST_F(MainWindowGauge, HalfBarEndsAtTheScaledWidth)
{
    gauge.SetShowText(false);
    gauge.SetProgress(50); // 50 % of W = 209 is 104: pixels 1 to 103
    const QImage image = gauge.Render();
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(1, 1), QPoint(103, 23))), std::set{Rgb(clNavy)});
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(104, 1), QPoint(207, 23))), std::set{Rgb(clWhite)});
    EXPECT_TRUE(RingIsBlack(image));
}

TEST(Gauge, NoBarAtFivePercentOfTwentyPixels)
{
    TGauge gauge;
    gauge.resize(21, 25); // W = Right - Left + 1 = 20
    gauge.SetShowText(false);
    gauge.SetProgress(5);
    EXPECT_EQ(ColoursIn(gauge.Render(), QRect(QPoint(1, 1), QPoint(19, 23))),
              std::set{Rgb(clWhite)});
    gauge.SetProgress(50); // F = 10 is the bar's right edge: pixels 1 to 9
    EXPECT_EQ(Rgb(gauge.Render().pixel(9, 10)), Rgb(clBlack));
    EXPECT_EQ(Rgb(gauge.Render().pixel(10, 10)), Rgb(clWhite));
}

TEST_F(MainWindowGauge, TextIsTheInverseOfWhatLiesUnderIt)
{
    // Black over the white background at 0 %.
    std::set<QRgb> colours = ColoursIn(gauge.Render(), QRect(QPoint(1, 1), QPoint(207, 23)));
    EXPECT_EQ(colours, (std::set{Rgb(clWhite), Rgb(clBlack)}));

    // (255, 255, 127) over the navy bar at 100 %.
    gauge.SetProgress(100);
    colours = ColoursIn(gauge.Render(), QRect(QPoint(1, 1), QPoint(207, 23)));
    EXPECT_EQ(colours, (std::set{Rgb(clNavy), Rgb(kInverseNavy)}));
}

TEST_F(MainWindowGauge, WithoutTextThePictureIsOtherwiseTheSame)
{
    gauge.SetProgress(50);
    const QImage withText = gauge.Render();
    gauge.SetShowText(false);
    const QImage without = gauge.Render();
    const QImage mask = ExpectedTextMask(QStringLiteral("50%"));
    int textPixels = 0;
    for (int y = 0; y < gauge.height(); ++y)
        for (int x = 0; x < gauge.width(); ++x) {
            const bool ink = Rgb(mask.pixel(x, y)) != 0;
            textPixels += ink;
            ASSERT_EQ(Rgb(withText.pixel(x, y)), Rgb(without.pixel(x, y)) ^ (ink ? 0xFFFFFFu : 0u))
                << x << "," << y;
        }
    EXPECT_GT(textPixels, 20);
}

TEST_F(MainWindowGauge, TextReadsTheWholePercentage)
{
    const struct
    {
        int min, max, progress;
        const char* text;
    } cases[] = {{0, 3, 1, "33%"},    {0, 3, 2, "66%"}, {0, 3, 3, "100%"},    {0, 33, 1, "3%"},
                 {0, 33, 33, "100%"}, {7, 7, 7, "0%"},  {0, 1000, 999, "99%"}};
    gauge.SetShowText(true);
    for (const auto& c : cases) {
        gauge.SetMinValue(INT_MIN);
        gauge.SetMaxValue(c.max);
        gauge.SetMinValue(c.min);
        gauge.SetProgress(c.progress);
        ASSERT_EQ(gauge.PercentComplete(), QString::fromLatin1(c.text).chopped(1).toInt());
        // Without the bar every pixel under the text is black, the rest white.
        gauge.SetKind(TGaugeKind::gkText);
        const QImage image = gauge.Render();
        const QImage mask = ExpectedTextMask(QString::fromLatin1(c.text));
        for (int y = 1; y < 24; ++y)
            for (int x = 1; x < 208; ++x)
                ASSERT_EQ(Rgb(image.pixel(x, y)), Rgb(mask.pixel(x, y)) ? 0u : Rgb(clWhite))
                    << c.text << " at " << x << "," << y;
        gauge.SetKind(TGaugeKind::gkHorizontalBar);
    }
}

TEST(Gauge, ProgressIsClampedAndTheRangeCarriesIt)
{
    TGauge gauge;
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.Progress(), 100);
    gauge.SetProgress(-3);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(80);
    gauge.SetMaxValue(60);
    EXPECT_EQ(gauge.Progress(), 60);
    gauge.SetMinValue(10);
    gauge.SetProgress(20);
    gauge.SetMinValue(30);
    EXPECT_EQ(gauge.Progress(), 30);
    EXPECT_EQ(gauge.PercentComplete(), 0);
}

TEST(Gauge, RangeOutOfOrderIsRefusedAndChangesNothing)
{
    TGauge gauge;
    gauge.SetProgress(40);
    try {
        gauge.SetMinValue(101);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Value must be between -2147483647 and 99");
    }
    gauge.SetMinValue(20);
    try {
        gauge.SetMaxValue(19);
        FAIL() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_STREQ(e.what(), "Value must be between 21 and 2147483647");
    }
    EXPECT_EQ(gauge.MinValue(), 20);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 40);
    gauge.SetMaxValue(20); // equal bounds are fine
    EXPECT_EQ(gauge.PercentComplete(), 0);
}

TEST(Gauge, RepaintsOnlyWhenSomethingShownChanges)
{
    QWidget window;
    window.resize(300, 100);
    auto* gauge = new TGauge(&window);
    gauge->setGeometry(10, 10, 209, 25);
    gauge->SetMaxValue(1000);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QApplication::processEvents();

    int painted = gauge->PaintCount();
    gauge->SetProgress(10); // 1 %
    EXPECT_EQ(gauge->PaintCount(), ++painted);
    for (int v = 11; v <= 19; ++v)
        gauge->SetProgress(v); // still 1 %: stored, not shown again
    EXPECT_EQ(gauge->Progress(), 19);
    EXPECT_EQ(gauge->PaintCount(), painted);
    gauge->SetProgress(20);
    EXPECT_EQ(gauge->PaintCount(), ++painted);

    gauge->SetKind(TGaugeKind::gkHorizontalBar);
    gauge->SetForeColor(clBlack);
    gauge->SetShowText(true);
    EXPECT_EQ(gauge->PaintCount(), painted);
    gauge->SetKind(TGaugeKind::gkPie);
    EXPECT_EQ(gauge->PaintCount(), ++painted);
    gauge->SetForeColor(clNavy);
    EXPECT_EQ(gauge->PaintCount(), ++painted);

    // What is shown on the screen is the rendered picture.
    const QImage shown = gauge->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, gauge->Render());
}

TEST(Gauge, VerticalBarFillsFromTheBottom)
{
    TGauge gauge;
    gauge.resize(40, 100);
    gauge.SetKind(TGaugeKind::gkVerticalBar);
    gauge.SetShowText(false);
    gauge.SetProgress(50); // H = 99, F = 49: rows 50 to 98
    QImage image = gauge.Render();
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(1, 1), QPoint(38, 49))), std::set{Rgb(clWhite)});
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(1, 50), QPoint(38, 98))), std::set{Rgb(clBlack)});
    gauge.SetForeColor(clNavy);
    gauge.SetProgress(100);
    image = gauge.Render();
    EXPECT_EQ(ColoursIn(image, QRect(QPoint(1, 1), QPoint(38, 98))), std::set{Rgb(clNavy)});
    EXPECT_TRUE(RingIsBlack(image));
}

TEST(Gauge, PieFillsTheWedgeClockwiseFromTwelve)
{
    TGauge gauge;
    gauge.SetKind(TGaugeKind::gkPie);
    gauge.SetShowText(false);
    gauge.SetForeColor(clNavy);
    gauge.SetColor(clSilver);
    const QPoint upperRight(70, 25), lowerRight(70, 75), lowerLeft(25, 70), upperLeft(25, 25);
    const struct
    {
        int percent;
        bool upperRight, lowerRight, lowerLeft, upperLeft;
    } cases[] = {{0, false, false, false, false},
                 {25, true, false, false, false},
                 {50, true, true, false, false},
                 {75, true, true, true, false},
                 {100, true, true, true, true}};
    for (const auto& c : cases) {
        gauge.SetProgress(c.percent);
        const QImage image = gauge.Render();
        auto filled = [&](QPoint p) {
            const QRgb rgb = Rgb(image.pixel(p));
            EXPECT_TRUE(rgb == Rgb(clNavy) || rgb == Rgb(clWhite)) << c.percent;
            return rgb == Rgb(clNavy);
        };
        EXPECT_EQ(filled(upperRight), c.upperRight) << c.percent;
        EXPECT_EQ(filled(lowerRight), c.lowerRight) << c.percent;
        EXPECT_EQ(filled(lowerLeft), c.lowerLeft) << c.percent;
        EXPECT_EQ(filled(upperLeft), c.upperLeft) << c.percent;
        EXPECT_EQ(Rgb(image.pixel(3, 3)), Rgb(clSilver)); // outside the disc: the control's colour
        EXPECT_EQ(Rgb(image.pixel(50, 1)), Rgb(clNavy));  // the outline
    }
}

TEST(Gauge, NeedleTurnsFromLeftToRight)
{
    TGauge gauge;
    gauge.SetKind(TGaugeKind::gkNeedle);
    gauge.SetShowText(false);
    gauge.SetForeColor(clNavy);
    gauge.SetColor(clSilver);
    auto needleAt = [&](int percent, QPoint p) {
        gauge.SetProgress(percent);
        return Rgb(gauge.Render().pixel(p)) == Rgb(clNavy);
    };
    const QPoint aboveCentre(50, 60), baseLine(20, 99), rightOfCentre(80, 98);
    EXPECT_FALSE(needleAt(0, aboveCentre));
    EXPECT_TRUE(needleAt(50, aboveCentre));
    EXPECT_FALSE(needleAt(100, aboveCentre));
    EXPECT_TRUE(needleAt(100, rightOfCentre));
    EXPECT_FALSE(needleAt(50, rightOfCentre));
    EXPECT_TRUE(needleAt(0, baseLine)); // the base line under the dial
    // Inside the dial the back colour, outside it the control's colour.
    gauge.SetProgress(0);
    const QImage image = gauge.Render();
    EXPECT_EQ(Rgb(image.pixel(50, 30)), Rgb(clWhite));
    EXPECT_EQ(Rgb(image.pixel(3, 3)), Rgb(clSilver));
}
