#include "ScheduleFile.h"

#include "StringTable.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth {

namespace {

std::string Copy(const std::string& text, std::size_t position, std::size_t count)
{
    const std::size_t start = position - 1;
    return start < text.size() ? text.substr(start, count) : std::string();
}

// Closes a descriptor; while it holds a path (a temporary file) removes that file too.
class TFileGuard
{
public:
    TFileGuard(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    TFileGuard(const TFileGuard&) = delete;
    TFileGuard& operator=(const TFileGuard&) = delete;
    ~TFileGuard()
    {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    bool Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void Release() { path_.clear(); }

private:
    int fd_;
    std::string path_;
};

namespace fs = std::filesystem;

fs::path FolderOf(const fs::path& target)
{
    return target.has_parent_path() ? target.parent_path() : ".";
}

// Creates a new file beside `target` under a short name nobody else uses, so that any name
// the file system accepts for the target can be saved. O_EXCL makes the name ours; the
// permission bits follow the umask like any newly created file. On failure the guard holds
// no descriptor and `error` the reason.
TFileGuard CreateTempBeside(const fs::path& target, int& error)
{
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".movarth-%08x.tmp", seed() ^ counter++);
        const std::string path = (FolderOf(target) / name).string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return TFileGuard(fd, path);
        error = errno;
        if (error != EEXIST) break;
    }
    return TFileGuard(-1, {});
}

void SyncDirectory(const fs::path& target)
{
    const int fd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the file itself is complete and in place already
        ::close(fd);
    }
}

// The folder refuses the user a new file or a rename there.
bool FolderRefuses(int error)
{
    return error == EACCES || error == EPERM;
}

// Gives the replacement the old file's owner and group, where the process may set them, then
// its mode (after the owner: a change of owner clears the set-user-id bit). A refused owner
// (EPERM, or EINVAL for an id this user namespace cannot map) leaves the saving user's; the
// group alone is tried then, since a user may hand a file to a group of their own.
bool KeepOwnerAndMode(int fd, const struct stat& old)
{
    const auto refused = [] { return errno == EPERM || errno == EINVAL; };
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        if (!refused()) return false;
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && !refused()) return false;
    }
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// Writes every byte, continuing short writes, then syncs; EFileError "Stream write error".
void WriteAllAndSync(int fd, std::string_view bytes, const TWriteStep& writeStep)
{
    while (!bytes.empty()) {
        const ssize_t written = writeStep ? writeStep(fd, bytes.data(), bytes.size())
                                          : ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw EFileError("Stream write error");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(fd) != 0) throw EFileError("Stream write error");
}

// Only a regular file is a schedule file or a save target: a pipe would block, a device
// might never end or act on being opened, a folder cannot be read or replaced as one.
bool IsRegular(const struct stat& info)
{
    return S_ISREG(info.st_mode);
}

} // namespace

std::vector<std::string> BuildScheduleLines(const TStringTable& table, int entryCount)
{
    std::vector<std::string> lines;
    for (int row = 1; row <= entryCount; ++row)
        lines.push_back(table.Cell(0, row) + " " + table.Cell(1, row) + " " + table.Cell(2, row));
    return lines;
}

std::string JoinScheduleLines(const std::vector<std::string>& lines)
{
    std::string bytes;
    for (const auto& line : lines)
        bytes += line + "\r\n";
    return bytes;
}

namespace {
// UTF-8's byte-order mark, as other programs put it at the start of a text file.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
} // namespace

bool TScheduleTextSplitter::Add(std::string_view piece)
{
    for (const char c : piece) {
        if (ended_) break;
        if (!started_) {
            if (c == kByteOrderMark[bomMatched_]) {
                started_ = ++bomMatched_ == kByteOrderMark.size();
                continue;
            }
            // Not a byte-order mark after all: the bytes held back are text.
            started_ = true;
            for (std::size_t i = 0; i < bomMatched_ && !ended_; ++i)
                Take(kByteOrderMark[i]);
            if (ended_) break;
        }
        Take(c);
    }
    return !ended_;
}

