#pragma once

// Finds the one Wrenlet the updater works on, as the running device (the maker's vendor id,
// product 12) or as its microcontroller's boot loader (0x03EB/0x6124), through matching
// notifications on the main run loop. Every arrival is handled 1 s later, which coalesces bursts;
// devices present at the start are handled the same way. It opens the device (and, for the boot
// loader, its CDC data interface), reads the serial number and tells its client; on removal it
// closes and lets go of both first.

#include "IOCFComPtr.h"
#include "SAMBA.h"
#include "Timeout.h"

#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>

#include <memory>
#include <string>
#include <vector>

class WrenDiscovery
{
public:
    using Device = std::shared_ptr<vork::IOCFComPtr<IOUSBDeviceInterface300>>;

    class Client
    {
    public:
        virtual ~Client() = default;
        virtual void DeviceConnected(Device device, const std::string& serial) = 0;
        virtual void DeviceRemoved() = 0;
        virtual void SAMBAConnected(SAMBA::Interface interface) = 0;
        virtual void SAMBARemoved() = 0;
    };

    static constexpr double kSettleSeconds = 1.0;
    static constexpr double kRetrySeconds = 1.0;

    explicit WrenDiscovery(Client& client);
    ~WrenDiscovery();
    WrenDiscovery(const WrenDiscovery&) = delete;
    WrenDiscovery& operator=(const WrenDiscovery&) = delete;

    // Registers the notifications; false when IOKit refuses them.
    bool Start();

private:
    enum Notification
    {
        kRunModePublished,
        kRunModeTerminated,
        kBootLoaderPublished,
        kBootLoaderTerminated,
        kNotificationCount,
    };

    struct Registration
    {
        WrenDiscovery* discovery;
        Notification kind;
    };

    static void Notified(void* refcon, io_iterator_t iterator);
    void Published(io_iterator_t iterator, bool bootLoader);
    void Terminated(io_iterator_t iterator);
    void HandlePublished();
    void RegisterDevice(io_service_t service, bool bootLoader);
    void OpenSAMBAInterface();
    std::string ReadSerial();
    void Release();

    Client& fClient;
    IONotificationPortRef fPort = nullptr;
    Registration fRegistrations[kNotificationCount];
    io_iterator_t fIterators[kNotificationCount] = {};

    // Services published and not yet handled, with their identity.
    std::vector<std::pair<io_service_t, bool>> fPending;
    Timeout fSettle;
    Timeout fRetry;

    io_service_t fService = 0;
    bool fBootLoader = false;
    Device fDevice;
    CFRunLoopSourceRef fDeviceSource = nullptr;
    SAMBA::Interface fInterface;
    CFRunLoopSourceRef fInterfaceSource = nullptr;
};
