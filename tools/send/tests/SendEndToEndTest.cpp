// movarth-send as it is run: the built program as a child process, sending schedule files to
// the controller simulator on a pseudo-terminal.
#include "comm/PosixComm.h"
#include "comm/SerialPorts.h"
#include "link/Download.h"
#include "link/tests/SimProcess.h"
#include "schedule/TimeText.h"
#include "tests/support/AsOrdinaryUser.h"
#include "tests/support/SilentLine.h"
#include "tests/support/TemporaryGroup.h"
#include "tests/support/TextFiles.h"
#include "tools/send/tests/SenderProcess.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace movarth {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using ::testing::AnyOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

using test::Lines;
using test::ReadAll;

using test::DescendingEntries;
using test::PortsHere;
using test::ProgramName;
using test::RunSender;
using test::ScheduleBytes;
using test::TEntry;
using test::TSenderProcess;
using SendEndToEndTest = test::TSenderFolderTest;

TEST_F(SendEndToEndTest, AConfirmedDownloadDeliversTheFileInItsOwnOrder)
{
    const auto entries = DescendingEntries(kMaxEntries);
    const std::string file = WriteFile("today.qlx", ScheduleBytes(entries));
    test::TSimProcess sim({"--once", "--timeout", "60"});

    const auto run = RunSender({file, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();

    const auto received = test::ParseSchedule(sim.Output());
    ASSERT_EQ(received.size(), entries.size()) << sim.Output();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        SCOPED_TRACE(k + 1);
        EXPECT_EQ(received[k].start, entries[k].start);
        EXPECT_EQ(received[k].length, entries[k].length);
        EXPECT_EQ(received[k].frame, BuildEntryFrame(entries[k].start, entries[k].length));
    }
    // Standard error is no terminal here: one plain line per caption.
    std::vector<std::string> captions{kHandshakeCaption};
    for (int k = 1; k <= kMaxEntries; ++k)
        captions.push_back(FrameCaption(k));
    captions.push_back(kConfirmationCaption);
    captions.push_back(kSuccessCaption);
    EXPECT_EQ(Lines(run.err), captions);
}

TEST_F(SendEndToEndTest, ARefusedFrameIsSentAgainAndQuietPrintsNothing)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(3)));
    test::TSimProcess sim({"--refuse-frame", "2:2", "--once", "--timeout", "60"});

    const auto run = RunSender({"-q", file, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, IsEmpty());
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_EQ(test::EventTimes(sim.Log(), "]: refused").size(), 2u) << sim.Log();
    EXPECT_EQ(test::ParseSchedule(sim.Output()).size(), 3u);
}

TEST_F(SendEndToEndTest, AFailedDownloadExitsWithOneAndSaysWhy)
{
    const struct
    {
        std::vector<std::string> simOptions;
        bool quiet;
        std::string reason;
        std::string logEvent; // what the controller saw, and how often
        std::size_t logCount;
        std::chrono::milliseconds minTime, maxTime;
    } cases[] = {
        // The handshake's budget: 100 bytes 50 ms apart, then the end.
        {{"--silent"},
         true,
         "the controller on '{port}' did not answer in time",
         "handshake",
         100,
         4500ms,
         20s},
        // An unknown answer ends the download at once, where it stood, and is named.
        {{"--bad-answer", "1:0x00"},
         false,
         "the controller on '{port}' answered 0x00 to frame 1, which is neither "
         "acknowledgement nor refusal",
         "]: answered with 00",
         1,
         0ms,
         4s},
    };
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.simOptions[0]);
        auto simOptions = c.simOptions;
        simOptions.insert(simOptions.end(), {"--timeout", "60"});
        test::TSimProcess sim(simOptions);
        std::vector<std::string> args{file, "--port", sim.DevicePath()};
        if (c.quiet) args.push_back("-q");

        const auto started = TSteady::now();
        const auto run = RunSender(args);
        const auto elapsed = TSteady::now() - started;
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_GE(elapsed, c.minTime);
        EXPECT_LE(elapsed, c.maxTime);
        std::string reason = c.reason;
        reason.replace(reason.find("{port}"), 6, sim.DevicePath());
        const auto lines = Lines(run.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "movarth-send: download failed: " + reason);
        if (c.quiet) {
            EXPECT_EQ(lines.size(), 1u) << run.err;
        }

        sim.Finish(0ms);
        EXPECT_EQ(test::EventTimes(sim.Log(), c.logEvent).size(), c.logCount) << sim.Log();
    }
}

