#include "com_vork_driver_tide_notificationQueue.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_notificationQueue, OSObject);

namespace {

class Locked
{
public:
    explicit Locked(IORecursiveLock* lock) : fLock(lock) { IORecursiveLockLock(fLock); }
    ~Locked() { IORecursiveLockUnlock(fLock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    IORecursiveLock* fLock;
};

} // namespace

com_vork_driver_tide_notificationQueue* com_vork_driver_tide_notificationQueue::NewNotificationQueue()
{
    auto* queue = new com_vork_driver_tide_notificationQueue;
    if (!queue->init()) {
        queue->release();
        return nullptr;
    }
    queue->fLock = IORecursiveLockAlloc();
    if (queue->fLock == nullptr) {
        ReportBooleanError("ivars->fLock = IORecursiveLockAlloc()");
        queue->release();
        return nullptr;
    }
    return queue;
}

void com_vork_driver_tide_notificationQueue::free()
{
    for (auto*& slot : fSlots) {
        OSSafeReleaseNULL(slot);
    }
    if (fLock != nullptr) {
        IORecursiveLockFree(fLock);
        fLock = nullptr;
    }
    OSObject::free();
}

bool com_vork_driver_tide_notificationQueue::empty() const
{
    if (fLock == nullptr) {
        return false;
    }
    Locked locked(fLock);
    return fReadIndex == fWriteIndex;
}

bool com_vork_driver_tide_notificationQueue::full() const
{
    if (fLock == nullptr) {
        return true;
    }
    Locked locked(fLock);
    return (fWriteIndex + 1) % kSlots == fReadIndex;
}

bool com_vork_driver_tide_notificationQueue::pushNotification(com_vork_driver_tide_notification* notification)
{
    if (fLock == nullptr || notification == nullptr) {
        return false;
    }
    Locked locked(fLock);
    if ((fWriteIndex + 1) % kSlots == fReadIndex) {
        return false;
    }
    notification->retain();
    fSlots[fWriteIndex] = notification;
    fWriteIndex = (fWriteIndex + 1) % kSlots;
    return true;
}

com_vork_driver_tide_notification* com_vork_driver_tide_notificationQueue::popNotification()
{
    if (fLock == nullptr) {
        return nullptr;
    }
    Locked locked(fLock);
    if (fReadIndex == fWriteIndex) {
        return nullptr;
    }
    com_vork_driver_tide_notification* notification = fSlots[fReadIndex];
    fSlots[fReadIndex] = nullptr;
    fReadIndex = (fReadIndex + 1) % kSlots;
    return notification;
}
