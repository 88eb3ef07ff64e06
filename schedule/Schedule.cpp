#include "Schedule.h"

#include "Operator.h"
#include "ScheduleFile.h"
#include "StringTable.h"

#include <filesystem>

namespace movarth {

TSchedule::TSchedule(TStringTable& table, TOperator& op) : table_(table), op_(op) {}

std::string TSchedule::CountTextOf(int entryCount)
{
    return "现在有" + std::to_string(entryCount) + "条记录";
}

void TSchedule::ShowEntryCount()
{
    countText_ = CountTextOf(entryCount_);
    if (countListener_) countListener_(countText_);
}

void TSchedule::SetEntryRow(int row, const std::string& start, const std::string& length,
                            const std::string& end)
{
    table_.SetCell(0, row, start);
    table_.SetCell(1, row, length);
    table_.SetCell(2, row, end);
}

void TSchedule::MoveRow(int from, int to)
{
    SetEntryRow(to, table_.Cell(0, from), table_.Cell(1, from), table_.Cell(2, from));
}

void TSchedule::BitBtn1Click(TTimeField& start, TTimeField& length, TTimeField& end)
{
    if (DownloadBusy()) return;
    if (entryCount_ > kMaxEntries - 1) {
        op_.ShowMessage("输入的条目已到达31条上限，无法再加入新条目！");
        return;
    }
    if (!CompleteEntry(start, length, end, op_)) return;
    if (entryCount_ > 0) table_.SetRowCount(entryCount_ + 2);
    SetEntryRow(entryCount_ + 1, start.Text(), length.Text(), end.Text());
    ++entryCount_;
    ShowEntryCount();
    start.SetText(kZeroTimeText);
    length.SetText(kZeroTimeText);
    end.SetText(kZeroTimeText);
    table_.SetRow(entryCount_); // the new entry is selected, and the sort takes it along
    SortEntries();
}

void TSchedule::N2Click()
{
    if (DownloadBusy()) return;
    if (entryCount_ > kMaxEntries - 1) {
        op_.ShowMessage("输入的条目已到达31条上限，无法再插入新条目！");
        return;
    }
    const int r = table_.Row();
    if (entryCount_ == 0 || r < 1 || r > entryCount_) return;
    table_.SetRowCount(entryCount_ + 2);
    for (int row = entryCount_; row >= r; --row)
        MoveRow(row, row + 1);
    SetEntryRow(r, kZeroTimeText, kZeroTimeText, kZeroTimeText);
    ++entryCount_;
    ShowEntryCount();
}

void TSchedule::D1Click()
{
    if (DownloadBusy()) return;
    const int r = table_.Row();
    if (table_.RowCount() > 2) {
        if (r >= 1 && r <= entryCount_) {
            if (r == entryCount_)
                table_.ClearRow(r);
            else
                for (int row = r + 1; row <= entryCount_; ++row)
                    MoveRow(row, row - 1);
            table_.SetRowCount(entryCount_);
            --entryCount_;
        }
    } else if (entryCount_ > 0) {
        table_.ClearRow(1);
        entryCount_ = 0;
    }
    ShowEntryCount();
}

void TSchedule::BitBtn6Click()
{
    if (DownloadBusy()) return;
    table_.SetRowCount(2);
    table_.ClearRow(1);
    entryCount_ = 0;
    ShowEntryCount();
}

void TSchedule::SortEntries()
{
    for (int i = 1; i < entryCount_; ++i)
        for (int j = i + 1; j <= entryCount_; ++j) {
            // Row j's start is read first: when neither start is a time, its text is reported.
            const int startJ = CellTimeToSeconds(table_.Cell(0, j));
            if (startJ < CellTimeToSeconds(table_.Cell(0, i))) {
                const std::string start = table_.Cell(0, i);
                const std::string length = table_.Cell(1, i);
                const std::string end = table_.Cell(2, i);
                MoveRow(j, i);
                SetEntryRow(j, start, length, end);
                // The selection stays on its entry.
                if (table_.Row() == i)
                    table_.SetRow(j);
                else if (table_.Row() == j)
                    table_.SetRow(i);
            }
        }
}

void TSchedule::BitBtn3Click()
{
    if (DownloadBusy()) return;
    if (entryCount_ == 0) {
        op_.ShowMessage("还没有输入任何条目，不必保存！");
        return;
    }
    const auto path = op_.ChooseSaveFile();
    if (!path) return;
    std::error_code ec;
    if (std::filesystem::exists(*path, ec) && !op_.AskInformation("文件已经存在，是否要覆盖？"))
        return;
    SaveToFile(*path);
    op_.Inform("文件保存成功！");
}

void TSchedule::BitBtn5Click()
{
    if (DownloadBusy()) return;
    if (const auto path = op_.ChooseOpenFile()) LoadFromFile(*path);
}

void TSchedule::SaveToFile(const std::string& path)
{
    scheduleLines_ = BuildScheduleLines(table_, entryCount_);
    WriteScheduleFile(path, JoinScheduleLines(scheduleLines_));
}

bool TSchedule::LoadFromFile(const std::string& path)
{
    // Everything is read and checked before the table is touched, so a refused file changes
    // nothing. Reading stops once a 32nd line has begun: such a file is refused anyway.
    std::vector<std::string> lines = ReadScheduleLines(path, kMaxEntries);

    // A longer file cannot be held by the table (nor by the download's 31 frames); taking a
    // part of it would silently drop entries, so it is refused whole.
    if (lines.size() > static_cast<std::size_t>(kMaxEntries)) {
        op_.ShowMessage("文件中的条目超过31条上限，无法调出！");
        return false;
    }

    scheduleLines_ = std::move(lines);
    entryCount_ = static_cast<int>(scheduleLines_.size());
    if (entryCount_ == 0) {
        // No entries: the table as the clear command leaves it, one empty row under the header.
        table_.SetRowCount(2);
        table_.ClearRow(1);
    } else {
        table_.SetRowCount(entryCount_ + 1);
        for (int row = 1; row <= entryCount_; ++row) {
            // A line shorter than 26 characters gives what it holds; missing characters make
            // a short or empty cell, as they would in the file.
            const TScheduleCells cells = SplitScheduleLine(scheduleLines_[row - 1]);
            SetEntryRow(row, cells.start, cells.length, cells.end);
        }
    }
    ShowEntryCount();
    return true;
}

} // namespace movarth
