#pragma once

// The plug-in's connection to the control service: the ten struct methods of the kernel numbering,
// the two request rings as memory types 1 and 2, and device notifications as Mach messages to the
// port the client registers.

#include <IOKit/IOUserClient.h>
#include <mach/message.h>

#include <KorvanDeviceIO.h>

class com_vork_driver_tide_control_interface;

// The notification as the kernel sends it: the kernel's 32-byte header, then the record the client
// reads after its 24-byte header.
#pragma pack(push, 4)
struct KorvanNotificationMessage
{
    mach_msg_header_t fHeader;
    uint32_t fReference;
    uint32_t fType;
    uint32_t fLength;
    uint8_t fData[KorvanDeviceIO::kMaxNotificationDataBytes];
};
#pragma pack(pop)
static_assert(sizeof(KorvanNotificationMessage) == 4140);

class com_vork_driver_tide_userClient : public IOUserClient
{
    OSDeclareDefaultStructors(com_vork_driver_tide_userClient)

        public : static constexpr UInt32 kAudioClientType = 0x494F494F; // 'IOIO'
    static constexpr UInt32 kTestClientType = 0x54455354;               // 'TEST'

    // A started client attached to the control service; kIOReturnError when it cannot be made.
    static IOReturn createUserClient(com_vork_driver_tide_control_interface* control, task_t task,
                                     void* securityID, UInt32 type, OSDictionary* properties,
                                     com_vork_driver_tide_userClient** client);

    // Sends a notification of `length` bytes; false when it was not sent.
    virtual bool NotifyUserClient(UInt32 type, const void* data, UInt32 length);

    virtual IOReturn GetDeviceInfo(void* input, void* output, void* inputSize, void* outputSize, void*,
                                   void*);
    virtual IOReturn SetProperty(void* input, void* output, void* inputSize, void* outputSize, void*, void*);
    virtual IOReturn GetProperty(void* input, void* output, void* inputSize, void* outputSize, void*, void*);
    virtual IOReturn SendUACControlRequest(void* input, void* output, void* inputSize, void* outputSize,
                                           void*, void*);
    virtual IOReturn SendVendorControlRequest(void* input, void* output, void* inputSize, void* outputSize,
                                              void*, void*);
    virtual IOReturn SetUSBAudioRunState(void* input, void* output, void* inputSize, void* outputSize, void*,
                                         void*);
    virtual IOReturn GetUSBConfig1Descriptors(void* input, void* output, void* inputSize, void* outputSize,
                                              void*, void*);
    virtual IOReturn GetChannelNames(void* input, void* output, void* inputSize, void* outputSize, void*,
                                     void*);
    virtual IOReturn GetStreamingHeadersSupportedVersion(void* input, void* output, void* inputSize,
                                                         void* outputSize, void*, void*);
    virtual IOReturn SetStreamingHeadersEnable(void* input, void* output, void* inputSize, void* outputSize,
                                               void*, void*);

    IOReturn clientClose() override;
    void free() override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;
    IOReturn registerNotificationPort(mach_port_t port, UInt32 type, UInt32 refCon) override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options, IOMemoryDescriptor** memory) override;

    UInt32 GetClientType() const { return fClientType; }

private:
    // Runs `call` with the gate closed when the control service and its provider are there;
    // kIOReturnError otherwise.
    template <typename Call>
    IOReturn WithProvider(const char* method, Call call);

    UInt32 fClientType = 0;
    UInt32 fRunState = 0;
    com_vork_driver_tide_control_interface* fControl = nullptr;
    IOWorkLoop* fWorkLoop = nullptr;
    bool fPortRegistered = false;
    // The header inside is read with its natural alignment.
    alignas(8) KorvanNotificationMessage fMessage{};
};
