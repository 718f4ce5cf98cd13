#include "SA_DeviceUSB.h"

#include "UACInterruptStatus.h"

void SA_DeviceUSB::UACReadComplete(const UInt8* data, UInt32 length)
{
    const KorvanDeviceIO::USBDescriptors* saved =
        fConfigDescriptors.fLength != 0 ? &fConfigDescriptors : nullptr;
    if (IsClockChangeMessage(data, length, saved)) {
        fClockChanged = true;
        if (fReconfigureItem) {
            fReconfigureItem->Queue();
        }
    }
}
