#include "schedule/ScheduleFile.h"

#include "FakeOperator.h"
#include "schedule/Schedule.h"
#include "schedule/StringTable.h"
#include "tests/support/AsOrdinaryUser.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth {
namespace {

namespace fs = std::filesystem;
using test::AsOrdinaryUser;
using test::TFakeOperator;

// A fresh folder under the test's temporary folder, removed with everything in it (also after
// a case closed it to writing).
class TTempFolder
{
public:
    TTempFolder()
    {
        std::string pattern = (fs::path(testing::TempDir()) / "schedule-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    ~TTempFolder()
    {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }

    fs::path path;
};

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The text of an EFileError thrown by `action` ("no error" when none is).
std::string FileError(auto&& action)
{
    try {
        action();
    } catch (const EFileError& error) {
        return error.what();
    }
    return "no error";
}

// A write step that writes the first `limit` bytes and then fails as a failing device does.
TWriteStep FailAfter(std::size_t limit)
{
    auto written = std::make_shared<std::size_t>(0);
    return [=](int fd, const void* data, std::size_t size) -> ssize_t {
        if (*written >= limit) {
            errno = EIO;
            return -1;
        }
        const ssize_t n = ::write(fd, data, std::min(size, limit - *written));
        if (n > 0) *written += static_cast<std::size_t>(n);
        return n;
    };
}

TEST(ScheduleTextTest, SplitsAtEveryKindOfLineEnd)
{
    using Lines = std::vector<std::string>;
    const std::pair<std::string, Lines> cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"a\n\rb", {"a", "", "b"}},
        // Blank lines at the end are no entries; between entries they stay lines.
        {"a\r\r\n", {"a"}},
        {"a\r\n\r\n", {"a"}},
        {"a\r\n \t \r\n\t", {"a"}},
        {"\r\n", {}},
        {"\n\n", {}},
        {"a\r\n\r\n  \r\nb\r\n\r\n", {"a", "", "  ", "b"}},
        {" b \r\n", {" b "}},
        // Characters from the 27th on are not looked at.
        {std::string(30, ' ') + "x\r\n", {}},
        {std::string(25, ' ') + "x\r\n", {std::string(25, ' ') + "x"}},
        // A UTF-8 byte-order mark at the very start is skipped; anywhere else it is text.
        {"\xEF\xBB\xBF" "a\r\nb", {"a", "b"}},
        {"\xEF\xBB\xBF", {}},
        {"\xEF\xBB\xBF\r\na", {"", "a"}},
        {"\xEF\xBB\xBF\xEF\xBB\xBF" "a", {"\xEF\xBB\xBF" "a"}},
        {"a\r\n\xEF\xBB\xBF" "b", {"a", "\xEF\xBB\xBF" "b"}},
        {"\xEF\xBB" "a", {"\xEF\xBB" "a"}},
        {"\xEF\xBB", {"\xEF\xBB"}},
        {"\xEF" "a", {"\xEF" "a"}},
        {std::string("a\r\nb\0c\r\n", 8), {"a", "b"}},
        {std::string("\0a\r\n", 4), {}},
        // Of a line only the characters the load uses are kept.
        {std::string(26, 'x') + "yyyy\r\nz", {std::string(26, 'x'), "z"}},
    };
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(SplitScheduleText(text), lines) << testing::PrintToString(text);
        // Read a byte at a time, a CR LF split between two reads is still one line end.
        TScheduleTextSplitter splitter;
        for (const char c : text)
            splitter.Add(std::string_view(&c, 1));
        EXPECT_EQ(splitter.TakeLines(), lines) << "byte by byte: " << testing::PrintToString(text);
    }
}

TEST(ScheduleTextTest, TakesNoMoreOnceMoreThanMaxLinesHaveBegun)
{
    struct Case
    {
        std::string text;
        bool wantsMore;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a\r\nb\r\n", true, {"a", "b"}},           // two lines end: a third may follow
        {"a\r\nb\r\nc", false, {"a", "b", "c"}},    // a third has begun
        // An empty third line begins once a line that is not blank follows it.
        {"a\r\nb\r\n\r\nc", false, {"a", "b", "", "c"}},
        {"a\r\nb\r\n\r\n \r\n\r\n", true, {"a", "b"}},
        {"a\r\nb", true, {"a", "b"}},
        {std::string("a\0b\r\nc\r\nd", 8), false, {"a"}}, // a NUL ends the text
    };
    for (const auto& c : cases) {
        TScheduleTextSplitter splitter(2);
        EXPECT_EQ(splitter.Add(c.text), c.wantsMore) << testing::PrintToString(c.text);
        // Once it has stopped, it takes nothing more.
        if (!c.wantsMore) {
            EXPECT_FALSE(splitter.Add("more\r\n"));
        }
        EXPECT_EQ(splitter.TakeLines(), c.lines) << testing::PrintToString(c.text);
    }
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
        schedule.SetCountListener([this](const std::string& text) { labels.push_back(text); });
    }

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

    TTempFolder temp;
    const fs::path& dir = temp.path;
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
    EXPECT_EQ(FileError([&] { WriteScheduleFile(path, std::string(280, 'x'), FailAfter(10)); }),
              "Stream write error");
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

