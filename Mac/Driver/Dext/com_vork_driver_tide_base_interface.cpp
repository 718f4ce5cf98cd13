#include "com_vork_driver_tide_base_interface.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>

OSDefineMetaClassAndStructors(com_vork_driver_tide_base_interface, IOService);

struct com_vork_driver_tide_base_interface::Ivars
{
    bool sleeping;
    IODispatchQueue* fWorkLoop;
};

namespace {

constexpr const char* kDeviceQueueName = "com_vork_driver_base_device_impl dispatch queue";

template <typename Callback>
const CompletionReference<Callback>* referenceOf(OSAction* action)
{
    if (action == nullptr || action->GetReferenceSize() < sizeof(CompletionReference<Callback>)) {
        return nullptr;
    }
    return static_cast<const CompletionReference<Callback>*>(action->GetReference());
}

void CompleteAsyncIO(OSObject*, OSAction* action, IOReturn status, uint32_t actualByteCount,
                     uint64_t completionTimestamp)
{
    const auto* vars = referenceOf<AsyncIOCallback>(action);
    if (vars == nullptr || vars->callback == nullptr) {
        DextLog("No callback vars!");
        return;
    }
    vars->callback(status, actualByteCount, completionTimestamp, vars->context);
}

void CompleteAsyncIsochIO(OSObject*, OSAction* action, IOReturn status)
{
    const auto* vars = referenceOf<AsyncIsochIOCallback>(action);
    if (vars == nullptr || vars->callback == nullptr) {
        DextLog("No callback vars!");
        return;
    }
    vars->callback(status, vars->context);
}

void TimerOccurred(OSObject*, OSAction* action, uint64_t time)
{
    const auto* vars = referenceOf<TimerCallback>(action);
    if (vars == nullptr || vars->callback == nullptr) {
        DextLog("No callback vars!");
        return;
    }
    vars->callback(time, vars->context);
}

} // namespace

bool com_vork_driver_tide_base_interface::init()
{
    if (!IOService::init()) {
        return false;
    }
    ivars = static_cast<Ivars*>(IOMallocZero(sizeof(Ivars)));
    if (ivars == nullptr) {
        ReportBooleanError("ivars = IONewZero(com_vork_driver_tide_base_interface_IVars, 1)");
        return false;
    }
    return true;
}

void com_vork_driver_tide_base_interface::free()
{
    DextLog("com_vork_driver_base_device_impl::free");
    if (ivars != nullptr) {
        OSSafeReleaseNULL(ivars->fWorkLoop);
        IOFree(ivars, sizeof(Ivars));
        ivars = nullptr;
    }
    IOService::free();
}

kern_return_t com_vork_driver_tide_base_interface::Start(IOService* provider)
{
    kern_return_t ret = IOService::Start(provider);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "Start(provider, ((OSDispatchMethod) &super::_Dispatch))");
        return ret;
    }
    ret = IODispatchQueue::Create(kDeviceQueueName, 0, 0, &ivars->fWorkLoop);
    if (ret != kIOReturnSuccess) {
        ReportError(
            ret, "ret = IODispatchQueue::Create(\"com_vork_driver_base_device_impl dispatch queue\", 0, 0, "
                 "&ivars->fWorkLoop)");
        return ret;
    }
    return kIOReturnSuccess;
}

kern_return_t com_vork_driver_tide_base_interface::Stop(IOService* provider)
{
    DextLog("com_vork_driver_base_device_impl::Stop");
    if (ivars != nullptr && ivars->fWorkLoop != nullptr) {
        DextLog("Releasing the workloop");
        OSSafeReleaseNULL(ivars->fWorkLoop);
    }
    const kern_return_t ret = IOService::Stop(provider);
    if (ret != kIOReturnSuccess) {
        ReportError(ret, "ret = Stop(provider, ((OSDispatchMethod) &super::_Dispatch))");
    }
    return ret;
}

kern_return_t com_vork_driver_tide_base_interface::SetPowerState(uint32_t powerFlags)
{
    if (powerFlags == 0) {
        Sleep();
    } else if (powerFlags == 2) {
        Wake();
    }
    return IOService::SetPowerState(powerFlags);
}

void com_vork_driver_tide_base_interface::Sleep() {}

void com_vork_driver_tide_base_interface::Wake() {}

IODispatchQueue* com_vork_driver_tide_base_interface::getWorkLoop() const
{
    return ivars != nullptr ? ivars->fWorkLoop : nullptr;
}

bool com_vork_driver_tide_base_interface::isSleeping() const
{
    return ivars != nullptr && ivars->sleeping;
}

void com_vork_driver_tide_base_interface::setSleeping(bool sleeping)
{
    if (ivars != nullptr) {
        ivars->sleeping = sleeping;
    }
}

kern_return_t
com_vork_driver_tide_base_interface::CreateActionIOUSBHostPipe_CompleteAsyncIO(size_t referenceSize,
                                                                               OSAction** action)
{
    return OSAction::Create(this, kUSBWorkQueueName, referenceSize, CompleteAsyncIO, action);
}

kern_return_t
com_vork_driver_tide_base_interface::CreateActionIOUSBHostPipe_CompleteAsyncIsochIO(size_t referenceSize,
                                                                                    OSAction** action)
{
    return OSAction::Create(this, kUSBWorkQueueName, referenceSize, CompleteAsyncIsochIO, action);
}

kern_return_t
com_vork_driver_tide_base_interface::CreateActionUSBTimerDispatchSource_TimerOccurred(size_t referenceSize,
                                                                                      OSAction** action)
{
    return OSAction::Create(this, kUSBWorkQueueName, referenceSize, TimerOccurred, action);
}
