#pragma once

#include "controls/GaugeGeometry.h"

#include <QColor>
#include <QImage>
#include <QWidget>
#include <stdexcept>

namespace movarth {

// The toolkit's invalid-operation error.
class EInvalidOperation : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An off-screen bitmap that takes another's size, filled with the window frame colour.
class TOverlayBitmap : public QImage
{
public:
    void MakeLike(const QImage& templateImage);
};

// Fills the whole image with black.
void ClearToBlack(QImage& image);

// Shows a value between MinValue and MaxValue as text, a bar, a pie or a needle dial, with the
// percentage written over it. Every picture is composed off-screen by exclusive-or and copied
// to the control in one operation.
class TGauge : public QWidget
{
public:
    explicit TGauge(QWidget* parent = nullptr);

    int MinValue() const { return minValue_; }
    void SetMinValue(int value);
    int MaxValue() const { return maxValue_; }
    void SetMaxValue(int value);
    int Progress() const { return progress_; }
    // Clamped into [MinValue, MaxValue]; repaints only when the whole percentage changes.
    void SetProgress(int value);
    int PercentComplete() const;

    TGaugeKind Kind() const { return kind_; }
    void SetKind(TGaugeKind kind);
    bool ShowText() const { return showText_; }
    void SetShowText(bool show);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle style);
    QColor ForeColor() const { return foreColor_; }
    void SetForeColor(const QColor& color);
    QColor BackColor() const { return backColor_; }
    void SetBackColor(const QColor& color);
    // The control's own colour (the palette's window colour, inherited from the parent).
    QColor Color() const;
    void SetColor(const QColor& color);

    // The picture as the control shows it, at the given density: device pixels per pixel of
    // the control (the screen's scale factor).
    QImage Render(qreal devicePixelRatio = 1) const;
    // How many times the control has been painted.
    int PaintCount() const { return paintCount_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    template <typename T> void Change(T& field, const T& value);

    void DrawPlain(QPainter& painter, const TRect& paint) const;
    void DrawBar(QPainter& painter, const TRect& paint) const;
    void DrawPie(QPainter& painter, const TRect& paint) const;
    void DrawNeedle(QPainter& painter, const TRect& paint) const;
    void DrawPercentText(QImage& image, const TRect& paint) const;

    int minValue_ = 0;
    int maxValue_ = 100;
    int progress_ = 0;
    TGaugeKind kind_ = TGaugeKind::gkHorizontalBar;
    bool showText_ = true;
    TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
    QColor foreColor_;
    QColor backColor_;
    int paintCount_ = 0;
};

} // namespace movarth
