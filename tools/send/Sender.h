#pragma once

#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace movarth::send {

// Exit status of movarth-send.
inline constexpr int kExitSuccess = 0; // every controller confirmed the whole schedule
inline constexpr int kExitFailed = 1;  // a download was tried and failed
inline constexpr int kExitRefused = 2; // bad usage, file or ports: nothing was sent anywhere

// A try that failed is sent again after this pause, unless --retry-pause says otherwise.
inline constexpr int kDefaultRetryPauseSeconds = 5;

// The command line, with the configuration file's settings (--config) where it gives none.
struct TSendOptions
{
    std::string file{};                   // may hold strftime conversions, filled with the date
    std::vector<std::string> fallbacks{}; // tried in order when the file does not exist
    std::vector<std::string> ports{};     // each gets the schedule, one after the other
    int waitSeconds = 0;                  // for each port's device to appear
    int retries = 0;                      // more tries of a port whose download failed
    int retryPauseSeconds = kDefaultRetryPauseSeconds;
    std::string config{};
    bool dryRun = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    bool operator==(const TSendOptions&) const = default;
};

// A command line that cannot be used; what() says why.
class EUsage : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

// The arguments after the program name. Options and the file may come in any order; "--"
// ends the options. With --config FILE, what the command line does not give is read from
// FILE (an EConfigError when it cannot be used).
TSendOptions ParseSendOptions(const std::vector<std::string>& args);
std::string SendHelpText();
std::string SendVersionText();

// The in-place progress line for a gauge at `progress` of `maxValue` (the download's N + 2:
// 1 during the handshake, k + 1 while frame k goes out, N + 2 for the confirmation frame).
std::string ProgressLineText(int progress, int maxValue, const std::string& caption);

// What a run takes from its process.
struct TSendRun
{
    std::time_t started = 0; // its date fills the file names' conversions
    int stopFd = -1;         // readable once a stop signal has come (TStopSignals); -1: none
};

// The whole program: parses `args` (without the program name), then prints help or version,
// lists the serial ports present (--list-ports) or the frames (--dry-run) on `out`, or sends
// the file to each port. Progress and errors go to `err`, rewritten in place when
// `errIsTerminal`. Returns the exit status.
int RunSendCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   bool errIsTerminal, const TSendRun& run);

} // namespace movarth::send
