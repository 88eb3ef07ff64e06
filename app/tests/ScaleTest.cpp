// The window at the scale factor of a high-density screen. The factor is read when the
// application starts, so this runs once per factor, each in a process of its own with
// QT_SCALE_FACTOR set (1, 1.5 and 2; see CMakeLists.txt). The pictures are checked for being
// whole and sharp, not pixel by pixel: the pixel tests run at 1.
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "controls/Colors.h"

#include <QScrollBar>
#include <QTest>
#include <QtMath>
#include <gtest/gtest.h>

namespace movarth {
namespace {

QRgb Rgb(const QColor& color)
{
    return color.rgb() & 0xFFFFFF;
}
QRgb Rgb(const QImage& image, int x, int y)
{
    return image.pixel(x, y) & 0xFFFFFF;
}

// The bounding box of the pixels of one colour.
QRect BoxOf(const QImage& image, QRgb color)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (Rgb(image, x, y) == color) box |= QRect(x, y, 1, 1);
    return box;
}

// Whether every pixel of the image's outermost ring has the colour.
bool RingIs(const QImage& image, QRgb color)
{
    const int w = image.width(), h = image.height();
    for (int x = 0; x < w; ++x)
        if (Rgb(image, x, 0) != color || Rgb(image, x, h - 1) != color) return false;
    for (int y = 0; y < h; ++y)
        if (Rgb(image, 0, y) != color || Rgb(image, w - 1, y) != color) return false;
    return true;
}

// The share of the rows of a box that repeat the row above them.
double RepeatedRows(const QImage& image, const QRect& box)
{
    int repeated = 0;
    for (int y = box.top() + 1; y <= box.bottom(); ++y) {
        bool same = true;
        for (int x = box.left(); x <= box.right() && same; ++x)
            same = image.pixel(x, y) == image.pixel(x, y - 1);
        repeated += same;
    }
    return double(repeated) / std::max(1, box.height() - 1);
}

class ScaleFactor : public testing::Test
{
protected:
    ScaleFactor() { SetErrorOperator(&op); }
    ~ScaleFactor() override { SetErrorOperator(nullptr); }

    void SetUp() override
    {
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_EQ(factor, qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble());
    }

    // What the screen shows of a control, in device pixels.
    static QImage Shown(QWidget* control)
    {
        return control->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    TScopedSettingsDir settings;
    TScriptedOperator op;
    std::unique_ptr<TFrm_main> window = std::make_unique<TFrm_main>(&op);
    const qreal factor = window->devicePixelRatioF();
};

// The end of a download: "100%" over the full bar, in the colour that the exclusive-or gives.
TEST_F(ScaleFactor, TheGaugeAndItsPercentageDrawWholeAndSharp)
{
    TGauge* gauge = window->Gauge1;
    gauge->SetMaxValue(3);
    gauge->SetProgress(3);
    const QRgb text = Rgb(QColor(255, 255, 127));
    const QImage shown = Shown(gauge);

    // Black border all round; inside, only the exact colours of bar and text: nothing blurred.
    EXPECT_TRUE(RingIs(shown, Rgb(clBlack)));
    const QRect inside = shown.rect().adjusted(1, 1, -1, -1);
    for (int y = inside.top() + 1; y < inside.bottom(); ++y)
        for (int x = inside.left() + 1; x < inside.right(); ++x) {
            const QRgb pixel = Rgb(shown, x, y);
            ASSERT_TRUE(pixel == Rgb(clNavy) || pixel == text || pixel == Rgb(clBlack))
                << x << "," << y << ": " << std::hex << pixel;
        }

    // The whole text, centred and as large as the factor makes it.
    const QRect ink = BoxOf(shown, text);
    const QRect inkAt1 = BoxOf(gauge->Render(1), text);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(inside.adjusted(1, 1, -1, -1).contains(ink)) << "the text is cut";
    EXPECT_LE(std::abs(ink.center().x() - shown.width() / 2), 2 * factor);
    EXPECT_NEAR(ink.height(), inkAt1.height() * factor, 2);
    EXPECT_NEAR(ink.width(), inkAt1.width() * factor, 3);

    // Drawn at the screen's density, not enlarged from the control's own size: an enlargement
    // by the factor repeats at least 1 - 1/factor of the rows.
    if (factor > 1) {
        EXPECT_LT(RepeatedRows(shown, ink), 0.75 * (1 - 1 / factor));
    }
}

// The frame all round, beside the scroll bar too, and the line right of the last column.
TEST_F(ScaleFactor, TheTableDrawsWhole)
{
    for (int i = 0; i < 12; ++i) {
        TypeTime(window->MaskEdit1, (std::to_string(10 + i) + ":00:00").c_str());
        TypeTime(window->MaskEdit2, "00:30:00");
        window->BitBtn1->click();
    }
    TColumnGrid* table = window->SortGrid1;
    ASSERT_TRUE(QTest::qWaitFor([&] { return table->verticalScrollBar()->isVisible(); }, 5000));
    const QImage shown = Shown(table);
    EXPECT_TRUE(RingIs(shown, Rgb(table->palette().color(QPalette::Mid))))
        << "the frame is not whole";

    // The last column ends at 3 x 120 + 2 lines inside the frame; its line lies left of the
    // scroll bar, in the middle of every data row shown.
    const int lineX = table->viewport()->x() + 362;
    EXPECT_LT(lineX, table->verticalScrollBar()->mapTo(table, QPoint(0, 0)).x());
    for (int row = table->TopRow(); row < table->TopRow() + 8; ++row) {
        const int y =
            qFloor((table->viewport()->y() + table->CellRect(0, row).center().y()) * factor);
        bool line = false;
        for (int x = qFloor(lineX * factor); x < qCeil((lineX + 1) * factor); ++x)
            line = line || Rgb(shown, x, y) == Rgb(clSilver);
        EXPECT_TRUE(line) << "row " << row;
    }
}

} // namespace
} // namespace movarth
