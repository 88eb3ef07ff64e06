#include "app/TimeField.h"

#include <QTest>
#include <gtest/gtest.h>

namespace movarth {
namespace {

struct TTypingCase
{
    const char* name;
    const char* keys; // typed from the start of a field holding "00:00:00"
    const char* text; // the field's text afterwards
    const char* shown;
};

void PrintTo(const TTypingCase& c, std::ostream* os)
{
    *os << c.name;
}

class TimeFieldTyping : public testing::TestWithParam<TTypingCase>
{
};

TEST_P(TimeFieldTyping, YieldsTheEightCharacterText)
{
    TMaskTimeField field;
    field.setCursorPosition(0);
    QTest::keyClicks(&field, QString::fromUtf8(GetParam().keys));
    EXPECT_EQ(field.Text(), GetParam().text);
    EXPECT_EQ(field.text().toStdString(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, TimeFieldTyping,
    testing::Values(TTypingCase{"AllDigits", "230509", "23:05:09", "23:05:09"},
                    TTypingCase{"ColonsTypedOverTheFixedOnes", "23:05:09", "23:05:09", "23:05:09"},
                    TTypingCase{"SingleHourDigitThenColon", "5:07:09", " 5:07:09", "_5:07:09"},
                    TTypingCase{"LeadingBlank", " 50709", " 5:07:09", "_5:07:09"},
                    TTypingCase{"LettersAreIgnored", "1a2b3c4d5e6f", "12:34:56", "12:34:56"},
                    TTypingCase{"BlankOnlyInTheFirstPlace", "1 2", "12:00:00", "12:00:00"},
                    TTypingCase{"NothingPastTheEnd", "1234567890", "12:34:56", "12:34:56"},
                    TTypingCase{"PartlyTyped", "07", "07:00:00", "07:00:00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TimeField, StartsAtMidnight)
{
    TMaskTimeField field;
    EXPECT_EQ(field.Text(), "00:00:00");
    EXPECT_EQ(field.maxLength(), 8);
}

TEST(TimeField, BackspaceAndDeleteUnfillButKeepTheColons)
{
    TMaskTimeField field;
    field.SetText("12:34:56");
    field.setCursorPosition(8);
    QTest::keyClick(&field, Qt::Key_Backspace);
    QTest::keyClick(&field, Qt::Key_Backspace);
    QTest::keyClick(&field, Qt::Key_Backspace); // steps over the colon to the 4
    EXPECT_EQ(field.Text(), "12:3 :  ");
    EXPECT_EQ(field.text().toStdString(), "12:3_:__");
    field.setCursorPosition(0);
    QTest::keyClick(&field, Qt::Key_Delete);
    EXPECT_EQ(field.Text(), " 2:3 :  ");
}

TEST(TimeField, TypingReplacesASelection)
{
    TMaskTimeField field;
    field.SetText("12:34:56");
    field.selectAll();
    QTest::keyClicks(&field, "08");
    EXPECT_EQ(field.Text(), "08:  :  ");
}

TEST(TimeField, SetTextKeepsDigitsAndColonsOnly)
{
    TMaskTimeField field;
    field.SetText("1x:2");
    EXPECT_EQ(field.Text(), "1 :2 :  ");
    field.SetText("");
    EXPECT_EQ(field.Text(), "  :  :  ");
    field.SetText("23:59:59 and more");
    EXPECT_EQ(field.Text(), "23:59:59");
}

} // namespace
} // namespace movarth
