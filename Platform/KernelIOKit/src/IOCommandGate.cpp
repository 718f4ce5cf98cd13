#include <IOKit/IOCommandGate.h>

OSDefineMetaClassAndStructors(IOCommandGate, IOEventSource)

    IOCommandGate* IOCommandGate::commandGate(OSObject* owner, Action action)
{
    auto* gate = new IOCommandGate;
    if (!gate->init(owner)) {
        gate->release();
        return nullptr;
    }
    gate->fGateAction = action;
    return gate;
}

IOReturn IOCommandGate::runAction(Action action, void* arg0, void* arg1, void* arg2, void* arg3)
{
    if (!action) {
        return kIOReturnBadArgument;
    }
    IOWorkLoop* workLoop = getWorkLoop();
    if (!workLoop) {
        return kIOReturnNotReady;
    }
    return workLoop->runAction(reinterpret_cast<IOWorkLoop::Action>(action), fOwner, arg0, arg1, arg2, arg3);
}

IOReturn IOCommandGate::runCommand(void* arg0, void* arg1, void* arg2, void* arg3)
{
    return runAction(fGateAction, arg0, arg1, arg2, arg3);
}
