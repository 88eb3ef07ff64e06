#include "timing/ZelTMultiThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace movarth {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous: these tests run on a loaded 2-core machine and under ThreadSanitizer.
constexpr milliseconds Patience = 10s;

milliseconds Since(Clock::time_point start, Clock::time_point end = Clock::now())
{
    return std::chrono::duration_cast<milliseconds>(end - start);
}

std::size_t ThreadCount()
{
    // Any helper thread of the runtime (ThreadSanitizer starts one with the first thread)
    // exists before the count is taken.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// A component on a UI loop that the test drives; the test thread is the UI thread.
class TimedItems : public ::testing::Test
{
protected:
    TZelTimedThread& AddItem(std::uint16_t interval)
    {
        TZelTimedThread& item = component->Threads().Add();
        item.SetEnabled(false);
        item.SetInterval(interval);
        return item;
    }

    // Sets a handler that records the time of each tick; the item starts if it may run.
    void RecordTicks(TZelTimedThread& item, std::vector<Clock::time_point>& ticks)
    {
        item.OnTimer = [&ticks](TZelTimedThread&) { ticks.push_back(Clock::now()); };
    }

    bool RunUntilTicks(const std::vector<Clock::time_point>& ticks, std::size_t count)
    {
        return ui.RunUntil([&] { return ticks.size() >= count; }, Patience);
    }

    TPlainUiLoop ui;
    std::unique_ptr<TZelMultiThreader> component = std::make_unique<TZelMultiThreader>(ui);
    std::vector<Clock::time_point> ticks;
};

// --- properties, collection, assignment -------------------------------------------------------

TEST_F(TimedItems, NewItemHasTheInitialValuesAndDoesNotRun)
{
    TZelTimedThread& item = component->Threads().Add();
    EXPECT_TRUE(item.Enabled());
    EXPECT_EQ(item.Interval(), 1000);
    EXPECT_EQ(item.Priority(), TThreadPriority::tpTimeCritical);
    EXPECT_EQ(item.Tag, 0);
    EXPECT_EQ(item.ThreadID, "");
    EXPECT_FALSE(item.OnTimer);
    EXPECT_EQ(&item.Component(), component.get());
    EXPECT_EQ(&item.Collection().Owner(), component.get());
    // Enabled but without a handler: paused, and not even a thread exists.
    EXPECT_TRUE(item.Worker().Paused());
    EXPECT_EQ(item.Worker().SystemThreadId(), 0);
    EXPECT_EQ(item.DisplayName(), "TZelTimedThread [1000]");
    item.SetInterval(50);
    EXPECT_EQ(item.DisplayName(), "TZelTimedThread [50]");
}

TEST_F(TimedItems, CollectionKeepsTheOrderOfAddingAndChecksIndices)
{
    TZelTimedThreads& threads = component->Threads();
    EXPECT_EQ(threads.Count(), 0);
    for (int i = 0; i < 3; ++i)
        threads.Add().Tag = 10 + i;
    ASSERT_EQ(threads.Count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(threads[i].Tag, 10 + i);
        EXPECT_EQ(threads[i].Index(), i);
    }
    threads.Delete(1);
    ASSERT_EQ(threads.Count(), 2);
    EXPECT_EQ(threads[1].Tag, 12);
    EXPECT_EQ(threads[1].Index(), 1);

    for (const int bad : {-1, 2, 7}) {
        try {
            threads.Items(bad);
            ADD_FAILURE() << "no failure for index " << bad;
        } catch (const EListError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "List index out of bounds (" + std::to_string(bad) + ")");
        }
    }
    EXPECT_THROW(threads.Delete(2), EListError);
    EXPECT_EQ(threads.Count(), 2);
}

// An item that writes its Tag into a log when it is destroyed.
class TLoggedItem : public TZelTimedThread
{
public:
    explicit TLoggedItem(TKey key) : TZelTimedThread(key) {}
    ~TLoggedItem() override { Log->push_back(Tag); }
    std::vector<int>* Log = nullptr;
};

TEST_F(TimedItems, ClearingAndDestroyingTheComponentGoFromTheLastItemToTheFirst)
{
    std::vector<int> log;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i) {
            auto& item = component->Threads().Add<TLoggedItem>();
            item.Tag = i;
            item.Log = &log;
        }
        if (round == 0) {
            component->Threads().Clear();
            EXPECT_EQ(component->Threads().Count(), 0);
        } else {
            component.reset();
        }
        EXPECT_EQ(log, (std::vector<int>{2, 1, 0}));
        log.clear();
    }
}

