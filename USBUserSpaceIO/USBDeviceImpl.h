#pragma once

// The platform side of a USBDevice: the device plug-in, its open with retries, and its event source.

#include <USBDeviceMac.h>

#include <IOCFComPtr.h>
#include <RunLoopDispatcher.h>
#include <WrappedLambda.h>

#include <IOKit/usb/IOUSBLib.h>

#include <functional>
#include <memory>
#include <variant>
#include <vector>

class USBDevice::Impl
{
public:
    using USBDispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;
    using OwnDispatcher = vork::RunLoopDispatcher<vork::wrapped_lambda<void(), 128, 8>, 100>;
    struct OpenSuccess
    {};
    struct OpenFailure
    {};
    using OpenStatus = std::variant<OpenSuccess, OpenFailure>;
    using OpenCallback = std::function<void(Impl*, OpenStatus)>;

    // Opens the device at once; the status follows, perhaps after retries.
    Impl(USBDispatcher& usbDispatcher, io_service_t service);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void registerDeviceOpenCallback(OpenCallback callback);
    io_service_t service() const { return fService; }

    std::shared_ptr<USBDeviceInterface> findInterface(unsigned short interfaceClass, unsigned short subClass,
                                                      unsigned short protocol);
    std::vector<uint8_t> getDeviceDescriptor();
    bool controlTransfer(USBControlTransfer& transfer);
    std::string getStringDescriptor(uint8_t index);

private:
    void openDevice(io_service_t service);
    void retryLater();
    bool configure();
    void addEventSource();
    void setOpenStatus(OpenStatus status);

    USBDispatcher& fUSBDispatcher;
    std::unique_ptr<OwnDispatcher> fDispatcher;
    std::shared_ptr<OwnDispatcher::Timer> fRetryTimer;
    io_service_t fService = 0;
    vork::IOCFComPtr<IOUSBDeviceInterface300> fInterface;
    std::vector<std::shared_ptr<USBDeviceInterface>> fInterfaces;
    bool fOpened = false;
    CFRunLoopSourceRef fEventSource = nullptr;
    std::optional<OpenStatus> fStatus;
    std::vector<OpenCallback> fOpenCallbacks;
};
