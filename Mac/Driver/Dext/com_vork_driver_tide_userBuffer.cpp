#include "com_vork_driver_tide_userBuffer.h"

#include "DextReport.h"

#include <DriverKit/OSMetaClass.h>
#include <cstring>

OSDefineMetaClassAndStructors(com_vork_driver_tide_userBuffer, OSObject);

com_vork_driver_tide_userBuffer* com_vork_driver_tide_userBuffer::make(Kind kind)
{
    auto* buffer = new com_vork_driver_tide_userBuffer;
    if (!buffer->init()) {
        buffer->release();
        return nullptr;
    }
    buffer->fKind = kind;
    return buffer;
}

com_vork_driver_tide_userBuffer* com_vork_driver_tide_userBuffer::NewUserBuffer(OSData* data)
{
    if (data == nullptr) {
        return nullptr;
    }
    com_vork_driver_tide_userBuffer* buffer = make(kData);
    if (buffer != nullptr) {
        data->retain();
        buffer->fData = data;
        buffer->fValid = true;
    }
    return buffer;
}

com_vork_driver_tide_userBuffer* com_vork_driver_tide_userBuffer::NewUserBuffer(uint64_t* scalars,
                                                                                uint32_t count)
{
    com_vork_driver_tide_userBuffer* buffer = make(kScalars);
    if (buffer != nullptr) {
        buffer->fAddress = reinterpret_cast<uint8_t*>(scalars);
        buffer->fLength = uint64_t(count) * sizeof(uint64_t);
        buffer->fValid = true;
    }
    return buffer;
}

com_vork_driver_tide_userBuffer*
com_vork_driver_tide_userBuffer::NewUserBuffer(IOMemoryDescriptor* descriptor)
{
    com_vork_driver_tide_userBuffer* buffer = make(kDescriptor);
    if (buffer == nullptr || descriptor == nullptr) {
        return buffer;
    }
    IOMemoryMap* mapping = nullptr;
    if (descriptor->CreateMapping(0, 0, 0, 0, 0, &mapping) != kIOReturnSuccess || mapping == nullptr ||
        mapping->GetAddress() == 0) {
        OSSafeReleaseNULL(mapping);
        buffer->release();
        return nullptr;
    }
    descriptor->retain();
    buffer->fDescriptor = descriptor;
    buffer->fMapping = mapping;
    buffer->fAddress = reinterpret_cast<uint8_t*>(mapping->GetAddress());
    buffer->fLength = mapping->GetLength();
    buffer->fValid = true;
    return buffer;
}

void com_vork_driver_tide_userBuffer::free()
{
    OSSafeReleaseNULL(fMapping);
    OSSafeReleaseNULL(fDescriptor);
    OSSafeReleaseNULL(fData);
    OSObject::free();
}

uint8_t* com_vork_driver_tide_userBuffer::getBytes() const
{
    if (!fValid) {
        return nullptr;
    }
    switch (fKind) {
    case kData:
        return static_cast<uint8_t*>(const_cast<void*>(fData->getBytesNoCopy()));
    case kScalars:
    case kDescriptor:
        return fAddress;
    }
    DextLog("What buffer type is this?");
    return nullptr;
}

bool com_vork_driver_tide_userBuffer::copyOutData(const void* bytes, uint64_t length)
{
    if (!fValid) {
        return false;
    }
    switch (fKind) {
    case kData:
        return fData->appendBytes(bytes, length);
    case kScalars:
    case kDescriptor:
        if (length > fLength) {
            return false;
        }
        std::memcpy(fAddress, bytes, length);
        return true;
    }
    DextLog("What buffer type is this?");
    return false;
}
