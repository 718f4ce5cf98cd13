#include "KernelMatching.h"

#include "RegistryAccess.h"
#include "ServiceAccess.h"
#include "USBHostAccess.h"

#include <IOKit/usb/IOUSBHostInterface.h>
#include <libkern/c++/OSNumber.h>
#include <libkern/c++/OSString.h>

#include <DriverKit/platform/MatchingLayers.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace KernelIOKitPlatform {

namespace {

using DriverKitPlatform::MatchingCandidate;
using DriverKitPlatform::RegistryEntryRef;
using DriverKitPlatform::USBNub;

constexpr const char* kUSBKeys[] = {"idVendor",          "idProduct",       "bConfigurationValue",
                                    "bInterfaceNumber",  "bInterfaceClass", "bInterfaceSubClass",
                                    "bInterfaceProtocol"};

bool entryNumber(const IOKitPlatform::RegistryEntry& entry, const char* key, int64_t& value)
{
    CFStringRef cfKey = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef property = entry.copyProperty(cfKey);
    CFRelease(cfKey);
    const bool isNumber = property && CFGetTypeID(property) == CFNumberGetTypeID() &&
                          CFNumberGetValue(static_cast<CFNumberRef>(property), kCFNumberSInt64Type, &value);
    if (property) {
        CFRelease(property);
    }
    return isNumber;
}

// Judged on the registry entry, so no kernel nub is made for a nub no kernel driver wants.
bool personalityFits(const OSDictionary* personality, const IOKitPlatform::RegistryEntry& entry)
{
    const auto* providerClass = OSDynamicCast(OSString, personality->getObject("IOProviderClass"));
    const std::vector<std::string>& chain = entry.classChain();
    if (!providerClass ||
        std::find(chain.begin(), chain.end(), providerClass->getCStringNoCopy()) == chain.end()) {
        return false;
    }
    for (const char* key : kUSBKeys) {
        const auto* expected = OSDynamicCast(OSNumber, personality->getObject(key));
        int64_t actual = 0;
        if (expected &&
            (!entryNumber(entry, key, actual) || uint64_t(actual) != expected->unsigned64BitValue())) {
            return false;
        }
    }
    return true;
}

void powerTree(IOService* service, unsigned long ordinal)
{
    auto set = [&] {
        const IOServicePowerRecord record = IOServiceAccess::power(service);
        if (record.fPowerDriver && !service->isInactive()) {
            record.fPowerDriver->setPowerState(ordinal, service);
        }
    };
    // Sleep reaches clients before their providers, wake the other way round.
    if (ordinal > 1) {
        set();
    }
    for (IORegistryEntry* child : IORegistryEntryAccess::copyChildren(service)) {
        if (auto* childService = OSDynamicCast(IOService, child)) {
            powerTree(childService, ordinal);
        }
        child->release();
    }
    if (ordinal <= 1) {
        set();
    }
}

// Power changes run apart from the thread that asked for them, as the system's power thread does.
void onPowerThread(const std::function<void()>& work)
{
    std::thread(work).join();
}

class KernelMatchingLayer final : public DriverKitPlatform::MatchingLayer
{
public:
    void add(const std::vector<OSDictionary*>& personalities)
    {
        std::lock_guard lock(fMutex);
        for (OSDictionary* personality : personalities) {
            personality->retain();
            fPersonalities.push_back(personality);
        }
    }

    std::vector<MatchingCandidate> candidates(const USBNub& nub) override
    {
        std::vector<OSDictionary*> fitting = fittingPersonalities(*nub.fEntry);
        IOUSBHostDevice* device = fitting.empty() ? nullptr : kernelDevice(nub);
        IOService* kernelNub = device ? nubOf(device, nub) : nullptr;
        std::vector<MatchingCandidate> candidates;
        for (OSDictionary* personality : fitting) {
            if (kernelNub) {
                probe(personality, kernelNub, candidates);
            }
            personality->release();
        }
        OSSafeReleaseNULL(device);
        return candidates;
    }

    void deviceTerminating(const RegistryEntryRef& deviceEntry) override
    {
        IOUSBHostDevice* device = nullptr;
        {
            std::lock_guard lock(fMutex);
            auto found = fDevices.find(deviceEntry.get());
            if (found == fDevices.end()) {
                return;
            }
            device = found->second;
            fDevices.erase(found);
        }
        device->terminate();
        device->release();
    }