// A controller that keeps refusing frame 2 (it is sent again after each refusal until the
// time budget is spent): one progress line per frame, and the failure says what happened.
TEST_F(SendEndToEndTest, ARefusingControllerGivesOneLinePerFrameAndIsNamed)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(3)));
    test::TSimProcess sim({"--refuse-frame", "2:100000", "--timeout", "60"});

    const auto run = RunSender({file, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 1) << run.err;
    sim.Finish(0ms);
    const std::size_t refused = test::EventTimes(sim.Log(), "]: refused").size();
    ASSERT_GT(refused, 10u) << sim.Log();

    const auto lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 5u) << run.err;
    EXPECT_EQ(lines[0], kHandshakeCaption);
    EXPECT_EQ(lines[1], FrameCaption(1));
    EXPECT_EQ(lines[2], FrameCaption(2));
    EXPECT_EQ(lines[3], kNoContactCaption);
    const std::string failed = "movarth-send: download failed: the controller on '" +
                               sim.DevicePath() + "' refused frame 2 (";
    ASSERT_THAT(lines[4], StartsWith(failed));
    // The refusals it received: all those the controller sent but the last few in flight.
    const std::size_t counted = std::stoul(lines[4].substr(failed.size()));
    EXPECT_THAT(lines[4], EndsWith(std::to_string(counted) + " times)"));
    EXPECT_LE(counted, refused);
    EXPECT_GE(counted + 3, refused);
}

TEST_F(SendEndToEndTest, ALineLostDuringTheDownloadEndsItAtOnce)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    auto sim = std::make_unique<test::TSimProcess>(
        std::vector<std::string>{"--silent", "--timeout", "60"});
    const std::string port = sim->DevicePath();
    TSenderProcess sender({file, "--port", port});
    const auto deadline = TSteady::now() + 20s;
    while (sim->Log().find("handshake 3") == std::string::npos && TSteady::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_THAT(sim->Log(), HasSubstr("handshake 3")) << "the download is under way";
    sim.reset(); // the controller's end of the line closes

    const auto lost = TSteady::now();
    const auto run = sender.Wait(30s);
    EXPECT_LT(TSteady::now() - lost, 3s) << "ended by the failure, not by the time budget";
    EXPECT_EQ(run.status, 1) << run.err;
    // Whichever notices first: the next handshake byte's write, or the line's hang-up.
    const std::string failed = "movarth-send: download failed: the line to '" + port + "' failed: ";
    EXPECT_THAT(Lines(run.err).back(),
                AnyOf(StartsWith(failed + "Write error: "),
                      StartsWith(failed + "Device removed or line hung up: ")));
}

