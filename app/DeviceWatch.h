#pragma once

#include "comm/DeviceEvents.h"

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace movarth {

// Device events on the UI thread's event loop: the source's descriptor behind a socket
// notifier, each event that arrives handed to OnEvent. Nothing polls; without a source
// nothing is watched.
class TDeviceWatch final : public QObject
{
public:
    explicit TDeviceWatch(QObject* parent = nullptr) : QObject(parent) {}

    // Watches `source` from now on instead of the one before; null watches nothing.
    void SetSource(std::unique_ptr<TDeviceEventSource> source);
    bool Watching() const { return source_ != nullptr; }

    std::function<void(const TDeviceEvent& event)> OnEvent;

private:
    void Receive();

    std::unique_ptr<TDeviceEventSource> source_;
    // Declared after the source, so it goes first: never a notifier on a closed descriptor.
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace movarth
