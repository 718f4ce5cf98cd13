#include <KernelIOKitTesting/KernelIOKitTesting.h>

#include <libkern/c++/OSMetaClass.h>

namespace KernelIOKitTesting {

int32_t liveObjects(const char* className)
{
    const OSMetaClass* metaClass = OSMetaClass::getMetaClassWithName(className);
    return metaClass ? metaClass->getInstanceCount() : 0;
}

} // namespace KernelIOKitTesting