TEST_F(TimedItems, AssigningACollectionCopiesEveryItemAndACopyThatMayRunStarts)
{
    // The source's own ticks go to a loop that nobody serves, so only the copies tick here.
    TPlainUiLoop unserved;
    TZelMultiThreader source(unserved);
    TZelTimedThread& quiet = source.Threads().Add();
    quiet.Tag = 7;
    quiet.ThreadID = "clock";
    quiet.SetEnabled(false);
    quiet.SetPriority(TThreadPriority::tpLower);
    TZelTimedThread& running = source.Threads().Add();
    running.SetInterval(50);
    std::vector<TZelTimedThread*> senders;
    running.OnTimer = [&](TZelTimedThread& sender) { senders.push_back(&sender); };
    running.SetEnabled(true);

    component->Threads().Add().Tag = 99; // replaced by the copies
    component->SetThreads(source.Threads());

    TZelTimedThreads& threads = component->Threads();
    ASSERT_EQ(threads.Count(), 2);
    EXPECT_EQ(threads[0].Tag, 7);
    EXPECT_EQ(threads[0].ThreadID, "clock");
    EXPECT_FALSE(threads[0].Enabled());
    EXPECT_EQ(threads[0].Interval(), 1000);
    EXPECT_EQ(threads[0].Priority(), TThreadPriority::tpLower);
    EXPECT_TRUE(threads[1].Enabled());
    EXPECT_EQ(threads[1].Interval(), 50);
    // The handler arrives before the last set, so the copy runs, with itself as the sender.
    ASSERT_TRUE(ui.RunUntil([&] { return senders.size() >= 2; }, Patience));
    for (TZelTimedThread* sender : senders)
        EXPECT_EQ(sender, &threads[1]);

    // Assigning the collection to itself keeps it.
    component->SetThreads(component->Threads());
    ASSERT_EQ(threads.Count(), 2);
    EXPECT_EQ(threads[0].Tag, 7);
}

TEST_F(TimedItems, AssigningFromAnotherClassFails)
{
    TZelTimedThread& item = component->Threads().Add();
    const struct
    {
        TPersistent& target;
        const TPersistent& source;
        const char* message;
    } cases[] = {
        {item, component->Threads(), "Cannot assign a TZelTimedThreads to a TZelTimedThread"},
        {component->Threads(), *component,
         "Cannot assign a TZelMultiThreader to a TZelTimedThreads"},
        {*component, item, "Cannot assign a TZelTimedThread to a TZelMultiThreader"},
    };
    for (const auto& c : cases) {
        try {
            c.target.Assign(c.source);
            ADD_FAILURE() << "no failure for: " << c.message;
        } catch (const EAssignError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
    EXPECT_EQ(component->Threads().Count(), 1);
}

// --- when an item ticks -----------------------------------------------------------------------

TEST_F(TimedItems, ItemWithoutHandlerOrIntervalOrEnabledDoesNotTick)
{
    enum class EMissing
    {
        Handler,
        Interval,
        Enabled
    };
    for (const EMissing missing : {EMissing::Handler, EMissing::Interval, EMissing::Enabled}) {
        SCOPED_TRACE(static_cast<int>(missing));
        TZelTimedThread& item = AddItem(50);
        if (missing != EMissing::Handler) RecordTicks(item, ticks);
        item.SetInterval(missing == EMissing::Interval ? 0 : 50);
        item.SetEnabled(missing != EMissing::Enabled);
        ui.RunFor(300ms);
        EXPECT_TRUE(ticks.empty());
        EXPECT_EQ(item.Worker().SystemThreadId(), 0) << "a thread was started";
        component->Threads().Clear();
    }
}

TEST_F(TimedItems, AssigningAHandlerAloneDoesNotStartTheItem)
{
    TZelTimedThread& item = AddItem(50);
    item.SetEnabled(true); // no handler yet
    RecordTicks(item, ticks);
    ui.RunFor(300ms);
    EXPECT_TRUE(ticks.empty());
    item.SetPriority(item.Priority()); // any of the three setters starts it
    EXPECT_TRUE(RunUntilTicks(ticks, 1));
}

TEST_F(TimedItems, FirstTickComesOneIntervalAfterEnablingAndLaterTicksFollowTheInterval)
{
    TZelTimedThread& item = AddItem(200);
    RecordTicks(item, ticks);
    const auto enabled = Clock::now();
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 3));
    EXPECT_GE(Since(enabled, ticks[0]), 200ms);
    EXPECT_GE(Since(ticks[0], ticks[1]), 200ms);
    EXPECT_GE(Since(ticks[1], ticks[2]), 200ms);
}

