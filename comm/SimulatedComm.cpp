#include "SimulatedComm.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <utility>

namespace movarth {

void TSimulatedCommPlatform::AddDevice(const std::string& name, bool characterDevice)
{
    std::lock_guard lock(mutex_);
    names_[name] = characterDevice;
}

void TSimulatedCommPlatform::SetDeviceState(const TDeviceControlBlock& block)
{
    std::lock_guard lock(mutex_);
    state_ = block;
}

void TSimulatedCommPlatform::Fail(EOperation operation, int code)
{
    std::lock_guard lock(mutex_);
    failures_[operation] = code;
}

void TSimulatedCommPlatform::QueueEvents(std::uint32_t events)
{
    if (!lineOpen_) return;
    pendingEvents_ |= events & eventMask_;
    if (pendingEvents_ != 0) eventsPending_.SetEvent();
}

void TSimulatedCommPlatform::Receive(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    if (!bytes.empty()) QueueEvents(EV_RXCHAR);
}

void TSimulatedCommPlatform::RaiseEvent(std::uint32_t events)
{
    std::lock_guard lock(mutex_);
    QueueEvents(events);
}

void TSimulatedCommPlatform::SetErrors(std::uint32_t errors)
{
    std::lock_guard lock(mutex_);
    errors_ = errors;
}

void TSimulatedCommPlatform::HangUp()
{
    std::lock_guard lock(mutex_);
    hungUp_ = true;
    eventsPending_.SetEvent();
}

void TSimulatedCommPlatform::StallReads(bool stall)
{
    std::lock_guard lock(mutex_);
    stallReads_ = stall;
}

void TSimulatedCommPlatform::StallWrites(bool stall)
{
    std::lock_guard lock(mutex_);
    stallWrites_ = stall;
}

void TSimulatedCommPlatform::SetOnWrite(std::function<void(std::span<const std::uint8_t>)> onWrite)
{
    std::lock_guard lock(mutex_);
    onWrite_ = std::move(onWrite);
}

bool TSimulatedCommPlatform::IsLineOpen() const
{
    std::lock_guard lock(mutex_);
    return lineOpen_;
}

std::vector<std::uint8_t> TSimulatedCommPlatform::Written() const
{
    std::lock_guard lock(mutex_);
    return written_;
}

TDeviceControlBlock TSimulatedCommPlatform::CommState() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

int TSimulatedCommPlatform::SetCommStateCount() const
{
    std::lock_guard lock(mutex_);
    return setCommStateCount_;
}

TCommTimeouts TSimulatedCommPlatform::Timeouts() const
{
    std::lock_guard lock(mutex_);
    return timeouts_;
}

int TSimulatedCommPlatform::InQueueSize() const
{
    std::lock_guard lock(mutex_);
    return inQueueSize_;
}

int TSimulatedCommPlatform::OutQueueSize() const
{
    std::lock_guard lock(mutex_);
    return outQueueSize_;
}

std::uint32_t TSimulatedCommPlatform::EventMask() const
{
    std::lock_guard lock(mutex_);
    return eventMask_;
}

std::uint32_t TSimulatedCommPlatform::PurgeFlags() const
{
    std::lock_guard lock(mutex_);
    return purgeFlags_;
}

int TSimulatedCommPlatform::WaitCount() const
{
    std::lock_guard lock(mutex_);
    return waitCount_;
}

std::vector<std::string> TSimulatedCommPlatform::Calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

int TSimulatedCommPlatform::OpenHandleCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(fileHandles_.size()) + (lineOpen_ ? 1 : 0);
}

int TSimulatedCommPlatform::Check(EOperation operation, TCommHandle handle, const char* name)
{
    if (name) calls_.emplace_back(name);
    if (const auto failure = failures_.find(operation);
        failure != failures_.end() && failure->second != 0)
        return failure->second;
    if (handle != LineHandle || !lineOpen_) return EBADF;
    return 0;
}

int TSimulatedCommPlatform::OpenDevice(const std::string& deviceName, TCommHandle& handle)
{
    std::lock_guard lock(mutex_);
    calls_.emplace_back("OpenDevice");
    handle = InvalidCommHandle;
    if (const auto failure = failures_.find(EOperation::OpenDevice);
        failure != failures_.end() && failure->second != 0)
        return failure->second;
    const auto name = names_.find(deviceName);
    if (name == names_.end()) return ENOENT;
    if (!name->second) {
        handle = nextFileHandle_++;
        fileHandles_.insert(handle);
        return 0;
    }
    if (lineOpen_) return EBUSY; // held by another opener
    lineOpen_ = true;
    hungUp_ = false;
    pendingEvents_ = 0;
    eventsPending_.ResetEvent();
    handle = LineHandle;
    return 0;
}

