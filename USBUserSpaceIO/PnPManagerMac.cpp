#include <PnPManagerMac.h>

#include <USBDiscoveryMac.h>

#include <algorithm>

class PnpManager::Impl final : public USBDiscoveryMac::Client
{
public:
    Impl(PnpManager& manager, const std::vector<USBMatchingInfo>& matching)
        : fManager(manager), fDispatcher([](const std::function<void()>& message) { message(); }),
          fDiscovery(std::make_unique<USBDiscoveryMac>(*this, matching))
    {}
    ~Impl()
    {
        fDiscovery.reset();
        fDispatcher.stop();
    }

    std::shared_ptr<USBDevice> DeviceConnected(unsigned int service) override
    {
        std::shared_ptr<USBDevice> device = construct_usbDevice();
        device->setImpl(std::make_unique<USBDevice::Impl>(fDispatcher, service));
        return device;
    }
    void DeviceOpened(std::shared_ptr<USBDevice> device) override
    {
        fDevices.push_back(device);
        vork::BroadcastMessage(static_cast<vork::Provider<PnpListener>*>(&fManager),
                               &PnpListener::pnpDeviceAdded, device);
    }
    void DeviceRemoved(std::shared_ptr<USBDevice> device) override
    {
        const auto found = std::find(fDevices.begin(), fDevices.end(), device);
        if (found == fDevices.end())
            return;
        fDevices.erase(found);
        vork::BroadcastMessage(static_cast<vork::Provider<PnpListener>*>(&fManager),
                               &PnpListener::pnpDeviceRemoved, device);
    }

    PnpManager& fManager;
    USBDispatcher fDispatcher;
    std::unique_ptr<USBDiscoveryMac> fDiscovery;
    std::vector<std::shared_ptr<USBDevice>> fDevices;
};

PnpManager::PnpManager(const std::vector<USBMatchingInfo>& matching)
    : fImpl(std::make_unique<Impl>(*this, matching))
{}

PnpManager::~PnpManager()
{
    fImpl.reset();
}

std::vector<std::shared_ptr<USBDevice>> PnpManager::getDevices() const
{
    return fImpl->fDevices;
}

PnpManager::USBDispatcher& PnpManager::get_usbDispatcher()
{
    return fImpl->fDispatcher;
}

std::shared_ptr<USBDevice> PnpManager::construct_usbDevice()
{
    return std::make_shared<USBDevice>();
}
