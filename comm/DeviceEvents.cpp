#include "comm/DeviceEvents.h"

#include "comm/PosixComm.h"

#include <filesystem>

namespace movarth {

bool IsPortBack(const std::string& portName, const TDeviceEvent& event)
{
    if (event.action != "add" || event.subsystem != "tty" || event.devNode.empty()) return false;
    const std::string path = PosixDevicePath(portName);
    if (path.empty()) return false;
    std::error_code portError, nodeError;
    const auto port = std::filesystem::canonical(path, portError);
    const auto node = std::filesystem::canonical(event.devNode, nodeError);
    return !portError && !nodeError && port == node;
}

} // namespace movarth
