// The sender's configuration files, the timer's time of day taken from them, and the day's
// schedule file.
#include "tools/send/SendConfig.h"

#include "link/SendHistory.h"
#include "tests/support/AsOrdinaryUser.h"
#include "tests/support/TextFiles.h"
#include "tools/send/Sender.h"
#include "tools/send/TodaysFile.h"
#include "tools/send/tests/PrintSendOptions.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace movarth::send {
namespace {

namespace fs = std::filesystem;

class TempFolderTest : public ::testing::Test
{
protected:
    ~TempFolderTest() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& text)
    {
        const fs::path path = dir_ / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_ = [] {
        char name[] = "/tmp/movarth-send-config-XXXXXX";
        if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        return fs::path(name);
    }();
};

using ConfigFileTest = TempFolderTest;

// What a station writes, and the command line that runs it: the file gives what the command
// line does not, and a list on the command line (ports, fallbacks) replaces the file's.
TEST_F(ConfigFileTest, TheCommandLineOverridesTheFile)
{
    const std::string home = HomeFolder();
    const std::string config = Write("studio1.conf", "# Studio 1, every morning\r\n"
                                                     "file = ~/schedules/%F.qlx\r\n"
                                                     "  fallback=/srv/weekday-%u.qlx  \n"
                                                     "\n"
                                                     "\t# the last resort\n"
                                                     "fallback = /srv/default.qlx\n"
                                                     "port = /dev/serial/by-id/usb-A\n"
                                                     "port = ttyUSB1\n"
                                                     "wait-for-device = 120\n"
                                                     "retries = 2\n"
                                                     "retry-pause = 10\n"
                                                     "time = 05:45\n");
    const TSendOptions fromFile{.file = home + "/schedules/%F.qlx",
                                .fallbacks = {"/srv/weekday-%u.qlx", "/srv/default.qlx"},
                                .ports = {"/dev/serial/by-id/usb-A", "ttyUSB1"},
                                .waitSeconds = 120,
                                .retries = 2,
                                .retryPauseSeconds = 10,
                                .config = config};
    const auto with = [&](auto change) {
        TSendOptions options = fromFile;
        change(options);
        return options;
    };
    const struct
    {
        std::vector<std::string> args;
        TSendOptions expected;
    } cases[] = {
        {{"--config", config}, fromFile},
        {{"--config=" + config, "-q"}, with([](TSendOptions& o) { o.quiet = true; })},
        {{"--config", config, "other.qlx"}, with([](TSendOptions& o) { o.file = "other.qlx"; })},
        {{"--config", config, "-p", "ttyS0"}, with([](TSendOptions& o) { o.ports = {"ttyS0"}; })},
        {{"--config", config, "--fallback", "a.qlx"},
         with([](TSendOptions& o) { o.fallbacks = {"a.qlx"}; })},
        {{"--retries", "0", "--config", config, "--wait-for-device", "0", "--retry-pause", "1"},
         with([](TSendOptions& o) {
             o.retries = 0;
             o.waitSeconds = 0;
             o.retryPauseSeconds = 1;
         })},
        {{"--config", config, "--dry-run"}, with([](TSendOptions& o) { o.dryRun = true; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(ParseSendOptions(c.args), c.expected);
    }
    EXPECT_EQ(ReadSendConfig(config).timeOfDay, 5 * 3600 + 45 * 60);

    // Without the file's settings, the defaults; what neither gives is still missing.
    const std::string bare = Write("bare.conf", "file = /srv/today.qlx\nport = ttyUSB0\n");
    const TSendOptions defaults = ParseSendOptions({"--config", bare});
    EXPECT_EQ(defaults.waitSeconds, 0);
    EXPECT_EQ(defaults.retries, 0);
    EXPECT_EQ(defaults.retryPauseSeconds, kDefaultRetryPauseSeconds);
    const std::string portless = Write("portless.conf", "file = /srv/today.qlx\n");
    EXPECT_THROW(ParseSendOptions({"--config", portless}), EUsage);
    EXPECT_EQ(ParseSendOptions({"--config", portless, "-p", "ttyUSB0"}).ports,
              std::vector<std::string>{"ttyUSB0"});
}

TEST_F(ConfigFileTest, AFaultIsNamedWithItsLine)
{
    const struct
    {
        std::string text;
        std::string reason; // after "<path>: "
    } cases[] = {
        {"file = /srv/a.qlx\nport ttyUSB0\n", "line 2: expected 'key = value', not 'port ttyUSB0'"},
        {"= ttyUSB0\n", "line 1: expected 'key = value', not '= ttyUSB0'"},
        {"# ports\nprot = ttyUSB0\n", "line 2: unknown key 'prot'"},
        {"Port = ttyUSB0\n", "line 1: unknown key 'Port'"},
        {"port =\n", "line 1: port needs a value"},
        {"port = ttyUSB0\nport = ttyUSB0\n", "line 2: the port 'ttyUSB0' is given twice"},
        {"file = /srv/a.qlx\nfile = /srv/b.qlx\n", "line 2: file is given twice"},
        {"file = schedules/today.qlx\n",
         "line 1: file: 'schedules/today.qlx' is neither an absolute path nor begins with ~/"},
        {"fallback = ~user/default.qlx\n",
         "line 1: fallback: '~user/default.qlx' is neither an absolute path nor begins with ~/"},
        {"retries = 3 # three\n",
         "line 1: retries: '3 # three' is not a whole number from 0 to 99"},
        {"wait-for-device = -5\n",
         "line 1: wait-for-device: '-5' is not a whole number from 0 to 86400"},
        {"retry-pause = 1.5\n", "line 1: retry-pause: '1.5' is not a whole number from 0 to 3600"},
        {"time = 5:30\n", "line 1: time: '5:30' is not a time of day (hh:mm or hh:mm:ss)"},
        {"time = 24:00\n", "line 1: time: '24:00' is not a time of day (hh:mm or hh:mm:ss)"},
        {"time = 05:60\n", "line 1: time: '05:60' is not a time of day (hh:mm or hh:mm:ss)"},
        {"time = 05:30:60\n", "line 1: time: '05:30:60' is not a time of day (hh:mm or hh:mm:ss)"},
        {"time = 05.30\n", "line 1: time: '05.30' is not a time of day (hh:mm or hh:mm:ss)"},
        {"time = 05:30\ntime = 06:00\n", "line 2: time is given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string config = Write("studio.conf", c.text);
        try {
            ReadSendConfig(config);
            ADD_FAILURE() << "accepted";
        } catch (const EConfigError& e) {
            EXPECT_EQ(std::string(e.what()), config + ": " + c.reason);
        }
    }
    // Times that are: both forms, and the day's ends.
    for (const auto& [text, seconds] : std::vector<std::pair<std::string, int>>{
             {"00:00", 0}, {"23:59:59", 86399}, {"05:30:15", 19815}}) {
        EXPECT_EQ(ReadSendConfig(Write("t.conf", "time = " + text + "\n")).timeOfDay, seconds)
            << text;
    }
}

// A configuration that is no regular file is not read (a FIFO would hold the timer's run for
// ever); one that is too large or missing is refused with the reason.
TEST_F(ConfigFileTest, OnlyASmallRegularFileIsRead)
{
    const std::string fifo = Path("fifo.conf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct
    {
        std::string path;
        std::string reason;
    } cases[] = {
        {Path("missing.conf"), "No such file or directory"},
        {dir_.string(), "not a regular file"},
        {fifo, "not a regular file"},
        {Write("large.conf", std::string(64 * 1024 + 1, '#')), "larger than 64 KiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            ReadSendConfig(c.path);
            ADD_FAILURE() << "accepted";
        } catch (const EConfigError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "cannot read the configuration file " + c.path + ": " + c.reason);
        }
    }
    EXPECT_NO_THROW(ReadSendConfig(Write("full.conf", std::string(64 * 1024, '#'))));
}

// The time of day reaches the timer through a drop-in that the generator writes for each
// configuration that names one.
TEST_F(ConfigFileTest, TheGeneratorGivesEachTimerItsConfigurationsTime)
{
    EXPECT_EQ(TimerDropIn(6 * 3600 + 15 * 60, "/home/op/.config/movarth/send/studio1.conf"),
              "# Made by movarth-send-generator from the time in "
              "/home/op/.config/movarth/send/studio1.conf\n"
              "[Timer]\n"
              "OnCalendar=\n"
              "OnCalendar=*-*-* 06:15:00\n");

    const std::string folder = Path("config");
    const std::string units = Path("units");
    Write("config/studio1.conf", "file = /srv/a.qlx\nport = ttyUSB0\ntime = 06:15\n");
    Write("config/studio-2.conf", "file = /srv/a.qlx\ntime = 23:59:30\n");
    Write("config/no-time.conf", "file = /srv/a.qlx\nport = ttyUSB0\n");
    Write("config/broken.conf", "time = 25:00\n");
    Write("config/two words.conf", "time = 07:00\n");
    Write("config/notes.txt", "time = 08:00\n");
    fs::create_directories(folder + "/folder.conf");

    const auto messages = WriteTimerDropIns(folder, units);
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  folder + "/broken.conf: line 1: time: '25:00' is not a time of day (hh:mm or "
                           "hh:mm:ss)",
                  folder + "/two words.conf: 'two words' cannot name a timer (letters, digits "
                           "and - _ . : only)"}));
    std::vector<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(units))
        if (entry.is_regular_file()) written.push_back(fs::relative(entry.path(), units).string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"movarth-send@studio-2.timer.d/10-time.conf",
                                                 "movarth-send@studio1.timer.d/10-time.conf"}));
    EXPECT_EQ(test::ReadAll(units + "/movarth-send@studio1.timer.d/10-time.conf"),
              TimerDropIn(6 * 3600 + 15 * 60, folder + "/studio1.conf"));
    EXPECT_EQ(test::ReadAll(units + "/movarth-send@studio-2.timer.d/10-time.conf"),
              TimerDropIn(23 * 3600 + 59 * 60 + 30, folder + "/studio-2.conf"));

    // No folder of configurations: nothing to do, nothing to say.
    EXPECT_TRUE(WriteTimerDropIns(Path("none"), Path("units2")).empty());
    EXPECT_FALSE(fs::exists(Path("units2")));
}

