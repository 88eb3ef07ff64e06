// The time texts and the add operation's entry completion. Input, read from the front:
// 18 bytes, the six digit characters of each of the start, length and end fields (the ':' of
// a time field are fixed); one byte whose bits 0 and 1 answer questions Q1 and Q2; four bytes of
// a number of seconds; the rest, a text of any length for the conversions. Missing bytes read
// as '0'.
//
// Properties: a conversion either fails with EConvertError or gives a value in range that
// reads back; CompleteEntry either accepts with start + length = end modulo a day (all three
// valid time texts, no message), refuses with exactly one message and no question (the fields
// as normalised), or stops at a group that is not a number before any message or question.
#include "fuzz/FuzzSupport.h"
#include "schedule/TimeText.h"

#include <cstdint>
#include <cstring>
#include <string>

using movarth::fuzz::Check;
using movarth::fuzz::TInputOperator;

namespace movarth {
namespace {

class TInput
{
public:
    TInput(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size)
    {
    }
    std::string Take(std::size_t count)
    {
        std::string taken(text_.substr(0, count));
        text_.remove_prefix(taken.size());
        return taken + std::string(count - taken.size(), '0');
    }
    std::string Rest() const { return std::string(text_); }

private:
    std::string_view text_;
};

// A time field's text: the six characters around the fixed ':'.
std::string FieldText(TInput& input)
{
    const std::string digits = input.Take(6);
    return digits.substr(0, 2) + ":" + digits.substr(2, 2) + ":" + digits.substr(4, 2);
}

void CheckConversions(const std::string& text, int seconds)
{
    try {
        const int value = TimeTextToSeconds(text);
        Check(value >= 0 && value <= 99 * 3600 + 99 * 60 + 99, "a text reads as 0 to 99:99:99");
    } catch (const EConvertError&) {
    }
    try {
        const int value = CellTimeToSeconds(text);
        Check(value >= 0 && value < kSecondsPerDay && SecondsToTimeText(value) == text,
              "a cell time is a time of day that reads back");
    } catch (const EConvertError&) {
    }
    const std::string time = SecondsToTimeText(seconds);
    Check(CellTimeToSeconds(time) == ((seconds % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay,
          "a number of seconds gives its time of day");
    TPlainTimeField field(text);
    NormalizeTimeText(field);
    Check(field.Text().empty() || field.Text()[0] != ' ', "normalising leaves no leading blank");
}

std::string Normalised(const std::string& text)
{
    TPlainTimeField field(text);
    NormalizeTimeText(field);
    return field.Text();
}

} // namespace
} // namespace movarth

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace movarth;
    TInput input(data, size);
    const std::string texts[3] = {FieldText(input), FieldText(input), FieldText(input)};
    const unsigned answers = static_cast<unsigned char>(input.Take(1)[0]);
    std::int32_t seconds;
    std::memcpy(&seconds, input.Take(4).data(), sizeof seconds);
    CheckConversions(input.Rest(), seconds);

    TPlainTimeField start(texts[0]), length(texts[1]), end(texts[2]);
    unsigned question = 0;
    TInputOperator op([&] { return (answers >> question++ & 1) != 0; });
    bool accepted = false;
    try {
        accepted = CompleteEntry(start, length, end, op);
    } catch (const EConvertError&) {
        Check(op.messages.empty() && op.questions.empty(),
              "a group that is not a number stops before any message or question");
        return 0;
    }
    Check(op.questions.size() <= 2, "at most Q1 and Q2 are asked");
    if (!accepted) {
        Check(op.messages.size() == 1 && op.questions.empty(),
              "a refusal shows one message and asks nothing");
        Check(start.Text() == Normalised(texts[0]) && length.Text() == Normalised(texts[1]) &&
                  end.Text() == Normalised(texts[2]),
              "a refusal leaves the fields as normalised");
        return 0;
    }
    Check(op.messages.empty(), "an accepted entry shows no message");
    try {
        const int s = CellTimeToSeconds(start.Text());
        const int l = CellTimeToSeconds(length.Text());
        const int e = CellTimeToSeconds(end.Text());
        Check((s + l) % kSecondsPerDay == e, "start + length = end modulo a day");
    } catch (const EConvertError&) {
        Check(false, "an accepted entry holds three valid time texts");
    }
    return 0;
}
