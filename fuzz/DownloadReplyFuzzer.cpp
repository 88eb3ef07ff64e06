// The download's reply path: a scripted port fed any byte stream in any chunking, interleaved
// with ticks of both timed items, port failures and send commands. Input, read from the front:
// one byte for the entry count (1 + byte mod 31), then steps, each a byte:
//   0x00-0x7F  ticks: (byte & 0x0F) + 1 steps; in each, item 1 then item 2 (bit 0x10: item 2
//              first) tick when enabled; bit 0x20: item 1 only, bit 0x40: item 2 only
//   0x80-0xBF  (byte & 0x3F) bytes follow and arrive; then a received-character event reports
//              every byte waiting
//   0xC0-0xDF  (byte & 0x1F) bytes follow and arrive without an event of their own
//   0xE0-0xEF  the port from now on: bit 0 writes fail, bit 1 reads fail, bit 2 reads time out
//   0xF0-0xFF  the send command
// After the steps the line is silent and the items tick on.
//
// Properties, besides no crash and no access out of bounds: no read asks for more than the
// 128-byte reply buffer; every write is the handshake byte or a frame of the table or the
// confirmation frame; the counters stay in range; no more than 101 ticks pass without an
// acknowledgement while a download runs; and once the line is silent the download ends within
// its budget, DownloadBusy false.
#include "fuzz/FuzzSupport.h"
#include "link/Download.h"
#include "link/tests/LinkFakes.h"
#include "schedule/StringTable.h"

#include <algorithm>
#include <cstdint>

using movarth::fuzz::Check;
using movarth::fuzz::TInputOperator;

namespace movarth {
namespace {

class TReplyRun
{
public:
    explicit TReplyRun(int entries) : entries_(entries)
    {
        test::FillTable(table_, entries);
        for (int k = 1; k <= entries; ++k)
            frames_.push_back(BuildEntryFrame(table_.Cell(0, k), table_.Cell(1, k)));
        frames_.push_back(kConfirmationFrame);
        download_.SetErrorReport([](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const ECommError&) {
            } catch (...) {
                Check(false, "only the port's failures reach the error report");
            }
        });
    }

    bool Busy() const { return download_.DownloadBusy(); }

    void Ticks(unsigned step)
    {
        const int first = step & 0x10 ? 2 : 1;
        for (unsigned i = 0; i <= (step & 0x0F); ++i)
            for (const int item : {first, 3 - first})
                if ((step & (item == 1 ? 0x40 : 0x20)) == 0) Tick(item);
    }
    void Arrive(std::string_view bytes, bool event)
    {
        port_.pending.insert(port_.pending.end(), bytes.begin(), bytes.end());
        if (event) download_.Comm1RxChar(static_cast<std::int32_t>(port_.pending.size()));
        CheckState();
    }
    void SetPortFaults(unsigned faults)
    {
        port_.failWrite = faults & 1;
        port_.failRead = faults & 2;
        port_.readTimesOut = faults & 4;
    }
    void Send()
    {
        download_.BitBtn4Click();
        CheckState();
    }
    // The line falls silent: the download must end within its wait budget.
    void Silence()
    {
        port_.pending.clear();
        for (int i = 0; i < kMaxWaitTicks + 1 && Busy(); ++i)
            Ticks(0);
        Check(!Busy(), "a silent line ends the download; DownloadBusy is false");
    }

private:
    void Tick(int item)
    {
        if (!(item == 1 ? item1_ : item2_).Enabled()) return; // a disabled item delivers no tick
        if (item == 1)
            download_.ZelMultiThreader1Threads1Timer();
        else
            download_.ZelMultiThreader1Threads2Timer();
        ++ticksWithoutAck_;
        CheckState();
    }

    void CheckState()
    {
        Check(download_.LinkState() >= 0 && download_.LinkState() <= 2, "LinkState is 0, 1 or 2");
        Check(download_.AckCount() >= 0 && download_.AckCount() <= entries_ + 1,
              "AckCount stays within 0 to EntryCount + 1");
        Check(download_.WaitTicks() >= 0 && download_.WaitTicks() <= kMaxWaitTicks,
              "WaitTicks stays within 0 to 100");
        for (; readsSeen_ < port_.readCounts.size(); ++readsSeen_)
            Check(port_.readCounts[readsSeen_] >= 0 && port_.readCounts[readsSeen_] <= 128,
                  "a read asks for at most the 128-byte reply buffer");
        for (; writesSeen_ < port_.writes.size(); ++writesSeen_) {
            const test::TBytes& written = port_.writes[writesSeen_];
            const bool handshake = written == test::TBytes{kHandshakeByte};
            const bool frame = std::any_of(frames_.begin(), frames_.end(), [&](const TFrame& f) {
                return written == test::TBytes(f.begin(), f.end());
            });
            Check(handshake || frame, "a write is the handshake byte or a frame");
        }
        for (; progressSeen_ < gauge_.progress.size(); ++progressSeen_)
            Check(gauge_.progress[progressSeen_] >= 1 &&
                      gauge_.progress[progressSeen_] <= entries_ + 2,
                  "the gauge stays within 1 to N + 2");

        // Each acknowledgement (and each send) opens a new wait of at most 100 ticks and the
        // one that ends it.
        const auto phase = std::make_pair(download_.LinkState(), download_.AckCount());
        if (phase != phase_ || !Busy()) ticksWithoutAck_ = 0;
        phase_ = phase;
        Check(ticksWithoutAck_ <= kMaxWaitTicks + 1, "a wait ends within 101 ticks");
    }

    int entries_;
    TStringTable table_{3, 2};
    std::vector<TFrame> frames_;
    test::TScriptedPort port_;
    test::TFakeSwitch item1_, item2_;
    test::TRecordingStatus status_;
    test::TRecordingGauge gauge_;
    TInputOperator op_;
    TDownload download_{port_, item1_, item2_, status_, gauge_, table_, [this] { return entries_; },
                        op_};
    std::size_t readsSeen_ = 0, writesSeen_ = 0, progressSeen_ = 0;
    std::pair<std::int32_t, std::int32_t> phase_{0, 0};
    int ticksWithoutAck_ = 0;
};

} // namespace
} // namespace movarth

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace movarth;
    if (size == 0) return 0;
    std::string_view script(reinterpret_cast<const char*>(data) + 1, size - 1);
    TReplyRun run(1 + data[0] % kMaxEntries);
    while (!script.empty()) {
        const auto step = static_cast<unsigned char>(script.front());
        script.remove_prefix(1);
        if (step < 0x80) {
            run.Ticks(step);
        } else if (step < 0xE0) {
            const std::size_t count = step & (step < 0xC0 ? 0x3F : 0x1F);
            const std::string_view bytes = script.substr(0, count);
            script.remove_prefix(bytes.size());
            run.Arrive(bytes, step < 0xC0);
        } else if (step < 0xF0) {
            run.SetPortFaults(step);
        } else {
            run.Send();
        }
    }
    run.Silence();
    return 0;
}
