#pragma once

#include "comm/DeviceEvents.h"

#include <chrono>
#include <memory>
#include <string>

namespace movarth::send {

// The system's announcements of terminal devices, where this build can listen to them (udev's
// through libudev, which the builds with the window have); null where it cannot.
std::unique_ptr<TDeviceEventSource> SystemDeviceEvents();

enum class TPortWait
{
    pwThere,    // the device node is there
    pwNotThere, // the time ran out without it
    pwStopped   // the stop descriptor turned readable
};

// Whether the port's name leads to a device node that this user may read and write.
bool PortIsThere(const std::string& port);

// Waits up to `timeout` for the port's device node to be there for this user: the name
// (PosixDevicePath) leads to a node that may be read and written. Where udev has just made a
// node, it may still be setting its group and mode: such a node is waited for like a missing
// one, and once the time is up it counts as there, so that opening it says why it refuses.
// The name is looked at every `checkInterval`, and at once after an event of `events` (may
// be null) for which IsPortBack holds. A readable `stopFd` (a stop signal's pipe; -1: none)
// ends the wait at once.
TPortWait WaitForPort(const std::string& port, std::chrono::milliseconds timeout,
                      TDeviceEventSource* events, int stopFd,
                      std::chrono::milliseconds checkInterval = std::chrono::seconds(1));

// Waits `pause` unless `stopFd` turns readable first; false when it did.
bool PauseUnlessStopped(std::chrono::milliseconds pause, int stopFd);

} // namespace movarth::send
