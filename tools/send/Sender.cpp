#include "tools/send/Sender.h"

#include "comm/OpenFailure.h"
#include "comm/PosixComm.h"
#include "comm/SerialComm.h"
#include "comm/SerialPorts.h"
#include "link/Adapters.h"
#include "link/Download.h"
#include "link/SendHistory.h"
#include "process/Process.h"
#include "schedule/Operator.h"
#include "schedule/Schedule.h"
#include "schedule/ScheduleFile.h"
#include "schedule/StringTable.h"
#include "schedule/TimeText.h"
#include "timing/UiThread.h"
#include "timing/ZelTMultiThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace movarth::send {

namespace {

using namespace std::chrono_literals;

constexpr const char* kProgram = "movarth-send";
constexpr int kBarWidth = 20;

// Standard error during a run: progress (none when quiet; one line rewritten in place on a
// terminal, else one line per caption, so that a log stays readable) and errors, which always
// show.
class TReport
{
public:
    TReport(std::FILE* err, bool quiet, bool terminal)
        : err_(err), quiet_(quiet), terminal_(terminal)
    {
    }

    void SetCaption(const std::string& text)
    {
        // A frame sent again after a refusal shows the same caption: off a terminal that is
        // no new line, so that a log holds one line per frame.
        const bool changed = text != caption_;
        caption_ = text;
        if (quiet_) return;
        if (terminal_)
            Redraw();
        else if (changed)
            std::fprintf(err_, "%s\n", text.c_str());
    }
    void SetMaxValue(int value)
    {
        maxValue_ = value;
        if (terminal_ && !quiet_) Redraw();
    }
    void SetProgress(int value)
    {
        progress_ = value;
        if (terminal_ && !quiet_) Redraw();
    }
    // Ends a line left open by Redraw.
    void EndLine()
    {
        if (!lineOpen_) return;
        std::fputc('\n', err_);
        lineOpen_ = false;
    }
    void Error(const std::string& text)
    {
        EndLine();
        std::fprintf(err_, "%s: %s\n", kProgram, text.c_str());
    }
    const std::string& Caption() const { return caption_; }

private:
    void Redraw()
    {
        const std::string text = ProgressLineText(progress_, maxValue_, caption_);
        std::fprintf(err_, "\r%s\033[K", text.c_str());
        std::fflush(err_);
        lineOpen_ = true;
    }

