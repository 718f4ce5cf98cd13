#include "com_vork_driver_tide_base_interface.h"

#include <IOKit/IOLib.h>
#include <libkern/c++/OSNumber.h>

#include <KorvanDeviceIdentities.h>

#include <atomic>

OSDefineMetaClassAndStructors(com_vork_driver_tide_base_interface, IOService)
#define super IOService

    namespace
{

    std::atomic<uint32_t> gInstances{0};

    IOPMPowerState gPowerStates[3] = {
        {kIOPMPowerStateVersion1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {kIOPMPowerStateVersion1, kIOPMLowPower, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
        {kIOPMPowerStateVersion1, kIOPMDeviceUsable, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0},
    };

} // namespace

IOService* com_vork_driver_tide_base_interface::probe(IOService* provider, SInt32* score)
{
    if (!provider || !score) {
        return nullptr;
    }
    const auto* vendor = OSDynamicCast(OSNumber, provider->getProperty("idVendor"));
    const auto* product = OSDynamicCast(OSNumber, provider->getProperty("idProduct"));
    if (!vendor || !product || vendor->unsigned32BitValue() != KorvanDeviceIdentities::kVendorID ||
        product->unsigned32BitValue() != KorvanDeviceIdentities::kWrenletProductID) {
        return nullptr;
    }
    IOLog("VORK PROBED BASE IFACE\n");
    *score = 1000001;
    return this;
}

bool com_vork_driver_tide_base_interface::start(IOService* provider)
{
    TakeInstanceNumber();
    if (!provider || !super::start(provider)) {
        return false;
    }
    IOLog("VORK STARTED BASE IFACE %u\n", fInstance);
    RegisterPowerAndPublish(provider);
    return true;
}

void com_vork_driver_tide_base_interface::stop(IOService* provider)
{
    StopBase(provider);
}

bool com_vork_driver_tide_base_interface::willTerminate(IOService* provider, IOOptionBits options)
{
    IOLog("VORK WILLTERMINATE BASE IFACE %u\n", fInstance);
    return super::willTerminate(provider, options);
}

IOReturn com_vork_driver_tide_base_interface::setPowerState(unsigned long powerStateOrdinal, IOService*)
{
    IOLog("KorvanUAC_Base::setPowerState %lu\n", powerStateOrdinal);
    if (powerStateOrdinal > 1) {
        Wake();
    } else {
        Sleep();
    }
    return kIOPMAckImplied;
}

void com_vork_driver_tide_base_interface::Sleep() {}

void com_vork_driver_tide_base_interface::Wake() {}

void com_vork_driver_tide_base_interface::TakeInstanceNumber()
{
    fInstance = ++gInstances;
}

void com_vork_driver_tide_base_interface::RegisterPowerAndPublish(IOService* provider)
{
    PMinit();
    provider->joinPMtree(this);
    registerPowerDriver(this, gPowerStates, 3);
    registerService();
    IOLog("KorvanUAC_Base::Registered Power\n");
}

void com_vork_driver_tide_base_interface::StopBase(IOService* provider)
{
    IOLog("VORK STOP BASE IFACE %u\n", fInstance);
    PMstop();
    super::stop(provider);
}
