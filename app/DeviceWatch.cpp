#include "app/DeviceWatch.h"

namespace movarth {

void TDeviceWatch::SetSource(std::unique_ptr<TDeviceEventSource> source)
{
    notifier_.reset();
    source_ = std::move(source);
    if (source_ == nullptr) return;
    notifier_ = std::make_unique<QSocketNotifier>(source_->Descriptor(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TDeviceWatch::Receive);
}

void TDeviceWatch::Receive()
{
    for (const TDeviceEvent& event : source_->Receive())
        if (OnEvent) OnEvent(event);
}

} // namespace movarth
