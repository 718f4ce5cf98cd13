#pragma once

// Runs a callback on a queue once per signal, without allocating.

#include <DriverKit/IODispatchQueue.h>

class com_vork_driver_tide_proxyEventSource : public OSObject
{
public:
    using Callback = void (*)(OSObject* object, IODispatchQueue* queue);

    // None of the three is retained; all must be set.
    static com_vork_driver_tide_proxyEventSource* proxyEventSource(OSObject* object, Callback proc,
                                                                   IODispatchQueue* queue);

    void signalWorkAvailable();

private:
    OSObject* fObject = nullptr;
    Callback fCallback = nullptr;
    IODispatchQueue* fQueue = nullptr;
};
