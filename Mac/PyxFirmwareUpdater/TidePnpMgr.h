#pragma once

// The second plug-and-play provider, for devices reached through the audio driver. This program
// never makes such a device, so it reports none.

#include <Observer.h>

#include <cstdint>
#include <memory>
#include <set>

class TideDevice
{};

class TidePnpListener : public vork::Dependent<TidePnpListener>
{
public:
    virtual void tide_deviceAdded(std::shared_ptr<TideDevice> device) = 0;
    virtual void tide_deviceRemoved(std::shared_ptr<TideDevice> device) = 0;
};

class TidePnpMgr : public vork::Provider<TidePnpListener>
{
public:
    explicit TidePnpMgr(std::set<uint16_t> productIDs) : fProductIDs(std::move(productIDs)) {}

    void addListener(TidePnpListener* listener) { AddDependentImpl(listener); }

private:
    std::set<uint16_t> fProductIDs;
};
