#include "SerialComm.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace movarth {

std::uint32_t BaudRateValue(TBaudrate rate)
{
    static constexpr std::array<std::uint32_t, 15> rates{110,   300,   600,    1200,   2400,
                                                         4800,  9600,  14400,  19200,  38400,
                                                         56000, 57600, 115200, 128000, 256000};
    return rates.at(rate);
}

std::uint32_t EventMask(TCommEventTypes events)
{
    // In the order of TCommEventType.
    static constexpr std::array<std::uint32_t, 9> bits{
        EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};
    std::uint32_t mask = 0;
    for (std::size_t type = 0; type < bits.size(); ++type)
        if (events.Contains(static_cast<TCommEventType>(type))) mask |= bits[type];
    return mask;
}

ECommError::ECommError(const std::string& text, std::int32_t code)
    : std::runtime_error(text + " (Error: " + std::to_string(code) + ") "), code_(code)
{
}

void TCommEventChars::Assign(const TCommEventChars& source)
{
    xonChar_ = source.xonChar_;
    xoffChar_ = source.xoffChar_;
    errorChar_ = source.errorChar_;
    eofChar_ = source.eofChar_;
    evtChar_ = source.evtChar_;
}

void TCommEventChars::Set(char& field, char value)
{
    field = value;
    if (owner_) owner_->UpdateDataControlBlock(); // always, also for an unchanged character
}

// ---------------------------------------------------------------------------------------------

struct TCommEventThread::TState
{
    TState(TCommEventThread& thread, TCommPlatform& p, TCommHandle h, TUiThread& uiThread,
           TSignal signal, TLost lost)
        : owner(thread), platform(p), handle(h), ui(uiThread), onSignal(std::move(signal)),
          onLost(std::move(lost)), handOver([this] { Deliver(); })
    {
    }

    // The step handed over, on the UI thread. Once Stop was asked (also by a handler that
    // destroyed the owner) it calls nothing; after a handler has returned it touches only this
    // state.
    void Deliver()
    {
        if (terminated) return;
        if (waitError != 0) {
            if (onLost) onLost(owner, waitError);
        } else if (onSignal) {
            onSignal(owner, mask);
        }
    }

    TCommEventThread& owner;
    TCommPlatform& platform;
    const TCommHandle handle;
    TUiThread& ui;
    const TSignal onSignal;
    const TLost onLost;
    TSimpleEvent wakeUp;
    // Written by the thread before each hand-over, read by the step it hands over.
    std::uint32_t mask = 0;
    int waitError = 0;
    THandOver handOver;
    std::atomic<bool> terminated{false};
};

TCommEventThread::TCommEventThread(TCommPlatform& platform, TCommHandle handle,
                                   TCommEventTypes events, TUiThread& ui, TSignal onSignal,
                                   TLost onLost)
    : state_(std::make_shared<TState>(*this, platform, handle, ui, std::move(onSignal),
                                      std::move(onLost)))
{
    (void)platform.SetCommMask(handle, EventMask(events));
    thread_ = std::thread([state = state_] { Execute(state); });
}

TCommEventThread::~TCommEventThread()
{
    Stop();
    End();
}

void TCommEventThread::Stop()
{
    // Termination first: whatever wakes the thread then finds it set, so the wake-up is
    // never taken for a line event.
    state_->terminated = true;
    state_->wakeUp.SetEvent();
}

void TCommEventThread::End()
{
    if (!thread_.joinable()) return;
    // The thread may have passed its check of the termination request just before Stop and
    // be about to queue a hand-over, which the UI thread (here) will not serve: retiring the
    // hand-over makes that and every later one return at once, so the join cannot hang.
    if (state_->ui.Retire(state_->handOver))
        state_->ui.JoinLater(std::move(thread_));
    else
        thread_.join();
}

void TCommEventThread::Execute(const std::shared_ptr<TState>& state)
{
    TState& s = *state;
    // One step above normal priority where the system allows it; nothing else depends on it.
    errno = 0;
    const int priority = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    if (errno == 0) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), priority - 1);

    try {
        while (!s.terminated) {
            std::uint32_t mask = 0;
            const int error = s.platform.WaitCommEvent(s.handle, s.wakeUp, mask);
            // The device is not touched again once termination is requested: Close may
            // already be purging and closing it.
            if (s.terminated) break;
            if (error != 0) {
                // The device is gone or hung up. Retrying would spin: the loss is reported
                // and the thread ends.
                s.waitError = error;
                s.ui.Synchronize(s.handOver);
                break;
            }
            if (mask == 0) continue;
            s.mask = mask;
            s.ui.Synchronize(s.handOver);
        }
    } catch (...) {
        // A handler raised: this opening delivers no further events.
    }
}

