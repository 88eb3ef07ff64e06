#include "link/SendHistory.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace movarth {

namespace {

namespace fs = std::filesystem;

constexpr char kFieldSeparator = '\t';
constexpr const char* kConfirmed = "confirmed";
constexpr std::string_view kFailed = "failed: ";
constexpr std::string_view kNotSent = "not sent: ";

// A field's text with its backslashes, tabs, line ends and control characters escaped; in an
// entry's texts (`inEntry`) also spaces, "+" and every byte outside printable ASCII.
std::string Escape(std::string_view text, bool inEntry)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (byte < 0x20 || byte == 0x7F ||
                 (inEntry && (c == ' ' || c == '+' || byte > 0x7F))) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> Unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 'x': {
            unsigned value = 0;
            const char* first = text.data() + i + 1;
            if (i + 2 >= text.size() ||
                std::from_chars(first, first + 2, value, 16).ptr != first + 2)
                return std::nullopt;
            out += static_cast<char>(value);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// "2026-12-10 05:30:02+01:00": the local time and its offset from UTC.
std::string FormatLocalTime(std::time_t time)
{
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[40];
    const long offset = local.tm_gmtoff / 60;
    const long minutes = offset < 0 ? -offset : offset;
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

std::optional<std::time_t> ParseLocalTime(std::string_view text)
{
    // Exactly "yyyy-mm-dd hh:mm:ss+hh:mm".
    if (text.size() != 25) return std::nullopt;
    const std::string copy(text);
    int year, month, day, hour, minute, second, offsetHours, offsetMinutes;
    char sign = 0;
    int used = 0;
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c%2d:%2d%n", &year, &month, &day, &hour,
                    &minute, &second, &sign, &offsetHours, &offsetMinutes, &used) != 9 ||
        used != 25 || (sign != '+' && sign != '-'))
        return std::nullopt;
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const long offset = (sign == '-' ? -1 : 1) * (offsetHours * 3600L + offsetMinutes * 60L);
    return ::timegm(&utc) - offset;
}

// The folders down to the file, made where missing; 0 or errno.
int MakeFolders(const fs::path& file)
{
    std::error_code error;
    const fs::path folder = file.parent_path();
    if (folder.empty() || fs::is_directory(folder, error)) return 0;
    fs::create_directories(folder, error);
    if (error) return error.value();
    fs::permissions(folder, fs::perms::owner_all, error); // a new state folder is the user's own
    return 0;
}

// Holds a descriptor and, where it got one, an flock on it; both let go together.
class TLockedFile
{
public:
    explicit TLockedFile(int fd) : fd_(fd) {}
    TLockedFile(const TLockedFile&) = delete;
    TLockedFile& operator=(const TLockedFile&) = delete;
    ~TLockedFile()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    int Fd() const { return fd_; }

    // Another writer holds the lock only while it appends a line: a few tries are plenty. A
    // file locked for longer is appended to without the lock (and not rotated).
    bool Lock()
    {
        using namespace std::chrono_literals;
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) return false;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    int fd_;
};

int OpenForAppending(const std::string& path)
{
    // O_NONBLOCK: a pipe put there must not hold the download up; only a regular file is used.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Whether `path` still names the file open at `fd` (another writer may have rotated it).
bool StillNamed(int fd, const std::string& path)
{
    struct stat open
    {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::optional<TSendRecord> LastConfirmedIn(const std::string& path)
{
    // Only a regular file is read: a pipe put there would hold the window up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat status
    {
    };
    if (fd < 0) return std::nullopt;
    std::FILE* file =
        ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? ::fdopen(fd, "r") : nullptr;
    if (file == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    // Only a confirmation's line ends so; the others are not worth parsing.
    const std::string confirmedEnd = std::string(1, kFieldSeparator) + kConfirmed;
    std::optional<TSendRecord> last;
    std::string line;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        line += buffer;
        if (line.back() != '\n' && !std::feof(file)) continue;
        if (line.back() == '\n') line.pop_back();
        if (line.ends_with(confirmedEnd))
            if (auto record = ParseSendRecord(line)) last = std::move(record);
        line.clear();
    }
    std::fclose(file);
    return last;
}

} // namespace

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr)
        return user->pw_dir;
    return {};
}

std::string SenderSource(const std::string& scheduleFile)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(scheduleFile, error);
    return "sender " + (error ? scheduleFile : absolute.lexically_normal().string());
}

std::string FormatSendRecord(const TSendRecord& record)
{
    std::string entries;
    for (const TSentEntry& entry : record.entries) {
        if (!entries.empty()) entries += ' ';
        entries += Escape(entry.start, true) + "+" + Escape(entry.length, true);
    }
    std::string outcome;
    switch (record.outcome) {
    case TSendOutcome::soConfirmed:
        outcome = kConfirmed;
        break;
    case TSendOutcome::soFailed:
        outcome = std::string(kFailed) + Escape(record.detail, false);
        break;
    case TSendOutcome::soNotSent:
        outcome = std::string(kNotSent) + Escape(record.detail, false);
        break;
    }
    const std::string fields[] = {FormatLocalTime(record.time),
                                  Escape(record.port, false),
                                  Escape(record.source, false),
                                  std::to_string(record.entries.size()),
                                  entries,
                                  outcome};
    std::string line;
    for (const std::string& field : fields) {
        if (!line.empty()) line += kFieldSeparator;
        line += field;
    }
    return line;
}

