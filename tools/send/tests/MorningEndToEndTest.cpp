// The unattended morning, as a timer runs movarth-send: several controllers (simulators on
// pseudo-terminals), the day's file or its fallback, a port that appears late, tries again,
// the configuration file, and the installed units with their generator.
#include "link/Download.h"
#include "link/tests/SimProcess.h"
#include "tests/support/TextFiles.h"
#include "tools/send/tests/SenderProcess.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>

namespace movarth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::DescendingEntries;
using test::Lines;
using test::PortsHere;
using test::ProgramName;
using test::ReadAll;
using test::RunSender;
using test::ScheduleBytes;
using test::TSenderProcess;
using test::TSimProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using TSteady = std::chrono::steady_clock;

using MorningEndToEndTest = test::TSenderFolderTest;

// The captions of a confirmed download of `entries` entries, each after `prefix`.
std::vector<std::string> ConfirmedCaptions(const std::string& prefix, int entries)
{
    std::vector<std::string> lines{prefix + kHandshakeCaption};
    for (int k = 1; k <= entries; ++k)
        lines.push_back(prefix + FrameCaption(k));
    lines.push_back(prefix + kConfirmationCaption);
    lines.push_back(prefix + kSuccessCaption);
    return lines;
}

// The port and the outcome of each record of the history.
std::vector<std::string> PortsAndOutcomes(const std::string& history)
{
    std::vector<std::string> records;
    for (const std::string& line : Lines(history)) {
        std::vector<std::string> fields;
        std::istringstream stream(line);
        for (std::string field; std::getline(stream, field, '\t');)
            fields.push_back(field);
        records.push_back(fields.size() == 6 ? fields[1] + " " + fields[5] : "garbled: " + line);
    }
    return records;
}

TEST_F(MorningEndToEndTest, EachPortGetsTheScheduleInTurnAndTheLastLinesSayHowEachFared)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    TSimProcess first({"--once", "--timeout", "60"});
    TSimProcess silent({"--silent", "--timeout", "60"});
    TSimProcess third({"--once", "--timeout", "60"});
    const std::string a = first.DevicePath(), b = silent.DevicePath(), c = third.DevicePath();

    const auto run = RunSender({file, "--port", a, "--port", b, "--port", c});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(first.Finish(10s), 0) << first.Log();
    EXPECT_EQ(third.Finish(10s), 0) << third.Log();
    silent.Finish(0ms);
    EXPECT_EQ(test::ParseSchedule(first.Output()).size(), 2u);
    EXPECT_EQ(test::ParseSchedule(third.Output()).size(), 2u);
    EXPECT_EQ(test::EventTimes(silent.Log(), "handshake").size(), 100u) << silent.Log();

    // One port after the other, each line of a port's download after its name.
    std::vector<std::string> expected = ConfirmedCaptions(a + ": ", 2);
    for (const std::string& line :
         {b + ": " + kHandshakeCaption, b + ": " + kNoContactCaption,
          "movarth-send: download failed: the controller on '" + b + "' did not answer in time"})
        expected.push_back(line);
    for (const std::string& line : ConfirmedCaptions(c + ": ", 2))
        expected.push_back(line);
    for (const std::string& line :
         {"movarth-send: " + a + ": confirmed",
          "movarth-send: " + b + ": failed: the controller did not answer in time",
          "movarth-send: " + c + ": confirmed"})
        expected.push_back(line);
    EXPECT_EQ(Lines(run.err), expected);

    EXPECT_EQ(PortsAndOutcomes(ReadAll(HistoryPath())),
              (std::vector<std::string>{a + " confirmed",
                                        b + " failed: " + kNoContactCaption +
                                            "; the controller did not answer in time",
                                        c + " confirmed"}));
}

