#include "tools/ControllerSim.h"

#include <algorithm>
#include <cstdio>

namespace movarth::sim {

namespace {

// A gap this long inside a frame means its remaining bytes were lost: the part is dropped.
constexpr TTime kFrameGap = std::chrono::milliseconds(50);
// The computer sends a handshake byte on every 50 ms tick until it reads our acknowledgement,
// and its first frame at once after. So a handshake byte that comes this soon after the
// acknowledgement has left crossed it on the line. A later one, before any frame, means the
// computer never took the acknowledgement (it came after the computer had given up, or
// together with another byte) and is asking, still or again: that starts a new exchange.
constexpr TTime kAckCrossing = std::chrono::milliseconds(200);

int GroupValue(std::uint8_t bcd)
{
    return (bcd >> 4) * 10 + (bcd & 0x0F);
}

std::string Hex(std::uint8_t byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", byte);
    return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? " " : "") + Hex(bytes[i]);
    return text;
}

std::string TimeText(int seconds)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

std::string GroupsText(const TFrame& frame, int first)
{
    return Hex(frame[first]) + ":" + Hex(frame[first + 1]) + ":" + Hex(frame[first + 2]);
}

int GroupsSeconds(const TFrame& frame, int first)
{
    return GroupValue(frame[first]) * 3600 + GroupValue(frame[first + 1]) * 60 +
           GroupValue(frame[first + 2]);
}

} // namespace

std::uint8_t Checksum(const TFrame& frame)
{
    int sum = 0;
    for (int i = 1; i <= 6; ++i)
        sum += GroupValue(frame[i]);
    const int remainder = sum % 100;
    return static_cast<std::uint8_t>((remainder / 10) << 4 | remainder % 10);
}

std::string FrameFault(const TFrame& frame)
{
    if (frame[0] != 0x00) return "first byte " + Hex(frame[0]) + " is not 00";
    for (int i = 1; i < 8; ++i)
        if ((frame[i] >> 4) > 9 || (frame[i] & 0x0F) > 9)
            return "byte " + std::to_string(i) + " (" + Hex(frame[i]) + ") is not BCD";
    if (Checksum(frame) != frame[7])
        return "checksum " + Hex(frame[7]) + ", expected " + Hex(Checksum(frame));
    return {};
}

TEntry DecodeEntry(const TFrame& frame)
{
    const int end = (GroupsSeconds(frame, 1) + GroupsSeconds(frame, 4)) % 86400;
    return {frame, GroupsText(frame, 1), GroupsText(frame, 4), TimeText(end)};
}

std::string FormatSchedule(int number, const std::vector<TEntry>& entries)
{
    std::string text =
        "schedule " + std::to_string(number) + ": " + std::to_string(entries.size()) + " entries\n";
    text += "   #  start     length    end       frame\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "  %2zu  %s  %s  %s  %s\n", i + 1,
                      entries[i].start.c_str(), entries[i].length.c_str(), entries[i].end.c_str(),
                      HexBytes(entries[i].frame.data(), 8).c_str());
        text += line;
    }
    return text;
}

TControllerSim::TControllerSim(TAnswerPolicy policy, TTime byteTime)
    : policy_(std::move(policy)), byteTime_(byteTime)
{
}

std::optional<TControllerSim::TAnswer> TControllerSim::Receive(std::uint8_t byte, TTime arrived)
{
    if (!inFrames_) {
        if (byte == kAck) return Handshake(arrived);
        Log(arrived, "byte " + Hex(byte) + " ignored while waiting for the handshake");
        return std::nullopt;
    }

    if (frameBytes_ > 0 && arrived - lastByte_ > byteTime_ + kFrameGap) {
        Log(arrived, "incomplete frame dropped: " + HexBytes(frame_.data(), frameBytes_));
        frameBytes_ = 0;
    }
    lastByte_ = arrived;
    if (frameBytes_ == 0 && byte != 0x00) {
        // Every frame starts with 00, so a 55 here is a handshake byte: one that crossed our
        // acknowledgement, or the computer asking again.
        if (byte == kAck && framesSinceHandshake_ == 0 && arrived < ackLeft_ + kAckCrossing) {
            Log(arrived, "late handshake byte ignored");
            return std::nullopt;
        }
        if (byte == kAck) {
            Log(arrived, framesSinceHandshake_ == 0
                             ? "handshake again: the acknowledgement was not taken"
                             : "handshake again: the download starts anew");
            inFrames_ = false;
            return Handshake(arrived);
        }
        Log(arrived, "byte " + Hex(byte) + " outside a frame ignored");
        return std::nullopt;
    }
    frame_[frameBytes_++] = byte;
    if (frameBytes_ < static_cast<int>(frame_.size())) return std::nullopt;
    frameBytes_ = 0;
    return Frame(arrived);
}

