#pragma once

#include <string>
#include <vector>

namespace movarth {

// A device that came or went, as udev (or the kernel) announces it.
struct TDeviceEvent
{
    std::string action;    // "add", "remove", "change", ...
    std::string subsystem; // "tty", "usb", ...
    std::string devNode;   // "/dev/ttyUSB0"; empty for a device without a node
};

// Where device events come from: a descriptor that turns readable when events wait, and the
// events themselves. The window watches the descriptor on its event loop; tests feed their own.
class TDeviceEventSource
{
public:
    virtual ~TDeviceEventSource() = default;
    virtual int Descriptor() const = 0;
    // The events that have arrived, without waiting; none when none wait.
    virtual std::vector<TDeviceEvent> Receive() = 0;
};

// Whether `event` says that the device a port name leads to is there again: a terminal was
// added whose node is where the name leads now. That is the same name, or a link such as
// /dev/serial/by-id/…, which udev points at the new node (ttyUSB1 where it was ttyUSB0) before
// it announces the device.
bool IsPortBack(const std::string& portName, const TDeviceEvent& event);

} // namespace movarth
