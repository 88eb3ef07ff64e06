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
#include "tools/send/PortWait.h"
#include "tools/send/SendConfig.h"
#include "tools/send/TodaysFile.h"

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

    // What the captions and the progress line start with: the port's name when there are
    // several.
    void SetPrefix(const std::string& prefix) { prefix_ = prefix; }
    // A download begins: its first caption is a new line, even one that the last try ended on.
    void BeginDownload()
    {
        caption_.clear();
        maxValue_ = progress_ = 0;
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
            std::fprintf(err_, "%s%s\n", prefix_.c_str(), text.c_str());
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
    // The summary's lines: shown as errors are, also when quiet.
    void Summary(const std::string& text) { Error(text); }
    // What the run does besides a download (the file it chose, a wait, a retry): progress.
    void Info(const std::string& text)
    {
        if (quiet_) return;
        EndLine();
        std::fprintf(err_, "%s\n", text.c_str());
    }
    const std::string& Caption() const { return caption_; }

private:
    void Redraw()
    {
        const std::string text = ProgressLineText(progress_, maxValue_, caption_);
        std::fprintf(err_, "\r%s%s\033[K", prefix_.c_str(), text.c_str());
        std::fflush(err_);
        lineOpen_ = true;
    }

    std::FILE* err_;
    bool quiet_;
    bool terminal_;
    bool lineOpen_ = false;
    std::string prefix_;
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

// The line after a stop signal (TStopSignals, installed by the program): "stopped by SIGTERM"
// and what it stopped.
std::string StopText(const std::string& what)
{
    return "stopped by " + SignalName(TStopSignals::Received()) + what;
}

// How one try at a port ended; `why` says it without the port's name (after a stop, what
// follows "stopped by SIGTERM").
enum class TTryEnd
{
    teConfirmed,
    teFailed,    // the download began and did not end confirmed
    teNotOpened, // the port could not be opened: nothing was sent
    teStopped    // a stop signal broke the download off
};
struct TTry
{
    TTryEnd end;
    std::string why;
};

// Opens the port and runs the download of the table's `entries` rows on the window's own
// pieces, serving their hand-overs on this thread until it ends. Its outcome goes to the
// history.
TTry Download(const std::string& port, const TStringTable& table, int entries, TReport& report,
              TOperator& op, TSendHistory& history, const std::string& source)
{
    report.BeginDownload();
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
        return {TTryEnd::teNotOpened, failure};
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
        recordCutShort(StopText(""));
        report.Error(StopText(": the download did not finish"));
        return {TTryEnd::teStopped, ": the download did not finish"};
    }
    if (!ended) {
        const std::string failure =
            "it had not ended after " + std::to_string(limit.count() / 1000) + " s";
        report.Error("download failed: " + failure);
        recordCutShort(failure);
        return {TTryEnd::teFailed, failure};
    }
    if (!lineFailure.empty()) {
        report.Error("download failed: the line to '" + port + "' failed: " + lineFailure);
        return {TTryEnd::teFailed, "the line failed: " + lineFailure};
    }
    if (end && end->outcome == TDownloadOutcome::doConfirmed) return {TTryEnd::teConfirmed, ""};
    const std::string failure = end ? ControllerFailure(*end) : "did not answer in time";
    report.Error("download failed: the controller on '" + port + "' " + failure);
    return {TTryEnd::teFailed, "the controller " + failure};
}

// What became of one port.
enum class TPortEnd
{
    peNotTried,
    peConfirmed,
    peFailed,   // a download was sent and did not end confirmed
    peUnusable, // it never appeared or could not be opened: nothing was sent to it
    peStopped   // a stop signal ended its turn
};
struct TPortOutcome
{
    TPortEnd end = TPortEnd::peNotTried;
    int tries = 0;
    std::string why;
};

// One schedule, loaded and checked, for the ports.
struct TSendJob
{
    const TSendOptions& options;
    const TSendRun& run;
    const TStringTable& table;
    int entries;
    TReport& report;
    TOperator& op;
    TSendHistory& history;
    std::string source;
};

// Waits, when asked to, for the port's device node to be there.
TPortWait AwaitPort(const std::string& port, const TSendJob& job)
{
    // Listening first: a device that comes between the look and the wait is announced.
    const auto events = SystemDeviceEvents();
    if (PortIsThere(port)) return TPortWait::pwThere;
    job.report.Info("waiting up to " + std::to_string(job.options.waitSeconds) + " s for '" + port +
                    "' to appear");
    return WaitForPort(port, std::chrono::seconds(job.options.waitSeconds), events.get(),
                       job.run.stopFd);
}

