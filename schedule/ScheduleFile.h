#pragma once

#include <cstddef>
#include <functional>
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

// Splits a file's text into lines: a line ends at CR, LF or CR LF (LF then CR is two ends);
// a last line without an end is a line, an end at the very end adds no empty line; a NUL
// byte ends the text.
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
// temporary file in the same directory, which is synced and renamed over `path` only when
// complete. On any failure the temporary is removed, the old file stays whole, and EFileError
// is thrown: "Cannot create file %s" when the file cannot be made or put in place, "Stream
// write error" when writing fails.
void WriteScheduleFile(const std::string& path, std::string_view bytes,
                       const TWriteStep& writeStep = {});

// The whole file in binary. EFileError "Cannot open file %s" when it cannot be opened,
// "Stream read error" when reading fails.
std::string ReadScheduleFile(const std::string& path);

} // namespace movarth
