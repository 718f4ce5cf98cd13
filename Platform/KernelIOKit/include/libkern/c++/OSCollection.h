#pragma once

// What an iterator walks: arrays give their objects, dictionaries their keys.

#include <libkern/c++/OSObject.h>

inline namespace kernel {

class OSCollection : public OSObject
{
    OSDeclareAbstractStructors(OSCollection)

        public : virtual unsigned int getCount() const = 0;
    // The object an iterator returns at `index` (below getCount()).
    virtual OSObject* getIterationObject(unsigned int index) const = 0;
};

} // namespace kernel
