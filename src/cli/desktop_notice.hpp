#pragma once

// Desktop notifications, for an owner who is not looking at the terminal: sent
// to the notification service (org.freedesktop.Notifications) on the session
// bus that DBUS_SESSION_BUS_ADDRESS names. Without a bus or a service nothing
// is shown, and nothing fails.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::cli {

class DesktopNotifier {
public:
    DesktopNotifier();
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // Shows `summary`, a text of ours, over `lines`, which may hold text an
    // agent wrote: each is made printable and escaped for the body's markup.
    // Waits a second at most for the bus and a second for the service. The
    // first failure turns notifications off, with one line on standard error;
    // no bus named is no failure, and silent.
    void show(std::string_view summary, const std::vector<std::string>& lines);

private:
    struct Bus;
    std::unique_ptr<Bus> bus_;
    bool off_ = false;
};

}  // namespace tarnel::cli
