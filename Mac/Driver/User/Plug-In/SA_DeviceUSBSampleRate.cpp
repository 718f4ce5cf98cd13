#include "SA_DeviceUSB.h"

#include "USBClockControl.h"

bool SA_DeviceUSB::CanSetSampleRate()
{
    return fClient && ::CanSetSampleRate(*fClient, fConfigDescriptors);
}

void SA_DeviceUSB::SetDeviceSampleRate(UInt32 rate)
{
    if (fClient) {
        ::SetDeviceSampleRate(*fClient, fConfigDescriptors, rate);
    }
}

UInt32 SA_DeviceUSB::GetDeviceSampleRate()
{
    bool valid = false;
    const UInt32 rate =
        fClient ? ::GetDeviceSampleRate(*fClient, fConfigDescriptors, valid) : kFallbackSampleRate;
    fRateValid = valid;
    return rate;
}