// 0 only when every controller confirmed, 2 when nothing could be sent anywhere.
TEST_F(MorningEndToEndTest, TheExitStatusSaysWhetherEverythingOrNothingWasSent)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(1)));
    TSimProcess sim({"--timeout", "60"});
    const std::string good = sim.DevicePath();
    const std::string gone = "/dev/movarth-no-such-port";
    const std::string alsoGone = "/dev/movarth-no-such-port-either";
    const struct
    {
        std::vector<std::string> ports;
        int status;
        std::vector<std::string> summary;
    } cases[] = {
        {{good}, 0, {}},
        {{gone, good},
         1,
         {gone + ": not sent: cannot open port '" + gone + "': no such device" + PortsHere(),
          good + ": confirmed"}},
        {{gone, alsoGone},
         2,
         {gone + ": not sent: cannot open port '" + gone + "': no such device" + PortsHere(),
          alsoGone + ": not sent: cannot open port '" + alsoGone + "': no such device" +
              PortsHere()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.ports));
        std::vector<std::string> args{"-q", file};
        for (const std::string& port : c.ports)
            args.insert(args.end(), {"--port", port});
        const auto run = RunSender(args);
        EXPECT_EQ(run.status, c.status) << run.err;
        auto lines = Lines(run.err);
        for (const std::string& line : c.summary)
            EXPECT_THAT(lines, Contains("movarth-send: " + line)) << run.err;
        if (c.summary.empty()) {
            EXPECT_EQ(run.err, "") << "one port: no summary";
        } else {
            lines.erase(lines.begin(), lines.end() - static_cast<long>(c.summary.size()));
            for (std::size_t i = 0; i < lines.size(); ++i)
                EXPECT_EQ(lines[i], "movarth-send: " + c.summary[i]) << "the summary comes last";
        }
    }
}

TEST_F(MorningEndToEndTest, TheFallbackIsSentWhenTheDaysFileDoesNotExist)
{
    const auto entries = DescendingEntries(3);
    const std::string fallback = WriteFile("default.qlx", ScheduleBytes(entries));
    const std::string day = (dir_ / "%F.qlx").string();
    const std::string weekday = (dir_ / "weekday-%u.qlx").string();
    TSimProcess sim({"--once", "--timeout", "60"});

    const auto run =
        RunSender({day, "--fallback", weekday, "--fallback", fallback, "--port", sim.DevicePath()});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();
    const auto received = test::ParseSchedule(sim.Output());
    ASSERT_EQ(received.size(), entries.size());
    EXPECT_EQ(received[0].start, entries[0].start);

    const auto lines = Lines(run.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines[0],
                ::testing::MatchesRegex("schedule file: " + fallback + " \\(" + dir_.string() +
                                        "/20[0-9][0-9]-[01][0-9]-[0-3][0-9]\\.qlx and " +
                                        dir_.string() + "/weekday-[1-7]\\.qlx do not exist\\)"));
    EXPECT_THAT(ReadAll(HistoryPath()), HasSubstr("\tsender " + fallback + "\t3\t"));
}

// The day's file that is there but cannot be sent is an error: no fallback is sent instead.
TEST_F(MorningEndToEndTest, ADaysFileThatIsThereButBadIsNotPassedOver)
{
    const auto year = [] {
        const std::time_t now = std::time(nullptr);
        std::tm date{};
        ::localtime_r(&now, &date);
        return std::to_string(1900 + date.tm_year);
    };
    const std::string before = year();
    const std::string bad = WriteFile("year-" + before + ".qlx", "25:00:00 00:10:00 01:10:00\r\n");
    const std::string fallback = WriteFile("default.qlx", ScheduleBytes(DescendingEntries(1)));
    TSimProcess sim({"--timeout", "60"});

    const auto run = RunSender(
        {(dir_ / "year-%Y.qlx").string(), "--fallback", fallback, "--port", sim.DevicePath()});
    if (year() != before) GTEST_SKIP() << "the year turned during the run";
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{"schedule file: " + bad,
                                        "movarth-send: " + bad +
                                            ": line 1: '25:00:00' is not a valid time"}));
    sim.Finish(0ms);
    EXPECT_THAT(sim.Log(), Not(HasSubstr("handshake"))) << "nothing was sent";
}

