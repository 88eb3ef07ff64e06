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

TCommEventThread::TCommEventThread(TCommPlatform& platform, TCommHandle handle,
                                   TCommEventTypes events, TUiThread& ui, TSignal onSignal)
    : platform_(platform), handle_(handle), ui_(ui), onSignal_(std::move(onSignal)),
      handOver_([this] {
          delivering_ = true;
          struct TReset
          {
              bool& flag;
              ~TReset() { flag = false; }
          } reset{delivering_};
          if (!terminated_ && onSignal_) onSignal_(*this, mask_);
      })
{
    (void)platform_.SetCommMask(handle_, EventMask(events));
    thread_ = std::thread([this] { Execute(); });
}

TCommEventThread::~TCommEventThread()
{
    if (thread_.joinable()) {
        Stop();
        WaitForEnd();
    }
}

void TCommEventThread::Stop()
{
    // Termination first: whatever wakes the thread then finds it set, so the wake-up is
    // never taken for a line event.
    terminated_ = true;
    wakeUp_.SetEvent();
}

void TCommEventThread::WaitForEnd()
{
    // The thread may have passed its check of the termination request just before Stop and
    // be about to queue a hand-over, which the UI thread (here) will not serve: retiring the
    // hand-over makes that and every later one return at once, so the join cannot hang.
    ui_.Retire(handOver_);
    thread_.join();
}

void TCommEventThread::Execute()
{
    // One step above normal priority where the system allows it; nothing else depends on it.
    errno = 0;
    const int priority = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    if (errno == 0) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), priority - 1);

    try {
        while (!terminated_) {
            std::uint32_t mask = 0;
            // A failed wait means the device is gone or hung up. Retrying would spin, so the
            // thread ends; the next Read or Write reports the failure.
            if (platform_.WaitCommEvent(handle_, wakeUp_, mask) != 0) break;
            // The device is not touched again once termination is requested: Close may
            // already be purging and closing it.
            if (terminated_ || mask == 0) continue;
            mask_ = mask;
            ui_.Synchronize(handOver_);
        }
    } catch (...) {
        // A handler raised: this opening delivers no further events.
    }
    ended_ = true;
}

// ---------------------------------------------------------------------------------------------

TCustomComm::TCustomComm(TUiThread& ui, TCommPlatform& platform) : ui_(ui), platform_(platform) {}

TCustomComm::~TCustomComm()
{
    Close();
    JoinEndedThreads(true);
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
    JoinEndedThreads(false);
    CreateHandle();
    eventThread_ = std::make_unique<TCommEventThread>(
        platform_, handle_, monitorEvents_, ui_,
        [this](TCommEventThread& sender, std::uint32_t mask) { HandleCommEvent(sender, mask); });
    UpdateCommTimeouts();
    UpdateDataControlBlock();
    if (const int error = platform_.SetupComm(handle_, readBufSize_, writeBufSize_))
        throw ECommError("Error initializing Read/Write Buffers", error);
}

void TCustomComm::Close()
{
    JoinEndedThreads(false);
    if (!IsOpen()) return;
    StopEventThread();
    // The event thread no longer touches the device; a transfer on another thread finishes
    // before the device goes. The purge comes before the close, never after.
    std::lock_guard guard(lock_);
    (void)platform_.PurgeComm(handle_, PURGE_ALL);
    platform_.CloseDevice(handle_);
    handle_ = InvalidCommHandle;
}

void TCustomComm::StopEventThread()
{
    if (!eventThread_) return;
    eventThread_->Stop();
    if (eventThread_->Delivering()) {
        // Close from inside this thread's own hand-over: the thread is blocked in it on this
        // very stack, so waiting here would never end. It checks the termination request as
        // soon as the hand-over returns and ends without touching the device again; it is
        // joined later.
        stoppedThreads_.push_back(std::move(eventThread_));
        return;
    }
    eventThread_->WaitForEnd();
    eventThread_.reset();
}

void TCustomComm::JoinEndedThreads(bool all)
{
    std::erase_if(stoppedThreads_, [all](const std::unique_ptr<TCommEventThread>& thread) {
        if (!all && (thread->Delivering() || !thread->Ended())) return false;
        thread->WaitForEnd();
        return true;
    });
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
    if (const int error = platform_.WriteFile(handle_, bytes, writeTimeout_, transferred))
        throw ECommError("Write error", error);
    return transferred;
}

std::int32_t TCustomComm::Read(void* buffer, std::int32_t count)
{
    std::lock_guard guard(lock_);
    if (count < 0 || (count > 0 && buffer == nullptr)) throw ECommError("Read error", EINVAL);
    int transferred = 0;
    const std::span bytes(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(count));
    if (const int error = platform_.ReadFile(handle_, bytes, readTimeout_, transferred))
        throw ECommError("Read error", error);
    return transferred;
}

void TCustomComm::HandleCommEvent(TCommEventThread& sender, std::uint32_t mask)
{
    // Only the current opening's events count; a handler that closed the port (or opened it
    // anew) ends the delivery of this one.
    const auto current = [&] { return IsOpen() && eventThread_.get() == &sender; };
    if (!current()) return;

    TCommStatus status;
    (void)platform_.ClearCommError(handle_, status);

    // Each handler is called through a copy, so that it may reassign itself.
    const auto notify = [&](std::uint32_t bit, const TNotifyEvent& handler) {
        if ((mask & bit) && handler && current()) {
            const TNotifyEvent call = handler;
            call(*this);
        }
    };
    notify(EV_BREAK, OnBreak);
    notify(EV_CTS, OnCts);
    notify(EV_DSR, OnDsr);
    if ((mask & EV_ERR) && OnError && current()) {
        const TCommErrorEvent call = OnError;
        call(*this, static_cast<std::int32_t>(status.Errors));
    }
    notify(EV_RING, OnRing);
    notify(EV_RLSD, OnRlsd);
    if ((mask & EV_RXCHAR) && status.InQueue > 0 && OnRxChar && current()) {
        const TCommRxCharEvent call = OnRxChar;
        call(*this, static_cast<std::int32_t>(std::min<std::uint32_t>(status.InQueue, INT32_MAX)));
    }
    notify(EV_RXFLAG, OnRxFlag);
    notify(EV_TXEMPTY, OnTxEmpty);
}

} // namespace movarth
