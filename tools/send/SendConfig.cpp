#include "tools/send/SendConfig.h"

#include "link/SendHistory.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth::send {

namespace {

namespace fs = std::filesystem;

constexpr off_t kMaxConfigBytes = 64 * 1024;

int WholeNumber(const std::string& text, int max, const std::string& name)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0 ||
        value > max)
        throw std::invalid_argument(name + ": '" + text + "' is not a whole number from 0 to " +
                                    std::to_string(max));
    return value;
}

// "hh:mm" or "hh:mm:ss", two digits each, as seconds after midnight.
int TimeOfDay(const std::string& text, const std::string& name)
{
    const auto two = [&](std::size_t at, int max) {
        const bool digits = std::isdigit(static_cast<unsigned char>(text[at])) &&
                            std::isdigit(static_cast<unsigned char>(text[at + 1]));
        const int value = digits ? (text[at] - '0') * 10 + (text[at + 1] - '0') : max + 1;
        return value <= max ? value : -1;
    };
    const bool shaped =
        (text.size() == 5 || (text.size() == 8 && text[5] == ':')) && text[2] == ':';
    const int hours = shaped ? two(0, 23) : -1;
    const int minutes = shaped ? two(3, 59) : -1;
    const int seconds = shaped && text.size() == 8 ? two(6, 59) : 0;
    if (hours < 0 || minutes < 0 || seconds < 0)
        throw std::invalid_argument(name + ": '" + text +
                                    "' is not a time of day (hh:mm or hh:mm:ss)");
    return hours * 3600 + minutes * 60 + seconds;
}

template <typename T> void SetOnce(std::optional<T>& setting, T value, const std::string& name)
{
    if (setting) throw std::invalid_argument(name + " is given twice");
    setting = std::move(value);
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The whole text of a regular file of at most kMaxConfigBytes. A FIFO or a device is not
// read (it could hold the run for ever, or without end).
std::string ReadConfigText(const std::string& path)
{
    const auto failure = [&](const std::string& why) {
        return EConfigError("cannot read the configuration file " + path + ": " + why);
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw failure(std::strerror(errno));
    struct stat status
    {
    };
    std::string text;
    std::string why;
    if (::fstat(fd, &status) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        why = "not a regular file";
    else if (status.st_size > kMaxConfigBytes)
        why = "larger than 64 KiB";
    char buffer[4096];
    for (ssize_t n; why.empty() && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            why = std::strerror(errno);
        else
            text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kMaxConfigBytes)) why = "larger than 64 KiB";
    }
    ::close(fd);
    if (!why.empty()) throw failure(why);
    return text;
}

// A unit's instance name that needs no escaping: the configuration file's name is then the
// instance's as it is typed.
bool IsPlainInstanceName(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_.:", c) != nullptr;
    });
}

} // namespace

void ApplySetting(TSendSettings& settings, const std::string& key, const std::string& value,
                  const std::string& name)
{
    if (key == "file") {
        SetOnce(settings.file, value, name);
    } else if (key == "fallback") {
        settings.fallbacks.push_back(value);
    } else if (key == "port") {
        if (std::find(settings.ports.begin(), settings.ports.end(), value) != settings.ports.end())
            throw std::invalid_argument("the port '" + value + "' is given twice");
        settings.ports.push_back(value);
    } else if (key == "wait-for-device") {
        SetOnce(settings.waitSeconds, WholeNumber(value, 86400, name), name);
    } else if (key == "retries") {
        SetOnce(settings.retries, WholeNumber(value, 99, name), name);
    } else if (key == "retry-pause") {
        SetOnce(settings.retryPauseSeconds, WholeNumber(value, 3600, name), name);
    } else if (key == "time") {
        SetOnce(settings.timeOfDay, TimeOfDay(value, name), name);
    } else {
        throw std::invalid_argument("unknown key '" + key + "'");
    }
}

TSendSettings ReadSendConfig(const std::string& path)
{
    const std::string text = ReadConfigText(path);
    TSendSettings settings;
    std::size_t lineNumber = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.ends_with('\r')) line.pop_back();
        line = Trimmed(line);
        if (line.empty() || line.starts_with('#')) continue;
        try {
            const auto equals = line.find('=');
            const std::string key = Trimmed(line.substr(0, std::min(equals, line.size())));
            if (equals == std::string::npos || key.empty())
                throw std::invalid_argument("expected 'key = value', not '" + line + "'");
            std::string value = Trimmed(line.substr(equals + 1));
            if (value.empty()) throw std::invalid_argument(key + " needs a value");
            if (key == "file" || key == "fallback") {
                if (value.starts_with("~/")) value = HomeFolder() + value.substr(1);
                if (!value.starts_with('/'))
                    throw std::invalid_argument(key + ": '" + value +
                                                "' is neither an absolute path nor begins "
                                                "with ~/");
            }
            ApplySetting(settings, key, value, key);
        } catch (const std::invalid_argument& e) {
            throw EConfigError(path + ": line " + std::to_string(lineNumber) + ": " + e.what());
        }
    }
    return settings;
}

std::string DefaultSendConfigFolder()
{
    // The XDG base directory rules: a relative XDG_CONFIG_HOME is to be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/movarth/send";
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.config/movarth/send";
}

std::string TimerUnitName(const std::string& instance)
{
    return "movarth-send@" + instance + ".timer";
}

std::string TimerDropIn(int timeOfDay, const std::string& configPath)
{
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", timeOfDay / 3600, timeOfDay / 60 % 60,
                  timeOfDay % 60);
    // The empty OnCalendar= drops the template's time, so that the timer fires once a day.
    return "# Made by movarth-send-generator from the time in " + configPath +
           "\n[Timer]\nOnCalendar=\nOnCalendar=*-*-* " + time + "\n";
}

std::vector<std::string> WriteTimerDropIns(const std::string& configFolder,
                                           const std::string& unitFolder)
{
    std::vector<fs::path> configs;
    std::error_code error;
    std::error_code statError; // an entry that cannot be looked at is no configuration
    // The non-throwing increment: a folder that fails part-way still gives what it listed.
    for (fs::directory_iterator it(configFolder, error), end; !error && it != end;
         it.increment(error))
        if (it->path().extension() == ".conf" && it->is_regular_file(statError))
            configs.push_back(it->path());
    std::sort(configs.begin(), configs.end());

    std::vector<std::string> messages;
    for (const fs::path& config : configs) {
        const std::string instance = config.stem().string();
        if (!IsPlainInstanceName(instance)) {
            messages.push_back(config.string() + ": '" + instance +
                               "' cannot name a timer (letters, digits and - _ . : only)");
            continue;
        }
        try {
            const TSendSettings settings = ReadSendConfig(config.string());
            if (!settings.timeOfDay) continue;
            const fs::path folder = fs::path(unitFolder) / (TimerUnitName(instance) + ".d");
            fs::create_directories(folder);
            std::ofstream dropIn(folder / kTimerDropInName, std::ios::binary | std::ios::trunc);
            dropIn << TimerDropIn(*settings.timeOfDay, config.string());
            if (!dropIn.flush())
                messages.push_back("cannot write " + (folder / kTimerDropInName).string());
        } catch (const std::exception& e) {
            messages.push_back(e.what());
        }
    }
    return messages;
}

} // namespace movarth::send
