#include "Creation.h"
#include "QueueState.h"
#include "ServiceState.h"

#include <DriverKit/IOLib.h>
#include <DriverKit/OSAction.h>

#include <cstdlib>
#include <cstring>

kern_return_t OSAction::make(OSObject* target, const char* queueName, size_t referenceSize, Kind kind,
                             void (*handler)(), OSAction** action)
{
    if (target == nullptr || OSDynamicCast(IOService, target) == nullptr || handler == nullptr ||
        action == nullptr) {
        return kIOReturnBadArgument;
    }
    if (DriverKitPlatform::creationFails()) {
        return kIOReturnNoMemory;
    }
    auto* created = new OSAction;
    created->fTarget = target;
    created->fQueueName = queueName;
    created->fKind = kind;
    created->fHandler = handler;
    created->fReferenceSize = referenceSize;
    created->fReference = referenceSize == 0 ? nullptr : std::calloc(1, referenceSize);
    *action = created;
    return kIOReturnSuccess;
}

kern_return_t OSAction::Create(OSObject* target, const char* queueName, size_t referenceSize,
                               AsyncIOHandler handler, OSAction** action)
{
    return make(target, queueName, referenceSize, Kind::AsyncIO, reinterpret_cast<void (*)()>(handler),
                action);
}

kern_return_t OSAction::Create(OSObject* target, const char* queueName, size_t referenceSize,
                               AsyncIsochIOHandler handler, OSAction** action)
{
    return make(target, queueName, referenceSize, Kind::AsyncIsochIO, reinterpret_cast<void (*)()>(handler),
                action);
}

kern_return_t OSAction::Create(OSObject* target, const char* queueName, size_t referenceSize,
                               TimerOccurredHandler handler, OSAction** action)
{
    return make(target, queueName, referenceSize, Kind::TimerOccurred, reinterpret_cast<void (*)()>(handler),
                action);
}

kern_return_t OSAction::Create(OSObject* target, const char* queueName, size_t referenceSize,
                               AsyncCompletionHandler handler, OSAction** action)
{
    return make(target, queueName, referenceSize, Kind::AsyncCompletion,
                reinterpret_cast<void (*)()>(handler), action);
}

void* OSAction::GetReference()
{
    return fReference;
}

size_t OSAction::GetReferenceSize() const
{
    return fReferenceSize;
}

OSObject* OSAction::GetTarget() const
{
    return fTarget;
}

bool OSAction::cancelled() const
{
    return fCancelled.load(std::memory_order_acquire);
}

kern_return_t OSAction::Cancel(OSActionCancelHandler handler)
{
    if (fCancelled.exchange(true, std::memory_order_acq_rel)) {
        return kIOReturnAborted;
    }
    OSSharedPtr<IODispatchQueue> queue(copyQueue(), OSNoRetain);
    if (queue && handler) {
        queue->DispatchAsync(std::move(handler));
    }
    return kIOReturnSuccess;
}

IODispatchQueue* OSAction::copyQueue() const
{
    return static_cast<IOService*>(fTarget)->platformState().copyQueue(fQueueName);
}

bool OSAction::deliver(const Arguments& arguments, void (*after)(void*), void* afterContext)
{
    OSSharedPtr<IODispatchQueue> queue(cancelled() ? nullptr : copyQueue(), OSNoRetain);
    const bool queued =
        queue && DriverKitPlatform::enqueueDelivery(queue.get(), this, arguments, after, afterContext);
    if (!queued && after != nullptr) {
        after(afterContext);
    }
    return queued;
}

void OSAction::invoke(const Arguments& arguments)
{
    switch (fKind) {
    case Kind::AsyncIO:
        reinterpret_cast<AsyncIOHandler>(fHandler)(fTarget, this, arguments.status,
                                                   uint32_t(arguments.values[0]), arguments.values[1]);
        break;
    case Kind::AsyncIsochIO:
        reinterpret_cast<AsyncIsochIOHandler>(fHandler)(fTarget, this, arguments.status);
        break;
    case Kind::TimerOccurred:
        reinterpret_cast<TimerOccurredHandler>(fHandler)(fTarget, this, arguments.values[0]);
        break;
    case Kind::AsyncCompletion:
        reinterpret_cast<AsyncCompletionHandler>(fHandler)(fTarget, this, arguments.status, arguments.values,
                                                           arguments.count);
        break;
    }
}

void OSAction::free()
{
    std::free(fReference);
    fReference = nullptr;
    OSObject::free();
}
