#pragma once

#include "link/LinkInterfaces.h"

namespace movarth {

class TCustomComm;
class TDownload;
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

// Binds the port's OnRxChar and the two items' OnTimer to the download's handlers. The items
// are left as they are (the download enables them).
void BindDownload(TDownload& download, TCustomComm& comm, TZelTimedThread& handshakeItem,
                  TZelTimedThread& replyWaitItem);

} // namespace movarth
