#pragma once

// The plug-and-play manager of the USB thread: finds the devices of its matching list, opens them
// and tells its listeners, on the USB thread, which devices are present.

#include <USBDeviceMac.h>
#include <USBMatchingInfo.h>

#include <Observer.h>
#include <RunLoopDispatcher.h>

#include <functional>
#include <memory>
#include <vector>

class PnpListener : public vork::Dependent<PnpListener>
{
public:
    virtual void pnpDeviceRemoved(std::shared_ptr<USBDevice> device) = 0;
    virtual void pnpDeviceAdded(std::shared_ptr<USBDevice> device) = 0;
};

class PnpManager : public vork::Provider<PnpListener>
{
public:
    using USBDispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;

    // Must run on the USB thread.
    explicit PnpManager(const std::vector<USBMatchingInfo>& matching);
    ~PnpManager() override;

    std::vector<std::shared_ptr<USBDevice>> getDevices() const;
    USBDispatcher& get_usbDispatcher();
    static std::shared_ptr<USBDevice> construct_usbDevice();

    void addListener(PnpListener* listener) { AddDependentImpl(listener); }
    void removeListener(PnpListener* listener) { RemoveDependentImpl(listener); }

private:
    class Impl;
    std::unique_ptr<Impl> fImpl;
};
