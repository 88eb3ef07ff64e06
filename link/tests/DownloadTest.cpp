#include "link/Download.h"

#include "link/tests/LinkFakes.h"
#include "schedule/StringTable.h"
#include "schedule/TimeText.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdexcept>

namespace movarth {
namespace {

using test::FillTable;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using test::TBytes;
using test::TFakeSwitch;
using test::TScriptedPort;

TBytes Bytes(const TFrame& frame)
{
    return TBytes(frame.begin(), frame.end());
}

const TBytes kHandshake{0x55};

class DownloadTest : public ::testing::Test
{
protected:
    void SetEntries(int count)
    {
        FillTable(table, count);
        entries = count;
    }
    // One 50 ms step: each enabled item ticks once; a disabled one delivers no tick.
    void Tick()
    {
        if (item1.Enabled()) download.ZelMultiThreader1Threads1Timer();
        if (item2.Enabled()) download.ZelMultiThreader1Threads2Timer();
    }
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            Tick();
    }
    // One received-character event carrying these bytes.
    void Receive(const TBytes& bytes)
    {
        port.pending = bytes;
        download.Comm1RxChar(static_cast<std::int32_t>(bytes.size()));
    }
    // Send command, one handshake byte and its acknowledgement: frame 1 is on its way.
    void StartAndShake()
    {
        download.BitBtn4Click();
        Tick();
        Receive({kAckByte});
    }
    // The frame expected for row k of the table.
    TBytes RowFrame(int k) const
    {
        return Bytes(BuildEntryFrame(table.Cell(0, k), table.Cell(1, k)));
    }
    std::size_t Written(const TBytes& bytes) const
    {
        return std::count(port.writes.begin(), port.writes.end(), bytes);
    }
    void ExpectIdle() const
    {
        EXPECT_FALSE(download.DownloadBusy());
        EXPECT_FALSE(item1.Enabled());
        EXPECT_FALSE(item2.Enabled());
        EXPECT_TRUE(download.LinkStopped());
    }

    TScriptedPort port;
    TFakeSwitch item1;
    TFakeSwitch item2;
    test::TRecordingStatus status;
    test::TRecordingGauge gauge;
    TStringTable table{3, 2};
    int entries = 0;
    test::TMessageOperator op;
    TDownload download{port, item1, item2, status, gauge, table, [this] { return entries; }, op};
};

struct TFrameCase
{
    const char* start;
    const char* length;
    TFrame frame;
};

TEST(EntryFrame, PacksBcdAndTheDecimalChecksum)
{
    const TFrameCase cases[] = {
        {"08:30:00", "00:45:30", {0x00, 0x08, 0x30, 0x00, 0x00, 0x45, 0x30, 0x13}},
        {"23:59:59", "23:59:59", {0x00, 0x23, 0x59, 0x59, 0x23, 0x59, 0x59, 0x82}},
        {"00:00:00", "00:00:05", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x05}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BuildEntryFrame(c.start, c.length), c.frame) << c.start << " " << c.length;
        EXPECT_EQ(FrameChecksum(c.frame), c.frame[7]);
    }
    EXPECT_EQ(FrameChecksum(kConfirmationFrame), 0x94);
}

TEST(EntryFrame, ReadsCharactersByPositionOnly)
{
    // The separators are not looked at; only characters 1-2, 4-5 and 7-8 are converted.
    EXPECT_EQ(BuildEntryFrame("12x34y56", "01-02-03"),
              (TFrame{0x00, 0x12, 0x34, 0x56, 0x01, 0x02, 0x03, 0x08})); // sum 108
}

TEST(EntryFrame, ANonDigitIsAConversionError)
{
    for (const char* bad : {"0a:00:00", " 8:30:00", "08:30:0", "", "08:3+:00"}) {
        EXPECT_THROW(BuildEntryFrame(bad, "00:00:01"), EConvertError) << '"' << bad << '"';
        EXPECT_THROW(BuildEntryFrame("00:00:01", bad), EConvertError) << '"' << bad << '"';
    }
    try {
        BuildEntryFrame("0a:00:00", "00:00:01");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'a' is not a valid integer value");
    }
}

