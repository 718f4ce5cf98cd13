#pragma once

// A serial queue with a thread of its own. Blocks run one at a time in the order queued.

#include <DriverKit/OSObject.h>

#include <functional>
#include <type_traits>

typedef std::function<void()> IODispatchBlock;
typedef std::function<void()> IODispatchQueueCancelHandler;

namespace DriverKitPlatform {
struct QueueState;
}

class IODispatchQueue : public OSObject
{
public:
    static kern_return_t Create(const char* name, uint64_t options, uint64_t priority,
                                IODispatchQueue** queue);

    // Runs `block` on the queue and waits for it; the block is run where it is, not copied. Called on
    // the queue itself this would wait forever: it is reported with the call site and the process
    // ends. kIOReturnAborted once the queue is cancelled.
    template <typename Block>
    kern_return_t DispatchSync(Block&& block, const char* file = __builtin_FILE(),
                               int line = __builtin_LINE())
    {
        using Callable = std::remove_reference_t<Block>;
        return dispatchSync(
            const_cast<void*>(static_cast<const void*>(&block)),
            [](void* callable) { (*static_cast<Callable*>(callable))(); }, file, line);
    }

    // Queues `block`; nothing happens once the queue is cancelled.
    void DispatchAsync(IODispatchBlock block);

    // Whether the calling thread is the queue's.
    bool OnQueue();

    // Lets the work already queued drain, refuses new work, then runs `handler` on the queue.
    kern_return_t Cancel(IODispatchQueueCancelHandler handler);

    const char* GetName() const;

    void free() override;

    DriverKitPlatform::QueueState& platformState() { return *fState; }

private:
    kern_return_t dispatchSync(void* callable, void (*invoke)(void*), const char* file, int line);

    DriverKitPlatform::QueueState* fState = nullptr;
};
