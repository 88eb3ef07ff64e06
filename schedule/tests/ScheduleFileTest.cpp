#include "schedule/ScheduleFile.h"

#include "FakeOperator.h"
#include "schedule/Schedule.h"
#include "schedule/StringTable.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace movarth {
namespace {

namespace fs = std::filesystem;
using test::TFakeOperator;

TEST(ScheduleTextTest, SplitsAtEveryKindOfLineEnd)
{
    using Lines = std::vector<std::string>;
    const std::pair<std::string, Lines> cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\r\n", {"a", ""}},
        {"a\r\n\r\n", {"a", ""}},
        {"\r\n", {""}},
        {"\n\n", {"", ""}},
        {std::string("a\r\nb\0c\r\n", 8), {"a", "b"}},
        {std::string("\0a\r\n", 4), {}},
    };
    for (const auto& [text, lines] : cases)
        EXPECT_EQ(SplitScheduleText(text), lines) << testing::PrintToString(text);
}

TEST(ScheduleTextTest, LineCellsAreTakenByPosition)
{
    struct Case
    {
        std::string line, start, length, end;
    };
    const Case cases[] = {
        {"08:00:00 00:30:00 08:30:00", "08:00:00", "00:30:00", "08:30:00"},
        {"08:00:00\t00:30:00,08:30:00 trailing", "08:00:00", "00:30:00", "08:30:00"},
        {"ab:cd:ef xxxxxxxx 99:99:99", "ab:cd:ef", "xxxxxxxx", "99:99:99"},
        {"08:00:00 00:3", "08:00:00", "00:3", ""},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        const TScheduleCells cells = SplitScheduleLine(c.line);
        EXPECT_EQ(cells.start, c.start) << c.line;
        EXPECT_EQ(cells.length, c.length) << c.line;
        EXPECT_EQ(cells.end, c.end) << c.line;
    }
}

class ScheduleFileTest : public testing::Test
{
protected:
    ScheduleFileTest()
    {
        std::string pattern = (fs::path(testing::TempDir()) / "schedule-XXXXXX").string();
        dir = mkdtemp(pattern.data());
        schedule.SetCountListener([this](const std::string& text) { labels.push_back(text); });
    }
    ~ScheduleFileTest() override { fs::remove_all(dir); }

    void Add(const std::string& start, const std::string& length)
    {
        TPlainTimeField s(start), l(length), e("00:00:00");
        schedule.BitBtn1Click(s, l, e);
        ASSERT_EQ(s.Text(), "00:00:00");
    }

    static std::vector<std::string> Rows(const TStringTable& t)
    {
        std::vector<std::string> rows;
        for (int r = 1; r < t.RowCount(); ++r)
            rows.push_back(t.Cell(0, r) + "|" + t.Cell(1, r) + "|" + t.Cell(2, r));
        return rows;
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void Write(const std::string& path, const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::vector<std::string> DirEntries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Loads `bytes` through the load command.
    void LoadBytes(const std::string& bytes)
    {
        Write(Path("in.qlx"), bytes);
        op.files.push_back(Path("in.qlx"));
        schedule.BitBtn5Click();
    }

    std::string FileError(auto&& action)
    {
        try {
            action();
        } catch (const EFileError& error) {
            return error.what();
        }
        return "no error";
    }

    fs::path dir;
    TStringTable table{3, 2};
    TFakeOperator op;
    TSchedule schedule{table, op};
    std::vector<std::string> labels;
};

TEST_F(ScheduleFileTest, OneEntrySavesAsTwentyEightBytes)
{
    Add("08:00:00", "00:30:00");
    op.files.push_back(Path("one.qlx"));
    schedule.BitBtn3Click();

    EXPECT_EQ(Read(Path("one.qlx")), "08:00:00 00:30:00 08:30:00\r\n");
    EXPECT_EQ(op.events, (std::vector<std::string>{"save dialog", "inform: 文件保存成功！"}));
    EXPECT_EQ(schedule.ScheduleLines(), std::vector<std::string>{"08:00:00 00:30:00 08:30:00"});
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"one.qlx"});
}

TEST_F(ScheduleFileTest, SaveAndLoadRoundTripByteForByte)
{
    Add("23:00:00", "02:00:00");
    Add("08:00:00", "00:30:00");
    Add("12:00:00", "00:00:01");
    const auto rows = Rows(table);
    schedule.SaveToFile(Path("day.qlx"));
    const std::string bytes = Read(Path("day.qlx"));
    EXPECT_EQ(bytes.size(), 28u * 3);

    TStringTable other{3, 2};
    TFakeOperator otherOp;
    TSchedule loaded{other, otherOp};
    EXPECT_TRUE(loaded.LoadFromFile(Path("day.qlx")));
    EXPECT_EQ(Rows(other), rows);
    EXPECT_EQ(loaded.EntryCount(), 3);
    EXPECT_EQ(loaded.CountText(), schedule.CountText());
    EXPECT_EQ(loaded.ScheduleLines(), schedule.ScheduleLines());

    loaded.SaveToFile(Path("again.qlx"));
    EXPECT_EQ(Read(Path("again.qlx")), bytes);
    EXPECT_TRUE(otherOp.events.empty());
}

