#include "app/TimeField.h"

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace movarth {

TMaskTimeField::TMaskTimeField(QWidget* parent) : QLineEdit(parent)
{
    setMaxLength(8);
    setContextMenuPolicy(Qt::NoContextMenu);
    setDragEnabled(false);
    setAcceptDrops(false);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    Show(0);
}

std::string TMaskTimeField::Text() const
{
    return positions_;
}

void TMaskTimeField::SetText(const std::string& text)
{
    positions_ = "  :  :  ";
    for (int i = 0; i < 8 && i < static_cast<int>(text.size()); ++i)
        if (IsDigitPosition(i) && text[i] >= '0' && text[i] <= '9') positions_[i] = text[i];
    Show(0);
}

void TMaskTimeField::Show(int cursor)
{
    QString shown = QString::fromStdString(positions_);
    for (int i = 0; i < 8; ++i)
        if (positions_[i] == ' ') shown[i] = QLatin1Char('_');
    QLineEdit::setText(shown);
    setCursorPosition(cursor);
}

void TMaskTimeField::UnfillSelection()
{
    const int from = selectionStart();
    const int to = from + static_cast<int>(selectedText().size());
    for (int i = from; i < to && i < 8; ++i)
        if (IsDigitPosition(i)) positions_[i] = ' ';
    Show(from);
}

void TMaskTimeField::TypeChar(QChar c)
{
    if (hasSelectedText()) UnfillSelection();
    int pos = cursorPosition();
    if (c == QLatin1Char(':')) {
        if (pos == 1 && positions_[0] != ' ') { // "5:" means hour 05 written as " 5"
            positions_[1] = positions_[0];
            positions_[0] = ' ';
            Show(3);
        } else if (pos == 2 || pos == 5) {
            Show(pos + 1);
        }
        return;
    }
    if (!IsDigitPosition(pos) && pos < 8) ++pos;
    if (pos >= 8) return;
    const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const bool blank = c == QLatin1Char(' ') && pos == 0;
    if (!digit && !blank) return;
    positions_[pos] = static_cast<char>(c.unicode());
    ++pos;
    if (pos < 8 && !IsDigitPosition(pos)) ++pos;
    Show(pos);
}

void TMaskTimeField::keyPressEvent(QKeyEvent* event)
{
    if (isReadOnly()) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        for (QChar c : QApplication::clipboard()->text())
            TypeChar(c);
        return;
    }
    if (event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Undo) ||
        event->matches(QKeySequence::Redo)) {
        return;
    }
    switch (event->key()) {
    case Qt::Key_Backspace:
        if (hasSelectedText()) {
            UnfillSelection();
        } else {
            int pos = cursorPosition() - 1;
            if (pos >= 0 && !IsDigitPosition(pos)) --pos;
            if (pos >= 0) {
                positions_[pos] = ' ';
                Show(pos);
            }
        }
        return;
    case Qt::Key_Delete:
        if (hasSelectedText()) {
            UnfillSelection();
        } else {
            int pos = cursorPosition();
            if (pos < 8 && !IsDigitPosition(pos)) ++pos;
            if (pos < 8) {
                positions_[pos] = ' ';
                Show(pos);
            }
        }
        return;
    default:
        break;
    }
    const QString typed = event->text();
    if (typed.size() == 1 && typed[0].isPrint()) {
        TypeChar(typed[0]);
        return;
    }
    // Cursor movement, selection, copy, focus keys: the line edit's own handling.
    QLineEdit::keyPressEvent(event);
}

void TMaskTimeField::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    switch (event->reason()) {
    case Qt::MouseFocusReason:
        // The toolkit gives the focus before it hands the press over.
        focusedByPress_ = true;
        break;
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
        break; // back from another window or a menu: the cursor stays where it was
    default:
        setCursorPosition(0); // also ends the selection that Tab makes
        break;
    }
}

void TMaskTimeField::focusOutEvent(QFocusEvent* event)
{
    focusedByPress_ = false;
    QLineEdit::focusOutEvent(event);
}

void TMaskTimeField::mousePressEvent(QMouseEvent* event)
{
    QLineEdit::mousePressEvent(event);
    if (focusedByPress_) {
        focusedByPress_ = false;
        setCursorPosition(0);
    }
}

} // namespace movarth
