#include "process/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace movarth {
namespace {

// Runs `body` in a forked child and returns the text it reports; the child's own descriptors
// and signal dispositions change nothing here.
std::string InChild(const std::function<std::string()>& body)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string text = body();
        [[maybe_unused]] const ssize_t n = ::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return text + " (child died with status " + std::to_string(status) + ")";
    return text;
}

std::string Target(int fd)
{
    char path[64];
    char target[256] = {};
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(path, target, sizeof target - 1);
    return n < 0 ? std::string("closed") : std::string(target, static_cast<std::size_t>(n));
}

TEST(StandardDescriptors, EachClosedOneOpensOnDevNullAndTheOthersStay)
{
    const struct
    {
        const char* closed; // which of 0, 1, 2 the program starts without
        const char* expected;
    } cases[] = {
        {"012", "/dev/null /dev/null /dev/null"},
        {"2", "kept kept /dev/null"},
        {"1", "kept /dev/null kept"},
        {"02", "/dev/null kept /dev/null"},
        {"", "kept kept kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.closed);
        EXPECT_EQ(InChild([&] {
                      // Each standard descriptor is first a pipe of its own, so "kept" can be told.
                      std::string before[3];
                      for (int fd = 0; fd <= 2; ++fd) {
                          int p[2];
                          if (::pipe(p) != 0) return std::string("pipe failed");
                          ::dup2(p[fd == 0 ? 0 : 1], fd);
                          ::close(p[0]);
                          ::close(p[1]);
                          before[fd] = Target(fd);
                      }
                      for (const char* c2 = c.closed; *c2 != '\0'; ++c2)
                          ::close(*c2 - '0');
                      OpenStandardDescriptors();
                      // What opens next must not land on 0 to 2.
                      const int next = ::open("/dev/zero", O_RDONLY);
                      std::string seen;
                      for (int fd = 0; fd <= 2; ++fd) {
                          const std::string now = Target(fd);
                          seen += (fd ? " " : "") + (now == before[fd] ? std::string("kept") : now);
                      }
                      if (next <= 2) seen += " and the next file opened as " + std::to_string(next);
                      return seen;
                  }),
                  c.expected);
    }
}

TEST(StopSignals, TheFirstStopSignalIsRecordedAndWakesThePipe)
{
    TStopSignals signals;
    EXPECT_EQ(TStopSignals::Received(), 0);
    pollfd entry{signals.ReadFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 0), 0);

    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
    EXPECT_EQ(TStopSignals::Received(), SIGINT) << "the first one counts";
    EXPECT_EQ(::poll(&entry, 1, 0), 1);
    signals.Drain();
    EXPECT_EQ(::poll(&entry, 1, 0), 0);
}

TEST(StopSignals, APipeNobodyReadsFailsTheWriteInsteadOfEndingTheProgram)
{
    TStopSignals signals;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
}

TEST(StopSignals, WithoutTheObjectTheDefaultsAreBack)
{
    EXPECT_EQ(InChild([] {
                  {
                      TStopSignals signals;
                  }
                  ::raise(SIGTERM);
                  return std::string("survived");
              }),
              " (child died with status " + std::to_string(SIGTERM) + ")");
    EXPECT_EQ(TStopSignals::Received(), 0);
}

TEST(StopSignals, NamesOfTheSignals)
{
    EXPECT_EQ(SignalName(SIGTERM), "SIGTERM");
    EXPECT_EQ(SignalName(SIGINT), "SIGINT");
    EXPECT_EQ(SignalName(SIGHUP), "SIGHUP");
    EXPECT_EQ(SignalName(SIGUSR1), "signal " + std::to_string(SIGUSR1));
}

} // namespace
} // namespace movarth
