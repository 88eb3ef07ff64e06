#pragma once

#include "comm/DeviceEvents.h"

#include <memory>

namespace movarth {

// The system's announcements of terminal devices, through libudev: udev's where udev runs
// (they come once the node has its permissions and its /dev/serial links), else the kernel's
// own. Null where neither can be listened to; then nothing tells of devices coming back.
std::unique_ptr<TDeviceEventSource> OpenDeviceEvents();

} // namespace movarth
