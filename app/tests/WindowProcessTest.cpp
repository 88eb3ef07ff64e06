// The window as it runs: the program and the window driver (WindowDriverMain.cpp) as child
// processes, stopped by signals, started without standard descriptors, or cut off from their
// display, with the serial port that they hold looked at from outside.
#include "comm/PosixComm.h"
#include "comm/SerialComm.h"
#include "tests/support/AsOrdinaryUser.h"
#include "tests/support/SilentLine.h"
#include "tests/support/TemporaryGroup.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace movarth {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// A child process with the test's environment and some variables of its own. Its standard
// output is read line by line from a pipe; its standard error goes to the test's, or all three
// standard descriptors are closed.
class TChild
{
public:
    TChild(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
           bool standardClosed = false)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        out_ = out[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (standardClosed) {
            for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
                posix_spawn_file_actions_addclose(&actions, fd);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        }
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (!env.contains(text.substr(0, text.find('=')))) environment.push_back(text);
        }
        for (const auto& [name, value] : env)
            environment.push_back(name + "=" + value);
        std::vector<std::string> argv = args;
        const int error = ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr,
                                        Pointers(argv).data(), Pointers(environment).data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (error != 0) throw std::runtime_error("cannot start " + args[0]);
    }
    ~TChild()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of its standard output; empty when none came in time.
    std::string ReadLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = TSteady::now() + timeout;
        std::string line;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSteady::now());
            pollfd entry{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                return {};
            char c = 0;
            if (::read(out_, &c, 1) != 1) return {};
            if (c == '\n') return line;
            line += c;
        }
    }

    // Its exit status; "killed" when a signal ended it, "hung" when it did not end in time.
    std::string Wait(std::chrono::milliseconds timeout)
    {
        int status = 0;
        const auto deadline = TSteady::now() + timeout;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (TSteady::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return "hung";
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "killed";
    }

private:
    static std::vector<char*> Pointers(std::vector<std::string>& texts)
    {
        std::vector<char*> pointers;
        for (auto& text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    pid_t pid_ = -1;
    int out_ = -1;
};

// A folder of the calling user's for one test: settings, schedule files, home.
struct TScratch
{
    TScratch()
    {
        char name[] = "/tmp/movarth-window-XXXXXX";
        if (::mkdtemp(name) != nullptr) path = name;
    }
    ~TScratch()
    {
        std::error_code error;
        if (!path.empty()) std::filesystem::remove_all(path, error);
    }
    // The window's environment: its settings here, no display but the one given.
    std::map<std::string, std::string> Environment(const std::string& platform = "offscreen",
                                                   const std::string& display = "") const
    {
        return {{"MOVARTH_SETTINGS_DIR", path + "/settings"},
                {"HOME", path},
                {"QT_QPA_PLATFORM", platform},
                {"DISPLAY", display},
                {"WAYLAND_DISPLAY", ""}};
    }
    std::string path;
};

bool LockFileLeft(const std::string& device)
{
    const std::string folder = DefaultLockDirectory();
    return !folder.empty() && std::filesystem::exists(folder + "/" + LockFileName(device));
}

std::string Exclusive(int terminal)
{
    int exclusive = -1;
    if (::ioctl(terminal, TIOCGEXCL, &exclusive) != 0) return "unknown";
    return exclusive ? "exclusive" : "not exclusive";
}

bool SameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b);
}

