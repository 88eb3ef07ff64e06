#include "tools/SimLine.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace movarth::sim {

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

int Number(const std::string& option, const std::string& text, int min, int max)
{
    int value = 0;
    int base = 10;
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < min || value > max)
        throw EUsage(option + ": '" + text + "' is not a number from " + std::to_string(min) +
                     " to " + std::to_string(max));
    return value;
}

// "K:V" as two numbers.
std::pair<int, int> Pair(const std::string& option, const std::string& text, int maxValue)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        throw EUsage(option + ": '" + text +
                     "' is not of the form K:" + (maxValue == 255 ? "BYTE" : "M"));
    return {Number(option, text.substr(0, colon), 1, 1000),
            Number(option, text.substr(colon + 1), 0, maxValue)};
}

void MakeRaw(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) ThrowErrno("tcgetattr");
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B2400);
    cfsetospeed(&settings, B2400);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) ThrowErrno("tcsetattr");
}

double Milliseconds(TTime time)
{
    return std::chrono::duration<double, std::milli>(time).count();
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

// Writes all of `bytes` to the non-blocking descriptor, waiting for room as needed, unless
// `giveUp` (asked about every 100 ms) says to stop.
bool WriteAll(int fd, const TBytes& bytes, const std::function<bool()>& giveUp)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && !giveUp()) {
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 100) < 0 && errno != EINTR) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Line noise: every byte value but the two answers, over and over.
TBytes Noise(int count)
{
    TBytes bytes;
    for (unsigned value = 0; bytes.size() < static_cast<std::size_t>(count); ++value)
        if (const auto byte = static_cast<std::uint8_t>(value); byte != kAck && byte != kRefuse)
            bytes.push_back(byte);
    return bytes;
}

} // namespace

TSimOptions ParseOptions(const std::vector<std::string>& args)
{
    TSimOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw EUsage(option + " needs a value");
            return args[++i];
        };
        auto& policy = options.policy;
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--refuse-handshake") {
            policy.refuseHandshake = Number(option, value(), 0, 1'000'000);
        } else if (option == "--refuse-frame") {
            const auto [k, m] = Pair(option, value(), 1'000'000);
            policy.refuseFrame[k] = m;
        } else if (option == "--silent-after") {
            policy.silentAfter = Number(option, value(), 0, 1000);
        } else if (option == "--silent") {
            policy.silent = true;
        } else if (option == "--bad-answer") {
            const auto [k, byte] = Pair(option, value(), 255);
            if (byte == kAck || byte == kRefuse)
                throw EUsage(option + ": the byte must be other than 0x55 and 0xAA");
            policy.badAnswer[k] = static_cast<std::uint8_t>(byte);
        } else if (option == "--double-answer") {
            policy.doubleAnswer.insert(Number(option, value(), 1, 1000));
        } else if (option == "--delay") {
            policy.delay = std::chrono::milliseconds(Number(option, value(), 0, 3'600'000));
        } else if (option == "--noise") {
            options.noise = Number(option, value(), 0, 100'000'000);
        } else if (option == "--no-pacing") {
            options.pacing = false;
        } else if (option == "--device") {
            options.device = value();
        } else if (option == "--once") {
            options.once = true;
        } else if (option == "--timeout") {
            options.timeout = std::chrono::seconds(Number(option, value(), 1, 86400));
        } else if (option == "--verbose" || option == "-v") {
            options.verbose = true;
        } else {
            throw EUsage("unknown option '" + option + "' (see --help)");
        }
    }
    return options;
}