void TScheduleTextSplitter::Take(char c)
{
    if (afterCr_ && c == '\n') {
        afterCr_ = false;
        return;
    }
    afterCr_ = false;
    if (c == '\0') {
        ended_ = true;
    } else if (c == '\r' || c == '\n') {
        EndLine();
        afterCr_ = c == '\r';
    } else if (line_.size() < kScheduleLineLength) {
        if (lineBlank_ && c != ' ' && c != '\t') {
            // The blank lines before this one are between entries: they are lines.
            lineBlank_ = false;
            for (std::string& blank : blanks_)
                lines_.push_back(std::move(blank));
            blanks_.clear();
        }
        line_ += c;
    }
    if (LinesBegun() > maxLines_) ended_ = true;
}

void TScheduleTextSplitter::EndLine()
{
    if (!lineBlank_)
        lines_.push_back(std::move(line_));
    else if (lines_.size() + blanks_.size() <= maxLines_)
        blanks_.push_back(std::move(line_));
    line_.clear();
    lineBlank_ = true;
}

std::vector<std::string> TScheduleTextSplitter::TakeLines()
{
    // A file that is only the start of a byte-order mark holds those bytes as its text.
    if (!started_) {
        started_ = true;
        for (std::size_t i = 0; i < bomMatched_; ++i)
            Take(kByteOrderMark[i]);
    }
    if (!lineBlank_) lines_.push_back(std::move(line_));
    line_.clear();
    lineBlank_ = true;
    blanks_.clear();
    return std::move(lines_);
}

std::vector<std::string> SplitScheduleText(std::string_view text)
{
    TScheduleTextSplitter splitter;
    splitter.Add(text);
    return splitter.TakeLines();
}

TScheduleCells SplitScheduleLine(const std::string& line)
{
    return {Copy(line, 1, 8), Copy(line, 10, 8), Copy(line, 19, 8)};
}

void WriteScheduleFile(const std::string& path, std::string_view bytes, const TWriteStep& writeStep)
{
    const EFileError cannotCreate("Cannot create file " + path);

    // Replace the file a symbolic link points to, not the link.
    fs::path target = path;
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        auto resolved = fs::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }

    // An existing target is opened for writing first, without truncating it: that refuses a
    // file the user may not write (the rename alone would ignore the file's own permission)
    // before anything changes, and serves a save in place.
    struct stat old
    {
    };
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) throw cannotCreate;
    if (exists && !IsRegular(old)) throw cannotCreate;
    TFileGuard existing(
        exists ? ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1, {});
    if (exists && (existing.Fd() < 0 || ::fstat(existing.Fd(), &old) != 0 || !IsRegular(old)))
        throw cannotCreate;

    int error = 0;
    TFileGuard temp = CreateTempBeside(target, error);
    if (temp.Fd() >= 0) {
        if (exists && !KeepOwnerAndMode(temp.Fd(), old)) throw cannotCreate;
        WriteAllAndSync(temp.Fd(), bytes, writeStep);
        if (!temp.Close()) throw EFileError("Stream write error");
        if (::rename(temp.Path().c_str(), target.c_str()) == 0) {
            temp.Release();
            SyncDirectory(target);
            return;
        }
        error = errno;
    }

    // The folder lets the user neither make a file nor replace this one (closed, or sticky
    // with the file another user's), but the file itself may be written: write it in place.
    if (!exists || !FolderRefuses(error)) throw cannotCreate;
    if (::ftruncate(existing.Fd(), 0) != 0) throw cannotCreate;
    WriteAllAndSync(existing.Fd(), bytes, writeStep);
    if (!existing.Close()) throw EFileError("Stream write error");
}

std::vector<std::string> ReadScheduleLines(const std::string& path, std::size_t maxLines)
{
    const EFileError cannotOpen("Cannot open file " + path);
    // Checked before opening, so that a device is not even opened, and again on the open
    // descriptor, in case the name changed in between; O_NONBLOCK keeps a pipe from blocking
    // at the open.
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0 || !IsRegular(info)) throw cannotOpen;
    TFileGuard file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC), {});
    if (file.Fd() < 0 || ::fstat(file.Fd(), &info) != 0 || !IsRegular(info)) throw cannotOpen;

    TScheduleTextSplitter splitter(maxLines);
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(file.Fd(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw EFileError("Stream read error");
        if (got == 0 || !splitter.Add({buffer, static_cast<std::size_t>(got)})) break;
    }
    return splitter.TakeLines();
}

} // namespace movarth