// Only times of day reach the controller: a row such as 25:00:00 would be sent as it stands,
// and 99:99:99 99:99:99 would even be the confirmation frame. Each text is checked before the
// next is read, the conversion before the range.
TEST(EntryFrame, StartAndLengthMustBeTimesOfDay)
{
    const struct
    {
        const char* start;
        const char* length;
        const char* message;
    } cases[] = {
        {"24:00:00", "00:30:00", "'24:00:00' is not a valid time"},
        {"07:60:00", "00:30:00", "'07:60:00' is not a valid time"},
        {"07:00:60", "00:30:00", "'07:00:60' is not a valid time"},
        {"08:00:00", "25:00:00", "'25:00:00' is not a valid time"},
        {"99:99:99", "99:99:99", "'99:99:99' is not a valid time"},
        {"25:00:00", "0a:00:00", "'25:00:00' is not a valid time"},
        {"0a:00:00", "99:99:99", "'a' is not a valid integer value"},
        {"23:59:59", "2x:00:00", "'x' is not a valid integer value"},
    };
    for (const auto& c : cases) {
        try {
            BuildEntryFrame(c.start, c.length);
            ADD_FAILURE() << c.start << " " << c.length << " was built";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), c.message) << c.start << " " << c.length;
        }
    }
    EXPECT_NO_THROW(BuildEntryFrame("23:59:59", "00:00:00"));
}

TEST(EntryFrame, CaptionNamesTheFrameWithoutLeadingZeros)
{
    EXPECT_EQ(FrameCaption(1), "正在发送第1组条目");
    EXPECT_EQ(FrameCaption(12), "正在发送第12组条目");
}

class DownloadSequenceTest : public DownloadTest, public ::testing::WithParamInterface<int>
{
};

TEST_P(DownloadSequenceTest, SendsEveryFrameInOrderThenTheConfirmation)
{
    const int n = GetParam();
    SetEntries(n);
    download.BitBtn4Click();
    EXPECT_EQ(download.LinkState(), 1);
    EXPECT_TRUE(item1.Enabled());
    EXPECT_TRUE(port.writes.empty()) << "the first handshake byte waits for the first tick";

    Tick();
    Receive({kAckByte});
    for (int k = 1; k <= n + 1; ++k) {
        EXPECT_TRUE(download.DownloadBusy());
        EXPECT_EQ(download.AckCount(), k - 1);
        Tick();
        Receive({kAckByte});
    }
    ExpectIdle();
    EXPECT_EQ(download.LinkState(), 2);
    EXPECT_EQ(download.AckCount(), n + 1);

    std::vector<TBytes> expectedWrites{kHandshake};
    std::vector<std::string> expectedCaptions{kHandshakeCaption};
    std::vector<int> expectedProgress{1};
    for (int k = 1; k <= n; ++k) {
        expectedWrites.push_back(RowFrame(k));
        expectedCaptions.push_back(FrameCaption(k));
        expectedProgress.push_back(k + 1);
        EXPECT_EQ(download.FrameTable(k), BuildEntryFrame(table.Cell(0, k), table.Cell(1, k)));
    }
    expectedWrites.push_back(Bytes(kConfirmationFrame));
    expectedCaptions.push_back(kConfirmationCaption);
    expectedCaptions.push_back(kSuccessCaption);
    expectedProgress.push_back(n + 2);

    EXPECT_EQ(port.writes, expectedWrites);
    EXPECT_EQ(status.captions, expectedCaptions);
    EXPECT_THAT(gauge.maxValues, ElementsAre(n + 2));
    EXPECT_EQ(gauge.progress, expectedProgress);
    EXPECT_EQ(download.TxBuffer(), kConfirmationFrame);
}

INSTANTIATE_TEST_SUITE_P(OneAndFull, DownloadSequenceTest, ::testing::Values(1, 31));

TEST_F(DownloadTest, ASilentControllerGetsOneHundredHandshakeBytesAndTheDownloadFails)
{
    SetEntries(2);
    download.BitBtn4Click();
    Ticks(100);
    EXPECT_EQ(port.writes.size(), 100u);
    EXPECT_EQ(Written(kHandshake), 100u);
    EXPECT_TRUE(item1.Enabled());
    EXPECT_EQ(status.Caption(), kHandshakeCaption);

    Tick(); // the 101st
    ExpectIdle();
    EXPECT_EQ(port.writes.size(), 100u);
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_EQ(download.WaitTicks(), 100);
    EXPECT_THAT(gauge.progress, ElementsAre(1));
}

