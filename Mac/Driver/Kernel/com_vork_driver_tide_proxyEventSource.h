#pragma once

// Runs an owner's action on a work loop's thread, once per signal: the stream hands its snapshot
// and re-queue work to its loops this way.

#include <IOKit/IOEventSource.h>

#include <atomic>

class com_vork_driver_tide_proxyEventSource : public IOEventSource
{
    OSDeclareDefaultStructors(com_vork_driver_tide_proxyEventSource)

        public : typedef void (*ProxyAction)(OSObject* owner, IOWorkLoop* workLoop);

    static com_vork_driver_tide_proxyEventSource* proxyEventSource(OSObject* owner, ProxyAction action);

    // Asks for one run of the action.
    void signal();

protected:
    bool checkForWork() override;

private:
    ProxyAction fProxyAction = nullptr;
    std::atomic<bool> fSignalled{false};
};
