// The schedule file load, from a file's bytes to the table. Whatever the bytes, the load either
// refuses them with its message and changes nothing, or fills the table within its rules
// (EntryCount 0 to 31; row count N + 1, or 2 with an empty row 1 when N is 0), each row taken
// from its line by position. Read from a file piece by piece, the bytes give the same lines as
// the whole text, wherever the pieces end.
#include "fuzz/FuzzSupport.h"
#include "schedule/Schedule.h"
#include "schedule/ScheduleFile.h"
#include "schedule/StringTable.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using movarth::fuzz::Check;
using movarth::fuzz::TInputOperator;

namespace movarth {
namespace {

// The input as a file in memory, read through its path like any schedule file.
const std::string& FileOf(const std::uint8_t* data, std::size_t size)
{
    static const int fd = ::memfd_create("schedule.qlx", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Check(fd >= 0 && ::ftruncate(fd, 0) == 0 &&
              ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
          "the input can be put in a file");
    return path;
}

std::vector<std::string> SplitInPieces(std::string_view text, std::size_t piece)
{
    TScheduleTextSplitter splitter;
    for (std::size_t at = 0; at < text.size(); at += piece)
        splitter.Add(text.substr(at, piece));
    return splitter.TakeLines();
}

} // namespace
} // namespace movarth

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace movarth;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = SplitScheduleText(text);
    Check(SplitInPieces(text, size == 0 ? 1 : 1 + data[0] % 8) == lines,
          "pieces give the lines of the whole text");
    for (const auto& line : lines)
        Check(line.size() <= kScheduleLineLength &&
                  line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
              "a line holds at most 26 characters and no line end or NUL");
    Check(lines.empty() ||
              lines.back().find_first_not_of(" \t") != std::string::npos,
          "blank lines at the end are no lines");

    TStringTable table{3, 2};
    TInputOperator op;
    TSchedule schedule{table, op};
    TPlainTimeField start("01:00:00"), length("00:10:00"), end;
    schedule.BitBtn1Click(start, length, end);
    const std::string before = table.Cell(0, 1) + table.Cell(1, 1) + table.Cell(2, 1);

    const bool loaded = schedule.LoadFromFile(FileOf(data, size));
    const int n = schedule.EntryCount();
    Check(n >= 0 && n <= kMaxEntries, "EntryCount stays within 0 to 31");
    if (!loaded) {
        Check(lines.size() > static_cast<std::size_t>(kMaxEntries),
              "only a file of over 31 lines is refused");
        Check(op.messages == std::vector<std::string>{"文件中的条目超过31条上限，无法调出！"},
              "a refusal shows its message");
        Check(n == 1 && table.RowCount() == 2 &&
                  table.Cell(0, 1) + table.Cell(1, 1) + table.Cell(2, 1) == before,
              "a refused file changes nothing");
        return 0;
    }
    Check(op.messages.empty(), "a load shows no message");
    Check(static_cast<std::size_t>(n) == lines.size(), "one entry per line");
    Check(schedule.ScheduleLines() == lines, "the lines kept are those read");
    Check(table.RowCount() == (n == 0 ? 2 : n + 1), "row count N + 1, or 2 without entries");
    if (n == 0)
        Check(table.Cell(0, 1).empty() && table.Cell(1, 1).empty() && table.Cell(2, 1).empty(),
              "without entries row 1 is empty");
    for (int row = 1; row <= n; ++row) {
        const TScheduleCells cells = SplitScheduleLine(lines[row - 1]);
        Check(table.Cell(0, row) == cells.start && table.Cell(1, row) == cells.length &&
                  table.Cell(2, row) == cells.end,
              "each row is its line's characters 1-8, 10-17 and 19-26");
    }
    return 0;
}
