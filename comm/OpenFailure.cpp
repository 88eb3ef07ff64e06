#include "comm/OpenFailure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace movarth {

namespace {

// The first line of a small file (a sysfs attribute, /proc/<pid>/comm) without its line end;
// empty when it cannot be read.
std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

TFileKind FileKindOf(mode_t mode)
{
    if (S_ISDIR(mode)) return fkDirectory;
    if (S_ISFIFO(mode)) return fkFifo;
    if (S_ISSOCK(mode)) return fkSocket;
    if (S_ISBLK(mode)) return fkBlockDevice;
    if (S_ISCHR(mode)) return fkCharDevice;
    return fkRegular;
}

// Whether a character device is a slot of the serial core with no UART behind it: the 8250
// driver keeps ttyS0 to ttyS31 whether or not there is one, and its type 0 says there is none.
bool IsEmptyUartSlot(const std::string& sysRoot, dev_t device)
{
    return FirstLine(sysRoot + "/dev/char/" + std::to_string(major(device)) + ":" +
                     std::to_string(minor(device)) + "/type") == "0";
}

// The processes that hold a flock on the file `inode` of the file system `fileSystem`, as
// /proc/locks lists them: "1: FLOCK  ADVISORY  WRITE 2339 00:1a:3 0 EOF" (the file system's
// major and minor number in hexadecimal, then the inode). Lines with "->" are processes
// waiting for a lock, not holding one.
std::vector<int> FlockHolders(dev_t fileSystem, ino_t inode)
{
    std::vector<int> pids;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, advisory, access, file;
        long pid = 0;
        if (!(fields >> number >> type) || type != "FLOCK") continue;
        if (!(fields >> advisory >> access >> pid >> file) || pid <= 0) continue;
        unsigned fsMajor = 0, fsMinor = 0;
        unsigned long long fileInode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &fileInode) == 3 &&
            makedev(fsMajor, fsMinor) == fileSystem && fileInode == inode)
            pids.push_back(static_cast<int>(pid));
    }
    return pids;
}

std::vector<TPortHolder> HoldersOf(const std::string& path, const struct stat& node,
                                   const TOpenFailureSources& sources)
{
    std::vector<TPortHolder> holders;
    const auto add = [&holders](int pid, std::string lockFile) {
        for (const TPortHolder& holder : holders)
            if (holder.pid == pid) return;
        holders.push_back(
            {pid, FirstLine("/proc/" + std::to_string(pid) + "/comm"), std::move(lockFile)});
    };
    for (const TLockFileHolder& held :
         LiveLockFiles(sources.lockDirectory, path, sources.linkFolders))
        add(held.pid, held.lockFile);
    for (const int pid : FlockHolders(node.st_dev, node.st_ino))
        add(pid, {});
    return holders;
}

// A getpwuid_r or getgrgid_r lookup with a buffer that grows until the entry fits.
template <typename Entry, typename Key>
bool LookUp(int (*lookup)(Key, Entry*, char*, std::size_t, Entry**), Key key, Entry& entry,
            std::vector<char>& buffer)
{
    buffer.resize(1024);
    for (;;) {
        Entry* found = nullptr;
        const int error = lookup(key, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found != nullptr;
    }
}

std::string UserName(uid_t uid)
{
    passwd entry{};
    std::vector<char> buffer;
    return LookUp(::getpwuid_r, uid, entry, buffer) ? entry.pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid)
{
    group entry{};
    std::vector<char> buffer;
    return LookUp(::getgrgid_r, gid, entry, buffer) ? entry.gr_name : std::to_string(gid);
}

// Whether this process has the group: as its group or among its supplementary groups, which
// it got at the login.
bool ProcessHasGroup(gid_t gid)
{
    if (::getegid() == gid) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<std::size_t>(
        std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Whether the group database gives the user the group now: as the user's own group, or by
// listing the user among its members. A login keeps the groups that it had when it began.
bool DatabaseGivesGroup(uid_t uid, gid_t gid)
{
    passwd user{};
    std::vector<char> userBuffer;
    if (!LookUp(::getpwuid_r, uid, user, userBuffer)) return false;
    if (user.pw_gid == gid) return true;
    group entry{};
    std::vector<char> groupBuffer;
    if (!LookUp(::getgrgid_r, gid, entry, groupBuffer)) return false;
    for (char** member = entry.gr_mem; *member != nullptr; ++member)
        if (std::string_view(*member) == user.pw_name) return true;
    return false;
}

void ExplainRefusal(TOpenFailure& failure, const struct stat& node)
{
    failure.owner = UserName(node.st_uid);
    failure.group = GroupName(node.st_gid);
    failure.mode = node.st_mode;
    constexpr mode_t groupReadWrite = S_IRGRP | S_IWGRP;
    if ((node.st_mode & groupReadWrite) != groupReadWrite || ProcessHasGroup(node.st_gid))
        failure.cause = acModeRefuses;
    else if (DatabaseGivesGroup(::geteuid(), node.st_gid))
        failure.cause = acNotLoggedInAgain;
    else
        failure.cause = acNotInGroup;
}

} // namespace

TOpenFailure ExplainOpenFailure(const std::string& deviceName, int error,
                                const TOpenFailureSources& sources)
{
    TOpenFailure failure;
    failure.error = error;
    failure.devicePath = PosixDevicePath(deviceName);
    failure.user = UserName(::geteuid());
    const std::string& path = failure.devicePath;
    struct stat node
    {
    };
    const int lookError = path.empty() ? ENOENT : ::stat(path.c_str(), &node) == 0 ? 0 : errno;
    const auto noSuchDevice = [&](bool nodeExists) {
        failure.kind = ofNoSuchDevice;
        failure.nodeExists = nodeExists;
        failure.present = ListSerialPorts(sources.sysRoot, sources.devRoot);
        return failure;
    };
    if (lookError == EACCES) { // a folder on the way is closed to the user
        failure.kind = ofNotAllowed;
        return failure;
    }
    if (lookError != 0) return noSuchDevice(false);
    if (!S_ISCHR(node.st_mode)) {
        failure.kind = ofNotSerial;
        failure.fileKind = FileKindOf(node.st_mode);
        return failure;
    }
    if (IsEmptyUartSlot(sources.sysRoot, node.st_rdev)) return noSuchDevice(true);
    switch (error) {
    case EBUSY:       // a live lock file, or another program's exclusive mode
    case EWOULDBLOCK: // another program's flock
        failure.kind = ofInUse;
        failure.holders = HoldersOf(path, node, sources);
        break;
    case EACCES:
    case EPERM:
        failure.kind = ofNotAllowed;
        ExplainRefusal(failure, node);
        break;
    case -1: // opened, and found to be no terminal
        failure.kind = ofNotSerial;
        failure.fileKind = fkCharDevice;
        break;
    case ENXIO: // the node's device is not there (an adapter that has gone)
    case ENODEV:
    case EIO:
        return noSuchDevice(true);
    default:
        break;
    }
    return failure;
}

std::string ModeText(unsigned mode)
{
    std::string text(1, S_ISCHR(mode)    ? 'c'
                        : S_ISBLK(mode)  ? 'b'
                        : S_ISDIR(mode)  ? 'd'
                        : S_ISFIFO(mode) ? 'p'
                        : S_ISSOCK(mode) ? 's'
                                         : '-');
    constexpr const char* letters = "rwxrwxrwx";
    for (unsigned bit = 0; bit < 9; ++bit)
        text += (mode & (0400u >> bit)) ? letters[bit] : '-';
    return text;
}

} // namespace movarth