TEST_F(ScheduleFileTest, ReplacedFileKeepsItsModeOwnerAndGroup)
{
    const std::string path = Path("mode.qlx");
    Write(path, "old");
    // Root may give the file to another user, and the save must give it back to that user.
    const uid_t owner = ::geteuid() == 0 ? test::kOrdinaryUid : ::geteuid();
    const gid_t group = ::geteuid() == 0 ? test::kOrdinaryGid : ::getegid();
    ASSERT_EQ(::chown(path.c_str(), owner, group), 0);
    // Set after the owner, since a change of owner clears the set-user-id bit.
    ASSERT_EQ(::chmod(path.c_str(), 04750), 0);

    WriteScheduleFile(path, "new");
    struct stat info
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 04750u);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
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

// A file written by another program: a byte-order mark before the first entry, blank lines
// after the last. Neither shifts a column nor becomes an entry, so 31 entries still load.
TEST_F(ScheduleFileTest, AByteOrderMarkAndBlankLinesAtTheEndAreNoEntries)
{
    const std::string line = "08:00:00 00:30:00 08:30:00\r\n";
    std::string entries;
    for (int i = 0; i < kMaxEntries; ++i)
        entries += line;
    LoadBytes("\xEF\xBB\xBF" + entries + "\r\n \t\r\n\r\n");
    EXPECT_EQ(op.events, std::vector<std::string>{"open dialog"});
    EXPECT_EQ(schedule.EntryCount(), kMaxEntries);
    EXPECT_EQ(Rows(table), std::vector<std::string>(kMaxEntries, "08:00:00|00:30:00|08:30:00"));
    EXPECT_EQ(schedule.ScheduleLines().back(), "08:00:00 00:30:00 08:30:00");
    EXPECT_EQ(labels.back(), "现在有31条记录");

    // A blank line between entries is still an (empty) entry.
    LoadBytes("\xEF\xBB\xBF" "08:00:00 00:30:00 08:30:00\n\n09:00:00 00:30:00 09:30:00\n\n");
    EXPECT_EQ(Rows(table),
              (std::vector<std::string>{"08:00:00|00:30:00|08:30:00", "||",
                                        "09:00:00|00:30:00|09:30:00"}));
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

TEST_F(ScheduleFileTest, SortNamesTheLaterRowWhenBothStartsComparedAreNotTimes)
{
    const struct
    {
        const char* bytes;
        const char* named;
    } cases[] = {
        // The first comparison reads row 2's start, then row 1's.
        {"aa:00:00 00:30:00 00:30:00\r\nbb:00:00 00:30:00 00:30:00\r\n", "bb:00:00"},
        {"bb:00:00 00:30:00 00:30:00\r\naa:00:00 00:30:00 00:30:00\r\n", "aa:00:00"},
    };
    for (const auto& c : cases) {
        LoadBytes(c.bytes);
        try {
            schedule.SortEntries();
            ADD_FAILURE() << "no error for " << c.named;
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.what(), "'" + std::string(c.named) + "' is not a valid time");
        }
    }
}

// Files that are not schedule files, and save targets that must not simply be replaced, met as
// an ordinary user would meet them (root would read the unreadable and write the read-only).
// Each case runs in a child that drops to an unprivileged user and makes its files itself; an
// alarm ends a child that blocks, so a load or save that hangs fails instead of hanging.
constexpr unsigned kBlockedSeconds = 60;
constexpr off_t kFourGiB = off_t{4} << 30;
const std::string kEntryLine = "08:00:00 00:30:00 08:30:00\r\n";

std::string EntryLines(int count)
{
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += kEntryLine;
    return bytes;
}

