// The wait for a port's device node: learnt from device events where there are any, looked
// at once a `checkInterval` besides, and ended at once by a stop.
#include "tools/send/PortWait.h"

#include "tests/support/AsOrdinaryUser.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace movarth::send {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// Device events told through a pipe, as the system's source tells them through its socket.
class TPipeEvents final : public TDeviceEventSource
{
public:
    TPipeEvents()
    {
        if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    ~TPipeEvents() override
    {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int Descriptor() const override { return fds_[0]; }
    std::vector<TDeviceEvent> Receive() override
    {
        char byte;
        while (::read(fds_[0], &byte, 1) == 1) {
        }
        std::lock_guard lock(mutex_);
        return std::exchange(waiting_, {});
    }
    void Announce(const TDeviceEvent& event)
    {
        {
            std::lock_guard lock(mutex_);
            waiting_.push_back(event);
        }
        [[maybe_unused]] const ssize_t written = ::write(fds_[1], "e", 1);
    }

private:
    int fds_[2];
    std::mutex mutex_;
    std::vector<TDeviceEvent> waiting_;
};

class PortWaitTest : public ::testing::Test
{
protected:
    ~PortWaitTest() override { fs::remove_all(dir_); }

    fs::path dir_ = [] {
        char name[] = "/tmp/movarth-port-wait-XXXXXX";
        if (!::mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        return fs::path(name);
    }();
    // A plain file stands in for the device node; a link to it for the by-id name.
    std::string node_ = (dir_ / "ttyUSB0").string();
    std::string byId_ = (dir_ / "usb-FTDI_A6008isP-if00-port0").string();
};

// With the name looked at only every minute, the wait still ends soon after the event that
// announces the node it leads to; events about anything else do not end it.
TEST_F(PortWaitTest, TheAnnouncementOfThePortsNodeEndsTheWait)
{
    TPipeEvents events;
    std::thread plug([&] {
        std::this_thread::sleep_for(300ms);
        events.Announce({"add", "tty", (dir_ / "ttyUSB9").string()});
        events.Announce({"remove", "tty", node_});
        std::ofstream(node_).put('\n');
        fs::create_symlink(node_, byId_);
        std::this_thread::sleep_for(300ms);
        events.Announce({"add", "tty", node_});
    });
    const auto started = TSteady::now();
    const TPortWait wait = WaitForPort(byId_, 30s, &events, -1, 60s);
    const auto waited = TSteady::now() - started;
    plug.join();
    EXPECT_EQ(wait, TPortWait::pwThere);
    EXPECT_GE(waited, 600ms) << "the events about other nodes ended it";
    EXPECT_LT(waited, 10s);
}

// Without events the name is looked at every interval; without the node the wait runs to
// its end.
TEST_F(PortWaitTest, WithoutEventsTheNameIsLookedAtEveryInterval)
{
    std::thread plug([&] {
        std::this_thread::sleep_for(300ms);
        std::ofstream(node_).put('\n');
        fs::create_symlink(node_, byId_);
    });
    const auto started = TSteady::now();
    EXPECT_EQ(WaitForPort(byId_, 30s, nullptr, -1, 100ms), TPortWait::pwThere);
    EXPECT_LT(TSteady::now() - started, 10s);
    plug.join();

    const auto before = TSteady::now();
    EXPECT_EQ(WaitForPort((dir_ / "never").string(), 400ms, nullptr, -1, 100ms),
              TPortWait::pwNotThere);
    EXPECT_GE(TSteady::now() - before, 400ms);
    EXPECT_EQ(WaitForPort(node_, 0ms, nullptr, -1), TPortWait::pwThere) << "there at once";
}

TEST_F(PortWaitTest, AStopEndsTheWaitAndThePause)
{
    int stop[2];
    ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
    TPipeEvents events;
    std::thread signal([&] {
        std::this_thread::sleep_for(200ms);
        [[maybe_unused]] const ssize_t written = ::write(stop[1], "\x0f", 1);
    });
    const auto started = TSteady::now();
    EXPECT_EQ(WaitForPort(node_, 60s, &events, stop[0]), TPortWait::pwStopped);
    EXPECT_FALSE(PauseUnlessStopped(60s, stop[0]));
    EXPECT_LT(TSteady::now() - started, 10s);
    signal.join();
    ::close(stop[0]);
    ::close(stop[1]);

    const auto before = TSteady::now();
    EXPECT_TRUE(PauseUnlessStopped(300ms, -1));
    EXPECT_GE(TSteady::now() - before, 300ms);
}

// A node that this user may not open yet (udev sets its group and mode just after the kernel
// made it) is waited for; at the end of the time it counts as there, so that opening it says
// why. As an ordinary user, since root may open anything.
TEST_F(PortWaitTest, ANodeThatMayNotBeOpenedIsWaitedForThenTried)
{
    std::ofstream(node_).put('\n');
    ::chmod(node_.c_str(), 0); // for none but root
    ::chmod(dir_.c_str(), 0755);
    const std::string seen = test::AsOrdinaryUser([&] {
        if (PortIsThere(node_)) return std::string("there at once");
        const auto started = TSteady::now();
        const TPortWait wait = WaitForPort(node_, 500ms, nullptr, -1, 100ms);
        const bool waited = TSteady::now() - started >= 500ms;
        return std::string(wait == TPortWait::pwThere ? "there" : "not there") +
               (waited ? " after the whole time" : " early");
    });
    EXPECT_EQ(seen, "there after the whole time");
}

} // namespace
} // namespace movarth::send
