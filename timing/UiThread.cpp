#include "UiThread.h"

#include <algorithm>
#include <utility>

namespace movarth {

TUiThread::TUiThread() : uiThread_(std::this_thread::get_id()) {}

TUiThread::~TUiThread()
{
    JoinLeftThreads();
}

bool TUiThread::Synchronize(THandOver& request)
{
    if (IsUiThread()) {
        request.step_();
        return true;
    }
    std::unique_lock lock(mutex_);
    if (request.retired_) return false;
    request.state_ = THandOver::EState::Pending;
    request.error_ = nullptr;
    queue_.push_back(&request);
    WakeUi();
    done_.wait(lock, [&] {
        return request.state_ == THandOver::EState::Done ||
               request.state_ == THandOver::EState::Withdrawn;
    });
    const bool ran = request.state_ == THandOver::EState::Done;
    request.state_ = THandOver::EState::Idle;
    std::exception_ptr error = std::exchange(request.error_, nullptr);
    lock.unlock();
    if (error) std::rethrow_exception(error);
    return ran;
}

void TUiThread::Withdraw(THandOver& request)
{
    std::lock_guard lock(mutex_);
    if (request.state_ != THandOver::EState::Pending) return;
    std::erase(queue_, &request);
    request.state_ = THandOver::EState::Withdrawn;
    done_.notify_all();
}

bool TUiThread::Retire(THandOver& request)
{
    std::lock_guard lock(mutex_);
    request.retired_ = true;
    if (request.state_ == THandOver::EState::Pending) {
        std::erase(queue_, &request);
        request.state_ = THandOver::EState::Withdrawn;
        done_.notify_all();
    }
    return request.state_ == THandOver::EState::Running;
}

void TUiThread::JoinLater(std::thread worker)
{
    leftThreads_.push_back(std::move(worker));
    if (runDepth_ == 0) JoinLeftThreads();
}

void TUiThread::JoinLeftThreads()
{
    // Joining may take a moment; new entries can only come from steps, and none runs here.
    for (std::thread& worker : std::exchange(leftThreads_, {}))
        if (worker.joinable()) worker.join();
}

std::size_t TUiThread::RunPending()
{
    std::size_t ran = 0;
    ++runDepth_;
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        THandOver* request = queue_.front();
        queue_.pop_front();
        request->state_ = THandOver::EState::Running;
        lock.unlock();
        std::exception_ptr error;
        try {
            request->step_();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        request->error_ = error;
        request->state_ = THandOver::EState::Done;
        done_.notify_all();
        ++ran;
    }
    lock.unlock();
    // Every step that left a thread here has returned once the outermost level is done.
    if (--runDepth_ == 0 && !leftThreads_.empty()) JoinLeftThreads();
    return ran;
}

void TPlainUiLoop::RunFor(std::chrono::milliseconds duration)
{
    RunUntil([] { return false; }, duration);
}

bool TPlainUiLoop::RunUntil(const std::function<bool()>& condition,
                            std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        std::unique_lock lock(mutex_);
        if (queue_.empty() && wake_.wait_until(lock, deadline) == std::cv_status::timeout &&
            queue_.empty())
            return condition();
        lock.unlock();
        RunPending();
    }
}

} // namespace movarth
