#include <libkern/c++/OSIterator.h>

OSDefineMetaClassAndAbstractStructors(OSIterator, OSObject)
    OSDefineMetaClassAndStructors(OSCollectionIterator, OSIterator)
#define super OSIterator

        OSCollectionIterator* OSCollectionIterator::withCollection(const OSCollection* collection)
{
    if (!collection) {
        return nullptr;
    }
    auto* iterator = new OSCollectionIterator;
    collection->retain();
    iterator->fCollection = collection;
    return iterator;
}

OSObject* OSCollectionIterator::getNextObject()
{
    if (fNext >= fCollection->getCount()) {
        return nullptr;
    }
    return fCollection->getIterationObject(fNext++);
}

void OSCollectionIterator::free()
{
    OSSafeReleaseNULL(fCollection);
    super::free();
}