std::optional<TControllerSim::TAnswer> TControllerSim::Handshake(TTime arrived)
{
    const int number = ++handshakeBytes_;
    const std::string name = "handshake " + std::to_string(number);
    if (policy_.silent || muted_) {
        Log(arrived, name + ": no answer");
        return std::nullopt;
    }
    if (arrived < txFree_) {
        Log(arrived, name + ": ignored, still answering");
        return std::nullopt;
    }
    if (policy_.refuseHandshake > 0) {
        --policy_.refuseHandshake;
        Log(arrived, name + ": refused");
        return Answer({kRefuse}, arrived);
    }
    Log(arrived, name + ": acknowledged");
    inFrames_ = true;
    framesSinceHandshake_ = 0;
    frameBytes_ = 0;
    entries_.clear();
    auto answer = Answer({kAck}, arrived);
    ackLeft_ = answer->due;
    return answer;
}

std::optional<TControllerSim::TAnswer> TControllerSim::Frame(TTime arrived)
{
    ++framesSinceHandshake_;
    const int k = static_cast<int>(entries_.size()) + 1;
    const bool confirmation = frame_ == kConfirmation;
    const std::string name = (confirmation ? "confirmation frame " : "frame ") + std::to_string(k) +
                             " [" + HexBytes(frame_.data(), 8) + "]";

    if (policy_.silentAfter && k > *policy_.silentAfter) muted_ = true;
    if (policy_.silent || muted_) {
        Log(arrived, name + ": no answer");
        return std::nullopt;
    }
    if (const std::string fault = FrameFault(frame_); !fault.empty()) {
        ++badFrames_;
        Log(arrived, name + ": " + fault + ": refused");
        return Answer({kRefuse}, arrived);
    }
    if (auto bad = policy_.badAnswer.find(k); bad != policy_.badAnswer.end()) {
        const std::uint8_t byte = bad->second;
        policy_.badAnswer.erase(bad);
        Log(arrived, name + ": answered with " + Hex(byte));
        return Answer({byte}, arrived);
    }
    if (auto refuse = policy_.refuseFrame.find(k);
        refuse != policy_.refuseFrame.end() && refuse->second > 0) {
        --refuse->second;
        Log(arrived, name + ": refused");
        return Answer({kRefuse}, arrived);
    }

    TBytes ack{kAck};
    if (policy_.doubleAnswer.erase(k) > 0) ack = {kAck, kAck};
    Log(arrived, name + (ack.size() > 1 ? ": acknowledged with two bytes" : ": acknowledged"));
    if (!confirmation) {
        entries_.push_back(DecodeEntry(frame_));
        return Answer(std::move(ack), arrived);
    }

    inFrames_ = false;
    ++downloads_;
    const bool valid = !entries_.empty() && entries_.size() <= kMaxEntries;
    if (valid) {
        ++completeSchedules_;
        lastSchedule_ = entries_;
    } else {
        Log(arrived, "schedule of " + std::to_string(entries_.size()) + " entries is not valid");
    }
    if (report_) report_(downloads_, entries_);
    auto answer = Answer(std::move(ack), arrived);
    answer->completesSchedule = valid;
    return answer;
}

std::optional<TControllerSim::TAnswer> TControllerSim::Answer(TBytes bytes, TTime arrived)
{
    const TTime start = std::max(arrived + policy_.delay, txFree_);
    txFree_ = start + byteTime_ * static_cast<long>(bytes.size());
    return TAnswer{std::move(bytes), txFree_, false};
}

void TControllerSim::Log(TTime at, const std::string& text) const
{
    if (log_) log_(at, text);
}

} // namespace movarth::sim
