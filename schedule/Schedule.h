#pragma once

#include "schedule/TimeText.h"

#include <functional>
#include <string>
#include <vector>

namespace movarth {

class TOperator;
class TStringTable;

// The schedule: the entries in rows 1..EntryCount of a three-column table (row 0 the header,
// columns start, length, end; row count EntryCount + 1, or 2 with one empty row when there is
// no entry), the entry count with its count line, and the operations of the main window that
// change them. Every operation runs on the user-interface thread; the add, insert, delete,
// clear, save and load commands do nothing at all while DownloadBusy holds.
class TSchedule
{
public:
    using TCountListener = std::function<void(const std::string& countText)>;

    TSchedule(TStringTable& table, TOperator& op);
    TSchedule(const TSchedule&) = delete;
    TSchedule& operator=(const TSchedule&) = delete;

    TStringTable& Table() { return table_; }
    const TStringTable& Table() const { return table_; }
    int EntryCount() const { return entryCount_; }

    // "现在有" N "条记录", from the start ("现在有0条记录").
    const std::string& CountText() const { return countText_; }
    // Called with the new count text after every ShowEntryCount (the window sets Label1).
    void SetCountListener(TCountListener listener) { countListener_ = std::move(listener); }
    void ShowEntryCount();

    // The download's busy predicate; false while none is set.
    void SetDownloadBusy(std::function<bool()> busy) { downloadBusy_ = std::move(busy); }
    bool DownloadBusy() const { return downloadBusy_ && downloadBusy_(); }

    // Add: appends the entry completed from the three time fields, resets them to "00:00:00",
    // selects the new entry and sorts. A refused entry leaves the fields as CompleteEntry left
    // them.
    void BitBtn1Click(TTimeField& start, TTimeField& length, TTimeField& end);
    // Insert: three "00:00:00" texts at the selected row; no sort.
    void N2Click();
    // Delete: removes the selected row's entry; no question, no sort.
    void D1Click();
    // Clear: removes all entries.
    void BitBtn6Click();
    // Exchange sort of rows 1..EntryCount by start time (not stable); the selected row
    // follows its entry, so an entry just added or edited stays selected. EConvertError
    // "'%s' is not a valid time" for a start cell that is not a time; rows exchanged so far
    // stay exchanged.
    void SortEntries();

    // Save command: busy rule, empty-table message, save dialog, overwrite question, write,
    // success notice.
    void BitBtn3Click();
    // Load command: busy rule, open dialog, LoadFromFile.
    void BitBtn5Click();

    // Writes rows 1..EntryCount to `path` (replacing it safely; see WriteScheduleFile).
    void SaveToFile(const std::string& path);
    // Replaces the table by the file's entries, in file order, and shows the count. A file
    // that cannot be read, or that holds more than 31 lines, changes nothing (the latter is
    // refused with a message). Returns whether the table was replaced.
    bool LoadFromFile(const std::string& path);

    // Lines of the last file saved or loaded (of a loaded line, the 26 characters the load
    // uses).
    const std::vector<std::string>& ScheduleLines() const { return scheduleLines_; }

private:
    static std::string CountTextOf(int entryCount);
    void MoveRow(int from, int to);
    void SetEntryRow(int row, const std::string& start, const std::string& length,
                     const std::string& end);

    TStringTable& table_;
    TOperator& op_;
    int entryCount_ = 0;
    std::string countText_ = CountTextOf(0);
    TCountListener countListener_;
    std::function<bool()> downloadBusy_;
    std::vector<std::string> scheduleLines_;
};

} // namespace movarth
