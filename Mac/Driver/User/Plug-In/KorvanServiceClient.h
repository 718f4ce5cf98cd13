#pragma once

// A connection to a driver service's user client, in the plug-in's numbering of the driver's
// methods, and the system power notifications that tell a device of sleep and wake.

#include "KorvanDeviceIO.h"
#include "KorvanService.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

#include <memory>
#include <mutex>

class KorvanServiceClient
{
public:
    enum PowerStateChange : UInt32
    {
        kSystemWillSleep = 0,
        kSystemHasPoweredOn = 1,
    };

    using NotificationCallback = void (*)(void* user, UInt32 type, const UInt8* data, UInt32 length);
    using PowerCallback = void (*)(void* user, PowerStateChange change);

    // A client for a USB service; null for any other bus. The caller owns it.
    static KorvanServiceClient* Create(const KorvanService& service, UInt32 clientType, void* user,
                                       NotificationCallback callback);

    // Ends the power registration before anything else, so no power callback reaches a deleted
    // client.
    virtual ~KorvanServiceClient();
    KorvanServiceClient(const KorvanServiceClient&) = delete;
    KorvanServiceClient& operator=(const KorvanServiceClient&) = delete;

    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual const KorvanService& GetService() const = 0;
    virtual UInt32 GetClientType() const = 0;
    virtual bool GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* request) = 0;
    virtual bool SetProperty(UInt32 property, UInt32 value) = 0;
    virtual bool GetProperty(UInt32 property, UInt32& value) = 0;
    virtual void* GetAudioBuffer(UInt32 memoryType, UInt32& size) = 0;
    virtual void ReleaseAudioBuffer(void* address, UInt32 memoryType) = 0;
    virtual bool SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest* request,
                                          KorvanDeviceIO::USBControlResponse* response) = 0;
    virtual bool SendUACControlRequest(KorvanDeviceIO::USBUACControlRequest* request,
                                       KorvanDeviceIO::USBControlResponse* response) = 0;
    virtual bool SetUSBAudioRunState(KorvanDeviceIO::USBAudioRunStateRequest* request) = 0;
    virtual bool GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors) = 0;
    virtual bool GetChannelNames(KorvanDeviceIO::ChannelNamesRequest* request,
                                 KorvanDeviceIO::ChannelNamesResponse* response) = 0;
    virtual bool GetStreamingHeadersVersion(UInt8& version) = 0;
    virtual bool SetStreamingHeadersEnable(KorvanDeviceIO::EnableStreamingHeadersRequest* request) = 0;

    // Power messages of the system arrive on the main dispatch queue and call `callback`. A new
    // registration replaces (and first ends) any previous one.
    void registerPowerStateChangeNotification(PowerCallback callback, void* user);
    void enablePowerNotifications();
    void disablePowerNotifications();
    void unregisterPowerStateChangeNotification();

    // The registration's callback; `refcon` is the client.
    static void ioPowerNotificationCallback(void* refcon, io_service_t service, uint32_t messageType,
                                            void* argument);

protected:
    KorvanServiceClient();

private:
    struct PowerRecord;

    // Under the mutex, swaps in `record` (registered when there is one); the previous record is
    // destroyed after the mutex is released.
    void ReplacePowerRecord(std::unique_ptr<PowerRecord> record);
    void RegisterForSystemPower();

    std::recursive_mutex fMutex;
    std::unique_ptr<PowerRecord> fPowerRecord;
};
