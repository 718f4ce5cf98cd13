#pragma once

// The streaming interfaces' service: it takes part in power management and nothing else.

#include "com_vork_driver_tide_base_interface.h"

class com_vork_driver_tide_stream_interface : public com_vork_driver_tide_base_interface
{
    OSDeclareDefaultStructors(com_vork_driver_tide_stream_interface)
};