// SIGTERM (systemd stopping a unit, a logout), SIGINT (Ctrl-C) and SIGHUP (the terminal
// closed) end the window during a download as the exit button would: the port is given back,
// so that, as an ordinary user whom an exclusive mode left behind would lock out, the next run
// opens it at once. The status is 128 + the signal's number.
TEST(WindowProcess, AStopSignalDuringADownloadEndsTheWindowAndTheNextRunOpensThePortAtOnce)
{
    const test::TProgramCopy driver(MOVARTH_WINDOW_DRIVER);
    ASSERT_FALSE(driver.Path().empty());
    for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        const std::string seen = test::AsOrdinaryUser([&] {
            const TScratch scratch;
            test::TSilentLine line;
            std::string report;
            for (int run = 1; run <= 2; ++run) {
                TChild window({driver.Path(), "--send", line.Path()}, scratch.Environment());
                const std::string said = window.ReadLine(30s);
                const bool sending = said == "sending" && line.AwaitHandshakes(2, 20s);
                ::kill(window.Pid(), signo);
                const std::string status = window.Wait(30s);
                report += "run " + std::to_string(run) + ": " + (sending ? "sending" : said) +
                          ", status " + status + "\n";
                if (!sending || status != std::to_string(128 + signo)) return report;
            }
            return report + (LockFileLeft(line.Path()) ? "a lock file left" : "no lock file left");
        });
        const std::string status = std::to_string(128 + signo);
        EXPECT_EQ(seen, "run 1: sending, status " + status + "\nrun 2: sending, status " + status +
                            "\nno lock file left");
        if (HasFailure()) break; // the other signals would fail the same way, only later
    }
}

// A stop signal while the save asks whether to overwrite: the question ends without an
// answer, which is no Yes; the old file stays whole and no temporary file is left.
TEST(WindowProcess, AStopSignalAtTheOverwriteQuestionLeavesTheOldFile)
{
    const TScratch scratch;
    const std::string folder = scratch.path + "/schedules";
    std::filesystem::create_directory(folder);
    const std::string file = folder + "/today.qlx";
    const std::string old = "23:00:00 00:30:00 23:30:00\r\n";
    std::ofstream(file, std::ios::binary) << old;

    TChild window({MOVARTH_WINDOW_DRIVER, "--save", file}, scratch.Environment());
    ASSERT_EQ(window.ReadLine(30s), "asking");
    ::kill(window.Pid(), SIGTERM);
    EXPECT_EQ(window.Wait(30s), std::to_string(128 + SIGTERM));
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), old);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"today.qlx"});
}

// The program started with its standard descriptors closed has /dev/null on each, so that
// nothing it opens later (its port) becomes one of them; and it ends on SIGTERM as the exit
// button would.
TEST(WindowProcess, TheProgramStartedWithoutStandardDescriptorsHasDevNullOnThem)
{
    const TScratch scratch;
    TChild program({MOVARTH_PROGRAM}, scratch.Environment(), true);
    const std::string settings = scratch.path + "/settings/movarth.conf";
    const auto deadline = TSteady::now() + 30s;
    while (!std::filesystem::exists(settings) && TSteady::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(settings)) << "the window started";
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(
            "/proc/" + std::to_string(program.Pid()) + "/fd/" + std::to_string(fd), error);
        EXPECT_EQ(error ? std::string("closed") : target.string(), "/dev/null") << fd;
    }
    ::kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.Wait(30s), std::to_string(128 + SIGTERM));
}