TEST_F(SendEndToEndTest, WhatCannotBeSentIsRefusedWithTwoAndNothingGoesOut)
{
    const std::string oneEntry = ScheduleBytes(DescendingEntries(1));
    const std::string tooMany = ScheduleBytes(DescendingEntries(kMaxEntries + 1));
    const struct
    {
        const char* name;
        std::string bytes; // of {file}
        std::vector<std::string> args;
        std::string message;
        bool holdPort = false; // another program has the port
    } cases[] = {
        {"a time that does not convert",
         "08:30:00 00:45:30 09:15:30\r\n09:3x:00 00:10:00 09:40:00\r\n",
         {"{file}", "--port", "{port}"},
         "movarth-send: {file}: line 2: 'x' is not a valid integer value"},
        // A row out of range would go out as it stands; 99:99:99 99:99:99 even as the
        // confirmation frame.
        {"a time that is no time of day",
         "08:30:00 00:45:30 09:15:30\r\n25:00:00 00:10:00 01:10:00\r\n",
         {"{file}", "--port", "{port}"},
         "movarth-send: {file}: line 2: '25:00:00' is not a valid time"},
        {"the confirmation frame as an entry",
         "08:30:00 00:45:30 09:15:30\r\n99:99:99 99:99:99 99:99:99\r\n",
         {"--dry-run", "{file}"},
         "movarth-send: {file}: line 2: '99:99:99' is not a valid time"},
        {"a device path that does not exist",
         oneEntry,
         {"{file}", "--port", "/dev/movarth-no-such-port"},
         "movarth-send: cannot open port '/dev/movarth-no-such-port': no such device{ports}"},
        {"a name under /dev that does not exist",
         oneEntry,
         {"{file}", "--port", "ttyMOVARTH9"},
         "movarth-send: cannot open port 'ttyMOVARTH9' (/dev/ttyMOVARTH9): no such device{ports}"},
        {"a port that is no terminal",
         oneEntry,
         {"{file}", "--port", "{file}"},
         "movarth-send: cannot open port '{file}': not a serial device but a regular file"},
        {"a port held by another program",
         oneEntry,
         {"{file}", "--port", "{port}"},
         "movarth-send: cannot open port '{port}': in use by another program: {self} (process "
         "{pid}, flock)",
         true},
        {"no port", oneEntry, {"{file}"}, "movarth-send: no port given (--port NAME)"},
        {"a file that does not exist",
         "",
         {"{file}.missing", "--port", "{port}"},
         "movarth-send: {file}.missing: Cannot open file {file}.missing"},
        {"more than 31 entries",
         tooMany,
         {"{file}", "--port", "{port}"},
         "movarth-send: 文件中的条目超过31条上限，无法调出！"},
        {"no entry",
         "",
         {"{file}", "--port", "{port}"},
         std::string("movarth-send: {file}: ") + kNoEntriesText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = WriteFile("today.qlx", c.bytes);
        test::TSimProcess sim({"--timeout", "60"});
        const auto fill = [&](std::string text) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"{file}", file},
                                             {"{port}", sim.DevicePath()},
                                             {"{ports}", PortsHere()},
                                             {"{self}", ProgramName(::getpid())},
                                             {"{pid}", std::to_string(::getpid())}})
                for (std::size_t at; (at = text.find(key)) != std::string::npos;)
                    text.replace(at, key.size(), value);
            return text;
        };
        int held = -1;
        if (c.holdPort) {
            held = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        }
        std::vector<std::string> args;
        for (const auto& arg : c.args)
            args.push_back(fill(arg));

        const auto run = RunSender(args);
        if (held >= 0) ::close(held);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_THAT(Lines(run.err), ::testing::Contains(fill(c.message))) << run.err;
        sim.Finish(0ms);
        EXPECT_THAT(sim.Log(), Not(HasSubstr("handshake"))) << "nothing was sent";
    }
}

