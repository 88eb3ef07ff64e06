// The terminal programs a station also has, cu and minicom, run for real beside the POSIX
// platform, as an ordinary user: none may take a port another holds, whichever name each was
// given (the device, or a by-id style link to it). cu and minicom keep out of a port only
// through UUCP lock files, each under a name of its own, so that is where they meet us.
#include "comm/PosixComm.h"
#include "comm/SerialComm.h"
#include "tests/support/AsOrdinaryUser.h"
#include "timing/UiThread.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace movarth {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        if (::access((folders.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

pid_t LockFileOwner(const std::string& path)
{
    std::ifstream in(path);
    std::string text;
    in >> text;
    pid_t pid = 0;
    std::from_chars(text.data(), text.data() + text.size(), pid);
    return pid;
}

// cu or minicom on a terminal of its own, as a user starts it, on one name of the port.
// `home` holds the user's minicom settings.
class TSerialProgram
{
public:
    TSerialProgram(const std::string& program, const std::string& port, const std::string& home,
                   std::string lockFolder)
        : lockFolder_(std::move(lockFolder))
    {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        pid_ = ::forkpty(&terminal_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            ::setenv("TERM", "vt100", 1);
            ::setenv("LANG", "C", 1);
            ::setenv("HOME", home.c_str(), 1);
            if (program == "cu")
                ::execlp("cu", "cu", "-l", port.c_str(), "-s", "2400", static_cast<char*>(nullptr));
            else
                ::execlp("minicom", "minicom", "-D", port.c_str(), "-b", "2400",
                         static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~TSerialProgram()
    {
        // Asked to end, cu takes 2 s and minicom 3 s (hanging up the line): killed, they leave
        // their lock file, which goes here.
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(lockFolder_, error))
                if (LockFileOwner(entry.path()) == pid_)
                    std::filesystem::remove(entry.path(), error);
        }
        if (terminal_ >= 0) ::close(terminal_);
    }
    TSerialProgram(const TSerialProgram&) = delete;
    TSerialProgram& operator=(const TSerialProgram&) = delete;

    // Whether it holds the port: a lock file in `folder` names it.
    bool WaitForItsLockFile(const std::string& folder, std::chrono::milliseconds timeout)
    {
        const auto deadline = TSteady::now() + timeout;
        do {
            Drain();
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(folder, error))
                if (entry.path().filename().string().starts_with("LCK..") &&
                    LockFileOwner(entry.path()) == pid_)
                    return true;
            std::this_thread::sleep_for(20ms);
        } while (TSteady::now() < deadline);
        return false;
    }
    // Its exit status once it has ended by itself; -1 while it still runs after the time.
    int WaitForEnd(std::chrono::milliseconds timeout)
    {
        const auto deadline = TSteady::now() + timeout;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (TSteady::now() >= deadline) return -1;
            Drain();
            std::this_thread::sleep_for(10ms);
        }
        pid_ = 0;
        Drain();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // What it has written on its terminal.
    const std::string& Output() const { return output_; }

private:
    void Drain()
    {
        pollfd entry{terminal_, POLLIN, 0};
        char buffer[4096];
        while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN)) {
            const ssize_t got = ::read(terminal_, buffer, sizeof buffer);
            if (got <= 0) break;
            output_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    std::string lockFolder_;
    pid_t pid_ = 0;
    int terminal_ = -1;
    std::string output_;
};

