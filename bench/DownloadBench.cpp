// A 31-entry download end to end: the serial component on a pseudo-terminal, real timed items
// on the plain hand-over loop, and the controller simulator (in-process, on its own thread)
// answering at the line's pace of 2400 bit/s, 10 bits a byte. Each run is timed from the
// send command to the end of the download, and compared with what the line itself needs for
// the exchange: the first handshake tick (50 ms), then 32 frames of 8 bytes and 33 one-byte
// answers.
#include "comm/SerialComm.h"
#include "link/Adapters.h"
#include "link/Download.h"
#include "schedule/Operator.h"
#include "schedule/StringTable.h"
#include "timing/UiThread.h"
#include "timing/ZelTMultiThread.h"
#include "tools/SimLine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace movarth;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

class TNoOperator final : public TOperator
{
public:
    void ShowMessage(const std::string& text) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    bool Confirm(const std::string&) override { return false; }
    bool AskInformation(const std::string&) override { return false; }
    void Inform(const std::string&) override {}
    std::optional<std::string> ChooseSaveFile() override { return std::nullopt; }
    std::optional<std::string> ChooseOpenFile() override { return std::nullopt; }
};

class TLastCaption final : public TLinkStatus
{
public:
    void SetCaption(const std::string& text) override { caption = text; }
    std::string caption;
};

class TNoGauge final : public TLinkGauge
{
public:
    void SetMaxValue(int) override {}
    void SetProgress(int) override {}
};

// The port, noting when the first handshake byte of a download is written.
class TTimedPort final : public TLinkPort
{
public:
    explicit TTimedPort(TLinkPort& port) : port_(port) {}
    bool IsOpen() const override { return port_.IsOpen(); }
    int Write(const std::uint8_t* buffer, int count) override
    {
        if (!firstWrite) firstWrite = Clock::now();
        return port_.Write(buffer, count);
    }
    int Read(std::uint8_t* buffer, int count) override { return port_.Read(buffer, count); }
    std::optional<Clock::time_point> firstWrite;

private:
    TLinkPort& port_;
};

std::string Two(int value)
{
    return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    sim::TSimLine line;
    std::atomic<bool> stop{false};
    sim::TSimOptions options; // acknowledge everything, at the line's pace
    std::thread controller([&] { sim::RunController(line, options, nullptr, nullptr, stop); });

    TStringTable table(3, kMaxEntries + 1);
    for (int k = 1; k <= kMaxEntries; ++k) {
        table.SetCell(0, k, Two(k % 24) + ":" + Two(k) + ":" + Two(59 - k));
        table.SetCell(1, k, "00:" + Two(k) + ":30");
    }

    TPlainUiLoop ui;
    TComm comm(ui);
    TZelMultiThreader threader(ui);
    TZelTimedThread& item1 = threader.Threads().Add();
    TZelTimedThread& item2 = threader.Threads().Add();
    SetUpDownloadItems(item1, item2);
    TCommLinkPort commPort(comm);
    TTimedPort port(commPort);
    TTimedItemSwitch switch1(item1), switch2(item2);
    TLastCaption status;
    TNoGauge gauge;
    TNoOperator op;
    TDownload download(
        port, switch1, switch2, status, gauge, table, [] { return kMaxEntries; }, op);
    BindDownload(download, comm, item1, item2);

    SetUpControllerPort(comm);
    comm.SetDeviceName(line.Path());
    comm.Open();

    const double byteMs = Ms(sim::kLineByteTime);
    const double wireMs = (32 * 8 + 33) * byteMs;
    const double limitMs = 50.0 + wireMs;
    std::printf("31-entry download against the simulator at 2400 bit/s, %d runs\n", runs);
    std::printf("line limit: 50 ms + (32 x 8 + 33) bytes x %.3f ms = %.1f ms\n", byteMs, limitMs);
    // A re-enabled item ticks when the wait under way falls due, so from the second run on the
    // first handshake byte may leave earlier than 50 ms after the send command: each run is
    // also compared with its own first tick plus the bytes on the line.

    std::vector<double> times;
    std::vector<double> overheads;
    for (int run = 0; run < runs; ++run) {
        ui.RunFor(std::chrono::milliseconds(200)); // let the previous exchange settle
        port.firstWrite.reset();
        const auto started = Clock::now();
        download.BitBtn4Click();
        const bool ended =
            ui.RunUntil([&] { return !download.DownloadBusy(); }, std::chrono::seconds(30));
        const double ms = Ms(Clock::now() - started);
        if (!ended || status.caption != kSuccessCaption) {
            std::fprintf(stderr, "run %d did not succeed\n", run + 1);
            stop = true;
            controller.join();
            return 1;
        }
        const double firstTickMs = Ms(*port.firstWrite - started);
        times.push_back(ms);
        overheads.push_back(ms - firstTickMs - wireMs);
        std::printf("run %2d: %.1f ms (first tick after %.1f ms; over its own limit %+.1f ms)\n",
                    run + 1, ms, firstTickMs, overheads.back());
    }
    comm.Close();
    stop = true;
    controller.join();

    const double first = times.front();
    std::sort(times.begin(), times.end());
    std::sort(overheads.begin(), overheads.end());
    const double median = times[times.size() / 2];
    const double overhead = overheads[overheads.size() / 2];
    std::printf("min %.1f ms, median %.1f ms, max %.1f ms\n", times.front(), median, times.back());
    std::printf("first run over the 1254.2 ms limit: %+.1f ms (%+.2f %%)\n", first - limitMs,
                100.0 * (first - limitMs) / limitMs);
    std::printf("median over each run's own limit: %+.1f ms (%+.2f %%), %+.3f ms per frame; "
                "max %+.1f ms\n",
                overhead, 100.0 * overhead / limitMs, overhead / 32, overheads.back());
    return 0;
}
