#pragma once

#include "comm/CommPlatform.h"
#include "comm/SerialSync.h"
#include "timing/UiThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace movarth {

enum TBaudrate : std::uint8_t
{
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TParity : std::uint8_t
{
    paNone,
    paOdd,
    paEven,
    paMark,
    paSpace
};
enum TStopbits : std::uint8_t
{
    sb10,
    sb15,
    sb20
};
enum TDatabits : std::uint8_t
{
    da4,
    da5,
    da6,
    da7,
    da8
};
enum TFlowControl : std::uint8_t
{
    fcNone,
    fcCTS,
    fcDTR,
    fcSoftware,
    fcDefault
};
enum TCommOption : std::uint8_t
{
    coParityCheck,
    coDsrSensitivity,
    coIgnoreXOff,
    coErrorChar,
    coNullStrip
};
enum TCommEventType : std::uint8_t
{
    evBreak,
    evCts,
    evDsr,
    evError,
    evRing,
    evRlsd,
    evRxChar,
    evRxFlag,
    evTxEmpty
};

// The bit rate that a TBaudrate stands for.
std::uint32_t BaudRateValue(TBaudrate rate);

// A set of enumeration values, bit n for ordinal n.
template <typename E, typename Bits> class TEnumSet
{
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> values)
    {
        for (E value : values)
            bits_ |= Bit(value);
    }
    static constexpr TEnumSet FromBits(Bits bits)
    {
        TEnumSet set;
        set.bits_ = bits;
        return set;
    }
    constexpr bool Contains(E value) const { return (bits_ & Bit(value)) != 0; }
    constexpr Bits ToBits() const { return bits_; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    static constexpr Bits Bit(E value) { return static_cast<Bits>(Bits{1} << value); }
    Bits bits_ = 0;
};

using TCommEventTypes = TEnumSet<TCommEventType, std::uint16_t>;
using TCommOptions = TEnumSet<TCommOption, std::uint8_t>;

inline constexpr TCommEventTypes AllCommEvents{evBreak, evCts,    evDsr,    evError,  evRing,
                                               evRlsd,  evRxChar, evRxFlag, evTxEmpty};

// The EV_ bits of a set of events.
std::uint32_t EventMask(TCommEventTypes events);

// A failure of the serial component; what() is the text followed by " (Error: <code>) ".
class ECommError : public std::runtime_error
{
public:
    ECommError(const std::string& text, std::int32_t code);
    std::int32_t ErrorCode() const { return code_; }

private:
    std::int32_t code_;
};

class TCustomComm;

// The five special characters of the line. Setting one updates the owner's device at once.
class TCommEventChars
{
public:
    explicit TCommEventChars(TCustomComm* owner) : owner_(owner) {}
    TCommEventChars(const TCommEventChars&) = delete;
    TCommEventChars& operator=(const TCommEventChars&) = delete;

    // Copies the five characters, without updating the device.
    void Assign(const TCommEventChars& source);

    char XonChar() const { return xonChar_; }
    char XoffChar() const { return xoffChar_; }
    char ErrorChar() const { return errorChar_; }
    char EofChar() const { return eofChar_; }
    char EvtChar() const { return evtChar_; }
    void SetXonChar(char value) { Set(xonChar_, value); }
    void SetXoffChar(char value) { Set(xoffChar_, value); }
    void SetErrorChar(char value) { Set(errorChar_, value); }
    void SetEofChar(char value) { Set(eofChar_, value); }
    void SetEvtChar(char value) { Set(evtChar_, value); }

private:
    void Set(char& field, char value);

    TCustomComm* owner_;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    char errorChar_ = 0;
    char eofChar_ = 0;
    char evtChar_ = 0;
};

// Waits for line events of one opening and hands each over to the UI thread.
class TCommEventThread
{
public:
    using TSignal = std::function<void(TCommEventThread& sender, std::uint32_t mask)>;
    // The wait for line events failed (error: the platform's code): the device was unplugged
    // or the line hung up. Handed over once; the thread ends after it.
    using TLost = std::function<void(TCommEventThread& sender, int error)>;

    // Sets the device's event mask and starts at once.
    TCommEventThread(TCommPlatform& platform, TCommHandle handle, TCommEventTypes events,
                     TUiThread& ui, TSignal onSignal, TLost onLost);
    // Stops the thread and ends it (see End).
    ~TCommEventThread();
    TCommEventThread(const TCommEventThread&) = delete;
    TCommEventThread& operator=(const TCommEventThread&) = delete;

    // Asks the thread to end and wakes its wait; the wake-up is no line event. Nothing is
    // handed over from now on.
    void Stop();
    // UI side, after Stop: joins the thread, which ends at once since its wait wakes on Stop.
    // From inside this thread's own hand-over (a handler closed or destroyed the port) the
    // thread cannot end before that step returns: it is left to the UI thread object to join
    // then, and touches nothing but its own state meanwhile. Either way the device is no longer
    // used by the thread when End returns.
    void End();

private:
    struct TState;
    static void Execute(const std::shared_ptr<TState>& state);

