#include "comm/UdevEvents.h"

#include <libudev.h>
#include <unistd.h>

namespace movarth {

namespace {

class TUdevEventSource final : public TDeviceEventSource
{
public:
    TUdevEventSource(udev* context, udev_monitor* monitor) : udev_(context), monitor_(monitor) {}
    ~TUdevEventSource() override
    {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    TUdevEventSource(const TUdevEventSource&) = delete;
    TUdevEventSource& operator=(const TUdevEventSource&) = delete;

    int Descriptor() const override { return udev_monitor_get_fd(monitor_); }

    std::vector<TDeviceEvent> Receive() override
    {
        const auto text = [](const char* value) { return std::string(value ? value : ""); };
        std::vector<TDeviceEvent> events;
        // The monitor's socket does not block: it answers null once nothing waits.
        while (udev_device* device = udev_monitor_receive_device(monitor_)) {
            events.push_back({text(udev_device_get_action(device)),
                              text(udev_device_get_subsystem(device)),
                              text(udev_device_get_devnode(device))});
            udev_device_unref(device);
        }
        return events;
    }

private:
    udev* udev_;
    udev_monitor* monitor_;
};

} // namespace

std::unique_ptr<TDeviceEventSource> OpenDeviceEvents()
{
    udev* context = udev_new();
    if (context == nullptr) return nullptr;
    // udev's control socket tells that it runs. Without udev (a container, a minimal system)
    // the kernel's events are all there is, and the kernel makes the node itself.
    const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, source);
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<TUdevEventSource>(context, monitor);
}

} // namespace movarth
