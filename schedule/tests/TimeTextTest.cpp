#include "schedule/TimeText.h"

#include "FakeOperator.h"

#include <gtest/gtest.h>

namespace movarth {
namespace {

using test::TFakeOperator;

const std::string kStartBad = "message: 开播时间输入条目有错误，请检查！";
const std::string kLengthBad = "message: 节目长度输入条目有错误，请检查！";
const std::string kEndBad = "message: 结束时间输入条目有错误，请检查！";
const std::string kAllEqual = "message: 输入条目有错误，三个时间信息不可以相同！";
const std::string kMismatch = "message: 您输入的三项数据不匹配，请检查！";
const std::string kQ1 = "confirm: 您确定将输入的“00:00:00”作为开播时间么？";
const std::string kQ2 =
    "confirm: 您输入的三组数据不匹配，开播时间已确定为00:00:00，后面要按照节目长度来加入么？";

std::string ConvertMessage(auto&& action)
{
    try {
        action();
    } catch (const EConvertError& error) {
        return error.what();
    }
    return "no error";
}

TEST(TimeTextTest, GroupsAreReadByPositionAsTwoDecimalDigits)
{
    EXPECT_EQ(TimeGroup("08:07:59", 1), 8);
    EXPECT_EQ(TimeGroup("08:07:59", 4), 7);
    EXPECT_EQ(TimeGroup("08:07:59", 7), 59);
    EXPECT_EQ(TimeGroup("99:99:99", 4), 99);
    // Positions only: the separators are not looked at.
    EXPECT_EQ(TimeTextToSeconds("01,02,03"), 3723);
}

TEST(TimeTextTest, GroupThatIsNotADecimalNumberIsAConversionError)
{
    struct Case
    {
        std::string text;
        int position;
        std::string message;
    };
    const Case cases[] = {
        {"1_:00:00", 1, "'1_' is not a valid integer value"},
        {"12:_5:00", 4, "'_5' is not a valid integer value"},
        {"12:00: 5", 7, "' 5' is not a valid integer value"},
        {"12:5 :00", 4, "'5 ' is not a valid integer value"},
        {"12:+5:00", 4, "'+5' is not a valid integer value"},
        {"12:-5:00", 4, "'-5' is not a valid integer value"},
        {"12:00:0", 7, "'0' is not a valid integer value"},
        {"", 1, "'' is not a valid integer value"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConvertMessage([&] { TimeGroup(c.text, c.position); }), c.message) << c.text;
}

TEST(TimeTextTest, TextAndSecondsConvertBothWays)
{
    const std::pair<std::string, int> cases[] = {
        {"00:00:00", 0}, {"05:07:09", 18429}, {"23:59:59", 86399}, {"12:00:00", 43200}};
    for (const auto& [text, seconds] : cases) {
        EXPECT_EQ(TimeTextToSeconds(text), seconds);
        EXPECT_EQ(SecondsToTimeText(seconds), text);
    }
    EXPECT_EQ(SecondsToTimeText(86400), "00:00:00");
    EXPECT_EQ(SecondsToTimeText(-3600), "23:00:00");
}

TEST(TimeTextTest, DerivationsWrapAroundMidnight)
{
    const int h = 3600;
    EXPECT_EQ(EndFromStartLength(23 * h, 2 * h), 1 * h);
    EXPECT_EQ(EndFromStartLength(22 * h, 2 * h), 0);
    EXPECT_EQ(LengthFromStartEnd(22 * h, 1 * h), 3 * h);
    EXPECT_EQ(LengthFromStartEnd(8 * h, 0), 16 * h); // an end of midnight
    EXPECT_EQ(LengthFromStartEnd(10 * h, 10 * h), 0);
    EXPECT_EQ(StartFromEndLength(2 * h, 3 * h), 23 * h);
    EXPECT_EQ(StartFromEndLength(5 * h, 1 * h), 4 * h);
    EXPECT_EQ(StartFromEndLength(0, 1 * h), 23 * h);
}

TEST(TimeTextTest, CellTimeAcceptsOnlyACompleteTimeOfDay)
{
    EXPECT_EQ(CellTimeToSeconds("23:59:59"), 86399);
    for (const std::string bad : {"24:00:00", "12:60:00", "12:00:60", "ab:cd:ef", " 8:00:00",
                                  "08:00", "08:00:000", "08-00-00", ""})
        EXPECT_EQ(ConvertMessage([&] { CellTimeToSeconds(bad); }),
                  "'" + bad + "' is not a valid time");
}

TEST(TimeTextTest, NormalizeTurnsOnlyALeadingBlankIntoZero)
{
    const std::pair<std::string, std::string> cases[] = {
        {" 5:07:09", "05:07:09"}, {"15:07:09", "15:07:09"}, {"1 :07:09", "1 :07:09"}};
    for (const auto& [before, after] : cases) {
        TPlainTimeField field(before);
        NormalizeTimeText(field);
        EXPECT_EQ(field.Text(), after);
    }
}

TEST(TimeTextTest, CheckReportsTheFirstFieldOutOfRange)
{
    struct Case
    {
        std::string start, length, end;
        TEntryField expected;
    };
    const Case cases[] = {
        {"23:59:59", "23:59:59", "23:59:59", TEntryField::efNone},
        {"24:00:00", "00:00:00", "00:00:00", TEntryField::efStart},
        {"12:60:00", "00:00:00", "00:00:00", TEntryField::efStart},
        {"12:00:60", "00:00:00", "00:00:00", TEntryField::efStart},
        {"00:00:00", "24:00:00", "00:00:00", TEntryField::efLength},
        {"00:00:00", "00:00:00", "00:99:00", TEntryField::efEnd},
        {"25:00:00", "00:00:00", "25:00:00", TEntryField::efStart},
        // The check stops at the first group out of range: later groups are not converted.
        {"24:__:00", "__:00:00", "00:00:00", TEntryField::efStart},
    };
    for (const auto& c : cases) {
        TPlainTimeField start(c.start), length(c.length), end(c.end);
        EXPECT_EQ(CheckEntryFields(start, length, end), c.expected) << c.start << c.length << c.end;
    }
}

struct CompleteCase
{
    const char* name;
    std::string start, length, end;
    std::deque<bool> answers;
    bool accepted;
    std::vector<std::string> events;
    std::string startAfter, lengthAfter, endAfter;
};

void PrintTo(const CompleteCase& c, std::ostream* os)
{
    *os << c.name;
}

class CompleteEntryTest : public testing::TestWithParam<CompleteCase>
{
};

TEST_P(CompleteEntryTest, FillsTheMissingValueOrRefusesWithItsMessage)
{
    const CompleteCase& c = GetParam();
    TPlainTimeField start(c.start), length(c.length), end(c.end);
    TFakeOperator op;
    op.answers = c.answers;

    EXPECT_EQ(CompleteEntry(start, length, end, op), c.accepted);
    EXPECT_EQ(op.events, c.events);
    EXPECT_TRUE(op.answers.empty()) << "a scripted answer was not asked for";
    EXPECT_EQ(start.Text(), c.startAfter);
    EXPECT_EQ(length.Text(), c.lengthAfter);
    EXPECT_EQ(end.Text(), c.endAfter);
}

const std::string Z = "00:00:00";

INSTANTIATE_TEST_SUITE_P(
    Cases, CompleteEntryTest,
    testing::Values(
        // Normalisation happens first and stays, also when the entry is refused.
        CompleteCase{"LeadingBlankBecomesZero",
                     " 5:00:00",
                     "01:00:00",
                     Z,
                     {},
                     true,
                     {},
                     "05:00:00",
                     "01:00:00",
                     "06:00:00"},
        CompleteCase{"NormalisedTextKeptOnRefusal",
                     " 5:00:00",
                     " 1:00:00",
                     "24:00:00",
                     {},
                     false,
                     {kEndBad},
                     "05:00:00",
                     "01:00:00",
                     "24:00:00"},
        CompleteCase{"StartOutOfRange",
                     "24:00:00",
                     "01:00:00",
                     Z,
                     {},
                     false,
                     {kStartBad},
                     "24:00:00",
                     "01:00:00",
                     Z},
        CompleteCase{"LengthOfADayIsOutOfRange",
                     "01:00:00",
                     "24:00:00",
                     Z,
                     {},
                     false,
                     {kLengthBad},
                     "01:00:00",
                     "24:00:00",
                     Z},
        CompleteCase{"OnlyTheStartReportedWhenStartAndEndAreBad",
                     "12:60:00",
                     "01:00:00",
                     "12:00:60",
                     {},
                     false,
                     {kStartBad},
                     "12:60:00",
                     "01:00:00",
                     "12:00:60"},
        CompleteCase{"AllZeroIsRefusedWithoutAQuestion", Z, Z, Z, {}, false, {kAllEqual}, Z, Z, Z},
        CompleteCase{"AllEqualIsRefused",
                     "01:00:00",
                     "01:00:00",
                     "01:00:00",
                     {},
                     false,
                     {kAllEqual},
                     "01:00:00",
                     "01:00:00",
                     "01:00:00"},
        CompleteCase{"EndAtMidnightGivesTheLength",
                     "08:00:00",
                     Z,
                     Z,
                     {},
                     true,
                     {},
                     "08:00:00",
                     "16:00:00",
                     Z},
        CompleteCase{"EndPastMidnight",
                     "23:00:00",
                     "02:00:00",
                     Z,
                     {},
                     true,
                     {},
                     "23:00:00",
                     "02:00:00",
                     "01:00:00"},
        CompleteCase{"LengthPastMidnight",
                     "23:00:00",
                     Z,
                     "01:00:00",
                     {},
                     true,
                     {},
                     "23:00:00",
                     "02:00:00",
                     "01:00:00"},
        CompleteCase{"LengthWithinTheDay",
                     "01:00:00",
                     Z,
                     "02:00:00",
                     {},
                     true,
                     {},
                     "01:00:00",
                     "01:00:00",
                     "02:00:00"},
        CompleteCase{
            "ZeroLengthEntry", "10:00:00", Z, "10:00:00", {}, true, {}, "10:00:00", Z, "10:00:00"},
        CompleteCase{"FullEntryThatAgrees",
                     "01:00:00",
                     "02:00:00",
                     "03:00:00",
                     {},
                     true,
                     {},
                     "01:00:00",
                     "02:00:00",
                     "03:00:00"},
        CompleteCase{"FullEntryMustAgreeWithoutWrapping",
                     "23:00:00",
                     "02:00:00",
                     "01:00:00",
                     {},
                     false,
                     {kMismatch},
                     "23:00:00",
                     "02:00:00",
                     "01:00:00"},
        CompleteCase{"Q1NoComputesStartAcrossMidnight",
                     Z,
                     "01:30:00",
                     "00:30:00",
                     {false},
                     true,
                     {kQ1},
                     "23:00:00",
                     "01:30:00",
                     "00:30:00"},
        CompleteCase{"Q1NoComputesStart",
                     Z,
                     "02:00:00",
                     "03:00:00",
                     {false},
                     true,
                     {kQ1},
                     "01:00:00",
                     "02:00:00",
                     "03:00:00"},
        CompleteCase{"Q1NoWithZeroLengthStartsAtTheEnd",
                     Z,
                     Z,
                     "05:00:00",
                     {false},
                     true,
                     {kQ1},
                     "05:00:00",
                     Z,
                     "05:00:00"},
        CompleteCase{"Q1NoWithEndAtMidnight",
                     Z,
                     "01:00:00",
                     Z,
                     {false},
                     true,
                     {kQ1},
                     "23:00:00",
                     "01:00:00",
                     Z},
        CompleteCase{"Q1YesZeroLengthTakesTheEnd",
                     Z,
                     Z,
                     "05:00:00",
                     {true},
                     true,
                     {kQ1},
                     Z,
                     "05:00:00",
                     "05:00:00"},
        CompleteCase{"Q1YesZeroEndTakesTheLength",
                     Z,
                     "04:00:00",
                     Z,
                     {true},
                     true,
                     {kQ1},
                     Z,
                     "04:00:00",
                     "04:00:00"},
        CompleteCase{"Q1YesAgreeingNeedsNoQ2",
                     Z,
                     "01:00:00",
                     "01:00:00",
                     {true},
                     true,
                     {kQ1},
                     Z,
                     "01:00:00",
                     "01:00:00"},
        CompleteCase{"Q2YesKeepsTheLength",
                     Z,
                     "01:00:00",
                     "02:00:00",
                     {true, true},
                     true,
                     {kQ1, kQ2},
                     Z,
                     "01:00:00",
                     "01:00:00"},
        CompleteCase{"Q2NoKeepsTheEnd",
                     Z,
                     "01:00:00",
                     "02:00:00",
                     {true, false},
                     true,
                     {kQ1, kQ2},
                     Z,
                     "02:00:00",
                     "02:00:00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CompleteEntryConversionTest, BlankRequiredDigitStopsWithTheConversionError)
{
    TPlainTimeField start("08:_0:00"), length("01:00:00"), end(Z);
    TFakeOperator op;
    EXPECT_EQ(ConvertMessage([&] { CompleteEntry(start, length, end, op); }),
              "'_0' is not a valid integer value");
    EXPECT_TRUE(op.events.empty());
    EXPECT_EQ(end.Text(), Z);
}

} // namespace
} // namespace movarth
