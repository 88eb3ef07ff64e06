#pragma once

#include "link/Download.h"
#include "link/LinkInterfaces.h"

namespace movarth {

class TCustomComm;
class TZelTimedThread;

// The serial port component as the download's port. Write and Read throw ECommError.
class TCommLinkPort final : public TLinkPort
{
public:
    explicit TCommLinkPort(TCustomComm& comm) : comm_(comm) {}
    bool IsOpen() const override;
    int Write(const std::uint8_t* buffer, int count) override;
    int Read(std::uint8_t* buffer, int count) override;

private:
    TCustomComm& comm_;
};

// A timed item as the download's switch.
class TTimedItemSwitch final : public TLinkSwitch
{
public:
    explicit TTimedItemSwitch(TZelTimedThread& item) : item_(item) {}
    bool Enabled() const override;
    void SetEnabled(bool value) override;

private:
    TZelTimedThread& item_;
};

// The controller line as the download needs it: 2400 bit/s, 8 data bits, no parity, one stop
// bit, 100 ms transfer limits and 128-byte queues. Set while the port is closed; the device
// name is left as it is.
void SetUpControllerPort(TCustomComm& comm);

// Timed items 1 (handshake) and 2 (reply wait): disabled, ticking every 50 ms once enabled.
void SetUpDownloadItems(TZelTimedThread& handshakeItem, TZelTimedThread& replyWaitItem);

// Binds the port's OnRxChar and OnDeviceLost and the two items' OnTimer to the download's
// handlers. The items are left as they are (the download enables them).
void BindDownload(TDownload& download, TCustomComm& comm, TZelTimedThread& handshakeItem,
                  TZelTimedThread& replyWaitItem);

// The download on a serial port component and two timed items, as the window, the command-line
// sender and the end-to-end tests run it: the items set up for it (SetUpDownloadItems) and the
// handlers bound (BindDownload). Setting up and opening the port is the caller's.
class TControllerLink
{
public:
    TControllerLink(TCustomComm& comm, TZelTimedThread& handshakeItem,
                    TZelTimedThread& replyWaitItem, TLinkStatus& status, TLinkGauge& gauge,
                    const TStringTable& table, TDownload::TEntryCount entryCount, TOperator& op);

    TDownload& Download() { return download_; }
    const TDownload& Download() const { return download_; }

private:
    TCommLinkPort port_;
    TTimedItemSwitch handshake_;
    TTimedItemSwitch replyWait_;
    TDownload download_;
};

} // namespace movarth