TEST(ConfigFolderTest, FollowsXdgConfigHome)
{
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string before = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
    EXPECT_EQ(DefaultSendConfigFolder(), "/srv/config/movarth/send");
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // to be ignored, as the base directory rules say
    EXPECT_EQ(DefaultSendConfigFolder(), HomeFolder() + "/.config/movarth/send");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DefaultSendConfigFolder(), HomeFolder() + "/.config/movarth/send");
    if (saved) ::setenv("XDG_CONFIG_HOME", before.c_str(), 1);
}

// Thursday, 5 March 2026, 07:08:09.
std::tm FixedDate()
{
    std::tm date{};
    date.tm_year = 2026 - 1900;
    date.tm_mon = 2;
    date.tm_mday = 5;
    date.tm_hour = 7;
    date.tm_min = 8;
    date.tm_sec = 9;
    date.tm_wday = 4;
    date.tm_yday = 63;
    return date;
}

TEST(TodaysFileTest, ConversionsAreFilledWithTheDate)
{
    const struct
    {
        std::string pattern;
        std::string filled;
    } cases[] = {
        {"/srv/%Y-%m-%d.qlx", "/srv/2026-03-05.qlx"},
        {"~/schedules/%F.qlx", "~/schedules/2026-03-05.qlx"},
        {"weekday-%u.qlx", "weekday-4.qlx"},
        {"%a.qlx", "Thu.qlx"},
        {"%A %d %B.qlx", "Thursday 05 March.qlx"},
        {"day-%j-%H.qlx", "day-064-07.qlx"},
        {"100%%-%d.qlx", "100%-05.qlx"},
        {"%%Y.qlx", "%Y.qlx"},
        {"%%", "%"},
        {"%p", "AM"},
        // Without conversions, the name as it is.
        {"today.qlx", "today.qlx"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FillDate(c.pattern, FixedDate()), c.filled) << c.pattern;
    EXPECT_EQ(FillDate("%7000Y.qlx", FixedDate()), std::string(6996, '0') + "2026.qlx");
    EXPECT_THROW(FillDate("%70000Y.qlx", FixedDate()), std::length_error);
}

using TodaysFileChoiceTest = TempFolderTest;

// Only a name that leads nowhere is passed over; a file that is there but bad is chosen, so
// that its load refuses it and nothing falls back past it.
TEST_F(TodaysFileChoiceTest, OnlyAMissingFileIsPassedOver)
{
    const std::string day = Path("%F.qlx");
    const std::string weekday = Path("weekday-%u.qlx");
    const std::string fallback = Path("default.qlx");
    const std::string dayFile = Path("2026-03-05.qlx");
    const std::string weekdayFile = Path("weekday-4.qlx");
    const struct
    {
        const char* what;
        std::function<void()> lay;
        std::string chosen;
        std::vector<std::string> missing;
    } cases[] = {
        {"the day's own file", [&] { Write("2026-03-05.qlx", "x"); }, dayFile, {}},
        {"the weekday's", [&] { Write("weekday-4.qlx", "x"); }, weekdayFile, {dayFile}},
        {"the default", [&] { Write("default.qlx", "x"); }, fallback, {dayFile, weekdayFile}},
        {"none", [] {}, "", {dayFile, weekdayFile, fallback}},
        {"an empty day's file",
         [&] {
             Write("2026-03-05.qlx", "");
             Write("default.qlx", "x");
         },
         dayFile,
         {}},
        {"a folder under the day's name",
         [&] {
             fs::create_directories(dayFile);
             Write("default.qlx", "x");
         },
         dayFile,
         {}},
        {"a link to nowhere under the day's name",
         [&] {
             fs::create_symlink(Path("gone.qlx"), dayFile);
             Write("default.qlx", "x");
         },
         fallback,
         {dayFile, weekdayFile}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_))
            fs::remove_all(entry.path());
        c.lay();
        const TScheduleChoice choice = ChooseScheduleFile({day, weekday, fallback}, FixedDate());
        EXPECT_EQ(choice.path, c.chosen);
        EXPECT_EQ(choice.missing, c.missing);
    }

    // A folder on the way that is missing counts as missing; one that is a file, or closed to
    // the user, does not: the load says what is wrong.
    const std::string inFolder = Path("%Y/%m/%d.qlx");
    EXPECT_EQ(ChooseScheduleFile({inFolder, fallback}, FixedDate()).path, fallback);
    Write("2026", "not a folder");
    EXPECT_EQ(ChooseScheduleFile({inFolder, fallback}, FixedDate()).path, Path("2026/03/05.qlx"));
    const std::string seen = test::AsOrdinaryUser([] {
        char folder[] = "/tmp/movarth-send-closed-XXXXXX";
        if (::mkdtemp(folder) == nullptr) return std::string("no folder");
        const std::string closed = std::string(folder) + "/closed";
        fs::create_directories(closed);
        std::ofstream(std::string(folder) + "/default.qlx") << "x";
        ::chmod(closed.c_str(), 0);
        const auto choice = ChooseScheduleFile(
            {closed + "/%F.qlx", std::string(folder) + "/default.qlx"}, FixedDate());
        ::chmod(closed.c_str(), 0700);
        fs::remove_all(folder);
        return choice.path.substr(std::strlen(folder));
    });
    EXPECT_EQ(seen, "/closed/2026-03-05.qlx");
}

