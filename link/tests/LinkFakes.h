#pragma once

#include "comm/SerialComm.h"
#include "link/LinkInterfaces.h"
#include "schedule/Operator.h"
#include "schedule/StringTable.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace movarth::test {

using TBytes = std::vector<std::uint8_t>;

// A port whose reads return what the test queued; it records every write.
class TScriptedPort final : public TLinkPort
{
public:
    bool IsOpen() const override { return open; }
    int Write(const std::uint8_t* buffer, int count) override
    {
        if (failWrite) throw ECommError("Write error", 5);
        writes.emplace_back(buffer, buffer + count);
        return count;
    }
    int Read(std::uint8_t* buffer, int count) override
    {
        readCounts.push_back(count);
        if (failRead) throw ECommError("Read error", 5);
        if (readTimesOut) return -1;
        const int n = std::min<int>(count, static_cast<int>(pending.size()));
        std::copy_n(pending.begin(), n, buffer);
        pending.erase(pending.begin(), pending.begin() + n);
        return n;
    }

    bool open = true;
    bool failWrite = false;
    bool failRead = false;
    bool readTimesOut = false; // a read gives -1, as when its wait timed out
    TBytes pending;
    std::vector<TBytes> writes;
    std::vector<int> readCounts;
};

class TFakeSwitch final : public TLinkSwitch
{
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    bool enabled = false;
};

class TRecordingStatus final : public TLinkStatus
{
public:
    void SetCaption(const std::string& text) override { captions.push_back(text); }
    std::string Caption() const { return captions.empty() ? std::string() : captions.back(); }
    std::vector<std::string> captions;
};

class TRecordingGauge final : public TLinkGauge
{
public:
    void SetMaxValue(int value) override { maxValues.push_back(value); }
    void SetProgress(int value) override { progress.push_back(value); }
    std::vector<int> maxValues;
    std::vector<int> progress;
};

// Records the messages; the download asks no questions.
class TMessageOperator final : public TOperator
{
public:
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool Confirm(const std::string&) override { return false; }
    bool AskInformation(const std::string&) override { return false; }
    void Inform(const std::string&) override {}
    std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
    std::optional<std::string> ChooseOpenFile() override { return std::nullopt; }
    std::vector<std::string> messages;
};

// A schedule table of `count` entries laid out as the schedule operations leave it (a header
// row, three columns): row k starts at k:k:k (hours modulo 24) and lasts 00:k:30.
inline void FillTable(TStringTable& table, int count)
{
    table.SetColCount(3);
    table.SetRowCount(count + 1);
    for (int row = 1; row <= count; ++row) {
        const int hours = row % 24;
        const int minutes = row % 60;
        auto two = [](int value) {
            return std::string{static_cast<char>('0' + value / 10),
                               static_cast<char>('0' + value % 10)};
        };
        table.SetCell(0, row, two(hours) + ":" + two(minutes) + ":" + two(row % 60));
        table.SetCell(1, row, "00:" + two(minutes) + ":30");
        table.SetCell(2, row, "--:--:--");
    }
}

} // namespace movarth::test
