#include "PosixComm.h"

#include "PosixBaudRate.h"
#include "RxTrigger.h"
#include "SerialSync.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth {

TCommPlatform& DefaultCommPlatform()
{
    // Never destroyed: when a library ends the process with exit() (Qt's X11 plugin does when
    // the display goes away), the program's threads still wait on its devices. Whatever is
    // still open then is given back at exit all the same.
    static TPosixCommPlatform* const platform = [] {
        auto* created = new TPosixCommPlatform;
        std::atexit([] { platform->GiveBackAtExit(); });
        return created;
    }();
    return *platform;
}

std::string PosixDevicePath(std::string_view name)
{
    if (name.empty()) return {};
    if (name.find('/') != std::string_view::npos) return std::string(name);
    const auto upper = [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    if (name.size() > 3 && upper(name[0]) == 'C' && upper(name[1]) == 'O' &&
        upper(name[2]) == 'M') {
        const std::string_view digits = name.substr(3);
        unsigned number = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (error == std::errc() && end == digits.data() + digits.size() && number >= 1 &&
            digits[0] != '0')
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + std::string(name);
}

speed_t StandardSpeed(std::uint32_t rate)
{
    switch (rate) {
    case 110:
        return B110;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0; // 14400, 56000, 128000, 256000 among them
    }
}

int ToTermios(const TDeviceControlBlock& block, termios& settings, bool& customRate)
{
    using namespace DcbFlag;
    constexpr std::uint32_t unsupported =
        fOutxDsrFlow | fDsrSensitivity | fErrorChar | fNull | fAbortOnError;
    const std::uint32_t dtrControl = block.Flags & DtrControlMask;
    const std::uint32_t rtsControl = block.Flags & RtsControlMask;
    if (block.ByteSize < 5 || block.ByteSize > 8 || block.Parity > 4 ||
        (block.StopBits != 0 && block.StopBits != 2) || block.BaudRate == 0 ||
        (block.Flags & unsupported) != 0 || dtrControl > DtrControlEnable ||
        rtsControl == RtsControlMask)
        return EINVAL;

    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    settings.c_cc[VMIN] = 1; // with O_NONBLOCK: no data is EAGAIN, a 0-byte read is a hang-up
    settings.c_cc[VTIME] = 0;

    static constexpr std::array<tcflag_t, 4> sizes{CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes[block.ByteSize - 5];
    static constexpr std::array<tcflag_t, 5> parities{0, PARENB | PARODD, PARENB,
                                                      PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
    settings.c_cflag |= parities[block.Parity];
    if (block.StopBits == 2) settings.c_cflag |= CSTOPB;
    // Linux has one switch for both directions of hardware flow control.
    if ((block.Flags & fOutxCtsFlow) || rtsControl == RtsControlHandshake)
        settings.c_cflag |= CRTSCTS;
    if (block.Flags & fParity) settings.c_iflag |= INPCK;
    if (block.Flags & fOutX) settings.c_iflag |= IXON;
    if (block.Flags & fInX) settings.c_iflag |= IXOFF;
    settings.c_cc[VSTART] = static_cast<cc_t>(block.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(block.XoffChar);

    const speed_t speed = StandardSpeed(block.BaudRate);
    customRate = speed == B0;
    if (!customRate) {
        ::cfsetispeed(&settings, speed);
        ::cfsetospeed(&settings, speed);
    }
    return 0;
}

void FromTermios(const termios& settings, TDeviceControlBlock& block)
{
    using namespace DcbFlag;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        block.ByteSize = 5;
        break;
    case CS6:
        block.ByteSize = 6;
        break;
    case CS7:
        block.ByteSize = 7;
        break;
    default:
        block.ByteSize = 8;
        break;
    }
    const bool odd = settings.c_cflag & PARODD;
    if (!(settings.c_cflag & PARENB))
        block.Parity = 0;
    else if (settings.c_cflag & CMSPAR)
        block.Parity = odd ? 3 : 4;
    else
        block.Parity = odd ? 1 : 2;
    block.StopBits = (settings.c_cflag & CSTOPB) ? 2 : 0;

    block.Flags = fBinary;
    if (settings.c_iflag & INPCK) block.Flags |= fParity;
    if (settings.c_cflag & CRTSCTS) block.Flags |= fOutxCtsFlow | RtsControlHandshake;
    if (settings.c_iflag & IXON) block.Flags |= fOutX;
    if (settings.c_iflag & IXOFF) block.Flags |= fInX;
    block.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    block.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
}

namespace {

constexpr std::uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_BREAK | EV_ERR;
// The kernel offers no pollable wake-up for modem-line changes (TIOCMIWAIT blocks and cannot
// be woken for Stop), so where the driver counts them they are looked at this often.
constexpr int ModemSampleMs = 50;

bool ReadCounts(int fd, serial_icounter_struct& counts)
{
    return ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
}

std::uint32_t ChangedEvents(const serial_icounter_struct& was, const serial_icounter_struct& is)
{
    std::uint32_t events = 0;
    if (is.cts != was.cts) events |= EV_CTS;
    if (is.dsr != was.dsr) events |= EV_DSR;
    if (is.rng != was.rng) events |= EV_RING;
    if (is.dcd != was.dcd) events |= EV_RLSD;
    if (is.brk != was.brk) events |= EV_BREAK;
    if (is.frame != was.frame || is.overrun != was.overrun || is.parity != was.parity ||
        is.buf_overrun != was.buf_overrun)
        events |= EV_ERR;
    return events;
}

std::uint32_t ErrorFlags(const serial_icounter_struct& was, const serial_icounter_struct& is)
{
    std::uint32_t errors = 0;
    if (is.buf_overrun != was.buf_overrun) errors |= CE_RXOVER;
    if (is.overrun != was.overrun) errors |= CE_OVERRUN;
    if (is.parity != was.parity) errors |= CE_RXPARITY;
    if (is.frame != was.frame) errors |= CE_FRAME;
    if (is.brk != was.brk) errors |= CE_BREAK;
    return errors;
}

bool SameFraming(const termios& wanted, const termios& is)
{
    constexpr tcflag_t cflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    constexpr tcflag_t iflags = IXON | IXOFF | INPCK;
    return (wanted.c_cflag & cflags) == (is.c_cflag & cflags) &&
           (wanted.c_iflag & iflags) == (is.c_iflag & iflags);
}

// Ask a USB adapter's driver not to hold back short answers for its latency timer; drivers
// without the setting refuse, which changes nothing.
void RequestLowLatency(int fd)
{
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &serial);
    }
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

bool IsDirectory(const char* path)
{
    struct stat status
    {
    };
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// The process id a lock file holds: ten characters of ASCII decimal, blank-padded, and a
// line end. 0 when it holds none.
pid_t LockOwner(const std::string& lockPath)
{
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) return 0;
    const char* digits = text;
    while (*digits == ' ')
        ++digits;
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits, text + got, pid);
    return error == std::errc() && pid > 0 ? pid : 0;
}

bool ProcessAlive(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// A character device that is a terminal, judged on the open descriptor (the path may have
// changed meanwhile).
bool IsTerminal(int fd)
{
    struct stat status
    {
    };
    return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && ::isatty(fd) == 1;
}

// This process's lock file, written whole under a temporary name of its own in the folder:
// mkstemp picks a name nobody can have planted beforehand (and tries another on a collision).
// Mode 0644 whatever the umask, so that every later opener can read whose it is. The
// temporary file's path, or empty when the folder is not ours to write.
std::string WriteTemporaryLockFile(const std::string& directory)
{
    std::string tempPath = directory + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) return {};
    char content[16];
    const int length =
        std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
    const bool written =
        ::write(fd, content, static_cast<std::size_t>(length)) == length && ::fchmod(fd, 0644) == 0;
    ::close(fd);
    if (written) return tempPath;
    ::unlink(tempPath.c_str());
    return {};
}

// Removes a lock file whose owner has gone. Answers false, with the reason in `note`, when it
// stays: another user's file in a sticky folder (as /run/lock is) cannot be removed by us.
bool RemoveStaleLockFile(const std::string& lockPath, pid_t owner, std::string& note)
{
    if (::unlink(lockPath.c_str()) == 0 || errno == ENOENT) return true;
    note = lockPath +
           (owner > 0 ? ", left by process " + std::to_string(owner) + " which has ended,"
                      : ", which names no running process,") +
           " cannot be removed (" + std::strerror(errno) + ")";
    return false;
}

// Creates the lock file of a device for this process. Answers 0 with the lock file's path in
// `held` (empty when there is no folder to write it in, or a stale lock file there cannot be
// removed: the device is then opened without one, and `note` says why in the second case), or
// EBUSY when a live process holds the device. The file is linked into place complete, so
// nobody ever reads it half-written.
int TakeLockFile(const std::string& directory, const std::string& devicePath, std::string& held,
                 std::string& note)
{
    held.clear();
    if (directory.empty()) return 0;
    const std::string lockPath = directory + "/" + LockFileName(devicePath);
    const std::string tempPath = WriteTemporaryLockFile(directory);
    if (tempPath.empty()) return 0; // the folder is not ours to write: go on without a lock file
    int result = EBUSY;             // unless the file goes into place, or cannot be made here
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::link(tempPath.c_str(), lockPath.c_str()) == 0) {
            held = lockPath;
            result = 0;
            break;
        }
        if (errno != EEXIST) { // no lock file can be made here
            result = 0;
            break;
        }
        const pid_t owner = LockOwner(lockPath);
        if (owner > 0 && ProcessAlive(owner)) break;
        // Its owner has gone: take it over. Where it cannot be removed, flock and the
        // terminal's exclusive mode still keep other openers out; but one that we cannot even
        // read may well be a live process's, and keeps the device from us.
        if (!RemoveStaleLockFile(lockPath, owner, note)) {
            if (::access(lockPath.c_str(), R_OK) == 0)
                result = 0;
            else
                note.clear();
            break;
        }
    } // after two attempts another opener took it over first
    ::unlink(tempPath.c_str());
    return result;
}

void ReleaseLockFile(const std::string& lockPath)
{
    if (!lockPath.empty() && LockOwner(lockPath) == ::getpid()) ::unlink(lockPath.c_str());
}

} // namespace