// The run fills the names with the date it is given: a dry run on 5 March 2026 lists the
// frames of that day's file, and names it.
TEST_F(TodaysFileChoiceTest, TheRunTakesItsDateFromItsStart)
{
    Write("2026-03-05.qlx", "08:30:00 00:45:30 09:15:30\r\n");
    Write("2026-03-06.qlx", "23:59:59 23:59:59 23:59:58\r\n");
    std::tm noon = FixedDate();
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const TSendRun run{.started = std::mktime(&noon)};
    char* outText = nullptr;
    char* errText = nullptr;
    std::size_t outSize = 0, errSize = 0;
    std::FILE* out = ::open_memstream(&outText, &outSize);
    std::FILE* err = ::open_memstream(&errText, &errSize);
    ASSERT_TRUE(out && err);
    const int status = RunSendCommand(
        {"--dry-run", Path("%F.qlx"), "--fallback", Path("default.qlx")}, out, err, false, run);
    std::fclose(out);
    std::fclose(err);
    const std::string printed(outText, outSize), said(errText, errSize);
    std::free(outText);
    std::free(errText);
    EXPECT_EQ(status, 0) << said;
    EXPECT_EQ(printed, "0008300000453013\n0099999999999994\n");
    EXPECT_EQ(said, "schedule file: " + Path("2026-03-05.qlx") + "\n");
}

} // namespace
} // namespace movarth::send
