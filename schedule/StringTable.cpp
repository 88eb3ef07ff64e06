#include "StringTable.h"

#include <algorithm>

namespace movarth {

namespace {
const std::string kEmpty;
}

TStringTable::TStringTable(int colCount, int rowCount)
    : colCount_(std::max(colCount, 0)), rowCount_(std::max(rowCount, 0)),
      rows_(rowCount_, std::vector<std::string>(colCount_))
{
}

void TStringTable::SetColCount(int count)
{
    count = std::max(count, 0);
    if (count == colCount_)
        return;
    colCount_ = count;
    for (auto& row : rows_)
        row.resize(colCount_);
    Changed();
}

void TStringTable::SetRowCount(int count)
{
    count = std::max(count, 0);
    if (count == rowCount_)
        return;
    rowCount_ = count;
    rows_.resize(rowCount_, std::vector<std::string>(colCount_));
    if (row_ >= rowCount_)
        row_ = std::max(rowCount_ - 1, 0);
    Changed();
}

const std::string& TStringTable::Cell(int col, int row) const
{
    if (col < 0 || col >= colCount_ || row < 0 || row >= rowCount_)
        return kEmpty;
    return rows_[row][col];
}

void TStringTable::SetCell(int col, int row, std::string text)
{
    if (col < 0 || col >= colCount_ || row < 0 || row >= rowCount_)
        return;
    if (rows_[row][col] == text)
        return;
    rows_[row][col] = std::move(text);
    Changed();
}

void TStringTable::ClearRow(int row)
{
    if (row < 0 || row >= rowCount_)
        return;
    for (auto& cell : rows_[row])
        cell.clear();
    Changed();
}

void TStringTable::SetRow(int row)
{
    if (row == row_)
        return;
    row_ = row;
    Changed(false);
}

int TStringTable::AddListener(TListener listener)
{
    listeners_.push_back({nextListenerId_, std::move(listener), false});
    return nextListenerId_++;
}

int TStringTable::AddContentListener(TListener listener)
{
    listeners_.push_back({nextListenerId_, std::move(listener), true});
    return nextListenerId_++;
}

void TStringTable::RemoveListener(int id)
{
    std::erase_if(listeners_, [id](const TListenerEntry& entry) { return entry.id == id; });
}

void TStringTable::Changed(bool content)
{
    // A listener may remove itself while being called: walk a copy.
    auto listeners = listeners_;
    for (TListenerEntry& entry : listeners)
        if (content || !entry.contentOnly) entry.listener();
}

} // namespace movarth
