#pragma once

// The one Pyx the updater works on: its handle and identity, its mode by product id, and the
// firmware header it carries. The same object lives through both reboots of an update; the
// controller hands it the returning device with setDevice.

#include <DeviceWrapper.h>
#include <FirmwareVersion.h>

#include <mutex>
#include <optional>
#include <string>
#include <variant>

struct DeviceDescription
{
    std::string name;
    std::string serial;
    FirmwareVersion version;
};

class UpdateDevice : public std::enable_shared_from_this<UpdateDevice>
{
public:
    struct RecoveryMode
    {};
    struct RunMode
    {};
    using Mode = std::variant<std::monostate, RecoveryMode, RunMode>;

    explicit UpdateDevice(const DeviceWrapper& wrapper);

    // Main thread, while the engine is idle.
    void setDevice(const DeviceWrapper& wrapper);
    // Also called on the update pump.
    DeviceWrapper getDevice() const;
    Mode mode() const;
    bool isValid() const;
    FirmwareHeader getFirmwareHeader();
    DeviceDescription getDescription();
    // Run mode only; the result is not looked at, the controller's time-out covers a silent device.
    void rebootIntoRecovery();

    const std::string& lastSerial() const { return fLastSerial; }
    const std::string& lastName() const { return fLastName; }

private:
    FirmwareHeader getFirmwareHeaderFromDevice() const;

    // Guards the handle and identity, which the pump reads while the main thread may set them.
    mutable std::mutex fLock;
    DeviceWrapper fDevice;
    std::optional<FirmwareHeader> fHeader;
    std::string fLastName;
    std::string fLastSerial;
};
