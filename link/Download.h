#pragma once

#include "link/LinkInterfaces.h"
#include "link/SendHistory.h"
#include "schedule/ScheduleFile.h"

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace movarth {

class TOperator;
class TStringTable;

using TFrame = std::array<std::uint8_t, 8>;

inline constexpr std::uint8_t kHandshakeByte = 0x55;
inline constexpr std::uint8_t kAckByte = 0x55;
inline constexpr std::uint8_t kRefuseByte = 0xAA;
// Sent after the last entry: all six groups 99, checksum 594 mod 100.
inline constexpr TFrame kConfirmationFrame{0x00, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x94};
// Ticks of item 1 or 2 (50 ms each) that the download waits before it gives up.
inline constexpr int kMaxWaitTicks = 100;

inline constexpr const char* kPortClosedText = "请先打开通讯端口！";
inline constexpr const char* kNoEntriesText = "请加入倒计时的条目！";
// The status line's caption as laid out, before any download.
inline constexpr const char* kIdleCaption = "发送数据指示条";
inline constexpr const char* kHandshakeCaption = "正在和倒计时控制器取得通讯";
inline constexpr const char* kConfirmationCaption = "正在发送最后一组确认数据";
inline constexpr const char* kSuccessCaption = "所有条目顺利发送到倒计时控制器";
inline constexpr const char* kNoContactCaption = "计算机和倒计时控制器未取得联系，请检查";

// "正在发送第" k "组条目".
std::string FrameCaption(int k);

// The checksum byte of a frame: the six BCD groups of bytes 1 to 6 read as decimal numbers,
// summed, modulo 100, packed as two BCD digits.
std::uint8_t FrameChecksum(const TFrame& frame);

// The entry frame of one row: 0x00, start hours, minutes, seconds, length hours, minutes,
// seconds as packed BCD from the characters of the "hh:mm:ss" texts, then the checksum.
// Each text is checked before the next is read, as a time of day: EConvertError
// "'%s' is not a valid integer value" for a character at 1-2, 4-5 or 7-8 that is not a
// decimal digit (or missing, for a text shorter than eight characters), then
// "'%s' is not a valid time", naming the text, for hours above 23 or minutes or seconds above
// 59. (Such a row would reach the controller as it stands; 99:99:99 would even be the
// confirmation frame.) The separators are not looked at.
TFrame BuildEntryFrame(const std::string& start, const std::string& length);

// Start and length of rows 1..entries, as they stand.
std::vector<TSentEntry> EntriesOf(const TStringTable& table, int entries);

// How a download ended.
enum class TDownloadOutcome
{
    doConfirmed,     // the confirmation frame was acknowledged
    doNoAnswer,      // the time budget ran out without an answer
    doRefused,       // the time budget ran out while the controller refused
    doUnknownAnswer, // an answer other than 0x55 and 0xAA
    doLineFailed,    // the port failed, or its device went away
    doNotSent        // refused before anything was sent: a row that is no time
};

// What a download's end tells its callers (the window's and the sender's reports and the send
// history).
struct TDownloadEnd
{
    TDownloadOutcome outcome = TDownloadOutcome::doNoAnswer;
    // What was awaited at the end: 0 the handshake, k (1 to N) entry frame k, N + 1 the
    // confirmation frame.
    int frame = 0;
    int refusals = 0;         // of that frame (doRefused)
    std::uint8_t answer = 0;  // doUnknownAnswer
    std::exception_ptr error; // doLineFailed, doNotSent
    // Start and length of each row, as the send command found them.
    std::vector<TSentEntry> entries;
};

// Why the controller ended a download, after "the controller": "did not answer in time",
// "refused frame 2 (3 times)", "answered 0x00 to frame 1, which is neither acknowledgement
// nor refusal". Empty for the other outcomes.
std::string ControllerFailure(const TDownloadEnd& end);

// The send history's record of a download that ended on `port` now.
TSendRecord SendRecordOf(const TDownloadEnd& end, const std::string& port,
                         const std::string& source);

// The download of the schedule table to the count-down controller: a stop-and-wait exchange
// driven by the send command, the ticks of timed item 1 (handshake) and 2 (reply wait) and
// the reply handler of the serial port, all on the UI thread.
//
// A failure inside a tick or reply handler (a port that fails or was unplugged) ends the
// download: both items off, the no-contact caption, and the failure goes to the error report
// instead of into the item's worker or the port's event thread, which would otherwise stop
// for good and leave DownloadBusy true forever. Without an error report it is rethrown.
class TDownload
{
public:
    using TEntryCount = std::function<int()>;
    using TErrorReport = std::function<void(std::exception_ptr error)>;
    using TEndListener = std::function<void(const TDownloadEnd& end)>;

    TDownload(TLinkPort& port, TLinkSwitch& item1, TLinkSwitch& item2, TLinkStatus& status,
              TLinkGauge& gauge, const TStringTable& table, TEntryCount entryCount, TOperator& op);
    TDownload(const TDownload&) = delete;
    TDownload& operator=(const TDownload&) = delete;

    // Where a failure inside a tick or reply handler is reported (the window's general error
    // handler).
    void SetErrorReport(TErrorReport report) { errorReport_ = std::move(report); }
    // Told once when a download ends, whatever the outcome, before a failure goes to the
    // error report; and when the send command refuses a row that is no time.
    void SetEndListener(TEndListener listener) { endListener_ = std::move(listener); }

    // The send command.
    void BitBtn4Click();
    // Tick of timed item 1: one handshake byte, or the end after 100 of them.
    void ZelMultiThreader1Threads1Timer();
    // Tick of timed item 2: counts the wait for a reply, ends it after 100 ticks.
    void ZelMultiThreader1Threads2Timer();
    // A received-character event with `count` bytes waiting. Everything on the line is read
    // before the reply is judged: an event that brings other than exactly one byte is dropped
    // whole.
    void Comm1RxChar(std::int32_t count);
    // The port failed outside these handlers (its device went away): a download under way
    // ends as after a failure inside them; otherwise nothing happens.
    void PortFailed(std::exception_ptr error);
    // The schedule table changed. After a confirmed download the success caption and the full
    // gauge no longer describe the table: the status line goes back to kIdleCaption and the
    // gauge to 0, once.
    void TableChanged();

    // A download is in progress while item 1 or item 2 is enabled.
    bool DownloadBusy() const { return item1_.Enabled() || item2_.Enabled(); }

    std::int32_t LinkState() const { return linkState_; }
    std::int32_t WaitTicks() const { return waitTicks_; }
    std::int32_t AckCount() const { return ackCount_; }
    bool LinkStopped() const { return linkStopped_; }
    const TFrame& TxBuffer() const { return txBuffer_; }
    // Slot k (1 to 31) of the frame table.
    const TFrame& FrameTable(int k) const { return frameTable_.at(k - 1); }

private:
    // Reads and drops what is left on the line after a full read; returns its byte count.
    int ReadRest();
    void SendTxFrame(const std::string& text);
    void SendNextFrame();
    void EndAfterFailure(std::exception_ptr error);
    // Tells the end listener how the download ended (once per download).
    void Ended(TDownloadOutcome outcome, std::exception_ptr error = nullptr);
    // The outcome of a time budget that has run out.
    TDownloadOutcome BudgetOutcome() const;

    TLinkPort& port_;
    TLinkSwitch& item1_;
    TLinkSwitch& item2_;
    TLinkStatus& status_;
    TLinkGauge& gauge_;
    const TStringTable& table_;
    TEntryCount entryCount_;
    TOperator& op_;
    TErrorReport errorReport_;
    TEndListener endListener_;

    std::int32_t linkState_ = 0;
    std::int32_t waitTicks_ = 0;
    std::int32_t ackCount_ = 0;
    // EntryCount as the send command found it; the busy rule keeps it unchanged meanwhile.
    std::int32_t entries_ = 0;
    bool linkStopped_ = true; // bytes received before the first download are dropped
    int refusals_ = 0;        // of the frame (or handshake) now awaited
    std::uint8_t lastAnswer_ = 0;
    bool endTold_ = true;          // the end listener has heard of the last download's end
    bool confirmedShown_ = false;  // the success caption stands since the last table change
    std::vector<TSentEntry> sent_; // the rows of the download under way
    TFrame txBuffer_{};
    std::array<TFrame, kMaxEntries> frameTable_{};
};

} // namespace movarth
