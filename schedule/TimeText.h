#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace movarth {

class TOperator;

inline constexpr int kSecondsPerDay = 86400;
// The initial text of every time field; in CompleteEntry it means "not given".
inline constexpr const char* kZeroTimeText = "00:00:00";

// Number or time conversion failure; what() is the text the general error handler shows.
class EConvertError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One of the three "hh:mm:ss" input fields. The window implements it with its masked field
// (an omitted first hour digit reads as a leading blank); tests use TPlainTimeField.
class TTimeField
{
public:
    virtual ~TTimeField() = default;
    virtual std::string Text() const = 0;
    virtual void SetText(const std::string& text) = 0;
};

class TPlainTimeField : public TTimeField
{
public:
    explicit TPlainTimeField(std::string text = kZeroTimeText) : text_(std::move(text)) {}
    std::string Text() const override { return text_; }
    void SetText(const std::string& text) override { text_ = text; }

private:
    std::string text_;
};

// The two-character group of `text` starting at character `position` (counted from 1: 1 hours,
// 4 minutes, 7 seconds) as a decimal number. Throws EConvertError
// "'%s' is not a valid integer value" unless both characters are decimal digits.
int TimeGroup(const std::string& text, int position);

// hours * 3600 + minutes * 60 + seconds of a time text, read by position; groups are not
// range-checked here (see CheckEntryFields). Throws EConvertError like TimeGroup.
int TimeTextToSeconds(const std::string& text);

// "hh:mm:ss" with two digits per group for 0 <= seconds < 86400 (other values are first
// reduced modulo 86400).
std::string SecondsToTimeText(int seconds);

// Whether a text is exactly "hh:mm:ss" with digits, hours 0-23, minutes and seconds 0-59.
bool IsTimeText(const std::string& text);

// A cell text read as a time of day for sorting: a time text as IsTimeText says. Throws
// EConvertError "'%s' is not a valid time" otherwise.
int CellTimeToSeconds(const std::string& text);

// The derivations, reduced modulo 86400 into 0..86399.
int EndFromStartLength(int start, int length);
int LengthFromStartEnd(int start, int end);
int StartFromEndLength(int end, int length);

// A leading blank (omitted first hour digit) becomes "0"; any other text is left alone.
void NormalizeTimeText(TTimeField& field);

enum class TEntryField
{
    efNone,
    efStart,
    efLength,
    efEnd
};

// The first field (start, length, end; within a field hours, minutes, seconds) whose group is
// out of range (hours > 23, minutes or seconds > 59), or efNone. Throws EConvertError for a
// group that is not a decimal number, in the same reading order.
TEntryField CheckEntryFields(const TTimeField& start, const TTimeField& length,
                             const TTimeField& end);

// The range-check message of a field ("开播时间输入条目有错误，请检查！" etc.); empty for efNone.
std::string EntryFieldMessage(TEntryField field);

// The add operation's completion of an entry: normalises, checks, applies the equality rule,
// works out the missing value (asking Q1/Q2 through `op`) and writes it into its field.
// True when the three fields now hold a complete entry; false after a message was shown.
// The fields keep whatever was written into them either way.
bool CompleteEntry(TTimeField& start, TTimeField& length, TTimeField& end, TOperator& op);

} // namespace movarth
