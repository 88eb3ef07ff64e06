#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace movarth {

class TStringTable;

// File failure ("Cannot create file %s", "Stream write error", "Cannot open file %s", ...);
// what() is the text the general error handler shows.
class EFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int kMaxEntries = 31;
// Characters of one schedule line without its CR LF: three 8-character texts, two spaces.
inline constexpr std::size_t kScheduleLineLength = 26;

// One line per entry row 1..entryCount: cell 0, " ", cell 1, " ", cell 2, texts as they stand.
std::vector<std::string> BuildScheduleLines(const TStringTable& table, int entryCount);

// The file's bytes: every line followed by CR LF.
std::string JoinScheduleLines(const std::vector<std::string>& lines);

// Cuts a schedule file's text into lines as it arrives, piece by piece: a line ends at CR, LF
// or CR LF (LF then CR is two ends, also when a piece ends between them); a last line without
// an end is a line, an end at the very end adds no empty line; a NUL byte ends the text. Of
// each line only the characters the load uses (1 to 26) are kept, so neither a long line nor
// a long file grows memory.
//
// Files written by other programs often begin with a UTF-8 byte-order mark or end with blank
// lines: a byte-order mark at the very start is skipped, and so are the blank lines at the end
// (lines whose characters 1 to 26 are spaces and tabs, or none). Blank lines between entries
// stay lines.
class TScheduleTextSplitter
{
public:
    // Takes no more text once more than `maxLines` lines have begun. A blank line begins only
    // once a line that is not blank follows it.
    explicit TScheduleTextSplitter(std::size_t maxLines = std::numeric_limits<std::size_t>::max())
        : maxLines_(maxLines)
    {
    }

    // Takes the next piece of the text. False once nothing after it can change the lines:
    // a NUL byte was met, or more than maxLines lines have begun.
    bool Add(std::string_view piece);
    // The lines taken, the last one without its end included, without the blank lines at the
    // end.
    std::vector<std::string> TakeLines();

private:
    void Take(char c);
    void EndLine();
    std::size_t LinesBegun() const { return lines_.size() + (lineBlank_ ? 0 : 1); }

    std::size_t maxLines_;
    std::vector<std::string> lines_;
    // Blank lines not yet followed by a line that is not blank: at the end they are dropped.
    // Kept only as far as they could count (maxLines + 1).
    std::vector<std::string> blanks_;
    std::string line_;
    bool lineBlank_ = true; // nothing but spaces and tabs in the line so far
    std::size_t bomMatched_ = 0; // bytes of a byte-order mark held back at the start
    bool started_ = false;       // past the place where a byte-order mark may stand
    bool afterCr_ = false;       // an LF now completes a CR LF
    bool ended_ = false;
};

// The lines of a whole text, as TScheduleTextSplitter cuts them.
std::vector<std::string> SplitScheduleText(std::string_view text);

// Characters 1-8, 10-17 and 19-26 of a line; a short line gives what is there (possibly
// empty texts). Nothing is validated.
struct TScheduleCells
{
    std::string start, length, end;
};
TScheduleCells SplitScheduleLine(const std::string& line);

// The step that writes bytes to the open temporary file: POSIX write() semantics (bytes
// written, or -1 with errno). Replaceable so that a failing device can be simulated.
using TWriteStep = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

// Writes `bytes` to `path` without ever damaging an existing file there: the bytes go to a
// temporary file in the same folder, which is synced and renamed over `path` only when
// complete. A symbolic link stays a link and the file it points to is replaced; that file's
// mode, and its owner and group where the process may set them, are kept. Only a regular file
// the user may write is replaced. When the folder does not let the user make or rename files
// but the file itself may be written, it is written in place: truncated, written and synced,
// so a failure part-way leaves the lines written so far. EFileError "Cannot create file %s"
// when the file cannot be made, replaced or truncated (nothing has changed then), "Stream
// write error" when writing fails (the temporary is removed, the old file stays whole, except
// in place).
void WriteScheduleFile(const std::string& path, std::string_view bytes,
                       const TWriteStep& writeStep = {});

// The lines of the schedule file at `path`, cut by TScheduleTextSplitter with `maxLines`: the
// file is read only up to its first NUL byte, or until more than maxLines lines have begun.
// EFileError "Cannot open file %s" when it cannot be opened or is not a regular file (a pipe,
// a device or a folder is refused without blocking and without being read), "Stream read
// error" when reading fails.
std::vector<std::string> ReadScheduleLines(const std::string& path, std::size_t maxLines);

} // namespace movarth