// The tries at one port: a failed download is sent again, up to --retries more times after
// the pause; so is one whose port could not be opened, but only when the port is waited for
// (its device may be coming and going). Each try is recorded in the history.
TPortOutcome SendToPort(const std::string& port, const TSendJob& job)
{
    const TSendOptions& options = job.options;
    const bool waiting = options.waitSeconds > 0;
    const int allowed = 1 + options.retries;
    bool opened = false;
    for (int tries = 1;; ++tries) {
        if (waiting) {
            const TPortWait wait = AwaitPort(port, job);
            if (wait == TPortWait::pwStopped) {
                job.report.Error(StopText(" while waiting for '" + port + "' to appear"));
                return {TPortEnd::peStopped, tries - 1, " while waiting for it to appear"};
            }
            if (wait == TPortWait::pwNotThere) {
                const std::string why = "'" + port + "' did not appear within " +
                                        std::to_string(options.waitSeconds) + " s";
                job.report.Error(why);
                job.history.Append(
                    NotSent(port, job.source, EntriesOf(job.table, job.entries), why));
                return {opened ? TPortEnd::peFailed : TPortEnd::peUnusable, tries, why};
            }
        }
        const TTry done =
            Download(port, job.table, job.entries, job.report, job.op, job.history, job.source);
        opened = opened || done.end != TTryEnd::teNotOpened;
        if (done.end == TTryEnd::teConfirmed) return {TPortEnd::peConfirmed, tries, ""};
        if (done.end == TTryEnd::teStopped) return {TPortEnd::peStopped, tries, done.why};
        if (tries == allowed || (done.end == TTryEnd::teNotOpened && !waiting))
            return {opened ? TPortEnd::peFailed : TPortEnd::peUnusable, tries, done.why};
        job.report.Info("trying '" + port + "' again in " +
                        std::to_string(options.retryPauseSeconds) + " s (try " +
                        std::to_string(tries + 1) + " of " + std::to_string(allowed) + ")");
        if (!PauseUnlessStopped(std::chrono::seconds(options.retryPauseSeconds), job.run.stopFd)) {
            job.report.Error(StopText(" before trying '" + port + "' again"));
            return {TPortEnd::peStopped, tries, " before trying again"};
        }
    }
}

// The line of the summary for one port.
std::string SummaryText(const TPortOutcome& outcome)
{
    const std::string tries = std::to_string(outcome.tries);
    switch (outcome.end) {
    case TPortEnd::peConfirmed:
        return outcome.tries > 1 ? "confirmed on try " + tries : "confirmed";
    case TPortEnd::peFailed:
        return (outcome.tries > 1 ? "failed after " + tries + " tries: " : "failed: ") +
               outcome.why;
    case TPortEnd::peUnusable:
        return "not sent: " + outcome.why;
    case TPortEnd::peStopped:
        return StopText(outcome.why);
    case TPortEnd::peNotTried:
        break;
    }
    return "not tried";
}