std::optional<TSendRecord> ParseSendRecord(std::string_view line)
{
    const auto fields = Split(line, kFieldSeparator);
    if (fields.size() != 6) return std::nullopt;
    TSendRecord record;
    const auto time = ParseLocalTime(fields[0]);
    const auto port = Unescape(fields[1]);
    const auto source = Unescape(fields[2]);
    std::size_t count = 0;
    const auto [end, error] =
        std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), count);
    if (!time || !port || !source || error != std::errc() ||
        end != fields[3].data() + fields[3].size())
        return std::nullopt;
    record.time = *time;
    record.port = *port;
    record.source = *source;
    if (!fields[4].empty()) {
        for (const std::string_view entry : Split(fields[4], ' ')) {
            const auto texts = Split(entry, '+');
            if (texts.size() != 2) return std::nullopt;
            auto start = Unescape(texts[0]);
            auto length = Unescape(texts[1]);
            if (!start || !length) return std::nullopt;
            record.entries.push_back({std::move(*start), std::move(*length)});
        }
    }
    if (record.entries.size() != count) return std::nullopt;

    const std::string_view outcome = fields[5];
    std::string_view detail;
    if (outcome == kConfirmed) {
        record.outcome = TSendOutcome::soConfirmed;
    } else if (outcome.starts_with(kFailed)) {
        record.outcome = TSendOutcome::soFailed;
        detail = outcome.substr(kFailed.size());
    } else if (outcome.starts_with(kNotSent)) {
        record.outcome = TSendOutcome::soNotSent;
        detail = outcome.substr(kNotSent.size());
    } else {
        return std::nullopt;
    }
    auto text = Unescape(detail);
    if (!text) return std::nullopt;
    record.detail = std::move(*text);
    return record;
}

std::string DefaultSendHistoryPath()
{
    // The XDG base directory rules: a relative XDG_STATE_HOME is to be ignored.
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/')
        state = xdg;
    else if (const std::string home = HomeFolder(); !home.empty())
        state = home + "/.local/state";
    else
        return {};
    return state + "/movarth/send-history.log";
}

TSendHistory::TSendHistory(std::string path, TWarning warning)
    : path_(std::move(path)), warning_(std::move(warning))
{
}

void TSendHistory::Append(const TSendRecord& record) noexcept
{
    try {
        if (record.outcome == TSendOutcome::soConfirmed &&
            (!lastConfirmed_ || record.time >= lastConfirmed_->time))
            lastConfirmed_ = record;
        const int error = path_.empty() ? ENOENT : Write(FormatSendRecord(record) + "\n");
        if (error == 0 || warned_) return;
        warned_ = true;
        if (warning_)
            warning_("cannot write the send history " +
                     (path_.empty() ? std::string("(no home folder)") : path_) + ": " +
                     std::strerror(error) + "; downloads go on without it");
    } catch (...) {
        // A record that cannot even be put together (no memory) is left out.
    }
}

int TSendHistory::Write(const std::string& line) const
{
    if (const int error = MakeFolders(path_)) return error;
    // Another writer may rotate the file between our open and our lock: then the name leads
    // to a new file, which is opened again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto file = std::make_unique<TLockedFile>(OpenForAppending(path_));
        if (file->Fd() < 0) return errno;
        const bool locked = file->Lock();
        if (locked && !StillNamed(file->Fd(), path_)) continue;

        struct stat status
        {
        };
        if (locked && ::fstat(file->Fd(), &status) == 0 &&
            static_cast<std::uintmax_t>(status.st_size) >= kRotateBytes) {
            // A file that cannot be rotated (the folder refuses the rename) takes the line
            // all the same.
            if (::rename(path_.c_str(), (path_ + ".1").c_str()) == 0) {
                file = std::make_unique<TLockedFile>(OpenForAppending(path_));
                if (file->Fd() < 0) return errno;
                file->Lock();
            }
        }
        std::string_view rest = line;
        while (!rest.empty()) {
            const ssize_t written = ::write(file->Fd(), rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return written < 0 ? errno : EIO;
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
        return 0;
    }
    return EAGAIN;
}

std::optional<TSendRecord> TSendHistory::LastConfirmed() const
{
    std::optional<TSendRecord> found;
    if (!path_.empty()) {
        found = LastConfirmedIn(path_);
        if (!found) found = LastConfirmedIn(path_ + ".1");
    }
    if (lastConfirmed_ && (!found || lastConfirmed_->time > found->time)) return lastConfirmed_;
    return found;
}

} // namespace movarth