// ---------------------------------------------------------------------------------------------

TCustomComm::TCustomComm(TUiThread& ui, TCommPlatform& platform) : ui_(ui), platform_(platform) {}

TCustomComm::~TCustomComm()
{
    Close();
}

void TCustomComm::CheckClosed() const
{
    if (IsOpen()) throw ECommError("Port already assigned (open)", -1);
}

void TCustomComm::SetDeviceName(const std::string& value)
{
    if (value == deviceName_) return;
    CheckClosed();
    deviceName_ = value;
}

void TCustomComm::SetReadBufSize(std::int32_t value)
{
    if (value == readBufSize_) return;
    CheckClosed();
    readBufSize_ = value;
}

void TCustomComm::SetWriteBufSize(std::int32_t value)
{
    if (value == writeBufSize_) return;
    CheckClosed();
    writeBufSize_ = value;
}

void TCustomComm::SetMonitorEvents(TCommEventTypes value)
{
    if (value == monitorEvents_) return;
    CheckClosed();
    monitorEvents_ = value;
}

void TCustomComm::CreateHandle()
{
    TCommHandle handle = InvalidCommHandle;
    const int error = platform_.OpenDevice(deviceName_, handle);
    if (error != 0 || handle == InvalidCommHandle)
        throw ECommError("Error accessing specified device", error);
    if (!platform_.IsCharacterDevice(handle)) {
        platform_.CloseDevice(handle);
        throw ECommError("Invalid device handle, access denied", -1);
    }
    handle_ = handle;
}

void TCustomComm::Open()
{
    CheckClosed();
    CreateHandle();
    try {
        eventThread_ = std::make_unique<TCommEventThread>(
            platform_, handle_, monitorEvents_, ui_,
            [this](TCommEventThread& sender, std::uint32_t mask) { HandleCommEvent(sender, mask); },
            [this](TCommEventThread& sender, int error) { HandleDeviceLost(sender, error); });
        UpdateCommTimeouts();
        UpdateDataControlBlock();
        if (const int error = platform_.SetupComm(handle_, readBufSize_, writeBufSize_))
            throw ECommError("Error initializing Read/Write Buffers", error);
    } catch (...) {
        // The device opened but cannot serve as this port: give it back, lock included, so
        // that a port that failed to open is never held.
        Close();
        throw;
    }
}

void TCustomComm::Close()
{
    if (!IsOpen()) return;
    // Afterwards the event thread no longer touches the device. Delivering no further event,
    // it is joined at once, or (closed from its own hand-over) once that hand-over returns.
    eventThread_.reset();
    // A transfer on another thread finishes before the device goes. The purge comes before
    // the close, never after.
    std::lock_guard guard(lock_);
    (void)platform_.PurgeComm(handle_, PURGE_ALL);
    platform_.CloseDevice(handle_);
    handle_ = InvalidCommHandle;
}

void TCustomComm::HandleDeviceLost(TCommEventThread& sender, int error)
{
    if (!IsOpen() || eventThread_.get() != &sender) return;
    Close();
    if (OnDeviceLost) {
        const TCommLostEvent call = OnDeviceLost;
        call(*this, ECommError("Device removed or line hung up", error));
    }
}

void TCustomComm::UpdateCommTimeouts()
{
    // Reads return at once with what is queued; writes have no device time limit.
    const TCommTimeouts timeouts{MAXDWORD, 0, 0, 0, 0};
    if (const int error = platform_.SetCommTimeouts(handle_, timeouts))
        throw ECommError("Error updating CommTimeouts", error);
}

