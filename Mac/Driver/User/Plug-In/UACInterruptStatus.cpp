#include "UACInterruptStatus.h"

#include "Log.h"
#include "USBDescriptorWalk.h"

#include <atomic>

namespace {

constexpr uint32_t kMessageBytes = 6;
constexpr uint8_t kVendorMessage = 0x01;
constexpr uint8_t kEndpointOriginated = 0x02;
constexpr uint8_t kAttributeCur = 1;
constexpr uint8_t kClockSourceSubtype = 0x0A;
constexpr uint8_t kClockSelectorSubtype = 0x0B;

std::atomic<bool> gVendorMessageLogged{false};

} // namespace

bool IsClockChangeMessage(const uint8_t* data, uint32_t length,
                          const KorvanDeviceIO::USBDescriptors* descriptors)
{
    TIDE_LOG(Log::Info, "SA_DeviceUSB::UACReadComplete\n");
    if (length != kMessageBytes) {
        TIDE_LOG(Log::Info, "Unknown UAC interrupt read %d bytes\n", int(length));
        return false;
    }
    if ((data[0] & kVendorMessage) != 0) {
        if (!gVendorMessageLogged.exchange(true)) {
            TIDE_LOG(Log::Info, "GOT UNEXPECTED VENDOR MSG %02x, %02x, %02x, %02x, %02x, %02x\n", data[0],
                     data[1], data[2], data[3], data[4], data[5]);
        }
        return false;
    }
    if ((data[0] & kEndpointOriginated) != 0) {
        return false;
    }
    TIDE_LOG(Log::Info, "UAC Interrupt Complete %02x, %02x, %02x, %02x, %02x, %02x\n", data[0], data[1],
             data[2], data[3], data[4], data[5]);
    if (data[1] != kAttributeCur || descriptors == nullptr) {
        return false;
    }
    const uint8_t* entity =
        USBDescriptorWalk::FindEntity(descriptors->fData, USBDescriptorWalk::End(*descriptors), data[5]);
    return entity != nullptr && (entity[2] == kClockSourceSubtype || entity[2] == kClockSelectorSubtype);
}