TEST_F(TimedItems, SettingARunningItemDoesNotRestartItsWait)
{
    TZelTimedThread& item = AddItem(1000);
    RecordTicks(item, ticks);
    const auto enabled = Clock::now();
    item.SetEnabled(true);
    ui.RunFor(500ms);
    ASSERT_TRUE(ticks.empty());
    item.SetEnabled(true);
    item.SetPriority(TThreadPriority::tpNormal);
    item.SetInterval(1000);
    ASSERT_TRUE(RunUntilTicks(ticks, 1));
    // A restarted wait would end 1500 ms after the enabling.
    EXPECT_LT(Since(enabled, ticks[0]), 1400ms);
}

TEST_F(TimedItems, NewIntervalAppliesFromTheNextWait)
{
    TZelTimedThread& item = AddItem(800);
    RecordTicks(item, ticks);
    const auto enabled = Clock::now();
    item.SetEnabled(true);
    ui.RunFor(100ms);
    item.SetInterval(100);
    ASSERT_TRUE(RunUntilTicks(ticks, 3));
    // The wait under way keeps its 800 ms; the next ones are short.
    EXPECT_GE(Since(enabled, ticks[0]), 800ms);
    EXPECT_GE(Since(ticks[0], ticks[1]), 100ms);
    EXPECT_LT(Since(ticks[0], ticks[1]), 600ms);
}

TEST_F(TimedItems, PriorityIsAppliedOnceWhenTheWorkerBegins)
{
    errno = 0;
    const int processNice = ::getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    if (processNice > 10) GTEST_SKIP() << "the process runs below tpLowest already";
    TZelTimedThread& item = AddItem(50);
    item.SetPriority(TThreadPriority::tpLowest);
    RecordTicks(item, ticks);
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 1));
    const auto worker = static_cast<id_t>(item.Worker().SystemThreadId());
    EXPECT_EQ(::getpriority(PRIO_PROCESS, worker), 10);
    item.SetPriority(TThreadPriority::tpIdle);
    ASSERT_TRUE(RunUntilTicks(ticks, 3));
    EXPECT_EQ(::getpriority(PRIO_PROCESS, worker), 10);
}

TEST_F(TimedItems, PausedDuringItsSleepAnItemTicksAtOnceWhenReleasedAfterTheSleepsEnd)
{
    TZelTimedThread& item = AddItem(1000);
    RecordTicks(item, ticks);
    item.SetEnabled(true);
    ui.RunFor(100ms);
    item.SetEnabled(false);
    ui.RunFor(1300ms); // the sleep has ended meanwhile; the disabled item holds
    ASSERT_TRUE(ticks.empty());
    const auto released = Clock::now();
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 1));
    // A fresh wait would take 1000 ms.
    EXPECT_LT(Since(released, ticks[0]), 600ms);
}

TEST_F(TimedItems, PausedAndReleasedWithinItsSleepAnItemTicksWhenTheSleepEnds)
{
    TZelTimedThread& item = AddItem(1000);
    RecordTicks(item, ticks);
    const auto enabled = Clock::now();
    item.SetEnabled(true);
    ui.RunFor(300ms);
    item.SetEnabled(false);
    ui.RunFor(300ms);
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 1));
    EXPECT_GE(Since(enabled, ticks[0]), 1000ms);
    // The pause did not lengthen the sleep (that would give 1300 ms or more).
    EXPECT_LT(Since(enabled, ticks[0]), 1250ms);
}

TEST_F(TimedItems, HandlerThatDisablesItsOwnItemReturnsAndTheNextTickIsAFullIntervalLater)
{
    TZelTimedThread& item = AddItem(300);
    bool returned = false;
    item.OnTimer = [&](TZelTimedThread& sender) {
        ticks.push_back(Clock::now());
        sender.SetEnabled(false);
        returned = true;
    };
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 1));
    EXPECT_TRUE(returned);
    ui.RunFor(700ms);
    EXPECT_EQ(ticks.size(), 1u);
    EXPECT_FALSE(item.Enabled());
    const auto enabled = Clock::now();
    item.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 2));
    EXPECT_GE(Since(enabled, ticks[1]), 300ms);
}

TEST_F(TimedItems, TickOnItsWayWhenTheItemIsDisabledIsDropped)
{
    TZelTimedThread& item = AddItem(50);
    RecordTicks(item, ticks);
    item.SetEnabled(true);
    // Not serving: the worker hands its tick over and waits.
    std::this_thread::sleep_for(1s);
    item.SetEnabled(false);
    EXPECT_EQ(ui.RunPending(), 1u); // the tick arrives ...
    EXPECT_TRUE(ticks.empty());     // ... and is dropped
    ui.RunFor(300ms);
    EXPECT_TRUE(ticks.empty());
}

