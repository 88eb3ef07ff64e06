#pragma once

#include <functional>
#include <string>
#include <vector>

namespace movarth {

// A rectangular array of cell texts addressed by (column, row), with a current row.
// The schedule operations work on it; the column string grid shows it and repaints
// whenever a listener call tells it that something changed.
class TStringTable
{
public:
    using TListener = std::function<void()>;

    explicit TStringTable(int colCount = 5, int rowCount = 5);

    int ColCount() const { return colCount_; }
    void SetColCount(int count);
    int RowCount() const { return rowCount_; }
    void SetRowCount(int count);

    // Out-of-range cells read as empty and ignore writes.
    const std::string& Cell(int col, int row) const;
    void SetCell(int col, int row, std::string text);
    void ClearRow(int row);

    // The current (selected) row; 0 after a press on a header cell.
    int Row() const { return row_; }
    void SetRow(int row);

    // Called after every change of counts, texts or the current row.
    int AddListener(TListener listener);
    // Called after every change of counts or texts, not of the current row.
    int AddContentListener(TListener listener);
    void RemoveListener(int id);

private:
    struct TListenerEntry
    {
        int id;
        TListener listener;
        bool contentOnly;
    };
    void Changed(bool content = true);

    int colCount_;
    int rowCount_;
    int row_ = 0;
    std::vector<std::vector<std::string>> rows_; // rows_[row][col]
    std::vector<TListenerEntry> listeners_;
    int nextListenerId_ = 1;
};

} // namespace movarth
