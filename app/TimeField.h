#pragma once

#include "schedule/TimeText.h"

#include <QLineEdit>
#include <string>

namespace movarth {

// The "hh:mm:ss" input field of the schedule. It always holds eight positions: two fixed
// colons and six digit positions, each a digit or unfilled (shown as "_"). Only the first hour
// digit may be left blank; Text() reads an unfilled position as a blank, so "5:07:09" typed
// without the first hour digit reads " 5:07:09". Typing overwrites; Backspace and Delete
// unfill; a ":" typed right after a single hour digit moves that digit to the second place.
// The cursor starts at the first digit whenever the field gains the focus, by Tab or by a
// click alike, so six digits typed then give the whole time; a click into the field that
// already has the focus places the cursor where it was made.
class TMaskTimeField : public QLineEdit, public TTimeField
{
public:
    explicit TMaskTimeField(QWidget* parent = nullptr);

    // The field's 8-character text.
    std::string Text() const override;
    // Shows the first 8 characters of text; anything but a digit counts as unfilled, and the
    // colons always stay.
    void SetText(const std::string& text) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    static bool IsDigitPosition(int pos) { return pos != 2 && pos != 5; }
    void TypeChar(QChar c);
    void UnfillSelection();
    void Show(int cursor);

    std::string positions_ = "00:00:00"; // ' ' for an unfilled position
    // The focus came with a mouse press that the field has not seen yet.
    bool focusedByPress_ = false;
};

} // namespace movarth
