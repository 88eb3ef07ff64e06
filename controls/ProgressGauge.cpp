#include "ProgressGauge.h"

#include "controls/Colors.h"

#include <QPainter>
#include <QtMath>
#include <climits>

namespace movarth {

namespace {

QRect ToQRect(const TRect& r)
{
    return QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
}
QPoint ToQPoint(const TPoint& p)
{
    return QPoint(p.X, p.Y);
}

// Exclusive-or needs exact colours: no blending at edges.
void PreparePainter(QPainter& painter)
{
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
}

// A one-pixel pen that, like a Win32 pen, leaves out the end point of a line.
QPen ThinPen(const QColor& color)
{
    QPen pen(color, 0);
    pen.setCapStyle(Qt::FlatCap);
    return pen;
}

// The ellipse of a box whose right and bottom edges are excluded, outline included.
QRect EllipseBounds(const TRect& box)
{
    return QRect(box.Left, box.Top, box.Right - box.Left - 1, box.Bottom - box.Top - 1);
}

void XorInto(QImage& image, const QImage& overlay)
{
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.drawImage(0, 0, overlay);
}

QString RangeMessage(long long low, long long high)
{
    return QString::asprintf("Value must be between %lld and %lld", low, high);
}

} // namespace

void TOverlayBitmap::MakeLike(const QImage& templateImage)
{
    static_cast<QImage&>(*this) = QImage(templateImage.size(), QImage::Format_RGB32);
    setDevicePixelRatio(templateImage.devicePixelRatio());
    fill(clWindowFrame());
}

void ClearToBlack(QImage& image)
{
    image.fill(clBlack);
}

TGauge::TGauge(QWidget* parent) : QWidget(parent), foreColor_(clBlack), backColor_(clWhite)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

template <typename T> void TGauge::Change(T& field, const T& value)
{
    if (field == value) return;
    field = value;
    repaint();
}

void TGauge::SetKind(TGaugeKind kind)
{
    Change(kind_, kind);
}
void TGauge::SetShowText(bool show)
{
    Change(showText_, show);
}
void TGauge::SetBorderStyle(TBorderStyle style)
{
    Change(borderStyle_, style);
}
void TGauge::SetForeColor(const QColor& color)
{
    Change(foreColor_, color);
}
void TGauge::SetBackColor(const QColor& color)
{
    Change(backColor_, color);
}

QColor TGauge::Color() const
{
    return palette().color(QPalette::Window);
}

void TGauge::SetColor(const QColor& color)
{
    if (color == Color()) return;
    QPalette p = palette();
    p.setColor(QPalette::Window, color);
    setPalette(p);
    repaint();
}

void TGauge::SetMinValue(int value)
{
    if (value == minValue_) return;
    if (value > maxValue_)
        throw EInvalidOperation(RangeMessage(-INT_MAX, maxValue_ - 1LL).toStdString());
    minValue_ = value;
    if (progress_ < value) progress_ = value;
    repaint();
}

void TGauge::SetMaxValue(int value)
{
    if (value == maxValue_) return;
    if (value < minValue_)
        throw EInvalidOperation(RangeMessage(minValue_ + 1LL, INT_MAX).toStdString());
    maxValue_ = value;
    if (progress_ > value) progress_ = value;
    repaint();
}

void TGauge::SetProgress(int value)
{
    const int oldPercent = PercentComplete();
    if (value < minValue_)
        value = minValue_;
    else if (value > maxValue_)
        value = maxValue_;
    if (value == progress_) return;
    progress_ = value;
    if (PercentComplete() != oldPercent) repaint();
}

int TGauge::PercentComplete() const
{
    // In 64 bits: the span of the whole 32-bit range does not fit in 32.
    return PercentOf(std::int64_t{progress_} - minValue_, std::int64_t{maxValue_} - minValue_);
}

QImage TGauge::Render(qreal devicePixelRatio) const
{
    // In device pixels, so that the text and the edges are drawn at the screen's own density
    // rather than enlarged from the control's size.
    QImage image(qCeil(width() * devicePixelRatio), qCeil(height() * devicePixelRatio),
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(devicePixelRatio);
    ClearToBlack(image);
    const TRect paint = PaintRect(width(), height(), borderStyle_);

    TOverlayBitmap overlay;
    overlay.MakeLike(image);
    ClearToBlack(overlay);
    {
        QPainter painter(&overlay);
        PreparePainter(painter);
        switch (kind_) {
        case TGaugeKind::gkText:
            DrawPlain(painter, paint);
            break;
        case TGaugeKind::gkHorizontalBar:
        case TGaugeKind::gkVerticalBar:
            DrawBar(painter, paint);
            break;
        case TGaugeKind::gkPie:
            DrawPie(painter, paint);
            break;
        case TGaugeKind::gkNeedle:
            DrawNeedle(painter, paint);
            break;
        }
    }
    XorInto(image, overlay);
    if (showText_) DrawPercentText(image, paint);
    return image;
}

void TGauge::paintEvent(QPaintEvent*)
{
    ++paintCount_;
    QPainter painter(this);
    painter.drawImage(0, 0, Render(devicePixelRatioF()));
}

void TGauge::DrawPlain(QPainter& painter, const TRect& paint) const
{
    painter.fillRect(ToQRect(paint), backColor_);
}

void TGauge::DrawBar(QPainter& painter, const TRect& paint) const
{
    painter.fillRect(ToQRect(paint), backColor_);
    const TRect bar = kind_ == TGaugeKind::gkHorizontalBar
                          ? HorizontalBarRect(paint, PercentComplete())
                          : VerticalBarRect(paint, PercentComplete());
    if (!bar.IsEmpty()) painter.fillRect(ToQRect(bar), foreColor_);
}

void TGauge::DrawPie(QPainter& painter, const TRect& paint) const
{
    const TPieGeometry g = PieGeometry(paint, borderStyle_, PercentComplete());
    painter.fillRect(ToQRect(paint), Color());
    painter.setPen(ThinPen(foreColor_));
    painter.setBrush(backColor_);
    painter.drawEllipse(EllipseBounds(g.Box));
    if (g.HasWedge) {
        painter.setBrush(foreColor_);
        const TPieAngles angles = PieAngles(g.Wedge);
        painter.drawPie(EllipseBounds(g.Wedge.Box), angles.Start16, angles.Span16);
    }
}

void TGauge::DrawNeedle(QPainter& painter, const TRect& paint) const
{
    const TNeedleGeometry g = NeedleGeometry(paint, borderStyle_, width(), PercentComplete());
    painter.fillRect(ToQRect(paint), Color());
    painter.setPen(ThinPen(foreColor_));
    painter.setBrush(backColor_);
    const TPieAngles dial = PieAngles(g.Dial);
    painter.drawPie(EllipseBounds(g.Dial.Box), dial.Start16, dial.Span16);
    painter.drawLine(ToQPoint(g.BaseFrom), ToQPoint(g.BaseTo));
    if (g.HasNeedle) painter.drawLine(ToQPoint(g.NeedleFrom), ToQPoint(g.NeedleTo));
}

void TGauge::DrawPercentText(QImage& image, const TRect& paint) const
{
    TOverlayBitmap textImage;
    textImage.MakeLike(image);
    ClearToBlack(textImage);
    {
        const QString text = QString::asprintf("%d%%", PercentComplete());
        QFont face = font();
        face.setStyleStrategy(QFont::NoAntialias);
        QPainter painter(&textImage);
        PreparePainter(painter);
        painter.setFont(face);
        painter.setPen(clWhite);
        painter.setBrush(Qt::NoBrush);
        const QFontMetrics metrics(face);
        const TPoint origin =
            PercentTextOrigin(paint, metrics.horizontalAdvance(text), metrics.height());
        painter.setClipRect(ToQRect(paint));
        painter.drawText(QPoint(origin.X, origin.Y + metrics.ascent()), text);
    }
    XorInto(image, textImage);
}

} // namespace movarth