std::string HelpText(const std::string& program)
{
    return "Usage: " + program + R"( [OPTION]...
Plays the count-down controller at the far end of the serial line for movarth.

It opens a pseudo-terminal (or the serial device given with --device) in raw mode at
2400 bit/s, 8N1, and prints the device path that movarth should open as the first line of
its output. It answers every handshake byte (0x55) and every 8-byte frame with 0x55 or 0xAA,
refuses any frame whose checksum or BCD digits are wrong, and prints the schedule when the
confirmation frame 00 99 99 99 99 99 99 94 has been acknowledged. The exchange is logged on
standard error, with milliseconds since the start.

Frames are numbered by their place in a download: 1 to N the entries, N + 1 the
confirmation frame. Each count below is spent once over the whole run.

Answer policy (default: acknowledge everything):
  --refuse-handshake N  refuse the first N handshake bytes with 0xAA
  --refuse-frame K:M    refuse the first M arrivals of frame K with 0xAA (repeatable)
  --silent-after K      acknowledge the handshake and frames 1 to K, then answer nothing
  --silent              never answer
  --bad-answer K:BYTE   answer frame K once with BYTE (other than 0x55 and 0xAA; decimal or
                        0x-hex) (repeatable)
  --double-answer K     acknowledge frame K once with two bytes 0x55 in one write (repeatable)
  --delay MS            answer MS milliseconds after a handshake byte or frame has arrived

Line and run:
  --noise N             send N bytes of line noise (never 0x55 or 0xAA) at once, just before
                        the first answer
  --no-pacing           answer at once instead of at the line's pace (10 bits a byte at
                        2400 bit/s: a frame takes 33 ms to arrive, an answer 4 ms to leave)
  --device PATH         use this serial device instead of a new pseudo-terminal
  --once                end after the first complete schedule (see below)
  --timeout S           end after S seconds
  -v, --verbose         log every byte received and sent
  -h, --help            show this text

Handshake bytes and gaps:
  A 0x55 where a frame would begin, within 200 ms after the handshake's acknowledgement has
  left, was sent before movarth read that acknowledgement: it is ignored. A later one means
  movarth never took the acknowledgement (it came after movarth had given up, or together
  with another byte) and is asking again: it starts a new exchange, as does a 0x55 after
  one or more frames. A gap of more than 50 ms between two bytes of a frame (beyond the
  byte's own time on the line) means the rest of the frame was lost: the part received is
  dropped and the next byte begins a new frame.

It ends on --timeout, SIGINT or SIGTERM, or with --once once the answer to the first
complete schedule has been written and movarth has closed its end of the line (at the
latest at --timeout). Exit status: 0 when a complete, valid schedule (1 to 31 entries,
confirmation acknowledged) arrived and its last answer was written; 1 when none did; 2 for
a wrong command line; 3 when the line failed.
)";
}

TSimLine::TSimLine(const std::string& device)
{
    if (!device.empty()) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) ThrowErrno("open " + device);
        path_ = device;
        MakeRaw(fd_);
        return;
    }
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) ThrowErrno("posix_openpt");
    char name[128];
    if (grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname_r(fd_, name, sizeof name) != 0) {
        const int error = errno;
        ::close(fd_);
        errno = error;
        ThrowErrno("pseudo-terminal");
    }
    path_ = name;
    peerFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (peerFd_ < 0) {
        const int error = errno;
        ::close(fd_);
        errno = error;
        ThrowErrno("open " + path_);
    }
    // Raw before the tool opens it, so that nothing echoes or changes the bytes.
    MakeRaw(peerFd_);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void TSimLine::Drain(std::chrono::milliseconds timeout)
{
    if (peerFd_ < 0) {
        ::tcdrain(fd_);
        return;
    }
    // The pseudo-terminal passes written bytes on a little later: give it time to show them
    // in the queue before looking whether the tool has read them.
    const auto deadline = TClock::now() + timeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int waiting = 0;
    while (::ioctl(peerFd_, TIOCINQ, &waiting) == 0 && waiting > 0 && TClock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TSimLine::AwaitClose(const std::function<bool()>& giveUp)
{
    if (peerFd_ < 0) {
        ::tcdrain(fd_);
        return;
    }
    // The master sees a hang-up once no one has the other end open.
    ::close(peerFd_);
    peerFd_ = -1;
    while (!giveUp()) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 100) < 0 && errno != EINTR) return;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return;
        std::uint8_t buffer[256];
        if ((pfd.revents & POLLIN) && ::read(fd_, buffer, sizeof buffer) < 0 && errno != EAGAIN &&
            errno != EINTR)
            return;
    }
}

TSimLine::~TSimLine()
{
    if (peerFd_ >= 0) ::close(peerFd_);
    if (fd_ >= 0) ::close(fd_);
}

