#pragma once

// movarth-send as the tests run it: the built program as a child process, and the schedule
// files they give it.

#include "comm/SerialPorts.h"
#include "schedule/TimeText.h"
#include "tests/support/TextFiles.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace movarth::test {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// movarth-send as a child process: its standard output and error go to files, read once it
// has ended, or to descriptors of the test's, or are closed.
class TSenderProcess
{
public:
    struct TResult
    {
        int status = -1; // the exit status; -1 when it did not end by itself
        std::string out;
        std::string err;
    };
    static constexpr int kToFile = -1;
    static constexpr int kClosed = -2;

    explicit TSenderProcess(const std::vector<std::string>& args, int errFd = kToFile,
                            int outFd = kToFile, const std::string& program = MOVARTH_SEND)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        const auto route = [&](int fd, int target, const std::string& path) {
            if (target == kClosed)
                posix_spawn_file_actions_addclose(&actions, fd);
            else if (target >= 0)
                posix_spawn_file_actions_adddup2(&actions, target, fd);
            else
                posix_spawn_file_actions_addopen(&actions, fd, path.c_str(),
                                                 O_WRONLY | O_CREAT | O_TRUNC, 0600);
        };
        route(STDOUT_FILENO, outFd, outPath_);
        route(STDERR_FILENO, errFd, errPath_);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) throw std::runtime_error("cannot start " + all[0]);
    }
    ~TSenderProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove(outPath_);
        std::filesystem::remove(errPath_);
    }
    TSenderProcess(const TSenderProcess&) = delete;
    TSenderProcess& operator=(const TSenderProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // Waits up to `timeout` for the end, then kills it.
    TResult Wait(std::chrono::milliseconds timeout)
    {
        int status = 0;
        const auto deadline = TSteady::now() + timeout;
        bool ended = false;
        while (!(ended = ::waitpid(pid_, &status, WNOHANG) == pid_) && TSteady::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        return {ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(outPath_),
                ReadAll(errPath_)};
    }

private:
    static std::string TempPath(const char* what)
    {
        return (std::filesystem::temp_directory_path() /
                ("movarth-send-" + std::string(what) + "-" + std::to_string(::getpid()) + "-" +
                 std::to_string(counter_++)))
            .string();
    }

    static inline int counter_ = 0;
    std::string outPath_ = TempPath("out");
    std::string errPath_ = TempPath("err");
    pid_t pid_ = -1;
};

inline TSenderProcess::TResult RunSender(const std::vector<std::string>& args)
{
    return TSenderProcess(args).Wait(60s);
}

// What movarth-send says after "no such device": the serial ports this machine has.
inline std::string PortsHere()
{
    std::string names;
    for (const TSerialPort& port : ListSerialPorts())
        names += (names.empty() ? "" : ", ") + port.name;
    return names.empty() ? ", and no serial ports were found"
                         : "; serial ports here: " + names + " (--list-ports says what each is)";
}

// A process's name, as the system keeps it.
inline std::string ProgramName(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

struct TEntry
{
    std::string start;
    std::string length;
};

// A schedule file's bytes as the window saves them: "start length end" and CR LF per entry.
inline std::string ScheduleBytes(const std::vector<TEntry>& entries)
{
    std::string bytes;
    for (const auto& e : entries)
        bytes += e.start + " " + e.length + " " +
                 SecondsToTimeText(TimeTextToSeconds(e.start) + TimeTextToSeconds(e.length)) +
                 "\r\n";
    return bytes;
}

// `count` entries in descending start order, which the window's add would have sorted the
// other way: the file's own order is the order on the line.
inline std::vector<TEntry> DescendingEntries(int count)
{
    std::vector<TEntry> entries;
    for (int k = 1; k <= count; ++k)
        entries.push_back({SecondsToTimeText(86399 - k * 2011), SecondsToTimeText(k * 97 + 5)});
    return entries;
}

// A test folder, where the send history of the runs goes too.
class TSenderFolderTest : public ::testing::Test
{
protected:
    // The send history of the runs goes to the test's own folder.
    TSenderFolderTest() { ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1); }
    ~TSenderFolderTest() override
    {
        ::unsetenv("XDG_STATE_HOME");
        std::filesystem::remove_all(dir_);
    }

    std::string HistoryPath() const { return (dir_ / "state/movarth/send-history.log").string(); }

    std::string WriteFile(const std::string& name, const std::string& bytes)
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::filesystem::path dir_ = [] {
        char name[] = "/tmp/movarth-send-test-XXXXXX";
        if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(name);
    }();
};

} // namespace movarth::test
