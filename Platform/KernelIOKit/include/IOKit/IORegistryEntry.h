#pragma once

// A kernel object in the registry: its properties are read in user space with
// IORegistryEntryCreateCFProperty at any time, and it has one parent and its children in the
// service plane.

#include <IOKit/IOKernelTypes.h>
#include <libkern/c++/OSDictionary.h>
#include <libkern/c++/OSIterator.h>

inline namespace kernel {

// The registry's planes; the service plane is the only one.
struct IORegistryPlane;
extern const IORegistryPlane* const gIOServicePlane;

struct IORegistryEntryState;

class IORegistryEntry : public OSObject
{
    OSDeclareDefaultStructors(IORegistryEntry)

        public :
        // Joins the registry with a copy of the dictionary's entries as properties.
        virtual bool init(OSDictionary* dictionary = nullptr);
    void free() override;

    // The property, not retained; it stays valid while the property is not replaced.
    OSObject* getProperty(const char* key) const;
    bool setProperty(const char* key, const char* value);
    bool setProperty(const char* key, OSObject* value);
    bool setProperty(const char* key, unsigned long long value, unsigned int numberOfBits);
    bool setProperty(const char* key, bool value);
    void removeProperty(const char* key);

    const char* getName(const IORegistryPlane* plane = nullptr) const;
    IORegistryEntry* getParentEntry(const IORegistryPlane* plane) const;
    // The children in attach order, held by the iterator.
    OSIterator* getChildIterator(const IORegistryPlane* plane) const;

protected:
    // The child holds its parent and the parent its child until they are detached.
    bool attachToParent(IORegistryEntry* parent, const IORegistryPlane* plane);
    void detachFromParent(IORegistryEntry* parent, const IORegistryPlane* plane);

private:
    using OSObject::init;

    friend struct IORegistryEntryAccess;
    IORegistryEntryState* fRegistryState = nullptr;
};

} // namespace kernel