bool TSimulatedCommPlatform::IsCharacterDevice(TCommHandle handle)
{
    std::lock_guard lock(mutex_);
    calls_.emplace_back("IsCharacterDevice");
    return handle == LineHandle && lineOpen_;
}

void TSimulatedCommPlatform::CloseDevice(TCommHandle handle)
{
    std::lock_guard lock(mutex_);
    calls_.emplace_back("CloseDevice");
    if (handle == LineHandle) {
        lineOpen_ = false;
        eventMask_ = 0;
        pendingEvents_ = 0;
    }
    fileHandles_.erase(handle);
}

int TSimulatedCommPlatform::GetCommState(TCommHandle handle, TDeviceControlBlock& block)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::GetCommState, handle, "GetCommState")) return error;
    block = state_;
    return 0;
}

int TSimulatedCommPlatform::SetCommState(TCommHandle handle, const TDeviceControlBlock& block)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::SetCommState, handle, "SetCommState")) return error;
    state_ = block;
    ++setCommStateCount_;
    return 0;
}

int TSimulatedCommPlatform::SetupComm(TCommHandle handle, int inQueue, int outQueue)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::SetupComm, handle, "SetupComm")) return error;
    inQueueSize_ = inQueue;
    outQueueSize_ = outQueue;
    return 0;
}

int TSimulatedCommPlatform::SetCommTimeouts(TCommHandle handle, const TCommTimeouts& timeouts)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::SetCommTimeouts, handle, "SetCommTimeouts"))
        return error;
    timeouts_ = timeouts;
    return 0;
}

int TSimulatedCommPlatform::SetCommMask(TCommHandle handle, std::uint32_t mask)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::SetCommMask, handle, "SetCommMask")) return error;
    eventMask_ = mask;
    return 0;
}

int TSimulatedCommPlatform::WaitCommEvent(TCommHandle handle, TEvent& wakeUp, std::uint32_t& mask)
{
    mask = 0;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            ++waitCount_;
            if (const int error = Check(EOperation::WaitCommEvent, handle, nullptr)) return error;
            if (hungUp_) return EIO;
            if (pendingEvents_ != 0) {
                mask = std::exchange(pendingEvents_, 0);
                eventsPending_.ResetEvent();
                return 0;
            }
        }
        pollfd entries[2] = {{eventsPending_.Handle(), POLLIN, 0}, {wakeUp.Handle(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR) return errno;
        if (entries[1].revents != 0) return 0;
    }
}

int TSimulatedCommPlatform::ClearCommError(TCommHandle handle, TCommStatus& status)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::ClearCommError, handle, "ClearCommError")) return error;
    status.Errors = std::exchange(errors_, 0);
    status.InQueue = static_cast<std::uint32_t>(received_.size());
    status.OutQueue = 0;
    return 0;
}

int TSimulatedCommPlatform::PurgeComm(TCommHandle handle, std::uint32_t flags)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::PurgeComm, handle, "PurgeComm")) return error;
    purgeFlags_ = flags;
    if (flags & PURGE_RXCLEAR) received_.clear();
    return 0;
}

int TSimulatedCommPlatform::ReadFile(TCommHandle handle, std::span<std::uint8_t> buffer,
                                     int /*timeoutMs*/, int& transferred)
{
    std::lock_guard lock(mutex_);
    if (const int error = Check(EOperation::ReadFile, handle, "ReadFile")) return error;
    if (hungUp_) return EIO;
    if (stallReads_) {
        transferred = -1;
        return 0;
    }
    const std::size_t count = std::min(buffer.size(), received_.size());
    std::copy_n(received_.begin(), count, buffer.begin());
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(count));
    transferred = static_cast<int>(count);
    return 0;
}

int TSimulatedCommPlatform::WriteFile(TCommHandle handle, std::span<const std::uint8_t> buffer,
                                      int /*timeoutMs*/, int& transferred)
{
    std::function<void(std::span<const std::uint8_t>)> onWrite;
    {
        std::lock_guard lock(mutex_);
        if (const int error = Check(EOperation::WriteFile, handle, "WriteFile")) return error;
        if (hungUp_) return EIO;
        if (stallWrites_) {
            transferred = -1;
            return 0;
        }
        written_.insert(written_.end(), buffer.begin(), buffer.end());
        transferred = static_cast<int>(buffer.size());
        QueueEvents(EV_TXEMPTY);
        onWrite = onWrite_;
    }
    if (onWrite) onWrite(buffer);
    return 0;
}

} // namespace movarth
