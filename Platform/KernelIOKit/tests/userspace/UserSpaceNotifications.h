#pragma once

// Matching notifications as user space receives them, for tests built with KERNEL: the registry
// names of the services each notification handed out, on a run-loop thread of their own.

#include <memory>
#include <string>
#include <vector>

namespace KernelIOKitTestSupport {

class UserSpaceNotifications
{
public:
    // `type` is a notification type such as "IOServiceTerminate".
    UserSpaceNotifications(const char* type, const char* className);
    ~UserSpaceNotifications();
    UserSpaceNotifications(const UserSpaceNotifications&) = delete;
    UserSpaceNotifications& operator=(const UserSpaceNotifications&) = delete;

    // Waits up to the poll limit for `count` names; the names received.
    std::vector<std::string> waitForNames(size_t count);

private:
    struct State;
    std::unique_ptr<State> fState;
};

} // namespace KernelIOKitTestSupport