int RunController(TSimLine& line, const TSimOptions& options, std::FILE* out, std::FILE* log,
                  const std::atomic<bool>& stop)
{
    const auto started = TClock::now();
    auto now = [&] { return std::chrono::duration_cast<TTime>(TClock::now() - started); };
    const TTime byteTime = options.pacing ? kLineByteTime : TTime::zero();

    TControllerSim controller(options.policy, byteTime);
    if (log)
        controller.SetLog([log](TTime at, const std::string& text) {
            std::fprintf(log, "%10.3f ms  %s\n", Milliseconds(at), text.c_str());
            std::fflush(log);
        });
    if (out)
        controller.SetScheduleReport([out](int number, const std::vector<TEntry>& entries) {
            std::fputs(FormatSchedule(number, entries).c_str(), out);
            std::fflush(out);
        });
    auto logBytes = [&](const char* direction, const std::uint8_t* bytes, std::size_t count) {
        if (log && options.verbose) {
            std::fprintf(log, "%10.3f ms  %s %s\n", Milliseconds(now()), direction,
                         HexBytes(bytes, count).c_str());
            std::fflush(log);
        }
    };

    std::deque<TControllerSim::TAnswer> answers;
    TTime rxFree{}; // when the line from the computer has delivered the bytes read so far
    const std::optional<TTime> deadline =
        options.timeout ? std::optional<TTime>(*options.timeout) : std::nullopt;

    int delivered = 0; // complete schedules whose last answer has been written
    bool noiseDue = options.noise > 0;
    while (!stop.load()) {
        if (options.once && delivered > 0) break;
        TTime wake = now() + std::chrono::milliseconds(100); // looks at `stop` this often
        if (!answers.empty()) wake = std::min(wake, answers.front().due);
        if (deadline) {
            if (now() >= *deadline) break;
            wake = std::min(wake, *deadline);
        }

        const TTime wait = std::max(wake - now(), TTime::zero());
        const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                               static_cast<long>(wait.count() % 1'000'000'000)};
        pollfd pfd{line.Fd(), POLLIN, 0};
        const int ready = ::ppoll(&pfd, 1, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            if (log) std::fprintf(log, "poll: %s\n", std::strerror(errno));
            return 3;
        }
        if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) &&
            !(pfd.revents & POLLIN)) {
            if (log) std::fprintf(log, "the line hung up\n");
            return 3;
        }
        if (ready > 0 && (pfd.revents & POLLIN)) {
            std::uint8_t buffer[256];
            const ssize_t n = ::read(line.Fd(), buffer, sizeof buffer);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                if (log) std::fprintf(log, "read: %s\n", std::strerror(errno));
                return 3;
            }
            if (n > 0) {
                logBytes("rx", buffer, static_cast<std::size_t>(n));
                const TTime readAt = now();
                for (ssize_t i = 0; i < n; ++i) {
                    rxFree = std::max(readAt, rxFree) + byteTime;
                    if (auto answer = controller.Receive(buffer[i], rxFree))
                        answers.push_back(std::move(*answer));
                }
            }
        }
        while (!answers.empty() && answers.front().due <= now()) {
            if (std::exchange(noiseDue, false)) {
                const auto giveUp = [&] { return stop.load() || (deadline && now() >= *deadline); };
                if (!WriteAll(line.Fd(), Noise(options.noise), giveUp)) {
                    if (giveUp()) break; // a stop or the timeout ends the run the usual way
                    if (log) std::fprintf(log, "write: %s\n", std::strerror(errno));
                    return 3;
                }
                if (log)
                    std::fprintf(log, "%10.3f ms  noise: %d bytes\n", Milliseconds(now()),
                                 options.noise);
            }
            const TBytes& bytes = answers.front().bytes;
            if (::write(line.Fd(), bytes.data(), bytes.size()) !=
                static_cast<ssize_t>(bytes.size())) {
                if (log) std::fprintf(log, "write: %s\n", std::strerror(errno));
                return 3;
            }
            logBytes("tx", bytes.data(), bytes.size());
            if (answers.front().completesSchedule) ++delivered;
            answers.pop_front();
        }
    }
    if (options.once && delivered > 0)
        line.AwaitClose([&] { return stop.load() || (deadline && now() >= *deadline); });
    else
        line.Drain(std::chrono::seconds(1));
    return delivered > 0 ? 0 : 1;
}

} // namespace movarth::sim
