#pragma once

// Runs a piece of a test as an ordinary user. Root writes read-only files, enters closed
// folders and may create lock files anywhere, so a refusal that rests on permissions cannot be
// seen as root: the body runs in a forked child that, when the test runs as root, gives up its
// privileges for the unprivileged user id first (groups, group id, then user id). As an
// ordinary user the child simply runs the body.
//
// The body reports what it saw as a text (for example "refused: Cannot create file ...");
// the parent compares it. Files the body needs it makes itself, after the drop, so that the
// ordinary user owns them (a folder made by root with mkdtemp would be closed to it).

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace movarth::test {

// The user and group id that root drops to: "nobody" on Debian.
inline constexpr uid_t kOrdinaryUid = 65534;
inline constexpr gid_t kOrdinaryGid = 65534;

// The body's text, or a text starting with "child:" when the child could not drop its
// privileges, threw, or died.
inline std::string AsOrdinaryUser(const std::function<std::string()>& body)
{
    int pipeFds[2];
    // Close-on-exec: a child another thread starts meanwhile must not keep the write end open.
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::string("child: pipe: ") + std::strerror(errno);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int forkError = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return std::string("child: fork: ") + std::strerror(forkError);
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string result;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kOrdinaryGid) != 0 ||
                                 ::setuid(kOrdinaryUid) != 0)) {
            result = std::string("child: cannot drop privileges: ") + std::strerror(errno);
        } else if (::geteuid() == 0) {
            result = "child: still root";
        } else {
            try {
                result = body();
            } catch (const std::exception& error) {
                result = std::string("child: threw: ") + error.what();
            } catch (...) {
                result = "child: threw";
            }
        }
        for (std::size_t done = 0; done < result.size();) {
            const ssize_t written = ::write(pipeFds[1], result.data() + done, result.size() - done);
            if (written <= 0) break;
            done += static_cast<std::size_t>(written);
        }
        ::_exit(0); // no test framework clean-up in the child
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child: died (status " + std::to_string(status) + ") after: " + result;
    return result;
}

// A copy of a built program in a folder of its own under /tmp that every user may enter, for
// running it as the ordinary user: the build folder may lie where that user cannot reach (a
// checkout under /root). Removed with the object.
class TProgramCopy
{
public:
    explicit TProgramCopy(const std::string& program)
    {
        char folder[] = "/tmp/movarth-program-XXXXXX";
        if (::mkdtemp(folder) == nullptr) return;
        folder_ = folder;
        namespace fs = std::filesystem;
        fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
        path_ = folder_ + "/" + fs::path(program).filename().string();
        std::error_code error;
        if (!fs::copy_file(program, path_, error)) path_.clear();
    }
    ~TProgramCopy()
    {
        std::error_code error;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
    }
    TProgramCopy(const TProgramCopy&) = delete;
    TProgramCopy& operator=(const TProgramCopy&) = delete;

    // Empty when the copy could not be made.
    const std::string& Path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};

} // namespace movarth::test
