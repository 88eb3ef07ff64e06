#include "timing/ThreadPriority.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace movarth {
namespace {

struct TLevel
{
    int policy = -1;
    int nice = 0;
};

int OwnNice()
{
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

// Applies the priority in a fresh thread and reports where that thread ended up.
TLevel LevelAfterApplying(TThreadPriority priority, int& startNice)
{
    TLevel level;
    std::thread([&] {
        startNice = OwnNice();
        ApplyThreadPriority(priority);
        sched_param param{};
        ::pthread_getschedparam(::pthread_self(), &level.policy, &param);
        level.nice = OwnNice();
    }).join();
    return level;
}

// The highest level from the target up to the starting one that a fresh thread may take.
int NearestPermitted(int target)
{
    int permitted = 0;
    std::thread([&] {
        permitted = OwnNice();
        for (int nice = target; nice < permitted; ++nice)
            if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0) {
                permitted = nice;
                break;
            }
    }).join();
    return permitted;
}

TEST(ThreadPriority, IdleUsesTheIdlePolicy)
{
    int start = 0;
    const TLevel level = LevelAfterApplying(TThreadPriority::tpIdle, start);
    EXPECT_EQ(level.policy, SCHED_IDLE);
}

TEST(ThreadPriority, MapsToNiceValuesAndFallsBackToTheNearestPermittedOne)
{
    const struct
    {
        TThreadPriority priority;
        int nice;
    } cases[] = {
        {TThreadPriority::tpLowest, 10},   {TThreadPriority::tpLower, 5},
        {TThreadPriority::tpNormal, 0},    {TThreadPriority::tpHigher, -5},
        {TThreadPriority::tpHighest, -10}, {TThreadPriority::tpTimeCritical, -20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nice);
        int start = 0;
        const TLevel level = LevelAfterApplying(c.priority, start);
        // Never a real-time policy.
        EXPECT_EQ(level.policy, SCHED_OTHER);
        // Lowering is always allowed; raising may be refused, and then the thread gets the
        // highest level it may take, never one below where it started.
        EXPECT_EQ(level.nice, c.nice >= start ? c.nice : NearestPermitted(c.nice));
    }
}

} // namespace
} // namespace movarth