TEST_F(DownloadTest, HandshakeRefusalsDoNotRestartTheCount)
{
    SetEntries(1);
    download.BitBtn4Click();
    for (int i = 0; i < 3; ++i) {
        Ticks(10);
        Receive({kRefuseByte});
        EXPECT_TRUE(item1.Enabled());
        EXPECT_EQ(download.LinkState(), 1);
        EXPECT_EQ(download.WaitTicks(), 10 * (i + 1));
    }
    EXPECT_EQ(status.Caption(), kHandshakeCaption);
    Ticks(71);
    EXPECT_EQ(Written(kHandshake), 100u);
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    ExpectIdle();
}

TEST_F(DownloadTest, HandshakeRefusedThenAcknowledgedSendsFrameOne)
{
    SetEntries(2);
    download.BitBtn4Click();
    Tick();
    Receive({kRefuseByte});
    Tick();
    Receive({kAckByte});
    EXPECT_EQ(port.writes.back(), RowFrame(1));
    EXPECT_EQ(Written(kHandshake), 2u);
    EXPECT_EQ(download.WaitTicks(), 0);
    EXPECT_FALSE(item1.Enabled());
    EXPECT_TRUE(item2.Enabled());
}

TEST_F(DownloadTest, ARefusedFrameIsSentAgainWithItsCaptionAndTheBudgetRunsOn)
{
    SetEntries(3);
    StartAndShake();
    Ticks(2);
    Receive({kAckByte}); // frame 1 acknowledged: frame 2 goes out
    ASSERT_EQ(port.writes.back(), RowFrame(2));
    Ticks(7);
    EXPECT_EQ(download.WaitTicks(), 7);

    Receive({kRefuseByte});
    EXPECT_EQ(port.writes.back(), RowFrame(2));
    EXPECT_EQ(Written(RowFrame(2)), 2u);
    EXPECT_EQ(status.Caption(), FrameCaption(2));
    EXPECT_EQ(gauge.progress.back(), 3);
    EXPECT_EQ(download.WaitTicks(), 7) << "a refusal does not reset the wait";
    EXPECT_EQ(download.AckCount(), 1);
    EXPECT_TRUE(item2.Enabled());

    // Refusals spend the same budget: 93 more ticks, then the 101st ends the download.
    Ticks(93);
    EXPECT_TRUE(download.DownloadBusy());
    Tick();
    ExpectIdle();
    EXPECT_EQ(status.Caption(), kNoContactCaption);
}

TEST_F(DownloadTest, ARefusedConfirmationIsSentAgain)
{
    SetEntries(1);
    StartAndShake();
    Receive({kAckByte});
    ASSERT_EQ(port.writes.back(), Bytes(kConfirmationFrame));
    Receive({kRefuseByte});
    EXPECT_EQ(Written(Bytes(kConfirmationFrame)), 2u);
    EXPECT_EQ(status.Caption(), kConfirmationCaption);
    EXPECT_EQ(gauge.progress.back(), 3);
    Receive({kAckByte});
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    ExpectIdle();
}

TEST_F(DownloadTest, AControllerThatFallsSilentAfterFrameThreeEndsTheDownload)
{
    SetEntries(5);
    StartAndShake();
    for (int k = 1; k <= 3; ++k)
        Receive({kAckByte});
    ASSERT_EQ(port.writes.back(), RowFrame(4));
    Ticks(100);
    EXPECT_TRUE(item2.Enabled());
    Tick();
    ExpectIdle();
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_EQ(gauge.progress.back(), 5);

    // All commands work again: the next send starts a new handshake.
    download.BitBtn4Click();
    EXPECT_TRUE(item1.Enabled());
}