    // Shared with the thread, which may outlive this object by the rest of a running step.
    std::shared_ptr<TState> state_;
    std::thread thread_;
};

// A serial port: opens a device by name, configures it from its properties, reads and
// writes bytes, and reports line events on the UI thread through its handlers.
class TCustomComm
{
public:
    using TNotifyEvent = std::function<void(TCustomComm& sender)>;
    using TCommRxCharEvent = std::function<void(TCustomComm& sender, std::int32_t count)>;
    using TCommErrorEvent = std::function<void(TCustomComm& sender, std::int32_t errors)>;
    using TCommLostEvent = std::function<void(TCustomComm& sender, const ECommError& error)>;

    // ui: where line events are handed over; it is the thread that owns the component.
    explicit TCustomComm(TUiThread& ui, TCommPlatform& platform = DefaultCommPlatform());
    virtual ~TCustomComm();
    TCustomComm(const TCustomComm&) = delete;
    TCustomComm& operator=(const TCustomComm&) = delete;

    // May be asked from any thread, as Read and Write may be called from any.
    bool IsOpen() const { return handle_ != InvalidCommHandle; }
    TCommHandle Handle() const { return handle_; }
    // A failure after the device was opened closes it again: a port that did not open holds
    // nothing.
    void Open();
    void Close();
    // Bytes written, or -1 when the device did not take them all within WriteTimeout.
    std::int32_t Write(const void* buffer, std::int32_t count);
    // Bytes read (those already received, at most count), or -1 when the read timed out.
    std::int32_t Read(void* buffer, std::int32_t count);
    void CheckClosed() const;
    void UpdateCommTimeouts();
    void UpdateDataControlBlock();
    void HandleCommEvent(TCommEventThread& sender, std::uint32_t mask);

    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& value);
    std::int32_t ReadTimeout() const { return readTimeout_; }
    void SetReadTimeout(std::int32_t value) { readTimeout_ = value; }
    std::int32_t WriteTimeout() const { return writeTimeout_; }
    void SetWriteTimeout(std::int32_t value) { writeTimeout_ = value; }
    std::int32_t ReadBufSize() const { return readBufSize_; }
    void SetReadBufSize(std::int32_t value);
    std::int32_t WriteBufSize() const { return writeBufSize_; }
    void SetWriteBufSize(std::int32_t value);
    TCommEventTypes MonitorEvents() const { return monitorEvents_; }
    void SetMonitorEvents(TCommEventTypes value);
    TBaudrate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudrate value) { SetLineSetting(baudRate_, value); }
    TParity Parity() const { return parity_; }
    void SetParity(TParity value) { SetLineSetting(parity_, value); }
    TStopbits Stopbits() const { return stopbits_; }
    void SetStopbits(TStopbits value) { SetLineSetting(stopbits_, value); }
    TDatabits Databits() const { return databits_; }
    void SetDatabits(TDatabits value) { SetLineSetting(databits_, value); }
    TCommOptions Options() const { return options_; }
    void SetOptions(TCommOptions value) { SetLineSetting(options_, value); }
    TFlowControl FlowControl() const { return flowControl_; }
    void SetFlowControl(TFlowControl value) { SetLineSetting(flowControl_, value); }
    TCommEventChars& EventChars() { return eventChars_; }
    // The control block as last read from and written to the device.
    const TDeviceControlBlock& DataControlBlock() const { return dcb_; }

    TNotifyEvent OnBreak;
    TNotifyEvent OnCts;
    TNotifyEvent OnDsr;
    TCommErrorEvent OnError;
    TNotifyEvent OnRing;
    TNotifyEvent OnRlsd;
    TCommRxCharEvent OnRxChar;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnTxEmpty;
    // The device went away under the open port (unplugged, or the other end hung up): the port
    // has been closed, and may be opened again once the device is back.
    TCommLostEvent OnDeviceLost;

protected:
    // Opens the device file named DeviceName and checks that it is a character device.
    virtual void CreateHandle();

private:
    template <typename T> void SetLineSetting(T& field, T value)
    {
        if (field == value) return;
        field = value;
        UpdateDataControlBlock();
    }
    void HandleDeviceLost(TCommEventThread& sender, int error);

    TUiThread& ui_;
    TCommPlatform& platform_;
    // Written by Open and Close (the close under lock_), read by any thread.
    std::atomic<TCommHandle> handle_{InvalidCommHandle};
    TDeviceControlBlock dcb_;
    std::string deviceName_ = "Com2";
    TCriticalSection lock_;
    std::int32_t readTimeout_ = 1000;
    std::int32_t writeTimeout_ = 1000;
    std::int32_t readBufSize_ = 4096;
    std::int32_t writeBufSize_ = 2048;
    TCommEventTypes monitorEvents_ = AllCommEvents;
    TBaudrate baudRate_ = br9600;
    TParity parity_ = paNone;
    TStopbits stopbits_ = sb10;
    TDatabits databits_ = da8;
    std::unique_ptr<TCommEventThread> eventThread_;
    TCommEventChars eventChars_{this};
    TCommOptions options_;
    TFlowControl flowControl_ = fcDefault;
    // Expires with the component: a handler may destroy it, and the event delivery that called
    // the handler must not touch it afterwards.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

// The serial port component as a window carries it.
class TComm final : public TCustomComm
{
public:
    using TCustomComm::TCustomComm;
};

} // namespace movarth