TEST_F(SendEndToEndTest, ADryRunPrintsTheFramesAndOpensNoPort)
{
    const std::string entries = "08:30:00 00:45:30 09:15:30\r\n"
                                "23:59:59 23:59:59 23:59:58\r\n"
                                "00:00:00 00:00:05 00:00:05\r\n";
    // As another program may write it: a byte-order mark first, blank lines last.
    for (const std::string& bytes : {entries, "\xEF\xBB\xBF" + entries + "\r\n  \r\n"}) {
        const std::string file = WriteFile("today.qlx", bytes);
        // The port given does not exist: opening it would fail.
        const auto run = RunSender({"--dry-run", file, "--port", "/dev/movarth-no-such-port"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "0008300000453013\n"
                           "0023595923595982\n"
                           "0000000000000505\n"
                           "0099999999999994\n");
        EXPECT_THAT(run.err, IsEmpty());
    }
    EXPECT_FALSE(std::filesystem::exists(HistoryPath())) << "a dry run is no download";
}

// Each download is one line of the send history: confirmed, failed, refused before sending.
TEST_F(SendEndToEndTest, EveryDownloadIsALineOfTheSendHistory)
{
    const std::string good = WriteFile("today.qlx", "08:30:00 00:45:30 09:15:30\r\n"
                                                    "12:00:00 01:15:00 13:15:00\r\n");
    const std::string bad = WriteFile("bad.qlx", "25:00:00 00:10:00 01:10:00\r\n");
    test::TSimProcess sim({"--timeout", "60"});
    EXPECT_EQ(RunSender({good, "--port", sim.DevicePath()}).status, 0);
    EXPECT_EQ(RunSender({bad, "--port", sim.DevicePath()}).status, 2);
    EXPECT_EQ(RunSender({good, "--port", "/dev/movarth-no-such-port"}).status, 2);
    test::TSimProcess silent({"--silent", "--timeout", "60"});
    EXPECT_EQ(RunSender({good, "-q", "--port", silent.DevicePath()}).status, 1);

    const auto lines = Lines(ReadAll(HistoryPath()));
    ASSERT_EQ(lines.size(), 4u) << ReadAll(HistoryPath());
    const auto fields = [](const std::string& line) {
        std::vector<std::string> parts;
        std::istringstream stream(line);
        for (std::string part; std::getline(stream, part, '\t');)
            parts.push_back(part);
        return parts;
    };
    const std::string entries = "08:30:00+00:45:30 12:00:00+01:15:00";
    const std::vector<std::vector<std::string>> expected = {
        {sim.DevicePath(), "sender " + good, "2", entries, "confirmed"},
        {sim.DevicePath(), "sender " + bad, "1", "25:00:00+00:10:00",
         "not sent: line 1: '25:00:00' is not a valid time"},
        {"/dev/movarth-no-such-port", "sender " + good, "2", entries,
         "not sent: cannot open port '/dev/movarth-no-such-port': no such device" + PortsHere()},
        {silent.DevicePath(), "sender " + good, "2", entries,
         std::string("failed: ") + kNoContactCaption + "; the controller did not answer in time"},
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto parts = fields(lines[i]);
        ASSERT_EQ(parts.size(), 6u) << lines[i];
        EXPECT_THAT(parts[0],
                    ::testing::MatchesRegex(
                        "20[0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]"
                        "[-+][0-9][0-9]:[0-9][0-9]"));
        parts.erase(parts.begin());
        EXPECT_EQ(parts, expected[i]) << lines[i];
    }
}

// A history that cannot be written neither stops nor fails a download; it is said once.
TEST_F(SendEndToEndTest, AHistoryThatCannotBeWrittenIsSaidOnceAndTheDownloadGoesOn)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    ::setenv("XDG_STATE_HOME", (file + "/below").c_str(), 1); // below a regular file
    test::TSimProcess sim({"--once", "--timeout", "60"});
    const auto run = RunSender({"-q", file, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "movarth-send: cannot write the send history " + file +
                           "/below/movarth/send-history.log: Not a directory; downloads go on "
                           "without it\n");
    EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();
}

TEST_F(SendEndToEndTest, HelpAndVersion)
{
    const auto help = RunSender({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, StartsWith("Usage: movarth-send [OPTION]... FILE --port NAME\n"));
    const auto version = RunSender({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "movarth-send " MOVARTH_VERSION "\n");
    EXPECT_THAT(help.err + version.err, IsEmpty());
}

// The listing of this machine's ports, as the library reads it; none is opened.
TEST_F(SendEndToEndTest, ListPortsPrintsThePortsPresentOneALine)
{
    const auto run = RunSender({"--list-ports"});
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> expected;
    for (const TSerialPort& port : ListSerialPorts())
        expected.push_back(SerialPortLine(port));
    EXPECT_EQ(Lines(run.out), expected);
    EXPECT_EQ(run.err, expected.empty() ? "movarth-send: no serial ports found\n" : "");
}

TEST_F(SendEndToEndTest, OnATerminalTheProgressIsOneLineRewrittenInPlace)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(3)));
    test::TSimProcess sim({"--once", "--timeout", "60"});
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);

    TSenderProcess sender({file, "--port", sim.DevicePath()}, terminal);
    ::close(terminal);
    const auto run = sender.Wait(60s);
    EXPECT_EQ(run.status, 0);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
        shown.append(buffer, static_cast<std::size_t>(n));
    ::close(master);

    EXPECT_THAT(shown, HasSubstr(std::string("\rframe 2 of 3 [############........] ") +
                                 FrameCaption(2) + "\033[K"));
    EXPECT_THAT(shown, EndsWith(std::string("\rframe 3 of 3 [####################] ") +
                                kSuccessCaption + "\033[K\r\n"));
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 1) << shown;
    EXPECT_EQ(sim.Finish(10s), 0);
}