// Settings that cannot be written: a box at start-up, before the main loop. A stop signal
// before or during it (once the program handles signals) still ends the program.
TEST(WindowProcess, AStopSignalWhileTheStartUpBoxShowsEndsTheProgram)
{
    const TScratch scratch;
    std::ofstream(scratch.path + "/file") << "not a folder";
    auto environment = scratch.Environment();
    environment["MOVARTH_SETTINGS_DIR"] = scratch.path + "/file/settings"; // even root cannot
    TChild program({MOVARTH_PROGRAM}, environment);
    const auto handlesTerm = [&] {
        std::ifstream status("/proc/" + std::to_string(program.Pid()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigCgt:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
        return false;
    };
    const auto deadline = TSteady::now() + 30s;
    while (!handlesTerm() && TSteady::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(handlesTerm());
    ::kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.Wait(30s), std::to_string(128 + SIGTERM));
}

// When the X server goes away, Qt's X11 plugin ends the program with exit(1) from inside the
// event loop: the windows are never taken down. The port is given back all the same:
// exclusive mode off, its line settings as they were, no lock file.
TEST(WindowProcess, LosingTheDisplayDuringADownloadGivesThePortBack)
{
    const char* xvfb = "/usr/bin/Xvfb";
    if (::access(xvfb, X_OK) != 0) {
        if (std::getenv("CI") != nullptr)
            FAIL() << "Xvfb is missing (scripts/setup.sh installs it)";
        GTEST_SKIP() << "Xvfb is not installed";
    }
    // Xvfb picks a free display and writes its number to descriptor 3 once it is ready.
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string arguments[] = {xvfb, "-displayfd", "3", "-nolisten", "tcp", "-ac"};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t server = -1;
    ASSERT_EQ(::posix_spawn(&server, xvfb, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    std::string display;
    for (char c = 0; ::read(ready[0], &c, 1) == 1 && c != '\n';)
        display += c;
    ::close(ready[0]);
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";

    const TScratch scratch;
    test::TSilentLine line;
    termios before{};
    ::tcgetattr(line.Terminal(), &before);
    auto environment = scratch.Environment("xcb", ":" + display);
    // Ended by exit() from inside its event loop, the program leaves everything it holds
    // allocated: in the AddressSanitizer build that is no leak to report.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    environment["ASAN_OPTIONS"] = std::string(sanitizer ? sanitizer : "") + ":detect_leaks=0";
    TChild window({MOVARTH_WINDOW_DRIVER, "--send", line.Path()}, environment);
    const std::string said = window.ReadLine(30s);
    EXPECT_EQ(said, "sending");
    EXPECT_TRUE(line.AwaitHandshakes(2, 20s));
    EXPECT_EQ(Exclusive(line.Terminal()), "exclusive");

    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    EXPECT_EQ(window.Wait(30s), "1") << "Qt's X11 plugin ends the program with exit(1)";
    EXPECT_EQ(Exclusive(line.Terminal()), "not exclusive");
    termios after{};
    ::tcgetattr(line.Terminal(), &after);
    EXPECT_TRUE(SameSettings(after, before));
    EXPECT_FALSE(LockFileLeft(line.Path()));
}

// An ordinary user who may not open the device: the box that 打开 shows keeps its text and
// says under it which group the device is for and what to do, for a user not in the group and
// for one added to it since the login (the login, here the child process, has no groups but
// its own).
TEST(WindowProcess, TheOpenFailureBoxSaysWhyTheUserMayNotOpenThePort)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give the device to another group";
    const test::TProgramCopy driver(MOVARTH_WINDOW_DRIVER);
    ASSERT_FALSE(driver.Path().empty());
    const test::TTemporaryGroup added("nobody");
    ASSERT_TRUE(added.Ok()) << "groupadd failed";
    test::TSilentLine line;
    const std::string& port = line.Path();
    const std::string& addedName = added.Name();
    const struct
    {
        const char* situation;
        std::string group;
        std::string detail;
    } cases[] = {
        {"not in the group", "dialout",
         port + " 只允许用户组 dialout 的成员使用，当前用户 nobody 不在这个组里。请管理员把 "
                "nobody 加入 dialout 组（sudo usermod -aG dialout nobody），然后注销并重新登录。"},
        {"added to the group since the login", addedName,
         port + " 只允许用户组 " + addedName + " 的成员使用。当前用户 nobody 已经加入了 " +
             addedName + " 组，但要注销并重新登录后才生效。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        const group* entry = ::getgrnam(c.group.c_str());
        ASSERT_NE(entry, nullptr);
        ASSERT_EQ(::chown(port.c_str(), 0, entry->gr_gid), 0);
        ASSERT_EQ(::chmod(port.c_str(), 0660), 0);
        const std::string seen = test::AsOrdinaryUser([&] {
            const TScratch scratch;
            TChild window({driver.Path(), "--open", port}, scratch.Environment());
            std::string box;
            for (int shown = 0; shown < 3; ++shown)
                box += window.ReadLine(30s) + "\n";
            return box + "status " + window.Wait(30s);
        });
        EXPECT_EQ(seen, "提示信息\n端口打开有错误，请重新输入！\n" + c.detail + "\nstatus 0");
    }
}

} // namespace
} // namespace movarth
