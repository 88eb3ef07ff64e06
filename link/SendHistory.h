#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movarth {

// One entry as it went to the controller (or would have): the start and length texts of its
// row.
struct TSentEntry
{
    std::string start;
    std::string length;
    bool operator==(const TSentEntry&) const = default;
};

enum class TSendOutcome
{
    soConfirmed, // the controller confirmed the whole schedule
    soFailed,    // the download began and did not end confirmed
    soNotSent    // refused before anything was sent
};

// One download as the send history keeps it.
struct TSendRecord
{
    std::time_t time = 0; // when the outcome was known
    std::string port;     // the port's name as it was given
    std::string source;   // kWindowSource, or SenderSource(file)
    std::vector<TSentEntry> entries;
    TSendOutcome outcome = TSendOutcome::soFailed;
    std::string detail; // failed: the caption and why; not sent: why
    bool operator==(const TSendRecord&) const = default;
};

// Where the entries of a download came from: the window's table, or a schedule file that
// movarth-send loaded ("sender " and the file's absolute path).
inline constexpr const char* kWindowSource = "window";
std::string SenderSource(const std::string& scheduleFile);

// A record as one line of the history, without its line end. Six fields separated by tabs:
//   local time with its UTC offset   2026-12-10 05:30:02+01:00
//   port                             ttyUSB0
//   source                           window | sender /home/op/today.qlx
//   number of entries                3
//   start+length of each entry       07:30:00+00:30:00 12:00:00+01:15:00 19:00:00+00:45:00
//   outcome                          confirmed | failed: <detail> | not sent: <detail>
// A backslash, tab, line end or other control character in a field is written as \\, \t,
// \n, \r or \xHH; in an entry's texts also a space or "+", and any byte outside printable
// ASCII, so that the entries split at spaces and "+".
std::string FormatSendRecord(const TSendRecord& record);
// A line as FormatSendRecord writes it (line end removed); nothing for any other text.
std::optional<TSendRecord> ParseSendRecord(std::string_view line);

// The user's home folder: $HOME, else the password database's; empty when there is none.
std::string HomeFolder();

// $XDG_STATE_HOME/movarth/send-history.log, with ~/.local/state for an unset (or relative)
// XDG_STATE_HOME; empty when the user has no home folder.
std::string DefaultSendHistoryPath();

// The per-user record of every download: one line per download appended to a plain text
// file, which past kRotateBytes becomes the one old file `<path>.1` (an older one goes).
// Writers in several processes at once (the window and a timed movarth-send) append whole
// lines and rotate once: each appends under an flock of the file.
//
// A history that cannot be written never stops a download: Append reports the failure once
// through the warning and goes on.
class TSendHistory
{
public:
    using TWarning = std::function<void(const std::string& message)>;
    static constexpr std::uintmax_t kRotateBytes = 1'000'000;

    TSendHistory(std::string path, TWarning warning);

    const std::string& Path() const { return path_; }
    // Appends the record as one line; the folders on the way are made (mode 0700).
    void Append(const TSendRecord& record) noexcept;
    // The latest confirmed download: the last one in the file (or, without one, in the old
    // file), or the last one appended through this object when that is later (it is kept
    // also when the file could not be written).
    std::optional<TSendRecord> LastConfirmed() const;

private:
    // 0, or the errno of the failing step.
    int Write(const std::string& line) const;

    std::string path_;
    TWarning warning_;
    bool warned_ = false;
    std::optional<TSendRecord> lastConfirmed_;
};

} // namespace movarth
