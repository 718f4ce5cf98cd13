#pragma once

// One driver control-interface service in the registry: its handle (with a reference of its own),
// the device UID the driver publishes, and the bus it sits on.

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <string>

// The registry class of the drivers' control-interface services, and the property that names the
// device.
#define kKorvanControlInterfaceClass "com_vork_driver_tide_control_interface"
#define kKorvanDeviceUIDProperty "com_vork_driver_tide_device_UID"

class KorvanService
{
public:
    enum BusType : UInt32
    {
        kBusTypeUnknown = 0,
        kBusTypeUSB = 1,
    };

    KorvanService() = default;
    // Reads the UID, once more after 100 ms when the driver has not published it yet.
    KorvanService(io_service_t service, BusType busType);
    KorvanService(const KorvanService& other);
    KorvanService& operator=(const KorvanService& other);
    virtual ~KorvanService();

    // Drops the handle's reference; the service names nothing afterwards.
    void Release();

    // The same service: equal handles, or, for different handles, equal UIDs that were both read.
    bool operator==(const KorvanService& other) const;

    io_service_t GetService() const { return fService; }
    const std::string& GetUID() const { return fUID; }
    BusType GetBusType() const { return fBusType; }

    // The property as ASCII text of at most 127 characters; empty when it is missing or no string.
    static std::string GetIORegStringProperty(io_registry_entry_t entry, CFStringRef key);

private:
    io_service_t fService = 0;
    std::string fUID;
    BusType fBusType = kBusTypeUnknown;
};
