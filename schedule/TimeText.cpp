#include "TimeText.h"

#include "Operator.h"

namespace movarth {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int Modulo(int value)
{
    return ((value % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
}

bool IsZero(const TTimeField& field)
{
    return field.Text() == kZeroTimeText;
}

void SetSeconds(TTimeField& field, int seconds)
{
    field.SetText(SecondsToTimeText(seconds));
}

} // namespace

int TimeGroup(const std::string& text, int position)
{
    // A group is a number only when both characters are decimal digits. A looser reading
    // (signs, blanks, hexadecimal prefixes) would let "-1" or " 5" past the range check into
    // the table, where the download reads the characters as digits. A leading blank of the
    // hour group never gets here: NormalizeTimeText has turned it into "0".
    const auto start = static_cast<std::size_t>(position - 1);
    const std::string group = start < text.size() ? text.substr(start, 2) : std::string();
    if (group.size() != 2 || !IsDigit(group[0]) || !IsDigit(group[1]))
        throw EConvertError("'" + group + "' is not a valid integer value");
    return (group[0] - '0') * 10 + (group[1] - '0');
}

int TimeTextToSeconds(const std::string& text)
{
    return TimeGroup(text, 1) * 3600 + TimeGroup(text, 4) * 60 + TimeGroup(text, 7);
}

std::string SecondsToTimeText(int seconds)
{
    seconds = Modulo(seconds);
    std::string text = "00:00:00";
    const auto put = [&text](std::size_t at, int value) {
        text[at] = static_cast<char>('0' + value / 10);
        text[at + 1] = static_cast<char>('0' + value % 10);
    };
    put(0, seconds / 3600);
    put(3, seconds % 3600 / 60);
    put(6, seconds % 60);
    return text;
}

bool IsTimeText(const std::string& text)
{
    const bool shaped = text.size() == 8 && text[2] == ':' && text[5] == ':' && IsDigit(text[0]) &&
                        IsDigit(text[1]) && IsDigit(text[3]) && IsDigit(text[4]) &&
                        IsDigit(text[6]) && IsDigit(text[7]);
    return shaped && TimeGroup(text, 1) <= 23 && TimeGroup(text, 4) <= 59 &&
           TimeGroup(text, 7) <= 59;
}

int CellTimeToSeconds(const std::string& text)
{
    if (!IsTimeText(text)) throw EConvertError("'" + text + "' is not a valid time");
    return TimeTextToSeconds(text);
}

int EndFromStartLength(int start, int length)
{
    return Modulo(start + length);
}
int LengthFromStartEnd(int start, int end)
{
    return Modulo(end - start);
}
int StartFromEndLength(int end, int length)
{
    return Modulo(end - length);
}

void NormalizeTimeText(TTimeField& field)
{
    const std::string text = field.Text();
    if (!text.empty() && text[0] == ' ') field.SetText("0" + text.substr(1, 7));
}

TEntryField CheckEntryFields(const TTimeField& start, const TTimeField& length,
                             const TTimeField& end)
{
    // Groups are read one after the other and the check stops at the first one out of range,
    // so a later group is only converted when everything before it was in range.
    const auto inRange = [](const std::string& text) {
        return TimeGroup(text, 1) <= 23 && TimeGroup(text, 4) <= 59 && TimeGroup(text, 7) <= 59;
    };
    if (!inRange(start.Text())) return TEntryField::efStart;
    if (!inRange(length.Text())) return TEntryField::efLength;
    if (!inRange(end.Text())) return TEntryField::efEnd;
    return TEntryField::efNone;
}

std::string EntryFieldMessage(TEntryField field)
{
    switch (field) {
    case TEntryField::efStart:
        return "开播时间输入条目有错误，请检查！";
    case TEntryField::efLength:
        return "节目长度输入条目有错误，请检查！";
    case TEntryField::efEnd:
        return "结束时间输入条目有错误，请检查！";
    case TEntryField::efNone:
        break;
    }
    return {};
}

bool CompleteEntry(TTimeField& start, TTimeField& length, TTimeField& end, TOperator& op)
{
    NormalizeTimeText(start);
    NormalizeTimeText(length);
    NormalizeTimeText(end);

    if (const TEntryField bad = CheckEntryFields(start, length, end); bad != TEntryField::efNone) {
        op.ShowMessage(EntryFieldMessage(bad));
        return false;
    }

    const int s = TimeTextToSeconds(start.Text());
    const int l = TimeTextToSeconds(length.Text());
    const int e = TimeTextToSeconds(end.Text());
    if (s == l && l == e) {
        op.ShowMessage("输入条目有错误，三个时间信息不可以相同！");
        return false;
    }

    if (!IsZero(start)) {
        if (!IsZero(length)) {
            if (!IsZero(end)) {
                // All three typed in: they must agree exactly, without wrapping at midnight.
                if (s + l != e) {
                    op.ShowMessage("您输入的三项数据不匹配，请检查！");
                    return false;
                }
            } else {
                SetSeconds(end, EndFromStartLength(s, l));
            }
        } else {
            SetSeconds(length, LengthFromStartEnd(s, e));
        }
        return true;
    }

    if (op.Confirm("您确定将输入的“00:00:00”作为开播时间么？")) {
        // The start is midnight; the equality rule has ruled out length and end both zero.
        if (IsZero(length))
            SetSeconds(length, e);
        else if (IsZero(end))
            SetSeconds(end, l);
        else if (l != e) {
            if (op.Confirm("您输入的三组数据不匹配，开播时间已确定为00:00:"
                           "00，后面要按照节目长度来加入么？"))
                SetSeconds(end, l);
            else
                SetSeconds(length, e);
        }
    } else {
        SetSeconds(start, StartFromEndLength(e, l));
    }
    return true;
}

} // namespace movarth
