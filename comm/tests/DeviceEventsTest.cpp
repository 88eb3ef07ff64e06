#include "comm/DeviceEvents.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdlib.h>

namespace movarth {
namespace {

namespace fs = std::filesystem;

// Two device nodes (plain files stand in for them) and the names a port may go by: the node
// itself, a by-id link that udev has pointed at the new node, and one that still leads to the
// other node.
TEST(PortBack, OnlyTheAdditionOfTheNodeTheNameLeadsTo)
{
    char folder[] = "/tmp/movarth-events-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const fs::path dir(folder);
    const std::string node = (dir / "ttyUSB1").string();
    const std::string other = (dir / "ttyUSB0").string();
    std::ofstream(node).put('\n');
    std::ofstream(other).put('\n');
    fs::create_directories(dir / "by-id");
    const std::string byId = (dir / "by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0").string();
    fs::create_symlink("../ttyUSB1", byId);
    const std::string stale = (dir / "by-id/elsewhere").string();
    fs::create_symlink("../ttyUSB0", stale);

    const struct
    {
        const char* what;
        std::string port;
        TDeviceEvent event;
        bool back;
    } cases[] = {
        {"the node itself", node, {"add", "tty", node}, true},
        {"a link now leading to it", byId, {"add", "tty", node}, true},
        {"a link leading to another node", stale, {"add", "tty", node}, false},
        {"another node added", node, {"add", "tty", other}, false},
        {"removed", byId, {"remove", "tty", node}, false},
        {"changed", byId, {"change", "tty", node}, false},
        {"the USB device, not its terminal", byId, {"add", "usb", node}, false},
        {"no node", byId, {"add", "tty", ""}, false},
        {"a name that leads nowhere", (dir / "gone").string(), {"add", "tty", node}, false},
        {"an empty name", "", {"add", "tty", node}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsPortBack(c.port, c.event), c.back) << c.what;
    fs::remove_all(dir);
}

} // namespace
} // namespace movarth
