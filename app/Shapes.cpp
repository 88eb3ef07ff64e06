#include "app/Shapes.h"

#include <QPainter>
#include <algorithm>

namespace movarth {

TShape::TShape(QWidget* parent) : QWidget(parent) {}

void TShape::SetBrushColor(const QColor& color)
{
    if (color == brushColor_) return;
    brushColor_ = color;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(brushColor_);
    const int side = std::min(width(), height()) - 1;
    painter.drawEllipse(QRectF((width() - side) / 2.0, (height() - side) / 2.0, side, side)
                            .adjusted(0.5, 0.5, -0.5, -0.5));
}

void TBevel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int x = width() - 2;
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(x, 0, x, height() - 1);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(x + 1, 0, x + 1, height() - 1);
}

} // namespace movarth
