#include "SerialSync.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace movarth {

THandleObject::~THandleObject()
{
    if (handle_ >= 0) ::close(handle_);
}

TWaitResult TEvent::WaitFor(int timeoutMs)
{
    if (Handle() < 0) { // poll() would skip a negative descriptor and report a time-out
        SetLastError(EBADF);
        return wrError;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd entry{Handle(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeoutMs < 0 ? -1 : wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            SetLastError(errno);
            return wrError;
        }
        if (ready == 0) return wrTimeout;
        if (entry.revents & POLLIN) return wrSignaled;
        SetLastError(entry.revents & POLLNVAL ? EBADF : EIO);
        return wrError;
    }
}

void TEvent::SetEvent()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(Handle(), &one, sizeof one);
}

void TEvent::ResetEvent()
{
    std::uint64_t count = 0; // non-blocking: a read of an unsignalled event just fails
    [[maybe_unused]] const auto read = ::read(Handle(), &count, sizeof count);
}

namespace {
int NewEventFd()
{
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}
} // namespace

TSimpleEvent::TSimpleEvent() : TEvent(NewEventFd()) {}

} // namespace movarth