// The schedule to each port in turn, each opened, used and closed before the next, so that
// a port that fails holds up no other. With several ports, the last lines say what became of
// each. 0 when every controller confirmed, 2 when nothing was sent anywhere, else 1; 128 + N
// after stop signal N.
int SendToPorts(const TSendJob& job)
{
    const std::vector<std::string>& ports = job.options.ports;
    std::vector<TPortOutcome> outcomes(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (TStopSignals::Received() != 0) {
            // A stop during a port's turn has been said there.
            if (i == 0 || outcomes[i - 1].end != TPortEnd::peStopped)
                job.report.Error(StopText(i == 0 ? ": nothing was sent"
                                                 : " before sending to '" + ports[i] + "'"));
            break;
        }
        job.report.SetPrefix(ports.size() > 1 ? ports[i] + ": " : "");
        outcomes[i] = SendToPort(ports[i], job);
    }
    if (ports.size() > 1)
        for (std::size_t i = 0; i < ports.size(); ++i)
            job.report.Summary(ports[i] + ": " + SummaryText(outcomes[i]));

    const auto all = [&](TPortEnd end) {
        return std::all_of(outcomes.begin(), outcomes.end(),
                           [end](const TPortOutcome& outcome) { return outcome.end == end; });
    };
    const auto any = [&](TPortEnd end) {
        return std::any_of(outcomes.begin(), outcomes.end(),
                           [end](const TPortOutcome& outcome) { return outcome.end == end; });
    };
    // A signal that came once every port had had its turn stopped nothing.
    if (const int signo = TStopSignals::Received();
        signo != 0 && (any(TPortEnd::peStopped) || any(TPortEnd::peNotTried)))
        return 128 + signo;
    return all(TPortEnd::peConfirmed)  ? kExitSuccess
           : all(TPortEnd::peUnusable) ? kExitRefused
                                       : kExitFailed;
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

// The file to send: FILE as it is, or, when it holds conversions or has fallbacks, the first
// of them (filled with the run's date) that exists, which is then named. Empty when there is
// none; that is said.
std::string ScheduleFileOf(const TSendOptions& options, const TSendRun& run, TReport& report)
{
    if (options.fallbacks.empty() && options.file.find('%') == std::string::npos)
        return options.file;
    std::vector<std::string> patterns{options.file};
    patterns.insert(patterns.end(), options.fallbacks.begin(), options.fallbacks.end());
    std::tm date{};
    ::localtime_r(&run.started, &date);
    const TScheduleChoice choice = ChooseScheduleFile(patterns, date);
    const std::string notThere =
        Listed(choice.missing) + (choice.missing.size() == 1 ? " does not exist" : " do not exist");
    if (choice.path.empty()) {
        report.Error("no schedule file: " + notThere);
        return {};
    }
    report.Info("schedule file: " + choice.path +
                (choice.missing.empty() ? "" : " (" + notThere + ")"));
    return choice.path;
}

// Loads the file as the window's load command does, builds its frames, then lists them or
// sends them.
int Send(const TSendOptions& options, const TSendRun& run, std::FILE* out, TReport& report)
{
    std::string file;
    try {
        file = ScheduleFileOf(options, run, report);
    } catch (const std::length_error& e) {
        report.Error(e.what());
    }
    if (file.empty()) return kExitRefused;
    TReportOperator op(report);
    TStringTable table(3, 2);
    TSchedule schedule(table, op);
    try {
        if (!schedule.LoadFromFile(file)) return kExitRefused; // the refusal is shown
    } catch (const EFileError& e) {
        report.Error(file + ": " + e.what());
        return kExitRefused;
    }
    const int entries = schedule.EntryCount();
    if (entries == 0) {
        report.Error(file + ": " + kNoEntriesText);
        return kExitRefused;
    }

    // Built here before the port is opened, so that a text that does not convert, or is no
    // time of day, sends nothing; the download builds the same frames from the same table.
    TSendHistory history(DefaultSendHistoryPath(),
                         [&report](const std::string& text) { report.Error(text); });
    const std::string source = SenderSource(file);
    std::vector<TFrame> frames;
    for (int k = 1; k <= entries; ++k) {
        try {
            frames.push_back(BuildEntryFrame(table.Cell(0, k), table.Cell(1, k)));
        } catch (const EConvertError& e) {
            const std::string why = "line " + std::to_string(k) + ": " + e.what();
            report.Error(file + ": " + why);
            if (!options.dryRun)
                for (const std::string& port : options.ports)
                    history.Append(NotSent(port, source, EntriesOf(table, entries), why));
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
    return SendToPorts({options, run, table, entries, report, op, history, source});
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
    // The options that take a value, and the setting each is (none: --config).
    static const struct
    {
        const char* longName;
        const char* shortName;
        const char* key;
        const char* what;
    } valueOptions[] = {
        {"--port", "-p", "port", "a port name"},
        {"--fallback", nullptr, "fallback", "a file name"},
        {"--wait-for-device", nullptr, "wait-for-device", "a number of seconds"},
        {"--retries", nullptr, "retries", "a number"},
        {"--retry-pause", nullptr, "retry-pause", "a number of seconds"},
        {"--config", nullptr, nullptr, "a file name"},
    };
    TSendOptions options;
    TSendSettings given;
    std::vector<std::string> files;
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
        } else {
            const auto option =
                std::find_if(std::begin(valueOptions), std::end(valueOptions), [&](const auto& o) {
                    return arg == o.longName || arg.starts_with(std::string(o.longName) + "=") ||
                           (o.shortName && arg == o.shortName);
                });
            if (option == std::end(valueOptions)) throw EUsage("unknown option '" + arg + "'");
            std::string value;
            if (const auto equals = arg.find('='); equals != std::string::npos)
                value = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            if (value.empty()) throw EUsage(arg + " needs " + option->what);
            try {
                if (option->key == nullptr) {
                    if (!options.config.empty()) throw EUsage("--config is given twice");
                    options.config = value;
                } else {
                    ApplySetting(given, option->key, value, option->longName);
                }
            } catch (const std::invalid_argument& e) {
                throw EUsage(e.what());
            }
        }
    }
    if (options.help || options.version || options.listPorts) return options;
    if (files.size() > 1) throw EUsage("one schedule file at a time, not also '" + files[1] + "'");
    if (!files.empty()) given.file = files[0];

    // The configuration file gives what the command line does not; a list the command line
    // gives (ports, fallbacks) replaces the file's.
    const TSendSettings config =
        options.config.empty() ? TSendSettings{} : ReadSendConfig(options.config);
    const auto either = [](const auto& first, const auto& second) {
        return first.empty() ? second : first;
    };
    options.file = given.file.value_or(config.file.value_or(""));
    options.fallbacks = either(given.fallbacks, config.fallbacks);
    options.ports = either(given.ports, config.ports);
    options.waitSeconds = given.waitSeconds.value_or(config.waitSeconds.value_or(0));
    options.retries = given.retries.value_or(config.retries.value_or(0));
    options.retryPauseSeconds = given.retryPauseSeconds.value_or(
        config.retryPauseSeconds.value_or(kDefaultRetryPauseSeconds));

    if (options.file.empty()) throw EUsage("no schedule file given");
    if (options.ports.empty() && !options.dryRun) throw EUsage("no port given (--port NAME)");
    return options;
}

std::string SendHelpText()
{
    return std::string("Usage: ") + kProgram + R"( [OPTION]... FILE --port NAME
  or:  movarth-send --config CONF [OPTION]... [FILE]
  or:  movarth-send --list-ports
Downloads the schedule FILE to the count-down controller on the serial port NAME, as loading
FILE in movarth and pressing 发送 would: the entries in file order, at 2400 bit/s, 8N1.

FILE is a schedule file as movarth saves it (one "hh:mm:ss hh:mm:ss hh:mm:ss" line per
entry, start, length and end; at most 31 entries). It may hold strftime(3) conversions,
filled with the date at the start (%Y-%m-%d or %F, %u the weekday 1-7, %a Mon-Sun; %% is a
%): ~/schedules/%F.qlx. NAME is a device path (/dev/ttyUSB0, /dev/pts/3), COM<n> for
/dev/ttyS<n-1>, or a name under /dev (ttyUSB0); --list-ports shows the ports there are.

  -p, --port NAME           the serial port that leads to a controller; given several
                            times, the schedule goes to each in turn
      --fallback FILE       sent when the files before it do not exist (may hold
                            conversions; may be given several times, tried in order)
      --wait-for-device S   wait up to S seconds for each port's device to appear
      --retries N           send again, up to N more times, to a port whose download failed
                            (default 0)
      --retry-pause S       seconds between tries (default 5)
      --config CONF         read the settings above from CONF ("key = value" lines: file,
                            fallback, port, wait-for-device, retries, retry-pause, time);
                            the command line overrides it
  -n, --dry-run             print the frames that would be sent, one per line as 16 hex
                            digits, the confirmation frame last; no port is opened
  -q, --quiet               print only errors (and the summary of several ports)
  -l, --list-ports          list the serial ports present, one a line: the name, what it is,
                            and the names udev keeps for it (/dev/serial/by-id/... survives
                            re-plugging)
  -h, --help                show this text
  -V, --version             show the version

Progress goes to standard error: one line updated in place on a terminal, otherwise one
line per step; with several ports, each port's lines begin with its name and the last lines
say what became of each.

Every download, also one refused before anything was sent, is recorded as one line in the
send history: $XDG_STATE_HOME/movarth/send-history.log (~/.local/state/movarth/...).

Exit status:
  0  every controller confirmed the whole schedule (with --dry-run: the frames were
     printed; with --list-ports: the ports were listed)
  1  a download failed: no answer, a refusing controller, an unknown answer, the line
     lost; or some ports were unusable and others were sent to
  2  nothing was sent anywhere: bad usage or configuration, a file that cannot be read,
     does not convert or holds a time that is no time of day, or no port that could be
     opened or appeared (with --dry-run: the frames could not be written)
  128+N  stopped by signal N (SIGHUP, SIGINT, SIGTERM); the port was given back

The installed timer units movarth-send@.timer and .service send with --config
~/.config/movarth/send/INSTANCE.conf; see movarth-send(1).
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
                   bool errIsTerminal, const TSendRun& run)
{
    TSendOptions options;
    try {
        options = ParseSendOptions(args);
    } catch (const EUsage& e) {
        std::fprintf(err, "%s: %s\nTry '%s --help' for more information.\n", kProgram, e.what(),
                     kProgram);
        return kExitRefused;
    } catch (const EConfigError& e) {
        std::fprintf(err, "%s: %s\n", kProgram, e.what());
        return kExitRefused;
    }
    if (options.help || options.version) {
        std::fputs((options.help ? SendHelpText() : SendVersionText()).c_str(), out);
        return kExitSuccess;
    }
    if (options.listPorts) return ListPorts(out, err);
    TReport report(err, options.quiet, errIsTerminal);
    try {
        return Send(options, run, out, report);
    } catch (const std::exception& e) {
        report.Error(e.what());
        return kExitFailed;
    }
}

} // namespace movarth::send
