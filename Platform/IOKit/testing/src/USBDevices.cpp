#include <IOKitTesting/USBDevices.h>

#include "Handles.h"
#include "USBDevices.h"

namespace IOKitTesting {

const char* nameOf(CompletionOrder order)
{
    return order == CompletionOrder::BeforeTerminate ? "CompletionsFirst" : "TerminateFirst";
}

USBDeviceScript::USBDeviceScript()
{
    IOKit::USBDevices::shared().resetHooks();
}

USBDeviceScript::~USBDeviceScript()
{
    IOKit::USBDevices::shared().resetHooks();
}

void USBDeviceScript::refusePlugInCreation(uint8_t port, kern_return_t result)
{
    IOKit::USBDevices::shared().refusePlugInCreation(port, result);
}

void USBDeviceScript::failOpen(uint8_t port, IOReturn result)
{
    IOKit::USBDevices::shared().failOpen(port, result);
}

void USBDeviceScript::setReEnumerationDelay(uint64_t ns)
{
    IOKit::USBDevices::shared().setReEnumerationDelay(ns);
}

void USBDeviceScript::setCompletionOrder(CompletionOrder order)
{
    // Matching notification ports make their sources at order 0.
    IOKit::USBDevices::shared().setCompletionSourceOrder(order == CompletionOrder::BeforeTerminate ? -1 : 1);
}

void USBDeviceScript::failConfigurationDescriptorReads(uint8_t port, int count)
{
    IOKit::USBDevices::shared().failConfigurationDescriptorReads(port, count);
}

std::vector<std::thread::id> USBDeviceScript::deviceRequestThreads(uint8_t port) const
{
    return IOKit::USBDevices::shared().deviceRequestThreads(port);
}

int USBDeviceScript::mostDeviceRequestsAtOnce(uint8_t port) const
{
    return IOKit::USBDevices::shared().mostDeviceRequestsAtOnce(port);
}

std::vector<ReEnumeration> USBDeviceScript::reEnumerations() const
{
    std::vector<ReEnumeration> records;
    for (const IOKit::USBReEnumeration& record : IOKit::USBDevices::shared().reEnumerations()) {
        records.push_back({record.fPort, record.fVendor, record.fProduct, record.fOptions});
    }
    return records;
}

std::shared_ptr<IOKitPlatform::RegistryEntry> registryEntry(io_object_t handle)
{
    return IOKit::findEntry(handle);
}

} // namespace IOKitTesting