TEST_F(DownloadTest, TwoBytesInOneEventAreDroppedAndTheWaitGoesOn)
{
    SetEntries(2);
    StartAndShake();
    const auto writes = port.writes.size();
    Ticks(4);
    Receive({kAckByte, kAckByte});
    EXPECT_EQ(port.writes.size(), writes);
    EXPECT_TRUE(item2.Enabled());
    EXPECT_FALSE(download.LinkStopped());
    EXPECT_EQ(download.WaitTicks(), 4);
    EXPECT_EQ(download.AckCount(), 0);

    // An empty or timed-out read is dropped the same way.
    Receive({});
    EXPECT_TRUE(item2.Enabled());
    EXPECT_EQ(port.writes.size(), writes);
}

// An answer that is neither acknowledgement nor refusal ends the download as failed: left
// standing, the caption of the frame in flight would look as if it were still being sent.
TEST_F(DownloadTest, AnUnknownByteEndsTheDownloadWithTheFailureCaption)
{
    SetEntries(2);
    StartAndShake();
    const auto writes = port.writes.size();
    Receive({0x00});
    ExpectIdle();
    EXPECT_EQ(port.writes.size(), writes);
    EXPECT_EQ(status.Caption(), kNoContactCaption);
    EXPECT_THAT(gauge.progress, ElementsAre(1, 2));
    EXPECT_TRUE(op.messages.empty());

    download.BitBtn4Click();
    EXPECT_TRUE(item1.Enabled()) << "all commands work again";
}

TEST_F(DownloadTest, BytesOutsideADownloadAreReadAndDropped)
{
    SetEntries(1);
    Receive({kAckByte}); // before the first download
    EXPECT_EQ(download.LinkState(), 0);
    EXPECT_TRUE(port.pending.empty());
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(status.captions.empty());

    StartAndShake();
    Receive({kAckByte});
    Receive({kAckByte});
    ASSERT_EQ(status.Caption(), kSuccessCaption);
    const auto writes = port.writes.size();
    for (const TBytes& late : {TBytes{kAckByte}, TBytes{kRefuseByte}, TBytes{0x00}}) {
        Receive(late);
        EXPECT_TRUE(port.pending.empty());
    }
    EXPECT_EQ(port.writes.size(), writes);
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    ExpectIdle();
}

TEST_F(DownloadTest, ASendAfterAFinishedDownloadStartsAfreshFromTheTable)
{
    SetEntries(1);
    StartAndShake();
    Receive({kAckByte});
    Receive({kAckByte});
    ASSERT_EQ(status.Caption(), kSuccessCaption);

    table.SetCell(0, 1, "21:15:00");
    port.writes.clear();
    download.BitBtn4Click();
    EXPECT_EQ(download.LinkState(), 1);
    EXPECT_EQ(download.AckCount(), 0);
    EXPECT_EQ(download.WaitTicks(), 0);
    EXPECT_FALSE(download.LinkStopped());
    EXPECT_EQ(status.Caption(), kHandshakeCaption);
    EXPECT_EQ(gauge.progress.back(), 1);
    Tick();
    EXPECT_THAT(port.writes, ElementsAre(kHandshake));
    Receive({kAckByte});
    EXPECT_EQ(port.writes.back(), Bytes(BuildEntryFrame("21:15:00", table.Cell(1, 1))));
}

TEST_F(DownloadTest, SendCommandChecksPortThenBusyThenEntries)
{
    SetEntries(0);
    port.open = false;
    download.BitBtn4Click();
    port.open = true;
    download.BitBtn4Click();
    EXPECT_THAT(op.messages, ElementsAre(kPortClosedText, kNoEntriesText));
    EXPECT_FALSE(download.DownloadBusy());
    EXPECT_TRUE(status.captions.empty());
    EXPECT_TRUE(gauge.progress.empty());

    SetEntries(2);
    StartAndShake();
    const auto captions = status.captions;
    const auto writes = port.writes;
    entries = 0;
    download.BitBtn4Click(); // busy: ignored without a message, even with no entries
    port.open = false;
    download.BitBtn4Click(); // the port check comes first
    EXPECT_THAT(op.messages, ElementsAre(kPortClosedText, kNoEntriesText, kPortClosedText));
    EXPECT_EQ(status.captions, captions);
    EXPECT_EQ(port.writes, writes);
    EXPECT_EQ(download.LinkState(), 2);
    EXPECT_TRUE(item2.Enabled());
}

