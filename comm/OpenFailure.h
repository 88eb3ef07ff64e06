#pragma once

#include "comm/PosixComm.h"
#include "comm/SerialPorts.h"

#include <string>
#include <vector>

namespace movarth {

// Why a serial port did not open, worked out afterwards from the error code and what the
// name leads to, as far as an operator can act on it. The window and movarth-send each put it
// in their own words.
enum TOpenFailureKind
{
    ofNoSuchDevice, // nothing by that name, or a node with no device behind it
    ofInUse,        // another program holds the device
    ofNotAllowed,   // the user may not open it
    ofNotSerial,    // the name leads to something that is no terminal
    ofOther,        // anything else: the error code tells
};

// What a name that is no serial device leads to.
enum TFileKind
{
    fkRegular,
    fkDirectory,
    fkFifo,
    fkSocket,
    fkBlockDevice,
    fkCharDevice, // a character device that is no terminal (/dev/null)
};

// Why a user who may not open a device may not.
enum TAccessCause
{
    acUnknown,          // the device cannot be looked at (a folder on the way is closed)
    acNotInGroup,       // its group may use it, and the user is not in that group
    acNotLoggedInAgain, // its group may use it and lists the user, but this process started
                        // before the user was added: the login has the groups of its start
    acModeRefuses,      // being in its group would not help (the group may not read and write
                        // it), or the process has the group and is still refused
};

// A process that holds a device, as its lock file or its flock tells.
struct TPortHolder
{
    int pid = 0;
    std::string program;  // its name (/proc/<pid>/comm); empty when it cannot be read
    std::string lockFile; // the UUCP lock file that names it; empty when found by its flock
};

struct TOpenFailure
{
    TOpenFailureKind kind = ofOther;
    std::string devicePath; // where the name leads (PosixDevicePath); empty for an empty name
    int error = 0;          // the failure's code: an errno, or -1 for a device that is no terminal

    // ofNoSuchDevice
    bool nodeExists = false;          // a node is there, but no device behind it (an empty
                                      // UART slot, an adapter that is gone)
    std::vector<TSerialPort> present; // the serial ports that are there

    // ofInUse: the holders known, in the order found (lock files first); may be none (a
    // program that holds it by the terminal's exclusive mode alone)
    std::vector<TPortHolder> holders;

    // ofNotAllowed
    TAccessCause cause = acUnknown;
    std::string user;  // who this process runs as
    std::string owner; // the device's owner and group, by name (by number if it has none)
    std::string group;
    unsigned mode = 0; // its type and permission bits (st_mode)

    // ofNotSerial
    TFileKind fileKind = fkRegular;
};

// Where the reasons are looked for; the machine's own unless a test gives others.
struct TOpenFailureSources
{
    std::string lockDirectory = DefaultLockDirectory();
    std::vector<std::string> linkFolders = DefaultSerialLinkFolders();
    std::string sysRoot = "/sys"; // for the ports present, and for an empty UART slot
    std::string devRoot = "/dev";
};

// Why opening the port `deviceName` (as TComm names it) failed with the ECommError code
// `error`. Reads what is there to read now (the node, the lock files, /proc/locks, the group
// database) without opening the device.
TOpenFailure ExplainOpenFailure(const std::string& deviceName, int error,
                                const TOpenFailureSources& sources = {});

// A node's type and permissions as `ls -l` shows them: "crw-rw----".
std::string ModeText(unsigned mode);

} // namespace movarth
