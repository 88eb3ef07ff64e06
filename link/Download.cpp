#include "link/Download.h"

#include "schedule/Operator.h"
#include "schedule/StringTable.h"
#include "schedule/TimeText.h"

#include <algorithm>

namespace movarth {

namespace {

// The decimal value of the one-character text at `index`, as the toolkit's integer conversion
// reads it: only a single decimal digit converts.
int Digit(const std::string& text, std::size_t index)
{
    const std::string character = index < text.size() ? text.substr(index, 1) : std::string();
    if (character.empty() || character[0] < '0' || character[0] > '9')
        throw EConvertError("'" + character + "' is not a valid integer value");
    return character[0] - '0';
}

// The packed BCD byte of the two characters at `position` (counted from 1).
std::uint8_t Bcd(const std::string& text, std::size_t position)
{
    return static_cast<std::uint8_t>(Digit(text, position - 1) * 16 + Digit(text, position));
}

} // namespace

std::string FrameCaption(int k)
{
    return "正在发送第" + std::to_string(k) + "组条目";
}

std::uint8_t FrameChecksum(const TFrame& frame)
{
    int sum = 0;
    for (int i = 1; i <= 6; ++i)
        sum += (frame[i] >> 4) * 10 + (frame[i] & 0x0F);
    const int remainder = sum % 100;
    return static_cast<std::uint8_t>((remainder / 10) << 4 | remainder % 10);
}

TFrame BuildEntryFrame(const std::string& start, const std::string& length)
{
    TFrame frame{0x00,           Bcd(start, 1),  Bcd(start, 4),  Bcd(start, 7),
                 Bcd(length, 1), Bcd(length, 4), Bcd(length, 7), 0x00};
    frame[7] = FrameChecksum(frame);
    return frame;
}

TDownload::TDownload(TLinkPort& port, TLinkSwitch& item1, TLinkSwitch& item2, TLinkStatus& status,
                     TLinkGauge& gauge, const TStringTable& table, TEntryCount entryCount,
                     TOperator& op)
    : port_(port), item1_(item1), item2_(item2), status_(status), gauge_(gauge), table_(table),
      entryCount_(std::move(entryCount)), op_(op)
{
}

void TDownload::BitBtn4Click()
{
    if (!port_.IsOpen()) {
        op_.ShowMessage(kPortClosedText);
        return;
    }
    if (DownloadBusy()) return;
    const int entries = entryCount_();
    if (entries <= 0) {
        op_.ShowMessage(kNoEntriesText);
        return;
    }

    // Built aside first, so that a text that does not convert leaves everything as it was.
    auto frames = frameTable_;
    for (int k = 1; k <= entries; ++k)
        frames.at(k - 1) = BuildEntryFrame(table_.Cell(0, k), table_.Cell(1, k));
    frameTable_ = frames;
    entries_ = entries;

    gauge_.SetMaxValue(entries + 2);
    gauge_.SetProgress(1);
    status_.SetCaption(kHandshakeCaption);
    linkState_ = 1;
    linkStopped_ = false;
    waitTicks_ = 0;
    ackCount_ = 0;
    item1_.SetEnabled(true);
}

void TDownload::ZelMultiThreader1Threads1Timer()
{
    try {
        if (linkStopped_ || waitTicks_ >= kMaxWaitTicks) {
            item1_.SetEnabled(false);
            linkStopped_ = true;
            status_.SetCaption(kNoContactCaption);
            return;
        }
        ++waitTicks_;
        txBuffer_[0] = kHandshakeByte;
        port_.Write(txBuffer_.data(), 1);
    } catch (...) {
        EndAfterFailure(std::current_exception());
    }
}

void TDownload::ZelMultiThreader1Threads2Timer()
{
    try {
        if (waitTicks_ >= kMaxWaitTicks) {
            linkStopped_ = true;
            status_.SetCaption(ackCount_ > entries_ ? kSuccessCaption : kNoContactCaption);
            item2_.SetEnabled(false);
            return;
        }
        ++waitTicks_;
    } catch (...) {
        EndAfterFailure(std::current_exception());
    }
}

void TDownload::Comm1RxChar(std::int32_t count)
{
    try {
        std::array<std::uint8_t, 128> rxBuffer;
        const int wanted = std::clamp<std::int32_t>(count, 0, rxBuffer.size());
        int read = port_.Read(rxBuffer.data(), wanted);
        if (read == wanted && read > 0) read += ReadRest();
        if (linkStopped_ || read != 1) return;

        linkStopped_ = true;
        item1_.SetEnabled(false);
        item2_.SetEnabled(false);
        const std::uint8_t reply = rxBuffer[0];
        if (reply == kAckByte && linkState_ == 1) {
            linkStopped_ = false;
            waitTicks_ = 0;
            ackCount_ = 0;
            linkState_ = 2;
            txBuffer_ = frameTable_[0];
            SendTxFrame(FrameCaption(1));
        } else if (reply == kAckByte && linkState_ == 2) {
            linkStopped_ = false;
            waitTicks_ = 0;
            ++ackCount_;
            if (ackCount_ > entries_) {
                linkStopped_ = true;
                status_.SetCaption(kSuccessCaption);
            } else {
                SendNextFrame();
            }
        } else if (reply == kRefuseByte && linkState_ == 1) {
            linkStopped_ = false;
            item1_.SetEnabled(true);
        } else if (reply == kRefuseByte && linkState_ == 2) {
            linkStopped_ = false;
            if (ackCount_ <= entries_) SendNextFrame();
        }
        // Any other byte ends the download as it stands: both items off, LinkStopped true.
    } catch (...) {
        EndAfterFailure(std::current_exception());
    }
}

int TDownload::ReadRest()
{
    // The port reports bytes left unread only when more arrive: a burst of noise read 128
    // bytes an event would be drained one answer (one handshake tick) at a time and outlast
    // the budget. Bounded, so that a line that never stops sending cannot hold the UI thread;
    // a real line brings 240 bytes a second.
    constexpr int kLimit = 65536;
    std::array<std::uint8_t, 128> scratch;
    int total = 0;
    while (total < kLimit) {
        const int read = port_.Read(scratch.data(), static_cast<int>(scratch.size()));
        if (read <= 0) break;
        total += read;
        if (read < static_cast<int>(scratch.size())) break;
    }
    return total;
}

void TDownload::PortFailed(std::exception_ptr error)
{
    if (!linkStopped_ || DownloadBusy()) EndAfterFailure(std::move(error));
}

void TDownload::SendNextFrame()
{
    if (ackCount_ == entries_) {
        txBuffer_ = kConfirmationFrame;
        SendTxFrame(kConfirmationCaption);
    } else {
        txBuffer_ = frameTable_[ackCount_];
        SendTxFrame(FrameCaption(ackCount_ + 1));
    }
}

void TDownload::SendTxFrame(const std::string& text)
{
    status_.SetCaption(text);
    gauge_.SetProgress(ackCount_ + 2);
    port_.Write(txBuffer_.data(), static_cast<int>(txBuffer_.size()));
    item2_.SetEnabled(true);
}

void TDownload::EndAfterFailure(std::exception_ptr error)
{
    const bool running = !linkStopped_ || DownloadBusy();
    item1_.SetEnabled(false);
    item2_.SetEnabled(false);
    linkStopped_ = true;
    if (running) status_.SetCaption(kNoContactCaption);
    if (!errorReport_) std::rethrow_exception(error);
    errorReport_(error);
}

} // namespace movarth