// Where descriptor `fd` of process `pid` leads.
std::string DescriptorTarget(pid_t pid, int fd)
{
    std::error_code error;
    const auto target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error);
    return error ? "closed" : target.string();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = TSteady::now() + timeout;
    while (!condition()) {
        if (TSteady::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A stop signal in the middle of a download (systemd stopping a unit, Ctrl-C, a closed
// terminal) ends it with the port given back: as an ordinary user, whom the exclusive mode
// left behind would lock out (root passes it), the next run opens the same port at once.
TEST_F(SendEndToEndTest, AStopSignalEndsTheDownloadAndTheNextRunOpensThePortAtOnce)
{
    const test::TProgramCopy sender(MOVARTH_SEND);
    ASSERT_FALSE(sender.Path().empty());
    for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        const std::string seen = test::AsOrdinaryUser([&] {
            char folder[] = "/tmp/movarth-send-stop-XXXXXX";
            if (::mkdtemp(folder) == nullptr) return std::string("no folder");
            const std::string file = std::string(folder) + "/today.qlx";
            std::ofstream(file, std::ios::binary) << ScheduleBytes(DescendingEntries(2));
            test::TSilentLine line;
            std::string report;
            for (int run = 1; run <= 2; ++run) {
                TSenderProcess process({file, "--port", line.Path()}, TSenderProcess::kToFile,
                                       TSenderProcess::kToFile, sender.Path());
                const bool sending = line.AwaitHandshakes(3, 20s);
                ::kill(process.Pid(), signo);
                const auto ended = process.Wait(10s);
                const auto lines = Lines(ended.err);
                report += "run " + std::to_string(run) + (sending ? ": sending" : ": not sending") +
                          ", status " + std::to_string(ended.status) + ", " +
                          (lines.empty() ? std::string("no message") : lines.back()) + "\n";
                if (!sending || ended.status != 128 + signo) return report;
            }
            const std::string folderOfLocks = DefaultLockDirectory();
            const bool lockLeft =
                !folderOfLocks.empty() &&
                std::filesystem::exists(folderOfLocks + "/" + LockFileName(line.Path()));
            report += lockLeft ? "a lock file left" : "no lock file left";
            std::filesystem::remove_all(folder);
            return report;
        });
        const std::string run = ", status " + std::to_string(128 + signo) +
                                ", movarth-send: stopped by " +
                                (signo == SIGTERM  ? "SIGTERM"
                                 : signo == SIGINT ? "SIGINT"
                                                   : "SIGHUP") +
                                ": the download did not finish\n";
        EXPECT_EQ(seen, "run 1: sending" + run + "run 2: sending" + run + "no lock file left");
        if (HasFailure()) break; // the other signals would fail the same way, only later
    }
}

// A program started with a standard descriptor closed (2>&-, a careless unit file) has
// /dev/null there, so the port never becomes descriptor 2 and no text goes onto the line.
TEST_F(SendEndToEndTest, AProgramStartedWithAStandardDescriptorClosedHasDevNullThere)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    test::TSimProcess sim({"--silent", "--verbose", "--timeout", "60"}, true);
    EXPECT_EQ(DescriptorTarget(sim.Pid(), STDIN_FILENO), "/dev/null");

    TSenderProcess sender({file, "--port", sim.DevicePath()}, TSenderProcess::kClosed);
    ASSERT_TRUE(WaitFor([&] { return sim.Log().find("handshake 3") != std::string::npos; }, 20s))
        << sim.Log();
    EXPECT_EQ(DescriptorTarget(sender.Pid(), STDERR_FILENO), "/dev/null");
    ::kill(sender.Pid(), SIGTERM);
    EXPECT_EQ(sender.Wait(10s).status, 128 + SIGTERM);
    sim.Finish(0ms);
    // The line carried handshake bytes and nothing else.
    for (const std::string& logLine : Lines(sim.Log())) {
        const auto rx = logLine.find(" rx ");
        if (rx == std::string::npos) continue;
        std::istringstream bytes(logLine.substr(rx + 4));
        for (std::string byte; bytes >> byte;)
            EXPECT_EQ(byte, "55") << logLine;
    }
}

// SIGPIPE kills nothing: progress into a reader that has gone is lost, the download goes on;
// frames of --dry-run that cannot be written are a failure, not a success.
TEST_F(SendEndToEndTest, AWriteThatFailsIsAnErrorAndNeverAKill)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::close(fds[0]); // as `movarth-send ... 2>&1 | head -1` once head has gone
        test::TSimProcess sim({"--once", "--timeout", "60"});
        TSenderProcess sender({file, "--port", sim.DevicePath()}, fds[1]);
        ::close(fds[1]);
        EXPECT_EQ(sender.Wait(60s).status, 0);
        EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();
        EXPECT_EQ(test::ParseSchedule(sim.Output()).size(), 2u);
    }
    const struct
    {
        const char* name;
        std::function<int()> open; // the descriptor standard output goes to
        std::string reason;
    } cases[] = {
        {"a pipe nobody reads",
         [] {
             int fds[2];
             if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
             ::close(fds[0]);
             return fds[1];
         },
         std::strerror(EPIPE)},
        {"a full disk", [] { return ::open("/dev/full", O_WRONLY | O_CLOEXEC); },
         std::strerror(ENOSPC)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int out = c.open();
        ASSERT_GE(out, 0);
        TSenderProcess sender({"--dry-run", file}, TSenderProcess::kToFile, out);
        ::close(out);
        const auto run = sender.Wait(60s);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, "movarth-send: cannot write the frames: " + c.reason + "\n");
    }
}