// The adapter's name (a link, as udev's by-id names are) appears a while after the start: the
// sender waits for it, learning of it by looking once a second (a pseudo-terminal is
// announced by no device event), and sends.
TEST_F(MorningEndToEndTest, APortThatAppearsDuringTheWaitGetsTheSchedule)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    const std::string adapter = (dir_ / "usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0").string();
    TSimProcess sim({"--once", "--timeout", "60"});

    const auto started = TSteady::now();
    TSenderProcess sender({file, "--port", adapter, "--wait-for-device", "30"});
    std::this_thread::sleep_for(1500ms);
    int status = 0;
    ASSERT_EQ(::waitpid(sender.Pid(), &status, WNOHANG), 0) << "it did not wait";
    fs::create_symlink(sim.DevicePath(), adapter);
    const auto run = sender.Wait(30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(TSteady::now() - started, 20s);
    EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();

    std::vector<std::string> expected{"waiting up to 30 s for '" + adapter + "' to appear"};
    for (const std::string& line : ConfirmedCaptions("", 2))
        expected.push_back(line);
    EXPECT_EQ(Lines(run.err), expected);
}

TEST_F(MorningEndToEndTest, APortThatNeverAppearsIsUnusable)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(1)));
    const std::string never = (dir_ / "never").string();
    TSimProcess sim({"--timeout", "60"});
    const std::string notThere = "'" + never + "' did not appear within 1 s";

    const auto started = TSteady::now();
    const auto alone = RunSender({"-q", file, "--port", never, "--wait-for-device", "1"});
    EXPECT_GE(TSteady::now() - started, 1s);
    EXPECT_EQ(alone.status, 2) << alone.err;
    EXPECT_EQ(alone.err, "movarth-send: " + notThere + "\n");

    const auto withAnother = RunSender(
        {"-q", file, "--port", never, "--port", sim.DevicePath(), "--wait-for-device", "1"});
    EXPECT_EQ(withAnother.status, 1) << withAnother.err;
    EXPECT_THAT(Lines(withAnother.err),
                Contains("movarth-send: " + never + ": not sent: " + notThere));
    EXPECT_EQ(PortsAndOutcomes(ReadAll(HistoryPath())),
              (std::vector<std::string>{never + " not sent: " + notThere,
                                        never + " not sent: " + notThere,
                                        sim.DevicePath() + " confirmed"}));
}

// systemd stopping the unit while it waits for the adapter: the wait ends at once, and the
// ports not reached are named.
TEST_F(MorningEndToEndTest, AStopSignalEndsTheWaitAtOnce)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(1)));
    const std::string never = (dir_ / "never").string();
    TSimProcess sim({"--timeout", "60"});

    TSenderProcess sender(
        {file, "--port", never, "--port", sim.DevicePath(), "--wait-for-device", "60"});
    std::this_thread::sleep_for(1s);
    const auto signalled = TSteady::now();
    ::kill(sender.Pid(), SIGTERM);
    const auto run = sender.Wait(20s);
    EXPECT_LT(TSteady::now() - signalled, 5s);
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{
                  "waiting up to 60 s for '" + never + "' to appear",
                  "movarth-send: stopped by SIGTERM while waiting for '" + never + "' to appear",
                  "movarth-send: " + never + ": stopped by SIGTERM while waiting for it to appear",
                  "movarth-send: " + sim.DevicePath() + ": not tried"}));
    sim.Finish(0ms);
    EXPECT_THAT(sim.Log(), Not(HasSubstr("handshake")));
}

