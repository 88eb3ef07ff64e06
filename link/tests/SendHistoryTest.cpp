// The send history: its lines, the file they go to, its rotation, and a history that cannot
// be written.
#include "link/SendHistory.h"

#include "tests/support/AsOrdinaryUser.h"
#include "tests/support/TextFiles.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace movarth {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Sets an environment variable for the life of the object.
class TScopedEnv
{
public:
    TScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
        ::tzset();
    }
    ~TScopedEnv()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
        ::tzset();
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

using test::Lines;
using test::ReadAll;

// 2026-12-10 05:30:02 and 09:12:40 at UTC+8.
constexpr std::time_t kMorning = 1796851802;
constexpr std::time_t kLater = 1796865160;

TSendRecord Confirmed(std::time_t time, const std::string& port)
{
    return {time,
            port,
            "sender /home/op/schedules/today.qlx",
            {{"07:30:00", "00:30:00"}, {"12:00:00", "01:15:00"}, {"19:00:00", "00:45:00"}},
            TSendOutcome::soConfirmed,
            ""};
}

TEST(SendRecordTest, OneLinePerDownloadThatAScriptSplitsAtTabs)
{
    const TScopedEnv zone("TZ", "CST-8");
    EXPECT_EQ(FormatSendRecord(Confirmed(kMorning, "ttyUSB0")),
              "2026-12-10 05:30:02+08:00\tttyUSB0\tsender /home/op/schedules/today.qlx\t3\t"
              "07:30:00+00:30:00 12:00:00+01:15:00 19:00:00+00:45:00\tconfirmed");
    const TSendRecord refused{kLater,
                              "/dev/ttyUSB0",
                              kWindowSource,
                              {{"08:00:00", "00:30:00"}, {"25:00:00", "00:30:00"}},
                              TSendOutcome::soNotSent,
                              "'25:00:00' is not a valid time"};
    EXPECT_EQ(FormatSendRecord(refused),
              "2026-12-10 09:12:40+08:00\t/dev/ttyUSB0\twindow\t2\t"
              "08:00:00+00:30:00 25:00:00+00:30:00\tnot sent: '25:00:00' is not a valid time");
    const TScopedEnv west("TZ", "<-0330>3:30");
    EXPECT_THAT(FormatSendRecord(refused), ::testing::StartsWith("2026-12-09 21:42:40-03:30\t"));
}

// Whatever the texts hold, a line parses back into the record it was written from.
TEST(SendRecordTest, EveryTextComesBackFromItsLine)
{
    const TScopedEnv zone("TZ", "<-0330>3:30");
    const TSendRecord records[] = {
        Confirmed(kMorning, "ttyUSB0"),
        {kLater,
         "a\tport\\with\nodd\rbytes\x01",
         "sender /tmp/日程 表.qlx",
         {},
         TSendOutcome::soFailed,
         "计算机和倒计时控制器未取得联系，请检查; the controller refused frame 2 (3 times)"},
        {kLater,
         "COM1",
         kWindowSource,
         {{"", ""},
          {"ab cd+e", "\xEF\xBB\xBF"
                      "1\\2"},
          {" 8:00:0", "00:00:00"}},
         TSendOutcome::soNotSent,
         "'' is not a valid integer value"},
    };
    for (const TSendRecord& record : records) {
        const std::string line = FormatSendRecord(record);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 5) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        const auto parsed = ParseSendRecord(line);
        ASSERT_TRUE(parsed) << line;
        EXPECT_EQ(*parsed, record) << line;
    }
}

TEST(SendRecordTest, OtherTextIsNoRecord)
{
    const std::string good = "2026-12-10 05:30:02+08:00\tttyUSB0\twindow\t1\t"
                             "07:30:00+00:30:00\tconfirmed";
    ASSERT_TRUE(ParseSendRecord(good));
    for (const std::string& bad : std::vector<std::string>{
             "", "# a comment", good + "\textra",
             "2026-12-10 05:30:02\tttyUSB0\twindow\t1\t07:30:00+00:30:00\tconfirmed",
             "2026-12-10 05:30:02+08:00\tttyUSB0\twindow\t2\t07:30:00+00:30:00\tconfirmed",
             "2026-12-10 05:30:02+08:00\tttyUSB0\twindow\t1\t07:30:00\tconfirmed",
             "2026-12-10 05:30:02+08:00\tttyUSB0\twindow\t1\t07:30:00+00:30:00\tsent",
             "2026-12-10 05:30:02+08:00\tttyUSB0\\q\twindow\t1\t07:30:00+00:30:00\tconfirmed",
             "2026-12-10 05:30:02+08:00\tttyUSB0\twindow\t1\t07:30:00+00:30:00\tfailed: \\x4"})
        EXPECT_FALSE(ParseSendRecord(bad)) << bad;
}

TEST(SendHistoryPathTest, FollowsXdgStateHomeElseTheHomeFolder)
{
    const TScopedEnv home("HOME", "/home/op");
    {
        const TScopedEnv state("XDG_STATE_HOME", "/var/state/op");
        EXPECT_EQ(DefaultSendHistoryPath(), "/var/state/op/movarth/send-history.log");
    }
    for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/state"}) {
        const TScopedEnv state("XDG_STATE_HOME", ignored);
        EXPECT_EQ(DefaultSendHistoryPath(), "/home/op/.local/state/movarth/send-history.log");
    }
}

class SendHistoryTest : public ::testing::Test
{
protected:
    ~SendHistoryTest() override { fs::remove_all(dir); }

    TSendHistory History(const std::string& path)
    {
        return TSendHistory(path, [this](const std::string& text) { warnings.push_back(text); });
    }

