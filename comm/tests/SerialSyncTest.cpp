#include "comm/SerialSync.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace movarth {
namespace {

using namespace std::chrono_literals;

TEST(SimpleEventTest, StartsUnsignalledAndStaysSignalledUntilReset)
{
    TSimpleEvent event;
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
    event.SetEvent();
    EXPECT_EQ(event.WaitFor(0), wrSignaled);
    EXPECT_EQ(event.WaitFor(-1), wrSignaled); // manual reset: a wait does not consume it
    event.ResetEvent();
    EXPECT_EQ(event.WaitFor(10), wrTimeout);
    event.ResetEvent(); // resetting an unsignalled event is harmless
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
}

TEST(SimpleEventTest, WaitWithoutLimitEndsWhenAnotherThreadSetsIt)
{
    TSimpleEvent event;
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.SetEvent();
    });
    EXPECT_EQ(event.WaitFor(-1), wrSignaled);
    setter.join();
}

TEST(SimpleEventTest, TimedWaitLastsAboutItsTimeout)
{
    TSimpleEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.WaitFor(50), wrTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

TEST(EventTest, WaitOnAnInvalidHandleFailsWithItsCode)
{
    TEvent event(-1);
    EXPECT_EQ(event.WaitFor(0), wrError);
    EXPECT_EQ(event.LastError(), EBADF);
}

TEST(CriticalSectionTest, IsReentrantAndExcludesOtherThreads)
{
    TCriticalSection lock;
    lock.Enter();
    lock.Enter(); // the holder enters again without blocking
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.Enter();
        entered = true;
        lock.Leave();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(entered);
    lock.Leave();
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(entered); // still held once
    lock.Leave();
    other.join();
    EXPECT_TRUE(entered);
}

} // namespace
} // namespace movarth
