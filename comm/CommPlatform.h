#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace movarth {

class TEvent;

using TCommHandle = int;
inline constexpr TCommHandle InvalidCommHandle = -1;

// Line-event bits of an event mask.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

// Error flags reported by ClearCommError.
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;

// What PurgeComm discards: both queues and any transfer under way.
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;
inline constexpr std::uint32_t PURGE_ALL = 0x000F;

// Bits of the device control block's flags word.
namespace DcbFlag {
inline constexpr std::uint32_t fBinary = 0x0001;
inline constexpr std::uint32_t fParity = 0x0002;
inline constexpr std::uint32_t fOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t fOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t DtrControlMask = 0x0030; // two bits: 0 off, 1 on, 2 handshake
inline constexpr std::uint32_t DtrControlEnable = 0x0010;
inline constexpr std::uint32_t DtrControlHandshake = 0x0020;
inline constexpr std::uint32_t fDsrSensitivity = 0x0040;
inline constexpr std::uint32_t fTXContinueOnXoff = 0x0080;
inline constexpr std::uint32_t fOutX = 0x0100;
inline constexpr std::uint32_t fInX = 0x0200;
inline constexpr std::uint32_t fErrorChar = 0x0400;
inline constexpr std::uint32_t fNull = 0x0800;
inline constexpr std::uint32_t RtsControlMask =
    0x3000; // two bits: 0 off, 1 on, 2 handshake, 3 toggle
inline constexpr std::uint32_t RtsControlEnable = 0x1000;
inline constexpr std::uint32_t RtsControlHandshake = 0x2000;
inline constexpr std::uint32_t fAbortOnError = 0x4000;
} // namespace DcbFlag

// The line settings of a device.
struct TDeviceControlBlock
{
    std::uint32_t BaudRate = 0; // bits per second
    std::uint32_t Flags = 0;    // DcbFlag bits
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const TDeviceControlBlock&) const = default;
};

inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFF;

struct TCommTimeouts
{
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const TCommTimeouts&) const = default;
};

struct TCommStatus
{
    std::uint32_t Errors = 0;   // CE_ flags since the last call
    std::uint32_t InQueue = 0;  // bytes waiting to be read
    std::uint32_t OutQueue = 0; // bytes not yet sent
};

// The operations a serial component needs of its platform. Every operation that can fail
// answers 0 on success or the platform's error code (errno on POSIX).
class TCommPlatform
{
public:
    virtual ~TCommPlatform() = default;

    // Opens the named device for reading and writing, exclusively, without blocking.
    virtual int OpenDevice(const std::string& deviceName, TCommHandle& handle) = 0;
    virtual bool IsCharacterDevice(TCommHandle handle) = 0;
    virtual void CloseDevice(TCommHandle handle) = 0;

    virtual int GetCommState(TCommHandle handle, TDeviceControlBlock& block) = 0;
    // Fails, leaving the device as it was, when the device cannot take the settings.
    virtual int SetCommState(TCommHandle handle, const TDeviceControlBlock& block) = 0;
    virtual int SetupComm(TCommHandle handle, int inQueue, int outQueue) = 0;
    virtual int SetCommTimeouts(TCommHandle handle, const TCommTimeouts& timeouts) = 0;
    // Chooses the line events (EV_ bits) that WaitCommEvent reports.
    virtual int SetCommMask(TCommHandle handle, std::uint32_t mask) = 0;
    // Blocks until one of the chosen line events occurs (mask: its bits) or wakeUp is signalled
    // (mask: 0). An event that occurs while nobody waits is reported by the next wait. A device
    // that failed or hung up answers an error code.
    virtual int WaitCommEvent(TCommHandle handle, TEvent& wakeUp, std::uint32_t& mask) = 0;
    virtual int ClearCommError(TCommHandle handle, TCommStatus& status) = 0;
    virtual int PurgeComm(TCommHandle handle, std::uint32_t flags) = 0;

    // A read takes what is queued and never waits; a write waits up to timeoutMs (-1: no limit)
    // until the device has taken every byte. transferred: the byte count, or -1 when the
    // transfer did not complete in time. Either has finished with the buffer when it returns.
    virtual int ReadFile(TCommHandle handle, std::span<std::uint8_t> buffer, int timeoutMs,
                         int& transferred) = 0;
    virtual int WriteFile(TCommHandle handle, std::span<const std::uint8_t> buffer, int timeoutMs,
                          int& transferred) = 0;
};

// The platform of this system: the POSIX serial devices.
TCommPlatform& DefaultCommPlatform();

} // namespace movarth
