#pragma once

// Work a work loop does on its thread with its gate closed. A source signals the loop when it has
// work; the loop then calls checkForWork() until no source reports more.

#include <IOKit/IOKernelTypes.h>
#include <libkern/c++/OSObject.h>

#include <atomic>

inline namespace kernel {

class IOWorkLoop;
class IOEventSource;

// How the work loop reaches a source's work.
struct IOWorkLoopSourceAccess
{
    static bool checkForWork(IOEventSource* source);
};

class IOEventSource : public OSObject
{
    OSDeclareAbstractStructors(IOEventSource)

        public : typedef void (*Action)(OSObject* owner, ...);

    virtual bool init(OSObject* owner, Action action = nullptr);

    virtual void enable();
    virtual void disable();
    bool isEnabled() const { return fEnabled.load(std::memory_order_acquire); }

    OSObject* getOwner() const { return fOwner; }
    Action getAction() const { return fAction; }
    IOWorkLoop* getWorkLoop() const { return fWorkLoop; }
    // Called by the work loop when the source is added (with the loop) and removed (with null).
    virtual void setWorkLoop(IOWorkLoop* workLoop);

    // Wakes the work loop's thread, which then calls checkForWork().
    void signalWorkAvailable();

protected:
    friend struct IOWorkLoopSourceAccess;
    // True when there is more work; the loop calls again before it waits.
    virtual bool checkForWork() = 0;

    OSObject* fOwner = nullptr;
    Action fAction = nullptr;

private:
    using OSObject::init;

    IOWorkLoop* fWorkLoop = nullptr;
    std::atomic<bool> fEnabled{false};
};

inline bool IOWorkLoopSourceAccess::checkForWork(IOEventSource* source)
{
    return source->checkForWork();
}

} // namespace kernel
