#pragma once

// A growable run of bytes.

#include <libkern/c++/OSObject.h>

#include <vector>

inline namespace kernel {

class OSData : public OSObject
{
    OSDeclareDefaultStructors(OSData)

        public : static OSData* withBytes(const void* bytes, unsigned int length);
    static OSData* withCapacity(unsigned int capacity);

    virtual bool initWithBytes(const void* bytes, unsigned int length);
    bool appendBytes(const void* bytes, unsigned int length);
    const void* getBytesNoCopy() const { return fBytes.empty() ? nullptr : fBytes.data(); }
    unsigned int getLength() const { return static_cast<unsigned int>(fBytes.size()); }

private:
    std::vector<uint8_t> fBytes;
};

} // namespace kernel