// Noise on the line before the first answer is taken in whole by the events that bring it:
// the controller's answer after 100,000 bytes of it still counts.
TEST_F(SendEndToEndTest, ABurstOfNoiseBeforeTheFirstAnswerIsSweptAside)
{
    const auto entries = DescendingEntries(3);
    const std::string file = WriteFile("today.qlx", ScheduleBytes(entries));
    test::TSimProcess sim({"--noise", "100000", "--once", "--timeout", "60"});
    const auto run = RunSender({"-q", file, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_THAT(sim.Log(), HasSubstr("noise: 100000 bytes"));
    EXPECT_EQ(test::ParseSchedule(sim.Output()).size(), entries.size());
}

// Another user's lock file in the shared lock folder, left by a process that has ended (or
// naming none), cannot be removed by us since the folder is sticky: the port opens without a
// lock file of ours (flock and the exclusive mode still keep others out) and the sender says
// so once.
TEST_F(SendEndToEndTest, AnotherUsersStaleLockFileIsLeftAndSaidOnce)
{
    const std::string folder = DefaultLockDirectory();
    struct stat status
    {
    };
    if (::geteuid() != 0 || folder.empty() || ::stat(folder.c_str(), &status) != 0 ||
        !(status.st_mode & S_ISVTX))
        GTEST_SKIP()
            << "needs root, to leave a lock file as another user, and a sticky lock folder";
    const test::TProgramCopy sender(MOVARTH_SEND);
    ASSERT_FALSE(sender.Path().empty());
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    char deadContent[16];
    std::snprintf(deadContent, sizeof deadContent, "%10d\n", static_cast<int>(dead));

    const struct
    {
        std::string content;
        std::string why;
    } cases[] = {
        {deadContent, ", left by process " + std::to_string(dead) + " which has ended,"},
        {"", ", which names no running process,"},
        {"modem\n", ", which names no running process,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        test::TSilentLine line; // root's; the ordinary user may open its terminal end
        ASSERT_EQ(::chmod(line.Path().c_str(), 0666), 0);
        const std::string lock = folder + "/" + LockFileName(line.Path());
        std::ofstream(lock, std::ios::binary) << c.content;
        const std::string seen = test::AsOrdinaryUser([&] {
            char schedule[] = "/tmp/movarth-send-lock-XXXXXX";
            if (::mkdtemp(schedule) == nullptr) return std::string("no folder");
            const std::string file = std::string(schedule) + "/today.qlx";
            std::ofstream(file, std::ios::binary) << ScheduleBytes(DescendingEntries(1));
            TSenderProcess process({file, "--port", line.Path()}, TSenderProcess::kToFile,
                                   TSenderProcess::kToFile, sender.Path());
            const bool sending = line.AwaitHandshakes(2, 20s);
            ::kill(process.Pid(), SIGTERM);
            const auto ended = process.Wait(10s);
            std::filesystem::remove_all(schedule);
            return std::string(sending ? "sending\n" : "not sending\n") + ended.err;
        });
        const std::string note = "movarth-send: '" + line.Path() +
                                 "' opened without a lock file: " + lock + c.why +
                                 " cannot be removed (" + std::strerror(EPERM) + ")";
        const auto lines = Lines(seen);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "sending") << seen;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), note), 1) << seen;
        EXPECT_EQ(ReadAll(lock), c.content) << "left to its owner";
        std::filesystem::remove(lock);
        if (HasFailure()) break; // the other cases would fail the same way, only later
    }
}

