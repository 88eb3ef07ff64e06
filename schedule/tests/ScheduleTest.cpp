#include "schedule/Schedule.h"

#include "FakeOperator.h"
#include "schedule/StringTable.h"

#include <gtest/gtest.h>

namespace movarth {
namespace {

using test::TFakeOperator;

const std::string Z = "00:00:00";

class ScheduleTest : public testing::Test
{
protected:
    ScheduleTest()
    {
        table.SetCell(0, 0, "开始时间");
        table.SetCell(1, 0, "节目长度");
        table.SetCell(2, 0, "结束时间");
        schedule.SetCountListener([this](const std::string& text) { labels.push_back(text); });
    }

    // Adds an entry from a start and a length; a midnight start is confirmed as such.
    void Add(const std::string& start, const std::string& length)
    {
        if (start == Z) op.answers.push_back(true);
        TPlainTimeField s(start), l(length), e(Z);
        schedule.BitBtn1Click(s, l, e);
        ASSERT_EQ(s.Text(), Z) << "entry " << start << " was refused";
    }

    // Adds `count` entries starting 01:00:00, 01:01:00, ...
    void AddMinutes(int count)
    {
        for (int i = 0; i < count; ++i)
            Add(SecondsToTimeText(3600 + 60 * i), "00:00:30");
    }

    // Rows 1 to the last row, each as its three cells separated by blanks.
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows;
        for (int r = 1; r < table.RowCount(); ++r)
            rows.push_back(table.Cell(0, r) + " " + table.Cell(1, r) + " " + table.Cell(2, r));
        return rows;
    }

