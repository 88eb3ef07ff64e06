#pragma once

#include "comm/CommPlatform.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace movarth {

// Where the POSIX platform looks for a device name: a name containing "/" is a path; "COM"
// and a number n ≥ 1, in any letter case, is the n-th standard serial port /dev/ttyS<n-1>;
// any other name is looked up under /dev. An empty name names nothing (empty result).
std::string PosixDevicePath(std::string_view deviceName);

// The standard speed constant for a bit rate, or B0 when there is none.
speed_t StandardSpeed(std::uint32_t rate);

// Raw termios with the block's framing, flow control and XON/XOFF characters. Answers 0, or
// EINVAL for a setting that Linux cannot apply (4 data bits, 1.5 stop bits, DTR/DSR flow
// control, DSR sensitivity, error-character replacement, NUL stripping, abort on error,
// RTS toggling). The bit rate is set when it has a standard speed; otherwise customRate
// tells that it must be set through termios2.
int ToTermios(const TDeviceControlBlock& block, termios& settings, bool& customRate);
// The framing, flow-control flags and XON/XOFF characters that termios holds; the other fields
// of the block are left as they are.
void FromTermios(const termios& settings, TDeviceControlBlock& block);

// The folder of the UUCP lock files: /run/lock, else /var/lock, else none (empty).
std::string DefaultLockDirectory();

// The name of a device's UUCP lock file: "LCK.." and the device as other serial programs name
// it, symbolic links resolved, relative to /dev with "/" written as "_" (/dev/ttyUSB0 gives
// LCK..ttyUSB0, /dev/pts/3 LCK..pts_3); a device outside /dev goes by its file name.
std::string LockFileName(const std::string& devicePath);

// The folders of the stable names that udev gives serial devices: /dev/serial/by-id and
// /dev/serial/by-path.
std::vector<std::string> DefaultSerialLinkFolders();

// Every UUCP lock file name under which another serial program may hold the device at
// `devicePath`. The programs disagree: cu names a device by the last component of the name it
// was given (/dev/pts/1 is LCK..1), minicom, like LockFileName, by its path below /dev with
// "/" as "_" (LCK..pts_1). Both are taken for the name as given, for the device it resolves
// to, and for each link in `linkFolders` that resolves to the same device (a by-id link opened
// by minicom is LCK..serial_by-id_<link>, by cu LCK..<link>).
std::vector<std::string> LockFileNamesOf(const std::string& devicePath,
                                         const std::vector<std::string>& linkFolders);

// A lock file that names a live process.
struct TLockFileHolder
{
    std::string lockFile; // its path
    pid_t pid = 0;        // the process it names
};

// The lock files in `directory`, under any of the device's names (LockFileNamesOf), that name
// a process still running: the programs that hold the device by a lock file.
std::vector<TLockFileHolder> LiveLockFiles(const std::string& directory,
                                           const std::string& devicePath,
                                           const std::vector<std::string>& linkFolders);

// Serial devices on Linux: a non-blocking descriptor held exclusively, raw termios, and line
// events from epoll (received bytes, hang-up), the output queue (transmit empty) and the
// driver's interrupt counters (modem lines, break, errors) where it keeps them.
//
// Exclusive means: an opened device is locked with flock (which every program that locks
// respects, root included), put in the terminal's exclusive mode (TIOCEXCL: other openers but
// root are refused), and, where the lock folder is writable, announced by a UUCP lock file
// holding this process's id, as terminal and modem programs expect. A device whose lock file
// names a live process is refused (EBUSY); a lock file left by a process that has ended is
// taken over, or, where it cannot be removed (another user's, in a sticky folder), the device
// is opened without a lock file of ours and OnLockFileNote says so. A live lock file under any
// other name the device goes by (LockFileNamesOf) refuses it too.
//
// Only a terminal is held: a path that names anything else is opened but neither locked nor
// touched, and IsCharacterDevice refuses it. The line settings found on opening are put back
// when the device is given back, and a 16550-compatible UART's receive trigger is 1 byte while
// the device is held (RxTrigger.h).
class TPosixCommPlatform final : public TCommPlatform
{
public:
    // lockDirectory: where the UUCP lock files go; empty for none. linkFolders: where the
    // device's other names are looked for. sysfsRoot: where sysfs is mounted.
    explicit TPosixCommPlatform(std::string lockDirectory = DefaultLockDirectory(),
                                std::vector<std::string> linkFolders = DefaultSerialLinkFolders(),
                                std::string sysfsRoot = "/sys");
    // Gives back every device still open, as CloseDevice does.
    ~TPosixCommPlatform() override;

    // Gives back every device still open (line settings, exclusive mode, lock file) but keeps
    // the descriptors: for the process's end, when other threads may still wait on them.
    void GiveBackAtExit();

    // Called on the opening thread when a device has been opened without a lock file of ours
    // because a stale one cannot be removed; the text says which and why.
    std::function<void(const std::string& text)> OnLockFileNote;

    int OpenDevice(const std::string& deviceName, TCommHandle& handle) override;
    bool IsCharacterDevice(TCommHandle handle) override;
    void CloseDevice(TCommHandle handle) override;
    int GetCommState(TCommHandle handle, TDeviceControlBlock& block) override;
    int SetCommState(TCommHandle handle, const TDeviceControlBlock& block) override;
    int SetupComm(TCommHandle handle, int inQueue, int outQueue) override;
    int SetCommTimeouts(TCommHandle handle, const TCommTimeouts& timeouts) override;
    int SetCommMask(TCommHandle handle, std::uint32_t mask) override;
    int WaitCommEvent(TCommHandle handle, TEvent& wakeUp, std::uint32_t& mask) override;
    int ClearCommError(TCommHandle handle, TCommStatus& status) override;
    int PurgeComm(TCommHandle handle, std::uint32_t flags) override;
    int ReadFile(TCommHandle handle, std::span<std::uint8_t> buffer, int timeoutMs,
                 int& transferred) override;
    int WriteFile(TCommHandle handle, std::span<const std::uint8_t> buffer, int timeoutMs,
                  int& transferred) override;

private:
    struct TDevice;
    std::shared_ptr<TDevice> Find(TCommHandle handle) const;
    static void GiveBack(const TDevice& device);

    const std::string lockDirectory_;
    const std::vector<std::string> linkFolders_;
    const std::string sysfsRoot_;
    mutable std::mutex mutex_;
    std::map<TCommHandle, std::shared_ptr<TDevice>> devices_;
};

} // namespace movarth
