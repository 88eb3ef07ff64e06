#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace movarth {

// One step that a worker thread hands over to the UI thread. The worker keeps it and
// reuses it for every hand-over, so handing a tick over allocates nothing.
class THandOver
{
public:
    explicit THandOver(std::function<void()> step) : step_(std::move(step)) {}
    THandOver(const THandOver&) = delete;
    THandOver& operator=(const THandOver&) = delete;

private:
    friend class TUiThread;
    enum class EState
    {
        Idle,
        Pending,
        Running,
        Done,
        Withdrawn
    };

    std::function<void()> step_;
    EState state_ = EState::Idle;
    bool retired_ = false;
    std::exception_ptr error_;
};

// The synchronous hand-over to the UI thread: a worker queues a step and blocks until the UI
// thread has run it. The thread that constructs the object is the UI thread.
class TUiThread
{
public:
    TUiThread();
    // Joins the threads left to JoinLater that are still unjoined.
    virtual ~TUiThread();
    TUiThread(const TUiThread&) = delete;
    TUiThread& operator=(const TUiThread&) = delete;

    // Worker side: runs the step on the UI thread and waits until it has run. What the step
    // throws is caught on the UI thread and thrown again here. Returns false, without running
    // the step, when the UI thread withdrew or retired the request. Called on the UI thread
    // itself, the step runs at once.
    bool Synchronize(THandOver& request);

    // UI side: takes back a request that is still queued, so that its worker returns at once.
    // A request whose step is already running is left alone.
    void Withdraw(THandOver& request);

    // UI side, for a worker that is being discarded: withdraws the request and refuses it from
    // now on, so every later Synchronize with it returns false at once. This closes the gap in
    // which the worker has checked its own termination flag but not yet queued the request.
    // Returns true when the request's step is running right now, that is further up the UI
    // thread's own stack: its worker cannot end before that step returns and must not be
    // joined here (see JoinLater).
    bool Retire(THandOver& request);

    // UI side: takes over a worker thread that will end as soon as the step running further
    // up this stack has returned. It is joined when the outermost RunPending finishes, at the
    // latest by the destructor.
    void JoinLater(std::thread worker);

    // UI side: runs every queued step, in order; returns how many ran.
    std::size_t RunPending();

    bool IsUiThread() const { return std::this_thread::get_id() == uiThread_; }

protected:
    // Called with a request queued (and the lock held): makes the UI thread call RunPending soon.
    virtual void WakeUi() = 0;

    std::mutex mutex_;
    std::deque<THandOver*> queue_;

private:
    void JoinLeftThreads();

    std::condition_variable done_;
    std::thread::id uiThread_;
    // UI thread only: nesting depth of RunPending, and the threads left to JoinLater.
    int runDepth_ = 0;
    std::vector<std::thread> leftThreads_;
};

// A UI loop that the caller drives: tests and command-line tools serve hand-overs with it.
class TPlainUiLoop final : public TUiThread
{
public:
    // Serves hand-overs for the given time, sleeping while nothing is queued.
    void RunFor(std::chrono::milliseconds duration);
    // Serves hand-overs until the condition holds (checked before waiting and after each
    // step) or the time is up; returns the condition's last value.
    bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

protected:
    void WakeUi() override { wake_.notify_all(); }

private:
    std::condition_variable wake_;
};

} // namespace movarth
