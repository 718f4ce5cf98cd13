#pragma once

// Runs actions on the caller's thread with its work loop's gate closed.

#include <IOKit/IOWorkLoop.h>

inline namespace kernel {

class IOCommandGate : public IOEventSource
{
    OSDeclareDefaultStructors(IOCommandGate)

        public : typedef IOReturn (*Action)(OSObject* owner, void* arg0, void* arg1, void* arg2, void* arg3);

    static IOCommandGate* commandGate(OSObject* owner, Action action = nullptr);

    // kIOReturnBadArgument without an action, kIOReturnNotReady before the gate is added to a loop.
    IOReturn runAction(Action action, void* arg0 = nullptr, void* arg1 = nullptr, void* arg2 = nullptr,
                       void* arg3 = nullptr);
    // Runs the gate's own action.
    IOReturn runCommand(void* arg0 = nullptr, void* arg1 = nullptr, void* arg2 = nullptr,
                        void* arg3 = nullptr);

protected:
    bool checkForWork() override { return false; }

private:
    Action fGateAction = nullptr;
};

} // namespace kernel
