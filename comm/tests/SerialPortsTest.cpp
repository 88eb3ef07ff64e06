#include "comm/SerialPorts.h"

#include "tests/support/FakeSerialTree.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace movarth {
namespace {

using test::TFakeSerialTree;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const TFakeSerialTree::TUsbIdentity kFt232r{"0403", "6001", "FTDI", "FT232R USB UART", "A6008isP"};
const TFakeSerialTree::TUsbIdentity kArduino{"2341", "0043", "Arduino (www.arduino.cc)", "",
                                             "75833353934351B05191"};
// A CH340 adapter tells no maker and no serial number: two of them look the same.
const TFakeSerialTree::TUsbIdentity kCh340{"1a86", "7523", "", "USB Serial", ""};

std::vector<std::string> Names(const std::vector<TSerialPort>& ports)
{
    std::vector<std::string> names;
    for (const TSerialPort& port : ports)
        names.push_back(port.name);
    return names;
}

std::vector<TSerialPort> List(const TFakeSerialTree& tree)
{
    return ListSerialPorts(tree.Sys().string(), tree.Dev().string());
}

// The 8250 driver keeps ttyS0 to ttyS31 whether or not a UART is there; only the ones with a
// UART are ports. Kernels from 6.5 on put the serial core's own devices between the terminal
// and the hardware, whose driver is the one to name.
TEST(SerialPortList, ListsAUartOnlyWhereThereIsOne)
{
    const struct
    {
        const char* layout;
        void (TFakeSerialTree::*add)(const std::string&, int);
    } layouts[] = {{"PnP device", &TFakeSerialTree::AddUart},
                   {"serial-base port", &TFakeSerialTree::AddUartBehindSerialBase}};
    for (const auto& layout : layouts) {
        TFakeSerialTree tree;
        (tree.*layout.add)("ttyS0", 4);
        for (const char* empty : {"ttyS1", "ttyS2", "ttyS31"})
            tree.AddUart(empty, 0);
        const auto ports = List(tree);
        ASSERT_THAT(Names(ports), ElementsAre("ttyS0")) << layout.layout;
        const TSerialPort& uart = ports[0];
        EXPECT_EQ(uart.kind, pkUart) << layout.layout;
        EXPECT_EQ(uart.uartType, 4) << layout.layout;
        EXPECT_EQ(uart.driver, "serial") << layout.layout;
        EXPECT_EQ(uart.devicePath, (tree.Dev() / "ttyS0").string()) << layout.layout;
        EXPECT_THAT(uart.byId, IsEmpty());
        EXPECT_EQ(DescribeSerialPort(uart), "UART 16550A (serial)") << layout.layout;
        EXPECT_EQ(SerialPortLine(uart), "ttyS0  UART 16550A (serial)") << layout.layout;
        EXPECT_EQ(LastingPortName(uart, ports), uart.devicePath) << layout.layout;
    }
}

TEST(SerialPortList, AnFtdiAdapterWithEverythingItTells)
{
    TFakeSerialTree tree;
    tree.AddUsb("ttyUSB0", "1-1", "ftdi_sio", kFt232r);
    const std::string byId =
        tree.AddUdevLink("by-id", "usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0", "ttyUSB0");
    const std::string byPath =
        tree.AddUdevLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
    const std::string byPathV2 =
        tree.AddUdevLink("by-path", "pci-0000:00:14.0-usbv2-0:1:1.0-port0", "ttyUSB0");

    const auto ports = List(tree);
    ASSERT_EQ(ports.size(), 1u);
    const TSerialPort& port = ports[0];
    EXPECT_EQ(port.name, "ttyUSB0");
    EXPECT_EQ(port.kind, pkUsb);
    EXPECT_EQ(port.driver, "ftdi_sio");
    EXPECT_EQ(port.vendorId, "0403");
    EXPECT_EQ(port.productId, "6001");
    EXPECT_EQ(port.manufacturer, "FTDI");
    EXPECT_EQ(port.product, "FT232R USB UART");
    EXPECT_EQ(port.serialNumber, "A6008isP");
    EXPECT_EQ(port.usbPort, "1-1");
    EXPECT_THAT(port.byId, ElementsAre(byId));
    EXPECT_THAT(port.byPath, ElementsAre(byPath, byPathV2));
    EXPECT_EQ(DescribeSerialPort(port), "FTDI FT232R USB UART (0403:6001, serial A6008isP)");
    EXPECT_EQ(SerialPortLine(port), "ttyUSB0  FTDI FT232R USB UART (0403:6001, serial A6008isP)  " +
                                        byId + "  " + byPath + "  " + byPathV2);
    EXPECT_EQ(LastingPortName(port, ports), byId);
}

// A CDC-ACM terminal's device is the USB interface itself, not a port below it.
TEST(SerialPortList, ACdcAcmDevice)
{
    TFakeSerialTree tree;
    tree.AddUsb("ttyACM0", "1-2", "cdc_acm", kArduino);
    const std::string byId = tree.AddUdevLink(
        "by-id", "usb-Arduino__www.arduino.cc__0043_75833353934351B05191-if00", "ttyACM0");

    const auto ports = List(tree);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].kind, pkUsb);
    EXPECT_EQ(ports[0].driver, "cdc_acm");
    EXPECT_EQ(ports[0].usbPort, "1-2");
    EXPECT_EQ(DescribeSerialPort(ports[0]),
              "Arduino (www.arduino.cc) (2341:0043, serial 75833353934351B05191)");
    EXPECT_EQ(LastingPortName(ports[0], ports), byId);
}