    std::string dir = [] {
        char name[] = "/tmp/movarth-history-XXXXXX";
        return std::string(::mkdtemp(name) ? name : "/tmp");
    }();
    std::string path = dir + "/state/movarth/send-history.log";
    std::vector<std::string> warnings;
};

TEST_F(SendHistoryTest, AppendsOneLinePerDownloadAndKnowsTheLastConfirmation)
{
    TSendHistory history = History(path);
    EXPECT_FALSE(history.LastConfirmed());
    history.Append(Confirmed(kMorning, "ttyUSB0"));
    TSendRecord failed = Confirmed(kLater, "ttyUSB1");
    failed.outcome = TSendOutcome::soFailed;
    failed.detail = "计算机和倒计时控制器未取得联系，请检查; the controller did not answer in time";
    history.Append(failed);

    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(ParseSendRecord(lines[1]), failed);
    EXPECT_EQ((fs::status(dir + "/state/movarth").permissions() & fs::perms::all),
              fs::perms::owner_all);
    EXPECT_TRUE(warnings.empty());

    // Another process's history (the window reading what movarth-send wrote) finds it too.
    const TSendHistory reader = History(path);
    ASSERT_TRUE(reader.LastConfirmed());
    EXPECT_EQ(reader.LastConfirmed()->port, "ttyUSB0");
    EXPECT_EQ(reader.LastConfirmed()->time, kMorning);
}

// Past 1,000,000 bytes the file becomes the one old file (replacing an older one); the last
// confirmation is still found there.
TEST_F(SendHistoryTest, PastTheLimitTheFileBecomesTheOldOne)
{
    TSendHistory history = History(path);
    history.Append(Confirmed(kMorning, "ttyUSB0"));
    std::string full = ReadAll(path);
    TSendRecord failed = Confirmed(kLater, "ttyUSB0");
    failed.outcome = TSendOutcome::soFailed;
    const std::string failedLine = FormatSendRecord(failed) + "\n";
    while (full.size() < TSendHistory::kRotateBytes)
        full += failedLine;
    std::ofstream(path, std::ios::binary) << full;
    std::ofstream(path + ".1") << "an older file\n";

    history.Append(failed);
    EXPECT_EQ(ReadAll(path + ".1"), full);
    EXPECT_EQ(ReadAll(path), failedLine);
    ASSERT_TRUE(History(path).LastConfirmed());
    EXPECT_EQ(History(path).LastConfirmed()->time, kMorning);
    EXPECT_FALSE(fs::exists(path + ".2"));
}

// The window and a timed movarth-send may append at once, across a rotation: every line
// arrives whole, once.
TEST_F(SendHistoryTest, WritersInSeveralProcessesAppendWholeLines)
{
    TSendHistory history = History(path);
    history.Append(Confirmed(kMorning, "prefill"));
    const std::string line = ReadAll(path);
    std::string full;
    while (full.size() + line.size() * 100 < TSendHistory::kRotateBytes)
        full += line;
    std::ofstream(path, std::ios::binary) << full;
    const std::size_t prefilled = full.size() / line.size();

    constexpr int kWriters = 4;
    constexpr int kEach = 200;
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            TSendHistory own(path, {});
            for (int i = 0; i < kEach; ++i)
                own.Append(Confirmed(kLater, "writer" + std::to_string(w)));
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers)
        ::waitpid(pid, nullptr, 0);

    std::map<std::string, int> byPort;
    const auto lines = Lines(ReadAll(path + ".1") + ReadAll(path));
    for (const std::string& text : lines) {
        const auto record = ParseSendRecord(text);
        ASSERT_TRUE(record) << text;
        ++byPort[record->port];
    }
    EXPECT_EQ(byPort["prefill"], static_cast<int>(prefilled));
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(byPort["writer" + std::to_string(w)], kEach) << w;
    EXPECT_LT(fs::file_size(path), TSendHistory::kRotateBytes) << "rotated once";
}

// A history that cannot be written is said once and stops nothing; the window still knows
// its own last confirmation.
TEST_F(SendHistoryTest, AHistoryThatCannotBeWrittenIsSaidOnce)
{
    std::ofstream(dir + "/file") << "x";
    ASSERT_EQ(::mkfifo((dir + "/pipe").c_str(), 0600), 0);
    for (const std::string& unwritable :
         {dir + "/file/movarth/send-history.log", dir + "/pipe", std::string()}) {
        SCOPED_TRACE(unwritable);
        warnings.clear();
        TSendHistory history = History(unwritable);
        history.Append(Confirmed(kMorning, "ttyUSB0"));
        history.Append(Confirmed(kLater, "ttyUSB1"));
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_THAT(warnings[0], HasSubstr("cannot write the send history"));
        ASSERT_TRUE(history.LastConfirmed());
        EXPECT_EQ(history.LastConfirmed()->port, "ttyUSB1");
    }
    // A folder closed to the user (root would write it).
    EXPECT_EQ(test::AsOrdinaryUser([] {
                  char name[] = "/tmp/movarth-history-XXXXXX";
                  if (::mkdtemp(name) == nullptr || ::chmod(name, 0500) != 0)
                      return std::string("no folder");
                  int warned = 0;
                  TSendHistory history(std::string(name) + "/movarth/send-history.log",
                                       [&](const std::string&) { ++warned; });
                  history.Append(Confirmed(kMorning, "ttyUSB0"));
                  history.Append(Confirmed(kMorning, "ttyUSB0"));
                  ::rmdir(name);
                  return "warned " + std::to_string(warned);
              }),
              "warned 1");
}

} // namespace
} // namespace movarth
