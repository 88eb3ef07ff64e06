#include "link/Download.h"

#include "schedule/Operator.h"
#include "schedule/StringTable.h"
#include "schedule/TimeText.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

// Hours, minutes and seconds of a time text as packed BCD, checked as a time of day. (Two
// decimal digits in BCD compare as the numbers do.)
std::array<std::uint8_t, 3> TimeOfDayBcd(const std::string& text)
{
    const std::array<std::uint8_t, 3> groups{Bcd(text, 1), Bcd(text, 4), Bcd(text, 7)};
    if (groups[0] > 0x23 || groups[1] > 0x59 || groups[2] > 0x59)
        throw EConvertError("'" + text + "' is not a valid time");
    return groups;
}

// "frame 2", "the handshake", "the confirmation frame".
std::string FrameName(const TDownloadEnd& end)
{
    if (end.frame == 0) return "the handshake";
    if (end.frame > static_cast<int>(end.entries.size())) return "the confirmation frame";
    return "frame " + std::to_string(end.frame);
}

std::string ErrorText(std::exception_ptr error)
{
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
    return {};
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
    const auto s = TimeOfDayBcd(start);
    const auto l = TimeOfDayBcd(length);
    TFrame frame{0x00, s[0], s[1], s[2], l[0], l[1], l[2], 0x00};
    frame[7] = FrameChecksum(frame);
    return frame;
}

std::vector<TSentEntry> EntriesOf(const TStringTable& table, int entries)
{
    std::vector<TSentEntry> rows;
    for (int k = 1; k <= entries; ++k)
        rows.push_back({table.Cell(0, k), table.Cell(1, k)});
    return rows;
}

std::string ControllerFailure(const TDownloadEnd& end)
{
    switch (end.outcome) {
    case TDownloadOutcome::doNoAnswer:
        return "did not answer in time";
    case TDownloadOutcome::doRefused:
        return "refused " + FrameName(end) + " (" + std::to_string(end.refusals) +
               (end.refusals == 1 ? " time)" : " times)");
    case TDownloadOutcome::doUnknownAnswer: {
        char answer[8];
        std::snprintf(answer, sizeof answer, "0x%02X", end.answer);
        return std::string("answered ") + answer + " to " + FrameName(end) +
               ", which is neither acknowledgement nor refusal";
    }
    default:
        return {};
    }
}

TSendRecord SendRecordOf(const TDownloadEnd& end, const std::string& port,
                         const std::string& source)
{
    TSendRecord record;
    record.time = std::time(nullptr);
    record.port = port;
    record.source = source;
    record.entries = end.entries;
    switch (end.outcome) {
    case TDownloadOutcome::doConfirmed:
        record.outcome = TSendOutcome::soConfirmed;
        break;
    case TDownloadOutcome::doNotSent:
        record.outcome = TSendOutcome::soNotSent;
        record.detail = ErrorText(end.error);
        break;
    case TDownloadOutcome::doLineFailed:
        record.outcome = TSendOutcome::soFailed;
        record.detail =
            std::string(kNoContactCaption) + "; the line failed: " + ErrorText(end.error);
        break;
    default:
        record.outcome = TSendOutcome::soFailed;
        record.detail =
            std::string(kNoContactCaption) + "; the controller " + ControllerFailure(end);
        break;
    }
    return record;
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

    // Built aside first, so that a text that does not convert, or is no time of day, leaves
    // everything as it was and nothing is sent.
    std::vector<TSentEntry> rows = EntriesOf(table_, entries);
    auto frames = frameTable_;
    try {
        for (int k = 1; k <= entries; ++k)
            frames.at(k - 1) = BuildEntryFrame(rows[k - 1].start, rows[k - 1].length);
    } catch (const EConvertError&) {
        if (endListener_) {
            TDownloadEnd end;
            end.outcome = TDownloadOutcome::doNotSent;
            end.error = std::current_exception();
            end.entries = std::move(rows);
            endListener_(end);
        }
        throw;
    }
    frameTable_ = frames;
    entries_ = entries;
    sent_ = std::move(rows);
    refusals_ = 0;
    endTold_ = false;
    confirmedShown_ = false;

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
            Ended(BudgetOutcome());
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
            const bool confirmed = ackCount_ > entries_;
            status_.SetCaption(confirmed ? kSuccessCaption : kNoContactCaption);
            confirmedShown_ = confirmed;
            item2_.SetEnabled(false);
            Ended(confirmed ? TDownloadOutcome::doConfirmed : BudgetOutcome());
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
            refusals_ = 0;
            linkState_ = 2;
            txBuffer_ = frameTable_[0];
            SendTxFrame(FrameCaption(1));
        } else if (reply == kAckByte && linkState_ == 2) {
            linkStopped_ = false;
            waitTicks_ = 0;
            refusals_ = 0;
            ++ackCount_;
            if (ackCount_ > entries_) {
                linkStopped_ = true;
                status_.SetCaption(kSuccessCaption);
                confirmedShown_ = true;
                Ended(TDownloadOutcome::doConfirmed);
            } else {
                SendNextFrame();
            }
        } else if (reply == kRefuseByte && linkState_ == 1) {
            linkStopped_ = false;
            ++refusals_;
            item1_.SetEnabled(true);
        } else if (reply == kRefuseByte && linkState_ == 2) {
            linkStopped_ = false;
            ++refusals_;
            if (ackCount_ <= entries_) SendNextFrame();
        } else {
            // Any other byte ends the download where it stands (both items are off). It ends
            // as failed: the caption of the frame in flight would look as if it were still
            // being sent.
            lastAnswer_ = reply;
            status_.SetCaption(kNoContactCaption);
            Ended(TDownloadOutcome::doUnknownAnswer);
        }
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

void TDownload::TableChanged()
{
    if (!confirmedShown_ || DownloadBusy()) return;
    confirmedShown_ = false;
    status_.SetCaption(kIdleCaption);
    gauge_.SetProgress(0);
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
    if (running) {
        status_.SetCaption(kNoContactCaption);
        Ended(TDownloadOutcome::doLineFailed, error);
    }
    if (!errorReport_) std::rethrow_exception(error);
    errorReport_(error);
}

TDownloadOutcome TDownload::BudgetOutcome() const
{
    return refusals_ > 0 ? TDownloadOutcome::doRefused : TDownloadOutcome::doNoAnswer;
}

void TDownload::Ended(TDownloadOutcome outcome, std::exception_ptr error)
{
    if (endTold_) return;
    endTold_ = true;
    if (!endListener_) return;
    TDownloadEnd end;
    end.outcome = outcome;
    end.frame = linkState_ == 1 ? 0 : ackCount_ + 1;
    end.refusals = refusals_;
    end.answer = lastAnswer_;
    end.error = std::move(error);
    end.entries = sent_;
    endListener_(end);
}

} // namespace movarth