std::string DefaultLockDirectory()
{
    for (const char* directory : {"/run/lock", "/var/lock"})
        if (IsDirectory(directory)) return directory;
    return {};
}

std::string LockFileName(const std::string& devicePath)
{
    std::string name = devicePath;
    if (char* resolved = ::realpath(devicePath.c_str(), nullptr)) {
        name = resolved;
        std::free(resolved);
    }
    constexpr std::string_view dev = "/dev/";
    if (name.starts_with(dev))
        name.erase(0, dev.size());
    else
        name.erase(0, name.rfind('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

namespace {

// The path a name leads to, symbolic links resolved; empty when it leads nowhere.
std::string ResolvedPath(const std::string& path)
{
    std::string resolved;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    }
    return resolved;
}

// A path's lock file names: by its last component, and by its path below /dev.
void AddLockFileNames(const std::string& path, std::vector<std::string>& names)
{
    const auto add = [&names](std::string name) {
        if (name.empty()) return;
        name.insert(0, "LCK..");
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    add(path.substr(path.rfind('/') + 1));
    constexpr std::string_view dev = "/dev/";
    if (path.starts_with(dev)) {
        std::string below = path.substr(dev.size());
        std::replace(below.begin(), below.end(), '/', '_');
        add(below);
    }
}

} // namespace

std::vector<std::string> DefaultSerialLinkFolders()
{
    return {"/dev/serial/by-id", "/dev/serial/by-path"};
}

std::vector<std::string> LockFileNamesOf(const std::string& devicePath,
                                         const std::vector<std::string>& linkFolders)
{
    std::vector<std::string> names;
    AddLockFileNames(devicePath, names);
    const std::string device = ResolvedPath(devicePath);
    if (device.empty()) return names;
    AddLockFileNames(device, names);
    for (const std::string& folder : linkFolders) {
        DIR* entries = ::opendir(folder.c_str());
        if (entries == nullptr) continue;
        while (const dirent* entry = ::readdir(entries)) {
            const std::string link = folder + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && ResolvedPath(link) == device)
                AddLockFileNames(link, names);
        }
        ::closedir(entries);
    }
    return names;
}

std::vector<TLockFileHolder> LiveLockFiles(const std::string& directory,
                                           const std::string& devicePath,
                                           const std::vector<std::string>& linkFolders)
{
    std::vector<TLockFileHolder> live;
    if (directory.empty()) return live;
    for (const std::string& name : LockFileNamesOf(devicePath, linkFolders)) {
        const std::string lockFile = directory + "/" + name;
        const pid_t owner = LockOwner(lockFile);
        if (owner > 0 && ProcessAlive(owner)) live.push_back({lockFile, owner});
    }
    return live;
}

struct TPosixCommPlatform::TDevice
{
    TDevice(int descriptor, bool isTerminal) : fd(descriptor), terminal(isTerminal) {}
    ~TDevice()
    {
        if (epoll >= 0) ::close(epoll);
    }

    const int fd;
    // A terminal device, held and set up; anything else was opened only to be refused.
    const bool terminal;
    termios found{};        // the line settings it had before, put back when it is given back
    std::string lockFile;   // the UUCP lock file taken for it, if any
    int epoll = -1;         // fd (edge-triggered input, hang-up) and txStarted
    int pollError = 0;      // why fd could not join the epoll set (it is no pollable device)
    TSimpleEvent txStarted; // set by each write, so that the wait watches the output queue
    std::atomic<std::uint32_t> mask{0};
    bool countsSupported = false;
    TRxTriggerChange rxTrigger; // what to put back on close

    // Event thread only.
    serial_icounter_struct eventCounts{};
    bool txPending = false;

    // What termios has no place for; under the lock.
    std::mutex lock;
    serial_icounter_struct errorCounts{};
    TDeviceControlBlock kept;
    std::uint32_t bitsPerChar = 10;
};

TPosixCommPlatform::TPosixCommPlatform(std::string lockDirectory,
                                       std::vector<std::string> linkFolders, std::string sysfsRoot)
    : lockDirectory_(std::move(lockDirectory)), linkFolders_(std::move(linkFolders)),
      sysfsRoot_(std::move(sysfsRoot))
{
}

TPosixCommPlatform::~TPosixCommPlatform()
{
    for (const auto& [handle, device] : devices_) {
        GiveBack(*device);
        ::close(handle);
    }
}

void TPosixCommPlatform::GiveBack(const TDevice& device)
{
    RestoreRxTrigger(device.rxTrigger); // while still held, so that no other opener sees it change
    if (device.terminal) {
        (void)::tcsetattr(device.fd, TCSANOW, &device.found);
        // The exclusive mode belongs to the terminal, not to this descriptor: give it back, or
        // the next opener (while someone else keeps the terminal open) is refused.
        (void)::ioctl(device.fd, TIOCNXCL);
    }
    ReleaseLockFile(device.lockFile);
}

void TPosixCommPlatform::GiveBackAtExit()
{
    // The descriptors stay: other threads may still wait on them, and the process's end closes
    // them (and so releases their flock).
    std::lock_guard lock(mutex_);
    for (const auto& [handle, device] : devices_)
        GiveBack(*device);
}

std::shared_ptr<TPosixCommPlatform::TDevice> TPosixCommPlatform::Find(TCommHandle handle) const
{
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(handle);
    return found == devices_.end() ? nullptr : found->second;
}

int TPosixCommPlatform::OpenDevice(const std::string& deviceName, TCommHandle& handle)
{
    handle = InvalidCommHandle;
    const std::string path = PosixDevicePath(deviceName);
    if (path.empty()) return ENOENT;
    // The lock file comes first: opening a serial device can already change its modem lines
    // under the program that holds it.
    std::string lockFile;
    // Stale lock files under the other names are left as they are: not ours to take over.
    if (!LiveLockFiles(lockDirectory_, path, linkFolders_).empty()) return EBUSY;
    std::string lockNote;
    if (const int error = TakeLockFile(lockDirectory_, path, lockFile, lockNote)) return error;
    const auto refuse = [&lockFile](int error, int fd) {
        if (fd >= 0) ::close(fd);
        ReleaseLockFile(lockFile);
        return error;
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return refuse(errno, -1);
    // Nothing that can change a file (a lock, the exclusive mode, line settings) happens before
    // it is known to be a terminal: anything else is handed back untouched, for
    // IsCharacterDevice to refuse.
    if (!IsTerminal(fd)) {
        ReleaseLockFile(lockFile);
        std::lock_guard lock(mutex_);
        devices_[fd] = std::make_shared<TDevice>(fd, false);
        handle = fd;
        return 0;
    }
    // Exclusive: flock keeps out every other opener that locks (also root, whom TIOCEXCL
    // lets through); TIOCEXCL keeps out those that do not lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) return refuse(errno, fd);
    (void)::ioctl(fd, TIOCEXCL);

    auto device = std::make_shared<TDevice>(fd, true);
    termios settings{};
    if (::tcgetattr(fd, &settings) == 0) {
        device->found = settings;
        ::cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        (void)::tcsetattr(fd, TCSANOW, &settings);
        RequestLowLatency(fd);
    }

    device->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (device->epoll < 0) return refuse(errno, fd);
    device->lockFile = lockFile;
    // Edge-triggered input: bytes that arrive are reported once, bytes left unread are not
    // reported again until more arrive.
    epoll_event input{};
    input.events = EPOLLIN | EPOLLET;
    input.data.fd = fd;
    if (::epoll_ctl(device->epoll, EPOLL_CTL_ADD, fd, &input) < 0) device->pollError = errno;
    epoll_event tx{};
    tx.events = EPOLLIN;
    tx.data.fd = device->txStarted.Handle();
    (void)::epoll_ctl(device->epoll, EPOLL_CTL_ADD, device->txStarted.Handle(), &tx);

    device->countsSupported = ReadCounts(fd, device->errorCounts);
    device->eventCounts = device->errorCounts;
    device->kept.XonLim = 2048;
    device->kept.XoffLim = 512;
    device->rxTrigger = LowerRxTrigger(fd, sysfsRoot_);

    {
        std::lock_guard lock(mutex_);
        devices_[fd] = std::move(device);
        handle = fd;
    }
    if (!lockNote.empty() && OnLockFileNote)
        OnLockFileNote("'" + path + "' opened without a lock file: " + lockNote);
    return 0;
}

bool TPosixCommPlatform::IsCharacterDevice(TCommHandle handle)
{
    // Only a terminal serves as a port: a character device that is none (/dev/null) takes no
    // line settings.
    const auto device = Find(handle);
    return device && device->terminal;
}

void TPosixCommPlatform::CloseDevice(TCommHandle handle)
{
    std::shared_ptr<TDevice> device;
    {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(handle);
        if (found == devices_.end()) return;
        device = std::move(found->second);
        devices_.erase(found);
    }
    GiveBack(*device);
    ::close(handle);
}

int TPosixCommPlatform::GetCommState(TCommHandle handle, TDeviceControlBlock& block)
{
    const auto device = Find(handle);
    if (!device) return EBADF;
    termios settings{};
    if (::tcgetattr(device->fd, &settings) < 0) return errno;
    std::uint32_t rate = 0;
    if (GetBaudRate(device->fd, rate) != 0) rate = 0;
    block.BaudRate = rate;
    FromTermios(settings, block);

    // DTR and RTS as the lines stand; a driver without modem lines (a pseudo-terminal) shows
    // them as a port has them after opening.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)::ioctl(device->fd, TIOCMGET, &lines);
    using namespace DcbFlag;
    if (lines & TIOCM_DTR) block.Flags |= DtrControlEnable;
    if ((lines & TIOCM_RTS) && !(block.Flags & RtsControlHandshake))
        block.Flags |= RtsControlEnable;

    std::lock_guard lock(device->lock);
    block.Flags |= device->kept.Flags & fTXContinueOnXoff;
    block.XonLim = device->kept.XonLim;
    block.XoffLim = device->kept.XoffLim;
    block.ErrorChar = device->kept.ErrorChar;
    block.EofChar = device->kept.EofChar;
    block.EvtChar = device->kept.EvtChar;
    return 0;
}

int TPosixCommPlatform::SetCommState(TCommHandle handle, const TDeviceControlBlock& block)
{
    const auto device = Find(handle);
    if (!device) return EBADF;
    const int fd = device->fd;
    termios previous{};
    if (::tcgetattr(fd, &previous) < 0) return errno;
    termios wanted = previous;
    bool customRate = false;
    if (const int error = ToTermios(block, wanted, customRate)) return error;
    if (::tcsetattr(fd, TCSANOW, &wanted) < 0) return errno;

    // tcsetattr succeeds when any part applied; a driver may drop what it cannot do (a
    // pseudo-terminal keeps only 8 bits without parity). A different line than asked for is a
    // failure, and the device goes back to its previous settings.
    int error = customRate ? SetCustomBaudRate(fd, block.BaudRate) : 0;
    termios applied{};
    if (error == 0 && ::tcgetattr(fd, &applied) < 0) error = errno;
    if (error == 0 && !SameFraming(wanted, applied)) error = EINVAL;
    if (error != 0) {
        (void)::tcsetattr(fd, TCSANOW, &previous);
        return error;
    }

    using namespace DcbFlag;
    const auto setLine = [fd](int line, bool on) {
        (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
    };
    setLine(TIOCM_DTR, (block.Flags & DtrControlMask) == DtrControlEnable);
    if ((block.Flags & RtsControlMask) != RtsControlHandshake && !(block.Flags & fOutxCtsFlow))
        setLine(TIOCM_RTS, (block.Flags & RtsControlMask) == RtsControlEnable);

    // Linux keeps sending after it has sent XOFF, whatever fTXContinueOnXoff says, and has
    // fixed XON/XOFF thresholds; these values are only kept for GetCommState.
    std::lock_guard lock(device->lock);
    device->kept = block;
    device->bitsPerChar =
        1u + block.ByteSize + (block.Parity != 0 ? 1u : 0u) + (block.StopBits == 2 ? 2u : 1u);
    return 0;
}

int TPosixCommPlatform::SetupComm(TCommHandle handle, int inQueue, int outQueue)
{
    // The terminal layer's queues have a size of their own; any positive size is accepted.
    if (!Find(handle)) return EBADF;
    return inQueue > 0 && outQueue > 0 ? 0 : EINVAL;
}

int TPosixCommPlatform::SetCommTimeouts(TCommHandle handle, const TCommTimeouts& /*timeouts*/)
{
    // Reads never wait on this platform (a non-blocking descriptor), which is the behaviour the
    // component asks for; write time limits are given with each write.
    return Find(handle) ? 0 : EBADF;
}

int TPosixCommPlatform::SetCommMask(TCommHandle handle, std::uint32_t mask)
{
    const auto device = Find(handle);
    if (!device) return EBADF;
    device->mask = mask;
    if (device->countsSupported) ReadCounts(device->fd, device->eventCounts);
    return 0;
}

int TPosixCommPlatform::WaitCommEvent(TCommHandle handle, TEvent& wakeUp, std::uint32_t& mask)
{
    mask = 0;
    const auto device = Find(handle);
    if (!device) return EBADF;
    if (device->pollError != 0) return device->pollError;
    for (;;) {
        const std::uint32_t wanted = device->mask;
        int timeout = -1;
        if (device->countsSupported && (wanted & ModemEvents)) timeout = ModemSampleMs;
        if (device->txPending) {
            int queued = 0;
            (void)::ioctl(device->fd, TIOCOUTQ, &queued);
            std::uint32_t bits = 10;
            std::uint32_t rate = 9600;
            {
                std::lock_guard lock(device->lock);
                bits = device->bitsPerChar;
                rate = std::max<std::uint32_t>(device->kept.BaudRate, 1);
            }
            const auto drainMs = static_cast<int>(
                std::clamp<std::uint64_t>(std::uint64_t(queued) * bits * 1000 / rate + 1, 1, 1000));
            timeout = timeout < 0 ? drainMs : std::min(timeout, drainMs);
        }

        pollfd entries[2] = {{device->epoll, POLLIN, 0}, {wakeUp.Handle(), POLLIN, 0}};
        const int ready = ::poll(entries, 2, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (entries[1].revents != 0) return 0; // woken up: no line event

        std::uint32_t events = 0;
        std::array<epoll_event, 4> happened{};
        const int count =
            ::epoll_wait(device->epoll, happened.data(), static_cast<int>(happened.size()), 0);
        for (int i = 0; i < count; ++i) {
            const epoll_event& event = happened[static_cast<std::size_t>(i)];
            if (event.data.fd == device->fd) {
                if (event.events & (EPOLLHUP | EPOLLERR))
                    return EIO; // unplugged, or the other end closed
                if (event.events & EPOLLIN) events |= EV_RXCHAR;
            } else {
                device->txStarted.ResetEvent();
                device->txPending = true;
            }
        }
        if (device->txPending) {
            int queued = 0;
            if (::ioctl(device->fd, TIOCOUTQ, &queued) < 0 || queued == 0) {
                device->txPending = false;
                events |= EV_TXEMPTY;
            }
        }
        if (device->countsSupported && (wanted & ModemEvents)) {
            serial_icounter_struct counts{};
            if (ReadCounts(device->fd, counts)) {
                events |= ChangedEvents(device->eventCounts, counts);
                device->eventCounts = counts;
            }
        }
        events &= wanted;
        if (events != 0) {
            mask = events;
            return 0;
        }
    }
}

int TPosixCommPlatform::ClearCommError(TCommHandle handle, TCommStatus& status)
{
    const auto device = Find(handle);
    if (!device) return EBADF;
    int inQueue = 0;
    if (::ioctl(device->fd, FIONREAD, &inQueue) < 0) return errno;
    int outQueue = 0;
    (void)::ioctl(device->fd, TIOCOUTQ, &outQueue);
    status.InQueue = static_cast<std::uint32_t>(std::max(inQueue, 0));
    status.OutQueue = static_cast<std::uint32_t>(std::max(outQueue, 0));
    status.Errors = 0;
    if (device->countsSupported) {
        serial_icounter_struct counts{};
        std::lock_guard lock(device->lock);
        if (ReadCounts(device->fd, counts)) {
            status.Errors = ErrorFlags(device->errorCounts, counts);
            device->errorCounts = counts;
        }
    }
    return 0;
}

int TPosixCommPlatform::PurgeComm(TCommHandle handle, std::uint32_t flags)
{
    const auto device = Find(handle);
    if (!device) return EBADF;
    // Transfers never stay pending here, so the two abort flags have nothing to abort.
    const bool input = flags & PURGE_RXCLEAR;
    const bool output = flags & PURGE_TXCLEAR;
    if (!input && !output) return 0;
    return ::tcflush(device->fd, input && output ? TCIOFLUSH
                                 : input         ? TCIFLUSH
                                                 : TCOFLUSH) < 0
               ? errno
               : 0;
}

int TPosixCommPlatform::ReadFile(TCommHandle handle, std::span<std::uint8_t> buffer,
                                 int /*timeoutMs*/, int& transferred)
{
    transferred = 0;
    const auto device = Find(handle);
    if (!device) return EBADF;
    if (buffer.empty()) return 0;
    for (;;) {
        const ssize_t count = ::read(device->fd, buffer.data(), buffer.size());
        if (count > 0) {
            transferred = static_cast<int>(count);
            return 0;
        }
        if (count == 0) return EIO; // end of file on a serial line: the device is gone
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0; // nothing received
        return errno;
    }
}

int TPosixCommPlatform::WriteFile(TCommHandle handle, std::span<const std::uint8_t> buffer,
                                  int timeoutMs, int& transferred)
{
    transferred = 0;
    const auto device = Find(handle);
    if (!device) return EBADF;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t count = ::write(device->fd, buffer.data() + done, buffer.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            device->txStarted.SetEvent();
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        // The output queue is full: wait for room until the time is up. Bytes already taken
        // by the kernel go out; the result still says the write did not complete.
        const int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        if (wait == 0) {
            transferred = -1;
            return 0;
        }
        pollfd entry{device->fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, wait);
        if (ready < 0 && errno != EINTR) return errno;
        if (ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return entry.revents & POLLNVAL ? EBADF : EIO;
    }
    transferred = static_cast<int>(done);
    return 0;
}

} // namespace movarth