TEST_F(DownloadTest, BusyWhileEitherItemIsEnabled)
{
    EXPECT_FALSE(download.DownloadBusy());
    item1.enabled = true;
    EXPECT_TRUE(download.DownloadBusy());
    item1.enabled = false;
    item2.enabled = true;
    EXPECT_TRUE(download.DownloadBusy());
}

// A row that does not convert, or is no time of day, refuses the whole download wherever it
// stands: nothing is sent and the gauge, the status line and the frames are as they were.
TEST_F(DownloadTest, ARowThatIsNoTimeOfDayStopsTheSendBeforeAnything)
{
    std::vector<TDownloadEnd> ends;
    download.SetEndListener([&](const TDownloadEnd& end) { ends.push_back(end); });
    for (const auto& [cell, message] :
         {std::pair<const char*, const char*>{"00:1?:00", "'?' is not a valid integer value"},
          {"25:00:00", "'25:00:00' is not a valid time"}}) {
        SCOPED_TRACE(cell);
        SetEntries(3);
        StartAndShake();
        for (int k = 0; k < 4; ++k)
            Receive({kAckByte});
        ASSERT_EQ(status.Caption(), kSuccessCaption);
        const TFrame slot1 = download.FrameTable(1);
        const auto captions = status.captions;
        const auto progress = gauge.progress;
        const auto maxValues = gauge.maxValues;
        port.writes.clear();
        ends.clear();

        table.SetCell(0, 1, "07:00:00");
        table.SetCell(1, 3, cell);
        try {
            download.BitBtn4Click();
            ADD_FAILURE() << "the send started";
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), message);
        }
        Ticks(3);
        EXPECT_FALSE(download.DownloadBusy());
        EXPECT_TRUE(download.LinkStopped());
        EXPECT_EQ(status.captions, captions);
        EXPECT_EQ(gauge.progress, progress);
        EXPECT_EQ(gauge.maxValues, maxValues);
        EXPECT_TRUE(port.writes.empty());
        EXPECT_EQ(download.FrameTable(1), slot1)
            << "frames are only replaced by a send that starts";
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0].outcome, TDownloadOutcome::doNotSent);
        EXPECT_EQ(ends[0].entries.size(), 3u);
        EXPECT_EQ(ends[0].entries[2], (TSentEntry{table.Cell(0, 3), cell}));
    }
}

// How each download ended, told once per download, with the frame awaited and what came.
TEST_F(DownloadTest, TheEndListenerHearsHowEachDownloadEnded)
{
    std::vector<TDownloadEnd> ends;
    download.SetEndListener([&](const TDownloadEnd& end) { ends.push_back(end); });
    download.SetErrorReport([](std::exception_ptr) {});
    SetEntries(2);
    const auto run = [&](const std::function<void()>& script) {
        ends.clear();
        download.BitBtn4Click();
        script();
        ExpectIdle();
        Ticks(200); // nothing more is told
        EXPECT_EQ(ends.size(), 1u);
        return ends.empty() ? TDownloadEnd{} : ends[0];
    };

    TDownloadEnd end = run([&] {
        Tick();
        for (int k = 0; k < 4; ++k)
            Receive({kAckByte});
    });
    EXPECT_EQ(end.outcome, TDownloadOutcome::doConfirmed);
    EXPECT_EQ(end.entries, (std::vector<TSentEntry>{{table.Cell(0, 1), table.Cell(1, 1)},
                                                    {table.Cell(0, 2), table.Cell(1, 2)}}));

    end = run([&] { Ticks(101); });
    EXPECT_EQ(end.outcome, TDownloadOutcome::doNoAnswer);
    EXPECT_EQ(end.frame, 0);
    EXPECT_EQ(ControllerFailure(end), "did not answer in time");

    end = run([&] {
        Tick();
        Receive({kAckByte});
        Receive({kAckByte}); // frame 1 acknowledged
        for (int i = 0; i < 3; ++i)
            Receive({kRefuseByte});
        Ticks(101);
    });
    EXPECT_EQ(end.outcome, TDownloadOutcome::doRefused);
    EXPECT_EQ(end.frame, 2);
    EXPECT_EQ(end.refusals, 3);
    EXPECT_EQ(ControllerFailure(end), "refused frame 2 (3 times)");

    end = run([&] {
        Tick();
        Receive({kRefuseByte});
        Ticks(101);
    });
    EXPECT_EQ(ControllerFailure(end), "refused the handshake (1 time)");

    end = run([&] {
        Tick();
        for (int k = 0; k < 3; ++k)
            Receive({kAckByte});
        Receive({0x3C});
    });
    EXPECT_EQ(end.outcome, TDownloadOutcome::doUnknownAnswer);
    EXPECT_EQ(end.answer, 0x3C);
    EXPECT_EQ(ControllerFailure(end),
              "answered 0x3C to the confirmation frame, which is neither acknowledgement nor "
              "refusal");

    end = run([&] {
        Tick();
        port.failWrite = true;
        Receive({kAckByte});
        port.failWrite = false;
    });
    EXPECT_EQ(end.outcome, TDownloadOutcome::doLineFailed);
    EXPECT_EQ(end.frame, 1);
    EXPECT_TRUE(end.error);
}