    TStringTable table{3, 2};
    TFakeOperator op;
    TSchedule schedule{table, op};
    std::vector<std::string> labels;
};

TEST_F(ScheduleTest, StartsEmptyAndSaysSo)
{
    EXPECT_EQ(schedule.EntryCount(), 0);
    EXPECT_EQ(schedule.CountText(), "现在有0条记录");
    EXPECT_FALSE(schedule.DownloadBusy());
}

TEST_F(ScheduleTest, AddToEmptyTableWritesRowOneAndResetsTheFields)
{
    TPlainTimeField start(" 8:00:00"), length("00:30:00"), end(Z);
    schedule.BitBtn1Click(start, length, end);

    EXPECT_EQ(Rows(), std::vector<std::string>{"08:00:00 00:30:00 08:30:00"});
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_EQ(schedule.EntryCount(), 1);
    EXPECT_EQ(labels, std::vector<std::string>{"现在有1条记录"});
    EXPECT_EQ(schedule.CountText(), "现在有1条记录");
    EXPECT_EQ(start.Text() + length.Text() + end.Text(), Z + Z + Z);
    EXPECT_TRUE(op.events.empty());
    EXPECT_EQ(table.Cell(0, 0), "开始时间");
}

TEST_F(ScheduleTest, RefusedAddKeepsTheOperatorsTexts)
{
    Add("08:00:00", "01:00:00");
    TPlainTimeField start(" 9:00:00"), length("01:00:00"), end("11:00:00");
    schedule.BitBtn1Click(start, length, end);

    EXPECT_EQ(op.events, std::vector<std::string>{"message: 您输入的三项数据不匹配，请检查！"});
    EXPECT_EQ(start.Text(), "09:00:00");
    EXPECT_EQ(length.Text(), "01:00:00");
    EXPECT_EQ(end.Text(), "11:00:00");
    EXPECT_EQ(schedule.EntryCount(), 1);
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_EQ(labels.size(), 1u);
}

TEST_F(ScheduleTest, AddSortsByStartTimeWithTheRowsTravellingWhole)
{
    Add("10:00:00", "00:10:00");
    Add("08:00:00", "00:20:00");
    Add("09:00:00", "00:30:00");
    EXPECT_EQ(Rows(),
              (std::vector<std::string>{"08:00:00 00:20:00 08:20:00", "09:00:00 00:30:00 09:30:00",
                                        "10:00:00 00:10:00 10:10:00"}));
    EXPECT_EQ(table.RowCount(), 4);
    EXPECT_EQ(schedule.CountText(), "现在有3条记录");
}

TEST_F(ScheduleTest, EqualStartGoesAfterTheExistingEntry)
{
    Add("08:00:00", "01:00:00");
    Add("09:00:00", "01:00:00");
    Add("08:00:00", "02:00:00");
    EXPECT_EQ(Rows(),
              (std::vector<std::string>{"08:00:00 01:00:00 09:00:00", "08:00:00 02:00:00 10:00:00",
                                        "09:00:00 01:00:00 10:00:00"}));
}

TEST_F(ScheduleTest, SortIsNotStableForEqualStarts)
{
    Add(Z, "00:00:01");          // a
    Add(Z, "00:00:02");          // b
    Add("03:00:00", "00:00:03"); // c
    Add("03:00:00", "00:00:04"); // d
    Add("02:00:00", "00:00:05"); // e
    std::vector<std::string> lengths;
    for (int r = 1; r <= schedule.EntryCount(); ++r)
        lengths.push_back(table.Cell(1, r));
    EXPECT_EQ(lengths, (std::vector<std::string>{"00:00:01", "00:00:02", "00:00:05", "00:00:04",
                                                 "00:00:03"}));
}

// The selection goes to each entry added and stays on its entry through the sort, also where
// the sort is not stable.
TEST_F(ScheduleTest, TheSelectionFollowsTheEntryAddedThroughTheSort)
{
    const struct
    {
        std::string start;
        int selected;
    } adds[] = {{"10:00:00", 1}, {"08:00:00", 1}, {"09:00:00", 2}, {"23:00:00", 4},
                {"03:00:00", 1}, {"03:00:00", 2}, {"09:00:00", 5}};
    for (const auto& add : adds) {
        table.SetRow(3); // wherever the operator left it
        Add(add.start, "00:10:00");
        EXPECT_EQ(table.Row(), add.selected) << add.start;
        EXPECT_EQ(table.Cell(0, table.Row()), add.start);
    }
}

// An edit rewrites the selected row and sorts: the selection moves with that entry, and also
// with a selected entry that the sort moves because another row changed.
TEST_F(ScheduleTest, TheSortTakesTheSelectedEntryAlong)
{
    Add("08:00:00", "00:10:00");
    Add("09:00:00", "00:10:00");
    Add("10:00:00", "00:10:00");
    table.SetRow(1);
    table.SetCell(0, 1, "09:30:00");
    schedule.SortEntries();
    EXPECT_EQ(table.Row(), 2);
    EXPECT_EQ(table.Cell(0, 2), "09:30:00");

    table.SetRow(3); // 10:00:00, moved by another row's change
    table.SetCell(0, 1, "11:00:00");
    schedule.SortEntries();
    EXPECT_EQ(table.Row(), 2);
    EXPECT_EQ(table.Cell(0, 2), "10:00:00");
}

TEST_F(ScheduleTest, TheLimitIsThirtyOneEntries)
{
    AddMinutes(30);
    ASSERT_EQ(schedule.EntryCount(), 30);
    AddMinutes(1);
    EXPECT_EQ(schedule.EntryCount(), 31);
    EXPECT_EQ(table.RowCount(), 32);
    op.events.clear();

    // Refused before the fields are even normalised.
    TPlainTimeField start(" 9:99:00"), length("__:00:00"), end(Z);
    schedule.BitBtn1Click(start, length, end);
    EXPECT_EQ(start.Text(), " 9:99:00");
    table.SetRow(3);
    schedule.N2Click();
    EXPECT_EQ(op.events,
              (std::vector<std::string>{"message: 输入的条目已到达31条上限，无法再加入新条目！",
                                        "message: 输入的条目已到达31条上限，无法再插入新条目！"}));
    EXPECT_EQ(schedule.EntryCount(), 31);
    EXPECT_EQ(table.RowCount(), 32);
}

TEST_F(ScheduleTest, InsertPutsZeroRowAtTheSelectedRowWithoutSorting)
{
    Add("01:00:00", "00:10:00");
    Add("02:00:00", "00:10:00");
    Add("03:00:00", "00:10:00");
    table.SetRow(2);
    schedule.N2Click();
    EXPECT_EQ(Rows(), (std::vector<std::string>{"01:00:00 00:10:00 01:10:00", Z + " " + Z + " " + Z,
                                                "02:00:00 00:10:00 02:10:00",
                                                "03:00:00 00:10:00 03:10:00"}));
    EXPECT_EQ(schedule.EntryCount(), 4);
    EXPECT_EQ(schedule.CountText(), "现在有4条记录");
}

TEST_F(ScheduleTest, InsertDoesNothingOnAnEmptyTableOrTheHeader)
{
    table.SetRow(1);
    schedule.N2Click();
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_EQ(schedule.EntryCount(), 0);

    Add("01:00:00", "00:10:00");
    table.SetRow(0);
    schedule.N2Click();
    EXPECT_EQ(Rows(), std::vector<std::string>{"01:00:00 00:10:00 01:10:00"});
    EXPECT_EQ(labels.size(), 1u);
    EXPECT_TRUE(op.events.empty());
}

struct DeleteCase
{
    const char* name;
    int entries;
    int selected;
    std::vector<std::string> rows;
    int entryCount;
};

void PrintTo(const DeleteCase& c, std::ostream* os)
{
    *os << c.name;
}

class DeleteTest : public ScheduleTest, public testing::WithParamInterface<DeleteCase>
{
};

TEST_P(DeleteTest, RemovesTheSelectedEntry)
{
    const DeleteCase& c = GetParam();
    const char* starts[] = {"01:00:00", "02:00:00", "03:00:00"};
    for (int i = 0; i < c.entries; ++i)
        Add(starts[i], "00:10:00");
    labels.clear();
    table.SetRow(c.selected);

    schedule.D1Click();

    EXPECT_EQ(Rows(), c.rows);
    EXPECT_EQ(schedule.EntryCount(), c.entryCount);
    EXPECT_EQ(labels, std::vector<std::string>{"现在有" + std::to_string(c.entryCount) + "条记录"});
    EXPECT_EQ(table.Cell(0, 0), "开始时间");
    EXPECT_TRUE(op.events.empty());
}

const std::string E1 = "01:00:00 00:10:00 01:10:00";
const std::string E2 = "02:00:00 00:10:00 02:10:00";
const std::string E3 = "03:00:00 00:10:00 03:10:00";

INSTANTIATE_TEST_SUITE_P(Cases, DeleteTest,
                         testing::Values(DeleteCase{"MiddleRow", 3, 2, {E1, E3}, 2},
                                         DeleteCase{"FirstRow", 3, 1, {E2, E3}, 2},
                                         DeleteCase{"LastRow", 3, 3, {E1, E2}, 2},
                                         DeleteCase{"SingleEntry", 1, 1, {"  "}, 0},
                                         DeleteCase{"NoEntry", 0, 1, {"  "}, 0},
                                         DeleteCase{"HeaderSelected", 3, 0, {E1, E2, E3}, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScheduleTest, ClearLeavesOneEmptyRow)
{
    AddMinutes(31);
    schedule.BitBtn6Click();
    EXPECT_EQ(Rows(), std::vector<std::string>{"  "});
    EXPECT_EQ(schedule.EntryCount(), 0);
    EXPECT_EQ(schedule.CountText(), "现在有0条记录");
    EXPECT_EQ(table.Cell(1, 0), "节目长度");

    // The table works as new afterwards.
    Add("05:00:00", "00:10:00");
    EXPECT_EQ(Rows(), std::vector<std::string>{"05:00:00 00:10:00 05:10:00"});
}

TEST_F(ScheduleTest, EveryCommandIsIgnoredWhileADownloadRuns)
{
    Add("01:00:00", "00:10:00");
    Add("02:00:00", "00:10:00");
    const auto rowsBefore = Rows();
    labels.clear();
    op.events.clear();
    bool busy = true;
    schedule.SetDownloadBusy([&busy] { return busy; });
    table.SetRow(1);

    TPlainTimeField start(" 3:00:00"), length("00:10:00"), end(Z);
    schedule.BitBtn1Click(start, length, end);
    schedule.N2Click();
    schedule.D1Click();
    schedule.BitBtn6Click();
    schedule.BitBtn3Click(); // the fake fails the test if a dialog is shown
    schedule.BitBtn5Click();

    EXPECT_EQ(Rows(), rowsBefore);
    EXPECT_EQ(schedule.EntryCount(), 2);
    EXPECT_EQ(start.Text(), " 3:00:00");
    EXPECT_TRUE(labels.empty());
    EXPECT_TRUE(op.events.empty());

    busy = false;
    schedule.D1Click();
    EXPECT_EQ(schedule.EntryCount(), 1);
}

} // namespace
} // namespace movarth