    std::FILE* err_;
    bool quiet_;
    bool terminal_;
    bool lineOpen_ = false;
    std::string caption_;
    int maxValue_ = 0;
    int progress_ = 0;
};

class TReportStatus final : public TLinkStatus
{
public:
    explicit TReportStatus(TReport& report) : report_(report) {}
    void SetCaption(const std::string& text) override { report_.SetCaption(text); }

private:
    TReport& report_;
};

class TReportGauge final : public TLinkGauge
{
public:
    explicit TReportGauge(TReport& report) : report_(report) {}
    void SetMaxValue(int value) override { report_.SetMaxValue(value); }
    void SetProgress(int value) override { report_.SetProgress(value); }

private:
    TReport& report_;
};

// Messages become errors on standard error. Loading a file and the download ask nothing.
class TReportOperator final : public TOperator
{
public:
    explicit TReportOperator(TReport& report) : report_(report) {}
    void ShowMessage(const std::string& text) override { report_.Error(text); }
    bool Confirm(const std::string&) override { return false; }
    bool AskInformation(const std::string&) override { return false; }
    void Inform(const std::string&) override {}
    std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
    std::optional<std::string> ChooseOpenFile() override { return std::nullopt; }

private:
    TReport& report_;
};

// "Write error: Input/output error": the component's text without its code, and the
// system's reason for the code.
std::string Describe(const ECommError& error)
{
    std::string text = error.what();
    text.erase(std::min(text.find(" (Error: "), text.size()));
    if (error.ErrorCode() > 0) text += std::string(": ") + std::strerror(error.ErrorCode());
    return text;
}

std::string Describe(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ECommError& e) {
        return Describe(e);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

// "no such device; serial ports here: ttyS0, ttyUSB0 (...)", with what the machine has.
std::string NoSuchDeviceReason(const TOpenFailure& failure)
{
    std::string reason = !failure.nodeExists ? "no such device"
                         : failure.error > 0 ? std::string("no device behind it (") +
                                                   std::strerror(failure.error) + ")"
                                             : "no device behind it";
    if (failure.present.empty()) return reason + ", and no serial ports were found";
    std::string names;
    for (const TSerialPort& present : failure.present)
        names += (names.empty() ? "" : ", ") + present.name;
    return reason + "; serial ports here: " + names + " (--list-ports says what each is)";
}

// "in use by another program: minicom (process 1234, lock file /run/lock/LCK..ttyUSB0)".
std::string InUseReason(const TOpenFailure& failure)
{
    std::string reason = "in use by another program";
    for (std::size_t i = 0; i < failure.holders.size(); ++i) {
        const TPortHolder& holder = failure.holders[i];
        const std::string how = holder.lockFile.empty() ? "flock" : "lock file " + holder.lockFile;
        const std::string process = "process " + std::to_string(holder.pid);
        reason += (i == 0 ? ": " : ", ") +
                  (holder.program.empty() ? process + " (" + how + ")"
                                          : holder.program + " (" + process + ", " + how + ")");
    }
    return reason;
}

std::string NotAllowedReason(const TOpenFailure& failure)
{
    const std::string user = "'" + failure.user + "'";
    const std::string group = "'" + failure.group + "'";
    switch (failure.cause) {
    case acUnknown:
        break;
    case acNotInGroup:
        return "not allowed: it is for group " + group + ", and user " + user +
               " is not in it (add the user with 'sudo usermod -aG " + failure.group + " " +
               failure.user + "', then log in again)";
    case acNotLoggedInAgain:
        return "not allowed: it is for group " + group + "; user " + user +
               " was added to it after logging in, and only a new login has the group: log in "
               "again";
    case acModeRefuses:
        return "not allowed: its permissions " + ModeText(failure.mode) + " (owner '" +
               failure.owner + "', group " + group + ") let user " + user +
               " neither read nor write it";
    }
    return "not allowed: user " + user + " may not reach it (a folder on the way is closed)";
}

// Why the port did not open, from what there is now: the same reasons as the window's box.
std::string OpenFailureReason(const TOpenFailure& failure, const ECommError& error)
{
    static const char* const kinds[] = {
        "a regular file", "a folder",       "a FIFO",
        "a socket",       "a block device", "a character device that is no terminal",
    };
    switch (failure.kind) {
    case ofNoSuchDevice:
        return NoSuchDeviceReason(failure);
    case ofInUse:
        return InUseReason(failure);
    case ofNotAllowed:
        return NotAllowedReason(failure);
    case ofNotSerial:
        return std::string("not a serial device but ") + kinds[failure.fileKind];
    case ofOther:
        break;
    }
    return error.ErrorCode() > 0 ? std::strerror(error.ErrorCode()) : Describe(error);
}

std::string OpenFailure(const std::string& port, const ECommError& error)
{
    const std::string path = PosixDevicePath(port);
    return "cannot open port '" + port + "'" + (path != port ? " (" + path + ")" : "") + ": " +
           OpenFailureReason(ExplainOpenFailure(port, error.ErrorCode()), error);
}

std::string FrameHex(const TFrame& frame)
{
    std::string text;
    char hex[3];
    for (std::uint8_t byte : frame) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        text += hex;
    }
    return text;
}

// The send history's record of a download that was not sent.
TSendRecord NotSent(const std::string& port, const std::string& source,
                    std::vector<TSentEntry> entries, const std::string& why)
{
    TDownloadEnd end;
    end.outcome = TDownloadOutcome::doNotSent;
    end.error = std::make_exception_ptr(std::runtime_error(why));
    end.entries = std::move(entries);
    return SendRecordOf(end, port, source);
}

// The end after a stop signal (TStopSignals, installed by the program): one line, and the
// shell's status for a program that a signal ended.
int Stopped(TReport& report, bool sending)
{
    const int signo = TStopSignals::Received();
    report.Error("stopped by " + SignalName(signo) +
                 (sending ? ": the download did not finish" : ": nothing was sent"));
    return 128 + signo;
}

// Opens the port and runs the download of the table's `entries` rows on the window's own
// pieces, serving their hand-overs on this thread until it ends. Its outcome goes to the
// history.
int Download(const std::string& port, const TStringTable& table, int entries, TReport& report,
             TOperator& op, TSendHistory& history, const std::string& source)
{
    if (TStopSignals::Received() != 0) return Stopped(report, false);
    TPlainUiLoop ui;
    TPosixCommPlatform platform;
    platform.OnLockFileNote = [&report](const std::string& text) { report.Error(text); };
    TComm comm(ui, platform);
    SetUpControllerPort(comm);
    comm.SetDeviceName(port);
    try {
        comm.Open();
    } catch (const ECommError& e) {
        const std::string failure = OpenFailure(port, e);
        report.Error(failure);
        history.Append(NotSent(port, source, EntriesOf(table, entries), failure));
        return kExitRefused;
    }

    TZelMultiThreader threader(ui);
    TZelTimedThread& handshakeItem = threader.Threads().Add();
    TZelTimedThread& replyWaitItem = threader.Threads().Add();
    TReportStatus status(report);
    TReportGauge gauge(report);
    TControllerLink link(
        comm, handshakeItem, replyWaitItem, status, gauge, table, [entries] { return entries; },
        op);
    TDownload& download = link.Download();
    std::string lineFailure;
    download.SetErrorReport([&](std::exception_ptr error) { lineFailure = Describe(error); });
    std::optional<TDownloadEnd> end;
    download.SetEndListener([&](const TDownloadEnd& ended) {
        end = ended;
        history.Append(SendRecordOf(ended, port, source));
    });

    // The download ends by itself: each of the N + 2 waits (handshake, N frames, confirmation)
    // lasts at most 100 ticks of 50 ms. Twice that, in case the machine is slow, keeps a fault
    // from holding an unattended run for ever.
    const std::chrono::milliseconds limit = 2 * (entries + 2) * kMaxWaitTicks * 50ms;
    download.BitBtn4Click();
    // A stop signal is seen at the next hand-over: a download always has timed item 1 or 2
    // ticking, so within one 50 ms tick.
    const bool ended = ui.RunUntil(
        [&] { return !download.DownloadBusy() || TStopSignals::Received() != 0; }, limit);
    const bool stopped = download.DownloadBusy() && TStopSignals::Received() != 0;
    handshakeItem.SetEnabled(false);
    replyWaitItem.SetEnabled(false);
    comm.Close();
    report.EndLine();

    // A download cut short never told its end listener: it is recorded as failed, with why.
    const auto recordCutShort = [&](const std::string& why) {
        TSendRecord record = NotSent(port, source, EntriesOf(table, entries), why);
        record.outcome = TSendOutcome::soFailed;
        history.Append(record);
    };
    if (stopped) {
        recordCutShort("stopped by " + SignalName(TStopSignals::Received()));
        return Stopped(report, true);
    }
    if (!ended) {
        const std::string failure =
            "it had not ended after " + std::to_string(limit.count() / 1000) + " s";
        report.Error("download failed: " + failure);
        recordCutShort(failure);
        return kExitFailed;
    }
    if (!lineFailure.empty()) {
        report.Error("download failed: the line to '" + port + "' failed: " + lineFailure);
        return kExitFailed;
    }
    if (end && end->outcome == TDownloadOutcome::doConfirmed) return kExitSuccess;
    report.Error("download failed: the controller on '" + port + "' " +
                 (end ? ControllerFailure(*end) : std::string("did not answer in time")));
    return kExitFailed;
}

// Loads the file as the window's load command does, builds its frames, then lists them or
// sends them.
int Send(const TSendOptions& options, std::FILE* out, TReport& report)
{
    TReportOperator op(report);
    TStringTable table(3, 2);
    TSchedule schedule(table, op);
    try {
        if (!schedule.LoadFromFile(options.file)) return kExitRefused; // the refusal is shown
    } catch (const EFileError& e) {
        report.Error(options.file + ": " + e.what());
        return kExitRefused;
    }
    const int entries = schedule.EntryCount();
    if (entries == 0) {
        report.Error(options.file + ": " + kNoEntriesText);
        return kExitRefused;
    }

    // Built here before the port is opened, so that a text that does not convert, or is no
    // time of day, sends nothing; the download builds the same frames from the same table.
    TSendHistory history(DefaultSendHistoryPath(),
                         [&report](const std::string& text) { report.Error(text); });
    const std::string source = SenderSource(options.file);
    std::vector<TFrame> frames;
    for (int k = 1; k <= entries; ++k) {
        try {
            frames.push_back(BuildEntryFrame(table.Cell(0, k), table.Cell(1, k)));
        } catch (const EConvertError& e) {
            const std::string why = "line " + std::to_string(k) + ": " + e.what();
            report.Error(options.file + ": " + why);
            if (!options.dryRun)
                history.Append(NotSent(options.port, source, EntriesOf(table, entries), why));
            return kExitRefused;
        }
    }
    if (options.dryRun) {
        frames.push_back(kConfirmationFrame);
        for (const TFrame& frame : frames)
            std::fprintf(out, "%s\n", FrameHex(frame).c_str());
        // Frames that did not reach their reader (a closed pipe, a full disk) were not listed.
        if (std::fflush(out) != 0 || std::ferror(out)) {
            report.Error(std::string("cannot write the frames: ") + std::strerror(errno));
            return kExitRefused;
        }
        return kExitSuccess;
    }
    return Download(options.port, table, entries, report, op, history, source);
}

// The serial ports present, one a line: the name, what it is, udev's names for it.
int ListPorts(std::FILE* out, std::FILE* err)
{
    const std::vector<TSerialPort> ports = ListSerialPorts();
    for (const TSerialPort& port : ports)
        std::fprintf(out, "%s\n", SerialPortLine(port).c_str());
    if (ports.empty()) std::fprintf(err, "%s: no serial ports found\n", kProgram);
    return kExitSuccess;
}

} // namespace