// The success caption stands only beside the table the controller has: the first change of
// the table after a confirmed download puts the status line and the gauge back.
TEST_F(DownloadTest, ATableChangeAfterAConfirmedDownloadResetsTheStatusOnce)
{
    SetEntries(1);
    download.TableChanged(); // before any download: nothing
    EXPECT_TRUE(status.captions.empty());

    StartAndShake();
    download.TableChanged(); // during one: nothing
    Receive({kAckByte});
    Receive({kAckByte});
    ASSERT_EQ(status.Caption(), kSuccessCaption);
    const auto progressCount = gauge.progress.size();
    download.TableChanged();
    EXPECT_EQ(status.Caption(), kIdleCaption);
    EXPECT_EQ(gauge.progress.back(), 0);
    download.TableChanged();
    EXPECT_EQ(status.captions.size(), 5u) << "only the first change";
    EXPECT_EQ(gauge.progress.size(), progressCount + 1);

    // A failure's caption stays.
    download.BitBtn4Click();
    Ticks(101);
    ASSERT_EQ(status.Caption(), kNoContactCaption);
    download.TableChanged();
    EXPECT_EQ(status.Caption(), kNoContactCaption);
}

TEST_F(DownloadTest, AReadIsBoundedByTheReceiveBuffer)
{
    SetEntries(1);
    StartAndShake();
    port.readCounts.clear();
    port.pending.assign(300, kAckByte);
    download.Comm1RxChar(300);
    download.Comm1RxChar(-1);
    // Each read fits the buffer; the event takes in all 300 bytes (128 + 128 + 44).
    EXPECT_THAT(port.readCounts, ElementsAre(128, 128, 128, 0));
    EXPECT_TRUE(port.pending.empty());
    EXPECT_TRUE(item2.Enabled()) << "a multi-byte event is dropped as a whole";
}

// The port reports bytes left unread only when more arrive. A burst of noise (here reported
// as one queue of 4 KiB) is taken in whole by its event, so the controller's next answer
// arrives alone and counts; a line that never stops sending is read a bounded amount at a time.
TEST_F(DownloadTest, ABurstOfNoiseIsTakenInByItsEventAndTheNextAnswerCounts)
{
    const struct
    {
        std::size_t noise;
        std::size_t leftAfterTheEvent;
    } cases[] = {{100, 0}, {60000, 0}, {200000, 200000 - 128 - 65536}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.noise);
        SetEntries(1);
        download.BitBtn4Click();
        Tick();
        port.pending.clear();
        for (std::size_t i = 0; i < c.noise; ++i)
            port.pending.push_back(static_cast<std::uint8_t>(0x11 + i % 50));
        download.Comm1RxChar(4095);
        EXPECT_EQ(port.pending.size(), c.leftAfterTheEvent);
        EXPECT_EQ(download.LinkState(), 1) << "the noise answered nothing";
        EXPECT_TRUE(item1.Enabled());
        while (!port.pending.empty())
            download.Comm1RxChar(4095);

        Receive({kAckByte});
        EXPECT_EQ(download.LinkState(), 2);
        EXPECT_EQ(status.Caption(), FrameCaption(1));
        EXPECT_EQ(port.writes.back(), RowFrame(1));
        Receive({kAckByte});
        Receive({kAckByte});
        EXPECT_EQ(status.Caption(), kSuccessCaption);
    }
}

