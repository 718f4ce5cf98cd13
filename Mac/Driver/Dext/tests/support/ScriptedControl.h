#pragma once

// The driver's control service with a provider creation the test scripts, matched for a vendor of
// its own so that the driver's personalities never meet its device. It keeps its USB provider and
// tells how its start ended.

#include <com_vork_driver_tide_control_interface.h>
#include <com_vork_driver_tide_usb_provider.h>

#include <atomic>
#include <cstdint>

namespace DextTesting {

constexpr uint16_t kScriptedVendor = 0x3A1F;

// What the service's provider creation does.
enum class Creation
{
    Normal,
    // No provider.
    Fails,
    // The provider, after which the next `failingCreations` object creations, on any thread, fail.
    ThenObjectsFail,
};

struct Script
{
    Creation creation = Creation::Normal;
    uint32_t failingCreations = 0;
};

class ScriptedControl : public com_vork_driver_tide_control_interface
{
public:
    // Registers the class with a personality for kScriptedVendor (once per process) and sets what
    // the next start does; the outcome of the previous start is forgotten.
    static void prepare(const Script& script);

    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;

    static inline std::atomic<com_vork_driver_tide_usb_provider*> sProvider{nullptr};
    static inline std::atomic<bool> sStarted{false};
    static inline std::atomic<kern_return_t> sStartResult{0};
    static inline std::atomic<bool> sStopped{false};

protected:
    com_vork_driver_tide_provider* CreateProvider(IOUSBHostInterface* interface) override;

private:
    static inline Script sScript;
};

} // namespace DextTesting