TSendOptions ParseSendOptions(const std::vector<std::string>& args)
{
    TSendOptions options;
    std::vector<std::string> files;
    bool portGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
            files.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "-V" || arg == "--version") {
            options.version = true;
        } else if (arg == "-l" || arg == "--list-ports") {
            options.listPorts = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "-n" || arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "-p" || arg == "--port" || arg.starts_with("--port=")) {
            if (portGiven) throw EUsage("the port is given twice");
            if (arg.starts_with("--port="))
                options.port = arg.substr(std::strlen("--port="));
            else if (i + 1 < args.size())
                options.port = args[++i];
            if (options.port.empty()) throw EUsage(arg + " needs a port name");
            portGiven = true;
        } else {
            throw EUsage("unknown option '" + arg + "'");
        }
    }
    if (options.help || options.version || options.listPorts) return options;
    if (files.empty()) throw EUsage("no schedule file given");
    if (files.size() > 1) throw EUsage("one schedule file at a time, not also '" + files[1] + "'");
    options.file = files[0];
    if (!portGiven && !options.dryRun) throw EUsage("no port given (--port NAME)");
    return options;
}

std::string SendHelpText()
{
    return std::string("Usage: ") + kProgram + R"( [OPTION]... FILE --port NAME
  or:  movarth-send --list-ports
Downloads the schedule FILE to the count-down controller on the serial port NAME, as loading
FILE in movarth and pressing 发送 would: the entries in file order, at 2400 bit/s, 8N1.

FILE is a schedule file as movarth saves it (one "hh:mm:ss hh:mm:ss hh:mm:ss" line per
entry, start, length and end; at most 31 entries). NAME is a device path (/dev/ttyUSB0,
/dev/pts/3), COM<n> for /dev/ttyS<n-1>, or a name under /dev (ttyUSB0); --list-ports
shows the ports there are.

  -p, --port NAME   the serial port that leads to the controller
  -n, --dry-run     print the frames that would be sent, one per line as 16 hex digits,
                    the confirmation frame last; no port is opened
  -q, --quiet       print only errors
  -l, --list-ports  list the serial ports present, one a line: the name, what it is, and
                    the names udev keeps for it (/dev/serial/by-id/... survives re-plugging)
  -h, --help        show this text
  -V, --version     show the version

Progress goes to standard error: one line updated in place on a terminal, otherwise one
line per step.

Every download, also one refused before anything was sent, is recorded as one line in the
send history: $XDG_STATE_HOME/movarth/send-history.log (~/.local/state/movarth/...).

Exit status:
  0  the controller confirmed the whole schedule (with --dry-run: the frames were printed;
     with --list-ports: the ports were listed)
  1  the download failed: no answer, a refusing controller, an unknown answer, the line lost
  2  bad usage, a file that cannot be read, does not convert or holds a time that is no
     time of day, or a port that cannot be opened; nothing was sent (with --dry-run: the
     frames could not be written)
  128+N  stopped by signal N (SIGHUP, SIGINT, SIGTERM); the port was given back
)";
}

std::string SendVersionText()
{
    return std::string(kProgram) + " " MOVARTH_VERSION "\n";
}

std::string ProgressLineText(int progress, int maxValue, const std::string& caption)
{
    const int entries = std::max(maxValue - 2, 0);
    const int frame = std::clamp(progress - 1, 0, entries);
    const int filled = maxValue > 0 ? std::clamp(progress, 0, maxValue) * kBarWidth / maxValue : 0;
    return "frame " + std::to_string(frame) + " of " + std::to_string(entries) + " [" +
           std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " + caption;
}

int RunSendCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   bool errIsTerminal)
{
    TSendOptions options;
    try {
        options = ParseSendOptions(args);
    } catch (const EUsage& e) {
        std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", kProgram, e.what(),
                     kProgram);
        return kExitRefused;
    }
    if (options.help || options.version) {
        std::fputs((options.help ? SendHelpText() : SendVersionText()).c_str(), out);
        return kExitSuccess;
    }
    if (options.listPorts) return ListPorts(out, err);
    TReport report(err, options.quiet, errIsTerminal);
    try {
        return Send(options, out, report);
    } catch (const std::exception& e) {
        report.Error(e.what());
        return kExitFailed;
    }
}

} // namespace movarth::send
