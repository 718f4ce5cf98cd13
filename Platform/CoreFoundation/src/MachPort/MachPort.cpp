#include "MachPort.h"

#include "RunLoop/CheckedRef.h"
#include "RunLoop/RunLoop.h"
#include "RunLoop/Source.h"
#include "RunLoop/StructureLock.h"

#include <Darwin/PortObserver.h>
#include <mach/mach.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace CFPlatform {

namespace {

// Messages up to this size are received on the serving thread's stack; larger ones on the heap.
constexpr mach_msg_size_t kStackMessageSize = 8192;

const void* retainPort(const void* info)
{
    static_cast<const MachPort*>(info)->retain();
    return info;
}

void releasePort(const void* info)
{
    static_cast<const MachPort*>(info)->release();
}

} // namespace

MachPort::MachPort(mach_port_t port, CFMachPortCallBack callout, const CFMachPortContext* context)
    : fPort(port), fCallout(callout)
{
    if (context) {
        fContext = *context;
        if (fContext.retain) {
            fContext.info = const_cast<void*>(fContext.retain(fContext.info));
        }
    }
}

MachPort::~MachPort()
{
    invalidate();
    if (fContext.release) {
        fContext.release(fContext.info);
    }
}

CFTypeID MachPort::staticTypeID()
{
    static const CFTypeID type = registerType("CFMachPort");
    return type;
}

Source* MachPort::createSource(CFIndex order)
{
    Source* source;
    bool created = false;
    {
        std::lock_guard lock(fLock);
        if (!isValid()) {
            return nullptr;
        }
        if (!fSource) {
            CFRunLoopSourceContext context{};
            context.info = this;
            context.retain = retainPort;
            context.release = releasePort;
            fSource = new Source(order, context, &MachPort::serveOne);
            created = true;
        }
        source = fSource;
        source->retain();
    }
    if (created) {
        // Set without the lock: the observer takes it. Fails harmlessly once the port is gone.
        DarwinPorts::setArrivalObserver(fPort, [this] { messageArrived(); });
        // Messages sent before the observer was set are served too.
        source->signal();
    }
    return source;
}

void MachPort::messageArrived()
{
    std::lock_guard lock(fLock);
    if (!fSource) {
        return;
    }
    fSource->signal();
    // Allocation-free: wakes the loops that hold the source.
    std::lock_guard structure(runLoopStructureLock());
    for (const Source::Membership& membership : fSource->fMemberships) {
        membership.fLoop->wakeUp();
    }
}

bool MachPort::serveOne(void* info)
{
    auto* self = static_cast<MachPort*>(info);
    alignas(mach_msg_header_t) uint8_t stackBuffer[kStackMessageSize];
    std::vector<uint8_t> heapBuffer;
    auto* message = reinterpret_cast<mach_msg_header_t*>(stackBuffer);
    mach_msg_size_t capacity = kStackMessageSize;
    for (;;) {
        if (!self->isValid()) {
            return false;
        }
        mach_msg_return_t result = mach_msg(message, MACH_RCV_MSG | MACH_RCV_TIMEOUT | MACH_RCV_LARGE, 0,
                                            capacity, self->fPort, 0, MACH_PORT_NULL);
        if (result == MACH_MSG_SUCCESS) {
            break;
        }
        if (result != MACH_RCV_TOO_LARGE) {
            return false;
        }
        // The message stays queued and its size is reported: receive it into a buffer that fits.
        capacity = message->msgh_size;
        heapBuffer.resize(capacity);
        message = reinterpret_cast<mach_msg_header_t*>(heapBuffer.data());
    }
    self->handOver(message);
    return true;
}

void MachPort::handOver(mach_msg_header_t* message)
{
    {
        // More may be queued: the next pass takes the next one, even if this callout throws.
        std::lock_guard lock(fLock);
        if (fSource) {
            fSource->signal();
        }
    }
    if (fCallout) {
        fCallout(refOf<CFMachPortRef>(*this), message, message->msgh_size, fContext.info);
    }
}

void MachPort::invalidate()
{
    Source* source;
    {
        std::lock_guard lock(fLock);
        if (!fValid.exchange(false, std::memory_order_acq_rel)) {
            return;
        }
        source = std::exchange(fSource, nullptr);
    }
    // Removes the observer (waiting for a call in progress) and drops the queued messages.
    mach_port_destroy(mach_task_self(), fPort);
    if (source) {
        source->invalidate();
        source->release();
    }
}

} // namespace CFPlatform
