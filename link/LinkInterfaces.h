#pragma once

#include <cstdint>
#include <string>

namespace movarth {

// What the download needs of the serial port. Both transfers throw on a failure of the port.
class TLinkPort
{
public:
    virtual ~TLinkPort() = default;
    virtual bool IsOpen() const = 0;
    // Bytes written, or -1 when the write did not complete in time.
    virtual int Write(const std::uint8_t* buffer, int count) = 0;
    // Bytes read (at most count), or -1 when the read did not complete in time.
    virtual int Read(std::uint8_t* buffer, int count) = 0;
};

// The on/off switch of one timed item.
class TLinkSwitch
{
public:
    virtual ~TLinkSwitch() = default;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool value) = 0;
};

// The status line that shows the phase and the outcome of a download.
class TLinkStatus
{
public:
    virtual ~TLinkStatus() = default;
    virtual void SetCaption(const std::string& text) = 0;
};

// The progress gauge of a download.
class TLinkGauge
{
public:
    virtual ~TLinkGauge() = default;
    virtual void SetMaxValue(int value) = 0;
    virtual void SetProgress(int value) = 0;
};

} // namespace movarth
