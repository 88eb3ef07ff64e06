#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace movarth::sim {

using TFrame = std::array<std::uint8_t, 8>;
using TBytes = std::vector<std::uint8_t>;
// Time since the simulator started.
using TTime = std::chrono::nanoseconds;

inline constexpr std::uint8_t kAck = 0x55;
inline constexpr std::uint8_t kRefuse = 0xAA;
inline constexpr TFrame kConfirmation{0x00, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x94};
inline constexpr int kMaxEntries = 31;

// How the simulated controller answers. Frames are numbered by their place in a download:
// 1 to N the entries, N + 1 the confirmation frame. Every count is spent once over the
// simulator's run, not once per download.
struct TAnswerPolicy
{
    int refuseHandshake = 0;               // refuse the first n handshake bytes
    std::map<int, int> refuseFrame;        // frame k: refuse its first m arrivals
    std::optional<int> silentAfter;        // answer nothing once frame k was acknowledged
    bool silent = false;                   // never answer
    std::map<int, std::uint8_t> badAnswer; // frame k: answer it once with this byte
    std::set<int> doubleAnswer;            // frame k: acknowledge it once with two bytes
    std::chrono::milliseconds delay{0};    // from the end of a received byte or frame
};

// One entry as the controller decodes it.
struct TEntry
{
    TFrame frame;
    std::string start;  // "hh:mm:ss"
    std::string length; // "hh:mm:ss"
    std::string end;    // start + length, modulo 24 hours
};

// The decimal checksum of bytes 1 to 6 (each a two-digit BCD group), packed as BCD.
std::uint8_t Checksum(const TFrame& frame);
// Why a frame is not a well-formed frame (first byte not 0, a nibble above 9, a wrong
// checksum), or empty.
std::string FrameFault(const TFrame& frame);
TEntry DecodeEntry(const TFrame& frame);
// The received schedule as a table: a heading line, then one line per entry with start,
// length, end and the frame's bytes in hex.
std::string FormatSchedule(int number, const std::vector<TEntry>& entries);

// The controller's side of the download, fed byte by byte with the time at which each byte
// has fully arrived on the line. It answers each handshake byte and each 8-byte frame as its
// policy says, and computes when each answer has fully left on the line (so a pacing caller
// writes it then). Pure logic: it does no I/O and reads no clock.
class TControllerSim
{
public:
    struct TAnswer
    {
        TBytes bytes;
        TTime due;                      // write the answer at this time
        bool completesSchedule = false; // it acknowledges the confirmation of a valid schedule
    };
    using TLog = std::function<void(TTime at, const std::string& text)>;
    using TScheduleReport = std::function<void(int number, const std::vector<TEntry>& entries)>;

    // byteTime: how long one byte takes on the line (0: no pacing).
    TControllerSim(TAnswerPolicy policy, TTime byteTime);

    std::optional<TAnswer> Receive(std::uint8_t byte, TTime arrived);

    void SetLog(TLog log) { log_ = std::move(log); }
    // Called when the confirmation frame has been acknowledged.
    void SetScheduleReport(TScheduleReport report) { report_ = std::move(report); }

    // Downloads whose confirmation frame got its acknowledgement (decided, maybe not yet
    // written) after 1 to 31 valid entries.
    int CompleteSchedules() const { return completeSchedules_; }
    const std::vector<TEntry>& LastSchedule() const { return lastSchedule_; }
    int HandshakeBytes() const { return handshakeBytes_; }
    int BadFrames() const { return badFrames_; }

private:
    std::optional<TAnswer> Handshake(TTime arrived);
    std::optional<TAnswer> Frame(TTime arrived);
    std::optional<TAnswer> Answer(TBytes bytes, TTime arrived);
    void Log(TTime at, const std::string& text) const;

    TAnswerPolicy policy_;
    TTime byteTime_;
    TLog log_;
    TScheduleReport report_;

    bool inFrames_ = false; // handshake acknowledged: frames expected
    bool muted_ = false;    // silentAfter has struck: no more answers
    int framesSinceHandshake_ = 0;
    TFrame frame_{};
    int frameBytes_ = 0;
    TTime lastByte_{};
    TTime txFree_{};  // when the line towards the computer is free again
    TTime ackLeft_{}; // when the last handshake acknowledgement has fully left
    std::vector<TEntry> entries_;

    int handshakeBytes_ = 0;
    int downloads_ = 0; // confirmation frames acknowledged
    int badFrames_ = 0;
    int completeSchedules_ = 0;
    std::vector<TEntry> lastSchedule_;
};

} // namespace movarth::sim
