#pragma once

// The driver client of a USB service: struct-method calls on its user client, the two mapped
// request rings, and the driver's notification records on a mach port served by the run loop of
// the thread that opened it.

#include "KorvanServiceClient.h"

#include <CoreFoundation/CFMachPort.h>

class USBServiceClient : public KorvanServiceClient
{
public:
    USBServiceClient(const KorvanService& service, UInt32 clientType, void* user,
                     NotificationCallback callback);
    ~USBServiceClient() override;

    bool Open() override;
    // Also drops the service's handle: a closed client cannot be opened again.
    void Close() override;
    bool IsOpen() const override { return fConnection != 0; }
    const KorvanService& GetService() const override { return fService; }
    UInt32 GetClientType() const override { return fClientType; }
    bool RegisterForNotifications();

    bool GetDeviceInfo(KorvanDeviceIO::DeviceInfoRequest* request) override;
    bool SetProperty(UInt32 property, UInt32 value) override;
    bool GetProperty(UInt32 property, UInt32& value) override;
    void* GetAudioBuffer(UInt32 memoryType, UInt32& size) override;
    void ReleaseAudioBuffer(void* address, UInt32 memoryType) override;
    bool SendVendorControlRequest(KorvanDeviceIO::USBVendorControlRequest* request,
                                  KorvanDeviceIO::USBControlResponse* response) override;
    bool SendUACControlRequest(KorvanDeviceIO::USBUACControlRequest* request,
                               KorvanDeviceIO::USBControlResponse* response) override;
    bool SetUSBAudioRunState(KorvanDeviceIO::USBAudioRunStateRequest* request) override;
    bool GetUSBConfig1Descriptors(KorvanDeviceIO::USBDescriptors* descriptors) override;
    bool GetChannelNames(KorvanDeviceIO::ChannelNamesRequest* request,
                         KorvanDeviceIO::ChannelNamesResponse* response) override;
    bool GetStreamingHeadersVersion(UInt8& version) override;
    bool SetStreamingHeadersEnable(KorvanDeviceIO::EnableStreamingHeadersRequest* request) override;

    // The mach-port callout: a received notification record of `size` bytes.
    static void UserClientCallBackProc(CFMachPortRef port, void* message, CFIndex size, void* info);
    // The same for a record handed in directly, whose size is not known.
    void HandleUserClientCallBack(const void* message);

private:
    kern_return_t CallStructMethod(UInt32 selector, const void* input, size_t inputSize, void* output,
                                   size_t outputSize);
    void Deliver(const UInt8* message, size_t availableData);

    KorvanService fService;
    const UInt32 fClientType;
    void* const fUser;
    const NotificationCallback fCallback;
    io_connect_t fConnection = 0;
    CFMachPortRef fMachPort = nullptr;
    CFRunLoopSourceRef fRunLoopSource = nullptr;
    CFRunLoopRef fRunLoop = nullptr;
    bool fNotificationPortRegistered = false;
};
