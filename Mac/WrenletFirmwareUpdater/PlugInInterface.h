#pragma once

// Asks a service's user-space plug-in of `type` for its `iid` interface; null when either refuses.

#include <IOKit/IOCFPlugIn.h>

template <typename Interface>
Interface** QueryPlugIn(io_service_t service, CFUUIDRef type, CFUUIDRef iid)
{
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    if (IOCreatePlugInInterfaceForService(service, type, kIOCFPlugInInterfaceID, &plugIn, &score) !=
            KERN_SUCCESS ||
        plugIn == nullptr) {
        return nullptr;
    }
    Interface** interface = nullptr;
    if ((*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(iid), reinterpret_cast<LPVOID*>(&interface)) !=
        S_OK) {
        interface = nullptr;
    }
    IODestroyPlugInInterface(plugIn);
    return interface;
}
