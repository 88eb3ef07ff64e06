#include "tools/send/PortWait.h"

#include "comm/PosixComm.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#if MOVARTH_DEVICE_EVENTS
#include "comm/UdevEvents.h"
#endif

namespace movarth::send {

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool Exists(const std::string& path)
{
    struct stat status
    {
    };
    return ::stat(path.c_str(), &status) == 0;
}

} // namespace

bool PortIsThere(const std::string& port)
{
    const std::string path = PosixDevicePath(port);
    return !path.empty() && ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

std::unique_ptr<TDeviceEventSource> SystemDeviceEvents()
{
#if MOVARTH_DEVICE_EVENTS
    return OpenDeviceEvents();
#else
    return nullptr; // built without libudev: the name is looked at once a second
#endif
}

TPortWait WaitForPort(const std::string& port, milliseconds timeout, TDeviceEventSource* events,
                      int stopFd, milliseconds checkInterval)
{
    const auto deadline = TClock::now() + timeout;
    auto nextCheck = TClock::now();
    for (;;) {
        const auto now = TClock::now();
        if (now >= nextCheck) {
            if (PortIsThere(port)) return TPortWait::pwThere;
            nextCheck = now + checkInterval;
        }
        if (now >= deadline)
            return Exists(PosixDevicePath(port)) ? TPortWait::pwThere : TPortWait::pwNotThere;
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {events ? events->Descriptor() : -1, POLLIN, 0}};
        const auto wait = std::chrono::ceil<milliseconds>(std::min(nextCheck, deadline) - now);
        if (::poll(fds, 2, static_cast<int>(wait.count())) < 0 && errno != EINTR)
            return TPortWait::pwNotThere;
        if (fds[0].revents != 0) return TPortWait::pwStopped;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            events = nullptr; // a source that broke: the name is still looked at
        } else if (fds[1].revents != 0) {
            const auto announced = events->Receive();
            if (std::any_of(announced.begin(), announced.end(),
                            [&](const TDeviceEvent& event) { return IsPortBack(port, event); }))
                nextCheck = TClock::now();
        }
    }
}

bool PauseUnlessStopped(milliseconds pause, int stopFd)
{
    const auto deadline = TClock::now() + pause;
    for (auto now = TClock::now(); now < deadline; now = TClock::now()) {
        pollfd fd{stopFd, POLLIN, 0};
        const auto wait = std::chrono::ceil<milliseconds>(deadline - now);
        if (::poll(&fd, 1, static_cast<int>(wait.count())) > 0) return false;
    }
    return true;
}

} // namespace movarth::send
