#pragma once

#include "link/Download.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace movarth::test {

// The controller simulator as a child process: its first output line is the device to open,
// its schedule output is collected from a pipe and its log from a file. Its standard input is
// the test's, or closed.
class TSimProcess
{
public:
    explicit TSimProcess(const std::vector<std::string>& options, bool stdinClosed = false)
    {
        char logName[] = "/tmp/movarth-sim-log-XXXXXX";
        const int logFd = ::mkstemp(logName);
        if (logFd < 0) throw std::runtime_error("mkstemp failed");
        ::close(logFd);
        logPath_ = logName;

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdinClosed) posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logName, O_WRONLY | O_TRUNC,
                                         0600);
        std::vector<std::string> args{MOVARTH_CONTROLLER_SIM};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
        if (error != 0) throw std::runtime_error("cannot start " + args[0]);
        devicePath_ = ReadLine(std::chrono::seconds(20));
    }

    ~TSimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::unlink(logPath_.c_str());
    }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    const std::string& DevicePath() const { return devicePath_; }
    pid_t Pid() const { return pid_; }

    // Waits up to `timeout` for the simulator to end by itself, then asks it to stop (SIGTERM).
    // Returns its exit status.
    int Finish(std::chrono::milliseconds timeout)
    {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGTERM);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        char buffer[4096];
        for (ssize_t n; (n = ::read(out_, buffer, sizeof buffer)) > 0;)
            output_.append(buffer, static_cast<std::size_t>(n));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // After Finish: what it printed after the device path, and its log.
    const std::string& Output() const { return output_; }
    std::string Log() const
    {
        std::string text;
        if (std::FILE* file = std::fopen(logPath_.c_str(), "r")) {
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
                text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }

private:
    std::string ReadLine(std::chrono::milliseconds timeout)
    {
        std::string line;
        for (;;) {
            pollfd pfd{out_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
                throw std::runtime_error("the simulator printed no device path");
            char c = 0;
            if (::read(out_, &c, 1) != 1)
                throw std::runtime_error("the simulator ended before printing its device path");
            if (c == '\n') return line;
            line += c;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string devicePath_;
    std::string logPath_;
    std::string output_;
};

// One entry line of the simulator's schedule output.
struct TReceivedEntry
{
    std::string start;
    std::string length;
    TFrame frame;
};

// The entries of the schedules in the simulator's output, in order.
inline std::vector<TReceivedEntry> ParseSchedule(const std::string& output)
{
    std::vector<TReceivedEntry> entries;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        int number = 0;
        char start[16], length[16], end[16];
        unsigned b[8];
        if (std::sscanf(line.c_str(), " %d %15s %15s %15s %x %x %x %x %x %x %x %x", &number, start,
                        length, end, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 12)
            continue;
        TReceivedEntry entry{start, length, {}};
        std::transform(b, b + 8, entry.frame.begin(),
                       [](unsigned v) { return static_cast<std::uint8_t>(v); });
        entries.push_back(entry);
    }
    return entries;
}

// Times (ms since the simulator started) of the log lines that contain `event`.
inline std::vector<double> EventTimes(const std::string& log, const std::string& event)
{
    std::vector<double> times;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        double ms = 0;
        if (line.find(event) != std::string::npos && std::sscanf(line.c_str(), "%lf", &ms) == 1)
            times.push_back(ms);
    }
    return times;
}

} // namespace movarth::test
