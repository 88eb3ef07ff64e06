#include "link/Adapters.h"

#include "comm/SerialComm.h"
#include "link/Download.h"
#include "timing/ZelTMultiThread.h"

namespace movarth {

bool TCommLinkPort::IsOpen() const
{
    return comm_.IsOpen();
}

int TCommLinkPort::Write(const std::uint8_t* buffer, int count)
{
    return comm_.Write(buffer, count);
}

int TCommLinkPort::Read(std::uint8_t* buffer, int count)
{
    return comm_.Read(buffer, count);
}

bool TTimedItemSwitch::Enabled() const
{
    return item_.Enabled();
}

void TTimedItemSwitch::SetEnabled(bool value)
{
    item_.SetEnabled(value);
}

void SetUpControllerPort(TCustomComm& comm)
{
    comm.SetReadTimeout(100);
    comm.SetWriteTimeout(100);
    comm.SetReadBufSize(128);
    comm.SetWriteBufSize(128);
    comm.SetBaudRate(br2400);
    comm.SetParity(paNone);
    comm.SetStopbits(sb10);
    comm.SetDatabits(da8);
}

void SetUpDownloadItems(TZelTimedThread& handshakeItem, TZelTimedThread& replyWaitItem)
{
    for (TZelTimedThread* item : {&handshakeItem, &replyWaitItem}) {
        item->SetEnabled(false);
        item->SetInterval(50);
    }
}

void BindDownload(TDownload& download, TCustomComm& comm, TZelTimedThread& handshakeItem,
                  TZelTimedThread& replyWaitItem)
{
    comm.OnRxChar = [&download](TCustomComm&, std::int32_t count) { download.Comm1RxChar(count); };
    comm.OnDeviceLost = [&download](TCustomComm&, const ECommError& error) {
        download.PortFailed(std::make_exception_ptr(error));
    };
    handshakeItem.OnTimer = [&download](TZelTimedThread&) {
        download.ZelMultiThreader1Threads1Timer();
    };
    replyWaitItem.OnTimer = [&download](TZelTimedThread&) {
        download.ZelMultiThreader1Threads2Timer();
    };
}

TControllerLink::TControllerLink(TCustomComm& comm, TZelTimedThread& handshakeItem,
                                 TZelTimedThread& replyWaitItem, TLinkStatus& status,
                                 TLinkGauge& gauge, const TStringTable& table,
                                 TDownload::TEntryCount entryCount, TOperator& op)
    : port_(comm), handshake_(handshakeItem), replyWait_(replyWaitItem),
      download_(port_, handshake_, replyWait_, status, gauge, table, std::move(entryCount), op)
{
    SetUpDownloadItems(handshakeItem, replyWaitItem);
    BindDownload(download_, comm, handshakeItem, replyWaitItem);
}

} // namespace movarth
