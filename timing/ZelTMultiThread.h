#pragma once

#include "timing/Persistent.h"
#include "timing/ThreadPriority.h"
#include "timing/UiThread.h"

#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace movarth {

class TZelMultiThreader;
class TZelTimedThreads;
class TZelTimedThread;

// A handler bound to an object; its one argument is the sender.
using TNotifyEvent = std::function<void(TZelTimedThread& sender)>;

// The worker of a timed item: a thread that sleeps for the item's Interval, hands the item's
// DoTimer over to the UI thread, waits until it has run, and starts over.
//
// Linux cannot suspend a thread where it stands, so the worker holds on a condition instead:
// after each sleep (a pause during the sleep does not move its end; released after the end,
// it ticks at once) and after each hand-over (released, it begins a full new Interval). The
// thread is created at the first release. All operations are for the UI thread.
class TZelTimerThread
{
public:
    // Created paused: no thread runs yet.
    TZelTimerThread(TZelTimedThread& item, TUiThread& ui);
    // Discards the worker (see Discard).
    ~TZelTimerThread();
    TZelTimerThread(const TZelTimerThread&) = delete;
    TZelTimerThread& operator=(const TZelTimerThread&) = delete;

    // Marks the worker paused; it holds at its next hold point.
    void Pause();
    // Lets a paused worker go on; the first release starts its thread.
    void Release();
    bool Paused() const;
    // The thread body has finished: a handler raised. Pause and release no longer matter.
    bool Ended() const;
    // The system's id of the worker thread (gettid), 0 until its body has begun.
    long SystemThreadId() const;

    // Ends the worker for good: no tick is delivered from now on, a sleep under way is cut
    // short, and the thread is joined, or, when its hand-over is running further up this
    // stack, left to the UI thread object to join once that step has returned.
    void Discard();

private:
    struct TState;
    static void Execute(const std::shared_ptr<TState>& state);

    TUiThread& ui_;
    // Shared with the thread, which may outlive this object by the rest of a running step.
    std::shared_ptr<TState> state_;
    std::thread thread_;
    bool started_ = false;
};

// A timed item: while Enabled, with a non-zero Interval and an OnTimer handler, its worker
// calls OnTimer on the UI thread every Interval milliseconds (plus the time the tick waits for
// the UI thread and the handler's own run time). Used on the UI thread only.
class TZelTimedThread : public TPersistent
{
public:
    // Only TZelTimedThreads::Add makes items; the key carries the collection.
    class TKey
    {
        friend class TZelTimedThreads;
        friend class TZelTimedThread;
        explicit TKey(TZelTimedThreads& collection) : collection_(collection) {}
        TZelTimedThreads& collection_;
    };

    static constexpr bool DefaultEnabled = true;
    static constexpr std::uint16_t DefaultInterval = 1000;
    static constexpr TThreadPriority DefaultPriority = TThreadPriority::tpTimeCritical;

    explicit TZelTimedThread(TKey key);
    // Disables the item and discards its worker: no tick runs once this has begun, and it
    // does not wait for a sleep to run out.
    ~TZelTimedThread() override;
    TZelTimedThread(const TZelTimedThread&) = delete;
    TZelTimedThread& operator=(const TZelTimedThread&) = delete;

    // These three setters always run UpdateWorker, also when the value does not change.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    // Milliseconds; 0 means the item never ticks. A new value applies from the next wait.
    std::uint16_t Interval() const { return interval_.load(); }
    void SetInterval(std::uint16_t interval);
    // Applied once, when the worker begins; later values do not reach a running worker.
    TThreadPriority Priority() const { return priority_.load(); }
    void SetPriority(TThreadPriority priority);

    // Plain fields: setting them runs nothing, so assigning OnTimer alone starts nothing.
    std::string ThreadID;
    std::int32_t Tag = 0;
    TNotifyEvent OnTimer;

