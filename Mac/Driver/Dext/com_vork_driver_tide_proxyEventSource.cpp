#include "com_vork_driver_tide_proxyEventSource.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_proxyEventSource, OSObject);

com_vork_driver_tide_proxyEventSource*
com_vork_driver_tide_proxyEventSource::proxyEventSource(OSObject* object, Callback proc,
                                                        IODispatchQueue* queue)
{
    if (object == nullptr) {
        ReportBooleanError("object");
        return nullptr;
    }
    if (proc == nullptr) {
        ReportBooleanError("proc");
        return nullptr;
    }
    if (queue == nullptr) {
        ReportBooleanError("queue");
        return nullptr;
    }
    auto* source = new com_vork_driver_tide_proxyEventSource;
    if (!source->init()) {
        source->release();
        return nullptr;
    }
    source->fObject = object;
    source->fCallback = proc;
    source->fQueue = queue;
    return source;
}

void com_vork_driver_tide_proxyEventSource::signalWorkAvailable()
{
    if (fObject == nullptr || fCallback == nullptr || fQueue == nullptr) {
        return;
    }
    // Capturing only the source keeps the block within the function object's own storage.
    fQueue->DispatchAsync([source = this] { source->fCallback(source->fObject, source->fQueue); });
}
