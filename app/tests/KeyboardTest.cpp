// The window worked from the keyboard as an operator does it: digits into the time fields,
// Tab, Enter to add, the keys of the table's commands, and the editor's Enter and Escape; and
// two things it shows, the pop-up menu's separator and the icon.
#include "app/tests/WindowFixture.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QTest>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace movarth {
namespace {

// The window shown and active, so that keys and shortcuts reach it as the operator's do.
class Keyboard : public WindowFixture
{
protected:
    void SetUp() override
    {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    // Keys go where the focus is, as on a real keyboard.
    static QWidget* Focus() { return QApplication::focusWidget(); }
    static void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::keyClick(Focus(), key, modifiers);
    }
    static void Type(const char* keys) { QTest::keyClicks(Focus(), QString::fromLatin1(keys)); }

    // A click at the middle of a widget that does not have the focus yet.
    static void ClickMiddle(QWidget* widget)
    {
        QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
    }

    // One entry as a day is typed: start digits, Tab, length digits, Enter.
    void TypeEntry(const char* start, const char* length)
    {
        ASSERT_EQ(Focus(), window->MaskEdit1);
        Type(start);
        Press(Qt::Key_Tab);
        Type(length);
        Press(Qt::Key_Return);
    }

    std::vector<std::string> Starts() const
    {
        std::vector<std::string> starts;
        for (const auto& row : Rows())
            starts.push_back(row[0]);
        return starts;
    }