// An ordinary user who may not open the port is told which group it is for and what to do,
// as the window's box tells it: one not in the group, one added to it since the login (the
// child process, like a login, has no groups but its own).
TEST_F(SendEndToEndTest, AUserWhoMayNotOpenThePortIsToldWhy)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the port to another group";
    const test::TProgramCopy sender(MOVARTH_SEND);
    ASSERT_FALSE(sender.Path().empty());
    const test::TTemporaryGroup added("nobody");
    ASSERT_TRUE(added.Ok()) << "groupadd failed";
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(1)));
    ASSERT_EQ(::chmod(std::filesystem::path(file).parent_path().c_str(), 0755), 0);
    test::TSilentLine line;
    const std::string prefix =
        "movarth-send: cannot open port '" + line.Path() + "': not allowed: ";
    const struct
    {
        std::string group;
        std::string reason;
    } cases[] = {
        {"dialout", "it is for group 'dialout', and user 'nobody' is not in it (add the user "
                    "with 'sudo usermod -aG dialout nobody', then log in again)"},
        {added.Name(), "it is for group '" + added.Name() +
                           "'; user 'nobody' was added to it after logging in, and only a new "
                           "login has the group: log in again"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.group);
        const group* entry = ::getgrnam(c.group.c_str());
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(::chown(line.Path().c_str(), 0, entry->gr_gid), 0);
        ASSERT_EQ(::chmod(line.Path().c_str(), 0660), 0);
        const std::string seen = test::AsOrdinaryUser([&] {
            char state[] = "/tmp/movarth-send-state-XXXXXX"; // the user's own send history
            if (::mkdtemp(state) == nullptr) return std::string("no folder");
            ::setenv("XDG_STATE_HOME", state, 1);
            const auto run = TSenderProcess({file, "--port", line.Path()}, TSenderProcess::kToFile,
                                            TSenderProcess::kToFile, sender.Path())
                                 .Wait(30s);
            std::filesystem::remove_all(state);
            return "status " + std::to_string(run.status) + "\n" + run.err;
        });
        EXPECT_THAT(Lines(seen), ::testing::ElementsAre("status 2", prefix + c.reason)) << seen;
    }
}

} // namespace
} // namespace movarth