// A link to the port under /dev/serial/by-id itself, where minicom names a port by its path
// below /dev: only root may make it. The folders it needed are removed again with it.
class TDevSerialLink
{
public:
    explicit TDevSerialLink(const std::string& device)
    {
        if (::geteuid() != 0) return;
        for (const char* folder : {"/dev/serial", "/dev/serial/by-id"}) {
            if (::mkdir(folder, 0755) == 0)
                made_.insert(made_.begin(), folder);
            else if (errno != EEXIST)
                return;
        }
        const std::string path =
            "/dev/serial/by-id/usb-movarth_Test-" + std::to_string(::getpid()) + "-if00-port0";
        if (::symlink(device.c_str(), path.c_str()) == 0) path_ = path;
    }
    ~TDevSerialLink()
    {
        if (!path_.empty()) ::unlink(path_.c_str());
        for (const std::string& folder : made_)
            ::rmdir(folder.c_str()); // only when empty: udev's own links stay
    }
    TDevSerialLink(const TDevSerialLink&) = delete;
    TDevSerialLink& operator=(const TDevSerialLink&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::vector<std::string> made_;
    std::string path_;
};

struct TPortName
{
    std::string label;
    std::string path;
};

// Every program on every name of the port, both ways round. The run reports what went wrong,
// one line each, or "ok".
std::string KeepOutOfEachOther(const std::string& lockFolder, const std::string& device,
                               const std::vector<TPortName>& names,
                               const std::vector<std::string>& linkFolders)
{
    TPlainUiLoop ui;
    TPosixCommPlatform platform(lockFolder, linkFolders);
    std::string problems;
    // The user's minicom settings: no modem, so no initialisation string (which takes a
    // second) goes to the port.
    char home[] = "/tmp/movarth-home-XXXXXX";
    if (::mkdtemp(home) == nullptr) return "no home folder";
    std::ofstream(std::string(home) + "/.minirc.dfl") << "pu minit\npu mreset\n";
    const auto open = [&](TComm& comm, const TPortName& name) -> std::string {
        comm.SetDeviceName(name.path);
        try {
            comm.Open();
            return "opened";
        } catch (const ECommError& error) {
            return error.ErrorCode() == EBUSY ? "refused" : error.what();
        }
    };

    // They hold the port: we are refused under every name.
    for (const std::string program : {"cu", "minicom"})
        for (const TPortName& held : names) {
            const std::string what = program + " on " + held.label;
            TSerialProgram other(program, held.path, home, lockFolder);
            if (!other.WaitForItsLockFile(lockFolder, 10s)) {
                problems += what + ": no lock file of its own: " + other.Output() + "\n";
                continue;
            }
            for (const TPortName& ours : names) {
                TComm comm(ui, platform);
                if (const std::string result = open(comm, ours); result != "refused")
                    problems += what + ", we as " + ours.label + ": " + result + "\n";
            }
        }

    // We hold the port: they are refused under every name and end.
    for (const TPortName& ours : names) {
        TComm comm(ui, platform);
        if (const std::string result = open(comm, ours); result != "opened") {
            problems += "we as " + ours.label + ": " + result + "\n";
            continue;
        }
        for (const std::string program : {"cu", "minicom"})
            for (const TPortName& held : names) {
                TSerialProgram other(program, held.path, home, lockFolder);
                const int status = other.WaitForEnd(10s);
                if (status <= 0)
                    problems += "we as " + ours.label + ", " + program + " on " + held.label +
                                (status < 0 ? ": it holds the port too" : ": it ended well") + "\n";
            }
        if (LockFileOwner(lockFolder + "/" + LockFileName(device)) != ::getpid())
            problems += "we as " + ours.label + ": our lock file is gone\n";
    }
    std::filesystem::remove_all(home);
    return problems.empty() ? "ok" : problems;
}

TEST(SerialProgramsTest, CuMinicomAndThisPlatformKeepOutOfEachOthersPort)
{
    for (const char* program : {"cu", "minicom"})
        if (!OnPath(program)) {
            if (std::getenv("CI") != nullptr) FAIL() << program << " is missing (scripts/setup.sh)";
            GTEST_SKIP() << program << " is not installed (scripts/setup.sh installs it)";
        }
    // cu and minicom write their lock files there, whatever we are told.
    const std::string lockFolder = DefaultLockDirectory();
    ASSERT_FALSE(lockFolder.empty()) << "neither /run/lock nor /var/lock";

    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(::fchmod(slave, 0666), 0); // so that the ordinary user may open it
    const std::string device = ::ttyname(slave);

    char folder[] = "/tmp/movarth-by-id-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    ASSERT_EQ(::chmod(folder, 0755), 0);
    const std::string link = std::string(folder) + "/usb-movarth_Controller_0001-if00-port0";
    ASSERT_EQ(::symlink(device.c_str(), link.c_str()), 0);
    std::vector<TPortName> names{{"the device", device}, {"a by-id style link", link}};
    std::vector<std::string> linkFolders{folder};
    const TDevSerialLink devLink(device);
    if (!devLink.Path().empty()) {
        names.push_back({"a /dev/serial/by-id link", devLink.Path()});
        linkFolders.push_back("/dev/serial/by-id");
    }

    // A pseudo-terminal's number is used again: a lock file that an ended process (of another
    // user, perhaps) left under one of the port's names would stand in the ordinary user's
    // way, who may not remove another user's file from the sticky lock folder.
    for (const std::string& name : LockFileNamesOf(device, linkFolders)) {
        const std::string path = lockFolder + "/" + name;
        const pid_t owner = LockFileOwner(path);
        if (std::filesystem::exists(path) &&
            (owner <= 0 || (::kill(owner, 0) != 0 && errno == ESRCH)))
            std::filesystem::remove(path);
    }

    EXPECT_EQ(test::AsOrdinaryUser(
                  [&] { return KeepOutOfEachOther(lockFolder, device, names, linkFolders); }),
              "ok");
    if (devLink.Path().empty()) std::printf("(no /dev/serial/by-id link: not root)\n");

    std::filesystem::remove_all(folder);
    ::close(slave);
    ::close(master);
}

} // namespace
} // namespace movarth
