// Schedule files through the window (save, load, their messages) and the entry editor.
#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "app/tests/WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace movarth {
namespace {

std::string ReadAll(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

const TRows kThree = {{"08:00:00", "00:30:00", "08:30:00"},
                      {"12:00:00", "01:00:00", "13:00:00"},
                      {"23:30:00", "01:00:00", "00:30:00"}};

using ScheduleFiles = WindowFixture;

TEST_F(ScheduleFiles, SavingNoEntriesSaysSoWithoutADialog)
{
    window->BitBtn3Click();
    ASSERT_EQ(op.calls.size(), 1u);
    EXPECT_EQ(op.calls[0].kind, "message");
    EXPECT_EQ(op.calls[0].text, "还没有输入任何条目，不必保存！");
}

TEST_F(ScheduleFiles, SaveWritesOneLinePerEntryAndReportsSuccess)
{
    Entries(kThree);
    op.files.push_back(File("day.qlx"));
    window->S1->trigger();
    EXPECT_EQ(ReadAll(File("day.qlx")), "08:00:00 00:30:00 08:30:00\r\n"
                                        "12:00:00 01:00:00 13:00:00\r\n"
                                        "23:30:00 01:00:00 00:30:00\r\n");
    ASSERT_EQ(op.calls.size(), 2u);
    EXPECT_EQ(op.calls[1].kind, "inform");
    EXPECT_EQ(op.calls[1].text, "文件保存成功！");
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有3条记录"));
}

TEST_F(ScheduleFiles, CancelAndOverwriteAnswers)
{
    Entries({kThree[0]});
    window->BitBtn3Click(); // cancelled
    EXPECT_EQ(op.calls.size(), 1u);
    EXPECT_TRUE(QDir(files.path()).isEmpty());

    WriteAll(File("old.qlx"), "old contents");
    op.files = {File("old.qlx"), File("old.qlx")};
    op.answers = {false, true};
    op.calls.clear();
    window->BitBtn3Click(); // No: untouched, nothing more shown
    EXPECT_EQ(ReadAll(File("old.qlx")), "old contents");
    ASSERT_EQ(op.calls.size(), 2u);
    EXPECT_EQ(op.calls[1].kind, "ask");
    EXPECT_EQ(op.calls[1].text, "文件已经存在，是否要覆盖？");
    window->BitBtn3Click(); // Yes
    EXPECT_EQ(ReadAll(File("old.qlx")), "08:00:00 00:30:00 08:30:00\r\n");
    EXPECT_EQ(op.calls.back().text, "文件保存成功！");
}

TEST_F(ScheduleFiles, AFailedSaveIsShownAndKeepsWhatHeldTheName)
{
    Entries(kThree);
    // A folder holds the name, and a folder is never replaced by a schedule file.
    const std::string name = File("taken.qlx");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(name)));
    WriteAll(name + "/inside", "old contents");
    op.files.push_back(name);
    op.answers.push_back(true);
    Click(window->BitBtn3);
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"Cannot create file " + name});
    EXPECT_EQ(ReadAll(name + "/inside"), "old contents");
    EXPECT_EQ(op.calls.back().kind, "message"); // no success notice
    EXPECT_EQ(Rows(), kThree);
}

TEST_F(ScheduleFiles, ARoundTripGivesTheSameTable)
{
    Entries(kThree);
    op.files.push_back(File("round.qlx"));
    window->BitBtn3Click();
    window->BitBtn6Click();
    ASSERT_EQ(window->EntryCount(), 0);
    op.files.push_back(File("round.qlx"));
    window->O1->trigger();
    EXPECT_EQ(Rows(), kThree);
    EXPECT_EQ(window->EntryCount(), 3);
    EXPECT_EQ(window->SortGrid1->RowCount(), 4);
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有3条记录"));
}

struct TLoadCase
{
    const char* name;
    std::string bytes;
    TRows rows;
};

void PrintTo(const TLoadCase& c, std::ostream* os)
{
    *os << c.name;
}

