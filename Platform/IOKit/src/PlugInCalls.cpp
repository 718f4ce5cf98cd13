#include "Handles.h"
#include "USBDeviceInterface.h"
#include "USBDevices.h"
#include "USBInterfaceInterface.h"

#include <IOKit/platform/Registry.h>

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore)
{
    if (theInterface == nullptr || theScore == nullptr) {
        return kIOReturnBadArgument;
    }
    *theInterface = nullptr;
    *theScore = 0;
    const bool deviceType = CFEqual(pluginType, kIOUSBDeviceUserClientTypeID);
    const bool interfaceKind = CFEqual(pluginType, kIOUSBInterfaceUserClientTypeID);
    if ((!deviceType && !interfaceKind) || !CFEqual(interfaceType, kIOCFPlugInInterfaceID)) {
        return kIOReturnUnsupported;
    }
    std::shared_ptr<IOKitPlatform::RegistryEntry> entry = IOKit::findEntry(service);
    if (!entry) {
        return kIOReturnBadArgument;
    }
    std::shared_ptr<SimUSB::HostDevice> device = IOKit::USBDevices::deviceBehind(*entry);
    if (!device) {
        return kIOReturnNoDevice;
    }
    if (const kern_return_t refused = IOKit::USBDevices::shared().plugInCreationResult(device->port())) {
        return refused;
    }
    if (interfaceKind) {
        *theInterface = IOKit::createUSBInterfacePlugIn(std::move(device), *entry);
        return *theInterface != nullptr ? KERN_SUCCESS : kIOReturnUnsupported;
    }
    *theInterface = IOKit::createUSBDevicePlugIn(std::move(device), std::move(entry));
    return KERN_SUCCESS;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface)
{
    if (interface == nullptr) {
        return kIOReturnBadArgument;
    }
    (*interface)->Release(interface);
    return KERN_SUCCESS;
}
