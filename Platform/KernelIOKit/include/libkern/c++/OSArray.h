#pragma once

// An ordered list of objects, each held with one reference.

#include <libkern/c++/OSCollection.h>

#include <vector>

inline namespace kernel {

class OSArray : public OSCollection
{
    OSDeclareDefaultStructors(OSArray)

        public : static OSArray* withCapacity(unsigned int capacity);

    bool setObject(const OSObject* object);
    OSObject* getObject(unsigned int index) const;
    void removeObject(unsigned int index);
    unsigned int getCount() const override { return static_cast<unsigned int>(fObjects.size()); }
    OSObject* getIterationObject(unsigned int index) const override { return getObject(index); }

    void free() override;

private:
    std::vector<OSObject*> fObjects;
};

} // namespace kernel
