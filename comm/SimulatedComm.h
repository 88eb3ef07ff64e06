#pragma once

#include "comm/CommPlatform.h"
#include "comm/SerialSync.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace movarth {

// One serial line in memory, for tests: the line answers to the names added with AddDevice,
// records what the component set, queues received bytes and line events, and fails any
// operation with a chosen code. Error codes are errno values, as on the POSIX platform.
// Safe to use from the UI thread, the event thread and the test at once.
class TSimulatedCommPlatform final : public TCommPlatform
{
public:
    enum class EOperation
    {
        OpenDevice,
        GetCommState,
        SetCommState,
        SetupComm,
        SetCommTimeouts,
        SetCommMask,
        WaitCommEvent,
        ClearCommError,
        PurgeComm,
        ReadFile,
        WriteFile
    };

    // Set-up and the other end of the line.
    // A name under which the line opens; characterDevice false makes it a plain file.
    void AddDevice(const std::string& name, bool characterDevice = true);
    // The control block that the device reports before anything was set.
    void SetDeviceState(const TDeviceControlBlock& block);
    // Every later call of the operation answers code; 0 lets it succeed again.
    void Fail(EOperation operation, int code);
    // Bytes that arrived on the line; an EV_RXCHAR event if the line is open and it is
    // monitored. Bytes received while closed stay queued for the next opening.
    void Receive(std::span<const std::uint8_t> bytes);
    // Line events (EV_ bits); those that are monitored are reported, together, by the next wait.
    void RaiseEvent(std::uint32_t events);
    // Error flags that the next ClearCommError reports.
    void SetErrors(std::uint32_t errors);
    // The line is gone: waits, reads and writes answer EIO.
    void HangUp();
    // Transfers that do not complete in time (the result is -1).
    void StallReads(bool stall);
    void StallWrites(bool stall);
    // Called with the bytes of every write, outside the platform's lock, so that it may Receive
    // an answer: a scripted other end.
    void SetOnWrite(std::function<void(std::span<const std::uint8_t>)> onWrite);

    // What the component did.
    bool IsLineOpen() const;
    std::vector<std::uint8_t> Written() const;
    TDeviceControlBlock CommState() const; // as last set (or as reported)
    int SetCommStateCount() const;
    TCommTimeouts Timeouts() const;
    int InQueueSize() const;
    int OutQueueSize() const;
    std::uint32_t EventMask() const;
    std::uint32_t PurgeFlags() const;
    int WaitCount() const;
    // Names of the calls in order, waits left out (they come from the event thread).
    std::vector<std::string> Calls() const;
    // Handles released that were never closed again.
    int OpenHandleCount() const;

    // TCommPlatform
    int OpenDevice(const std::string& deviceName, TCommHandle& handle) override;
    bool IsCharacterDevice(TCommHandle handle) override;
    void CloseDevice(TCommHandle handle) override;
    int GetCommState(TCommHandle handle, TDeviceControlBlock& block) override;
    int SetCommState(TCommHandle handle, const TDeviceControlBlock& block) override;
    int SetupComm(TCommHandle handle, int inQueue, int outQueue) override;
    int SetCommTimeouts(TCommHandle handle, const TCommTimeouts& timeouts) override;
    int SetCommMask(TCommHandle handle, std::uint32_t mask) override;
    int WaitCommEvent(TCommHandle handle, TEvent& wakeUp, std::uint32_t& mask) override;
    int ClearCommError(TCommHandle handle, TCommStatus& status) override;
    int PurgeComm(TCommHandle handle, std::uint32_t flags) override;
    int ReadFile(TCommHandle handle, std::span<std::uint8_t> buffer, int timeoutMs,
                 int& transferred) override;
    int WriteFile(TCommHandle handle, std::span<const std::uint8_t> buffer, int timeoutMs,
                  int& transferred) override;

private:
    static constexpr TCommHandle LineHandle = 3;

    // Answers the injected failure or, for a handle that is not the open line, EBADF.
    int Check(EOperation operation, TCommHandle handle, const char* name);
    void QueueEvents(std::uint32_t events); // with the lock held

    mutable std::mutex mutex_;
    std::map<std::string, bool> names_; // name -> character device
    std::map<EOperation, int> failures_;
    std::set<TCommHandle> fileHandles_;
    TCommHandle nextFileHandle_ = 100;
    bool lineOpen_ = false;
    bool hungUp_ = false;
    bool stallReads_ = false;
    bool stallWrites_ = false;
    TDeviceControlBlock state_;
    int setCommStateCount_ = 0;
    TCommTimeouts timeouts_;
    int inQueueSize_ = 0;
    int outQueueSize_ = 0;
    std::uint32_t eventMask_ = 0;
    std::uint32_t pendingEvents_ = 0;
    std::uint32_t errors_ = 0;
    std::uint32_t purgeFlags_ = 0;
    int waitCount_ = 0;
    std::deque<std::uint8_t> received_;
    std::vector<std::uint8_t> written_;
    std::vector<std::string> calls_;
    std::function<void(std::span<const std::uint8_t>)> onWrite_;
    TSimpleEvent eventsPending_; // signalled while pendingEvents_ or hungUp_ need a waiter
};

} // namespace movarth