TEST_F(TimedItems, TicksOfOneItemNeverOverlapAndLateTicksAreNotMadeUp)
{
    TZelTimedThread& slow = AddItem(50);
    TZelTimedThread& other = AddItem(50);
    std::vector<Clock::time_point> otherTicks;
    RecordTicks(other, otherTicks);
    int depth = 0;
    int deepest = 0;
    std::size_t otherTicksInside = 0;
    Clock::time_point firstEnd;
    slow.OnTimer = [&](TZelTimedThread&) {
        ticks.push_back(Clock::now());
        deepest = std::max(deepest, ++depth);
        if (ticks.size() == 1) {
            // A long handler that serves the loop meanwhile, as a modal box does.
            const std::size_t before = otherTicks.size();
            ui.RunFor(500ms);
            otherTicksInside = otherTicks.size() - before;
            firstEnd = Clock::now();
        }
        --depth;
    };
    slow.SetEnabled(true);
    other.SetEnabled(true);
    ASSERT_TRUE(RunUntilTicks(ticks, 3));
    EXPECT_EQ(deepest, 1);
    EXPECT_GE(otherTicksInside, 2u);
    // The next tick waits a full Interval after the late one, with no catching up.
    EXPECT_GE(Since(firstEnd, ticks[1]), 50ms);
    EXPECT_GE(Since(ticks[1], ticks[2]), 50ms);
}

TEST_F(TimedItems, HandlerFailureEndsTheWorkerWhileEnabledKeepsItsValue)
{
    TZelTimedThread& item = AddItem(50);
    int calls = 0;
    item.OnTimer = [&](TZelTimedThread&) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    item.SetEnabled(true);
    // Serving does not throw: the failure goes back to the worker, which ends.
    const auto deadline = Clock::now() + Patience;
    while (!item.Worker().Ended() && Clock::now() < deadline)
        ui.RunFor(10ms);
    ASSERT_TRUE(item.Worker().Ended());
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(item.Enabled());
    item.SetEnabled(true); // a release no longer reaches the ended worker
    ui.RunFor(300ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(item.Enabled());
}

// --- destruction ------------------------------------------------------------------------------

TEST_F(TimedItems, DestroyingTheComponentWhileItemsTickRunsNoHandlerAndWaitsForNoSleep)
{
    const std::size_t threadsBefore = ThreadCount();
    int calls = 0;
    for (const std::uint16_t interval : {50, 50, 1000, 65535}) {
        TZelTimedThread& item = AddItem(interval);
        item.OnTimer = [&](TZelTimedThread&) { ++calls; };
        item.SetEnabled(true);
    }
    ASSERT_TRUE(ui.RunUntil([&] { return calls >= 4; }, Patience));
    // Leave a tick or two queued as well.
    std::this_thread::sleep_for(200ms);
    const int callsBefore = calls;
    const auto start = Clock::now();
    component.reset();
    EXPECT_LT(Since(start), 2s) << "the destruction waited for a sleep";
    ui.RunFor(300ms);
    EXPECT_EQ(calls, callsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(TimedItems, DestroyingAnItemWhoseTickIsWaitingForTheDestroyingThreadDoesNotBlock)
{
    const std::size_t threadsBefore = ThreadCount();
    TZelTimedThread& item = AddItem(50);
    RecordTicks(item, ticks);
    item.SetEnabled(true);
    std::this_thread::sleep_for(500ms); // the worker now waits in its hand-over to this thread
    component->Threads().Delete(0);
    EXPECT_EQ(ui.RunPending(), 0u);
    EXPECT_TRUE(ticks.empty());
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(TimedItems, ItemOrComponentDestroyedByItsOwnHandlerEndsCleanly)
{
    for (const bool wholeComponent : {false, true}) {
        SCOPED_TRACE(wholeComponent ? "component" : "item");
        if (!component) component = std::make_unique<TZelMultiThreader>(ui);
        const std::size_t threadsBefore = ThreadCount();
        TZelTimedThread& item = AddItem(50);
        int calls = 0;
        item.OnTimer = [&](TZelTimedThread& sender) {
            ++calls;
            if (wholeComponent)
                component.reset();
            else
                sender.Collection().Delete(sender.Index());
        };
        item.SetEnabled(true);
        ASSERT_TRUE(ui.RunUntil([&] { return calls == 1; }, Patience));
        // The worker was joined once the handler had returned.
        EXPECT_EQ(ThreadCount(), threadsBefore);
        ui.RunFor(300ms);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(component == nullptr, wholeComponent);
        if (component) {
            EXPECT_EQ(component->Threads().Count(), 0);
        }
    }
}

TEST_F(TimedItems, LongestIntervalIsAbout65Seconds)
{
    TZelTimedThread& item = AddItem(65535);
    RecordTicks(item, ticks);
    item.SetEnabled(true);
    ui.RunFor(1s);
    EXPECT_TRUE(ticks.empty());
    EXPECT_EQ(item.DisplayName(), "TZelTimedThread [65535]");
}

} // namespace
} // namespace movarth
