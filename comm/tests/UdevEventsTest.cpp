#include "comm/UdevEvents.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace movarth {
namespace {

// A real announcement through the real source: root may ask the kernel to announce a device
// again by writing an action into its uevent file, which is what `udevadm trigger` does.
// "change" on /dev/ptmx leaves everything as it was (udev, where it runs, applies the same
// rules again).
TEST(UdevEvents, AnnouncesATerminalTheKernelAnnounced)
{
    auto source = OpenDeviceEvents();
    ASSERT_NE(source, nullptr);
    ASSERT_GE(source->Descriptor(), 0);
    if (::geteuid() != 0) GTEST_SKIP() << "only root may ask the kernel to announce a device";
    if (!(std::ofstream("/sys/class/tty/ptmx/uevent") << "change" << std::flush))
        GTEST_SKIP() << "sysfs is read-only here";

    using namespace std::chrono;
    const auto deadline = steady_clock::now() + seconds(10);
    bool seen = false;
    while (!seen && steady_clock::now() < deadline) {
        pollfd fd{source->Descriptor(), POLLIN, 0};
        if (::poll(&fd, 1, 1000) <= 0) continue;
        for (const TDeviceEvent& event : source->Receive())
            seen = seen || (event.action == "change" && event.subsystem == "tty" &&
                            event.devNode == "/dev/ptmx");
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(source->Receive().empty()); // nothing waits: answers at once
}

} // namespace
} // namespace movarth
