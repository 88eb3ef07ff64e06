#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace movarth::send {

// The settings one source gives, a command line or a configuration file: what it does not
// give stays unset (or empty), so that the command line's override the file's.
struct TSendSettings
{
    std::optional<std::string> file{}; // the schedule file, or a pattern of names
    std::vector<std::string> fallbacks{};
    std::vector<std::string> ports{};
    std::optional<int> waitSeconds{};       // wait-for-device
    std::optional<int> retries{};           // retries
    std::optional<int> retryPauseSeconds{}; // retry-pause
    std::optional<int> timeOfDay{};         // time: seconds after midnight (the timer's)
};

// Sets the setting `key` ("file", "fallback", "port", "wait-for-device", "retries",
// "retry-pause", "time") from its text. `name` is how the source calls it in a message
// ("--retries", "retries"). Throws std::invalid_argument saying what is wrong: a value out of
// range, a setting given twice (ports and fallbacks may be repeated; the same port twice may
// not), an unknown key.
void ApplySetting(TSendSettings& settings, const std::string& key, const std::string& value,
                  const std::string& name);

// A configuration file that cannot be used; what() names the file, and the line where one is
// at fault.
class EConfigError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Reads a configuration file: "key = value" lines with the keys of ApplySetting, blank lines,
// and comment lines whose first character other than a blank is "#". A file or fallback must
// be an absolute path or begin with "~/", the home folder. At most 64 KiB, a regular file.
TSendSettings ReadSendConfig(const std::string& path);

// Where the installed units keep the configurations, <instance>.conf:
// $XDG_CONFIG_HOME/movarth/send, with ~/.config for an unset or relative XDG_CONFIG_HOME.
// Empty when the user has no home folder.
std::string DefaultSendConfigFolder();

// The timer unit of an instance, and the drop-in that makes it fire at `timeOfDay` (seconds
// after midnight) instead of the template's time.
std::string TimerUnitName(const std::string& instance);
inline constexpr const char* kTimerDropInName = "10-time.conf";
std::string TimerDropIn(int timeOfDay, const std::string& configPath);

// The systemd generator's work: for each <instance>.conf in `configFolder` that sets a time,
// writes <unitFolder>/movarth-send@<instance>.timer.d/10-time.conf. Returns a message for each
// configuration that could not be used (its timer then keeps the template's time).
std::vector<std::string> WriteTimerDropIns(const std::string& configFolder,
                                           const std::string& unitFolder);

} // namespace movarth::send