    TZelTimedThreads& Collection() const { return collection_; }
    TZelMultiThreader& Component() const { return component_; }
    int Index() const;
    const TZelTimerThread& Worker() const { return worker_; }

    std::string ClassName() const override { return "TZelTimedThread"; }
    // "TZelTimedThread [1000]": the class name and the Interval.
    virtual std::string DisplayName() const;
    // From another item: Tag, ThreadID, then Enabled, Interval, OnTimer and last Priority,
    // whose UpdateWorker finds the new handler in place. Other sources fail.
    void Assign(const TPersistent& source) override;

    // The tick, on the UI thread: calls OnTimer with this item as the sender if the item may
    // still run, and drops the tick otherwise.
    virtual void DoTimer();

private:
    bool MayRun() const { return interval_.load() != 0 && enabled_ && OnTimer; }
    // Pauses the worker and releases it again at once if the item may run: a wait under way
    // goes on and is not restarted.
    void UpdateWorker();

    TZelTimedThreads& collection_;
    TZelMultiThreader& component_;
    bool enabled_ = DefaultEnabled;
    // Read by the worker, written here.
    std::atomic<std::uint16_t> interval_ = DefaultInterval;
    std::atomic<TThreadPriority> priority_ = DefaultPriority;
    TZelTimerThread worker_;
};

// The ordered, indexed items of a TZelMultiThreader. It owns them.
class TZelTimedThreads : public TPersistent
{
public:
    explicit TZelTimedThreads(TZelMultiThreader& owner) : owner_(owner) {}
    // Destroys the items from the last to the first.
    ~TZelTimedThreads() override { Clear(); }
    TZelTimedThreads(const TZelTimedThreads&) = delete;
    TZelTimedThreads& operator=(const TZelTimedThreads&) = delete;

    TZelMultiThreader& Owner() const { return owner_; }
    int Count() const { return static_cast<int>(items_.size()); }
    // Fails with EListError outside 0 to Count - 1.
    TZelTimedThread& Items(int index) const;
    TZelTimedThread& operator[](int index) const { return Items(index); }

    // Appends a new item with the initial values; it does not run yet (it has no handler).
    template <std::derived_from<TZelTimedThread> TItem = TZelTimedThread> TItem& Add()
    {
        auto item = std::make_unique<TItem>(TZelTimedThread::TKey(*this));
        TItem& added = *item;
        items_.push_back(std::move(item));
        return added;
    }
    // Destroys the item at the index (EListError outside 0 to Count - 1).
    void Delete(int index);
    // Destroys the items from the last index to the first.
    void Clear();

    // From another collection: clears this one, then adds a copy of each source item in index
    // order. Assigning the collection to itself leaves it as it is. Other sources fail.
    void Assign(const TPersistent& source) override;
    std::string ClassName() const override { return "TZelTimedThreads"; }

private:
    TZelMultiThreader& owner_;
    std::vector<std::unique_ptr<TZelTimedThread>> items_;
};

// The timed thread set: a component that owns a TZelTimedThreads for its whole life.
class TZelMultiThreader : public TPersistent
{
public:
    // The items hand their ticks over to the given UI thread, which must outlive them.
    explicit TZelMultiThreader(TUiThread& ui) : ui_(ui), threads_(*this) {}
    TZelMultiThreader(const TZelMultiThreader&) = delete;
    TZelMultiThreader& operator=(const TZelMultiThreader&) = delete;

    TZelTimedThreads& Threads() { return threads_; }
    const TZelTimedThreads& Threads() const { return threads_; }
    // Copies the given items into the owned collection, which is never replaced.
    void SetThreads(const TZelTimedThreads& threads) { threads_.Assign(threads); }

    TUiThread& UiThread() const { return ui_; }
    std::string ClassName() const override { return "TZelMultiThreader"; }

private:
    TUiThread& ui_;
    TZelTimedThreads threads_;
};

} // namespace movarth
