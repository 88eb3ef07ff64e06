#include "timing/UiThread.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace movarth {
namespace {

using namespace std::chrono_literals;

TEST(UiThread, RunsTheStepOnTheUiThreadAndRaisesItsFailureInTheWorker)
{
    TPlainUiLoop ui;
    const auto uiId = std::this_thread::get_id();
    std::thread::id ranOn;
    int calls = 0;
    THandOver step([&] {
        ranOn = std::this_thread::get_id();
        if (++calls == 2) throw std::runtime_error("step failed");
    });
    std::string caught;
    std::thread worker([&] {
        const bool first = ui.Synchronize(step);
        EXPECT_TRUE(first);
        try {
            ui.Synchronize(step);
        } catch (const std::runtime_error& error) {
            caught = error.what();
        }
    });
    // The failure is caught on the UI side: serving does not throw.
    EXPECT_TRUE(ui.RunUntil([&] { return calls == 2; }, 10s));
    worker.join();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(ranOn, uiId);
    EXPECT_EQ(caught, "step failed");
}

TEST(UiThread, WithdrawnRequestReturnsWithoutRunning)
{
    TPlainUiLoop ui;
    int calls = 0;
    THandOver step([&] { ++calls; });
    std::atomic<int> result = -1;
    std::thread worker([&] { result = ui.Synchronize(step) ? 1 : 0; });
    // Withdraw until the request has been queued and taken back; nothing is served meanwhile.
    while (result == -1) {
        ui.Withdraw(step);
        std::this_thread::sleep_for(1ms);
    }
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(ui.RunPending(), 0u);
}

TEST(UiThread, RetiredRequestIsRefusedFromThenOn)
{
    TPlainUiLoop ui;
    int calls = 0;
    THandOver step([&] { ++calls; });
    // Retired before the worker has even asked: the later request returns at once.
    EXPECT_FALSE(ui.Retire(step));
    bool ran = true;
    std::thread worker([&] { ran = ui.Synchronize(step); });
    worker.join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(ui.RunPending(), 0u);
    EXPECT_EQ(calls, 0);
}

TEST(UiThread, RetireReportsAStepRunningUpTheStackAndJoinLaterWaitsForIt)
{
    TPlainUiLoop ui;
    THandOver* self = nullptr;
    bool runningSeen = false;
    std::atomic<bool> workerEnded = false;
    std::thread worker;
    THandOver step([&] {
        runningSeen = ui.Retire(*self);
        // Joining here would deadlock: the worker waits for this very step.
        ui.JoinLater(std::move(worker));
    });
    self = &step;
    worker = std::thread([&] {
        ui.Synchronize(step);
        workerEnded = true;
    });
    EXPECT_TRUE(ui.RunUntil([&] { return !worker.joinable(); }, 10s));
    EXPECT_TRUE(runningSeen);
    // The outermost RunPending joined the worker once the step had returned.
    EXPECT_TRUE(workerEnded);
}

TEST(UiThread, ANestedLoopInsideAStepServesOtherWorkers)
{
    TPlainUiLoop ui;
    int inner = 0;
    bool servedInside = false;
    bool outerRan = false;
    THandOver innerStep([&] { ++inner; });
    std::thread innerWorker;
    THandOver outerStep([&] {
        // As a modal dialog opened by a handler does: the inner request comes and is served
        // while this step is still running.
        innerWorker = std::thread([&] { ui.Synchronize(innerStep); });
        servedInside = ui.RunUntil([&] { return inner == 1; }, 10s);
        outerRan = true;
    });
    std::thread outerWorker([&] { ui.Synchronize(outerStep); });
    EXPECT_TRUE(ui.RunUntil([&] { return outerRan; }, 10s));
    outerWorker.join();
    innerWorker.join();
    EXPECT_TRUE(servedInside);
}

} // namespace
} // namespace movarth
