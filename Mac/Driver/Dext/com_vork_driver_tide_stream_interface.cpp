#include "com_vork_driver_tide_stream_interface.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_stream_interface, com_vork_driver_tide_base_interface);

void com_vork_driver_tide_stream_interface::free()
{
    DextLog("com_vork_driver_uac_stream_impl::free");
    com_vork_driver_tide_base_interface::free();
}

kern_return_t com_vork_driver_tide_stream_interface::Start(IOService* provider)
{
    const kern_return_t ret = com_vork_driver_tide_base_interface::Start(provider);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = Start(provider, ((OSDispatchMethod) &super::_Dispatch))");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_stream_interface::Stop(IOService* provider)
{
    DextLog("com_vork_driver_uac_stream_impl::Stop");
    return com_vork_driver_tide_base_interface::Stop(provider);
}
