#pragma once

// The system's sleep and wake, and a user-space client of their power messages: it records "user
// space will sleep" and acknowledges, and "user space powered on", as toy events.

#include <memory>

namespace KernelIOKitTestSupport {

void sleepSystem();
void wakeSystem();

class UserSpacePower
{
public:
    UserSpacePower();
    ~UserSpacePower();
    UserSpacePower(const UserSpacePower&) = delete;
    UserSpacePower& operator=(const UserSpacePower&) = delete;

private:
    struct State;
    std::unique_ptr<State> fState;
};

} // namespace KernelIOKitTestSupport