    // Whether the row shows whole in the table.
    bool RowShows(int row) const
    {
        const QRect cell = window->SortGrid1->CellRect(0, row);
        return !cell.isEmpty() && cell.bottom() < window->SortGrid1->viewport()->height();
    }
};

const TRows kEightNineTen = {{"08:00:00", "00:10:00", "08:10:00"},
                             {"09:00:00", "00:10:00", "09:10:00"},
                             {"10:00:00", "00:10:00", "10:10:00"}};

// Today's mistake was a click in the middle and "1230" typed from there: 00:12:30.
TEST_F(Keyboard, AClickIntoATimeFieldStartsAtItsFirstDigitAndASecondClickWhereItIs)
{
    window->SortGrid1->setFocus();
    ClickMiddle(window->MaskEdit1);
    ASSERT_EQ(Focus(), window->MaskEdit1);
    Type("1230");
    EXPECT_EQ(window->MaskEdit1->Text(), "12:30:00");

    // The field has the focus now: the click places the cursor, here on the minutes.
    TMaskTimeField* field = window->MaskEdit1;
    QPoint minutes;
    for (int x = 0; x < field->width() && minutes.isNull(); ++x)
        if (field->cursorPositionAt(QPoint(x, field->height() / 2)) == 3)
            minutes = QPoint(x, field->height() / 2);
    ASSERT_FALSE(minutes.isNull());
    QTest::mouseClick(field, Qt::LeftButton, {}, minutes);
    Type("45");
    EXPECT_EQ(field->Text(), "12:45:00");
}

TEST_F(Keyboard, TabAndShiftTabIntoATimeFieldStartAtItsFirstDigit)
{
    ClickMiddle(window->MaskEdit1);
    Type("08");
    Press(Qt::Key_Tab); // nothing selected: the digits overwrite from the first one
    ASSERT_EQ(Focus(), window->MaskEdit2);
    Type("0130");
    EXPECT_EQ(window->MaskEdit2->Text(), "01:30:00");
    Press(Qt::Key_Tab);
    Press(Qt::Key_Backtab);
    ASSERT_EQ(Focus(), window->MaskEdit2);
    Type("2");
    EXPECT_EQ(window->MaskEdit2->Text(), "21:30:00");
}

// Digits, Tab, digits, Enter, and again: a day typed without the mouse, each entry selected
// and shown as it goes into the table.
TEST_F(Keyboard, EnterAddsAndTheNextEntryIsTypedAtOnce)
{
    ClickMiddle(window->MaskEdit1);
    for (int i = 0; i < 10; ++i) {
        const std::string start = (i < 9 ? "0" : "") + std::to_string(i + 1) + "0000";
        TypeEntry(start.c_str(), "003000");
        ASSERT_EQ(window->EntryCount(), i + 1);
        EXPECT_EQ(Focus(), window->MaskEdit1) << i;
        EXPECT_EQ(window->MaskEdit1->cursorPosition(), 0) << i;
        EXPECT_EQ(window->SortGrid1->Row(), i + 1) << i;
    }
    EXPECT_EQ(window->SortGrid1->Cells(2, 10), "10:30:00");
    EXPECT_TRUE(RowShows(10)) << "the tenth entry is below the nine rows shown";
    EXPECT_FALSE(RowShows(1));

    // An entry that sorts to the top: selected there, and the table scrolls back to it.
    TypeEntry("000500", "001000");
    EXPECT_EQ(window->SortGrid1->Row(), 1);
    EXPECT_EQ(window->SortGrid1->Cells(0, 1), "00:05:00");
    EXPECT_TRUE(RowShows(1));
    EXPECT_TRUE(op.calls.empty());
}

TEST_F(Keyboard, EnterInEachTimeFieldAndOnTheAddButtonAdds)
{
    const struct
    {
        const char* name;
        QWidget* widget;
    } places[] = {{"start field", window->MaskEdit1},
                  {"length field", window->MaskEdit2},
                  {"end field", window->MaskEdit3},
                  {"add button", window->BitBtn1}};
    int count = 0;
    for (const auto& place : places) {
        TypeTime(window->MaskEdit1, (std::to_string(10 + count) + ":00:00").c_str());
        TypeTime(window->MaskEdit2, "00:10:00");
        place.widget->setFocus();
        Press(place.widget == window->BitBtn1 ? Qt::Key_Enter : Qt::Key_Return);
        EXPECT_EQ(window->EntryCount(), ++count) << place.name;
        EXPECT_EQ(Focus(), window->MaskEdit1) << place.name;
    }
    // Tab from the end field reaches the add button, as the focus order has it.
    window->MaskEdit3->setFocus();
    Press(Qt::Key_Tab);
    EXPECT_EQ(Focus(), window->BitBtn1);
    EXPECT_TRUE(op.Messages().empty());
}

// After a refused add the focus goes to the field that the message is about; a refusal about
// the entry as a whole goes to the start field.
TEST_F(Keyboard, AfterARefusalTheFocusIsAtTheFieldToCorrect)
{
    const struct
    {
        const char* start;
        const char* length;
        const char* end;
        bool unfill; // the end's second minute digit unfilled with Delete
        const char* message;
        TMaskTimeField* TFrm_main::*field;
    } cases[] = {
        {"24:00:00", "01:00:00", "00:00:00", false, "开播时间输入条目有错误，请检查！",
         &TFrm_main::MaskEdit1},
        {"08:00:00", "01:60:00", "00:00:00", false, "节目长度输入条目有错误，请检查！",
         &TFrm_main::MaskEdit2},
        {"08:00:00", "00:00:00", "12:00:60", false, "结束时间输入条目有错误，请检查！",
         &TFrm_main::MaskEdit3},
        {"01:00:00", "01:00:00", "01:00:00", false, "输入条目有错误，三个时间信息不可以相同！",
         &TFrm_main::MaskEdit1},
        {"08:00:00", "01:00:00", "10:00:00", false, "您输入的三项数据不匹配，请检查！",
         &TFrm_main::MaskEdit1},
        {"08:00:00", "01:00:00", "10:30:00", true, "'3 ' is not a valid integer value",
         &TFrm_main::MaskEdit3},
    };
    for (const auto& c : cases) {
        op.calls.clear();
        TypeTime(window->MaskEdit1, c.start);
        TypeTime(window->MaskEdit2, c.length);
        TypeTime(window->MaskEdit3, c.end); // the cursor stays after the last digit
        window->MaskEdit3->setFocus();
        if (c.unfill) {
            window->MaskEdit3->setCursorPosition(4);
            Press(Qt::Key_Delete);
        }
        Press(Qt::Key_Return);
        EXPECT_EQ(window->EntryCount(), 0) << c.message;
        EXPECT_EQ(op.Messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(Focus(), window.get()->*c.field) << c.message;
        EXPECT_EQ((window.get()->*c.field)->cursorPosition(), 0) << c.message;
    }
}

TEST_F(Keyboard, DeleteInTheTableDeletesTheSelectedEntry)
{
    Entries(kEightNineTen);
    QTest::mouseClick(window->SortGrid1->viewport(), Qt::LeftButton, {},
                      window->SortGrid1->CellRect(1, 2).center());
    ASSERT_EQ(Focus(), window->SortGrid1);
    Press(Qt::Key_Delete);
    EXPECT_EQ(Starts(), (std::vector<std::string>{"08:00:00", "10:00:00"}));
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有2条记录"));

    // In a time field Delete stays the field's own key.
    window->MaskEdit1->setFocus();
    Press(Qt::Key_Delete);
    EXPECT_EQ(window->MaskEdit1->Text(), " 0:00:00");
    EXPECT_EQ(window->EntryCount(), 2);
    EXPECT_TRUE(op.calls.empty());
}

TEST_F(Keyboard, CtrlSSavesAndCtrlOLoadsFromAnywhereInTheWindow)
{
    ClickMiddle(window->MaskEdit1);
    TypeEntry("120000", "011500");
    TypeEntry("073000", "003000");
    const std::string path = File("day.qlx");
    op.files.push_back(path);
    Press(Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(op.calls.size(), 2u);
    EXPECT_EQ(op.calls[0].kind, "save");
    EXPECT_EQ(op.calls[1].text, "文件保存成功！");
    QFile saved(QString::fromStdString(path));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), "07:30:00 00:30:00 08:00:00\r\n12:00:00 01:15:00 13:15:00\r\n");

    window->BitBtn6->click();
    ASSERT_EQ(window->EntryCount(), 0);
    op.calls.clear();
    op.files.push_back(path);
    window->SortGrid1->setFocus();
    Press(Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(op.calls.size(), 1u);
    EXPECT_EQ(op.calls[0].kind, "open");
    EXPECT_EQ(Starts(), (std::vector<std::string>{"07:30:00", "12:00:00"}));
}

TEST_F(Keyboard, TheEditorTakesEnterAsConfirmAndEscapeAsBack)
{
    Entries(kEightNineTen);
    const auto openOnRow = [&](int row) {
        QTest::mouseDClick(window->SortGrid1->viewport(), Qt::LeftButton, {},
                           window->SortGrid1->CellRect(1, row).center());
        EXPECT_TRUE(edit.isVisible());
        edit.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&edit));
        edit.MaskEdit1->setFocus();
    };

