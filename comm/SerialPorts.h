#pragma once

#include <string>
#include <vector>

namespace movarth {

// What is behind a serial port.
enum TPortKind
{
    pkUart,  // a UART of the serial core (a built-in port, a PCI card's)
    pkUsb,   // a USB adapter (ttyUSB*, ttyACM*)
    pkOther, // any other terminal device with hardware behind it
};

// A serial port that is there, as sysfs and udev's links describe it.
struct TSerialPort
{
    std::string name;       // "ttyUSB0": the kernel's name
    std::string devicePath; // "/dev/ttyUSB0": its node under the /dev root
    TPortKind kind = pkOther;
    std::string driver; // "ftdi_sio", "cdc_acm", "serial", "serial8250"
    int uartType = 0;   // the serial core's type of a UART (4: 16550A)
    // A USB adapter's identity, as far as the device tells it.
    std::string vendorId;  // "0403"
    std::string productId; // "6001"
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    std::string usbPort; // "1-1.2": where the adapter sits on the USB buses
    // The names udev keeps for the port (full paths), in name order.
    std::vector<std::string> byId;   // /dev/serial/by-id/…: the device itself
    std::vector<std::string> byPath; // /dev/serial/by-path/…: the socket it is plugged into
};

// The serial ports present, in name order (ttyS2 before ttyS10), read from sysfs without
// opening any device: every terminal under <sysRoot>/class/tty with a device behind it and a
// node under devRoot, except a serial-core slot without a UART (type 0, as the 8250 driver
// keeps ttyS0 to ttyS31 whether or not there is one). Pseudo-terminals have no device and are
// never listed. A tree that cannot be read gives what could be read of it.
std::vector<TSerialPort> ListSerialPorts(const std::string& sysRoot = "/sys",
                                         const std::string& devRoot = "/dev");

// The name of a UART type ("16550A"), or "type <n>" for one without a common name.
std::string UartTypeName(int uartType);

// What the port is, in a few words: "FTDI FT232R USB UART (0403:6001, serial A6008isP)",
// "UART 16550A (serial)".
std::string DescribeSerialPort(const TSerialPort& port);

// One line of a listing: the name, what it is, and udev's names for it, two blanks apart.
std::string SerialPortLine(const TSerialPort& port);

// The name to open the port by that lasts longest: its /dev/serial/by-id/ name, which survives
// re-plugging into another socket and a reboot, unless another port in the listing looks
// the same from another USB socket (identical adapters without serial numbers share one by-id
// name, which leads to only one of them); then its
// /dev/serial/by-path/ name, which stays with the socket; else its device node.
std::string LastingPortName(const TSerialPort& port, const std::vector<TSerialPort>& listing);

} // namespace movarth
