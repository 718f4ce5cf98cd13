#pragma once

// One view of a user-client argument, whatever form it came in: a data object, an array of 64-bit
// scalars, or a memory descriptor mapped into the driver.

#include <DriverKit/IOMemoryDescriptor.h>
#include <DriverKit/OSData.h>

class com_vork_driver_tide_userBuffer : public OSObject
{
public:
    static com_vork_driver_tide_userBuffer* NewUserBuffer(OSData* data);
    static com_vork_driver_tide_userBuffer* NewUserBuffer(uint64_t* scalars, uint32_t count);
    // A null descriptor gives a view that refuses every copy.
    static com_vork_driver_tide_userBuffer* NewUserBuffer(IOMemoryDescriptor* descriptor);

    void free() override;

    uint8_t* getBytes() const;
    // Appends to a data object; otherwise writes at the address, and only what fits.
    bool copyOutData(const void* bytes, uint64_t length);

private:
    enum Kind : uint32_t
    {
        kData = 0,
        kScalars = 1,
        kDescriptor = 2,
    };

    static com_vork_driver_tide_userBuffer* make(Kind kind);

    Kind fKind = kData;
    OSData* fData = nullptr;
    uint8_t* fAddress = nullptr;
    IOMemoryDescriptor* fDescriptor = nullptr;
    IOMemoryMap* fMapping = nullptr;
    uint64_t fLength = 0;
    bool fValid = false;
};
