#pragma once

#include "tools/ControllerSim.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace movarth::sim {

// 2400 bit/s with a start bit, 8 data bits and a stop bit: one byte every 4.17 ms.
inline constexpr TTime kLineByteTime = std::chrono::nanoseconds(10'000'000'000LL / 2400);

struct TSimOptions
{
    TAnswerPolicy policy;
    bool pacing = true;
    int noise = 0;      // bytes of line noise sent just before the first answer
    std::string device; // empty: a new pseudo-terminal
    bool once = false;  // end after the first complete schedule, once the tool lets go
    std::optional<std::chrono::milliseconds> timeout;
    bool verbose = false; // also log every byte
    bool help = false;
};

// A command line that cannot be used; what() says why.
class EUsage : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

TSimOptions ParseOptions(const std::vector<std::string>& args);
std::string HelpText(const std::string& program);

// The controller's end of the serial line: a new pseudo-terminal, whose other end the tool
// opens, or a serial device. Raw, 2400 bit/s, 8N1. Throws std::system_error.
class TSimLine
{
public:
    explicit TSimLine(const std::string& device = {});
    ~TSimLine();
    TSimLine(const TSimLine&) = delete;
    TSimLine& operator=(const TSimLine&) = delete;

    // The device the tool should open.
    const std::string& Path() const { return path_; }
    int Fd() const { return fd_; }
    // Waits, at most `timeout`, until what was written has reached the other end: the tool has
    // read it from the pseudo-terminal, or the device has sent it. Closing a pseudo-terminal
    // throws away what the tool has not read yet.
    void Drain(std::chrono::milliseconds timeout);
    // Waits until the tool has closed its end of the pseudo-terminal, so that closing ours then
    // loses nothing it has still to read; or, on a serial device, until what was written has
    // been sent. Gives up when `giveUp` returns true (asked about every 100 ms). What arrives
    // meanwhile is read and dropped. The line does not stay up for a later opening.
    void AwaitClose(const std::function<bool()>& giveUp);

private:
    int fd_ = -1;
    // The pseudo-terminal's own end, kept open so that the line stays up while the tool has it
    // closed.
    int peerFd_ = -1;
    std::string path_;
};

// Plays the controller on the line until `stop`, the timeout, or (with `once`) the first
// complete schedule, after which it waits for the tool to close its end (until `stop` or the
// timeout). Prints each schedule received on `out`, and the exchange on `log` (either may be
// null). Returns 0 when a complete, valid schedule arrived and its last answer was written,
// 1 otherwise.
int RunController(TSimLine& line, const TSimOptions& options, std::FILE* out, std::FILE* log,
                  const std::atomic<bool>& stop);

} // namespace movarth::sim