// Two identical adapters without serial numbers share one by-id name, which udev gives the
// one added last. Their by-path names, one per socket, tell them apart. The ports of one
// adapter with several are no look-alikes: each has a by-id name of its own.
TEST(SerialPortList, IdenticalAdaptersAreToldApartBySocket)
{
    TFakeSerialTree tree;
    tree.AddUsb("ttyUSB0", "1-1", "ch341", kCh340);
    tree.AddUsb("ttyUSB1", "1-4", "ch341", kCh340);
    tree.AddUdevLink("by-id", "usb-1a86_USB_Serial-if00-port0", "ttyUSB1");
    const std::string first =
        tree.AddUdevLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
    const std::string second =
        tree.AddUdevLink("by-path", "pci-0000:00:14.0-usb-0:4:1.0-port0", "ttyUSB1");
    TFakeSerialTree::TUsbIdentity quad = kCh340;
    quad.productId = "7524";
    quad.product = "USB Quad Serial";
    tree.AddUsb("ttyUSB2", "1-3", "ch341", quad);
    tree.AddUsb("ttyUSB3", "1-3", "ch341", quad);
    const std::string quad0 =
        tree.AddUdevLink("by-id", "usb-1a86_USB_Quad_Serial-if00-port0", "ttyUSB2");
    const std::string quad1 =
        tree.AddUdevLink("by-id", "usb-1a86_USB_Quad_Serial-if00-port1", "ttyUSB3");

    const auto ports = List(tree);
    ASSERT_THAT(Names(ports), ElementsAre("ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"));
    EXPECT_EQ(DescribeSerialPort(ports[0]), "USB Serial (1a86:7523)");
    EXPECT_EQ(LastingPortName(ports[0], ports), first);
    EXPECT_EQ(LastingPortName(ports[1], ports), second);
    EXPECT_EQ(LastingPortName(ports[2], ports), quad0);
    EXPECT_EQ(LastingPortName(ports[3], ports), quad1);
}

TEST(SerialPortList, AnAdapterThatTellsNoNamesIsDescribedByItsDriver)
{
    TFakeSerialTree tree;
    tree.AddUsb("ttyUSB0", "1-1", "pl2303", {"067b", "2303", "", "", ""});
    const auto ports = List(tree);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(DescribeSerialPort(ports[0]), "USB serial adapter pl2303 (067b:2303)");
    EXPECT_EQ(LastingPortName(ports[0], ports), ports[0].devicePath); // udev gave it no names
}

// Virtual consoles have no device; a port without a node cannot be opened by any name.
// Numbers sort as numbers.
TEST(SerialPortList, OnlyTerminalsWithHardwareAndANodeInNumberOrder)
{
    TFakeSerialTree tree;
    tree.AddUsb("ttyUSB0", "1-1", "ftdi_sio", kFt232r);
    tree.AddUart("ttyS10", 4);
    tree.AddUart("ttyS2", 4);
    tree.AddUsb("ttyACM0", "1-2", "cdc_acm", kArduino);
    tree.AddUart("ttyS3", 4);
    tree.RemoveNode("ttyS3");
    for (const char* console : {"tty", "tty0", "tty63", "console", "ptmx"})
        tree.AddVirtualConsole(console);
    EXPECT_THAT(Names(List(tree)), ElementsAre("ttyACM0", "ttyS2", "ttyS10", "ttyUSB0"));
}

TEST(SerialPortList, AMissingTreeListsNothing)
{
    TFakeSerialTree tree;
    EXPECT_THAT(ListSerialPorts("/nonexistent-sys", "/nonexistent-dev"), IsEmpty());
    EXPECT_THAT(List(tree), IsEmpty());
}

TEST(SerialPortList, UartTypeNames)
{
    EXPECT_EQ(UartTypeName(1), "8250");
    EXPECT_EQ(UartTypeName(4), "16550A");
    EXPECT_EQ(UartTypeName(14), "NS16550A");
    EXPECT_EQ(UartTypeName(32), "type 32");
}

// On this machine: every port listed has its node, none is a pseudo-terminal, and no UART
// slot that sysfs says is empty is listed.
TEST(SerialPortList, TheMachinesOwnPortsAreThere)
{
    const auto ports = ListSerialPorts();
    for (const TSerialPort& port : ports) {
        EXPECT_TRUE(std::filesystem::exists(port.devicePath)) << port.name;
        EXPECT_FALSE(port.devicePath.starts_with("/dev/pts/")) << port.name;
        EXPECT_NE(port.uartType == 0, port.kind == pkUart) << port.name;
    }
    std::error_code error;
    for (std::filesystem::directory_iterator it("/sys/class/tty", error), end; !error && it != end;
         it.increment(error)) {
        std::ifstream type(it->path() / "type");
        int number = -1;
        if (type >> number && number == 0) {
            EXPECT_THAT(Names(ports),
                        ::testing::Not(::testing::Contains(it->path().filename().string())));
        }
    }
}

} // namespace
} // namespace movarth