// A 4 GiB file of `head`, a hole and `tail` at its very end: the hole reads as NUL bytes but
// takes no disk.
fs::path MakeSparse(const fs::path& path, const std::string& head, const std::string& tail)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, kFourGiB) != 0 ||
        ::pwrite(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        ::pwrite(fd, tail.data(), tail.size(), kFourGiB - static_cast<off_t>(tail.size())) !=
            static_cast<ssize_t>(tail.size()))
        throw std::runtime_error("cannot make the sparse file " + path.string());
    ::close(fd);
    return path;
}

// The most memory the process has held so far, in KiB.
long PeakMemoryKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(HostileFileTest, LoadRefusesWhatIsNotAScheduleFileWithoutBlockingOrGrowing)
{
    struct Case
    {
        const char* name;
        std::function<fs::path(const fs::path& folder)> make;
        std::string outcome;
    };
    const Case cases[] = {
        {"a named pipe with no writer",
         [](const fs::path& folder) {
             ::mkfifo((folder / "pipe.qlx").c_str(), 0644);
             return folder / "pipe.qlx";
         },
         "Cannot open file; 1 entries in 2 rows"},
        {"a folder", [](const fs::path& folder) { return folder; },
         "Cannot open file; 1 entries in 2 rows"},
        {"a device without end", [](const fs::path&) { return fs::path("/dev/zero"); },
         "Cannot open file; 1 entries in 2 rows"},
        {"an unreadable file",
         [](const fs::path& folder) {
             Write(folder / "secret.qlx", EntryLines(2));
             ::chmod((folder / "secret.qlx").c_str(), 0200);
             return folder / "secret.qlx";
         },
         "Cannot open file; 1 entries in 2 rows"},
        {"a huge file of 32 lines and a hole",
         [](const fs::path& folder) { return MakeSparse(folder / "huge.qlx", EntryLines(32), ""); },
         "message: 文件中的条目超过31条上限，无法调出！; 1 entries in 2 rows"},
        {"a huge file of 2 lines and a hole",
         [](const fs::path& folder) { return MakeSparse(folder / "huge.qlx", EntryLines(2), ""); },
         "loaded; 2 entries in 3 rows"},
        {"a sparse file beginning with a NUL",
         [](const fs::path& folder) {
             return MakeSparse(folder / "sparse.qlx", "", EntryLines(2));
         },
         "loaded; 0 entries in 2 rows"},
    };
    for (const auto& c : cases) {
        const std::string outcome = AsOrdinaryUser([&] {
            ::alarm(kBlockedSeconds);
            TTempFolder folder;
            const fs::path path = c.make(folder.path);
            TStringTable table{3, 2};
            TFakeOperator op;
            TSchedule schedule{table, op};
            TPlainTimeField start("01:00:00"), length("00:10:00"), end;
            schedule.BitBtn1Click(start, length, end);

            const long before = PeakMemoryKiB();
            std::string text;
            try {
                text = schedule.LoadFromFile(path) ? "loaded" : op.events.back();
            } catch (const EFileError& error) {
                text = error.what() == "Cannot open file " + path.string() ? "Cannot open file"
                                                                           : error.what();
            }
            text += "; " + std::to_string(schedule.EntryCount()) + " entries in " +
                    std::to_string(table.RowCount()) + " rows";
            if (const long grown = PeakMemoryKiB() - before; grown > 64 * 1024)
                text += "; memory grew by " + std::to_string(grown / 1024) + " MiB";
            return text;
        });
        EXPECT_EQ(outcome, c.outcome) << c.name;
    }
}

// The folder's files, sorted, each with what matters of it: a link's target, a regular file's
// mode and text.
std::string Describe(const fs::path& folder)
{
    std::vector<std::string> items;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string item = entry.path().lexically_relative(folder).string();
        struct stat info
        {
        };
        ::lstat(entry.path().c_str(), &info);
        if (S_ISLNK(info.st_mode)) {
            item += " -> " + fs::read_symlink(entry.path()).string();
        } else if (S_ISDIR(info.st_mode)) {
            item += "/";
        } else if (S_ISFIFO(info.st_mode)) {
            item += " fifo";
        } else {
            char mode[8];
            std::snprintf(mode, sizeof mode, " %04o ", info.st_mode & 07777);
            item += mode + Read(entry.path());
        }
        items.push_back(item);
    }
    std::sort(items.begin(), items.end());
    std::string text;
    for (const auto& item : items)
        text += "; " + item;
    return text;
}

// What a save to `target` said ("saved" or the error), and the folder afterwards.
std::string SaveAndDescribe(const fs::path& folder, const fs::path& target,
                            const TWriteStep& writeStep = {})
{
    std::string text = FileError([&] { WriteScheduleFile(target, "new lines", writeStep); });
    if (text == "no error") text = "saved";
    if (text == "Cannot create file " + target.string()) text = "Cannot create file";
    return text + Describe(folder);
}

