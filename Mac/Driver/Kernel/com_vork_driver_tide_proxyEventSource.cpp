#include "com_vork_driver_tide_proxyEventSource.h"

OSDefineMetaClassAndStructors(com_vork_driver_tide_proxyEventSource, IOEventSource)

    com_vork_driver_tide_proxyEventSource* com_vork_driver_tide_proxyEventSource::proxyEventSource(
        OSObject* owner, ProxyAction action)
{
    auto* source = new com_vork_driver_tide_proxyEventSource;
    if (!action || !source->init(owner)) {
        source->release();
        return nullptr;
    }
    source->fProxyAction = action;
    return source;
}

void com_vork_driver_tide_proxyEventSource::signal()
{
    fSignalled.store(true, std::memory_order_release);
    signalWorkAvailable();
}

bool com_vork_driver_tide_proxyEventSource::checkForWork()
{
    if (fSignalled.exchange(false, std::memory_order_acq_rel)) {
        fProxyAction(getOwner(), getWorkLoop());
    }
    return false;
}
