#include "RxTrigger.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace movarth {

namespace {

// The attribute's value without its line end; empty when it cannot be read.
std::string ReadAttribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    char text[32];
    const ssize_t got = ::read(fd, text, sizeof text);
    ::close(fd);
    if (got <= 0) return {};
    std::string value(text, static_cast<std::size_t>(got));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

bool WriteAttribute(const std::string& path, const std::string& value)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const bool written = ::write(fd, value.data(), value.size()) == ssize_t(value.size());
    return ::close(fd) == 0 && written;
}

bool IsCount(const std::string& text)
{
    return !text.empty() && text.size() <= 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

TRxTriggerChange LowerRxTrigger(int fd, const std::string& sysfsRoot)
{
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return {};
    const std::string attribute = sysfsRoot + "/dev/char/" + std::to_string(major(status.st_rdev)) +
                                  ":" + std::to_string(minor(status.st_rdev)) + "/rx_trig_bytes";
    const std::string previous = ReadAttribute(attribute);
    if (!IsCount(previous) || previous == "1" || !WriteAttribute(attribute, "1")) return {};
    return {attribute, previous};
}

void RestoreRxTrigger(const TRxTriggerChange& change)
{
    if (!change.attribute.empty()) (void)WriteAttribute(change.attribute, change.previous);
}

} // namespace movarth
