#pragma once

// The connection a client opens on the control service: the method table, the notifications it is
// told through asynchronous completions, and the two request rings it maps.

#include "com_vork_driver_tide_notificationQueue.h"
#include "com_vork_driver_tide_userBuffer.h"

#include <DriverKit/IOUserClient.h>

#include <KorvanDeviceIO.h>

class com_vork_driver_tide_control_interface;

// Client types, as four-character codes.
inline constexpr uint32_t kAudioUserClientType = 0x494F494F; // 'IOIO'
inline constexpr uint32_t kTestUserClientType = 0x54455354;  // 'TEST'

class com_vork_driver_tide_userClient : public IOUserClient
{
public:
    static kern_return_t CreateUserClient(com_vork_driver_tide_control_interface* dev, uint32_t type,
                                          com_vork_driver_tide_userClient** userClient);

    bool init() override;
    void free() override;
    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;

    kern_return_t ExternalMethod(uint64_t selector, IOUserClientMethodArguments* arguments,
                                 const IOUserClientMethodDispatch* dispatch, OSObject* target,
                                 void* reference) override;
    kern_return_t CopyClientMemoryForType(uint64_t type, uint64_t* options,
                                          IOMemoryDescriptor** memory) override;

    virtual void NotifyUserClient(uint32_t type, const void* data, uint32_t length);
    virtual IOReturn GetDeviceInfo(const void* request, KorvanDeviceIO::Dext::DeviceInfoRequest* result);
    virtual IOReturn SetProperty(KorvanDeviceIO::SetPropertyRequest* request,
                                 KorvanDeviceIO::Dext::ErrorResult* result);
    virtual IOReturn GetProperty(KorvanDeviceIO::GetPropertyRequest* request,
                                 KorvanDeviceIO::Dext::GetPropertyResult* result);
    virtual IOReturn SendUACControlRequest(KorvanDeviceIO::USBUACControlRequest* request,
                                           KorvanDeviceIO::Dext::USBControlResponse* result);
    virtual IOReturn SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest* request,
                                              KorvanDeviceIO::Dext::USBControlResponse* result);
    virtual IOReturn SetUSBAudioRunState(KorvanDeviceIO::USBAudioRunStateRequest* request,
                                         KorvanDeviceIO::Dext::ErrorResult* result);
    virtual IOReturn GetUSBConfig1Descriptors(const void* request,
                                              KorvanDeviceIO::Dext::USBDescriptors* result);
    virtual IOReturn GetChannelNames(const KorvanDeviceIO::ChannelNamesRequest* request,
                                     KorvanDeviceIO::Dext::ChannelNamesResponse* result);

    // The control service is going: every later call is refused.
    void notifyDeviceRemoved();

    uint32_t runState() const;

private:
    struct Ivars;

    IOReturn registerNotification(OSAction* completion, com_vork_driver_tide_userBuffer* output,
                                  uint64_t outputSize);
    void registerClientNotifications(OSAction* completion, com_vork_driver_tide_userBuffer* output);
    // Delivers the record into the registered output and ends the registration. Lock held.
    void deliver(com_vork_driver_tide_notification* notification);

    template <typename Method>
    IOReturn onDeviceQueue(Method&& method);

    Ivars* ivars = nullptr;
};
