#include "com_vork_driver_tide_notification.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>
#include <KorvanDeviceIO.h>

#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_notification, OSObject);

com_vork_driver_tide_notification*
com_vork_driver_tide_notification::NewNotification(uint32_t type, const void* data, uint32_t length)
{
    if (length > KorvanDeviceIO::kMaxNotificationDataBytes || (length > 0 && data == nullptr)) {
        return nullptr;
    }
    KorvanDeviceIO::NotificationRecord m{};
    m.fType = type;
    m.fLength = length;
    if (length > 0) {
        std::memcpy(m.fData, data, length);
    }
    auto* notification = new com_vork_driver_tide_notification;
    if (!notification->init()) {
        notification->release();
        return nullptr;
    }
    notification->fData = OSData::withBytes(&m, sizeof(m));
    if (notification->fData == nullptr) {
        ReportBooleanError("ivars->fData = OSData::withBytes(&m, sizeof(m))");
        notification->release();
        return nullptr;
    }
    return notification;
}

void com_vork_driver_tide_notification::free()
{
    OSSafeReleaseNULL(fData);
    OSObject::free();
}

size_t com_vork_driver_tide_notification::getSize() const
{
    return fData != nullptr ? fData->getLength() : 0;
}

const uint8_t* com_vork_driver_tide_notification::getBytes() const
{
    return fData != nullptr ? static_cast<const uint8_t*>(fData->getBytesNoCopy()) : nullptr;
}
