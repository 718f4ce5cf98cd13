#pragma once

// The service on each audio-streaming interface. It opens nothing, so the control service's USB
// provider can open the interface when audio starts; it only takes part in matching and power.

#include "com_vork_driver_tide_base_interface.h"

class com_vork_driver_tide_stream_interface : public com_vork_driver_tide_base_interface
{
public:
    void free() override;
    kern_return_t Start(IOService* provider) override;
    kern_return_t Stop(IOService* provider) override;
};
