#pragma once

// Records that arrived while no client registration was waiting: at most four, first in first out.

#include "com_vork_driver_tide_notification.h"

#include <DriverKit/IOLib.h>

class com_vork_driver_tide_notificationQueue : public OSObject
{
public:
    static com_vork_driver_tide_notificationQueue* NewNotificationQueue();

    void free() override;

    bool empty() const;
    bool full() const;
    // Takes a reference of its own; false when full.
    bool pushNotification(com_vork_driver_tide_notification* notification);
    // The oldest record with the queue's reference, or null when empty.
    com_vork_driver_tide_notification* popNotification();

private:
    static constexpr uint32_t kSlots = 5;

    com_vork_driver_tide_notification* fSlots[kSlots] = {};
    uint32_t fWriteIndex = 0;
    uint32_t fReadIndex = 0;
    IORecursiveLock* fLock = nullptr;
};