// The controller answers frame 1 of the first try with an unknown byte: the schedule goes
// again after the pause, and is confirmed. Each try is a record of the history.
TEST_F(MorningEndToEndTest, AFailedDownloadIsSentAgainAfterThePause)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    TSimProcess sim({"--bad-answer", "1:0x00", "--once", "--timeout", "60"});
    const std::string port = sim.DevicePath();

    const auto started = TSteady::now();
    const auto run = RunSender({file, "--port", port, "--retries", "2", "--retry-pause", "1"});
    EXPECT_GE(TSteady::now() - started, 1s) << "the pause";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_EQ(test::ParseSchedule(sim.Output()).size(), 2u);

    std::vector<std::string> expected{
        kHandshakeCaption, FrameCaption(1), kNoContactCaption,
        "movarth-send: download failed: the controller on '" + port +
            "' answered 0x00 to frame 1, which is neither acknowledgement nor refusal",
        "trying '" + port + "' again in 1 s (try 2 of 3)"};
    for (const std::string& line : ConfirmedCaptions("", 2))
        expected.push_back(line);
    EXPECT_EQ(Lines(run.err), expected);
    EXPECT_EQ(PortsAndOutcomes(ReadAll(HistoryPath())),
              (std::vector<std::string>{port + " failed: " + kNoContactCaption +
                                            "; the controller answered 0x00 to frame 1, which is "
                                            "neither acknowledgement nor refusal",
                                        port + " confirmed"}));
}

// The tries run out: the port failed, the next port still gets its turn.
TEST_F(MorningEndToEndTest, WhenTheTriesRunOutThePortHasFailed)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(2)));
    TSimProcess failing({"--bad-answer", "1:0x00", "--bad-answer", "2:0x01", "--timeout", "60"});
    TSimProcess good({"--once", "--timeout", "60"});
    const std::string a = failing.DevicePath(), b = good.DevicePath();

    const auto run =
        RunSender({"-q", file, "--port", a, "--port", b, "--retries", "1", "--retry-pause", "0"});
    EXPECT_EQ(run.status, 1) << run.err;
    const auto lines = Lines(run.err);
    ASSERT_GE(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[lines.size() - 2],
              "movarth-send: " + a +
                  ": failed after 2 tries: the controller answered 0x01 to frame 2, which is "
                  "neither acknowledgement nor refusal");
    EXPECT_EQ(lines.back(), "movarth-send: " + b + ": confirmed");
    EXPECT_EQ(PortsAndOutcomes(ReadAll(HistoryPath())).size(), 3u);
    EXPECT_EQ(good.Finish(10s), 0) << good.Log();
}