// A failing port inside a handler ends the download and reaches the error report; the items
// are left disabled, so the window is not locked, and the next send works once the port is
// back.
struct TFailureCase
{
    const char* name;
    // Acknowledgements received before the failing event (the handshake's counts);
    // -1: the first handshake tick fails.
    int acksBefore;
    bool failRead;
};

class DownloadPortFailureTest : public DownloadTest,
                                public ::testing::WithParamInterface<TFailureCase>
{
};

TEST_P(DownloadPortFailureTest, EndsTheDownloadAndReportsTheFailure)
{
    const auto& c = GetParam();
    std::vector<std::string> reported;
    download.SetErrorReport([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const ECommError& e) {
            reported.push_back(e.what());
        }
    });
    SetEntries(2);
    download.BitBtn4Click();
    if (c.acksBefore >= 0) {
        Tick();
        for (int i = 0; i < c.acksBefore; ++i)
            Receive({kAckByte});
    }
    port.failWrite = !c.failRead;
    port.failRead = c.failRead;
    if (c.acksBefore < 0)
        Tick();
    else
        Receive({kAckByte});

    ASSERT_EQ(reported.size(), 1u);
    EXPECT_THAT(reported[0], ::testing::StartsWith(c.failRead ? "Read error" : "Write error"));
    ExpectIdle();
    EXPECT_EQ(status.Caption(), kNoContactCaption);

    port.failWrite = port.failRead = false;
    port.writes.clear();
    download.BitBtn4Click();
    Tick();
    Receive({kAckByte});
    EXPECT_THAT(port.writes, ElementsAre(kHandshake, RowFrame(1)));
}

INSTANTIATE_TEST_SUITE_P(Handlers, DownloadPortFailureTest,
                         ::testing::Values(TFailureCase{"HandshakeWrite", -1, false},
                                           TFailureCase{"FrameOneWrite", 0, false},
                                           TFailureCase{"ConfirmationWrite", 2, false},
                                           TFailureCase{"ReadDuringHandshake", 0, true},
                                           TFailureCase{"ReadWhileWaiting", 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadTest, WithoutAnErrorReportThePortFailureIsRethrownAfterEndingTheDownload)
{
    SetEntries(1);
    download.BitBtn4Click();
    port.failWrite = true;
    EXPECT_THROW(Tick(), ECommError);
    ExpectIdle();
    EXPECT_EQ(status.Caption(), kNoContactCaption);
}

TEST_F(DownloadTest, APortFailureOutsideADownloadLeavesTheOutcomeShown)
{
    int reports = 0;
    download.SetErrorReport([&](std::exception_ptr) { ++reports; });
    SetEntries(1);
    StartAndShake();
    Receive({kAckByte});
    Receive({kAckByte});
    ASSERT_EQ(status.Caption(), kSuccessCaption);
    port.failRead = true;
    Receive({kAckByte});
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(status.Caption(), kSuccessCaption);
    ExpectIdle();
}

// The device went away between two events: a running download ends as after a failure in its
// handlers; an ended one keeps its outcome and reports nothing.
TEST_F(DownloadTest, APortLostOutsideTheHandlersEndsOnlyARunningDownload)
{
    int reports = 0;
    download.SetErrorReport([&](std::exception_ptr) { ++reports; });
    const auto lost = [] { return std::make_exception_ptr(ECommError("Device lost", EIO)); };
    SetEntries(2);
    for (const bool handshakeDone : {false, true}) {
        SCOPED_TRACE(handshakeDone ? "waiting for frame 1" : "in the handshake");
        reports = 0;
        download.BitBtn4Click();
        Tick();
        if (handshakeDone) Receive({kAckByte});
        download.PortFailed(lost());
        EXPECT_EQ(reports, 1);
        ExpectIdle();
        EXPECT_EQ(status.Caption(), kNoContactCaption);
        download.PortFailed(lost());
        EXPECT_EQ(reports, 1);
    }
}

} // namespace
} // namespace movarth
