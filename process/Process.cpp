#include "process/Process.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace movarth {

void OpenStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is the one missing, since the lower ones are open.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd) std::_Exit(71);
    }
}

namespace {

constexpr std::array<int, 3> kStopSignals{SIGTERM, SIGINT, SIGHUP};

static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");
std::atomic<int> received{0};
std::atomic<int> pipeWriteFd{-1};
std::array<struct sigaction, kStopSignals.size()> previous{};
struct sigaction previousPipe
{
};

extern "C" void RecordStopSignal(int signo)
{
    const int savedErrno = errno;
    int none = 0;
    received.compare_exchange_strong(none, signo);
    const unsigned char byte = static_cast<unsigned char>(signo);
    // Non-blocking: a full pipe already wakes its watcher.
    [[maybe_unused]] const ssize_t written = ::write(pipeWriteFd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

TStopSignals::TStopSignals()
{
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) readFd_ = fds[0];
    pipeWriteFd.store(fds[1]);
    received.store(0);

    struct sigaction action
    {
    };
    action.sa_handler = RecordStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signo : kStopSignals)
        sigaddset(&action.sa_mask, signo);
    // Interrupted reads and writes go on; waits that may not restart (poll) see EINTR, which
    // every wait of the system takes as "look again".
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        ::sigaction(kStopSignals[i], &action, &previous[i]);

    struct sigaction ignore
    {
    };
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previousPipe);
}

TStopSignals::~TStopSignals()
{
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        ::sigaction(kStopSignals[i], &previous[i], nullptr);
    ::sigaction(SIGPIPE, &previousPipe, nullptr);
    const int writeFd = pipeWriteFd.exchange(-1);
    if (writeFd >= 0) ::close(writeFd);
    if (readFd_ >= 0) ::close(readFd_);
    received.store(0);
}

int TStopSignals::Received()
{
    return received.load();
}

void TStopSignals::Drain()
{
    unsigned char buffer[64];
    while (::read(readFd_, buffer, sizeof buffer) > 0) {
    }
}

std::string SignalName(int signo)
{
    switch (signo) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signo);
    }
}

} // namespace movarth