void TCustomComm::UpdateDataControlBlock()
{
    if (!IsOpen()) return;
    TDeviceControlBlock block = dcb_;
    (void)platform_.GetCommState(handle_, block);

    block.BaudRate = BaudRateValue(baudRate_);
    block.Parity = parity_;
    block.StopBits = stopbits_;
    block.ByteSize = static_cast<std::uint8_t>(databits_ + 4);

    block.XonChar = eventChars_.XonChar();
    block.XoffChar = eventChars_.XoffChar();
    block.ErrorChar = eventChars_.ErrorChar();
    block.EofChar = eventChars_.EofChar();
    block.EvtChar = eventChars_.EvtChar();

    const auto limit = static_cast<std::uint16_t>(std::clamp(readBufSize_ / 4, 0, 0xFFFF));
    block.XonLim = limit;
    block.XoffLim = limit;

    using namespace DcbFlag;
    switch (flowControl_) {
    case fcNone:
        block.Flags = fBinary;
        break;
    case fcCTS:
        block.Flags |= fOutxCtsFlow | RtsControlHandshake;
        break;
    case fcDTR:
        block.Flags |= fOutxDsrFlow | DtrControlHandshake;
        break;
    case fcSoftware:
        block.Flags |= fOutX | fInX;
        break;
    case fcDefault:
        break;
    }

    // In the order of TCommOption.
    static constexpr std::array<std::uint32_t, 5> optionFlags{fParity, fDsrSensitivity,
                                                              fTXContinueOnXoff, fErrorChar, fNull};
    for (std::size_t option = 0; option < optionFlags.size(); ++option) {
        if (options_.Contains(static_cast<TCommOption>(option)))
            block.Flags |= optionFlags[option];
        else
            block.Flags &= ~optionFlags[option];
    }

    dcb_ = block;
    if (const int error = platform_.SetCommState(handle_, block))
        throw ECommError("Error updating DataControlBlock", error);
}

std::int32_t TCustomComm::Write(const void* buffer, std::int32_t count)
{
    std::lock_guard guard(lock_);
    if (count < 0 || (count > 0 && buffer == nullptr)) throw ECommError("Write error", EINVAL);
    int transferred = 0;
    const std::span bytes(static_cast<const std::uint8_t*>(buffer),
                          static_cast<std::size_t>(count));
    if (const int error = platform_.WriteFile(handle_.load(), bytes, writeTimeout_, transferred))
        throw ECommError("Write error", error);
    return transferred;
}

std::int32_t TCustomComm::Read(void* buffer, std::int32_t count)
{
    std::lock_guard guard(lock_);
    if (count < 0 || (count > 0 && buffer == nullptr)) throw ECommError("Read error", EINVAL);
    int transferred = 0;
    const std::span bytes(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(count));
    if (const int error = platform_.ReadFile(handle_.load(), bytes, readTimeout_, transferred))
        throw ECommError("Read error", error);
    return transferred;
}

void TCustomComm::HandleCommEvent(TCommEventThread& sender, std::uint32_t mask)
{
    // Only the current opening's events count; a handler that closed the port (or opened it
    // anew, or destroyed the component) ends the delivery of this one.
    const std::weak_ptr<const bool> alive = alive_;
    const auto current = [&] {
        return !alive.expired() && IsOpen() && eventThread_.get() == &sender;
    };
    if (!current()) return;

    TCommStatus status;
    (void)platform_.ClearCommError(handle_, status);

    // Each handler is called through a copy, so that it may reassign itself.
    const auto notify = [&](std::uint32_t bit, const TNotifyEvent& handler) {
        if ((mask & bit) && current() && handler) {
            const TNotifyEvent call = handler;
            call(*this);
        }
    };
    notify(EV_BREAK, OnBreak);
    notify(EV_CTS, OnCts);
    notify(EV_DSR, OnDsr);
    if ((mask & EV_ERR) && current() && OnError) {
        const TCommErrorEvent call = OnError;
        call(*this, static_cast<std::int32_t>(status.Errors));
    }
    notify(EV_RING, OnRing);
    notify(EV_RLSD, OnRlsd);
    if ((mask & EV_RXCHAR) && status.InQueue > 0 && current() && OnRxChar) {
        const TCommRxCharEvent call = OnRxChar;
        call(*this, static_cast<std::int32_t>(std::min<std::uint32_t>(status.InQueue, INT32_MAX)));
    }
    notify(EV_RXFLAG, OnRxFlag);
    notify(EV_TXEMPTY, OnTxEmpty);
}

} // namespace movarth
