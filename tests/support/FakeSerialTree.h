#pragma once

// A sysfs and a /dev folder laid out as Linux lays them out for serial ports, in a temporary
// folder, for the port listing to read instead of the machine's own. The links are relative,
// as the kernel's are, so they resolve inside the fake tree:
//
//   sys/class/tty/ttyUSB0 ->
//   ../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0 …/tty/ttyUSB0/device
//   -> ../../../ttyUSB0    (the usb-serial port; driver ftdi_sio) …/1-1:1.0             the
//   adapter's interface (subsystem usb) …/1-1                 the USB device: idVendor, idProduct,
//   manufacturer, product, serial dev/ttyUSB0           the node (a plain file here)
//   dev/serial/by-id/usb-FTDI_…-if00-port0 -> ../../ttyUSB0

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace movarth::test {

class TFakeSerialTree
{
public:
    struct TUsbIdentity
    {
        std::string vendorId;
        std::string productId;
        std::string manufacturer; // empty: the device has no such string
        std::string product;
        std::string serial;
    };

    TFakeSerialTree()
    {
        char name[] = "/tmp/movarth-sysfs-XXXXXX";
        root_ = ::mkdtemp(name);
        for (const char* bus : {"pnp", "platform", "serial-base", "usb", "usb-serial"})
            std::filesystem::create_directories(Sys() / "bus" / bus / "drivers");
        std::filesystem::create_directories(Sys() / "class" / "tty");
        std::filesystem::create_directories(Dev());
    }
    ~TFakeSerialTree()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TFakeSerialTree(const TFakeSerialTree&) = delete;
    TFakeSerialTree& operator=(const TFakeSerialTree&) = delete;

    std::filesystem::path Sys() const { return root_ / "sys"; }
    std::filesystem::path Dev() const { return root_ / "dev"; }
    // A node's path: "<dev>/ttyUSB0".
    std::string Node(const std::string& name) const { return (Dev() / name).string(); }

    // An FTDI FT232R adapter in socket 1-1 as ttyUSB0, with udev's by-id name; returns that.
    std::string AddFt232r()
    {
        AddUsb("ttyUSB0", "1-1", "ftdi_sio",
               {"0403", "6001", "FTDI", "FT232R USB UART", "A6008isP"});
        return AddUdevLink("by-id", "usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0", "ttyUSB0");
    }

    // A UART slot of the 8250 driver as kernels before 6.5 lay it out: a port found through
    // PnP (driver "serial") with its type, or an empty slot (type 0) of the serial8250
    // platform device.
    void AddUart(const std::string& name, int type)
    {
        if (type != 0) {
            const std::filesystem::path device =
                Sys() / "devices/pnp0" / ("00:0" + std::to_string(++pnpDevices_));
            Device(device, "pnp", "serial");
            Terminal(name, device, type);
        } else {
            const std::filesystem::path device = Sys() / "devices/platform/serial8250";
            Device(device, "platform", "serial8250");
            Terminal(name, device, type);
        }
    }

    // A UART found through PnP as kernels from 6.5 on lay it out: the serial core's port and
    // controller devices (bus serial-base) between the terminal and the PnP device.
    void AddUartBehindSerialBase(const std::string& name, int type)
    {
        const std::filesystem::path hardware = Sys() / "devices/pnp0/00:00";
        Device(hardware, "pnp", "serial");
        Device(hardware / "00:00:0", "serial-base", "ctrl");
        Device(hardware / "00:00:0/00:00:0.0", "serial-base", "port");
        Terminal(name, hardware / "00:00:0/00:00:0.0", type);
    }

    // A USB serial adapter (ttyUSB: a usb-serial port below the interface) or a CDC-ACM device
    // (ttyACM: the terminal's device is the interface), in USB socket `usbPort` ("1-1").
    void AddUsb(const std::string& name, const std::string& usbPort, const std::string& driver,
                const TUsbIdentity& identity)
    {
        const std::filesystem::path usbDevice =
            Sys() / "devices/pci0000:00/0000:00:14.0/usb1" / usbPort;
        Device(usbDevice, "usb", "usb");
        const std::pair<const char*, const std::string*> attributes[] = {
            {"idVendor", &identity.vendorId},
            {"idProduct", &identity.productId},
            {"manufacturer", &identity.manufacturer},
            {"product", &identity.product},
            {"serial", &identity.serial}};
        for (const auto& [file, value] : attributes)
            if (!value->empty()) Write(usbDevice / file, *value);
        const std::filesystem::path interface = usbDevice / (usbPort + ":1.0");
        Device(interface, "usb", driver);
        Write(interface / "bInterfaceNumber", "00");
        if (name.starts_with("ttyACM")) {
            Terminal(name, interface, -1);
        } else {
            Device(interface / name, "usb-serial", driver);
            Terminal(name, interface / name, -1);
        }
    }

    // A virtual console: a terminal without a device behind it.
    void AddVirtualConsole(const std::string& name)
    {
        const std::filesystem::path dir = Sys() / "devices/virtual/tty" / name;
        std::filesystem::create_directories(dir);
        Link(dir, Sys() / "class/tty" / name);
        Write(Dev() / name, "");
    }

    // udev's name for a node: dev/serial/<folder>/<link> -> ../../<name>.
    std::string AddUdevLink(const std::string& folder, const std::string& link,
                            const std::string& name)
    {
        const std::filesystem::path path = Dev() / "serial" / folder / link;
        std::filesystem::create_directories(path.parent_path());
        Link(Dev() / name, path);
        return path.string();
    }

    // Points a node at a real device (a pseudo-terminal's slave) instead of a plain file.
    void PointNodeAt(const std::string& name, const std::string& target)
    {
        std::filesystem::remove(Dev() / name);
        std::filesystem::create_symlink(target, Dev() / name);
    }

    void RemoveNode(const std::string& name) { std::filesystem::remove(Dev() / name); }

private:
    static void Write(const std::filesystem::path& file, const std::string& text)
    {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // A link holding the relative way from its folder to the target.
    static void Link(const std::filesystem::path& target, const std::filesystem::path& link)
    {
        std::filesystem::create_directories(link.parent_path());
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
        std::filesystem::create_symlink(target.lexically_relative(link.parent_path()), link);
    }
    // A device folder with its subsystem and driver links.
    void Device(const std::filesystem::path& dir, const std::string& bus, const std::string& driver)
    {
        std::filesystem::create_directories(dir);
        std::filesystem::create_directories(Sys() / "bus" / bus / "drivers" / driver);
        Link(Sys() / "bus" / bus, dir / "subsystem");
        Link(Sys() / "bus" / bus / "drivers" / driver, dir / "driver");
    }
    // The terminal below its device, the class entry and the node; a serial-core port also has
    // its type (-1: none).
    void Terminal(const std::string& name, const std::filesystem::path& device, int type)
    {
        const std::filesystem::path dir = device / "tty" / name;
        std::filesystem::create_directories(dir);
        Link(device, dir / "device");
        Link(Sys() / "class/tty", dir / "subsystem");
        if (type >= 0) Write(dir / "type", std::to_string(type));
        Link(dir, Sys() / "class/tty" / name);
        Write(Dev() / name, "");
    }

    std::filesystem::path root_;
    int pnpDevices_ = 0;
};

} // namespace movarth::test