TEST(HostileFileTest, SaveKeepsWhatTheUserExpectsOfTheTarget)
{
    struct Case
    {
        const char* name;
        std::function<fs::path(const fs::path& folder)> prepare; // returns the target
        TWriteStep writeStep;
        std::string outcome;
    };
    const auto oldFile = [](const fs::path& path, fs::perms mode) {
        Write(path, "old lines");
        fs::permissions(path, mode);
        return path;
    };
    const auto closeFolder = [](const fs::path& folder) {
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    };
    const std::string longName(250, 'n');
    const Case cases[] = {
        {"a read-only file",
         [&](const fs::path& folder) { return oldFile(folder / "day.qlx", fs::perms::owner_read); },
         {},
         "Cannot create file; day.qlx 0400 old lines"},
        {"a symbolic link",
         [&](const fs::path& folder) {
             fs::create_directory(folder / "real");
             oldFile(folder / "real/day.qlx", fs::perms(0640));
             fs::create_symlink("real/day.qlx", folder / "link.qlx");
             return folder / "link.qlx";
         },
         {},
         "saved; link.qlx -> real/day.qlx; real/; real/day.qlx 0640 new lines"},
        {"a name of 250 bytes",
         [&](const fs::path& folder) { return folder / longName; },
         {},
         "saved; " + longName + " 0644 new lines"},
        {"a writable file in a read-only folder",
         [&](const fs::path& folder) {
             oldFile(folder / "day.qlx", fs::perms(0640));
             closeFolder(folder);
             return folder / "day.qlx";
         },
         {},
         "saved; day.qlx 0640 new lines"},
        {"the same, writing fails part-way: the lines written so far stay",
         [&](const fs::path& folder) {
             oldFile(folder / "day.qlx", fs::perms(0640));
             closeFolder(folder);
             return folder / "day.qlx";
         },
         FailAfter(4), "Stream write error; day.qlx 0640 new "},
        {"a new file in a read-only folder",
         [&](const fs::path& folder) {
             closeFolder(folder);
             return folder / "day.qlx";
         },
         {},
         "Cannot create file"},
        {"a named pipe",
         [](const fs::path& folder) {
             ::mkfifo((folder / "pipe.qlx").c_str(), 0644);
             return folder / "pipe.qlx";
         },
         {},
         "Cannot create file; pipe.qlx fifo"},
        {"a device",
         [](const fs::path&) { return fs::path("/dev/null"); },
         {},
         "Cannot create file"},
    };
    for (const auto& c : cases) {
        const std::string outcome = AsOrdinaryUser([&] {
            ::alarm(kBlockedSeconds);
            ::umask(022);
            TTempFolder folder;
            return SaveAndDescribe(folder.path, c.prepare(folder.path), c.writeStep);
        });
        EXPECT_EQ(outcome, c.outcome) << c.name;
    }
}

// A file another user lets everybody write, in a folder everybody may write: only root can
// make one, so this runs where the tests run as root (CI does).
TEST(HostileFileTest, SaveOfAnotherUsersWritableFileInASharedFolder)
{
    if (::geteuid() != 0) GTEST_SKIP() << "only root can make a file of another user";
    struct Case
    {
        const char* name;
        fs::perms folderMode;
        std::string outcome;
    };
    const Case cases[] = {
        // Replaced: the saving user may not give the file back to its owner, so it becomes
        // theirs; the mode stays.
        {"an open folder", fs::perms(0777), "saved; day.qlx 0666 new lines; owner 65534"},
        // A sticky folder forbids replacing another user's file: written in place, whose owner
        // it keeps.
        {"a sticky folder", fs::perms(01777), "saved; day.qlx 0666 new lines; owner 0"},
    };
    for (const auto& c : cases) {
        TTempFolder shared;
        fs::permissions(shared.path, c.folderMode);
        const fs::path target = shared.path / "day.qlx";
        Write(target, "old lines");
        fs::permissions(target, fs::perms(0666));
        const std::string outcome = AsOrdinaryUser([&] {
            ::alarm(kBlockedSeconds);
            std::string text = SaveAndDescribe(shared.path, target);
            struct stat info
            {
            };
            ::stat(target.c_str(), &info);
            return text + "; owner " + std::to_string(info.st_uid);
        });
        EXPECT_EQ(outcome, c.outcome) << c.name;
    }
}

} // namespace
} // namespace movarth
