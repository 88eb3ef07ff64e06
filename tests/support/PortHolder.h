#pragma once

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace movarth::test {

// Another program holding a device: a process named "ctl-holder" that writes a UUCP lock file
// naming itself (the lock file is removed with the object), or, with no lock file given, opens
// the device and takes its flock; it waits until the object ends it.
class TPortHolderProcess
{
public:
    TPortHolderProcess(const std::string& device, const std::string& lockFile) : lockFile_(lockFile)
    {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::prctl(PR_SET_NAME, "ctl-holder");
            if (!lockFile.empty()) {
                char content[16];
                const int length = std::snprintf(content, sizeof content, "%10d\n", ::getpid());
                const int fd = ::open(lockFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0 || ::write(fd, content, static_cast<std::size_t>(length)) != length)
                    ::_exit(1);
                ::close(fd);
            } else {
                const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
                if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
            }
            [[maybe_unused]] const auto said = ::write(ready[1], "r", 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char said = 0;
        ready_ = pid_ > 0 && ::read(ready[0], &said, 1) == 1;
        ::close(ready[0]);
    }
    ~TPortHolderProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!lockFile_.empty()) ::unlink(lockFile_.c_str());
    }
    TPortHolderProcess(const TPortHolderProcess&) = delete;
    TPortHolderProcess& operator=(const TPortHolderProcess&) = delete;

    bool Ready() const { return ready_; }
    pid_t Pid() const { return pid_; }

private:
    std::string lockFile_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A test's expected text with "{pid}" filled in with a holder's process id.
inline std::string WithPid(std::string text, pid_t pid)
{
    if (const auto at = text.find("{pid}"); at != std::string::npos)
        text.replace(at, 5, std::to_string(pid));
    return text;
}

} // namespace movarth::test
