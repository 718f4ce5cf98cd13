#include <libkern/c++/OSData.h>

OSDefineMetaClassAndStructors(OSData, OSObject)
#define super OSObject

    OSData* OSData::withBytes(const void* bytes, unsigned int length)
{
    auto* data = new OSData;
    if (!data->initWithBytes(bytes, length)) {
        data->release();
        return nullptr;
    }
    return data;
}

OSData* OSData::withCapacity(unsigned int capacity)
{
    OSData* data = withBytes(nullptr, 0);
    if (data) {
        data->fBytes.reserve(capacity);
    }
    return data;
}

bool OSData::initWithBytes(const void* bytes, unsigned int length)
{
    if ((!bytes && length > 0) || !super::init()) {
        return false;
    }
    return appendBytes(bytes, length);
}

bool OSData::appendBytes(const void* bytes, unsigned int length)
{
    if (!bytes && length > 0) {
        return false;
    }
    const auto* first = static_cast<const uint8_t*>(bytes);
    fBytes.insert(fBytes.end(), first, first + length);
    return true;
}
