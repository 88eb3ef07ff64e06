#pragma once

#include <cstdint>
#include <mutex>

namespace movarth {

// Owns one descriptor; the destructor closes it.
class THandleObject
{
public:
    explicit THandleObject(int handle) : handle_(handle) {}
    virtual ~THandleObject();
    THandleObject(const THandleObject&) = delete;
    THandleObject& operator=(const THandleObject&) = delete;

    int Handle() const { return handle_; }
    // errno of the last failed wait.
    std::int32_t LastError() const { return lastError_; }

protected:
    void SetLastError(std::int32_t code) { lastError_ = code; }

private:
    int handle_;
    std::int32_t lastError_ = 0;
};

enum TWaitResult
{
    wrSignaled,
    wrTimeout,
    wrAbandoned,
    wrError
};

// A manual-reset event on an eventfd: it stays signalled until reset, and since it is a
// descriptor a thread can wait for it together with a device in one poll().
class TEvent : public THandleObject
{
public:
    // Takes over an eventfd-like descriptor (readable while signalled).
    explicit TEvent(int handle) : THandleObject(handle) {}

    // Waits up to timeoutMs milliseconds (-1: no limit). A failed wait stores errno in
    // LastError. No POSIX descriptor is ever abandoned, so wrAbandoned is not answered here.
    TWaitResult WaitFor(int timeoutMs);
    void SetEvent();
    void ResetEvent();
};

// An unnamed manual-reset event, initially not signalled.
class TSimpleEvent final : public TEvent
{
public:
    TSimpleEvent();
};

// A re-entrant lock: the thread that holds it may enter it again.
class TCriticalSection
{
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    // The standard lockable names, so that std::lock_guard can hold it.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex mutex_;
};

} // namespace movarth
