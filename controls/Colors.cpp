#include "Colors.h"

#include <QGuiApplication>
#include <QPalette>

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

} // namespace movarth
