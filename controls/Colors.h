#pragma once

#include <QColor>

class QWidget;

namespace movarth {

// Fixed colours by their Windows names.
inline const QColor clBlack{0, 0, 0};
inline const QColor clWhite{255, 255, 255};
inline const QColor clSilver{192, 192, 192};
inline const QColor clNavy{0, 0, 128};

// System colours, read from the application's palette when called.
QColor clBtnFace();       // QPalette::Button
QColor clWindow();        // QPalette::Base
QColor clWindowText();    // QPalette::Text
QColor clHighlight();     // QPalette::Highlight
QColor clHighlightText(); // QPalette::HighlightedText
QColor clWindowFrame();   // QPalette::WindowText

// The colour of a control's text (a label's, a button's caption, an edit field's).
void SetTextColor(QWidget* widget, const QColor& color);

} // namespace movarth
