#include "Colors.h"

#include <QGuiApplication>
#include <QPalette>
#include <QWidget>

namespace movarth {

namespace {
QColor PaletteColor(QPalette::ColorRole role)
{
    return QGuiApplication::palette().color(QPalette::Active, role);
}
} // namespace

QColor clBtnFace()
{
    return PaletteColor(QPalette::Button);
}
QColor clWindow()
{
    return PaletteColor(QPalette::Base);
}
QColor clWindowText()
{
    return PaletteColor(QPalette::Text);
}
QColor clHighlight()
{
    return PaletteColor(QPalette::Highlight);
}
QColor clHighlightText()
{
    return PaletteColor(QPalette::HighlightedText);
}
QColor clWindowFrame()
{
    return PaletteColor(QPalette::WindowText);
}

void SetTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

} // namespace movarth
