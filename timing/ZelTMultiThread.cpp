#include "timing/ZelTMultiThread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unistd.h>

namespace movarth {

// What the worker thread uses. The thread holds it to its end, so it outlives an item that
// was destroyed while its tick was running; after Discard the thread touches no item.
struct TZelTimerThread::TState
{
    TState(TZelTimedThread& served, TUiThread& uiThread)
        : item(served), ui(uiThread), handOver([this] { Tick(); })
    {
    }

    // Runs on the UI thread, which is also the only one that sets discarded.
    void Tick()
    {
        if (!discarded) item.DoTimer();
    }

    // Holds while paused; false once the worker is discarded.
    bool HoldWhilePaused(std::unique_lock<std::mutex>& lock)
    {
        wake.wait(lock, [this] { return discarded || !paused; });
        return !discarded;
    }

    TZelTimedThread& item;
    TUiThread& ui;
    std::mutex mutex;
    std::condition_variable wake;
    bool paused = true;     // guarded by mutex
    bool discarded = false; // guarded by mutex; written on the UI thread only
    std::atomic<bool> ended = false;
    std::atomic<long> systemThreadId = 0;
    THandOver handOver;
};

TZelTimerThread::TZelTimerThread(TZelTimedThread& item, TUiThread& ui)
    : ui_(ui), state_(std::make_shared<TState>(item, ui))
{
}

TZelTimerThread::~TZelTimerThread()
{
    Discard();
}

void TZelTimerThread::Pause()
{
    std::lock_guard lock(state_->mutex);
    state_->paused = true;
}

void TZelTimerThread::Release()
{
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->paused || state_->discarded) return;
        state_->paused = false;
    }
    state_->wake.notify_all();
    if (!started_) {
        started_ = true;
        thread_ = std::thread(&TZelTimerThread::Execute, state_);
    }
}

bool TZelTimerThread::Paused() const
{
    std::lock_guard lock(state_->mutex);
    return state_->paused;
}

bool TZelTimerThread::Ended() const
{
    return state_->ended;
}

long TZelTimerThread::SystemThreadId() const
{
    return state_->systemThreadId;
}

void TZelTimerThread::Discard()
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->discarded) return;
        state_->discarded = true;
    }
    state_->wake.notify_all();
    // After this the thread returns from any hand-over at once, unless its step is running
    // further up this stack: then it ends as soon as that step returns.
    const bool stepRunning = ui_.Retire(state_->handOver);
    if (!thread_.joinable()) return;
    if (stepRunning)
        ui_.JoinLater(std::move(thread_));
    else
        thread_.join();
}

void TZelTimerThread::Execute(const std::shared_ptr<TState>& state)
{
    using Clock = std::chrono::steady_clock;
    TState& s = *state;
    s.systemThreadId = static_cast<long>(::gettid());
    std::unique_lock lock(s.mutex);
    // The item is alive while the worker is not discarded, and it cannot be discarded while
    // the lock is held: every read of the item below is made under it.
    if (!s.discarded) {
        ApplyThreadPriority(s.item.Priority());
        try {
            for (;;) {
                // The sleep's end is fixed now; only the end of the worker cuts it short.
                const auto end = Clock::now() + std::chrono::milliseconds(s.item.Interval());
                if (s.wake.wait_until(lock, end, [&s] { return s.discarded; })) break;
                // Paused during the sleep: the tick comes as soon as it is released.
                if (!s.HoldWhilePaused(lock)) break;
                lock.unlock();
                // Returns false without a tick only when the worker was discarded meanwhile.
                s.ui.Synchronize(s.handOver);
                lock.lock();
                // Paused by the tick (its handler disabled the item): a full Interval begins
                // at the release.
                if (!s.HoldWhilePaused(lock)) break;
            }
        } catch (...) {
            // The handler raised: this worker ends, and its item makes no further ticks.
        }
    }
    s.ended = true;
}

// ---------------------------------------------------------------------------------------------

TZelTimedThread::TZelTimedThread(TKey key)
    : collection_(key.collection_), component_(collection_.Owner()),
      worker_(*this, component_.UiThread())
{
    UpdateWorker();
}

TZelTimedThread::~TZelTimedThread()
{
    enabled_ = false;
    UpdateWorker();
    worker_.Discard();
}

void TZelTimedThread::SetEnabled(bool enabled)
{
    enabled_ = enabled;
    UpdateWorker();
}

void TZelTimedThread::SetInterval(std::uint16_t interval)
{
    interval_ = interval;
    UpdateWorker();
}

void TZelTimedThread::SetPriority(TThreadPriority priority)
{
    priority_ = priority;
    UpdateWorker();
}

int TZelTimedThread::Index() const
{
    for (int i = 0; i < collection_.Count(); ++i)
        if (&collection_.Items(i) == this) return i;
    return -1;
}

std::string TZelTimedThread::DisplayName() const
{
    return ClassName() + " [" + std::to_string(Interval()) + "]";
}

void TZelTimedThread::Assign(const TPersistent& source)
{
    const auto* item = dynamic_cast<const TZelTimedThread*>(&source);
    if (item == nullptr) {
        TPersistent::Assign(source);
        return;
    }
    Tag = item->Tag;
    ThreadID = item->ThreadID;
    SetEnabled(item->Enabled());
    SetInterval(item->Interval());
    OnTimer = item->OnTimer;
    SetPriority(item->Priority());
}

void TZelTimedThread::DoTimer()
{
    if (!MayRun()) return;
    // A copy: the handler may replace OnTimer or destroy this item while it runs.
    const TNotifyEvent handler = OnTimer;
    handler(*this);
}

void TZelTimedThread::UpdateWorker()
{
    if (!worker_.Paused()) worker_.Pause();
    if (!MayRun()) return;
    if (worker_.Paused()) worker_.Release();
}

// ---------------------------------------------------------------------------------------------

TZelTimedThread& TZelTimedThreads::Items(int index) const
{
    if (index < 0 || index >= Count()) throw EListError(index);
    return *items_[static_cast<std::size_t>(index)];
}

void TZelTimedThreads::Delete(int index)
{
    Items(index);
    // Out of the list first, so that the list is whole while the item is destroyed.
    const auto item = std::move(items_[static_cast<std::size_t>(index)]);
    items_.erase(items_.begin() + index);
}

void TZelTimedThreads::Clear()
{
    while (!items_.empty()) {
        const auto item = std::move(items_.back());
        items_.pop_back();
    }
}

void TZelTimedThreads::Assign(const TPersistent& source)
{
    const auto* threads = dynamic_cast<const TZelTimedThreads*>(&source);
    if (threads == nullptr) {
        TPersistent::Assign(source);
        return;
    }
    if (threads == this) return;
    Clear();
    for (int i = 0; i < threads->Count(); ++i)
        Add().Assign(threads->Items(i));
}

} // namespace movarth
