#pragma once

// One notification record for a client, as the plug-in reads it.

#include <DriverKit/OSData.h>

class com_vork_driver_tide_notification : public OSObject
{
public:
    // Null when `length` is above 4096 or memory runs out.
    static com_vork_driver_tide_notification* NewNotification(uint32_t type, const void* data,
                                                              uint32_t length);

    void free() override;

    size_t getSize() const;
    const uint8_t* getBytes() const;

private:
    OSData* fData = nullptr;
};
