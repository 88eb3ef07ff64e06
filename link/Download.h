#pragma once

#include "link/LinkInterfaces.h"
#include "schedule/ScheduleFile.h"

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

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
// Throws EConvertError "'%s' is not a valid integer value" for a character that is not a
// decimal digit (or missing, for a text shorter than eight characters).
TFrame BuildEntryFrame(const std::string& start, const std::string& length);

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

    TDownload(TLinkPort& port, TLinkSwitch& item1, TLinkSwitch& item2, TLinkStatus& status,
              TLinkGauge& gauge, const TStringTable& table, TEntryCount entryCount, TOperator& op);
    TDownload(const TDownload&) = delete;
    TDownload& operator=(const TDownload&) = delete;

    // Where a failure inside a tick or reply handler is reported (the window's general error
    // handler).
    void SetErrorReport(TErrorReport report) { errorReport_ = std::move(report); }

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

    TLinkPort& port_;
    TLinkSwitch& item1_;
    TLinkSwitch& item2_;
    TLinkStatus& status_;
    TLinkGauge& gauge_;
    const TStringTable& table_;
    TEntryCount entryCount_;
    TOperator& op_;
    TErrorReport errorReport_;

    std::int32_t linkState_ = 0;
    std::int32_t waitTicks_ = 0;
    std::int32_t ackCount_ = 0;
    // EntryCount as the send command found it; the busy rule keeps it unchanged meanwhile.
    std::int32_t entries_ = 0;
    bool linkStopped_ = true; // bytes received before the first download are dropped
    TFrame txBuffer_{};
    std::array<TFrame, kMaxEntries> frameTable_{};
};

} // namespace movarth
