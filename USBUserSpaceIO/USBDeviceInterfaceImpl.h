#pragma once

// The platform side of a USBDeviceInterface: the interface plug-in, its pipes, its event source on
// the USB thread's run loop, and the reads in flight.

#include <USBDeviceInterfaceMac.h>

#include <IOCFComPtr.h>
#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <IOKit/usb/IOUSBLib.h>

#include <functional>
#include <list>

class USBDeviceInterface::Impl
{
public:
    using USBDispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;
    using OwnDispatcher = vork::RunLoopDispatcher<vork::wrapped_lambda<void(), 256, 16>, 100>;

    struct MacUSBPipeInfo
    {
        uint8_t address = 0;
        uint16_t maxPacketSize = 0;
        uint8_t pipeRef = 0;
    };
    struct CallbackContainer
    {
        CallbackContainer(Impl* owner, ReadCompletion& completion)
            : owner(owner), completion(adopt(completion))
        {}

        Impl* owner;
        ReadCompletion completion;
    };

    Impl() = default;
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Opens the interface and reads its class and pipes; must run on the USB thread.
    bool open(USBDispatcher& dispatcher, vork::IOCFComPtr<IOUSBInterfaceInterface300> interface);
    void close();
    bool readPipeAsync(unsigned char address, void* buffer, unsigned int length, ReadCompletion& completion);

    uint8_t interfaceClass() const { return fClass; }
    uint8_t interfaceSubClass() const { return fSubClass; }
    uint8_t interfaceProtocol() const { return fProtocol; }
    std::vector<USBPipeInfo> inputPipes() const { return publicForm(fInputPipes); }
    std::vector<USBPipeInfo> outputPipes() const { return publicForm(fOutputPipes); }

private:
    // A completion made from what `source` holds; the completion type itself cannot be moved, as
    // its converting constructors make the copy check recurse.
    static ReadCompletion adopt(ReadCompletion& source);
    static void ReadAsyncCallback(void* refCon, IOReturn result, void* arg0);
    static std::vector<USBPipeInfo> publicForm(const std::vector<MacUSBPipeInfo>& pipes);
    void readPipes();
    void releaseEventSource();

    USBDispatcher* fUSBDispatcher = nullptr;
    std::unique_ptr<OwnDispatcher> fDispatcher;
    vork::IOCFComPtr<IOUSBInterfaceInterface300> fInterface;
    CFRunLoopSourceRef fEventSource = nullptr;
    CFRunLoopRef fEventLoop = nullptr;
    uint8_t fClass = 0;
    uint8_t fSubClass = 0;
    uint8_t fProtocol = 0;
    std::vector<MacUSBPipeInfo> fInputPipes;
    std::vector<MacUSBPipeInfo> fOutputPipes;
    std::list<CallbackContainer> fCallbacks;
};
