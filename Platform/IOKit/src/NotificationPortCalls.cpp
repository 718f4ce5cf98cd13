// Notification ports.

#include "NotificationPort.h"

#include <IOKit/IOKitLib.h>

IONotificationPortRef IONotificationPortCreate(mach_port_t)
{
    auto port = IOKit::NotificationPort::create();
    return port ? new IONotificationPort{std::move(port)} : nullptr;
}

void IONotificationPortDestroy(IONotificationPortRef notify)
{
    if (notify == nullptr) {
        return;
    }
    notify->fPort->destroy();
    delete notify;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify)
{
    return notify != nullptr ? notify->fPort->runLoopSource() : nullptr;
}

void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue)
{
    if (notify != nullptr) {
        notify->fPort->setDispatchQueue(queue);
    }
}