// A port that cannot be opened is not tried again, unless it is waited for: then another
// program's hold may end, as a device may come and go.
TEST_F(MorningEndToEndTest, APortThatCannotBeOpenedIsTriedAgainOnlyWhenWaitedFor)
{
    const std::string file = WriteFile("today.qlx", ScheduleBytes(DescendingEntries(1)));
    const std::string gone = "/dev/movarth-no-such-port";
    const auto once =
        RunSender({"-q", file, "--port", gone, "--retries", "3", "--retry-pause", "0"});
    EXPECT_EQ(once.status, 2);
    EXPECT_EQ(Lines(once.err).size(), 1u) << once.err;
    EXPECT_EQ(Lines(ReadAll(HistoryPath())).size(), 1u);
    fs::remove(HistoryPath());

    TSimProcess sim({"--once", "--timeout", "60"});
    const int held = ::open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    TSenderProcess sender({"-q", file, "--port", sim.DevicePath(), "--wait-for-device", "10",
                           "--retries", "1", "--retry-pause", "2"});
    // The first try is refused and recorded; then the other program lets go, in the pause.
    const auto deadline = TSteady::now() + 20s;
    while (Lines(ReadAll(HistoryPath())).empty() && TSteady::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ::close(held);
    const auto run = sender.Wait(30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_EQ(PortsAndOutcomes(ReadAll(HistoryPath())),
              (std::vector<std::string>{
                  sim.DevicePath() + " not sent: cannot open port '" + sim.DevicePath() +
                      "': in use by another program: " + ProgramName(::getpid()) + " (process " +
                      std::to_string(::getpid()) + ", flock)",
                  sim.DevicePath() + " confirmed"}));
}

// What the installed service runs: movarth-send --config FILE, with everything in the file.
TEST_F(MorningEndToEndTest, TheConfigurationFileGivesTheWholeRun)
{
    const auto entries = DescendingEntries(2);
    const std::string fallback = WriteFile("default.qlx", ScheduleBytes(entries));
    TSimProcess first({"--once", "--timeout", "60"});
    TSimProcess second({"--once", "--timeout", "60"});
    const std::string config =
        WriteFile("studio1.conf", "# Studio 1\n"
                                  "file = " +
                                      (dir_ / "%F.qlx").string() + "\n" + "fallback = " + fallback +
                                      "\n" + "port = " + first.DevicePath() + "\n" +
                                      "port = " + second.DevicePath() + "\n" +
                                      "wait-for-device = 5\n"
                                      "retries = 1\n"
                                      "time = 05:30\n");

    const auto run = RunSender({"--config", config, "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(first.Finish(10s), 0) << first.Log();
    EXPECT_EQ(second.Finish(10s), 0) << second.Log();
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{"movarth-send: " + first.DevicePath() + ": confirmed",
                                        "movarth-send: " + second.DevicePath() + ": confirmed"}));

    const std::string bad = WriteFile("bad.conf", "file = " + fallback + "\nprot = ttyUSB0\n");
    const auto refused = RunSender({"--config", bad});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "movarth-send: " + bad + ": line 2: unknown key 'prot'\n");
}

// The units as the package installs them, with the drop-in the generator writes from a
// configuration's time, as systemd reads them.
TEST_F(MorningEndToEndTest, TheUnitsAndTheGeneratorsDropInPassSystemdsCheck)
{
    ASSERT_EQ(std::system("command -v systemd-analyze >/dev/null"), 0)
        << "systemd-analyze is missing (scripts/setup.sh installs systemd)";
    // The service names the program as installed; here, the one just built.
    const fs::path units = dir_ / "units";
    fs::create_directories(units);
    std::string service = ReadAll(MOVARTH_DIST "/movarth-send@.service");
    const std::string exec = "ExecStart=movarth-send ";
    ASSERT_NE(service.find(exec), std::string::npos);
    service.replace(service.find(exec), exec.size(), "ExecStart=" MOVARTH_SEND " ");
    std::ofstream(units / "movarth-send@.service") << service;
    fs::copy_file(MOVARTH_DIST "/movarth-send@.timer", units / "movarth-send@.timer");

    fs::create_directories(dir_ / "config/movarth/send");
    WriteFile("config/movarth/send/studio1.conf",
              "file = /srv/%F.qlx\nport = ttyUSB0\ntime = 06:15\n");
    const fs::path generated = dir_ / "generated";
    const std::string environment = "XDG_CONFIG_HOME=" + (dir_ / "config").string() +
                                    " XDG_RUNTIME_DIR=" + dir_.string() +
                                    " SYSTEMD_UNIT_PATH=" + units.string() + ":" +
                                    generated.string() + ":"; // and the system's units after

    ASSERT_EQ(std::system((environment + " " MOVARTH_SEND_GENERATOR " " + generated.string() + " " +
                           generated.string() + ".early " + generated.string() + ".late")
                              .c_str()),
              0);
    const fs::path dropIn = generated / "movarth-send@studio1.timer.d/10-time.conf";
    EXPECT_THAT(ReadAll(dropIn.string()), HasSubstr("\nOnCalendar=\nOnCalendar=*-*-* 06:15:00\n"));

    const auto verify = [&] {
        const std::string output = (dir_ / "verify.txt").string();
        const int status =
            std::system((environment +
                         " systemd-analyze verify --user --man=no movarth-send@studio1.timer "
                         "movarth-send@studio1.service >" +
                         output + " 2>&1")
                            .c_str());
        return std::to_string(WEXITSTATUS(status)) + " " + ReadAll(output);
    };
    EXPECT_EQ(verify(), "0 ");
    // The check reads the drop-in: one whose time is no time leaves the timer without one.
    std::ofstream(dropIn) << "[Timer]\nOnCalendar=\nOnCalendar=*-*-* 25:15:00\n";
    EXPECT_THAT(verify(), HasSubstr("Timer unit lacks value setting"));
}

} // namespace
} // namespace movarth
