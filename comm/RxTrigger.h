#pragma once

#include <string>

namespace movarth {

// A 16550-compatible UART (Linux's 8250 driver) raises its receive interrupt once its FIFO holds
// the trigger level (8 bytes by default) or, short of that, after four character times without
// a byte: 16.7 ms at 2400 bit/s, which each one-byte answer of the controller would wait. The
// driver lets the trigger be set in sysfs (rx_trig_bytes, root's unless a udev rule gives it to
// the port's group). While the program holds such a port the trigger is 1 byte; the old value
// goes back when the port is closed, since the driver keeps the setting for the next opener.

// What LowerRxTrigger changed: the attribute and its value before. Empty when nothing changed.
struct TRxTriggerChange
{
    std::string attribute;
    std::string previous;
};

// Sets the receive trigger of the UART behind the terminal descriptor `fd` to 1 byte, where the
// device has the attribute (found under `sysfsRoot` by the device's number) and the process may
// write it. Anything else (a pseudo-terminal, a USB adapter, a UART without FIFO, not
// permitted, already 1) changes nothing and is no error.
TRxTriggerChange LowerRxTrigger(int fd, const std::string& sysfsRoot);

// Puts the old value back; a device that has gone in the meantime takes nothing, which is no
// error either.
void RestoreRxTrigger(const TRxTriggerChange& change);

} // namespace movarth
