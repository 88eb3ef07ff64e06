#include "ScheduleFile.h"

#include "StringTable.h"

#include <atomic>
#include <cerrno>
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

// Creates a new file beside `target` under a name nobody else uses. O_EXCL makes the name
// ours; the permission bits follow the umask like any newly created file.
TFileGuard CreateTempBeside(const std::filesystem::path& target)
{
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + target.filename().string() + "." +
                                 std::to_string(::getpid()) + "." + std::to_string(seed()) + "." +
                                 std::to_string(counter++) + ".tmp";
        const std::string path = (dir / name).string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return TFileGuard(fd, path);
        if (errno != EEXIST) break;
    }
    return TFileGuard(-1, {});
}

void SyncDirectory(const std::filesystem::path& target)
{
    const std::filesystem::path dir = target.has_parent_path() ? target.parent_path() : ".";
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the file itself is complete and in place already
        ::close(fd);
    }
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

std::vector<std::string> SplitScheduleText(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(line));
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(std::move(line));
    return lines;
}

TScheduleCells SplitScheduleLine(const std::string& line)
{
    return {Copy(line, 1, 8), Copy(line, 10, 8), Copy(line, 19, 8)};
}

void WriteScheduleFile(const std::string& path, std::string_view bytes, const TWriteStep& writeStep)
{
    const EFileError cannotCreate("Cannot create file " + path);

    // Replace the file a symbolic link points to, not the link.
    std::filesystem::path target = path;
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (!ec) target = resolved;
    }

    TFileGuard temp = CreateTempBeside(target);
    if (temp.Fd() < 0) throw cannotCreate;

    // An existing file keeps its permission bits.
    struct stat old
    {
    };
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(temp.Fd(), old.st_mode & 07777);

    const TWriteStep write =
        writeStep ? writeStep : [](int fd, const void* data, std::size_t size) {
            return ::write(fd, data, size);
        };
    while (!bytes.empty()) {
        const ssize_t written = write(temp.Fd(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) throw EFileError("Stream write error");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fsync(temp.Fd()) != 0 || !temp.Close()) throw EFileError("Stream write error");

    if (::rename(temp.Path().c_str(), target.c_str()) != 0) throw cannotCreate;
    temp.Release();
    SyncDirectory(target);
}

std::string ReadScheduleFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw EFileError("Cannot open file " + path);
    TFileGuard guard(fd, {}); // closes only
    struct stat info
    {
    };
    // Only a regular file is a schedule file: a directory, a pipe or a device is refused
    // before it is read (a pipe would block the window, a device might never end).
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw EFileError("Cannot open file " + path);

    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw EFileError("Stream read error");
        if (got == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

} // namespace movarth