TEST_F(ScheduleFileTest, SaveWithNoEntriesOnlyTellsTheOperator)
{
    schedule.BitBtn3Click();
    EXPECT_EQ(op.events, std::vector<std::string>{"message: 还没有输入任何条目，不必保存！"});
}

TEST_F(ScheduleFileTest, SaveCancelledWritesNothing)
{
    Add("08:00:00", "00:30:00");
    op.files.push_back(std::nullopt);
    schedule.BitBtn3Click();
    EXPECT_EQ(op.events, std::vector<std::string>{"save dialog"});
    EXPECT_TRUE(DirEntries().empty());
}

TEST_F(ScheduleFileTest, OverwriteQuestionOnlyNoStops)
{
    Add("08:00:00", "00:30:00");
    const std::string path = Path("old.qlx");
    Write(path, "old contents");
    const std::string ask = "ask: 文件已经存在，是否要覆盖？";

    op.files.push_back(path);
    op.answers.push_back(false);
    schedule.BitBtn3Click();
    EXPECT_EQ(op.events, (std::vector<std::string>{"save dialog", ask}));
    EXPECT_EQ(Read(path), "old contents");

    op.events.clear();
    op.files.push_back(path);
    op.answers.push_back(true);
    schedule.BitBtn3Click();
    EXPECT_EQ(op.events, (std::vector<std::string>{"save dialog", ask, "inform: 文件保存成功！"}));
    EXPECT_EQ(Read(path), "08:00:00 00:30:00 08:30:00\r\n");
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"old.qlx"});
}

TEST_F(ScheduleFileTest, WriteFailingPartWayLeavesTheOldFileWhole)
{
    const std::string path = Path("keep.qlx");
    Write(path, "the operator's schedule\r\n");
    std::size_t written = 0;
    const TWriteStep failAfterTenBytes = [&](int fd, const void* data, std::size_t size) {
        if (written >= 10) {
            errno = EIO;
            return ssize_t{-1};
        }
        const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, 10 - written));
        written += static_cast<std::size_t>(n);
        return n;
    };

    EXPECT_EQ(FileError([&] { WriteScheduleFile(path, std::string(280, 'x'), failAfterTenBytes); }),
              "Stream write error");
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(Read(path), "the operator's schedule\r\n");
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"keep.qlx"}) << "temporary file left behind";
}

TEST_F(ScheduleFileTest, ShortWritesAreContinued)
{
    const TWriteStep threeAtATime = [](int fd, const void* data, std::size_t size) {
        return ::write(fd, data, std::min<std::size_t>(size, 3));
    };
    const std::string bytes = "08:00:00 00:30:00 08:30:00\r\n09:00:00 00:30:00 09:30:00\r\n";
    WriteScheduleFile(Path("short.qlx"), bytes, threeAtATime);
    EXPECT_EQ(Read(Path("short.qlx")), bytes);
}

TEST_F(ScheduleFileTest, ReplacedFileKeepsItsPermissions)
{
    const std::string path = Path("mode.qlx");
    Write(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    WriteScheduleFile(path, "new");
    struct stat info
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(Read(path), "new");
}

TEST_F(ScheduleFileTest, FileThatCannotBeCreatedIsAFileErrorWithoutSuccessNotice)
{
    Add("08:00:00", "00:30:00");
    const std::string path = Path("missing-folder/x.qlx");
    op.files.push_back(path);
    EXPECT_EQ(FileError([&] { schedule.BitBtn3Click(); }), "Cannot create file " + path);
    EXPECT_EQ(op.events, std::vector<std::string>{"save dialog"});

    // A folder in the way of the name cannot be replaced either.
    fs::create_directory(Path("folder.qlx"));
    EXPECT_EQ(FileError([&] { schedule.SaveToFile(Path("folder.qlx")); }),
              "Cannot create file " + Path("folder.qlx"));
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"folder.qlx"});
}

TEST_F(ScheduleFileTest, LoadReplacesTheTableInFileOrderWithoutChecks)
{
    Add("01:00:00", "00:10:00");
    op.events.clear();
    LoadBytes("10:00:00 00:30:00 10:30:00 and more\r\n"
              "ab:cd:ef\txxxxxxxx,99:99:99\r\n"
              "08:00:00 00:30:00 08:30:00");

    EXPECT_EQ(Rows(table),
              (std::vector<std::string>{"10:00:00|00:30:00|10:30:00", "ab:cd:ef|xxxxxxxx|99:99:99",
                                        "08:00:00|00:30:00|08:30:00"}));
    EXPECT_EQ(schedule.EntryCount(), 3);
    EXPECT_EQ(schedule.CountText(), "现在有3条记录");
    EXPECT_EQ(labels.back(), "现在有3条记录");
    EXPECT_EQ(op.events, std::vector<std::string>{"open dialog"});
}