class ScheduleLoad : public WindowFixture, public testing::WithParamInterface<TLoadCase>
{
};

TEST_P(ScheduleLoad, ReplacesTheTableInFileOrder)
{
    Entries({{"10:00:00", "01:00:00", "11:00:00"}, {"11:00:00", "01:00:00", "12:00:00"}});
    WriteAll(File("in.qlx"), GetParam().bytes);
    op.files.push_back(File("in.qlx"));
    window->BitBtn5Click();
    EXPECT_EQ(Rows(), GetParam().rows);
    const int n = static_cast<int>(GetParam().rows.size());
    EXPECT_EQ(window->EntryCount(), n);
    EXPECT_EQ(window->SortGrid1->RowCount(), std::max(2, n + 1));
    EXPECT_EQ(window->Label1->text().toStdString(), "现在有" + std::to_string(n) + "条记录");
    EXPECT_TRUE(op.Messages().empty());
}

const std::string kA = "09:00:00 00:30:00 09:30:00";
const std::string kB = "07:00:00 01:00:00 08:00:00";
const TRows kAB = {{"09:00:00", "00:30:00", "09:30:00"}, {"07:00:00", "01:00:00", "08:00:00"}};

INSTANTIATE_TEST_SUITE_P(
    Files, ScheduleLoad,
    testing::Values(
        TLoadCase{"CrLf", kA + "\r\n" + kB + "\r\n", kAB}, TLoadCase{"Lf", kA + "\n" + kB, kAB},
        TLoadCase{"Cr", kA + "\r" + kB + "\r", kAB},
        TLoadCase{"LfCrIsTwoEnds", kA + "\n\r" + kB, {kAB[0], {"", "", ""}, kAB[1]}},
        TLoadCase{"NulEndsTheText", kA + "\r\n" + kB + std::string(1, '\0') + "\r\n" + kA, kAB},
        TLoadCase{"LongLinesAndOtherSeparators",
                  "09:00:00\t00:30:00,09:30:00 and more\r\n" + kB + "XYZ\r\n", kAB},
        TLoadCase{"ShortLine", kA + "\r\n07:00:00 01:0\r\n", {kAB[0], {"07:00:00", "01:0", ""}}},
        TLoadCase{"NonDigitTexts",
                  "ab:cd:ef 00:30:00 xx:xx:xx\r\n",
                  {{"ab:cd:ef", "00:30:00", "xx:xx:xx"}}},
        TLoadCase{"Empty", "", {}}, TLoadCase{"NulFirst", std::string(1, '\0') + kA, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScheduleFiles, AFileOfMoreThan31LinesIsRefusedWhole)
{
    Entries({kThree[0]});
    std::string bytes;
    for (int i = 0; i < 32; ++i)
        bytes += kA + "\r\n";
    WriteAll(File("long.qlx"), bytes);
    op.files.push_back(File("long.qlx"));
    window->BitBtn5Click();
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"文件中的条目超过31条上限，无法调出！"});
    EXPECT_EQ(Rows(), TRows{kThree[0]});

    bytes.erase(0, kA.size() + 2); // 31 lines load
    WriteAll(File("long.qlx"), bytes);
    op.files.push_back(File("long.qlx"));
    window->BitBtn5Click();
    EXPECT_EQ(window->EntryCount(), 31);
}

TEST_F(ScheduleFiles, AMissingFileIsShownAndChangesNothing)
{
    Entries(kThree);
    op.files.push_back(File("missing.ukt"));
    Click(window->BitBtn5);
    EXPECT_EQ(op.Messages(), std::vector<std::string>{"Cannot open file " + File("missing.ukt")});
    EXPECT_EQ(Rows(), kThree);
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有3条记录"));
}

using EntryEditor = WindowFixture;

TEST_F(EntryEditor, StartsHiddenWithTheFirstChoice)
{
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(edit.ItemIndex(), 0);
    EXPECT_EQ(edit.windowTitle(), QStringLiteral("修改已加入的条目"));
    EXPECT_EQ(edit.size(), QSize(352, 250));
    for (const Qt::WindowType button :
         {Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint})
        EXPECT_FALSE(edit.windowFlags().testFlag(button)) << button;
    EXPECT_EQ(edit.MaskEdit1->Text(), "00:00:00");
}

