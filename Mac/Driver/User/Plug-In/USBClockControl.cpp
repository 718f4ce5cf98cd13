#include "USBClockControl.h"

#include "KorvanServiceClient.h"
#include "Log.h"
#include "USBDescriptorWalk.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace USBDescriptorWalk;

constexpr uint8_t kClockSourceSubtype = 0x0A;
constexpr uint8_t kClockSelectorSubtype = 0x0B;
constexpr uint8_t kClockSelectorControl = 0x01;
constexpr uint8_t kSamplingFrequencyControl = 0x01;
constexpr uint8_t kFrequencyReadable = 0x01;
constexpr uint8_t kFrequencyProgrammable = 0x03;
constexpr int kRateReadTries = 3;
constexpr uint64_t kRateRetryNanoseconds = 10000000;

const uint32_t kSupportedRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

const uint8_t* ClockSourceOf(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors)
{
    return GetCurrentClockSourceDesc(client, descriptors.fData, End(descriptors));
}

bool HasFrequencyControls(const uint8_t* clockSource, uint8_t controls)
{
    return clockSource != nullptr && clockSource[0] > 5 && (clockSource[5] & controls) == controls;
}

bool ReadRate(KorvanServiceClient& client, const uint8_t* clockSource, uint32_t& rate)
{
    uint8_t bytes[4] = {};
    if (SendAudioClassRequest(client, false, kSamplingFrequencyControl, clockSource[3], bytes,
                              sizeof(bytes)) != int(sizeof(bytes))) {
        return false;
    }
    rate = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    return IsSupportedSampleRate(rate);
}

} // namespace

bool IsSupportedSampleRate(double rate)
{
    return std::find(std::begin(kSupportedRates), std::end(kSupportedRates), rate) !=
           std::end(kSupportedRates);
}

int SendAudioClassRequest(KorvanServiceClient& client, bool set, uint8_t controlSelector, uint8_t entity,
                          void* data, uint8_t length)
{
    length = std::min<uint8_t>(length, KorvanDeviceIO::kControlDataBytes);
    KorvanDeviceIO::USBUACControlRequest request{};
    request.fSet = set ? 1 : 0;
    request.fControlSelector = controlSelector;
    request.fEntityID = entity;
    request.fLength = length;
    if (set) {
        std::memcpy(request.fData, data, length);
    }
    KorvanDeviceIO::USBControlResponse response{};
    TIDE_LOG(Log::Info, "SendAudioClassRequest %s %02x, %02x %d bytes\n", set ? "set" : "get",
             unsigned(controlSelector), unsigned(entity), int(length));
    if (!client.SendUACControlRequest(&request, &response)) {
        TIDE_LOG(Log::Info, "SendAudioClassRequest failed");
        return 0;
    }
    if (set || response.fLength > length) {
        return 0;
    }
    std::memcpy(data, response.fData, response.fLength);
    return response.fLength;
}

const uint8_t* GetCurrentClockSourceDesc(KorvanServiceClient& client, const uint8_t* begin,
                                         const uint8_t* end)
{
    const uint8_t* selector = Find(begin, end, [](const uint8_t* descriptor) {
        return descriptor[1] == kClassSpecificInterfaceType && descriptor[0] >= 5 &&
               descriptor[2] == kClockSelectorSubtype;
    });
    if (selector == nullptr) {
        return nullptr;
    }
    uint8_t pin = 0;
    const int received = SendAudioClassRequest(client, false, kClockSelectorControl, selector[3], &pin, 1);
    TIDE_LOG(Log::Info, "Get current clock selector from %02x, length %d, clock %02x\n", selector[3],
             received, pin);
    // Pins count from 1; the source id of pin p is byte 4 + p, which must lie in the descriptor.
    if (received != 1 || pin == 0 || pin > selector[4] || 4u + pin >= selector[0]) {
        return nullptr;
    }
    const uint8_t* source = FindEntity(begin, end, selector[4 + pin]);
    return source != nullptr && source[2] == kClockSourceSubtype ? source : nullptr;
}

bool CanSetSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors)
{
    return HasFrequencyControls(ClockSourceOf(client, descriptors), kFrequencyProgrammable);
}

void SetDeviceSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors,
                         uint32_t rate)
{
    const uint8_t* source = ClockSourceOf(client, descriptors);
    if (!IsSupportedSampleRate(rate) || !HasFrequencyControls(source, kFrequencyProgrammable)) {
        TIDE_LOG(Log::Info, "NOT SETTING SAMPLE RATE\n");
        return;
    }
    uint32_t current = 0;
    if (ReadRate(client, source, current) && current == rate) {
        return;
    }
    TIDE_LOG(Log::Info, "Sending sample rate %d, entityID %08x\n", int(rate), unsigned(source[3]));
    uint8_t bytes[4] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16), uint8_t(rate >> 24)};
    SendAudioClassRequest(client, true, kSamplingFrequencyControl, source[3], bytes, sizeof(bytes));
}

uint32_t GetDeviceSampleRate(KorvanServiceClient& client, const KorvanDeviceIO::USBDescriptors& descriptors,
                             bool& valid)
{
    TIDE_LOG(Log::Info, "BEGIN READ DEVICE SAMPLE RATE\n");
    for (int attempt = 0; attempt < kRateReadTries; ++attempt) {
        const uint8_t* source = ClockSourceOf(client, descriptors);
        uint32_t rate = 0;
        if (HasFrequencyControls(source, kFrequencyReadable) && ReadRate(client, source, rate)) {
            TIDE_LOG(Log::Info, "READ DEVICE SAMPLE RATE SUCCESS\n");
            valid = true;
            return rate;
        }
        mach_wait_until(mach_absolute_time() + kRateRetryNanoseconds);
    }
    TIDE_LOG(Log::Info, "READ DEVICE SAMPLE RATE FAILED\n");
    valid = false;
    return kFallbackSampleRate;
}
