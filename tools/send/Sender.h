#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace movarth::send {

// Exit status of movarth-send.
inline constexpr int kExitSuccess = 0; // the controller confirmed the whole schedule
inline constexpr int kExitFailed = 1;  // the download was tried and failed
inline constexpr int kExitRefused = 2; // bad usage, file or port: nothing was sent

struct TSendOptions
{
    std::string file{};
    std::string port{};
    bool dryRun = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listPorts = false;
};

// A command line that cannot be used; what() says why.
class EUsage : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

// The arguments after the program name. Options and the file may come in any order; "--"
// ends the options.
TSendOptions ParseSendOptions(const std::vector<std::string>& args);
std::string SendHelpText();
std::string SendVersionText();

// The in-place progress line for a gauge at `progress` of `maxValue` (the download's N + 2:
// 1 during the handshake, k + 1 while frame k goes out, N + 2 for the confirmation frame).
std::string ProgressLineText(int progress, int maxValue, const std::string& caption);

// The whole program: parses `args` (without the program name), then prints help or version,
// lists the serial ports present (--list-ports) or the frames (--dry-run) on `out`, or sends
// the file. Progress and errors go to `err`,
// rewritten in place when `errIsTerminal`. Returns the exit status.
int RunSendCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   bool errIsTerminal);

} // namespace movarth::send