    openOnRow(1);
    Type("093000");
    Press(Qt::Key_Return);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Starts(), (std::vector<std::string>{"09:00:00", "09:30:00", "10:00:00"}));
    EXPECT_EQ(window->SortGrid1->Cells(2, 2), "09:40:00");
    EXPECT_EQ(window->SortGrid1->Row(), 2) << "the selection follows the entry changed";

    openOnRow(3);
    Type("23");
    Press(Qt::Key_Escape);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Starts(), (std::vector<std::string>{"09:00:00", "09:30:00", "10:00:00"}));

    // Enter on the focused back button goes back.
    openOnRow(3);
    Type("23");
    edit.BitBtn2->setFocus();
    Press(Qt::Key_Enter);
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Starts(), (std::vector<std::string>{"09:00:00", "09:30:00", "10:00:00"}));
    EXPECT_TRUE(editOp.calls.empty());
}

// The same window, for what it shows.
using WindowLook = Keyboard;

// The separator between the file entries and the others is a line across the menu, with no
// text beside it.
TEST_F(WindowLook, ThePopUpMenusSeparatorIsAPlainLine)
{
    QWidget* table = window->SortGrid1->viewport();
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(50, 30),
                            table->mapToGlobal(QPoint(50, 30)));
    QApplication::sendEvent(table, &event);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window->PopupMenu1));
    const QImage menu = window->PopupMenu1->grab().toImage();
    window->PopupMenu1->hide();

    const QRect separator = window->PopupMenu1->actionGeometry(window->N3);
    ASSERT_FALSE(separator.isEmpty());
    const QRgb background = menu.pixel(separator.left(), separator.top());
    std::vector<std::pair<int, int>> rows; // of each inked row: first and last inked x
    int inked = 0;
    for (int y = separator.top(); y <= separator.bottom(); ++y) {
        int first = -1, last = -1, count = 0;
        for (int x = separator.left(); x <= separator.right(); ++x)
            if (menu.pixel(x, y) != background) {
                if (first < 0) first = x;
                last = x;
                ++count;
            }
        if (count == 0) continue;
        ++inked;
        EXPECT_EQ(count, last - first + 1) << "a gap in row " << y;
        EXPECT_GT(last - first + 1, separator.width() * 3 / 4) << "a short mark in row " << y;
    }
    EXPECT_GE(inked, 1);
    EXPECT_LE(inked, 2);
}

TEST_F(WindowLook, BothWindowsShowTheProgramsIcon)
{
    for (QWidget* shown : {static_cast<QWidget*>(window.get()), static_cast<QWidget*>(&edit)}) {
        const QImage icon = shown->windowIcon().pixmap(QSize(64, 64)).toImage();
        ASSERT_EQ(icon.size(), QSize(64, 64));
        int opaque = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x)
                opaque += qAlpha(icon.pixel(x, y)) == 255;
        EXPECT_GT(opaque, 64 * 64 / 4);
    }
}

} // namespace
} // namespace movarth
