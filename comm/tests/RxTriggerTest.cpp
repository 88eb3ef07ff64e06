#include "comm/RxTrigger.h"

#include "comm/PosixComm.h"
#include "comm/SerialComm.h"
#include "tests/support/AsOrdinaryUser.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace movarth {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A pseudo-terminal posing as a UART: a fake sysfs tree holds a receive trigger attribute under
// the slave's device number, where the real sysfs has /sys/dev/char/<major>:<minor>. The test
// plays the line's other end on the master side. Lock files go nowhere.
struct TFakeUart
{
    TFakeUart()
    {
        char name[] = "/tmp/movarth-sysfs-XXXXXX";
        if (::mkdtemp(name) != nullptr) sysfs = name;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        path = ::ttyname(slave);
        struct stat status
        {
        };
        ::fstat(slave, &status);
        const fs::path folder =
            fs::path(sysfs) / "dev/char" /
            (std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev)));
        fs::create_directories(folder);
        attribute = (folder / "rx_trig_bytes").string();
    }
    ~TFakeUart()
    {
        CloseMaster();
        if (slave >= 0) ::close(slave);
        if (!sysfs.empty()) fs::remove_all(sysfs);
    }
    void CloseMaster()
    {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void SetTrigger(const std::string& text) const { std::ofstream(attribute) << text; }
    // The attribute's value without its line end, or nothing when there is no attribute.
    std::optional<std::string> Trigger() const
    {
        std::ifstream in(attribute);
        if (!in) return std::nullopt;
        std::string text;
        std::getline(in, text);
        return text;
    }

    std::string sysfs;
    std::string attribute;
    std::string path;
    int master = -1;
    int slave = -1;
};

class RxTriggerTest : public ::testing::Test
{
protected:
    RxTriggerTest() { comm.SetDeviceName(uart.path); }
    void TearDown() override { comm.Close(); }

    TFakeUart uart;
    TPosixCommPlatform platform{"", DefaultSerialLinkFolders(), uart.sysfs};
    TPlainUiLoop ui;
    TComm comm{ui, platform};
};

TEST_F(RxTriggerTest, IsOneByteWhileTheUartIsHeldAndComesBackOnClose)
{
    struct TCase
    {
        std::optional<std::string> before; // nothing: the device has no such attribute
        std::optional<std::string> whileHeld;
    };
    const TCase cases[] = {
        {"8\n", "1"},  // a 16550A as the driver sets it up
        {"14\n", "1"}, // set higher by someone
        {"1\n", "1"},  // already as wanted
        {"", ""},      // the driver cannot tell (no FIFO): left alone
        {std::nullopt, std::nullopt},
    };
    for (const TCase& c : cases) {
        const std::string name = c.before ? "'" + *c.before + "'" : "no attribute";
        fs::remove(uart.attribute);
        if (c.before) uart.SetTrigger(*c.before);
        const std::optional<std::string> before = uart.Trigger();
        comm.Open();
        EXPECT_EQ(uart.Trigger(), c.whileHeld) << name;
        comm.Close();
        EXPECT_EQ(uart.Trigger(), before) << name;
    }
}

TEST_F(RxTriggerTest, ComesBackWhenTheLineVanishedUnderTheOpenPort)
{
    uart.SetTrigger("8\n");
    bool lost = false;
    comm.OnDeviceLost = [&](TCustomComm&, const ECommError&) { lost = true; };
    comm.Open();
    ASSERT_EQ(uart.Trigger(), "1");
    uart.CloseMaster();
    ASSERT_TRUE(ui.RunUntil([&] { return lost; }, 5s));
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(uart.Trigger(), "8");
}

// A program that ends without closing the port: the platform, a static object, gives back what
// it still holds when it is destroyed.
TEST(RxTriggerPlatformTest, ComesBackWhenThePlatformGoesWithThePortStillHeld)
{
    TFakeUart uart;
    uart.SetTrigger("8\n");
    {
        TPosixCommPlatform platform{"", DefaultSerialLinkFolders(), uart.sysfs};
        TCommHandle handle = InvalidCommHandle;
        ASSERT_EQ(platform.OpenDevice(uart.path, handle), 0);
        EXPECT_EQ(uart.Trigger(), "1");
    }
    EXPECT_EQ(uart.Trigger(), "8");
}

// The attribute is root's unless a udev rule gives it to the port's group; an ordinary user who
// may open the port but not write the attribute goes on with the trigger as it is.
TEST(RxTriggerPlatformTest, WhereTheUserMayNotSetItThePortOpensAndTheTriggerStays)
{
    EXPECT_EQ(test::AsOrdinaryUser([]() -> std::string {
                  TFakeUart uart;
                  uart.SetTrigger("8\n");
                  if (::chmod(uart.attribute.c_str(), 0444) != 0) return "no chmod";
                  TPosixCommPlatform platform{"", DefaultSerialLinkFolders(), uart.sysfs};
                  TPlainUiLoop ui;
                  TComm comm(ui, platform);
                  comm.SetDeviceName(uart.path);
                  comm.Open();
                  std::string result = "opened, trigger " + uart.Trigger().value_or("none");
                  comm.Close();
                  return result + ", after close " + uart.Trigger().value_or("none");
              }),
              "opened, trigger 8, after close 8");
}

} // namespace
} // namespace movarth
