#include "comm/SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>

namespace movarth {

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute without its line end; empty when there is none.
std::string Attribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

// Where a link leads, all links resolved; empty when it leads nowhere.
fs::path Resolved(const fs::path& link)
{
    std::error_code error;
    fs::path target = fs::canonical(link, error);
    return error ? fs::path() : target;
}

// The last part of where a device's link (subsystem, driver) leads: "usb", "ftdi_sio".
std::string LinkName(const fs::path& device, const char* link)
{
    return Resolved(device / link).filename().string();
}

// Names in the order people count: digit runs compare as numbers, so ttyS2 comes before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t iEnd = i, jEnd = j;
            while (iEnd < a.size() && digit(a[iEnd]))
                ++iEnd;
            while (jEnd < b.size() && digit(b[jEnd]))
                ++jEnd;
            const std::string_view x = std::string_view(a).substr(i, iEnd - i);
            const std::string_view y = std::string_view(b).substr(j, jEnd - j);
            const auto trim = [](std::string_view s) {
                return s.substr(std::min(s.find_first_not_of('0'), s.size()));
            };
            const std::string_view tx = trim(x), ty = trim(y);
            if (tx.size() != ty.size()) return tx.size() < ty.size();
            if (tx != ty) return tx < ty;
            i = iEnd;
            j = jEnd;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The links in a folder of udev's names, by the node each leads to.
std::multimap<fs::path, std::string> LinksByNode(const fs::path& folder)
{
    std::multimap<fs::path, std::string> links;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path node = Resolved(it->path());
        if (!node.empty()) links.emplace(node, it->path().string());
    }
    return links;
}

std::vector<std::string> LinksTo(const std::multimap<fs::path, std::string>& links,
                                 const fs::path& node)
{
    std::vector<std::string> names;
    const auto [first, last] = links.equal_range(node);
    for (auto it = first; it != last; ++it)
        names.push_back(it->second);
    std::sort(names.begin(), names.end());
    return names;
}

// Fills in what sysfs tells of the hardware behind a terminal. False when there is none to
// use: a serial-core slot without a UART.
bool ReadHardware(const fs::path& terminal, const fs::path& device, TSerialPort& port)
{
    const std::string subsystem = LinkName(device, "subsystem");
    // A usb-serial driver's port (ttyUSB) hangs below the adapter's interface; an ACM
    // terminal's device is the interface itself. The USB device is the interface's parent.
    fs::path usbDevice;
    if (subsystem == "usb-serial")
        usbDevice = device.parent_path().parent_path();
    else if (subsystem == "usb")
        usbDevice = device.parent_path();
    if (!usbDevice.empty() && fs::exists(usbDevice / "idVendor")) {
        port.kind = pkUsb;
        port.driver = LinkName(device, "driver");
        port.vendorId = Attribute(usbDevice / "idVendor");
        port.productId = Attribute(usbDevice / "idProduct");
        port.manufacturer = Attribute(usbDevice / "manufacturer");
        port.product = Attribute(usbDevice / "product");
        port.serialNumber = Attribute(usbDevice / "serial");
        port.usbPort = usbDevice.filename().string();
        return true;
    }

    // The serial core gives its ports a type; 0 is a slot with no UART behind it.
    if (const std::string type = Attribute(terminal / "type"); !type.empty()) {
        int number = 0;
        const auto [end, error] = std::from_chars(type.data(), type.data() + type.size(), number);
        if (error != std::errc() || end != type.data() + type.size() || number == 0) return false;
        port.kind = pkUart;
        port.uartType = number;
    }
    // Newer kernels put the serial core's own port and controller devices between the
    // terminal and the hardware; the driver is the hardware's.
    fs::path hardware = device;
    while (LinkName(hardware, "subsystem") == "serial-base")
        hardware = hardware.parent_path();
    port.driver = LinkName(hardware, "driver");
    return true;
}

} // namespace

std::vector<TSerialPort> ListSerialPorts(const std::string& sysRoot, const std::string& devRoot)
{
    const fs::path dev(devRoot);
    const auto byId = LinksByNode(dev / "serial" / "by-id");
    const auto byPath = LinksByNode(dev / "serial" / "by-path");

    std::vector<TSerialPort> ports;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(sysRoot) / "class" / "tty", error), end;
         !error && it != end; it.increment(error)) {
        const fs::path terminal = it->path();
        const fs::path device = Resolved(terminal / "device");
        if (device.empty()) continue; // virtual consoles, /dev/tty, /dev/console, ptmx

        TSerialPort port;
        port.name = terminal.filename().string();
        // The kernel writes a "/" in a device name as "!".
        std::string nodeName = port.name;
        std::replace(nodeName.begin(), nodeName.end(), '!', '/');
        port.devicePath = (dev / nodeName).string();
        const fs::path node = Resolved(port.devicePath);
        if (node.empty()) continue; // no node to open it by

        if (!ReadHardware(terminal, device, port)) continue;
        port.byId = LinksTo(byId, node);
        port.byPath = LinksTo(byPath, node);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(), [](const TSerialPort& a, const TSerialPort& b) {
        return NaturalLess(a.name, b.name);
    });
    return ports;
}

std::string UartTypeName(int uartType)
{
    static const char* const names[] = {"unknown", "8250",  "16450",   "16550", "16550A",
                                        "Cirrus",  "16650", "16650V2", "16750", "Startech",
                                        "16C950",  "16654", "16850",   "RSA",   "NS16550A"};
    if (uartType >= 1 && uartType < static_cast<int>(std::size(names))) return names[uartType];
    return "type " + std::to_string(uartType);
}

std::string DescribeSerialPort(const TSerialPort& port)
{
    switch (port.kind) {
    case pkUsb: {
        std::string what = port.manufacturer;
        if (!port.product.empty()) what += (what.empty() ? "" : " ") + port.product;
        if (what.empty()) what = "USB serial adapter " + port.driver;
        what += " (" + port.vendorId + ":" + port.productId;
        if (!port.serialNumber.empty()) what += ", serial " + port.serialNumber;
        return what + ")";
    }
    case pkUart:
        return "UART " + UartTypeName(port.uartType) + " (" + port.driver + ")";
    case pkOther:
        break;
    }
    return "serial port (" + port.driver + ")";
}

std::string SerialPortLine(const TSerialPort& port)
{
    std::string line = port.name + "  " + DescribeSerialPort(port);
    for (const auto* names : {&port.byId, &port.byPath})
        for (const std::string& name : *names)
            line += "  " + name;
    return line;
}

std::string LastingPortName(const TSerialPort& port, const std::vector<TSerialPort>& listing)
{
    // The ports of one multi-port adapter share its identity but have by-id names of their own.
    const auto lookAlike = [&port](const TSerialPort& other) {
        return other.kind == pkUsb && other.usbPort != port.usbPort &&
               other.vendorId == port.vendorId && other.productId == port.productId &&
               other.serialNumber == port.serialNumber;
    };
    const bool ambiguous =
        port.kind == pkUsb && std::any_of(listing.begin(), listing.end(), lookAlike);
    if (!ambiguous && !port.byId.empty()) return port.byId.front();
    if (!port.byPath.empty()) return port.byPath.front();
    return port.devicePath;
}

} // namespace movarth
