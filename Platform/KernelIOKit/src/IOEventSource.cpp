#include <IOKit/IOWorkLoop.h>

OSDefineMetaClassAndAbstractStructors(IOEventSource, OSObject)
#define super OSObject

    bool IOEventSource::init(OSObject* owner, Action action)
{
    if (!owner || !super::init()) {
        return false;
    }
    fOwner = owner;
    fAction = action;
    fEnabled.store(true, std::memory_order_release);
    return true;
}

void IOEventSource::enable()
{
    fEnabled.store(true, std::memory_order_release);
    signalWorkAvailable();
}

void IOEventSource::disable()
{
    fEnabled.store(false, std::memory_order_release);
}

void IOEventSource::setWorkLoop(IOWorkLoop* workLoop)
{
    fWorkLoop = workLoop;
}

void IOEventSource::signalWorkAvailable()
{
    if (IOWorkLoop* workLoop = fWorkLoop) {
        workLoop->signalWorkAvailable();
    }
}
