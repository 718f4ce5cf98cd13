#include <libkern/c++/OSArray.h>

OSDefineMetaClassAndStructors(OSArray, OSCollection)
#define super OSCollection

    OSArray* OSArray::withCapacity(unsigned int capacity)
{
    auto* array = new OSArray;
    if (!array->init()) {
        array->release();
        return nullptr;
    }
    array->fObjects.reserve(capacity);
    return array;
}

bool OSArray::setObject(const OSObject* object)
{
    if (!object) {
        return false;
    }
    object->retain();
    fObjects.push_back(const_cast<OSObject*>(object));
    return true;
}

OSObject* OSArray::getObject(unsigned int index) const
{
    return index < fObjects.size() ? fObjects[index] : nullptr;
}

void OSArray::removeObject(unsigned int index)
{
    if (index < fObjects.size()) {
        OSObject* object = fObjects[index];
        fObjects.erase(fObjects.begin() + index);
        object->release();
    }
}

void OSArray::free()
{
    for (OSObject* object : fObjects) {
        object->release();
    }
    fObjects.clear();
    super::free();
}
