#pragma once

// A thread and a gate. Event sources run on the thread with the gate closed; other threads close
// the gate to run with them one at a time. The gate is recursive for the thread that holds it.

#include <IOKit/IOEventSource.h>

inline namespace kernel {

struct IOWorkLoopState;

class IOWorkLoop : public OSObject
{
    OSDeclareDefaultStructors(IOWorkLoop)

        public : typedef IOReturn (*Action)(OSObject* target, void* arg0, void* arg1, void* arg2, void* arg3);

    // A new loop with its thread running; null when it cannot be made.
    static IOWorkLoop* workLoop();

    bool init() override;
    // Stops the thread and waits for it to end.
    void free() override;

    // The loop holds the source while it is added.
    IOReturn addEventSource(IOEventSource* source);
    IOReturn removeEventSource(IOEventSource* source);

    // Runs the action on the calling thread with the gate closed.
    IOReturn runAction(Action action, OSObject* target, void* arg0 = nullptr, void* arg1 = nullptr,
                       void* arg2 = nullptr, void* arg3 = nullptr);

    void closeGate();
    bool tryCloseGate();
    void openGate();
    // Whether the calling thread holds the gate.
    bool inGate() const;
    bool onThread() const;

    void signalWorkAvailable();

private:
    IOWorkLoopState* fState = nullptr;
};

} // namespace kernel
