// The download with the real pieces: the serial component on the simulator's pseudo-terminal,
// real timed items on the plain hand-over loop, and the simulator as a child process.
#include "comm/SerialComm.h"
#include "link/Adapters.h"
#include "link/Download.h"
#include "link/tests/LinkFakes.h"
#include "link/tests/SimProcess.h"
#include "schedule/Schedule.h"
#include "schedule/StringTable.h"
#include "schedule/TimeText.h"
#include "timing/UiThread.h"
#include "timing/ZelTMultiThread.h"

#include <algorithm>
#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>

namespace movarth {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using test::EventTimes;
using test::ParseSchedule;
using ::testing::AnyOf;
using ::testing::HasSubstr;

std::string TwoDigits(int value)
{
    return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

std::string TimeText(int seconds)
{
    return TwoDigits(seconds / 3600) + ":" + TwoDigits(seconds / 60 % 60) + ":" +
           TwoDigits(seconds % 60);
}

class DownloadEndToEndTest : public ::testing::Test
{
protected:
    DownloadEndToEndTest()
    {
        schedule.SetDownloadBusy([this] { return download.DownloadBusy(); });
        download.SetErrorReport([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                errors.push_back(e.what());
            }
        });
    }
    ~DownloadEndToEndTest() override
    {
        comm.Close();
        EXPECT_EQ(errors.size(), expectedErrors) << (errors.empty() ? "" : errors[0]);
    }

    void Open(const std::string& device)
    {
        SetUpControllerPort(comm);
        comm.SetDeviceName(device);
        comm.Open();
    }
    // Types `count` entries into the schedule in descending start order, so that the core's
    // sort decides the order on the line.
    void TypeEntries(int count)
    {
        for (int k = 1; k <= count; ++k) {
            TPlainTimeField start(TimeText(86399 - k * 2011));
            TPlainTimeField length(TimeText(k * 97 + 5));
            TPlainTimeField end;
            schedule.BitBtn1Click(start, length, end);
        }
        ASSERT_EQ(schedule.EntryCount(), count);
        ASSERT_TRUE(op.messages.empty());
    }
    // The send command, then hand-overs until the download has ended.
    bool RunDownload(std::chrono::milliseconds timeout)
    {
        download.BitBtn4Click();
        EXPECT_TRUE(download.DownloadBusy());
        return ui.RunUntil([this] { return !download.DownloadBusy(); }, timeout);
    }

    // Failures that reached the window's error report.
    std::vector<std::string> errors;
    std::size_t expectedErrors = 0;
    TPlainUiLoop ui;
    TComm comm{ui};
    TZelMultiThreader threader{ui};
    TZelTimedThread& item1 = threader.Threads().Add();
    TZelTimedThread& item2 = threader.Threads().Add();
    test::TRecordingStatus status;
    test::TRecordingGauge gauge;
    test::TMessageOperator op;
    TStringTable table{3, 2};
    TSchedule schedule{table, op};
    TControllerLink link{
        comm, item1, item2, status, gauge, table, [this] { return schedule.EntryCount(); }, op};
    TDownload& download = link.Download();
};

TEST_F(DownloadEndToEndTest, AFullScheduleArrivesWholeAndInOrder)
{
    TypeEntries(kMaxEntries);
    test::TSimProcess sim({"--once", "--timeout", "60"});
    Open(sim.DevicePath());

    ASSERT_TRUE(RunDownload(30s));
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    EXPECT_EQ(gauge.progress.back(), kMaxEntries + 2);
    comm.Close(); // with --once the simulator ends when the port lets go of the line
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();

    const auto received = ParseSchedule(sim.Output());
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kMaxEntries)) << sim.Output();
    for (int k = 1; k <= kMaxEntries; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(received[k - 1].start, table.Cell(0, k));
        EXPECT_EQ(received[k - 1].length, table.Cell(1, k));
        EXPECT_EQ(received[k - 1].frame, BuildEntryFrame(table.Cell(0, k), table.Cell(1, k)));
        if (k > 1) {
            EXPECT_LT(received[k - 2].start, received[k - 1].start) << "sorted by start";
        }
    }
    EXPECT_THAT(sim.Log(), Not(HasSubstr("refused")));
}

