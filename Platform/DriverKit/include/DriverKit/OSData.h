#pragma once

#include <DriverKit/OSObject.h>

#include <vector>

// A growable run of bytes.
class OSData : public OSObject
{
public:
    static OSData* withBytes(const void* bytes, size_t length);
    static OSData* withCapacity(uint32_t capacity);

    bool appendBytes(const void* bytes, size_t length);
    const void* getBytesNoCopy() const;
    size_t getLength() const;

private:
    std::vector<uint8_t> fBytes;
};
