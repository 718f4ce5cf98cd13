#pragma once

// Walks objects one at a time; null after the last.

#include <libkern/c++/OSCollection.h>

inline namespace kernel {

class OSIterator : public OSObject
{
    OSDeclareAbstractStructors(OSIterator)

        public : virtual OSObject* getNextObject() = 0;
    virtual void reset() = 0;
};

// Walks a collection, which it holds.
class OSCollectionIterator : public OSIterator
{
    OSDeclareDefaultStructors(OSCollectionIterator)

        public : static OSCollectionIterator* withCollection(const OSCollection* collection);

    OSObject* getNextObject() override;
    void reset() override { fNext = 0; }

    void free() override;

private:
    const OSCollection* fCollection = nullptr;
    unsigned int fNext = 0;
};

} // namespace kernel
