#include "tools/send/TodaysFile.h"

#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>

namespace movarth::send {

namespace {
constexpr std::size_t kMaxNameBytes = 64 * 1024;
}

std::string FillDate(const std::string& pattern, const std::tm& date)
{
    if (pattern.find('%') == std::string::npos) return pattern;
    // strftime returns 0 both for a buffer too small and for an empty result: a character
    // after the pattern keeps the result from being empty, and is taken off again.
    const std::string format = pattern + "!";
    for (std::size_t size = 2 * format.size() + 64; size <= kMaxNameBytes; size *= 2) {
        std::string filled(size, '\0');
        if (const std::size_t length = std::strftime(filled.data(), size, format.c_str(), &date)) {
            filled.resize(length - 1);
            return filled;
        }
    }
    // A width such as %9999999Y: no file has such a name.
    throw std::length_error("'" + pattern + "' makes a name longer than " +
                            std::to_string(kMaxNameBytes) + " bytes");
}

TScheduleChoice ChooseScheduleFile(const std::vector<std::string>& patterns, const std::tm& date)
{
    TScheduleChoice choice;
    for (const std::string& pattern : patterns) {
        const std::string path = FillDate(pattern, date);
        struct stat status
        {
        };
        if (::stat(path.c_str(), &status) != 0 && errno == ENOENT) {
            choice.missing.push_back(path);
            continue;
        }
        choice.path = path;
        break;
    }
    return choice;
}

} // namespace movarth::send