    void setSystemPowerState(uint32_t state) override
    {
        std::vector<IOUSBHostDevice*> devices;
        {
            std::lock_guard lock(fMutex);
            for (auto& [entry, device] : fDevices) {
                device->retain();
                devices.push_back(device);
            }
        }
        const unsigned long ordinal = state == 0 ? 1 : 2;
        onPowerThread([&] {
            for (IOUSBHostDevice* device : devices) {
                powerTree(device, ordinal);
                device->release();
            }
        });
    }

private:
    std::vector<OSDictionary*> fittingPersonalities(const IOKitPlatform::RegistryEntry& entry)
    {
        std::vector<OSDictionary*> fitting;
        std::lock_guard lock(fMutex);
        for (OSDictionary* personality : fPersonalities) {
            if (personalityFits(personality, entry)) {
                personality->retain();
                fitting.push_back(personality);
            }
        }
        return fitting;
    }

    // The kernel nub of the device, made with its interface nubs the first time; retained.
    IOUSBHostDevice* kernelDevice(const USBNub& nub)
    {
        std::lock_guard lock(fMutex);
        IOUSBHostDevice*& device = fDevices[nub.fDeviceEntry.get()];
        if (!device) {
            device = IOUSBHostAccess::createBoundDeviceNub(nub.fDevice, nub.fDeviceEntry, nub.fInterfaces);
            if (!device) {
                fDevices.erase(nub.fDeviceEntry.get());
                return nullptr;
            }
            IOServiceAccess::markPublished(device);
            for (IORegistryEntry* child : IORegistryEntryAccess::copyChildren(device)) {
                IOServiceAccess::markPublished(OSDynamicCast(IOService, child));
                child->release();
            }
        }
        device->retain();
        return device;
    }

    static IOService* nubOf(IOUSBHostDevice* device, const USBNub& nub)
    {
        if (nub.fInterfaceNumber < 0) {
            return device;
        }
        IOService* found = nullptr;
        for (IORegistryEntry* child : IORegistryEntryAccess::copyChildren(device)) {
            if (IORegistryEntryAccess::platformEntry(child) == nub.fEntry) {
                found = OSDynamicCast(IOService, child);
            }
            child->release();
        }
        return found;
    }

    // An instance of the personality's class, attached and probed; a candidate unless probe refused.
    static void probe(OSDictionary* personality, IOService* nub, std::vector<MatchingCandidate>& candidates)
    {
        const auto* className = OSDynamicCast(OSString, personality->getObject("IOClass"));
        const OSMetaClass* metaClass =
            className ? OSMetaClass::getMetaClassWithName(className->getCStringNoCopy()) : nullptr;
        OSObject* object = metaClass ? metaClass->alloc() : nullptr;
        auto* driver = OSDynamicCast(IOService, object);
        if (!driver) {
            OSSafeReleaseNULL(object);
            return;
        }
        if (!driver->init(personality) || !driver->attach(nub)) {
            driver->release();
            return;
        }
        const auto* score = OSDynamicCast(OSNumber, personality->getObject("IOProbeScore"));
        SInt32 probeScore = score ? SInt32(score->unsigned32BitValue()) : 0;
        if (!driver->probe(nub, &probeScore)) {
            driver->detach(nub);
            driver->release();
            return;
        }
        candidates.push_back({probeScore,
                              [driver, nub] {
                                  // A reset the start asks for waits until the start and a failed
                                  // instance's termination are over.
                                  IOUSBHostDeferredResets resets;
                                  const bool started = driver->start(nub);
                                  if (!started) {
                                      driver->terminate();
                                  }
                                  driver->release();
                                  return started;
                              },
                              [driver, nub] {
                                  driver->detach(nub);
                                  driver->release();
                              }});
    }

    std::mutex fMutex;
    std::vector<OSDictionary*> fPersonalities;
    std::map<const IOKitPlatform::RegistryEntry*, IOUSBHostDevice*> fDevices;
};

KernelMatchingLayer& layer()
{
    static KernelMatchingLayer* instance = [] {
        auto* created = new KernelMatchingLayer;
        DriverKitPlatform::addMatchingLayer(created);
        return created;
    }();
    return *instance;
}

} // namespace

void addPersonalities(const std::vector<OSDictionary*>& personalities)
{
    layer().add(personalities);
    DriverKitPlatform::matchAgain();
}

void setPowerState(IOService* service, unsigned long ordinal)
{
    onPowerThread([&] {
        const IOServicePowerRecord record = IOServiceAccess::power(service);
        if (record.fPowerDriver) {
            record.fPowerDriver->setPowerState(ordinal, service);
        }
    });
}

} // namespace KernelIOKitPlatform