TEST_F(ScheduleFileTest, LoadCancelledChangesNothing)
{
    Add("01:00:00", "00:10:00");
    op.files.push_back(std::nullopt);
    schedule.BitBtn5Click();
    EXPECT_EQ(Rows(table), std::vector<std::string>{"01:00:00|00:10:00|01:10:00"});
    EXPECT_EQ(labels.size(), 1u);
}

TEST_F(ScheduleFileTest, FileOfMoreThanThirtyOneLinesIsRefusedWhole)
{
    Add("01:00:00", "00:10:00");
    const std::string line = "08:00:00 00:30:00 08:30:00\r\n";
    std::string bytes;
    for (int i = 0; i < 32; ++i)
        bytes += line;
    op.events.clear();
    LoadBytes(bytes);

    EXPECT_EQ(op.events, (std::vector<std::string>{
                             "open dialog", "message: 文件中的条目超过31条上限，无法调出！"}));
    EXPECT_EQ(Rows(table), std::vector<std::string>{"01:00:00|00:10:00|01:10:00"});
    EXPECT_EQ(schedule.EntryCount(), 1);
    EXPECT_EQ(labels.size(), 1u);

    // Thirty-one lines fill the table.
    LoadBytes(bytes.substr(line.size()));
    EXPECT_EQ(schedule.EntryCount(), 31);
    EXPECT_EQ(table.RowCount(), 32);
}

TEST_F(ScheduleFileTest, ShortAndEmptyLinesGiveWhatTheyHold)
{
    LoadBytes("08:00:00 00:30\r\n\r\n09:00:00 00:30:00 09:30:00\r\n");
    EXPECT_EQ(Rows(table),
              (std::vector<std::string>{"08:00:00|00:30|", "||", "09:00:00|00:30:00|09:30:00"}));
    EXPECT_EQ(schedule.EntryCount(), 3);
}

TEST_F(ScheduleFileTest, FileWithoutLinesLeavesTheTableAsClearDoes)
{
    for (const std::string& bytes : {std::string(), std::string("\0"
                                                                "08:00:00 00:30:00 08:30:00",
                                                                27)}) {
        LoadBytes("08:00:00 00:30:00 08:30:00\r\n09:00:00 00:30:00 09:30:00\r\n");
        ASSERT_EQ(schedule.EntryCount(), 2);
        LoadBytes(bytes);
        EXPECT_EQ(table.RowCount(), 2);
        EXPECT_EQ(Rows(table), std::vector<std::string>{"||"});
        EXPECT_EQ(schedule.EntryCount(), 0);
        EXPECT_EQ(schedule.CountText(), "现在有0条记录");
    }
    // The other operations then work as on a cleared table.
    Add("05:00:00", "00:10:00");
    EXPECT_EQ(Rows(table), std::vector<std::string>{"05:00:00|00:10:00|05:10:00"});
}

TEST_F(ScheduleFileTest, FileThatCannotBeOpenedChangesNothing)
{
    Add("01:00:00", "00:10:00");
    for (const std::string& path : {Path("absent.qlx"), dir.string()}) {
        op.files.push_back(path);
        EXPECT_EQ(FileError([&] { schedule.BitBtn5Click(); }), "Cannot open file " + path);
        EXPECT_EQ(Rows(table), std::vector<std::string>{"01:00:00|00:10:00|01:10:00"});
        EXPECT_EQ(schedule.EntryCount(), 1);
        EXPECT_EQ(schedule.CountText(), "现在有1条记录");
        EXPECT_EQ(labels.size(), 1u);
    }
}

TEST_F(ScheduleFileTest, SortStopsAtAStartThatIsNotATime)
{
    LoadBytes("10:00:00 00:30:00 10:30:00\r\n"
              "09:00:00 00:30:00 09:30:00\r\n"
              "xx:00:00 00:30:00 00:30:00\r\n"
              "08:00:00 00:30:00 08:30:00\r\n");
    try {
        schedule.SortEntries();
        FAIL() << "no error";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'xx:00:00' is not a valid time");
    }
    // The exchange made before the bad cell was reached stays.
    std::vector<std::string> starts;
    for (int r = 1; r <= schedule.EntryCount(); ++r)
        starts.push_back(table.Cell(0, r));
    EXPECT_EQ(starts, (std::vector<std::string>{"09:00:00", "10:00:00", "xx:00:00", "08:00:00"}));
}

} // namespace
} // namespace movarth