TEST_F(DownloadEndToEndTest, ASilentControllerGetsOneHundredHandshakeBytesThenTheDownloadFails)
{
    TypeEntries(2);
    test::TSimProcess sim({"--silent", "--timeout", "60"});
    Open(sim.DevicePath());

    const auto started = TSteady::now();
    ASSERT_TRUE(RunDownload(30s));
    const auto elapsed = TSteady::now() - started;
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_GE(elapsed, 4500ms);
    EXPECT_LE(elapsed, 15s);

    ui.RunFor(300ms); // nothing more leaves the port
    EXPECT_EQ(sim.Finish(0ms), 1);
    const auto times = EventTimes(sim.Log(), "no answer");
    ASSERT_EQ(times.size(), 100u) << sim.Log();
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i)
        gaps.push_back(times[i] - times[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    const double median = gaps[gaps.size() / 2];
    EXPECT_GE(median, 45.0);
    EXPECT_LE(median, 120.0);
}

TEST_F(DownloadEndToEndTest, ARefusedFrameIsSentAgain)
{
    TypeEntries(3);
    test::TSimProcess sim({"--refuse-frame", "2:2", "--once", "--timeout", "60"});
    Open(sim.DevicePath());

    ASSERT_TRUE(RunDownload(30s));
    comm.Close();
    ASSERT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_EQ(status.Caption(), kSuccessCaption) << sim.Log();
    EXPECT_EQ(EventTimes(sim.Log(), "]: refused").size(), 2u) << sim.Log();
    EXPECT_EQ(ParseSchedule(sim.Output()).size(), 3u);
    EXPECT_EQ(std::count(status.captions.begin(), status.captions.end(), FrameCaption(2)), 3);
    EXPECT_EQ(std::count(status.captions.begin(), status.captions.end(), FrameCaption(3)), 1);
}

TEST_F(DownloadEndToEndTest, AnUnknownAnswerEndsTheDownloadAndTheNextSendSucceeds)
{
    TypeEntries(2);
    test::TSimProcess sim({"--bad-answer", "1:0x00", "--once", "--timeout", "60"});
    Open(sim.DevicePath());

    const auto started = TSteady::now();
    ASSERT_TRUE(RunDownload(30s));
    EXPECT_LT(TSteady::now() - started, 4s) << "it ends at once, not by the time budget";
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_EQ(gauge.progress.back(), 2) << "where it stood: frame 1";

    ASSERT_TRUE(RunDownload(30s));
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    comm.Close();
    EXPECT_EQ(sim.Finish(10s), 0) << sim.Log();
    EXPECT_EQ(ParseSchedule(sim.Output()).size(), 2u);
}

TEST_F(DownloadEndToEndTest, ALineThatGoesAwayEndsTheDownloadAndUnlocksTheWindow)
{
    TypeEntries(2);
    auto sim = std::make_unique<test::TSimProcess>(
        std::vector<std::string>{"--silent", "--timeout", "60"});
    Open(sim->DevicePath());
    download.BitBtn4Click();
    ui.RunFor(300ms);
    ASSERT_TRUE(download.DownloadBusy());
    sim.reset(); // the controller's end of the line closes

    const auto started = TSteady::now();
    ASSERT_TRUE(ui.RunUntil([this] { return !download.DownloadBusy(); }, 30s));
    EXPECT_LT(TSteady::now() - started, 3s) << "ended by the failure, not by the time budget";
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_TRUE(download.LinkStopped());
    expectedErrors = 1;
    ASSERT_EQ(errors.size(), 1u);
    // Whichever notices first: the next handshake byte's write, or the line's hang-up.
    EXPECT_THAT(errors[0], AnyOf(HasSubstr("Write error (Error: 5)"),
                                 HasSubstr("Device removed or line hung up (Error: 5)")));

    // Once the port is reopened on a controller that answers, the next send works.
    comm.Close();
    test::TSimProcess next({"--once", "--timeout", "60"});
    Open(next.DevicePath());
    ASSERT_TRUE(RunDownload(30s));
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    comm.Close();
    EXPECT_EQ(next.Finish(10s), 0) << next.Log();
}

} // namespace
} // namespace movarth