struct TEditCase
{
    const char* name;
    int choice;
    const char* start;
    const char* length;
    const char* end;
    std::vector<std::string> row;
};

void PrintTo(const TEditCase& c, std::ostream* os)
{
    *os << c.name;
}

class EditorChoice : public WindowFixture, public testing::WithParamInterface<TEditCase>
{
};

TEST_P(EditorChoice, DerivesTheValueTheChoiceDoesNotName)
{
    const TEditCase& c = GetParam();
    Entries({{"12:00:00", "01:00:00", "13:00:00"}});
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    ASSERT_TRUE(edit.isVisible());
    edit.SetItemIndex(c.choice);
    edit.MaskEdit1->SetText(c.start);
    edit.MaskEdit2->SetText(c.length);
    edit.MaskEdit3->SetText(c.end);
    edit.BitBtn1Click();
    EXPECT_EQ(Rows(), TRows{c.row});
    EXPECT_FALSE(edit.isVisible());
    EXPECT_TRUE(editOp.calls.empty());
    EXPECT_EQ(window->EntryCount(), 1);
    EXPECT_EQ(window->Label1->text(), QStringLiteral("现在有1条记录"));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, EditorChoice,
    testing::Values(
        TEditCase{"EndPastMidnight",
                  0,
                  "23:00:00",
                  "02:00:00",
                  "07:07:07",
                  {"23:00:00", "02:00:00", "01:00:00"}},
        TEditCase{"StartBeforeMidnight",
                  1,
                  "07:07:07",
                  "03:00:00",
                  "02:00:00",
                  {"23:00:00", "03:00:00", "02:00:00"}},
        TEditCase{
            "Start", 1, "07:07:07", "01:00:00", "05:00:00", {"04:00:00", "01:00:00", "05:00:00"}},
        TEditCase{
            "Length", 2, "01:00:00", "07:07:07", "02:00:00", {"01:00:00", "01:00:00", "02:00:00"}},
        TEditCase{"LengthAcrossMidnight",
                  2,
                  "22:00:00",
                  "07:07:07",
                  "01:00:00",
                  {"22:00:00", "03:00:00", "01:00:00"}},
        TEditCase{"LengthToMidnight",
                  2,
                  "08:00:00",
                  "07:07:07",
                  "00:00:00",
                  {"08:00:00", "16:00:00", "00:00:00"}},
        TEditCase{"AllZeroIsOrdinary",
                  0,
                  "00:00:00",
                  "00:00:00",
                  "00:00:00",
                  {"00:00:00", "00:00:00", "00:00:00"}},
        TEditCase{"BlankHourDigit",
                  0,
                  " 9:00:00",
                  "01:00:00",
                  "00:00:00",
                  {"09:00:00", "01:00:00", "10:00:00"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EntryEditor, ConfirmWritesTheRowSelectedNowAndSortsAgain)
{
    Entries({{"08:00:00", "00:10:00", "08:10:00"},
             {"09:00:00", "00:10:00", "09:10:00"},
             {"10:00:00", "00:10:00", "10:10:00"}});
    window->SortGrid1->SetRow(2);
    window->SortGrid1DblClick();
    EXPECT_EQ(edit.MaskEdit1->Text(), "09:00:00");
    // Another row double-clicked while open refills the fields.
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    EXPECT_EQ(edit.MaskEdit1->Text(), "08:00:00");
    edit.MaskEdit1->SetText("09:30:00");
    window->SortGrid1->SetRow(3); // the operator selects another row before confirming
    edit.BitBtn1Click();
    EXPECT_EQ(Rows(), (TRows{{"08:00:00", "00:10:00", "08:10:00"},
                             {"09:00:00", "00:10:00", "09:10:00"},
                             {"09:30:00", "00:10:00", "09:40:00"}}));

    // Row 1 moved to 09:30: the sort puts it between its neighbours.
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    edit.MaskEdit1->SetText("09:15:00");
    edit.BitBtn1Click();
    EXPECT_EQ(Rows(), (TRows{{"09:00:00", "00:10:00", "09:10:00"},
                             {"09:15:00", "00:10:00", "09:25:00"},
                             {"09:30:00", "00:10:00", "09:40:00"}}));
    EXPECT_EQ(window->EntryCount(), 3);
}

TEST_F(EntryEditor, AFailedRangeCheckKeepsItOpenAndBackWritesNothing)
{
    Entries(kThree);
    window->SortGrid1->SetRow(2);
    window->SortGrid1DblClick();
    edit.SetItemIndex(2);
    edit.MaskEdit3->SetText("12:60:00");
    edit.BitBtn1Click();
    EXPECT_EQ(editOp.Messages(), std::vector<std::string>{"结束时间输入条目有错误，请检查！"});
    EXPECT_TRUE(op.calls.empty()); // the editor's own box
    EXPECT_TRUE(edit.isVisible());
    edit.BitBtn2Click();
    EXPECT_FALSE(edit.isVisible());
    EXPECT_EQ(Rows(), kThree);
    // The choice and the texts stay while hidden.
    EXPECT_EQ(edit.ItemIndex(), 2);
    EXPECT_EQ(edit.MaskEdit3->Text(), "12:60:00");
}

// The double-click as the operator makes it, on the grid's cells; the right button's belongs
// to the pop-up menu.
TEST_F(EntryEditor, OnlyALeftDoubleClickOnTheTableOpensIt)
{
    Entries(kThree);
    window->show();
    const QPoint row2 = window->SortGrid1->CellRect(1, 2).center();
    QTest::mouseDClick(window->SortGrid1->viewport(), Qt::RightButton, {}, row2);
    EXPECT_FALSE(edit.isVisible());
    QTest::mouseDClick(window->SortGrid1->viewport(), Qt::LeftButton, {}, row2);
    EXPECT_TRUE(edit.isVisible());
    EXPECT_EQ(edit.MaskEdit1->Text(), kThree[1][0]);
}

// The editor is a secondary window: it does not keep the program alive once the main window
// has gone.
TEST_F(EntryEditor, ClosingTheMainWindowWhileItShowsEndsTheProgram)
{
    Entries(kThree);
    window->show();
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    ASSERT_TRUE(edit.isVisible());
    QTimer::singleShot(0, [&] { window->close(); });
    QTimer::singleShot(3000, [] { QCoreApplication::exit(-1); }); // still running: the fault
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST_F(EntryEditor, IsNotOpenedOnTheHeaderOrAnEmptyTable)
{
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick(); // no entry yet: the one row is empty
    EXPECT_FALSE(edit.isVisible());
    Entries(kThree);
    window->SortGrid1->SetRow(0);
    window->SortGrid1DblClick();
    EXPECT_FALSE(edit.isVisible());
}

TEST_F(EntryEditor, ConfirmRefusesTheHeaderAndRowsThatHoldNoEntry)
{
    Entries(kThree);
    window->SortGrid1->SetRow(1);
    window->SortGrid1DblClick();
    edit.MaskEdit1->SetText("01:00:00");

    window->SortGrid1->SetRow(0); // a header cell was pressed
    edit.BitBtn1Click();
    EXPECT_EQ(editOp.Messages(), std::vector<std::string>{"请先在表格中选中要修改的条目！"});
    EXPECT_EQ(window->SortGrid1->Cells(0, 0), "开始时间");
    EXPECT_EQ(Rows(), kThree);
    EXPECT_TRUE(edit.isVisible());

    window->BitBtn6Click(); // cleared while the editor is open
    window->SortGrid1->SetRow(1);
    edit.BitBtn1Click();
    EXPECT_EQ(editOp.Messages().size(), 2u);
    EXPECT_EQ(window->SortGrid1->Cells(0, 1), "");
    EXPECT_EQ(window->EntryCount(), 0);
}

} // namespace
} // namespace movarth
