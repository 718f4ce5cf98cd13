#pragma once

// A callback into a driver object, run on a queue of that object: the queue installed on the target
// service under the action's queue name, else the target's Default queue. It carries a zero-filled
// reference block of the size asked for. What the platform's interface generator writes for each
// CreateAction... function is built on Create.

#include <DriverKit/OSObject.h>

#include <functional>

class IODispatchQueue;
class IOService;

typedef std::function<void()> OSActionCancelHandler;

class OSAction : public OSObject
{
public:
    // The handler kinds: a pipe's asynchronous and isochronous completions, a timer, and a user
    // client's asynchronous completion.
    using AsyncIOHandler = void (*)(OSObject* target, OSAction* action, IOReturn status,
                                    uint32_t actualByteCount, uint64_t completionTimestamp);
    using AsyncIsochIOHandler = void (*)(OSObject* target, OSAction* action, IOReturn status);
    using TimerOccurredHandler = void (*)(OSObject* target, OSAction* action, uint64_t time);
    using AsyncCompletionHandler = void (*)(OSObject* target, OSAction* action, IOReturn status,
                                            const uint64_t* asyncData, uint32_t asyncDataCount);

    static constexpr uint32_t kMaxAsyncArguments = 16;

    static kern_return_t Create(OSObject* target, const char* queueName, size_t referenceSize,
                                AsyncIOHandler handler, OSAction** action);
    static kern_return_t Create(OSObject* target, const char* queueName, size_t referenceSize,
                                AsyncIsochIOHandler handler, OSAction** action);
    static kern_return_t Create(OSObject* target, const char* queueName, size_t referenceSize,
                                TimerOccurredHandler handler, OSAction** action);
    static kern_return_t Create(OSObject* target, const char* queueName, size_t referenceSize,
                                AsyncCompletionHandler handler, OSAction** action);

    void* GetReference();
    size_t GetReferenceSize() const;
    OSObject* GetTarget() const;

    // No delivery after this one; `handler` then runs on the action's queue.
    kern_return_t Cancel(OSActionCancelHandler handler);

    void free() override;

    // Platform: deliveries, queued on the action's queue and never run inline.
    enum class Kind
    {
        AsyncIO,
        AsyncIsochIO,
        TimerOccurred,
        AsyncCompletion,
    };
    struct Arguments
    {
        IOReturn status = kIOReturnSuccess;
        uint32_t count = 0;
        uint64_t values[kMaxAsyncArguments] = {};
    };
    Kind kind() const { return fKind; }
    // False when the action or its queue takes no more deliveries; `after` runs in any case, after
    // the handler when there is one.
    bool deliver(const Arguments& arguments, void (*after)(void*) = nullptr, void* afterContext = nullptr);
    // The queue the handler runs on, retained for the caller.
    IODispatchQueue* copyQueue() const;
    void invoke(const Arguments& arguments);
    bool cancelled() const;

private:
    static kern_return_t make(OSObject* target, const char* queueName, size_t referenceSize, Kind kind,
                              void (*handler)(), OSAction** action);

    OSObject* fTarget = nullptr;
    const char* fQueueName = nullptr;
    Kind fKind = Kind::AsyncIO;
    void (*fHandler)() = nullptr;
    void* fReference = nullptr;
    size_t fReferenceSize = 0;
    std::atomic<bool> fCancelled{false};
};
