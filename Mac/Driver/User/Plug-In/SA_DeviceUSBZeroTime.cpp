#include "SA_DeviceUSB.h"

#include <mach/mach_time.h>

#include <cmath>
#include <limits>

using namespace KorvanDeviceIO;

namespace {

// 2^64, the first whole number beyond a host time.
constexpr double kHostTimeRange = 18446744073709551616.0;

// `hostTime` moved by `offset` nanoseconds, either way, and held within what a host time can be.
UInt64 OffsetHostTime(UInt64 hostTime, double offset)
{
    constexpr UInt64 kLatest = std::numeric_limits<UInt64>::max();
    const double distance = std::fabs(offset);
    if (!(distance < kHostTimeRange)) {
        return offset < 0 ? 0 : kLatest;
    }
    const UInt64 nanoseconds = UInt64(distance);
    if (offset < 0) {
        return nanoseconds < hostTime ? hostTime - nanoseconds : 0;
    }
    return nanoseconds < kLatest - hostTime ? hostTime + nanoseconds : kLatest;
}

} // namespace

void SA_DeviceUSB::UpdateZeroTimes()
{
    std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
    if (!fOutputStarted || fOutBytesPerFrame == 0) {
        return;
    }
    for (std::size_t step = 0; step < kRequestBlockCount; ++step) {
        const UInt32 next = (fZeroTimeRequestIndex + 1) % kRequestBlockCount;
        const BlockHeader current = ReadBlockHeader(fOutRequestBlocks[fZeroTimeRequestIndex]);
        const BlockHeader following = ReadBlockHeader(fOutRequestBlocks[next]);
        // The next block counts once it has been submitted again, after the current one.
        if (current.fHostTime >= following.fHostTime) {
            return;
        }
        fZeroTimeRequestIndex = next;
        const UInt64 end = following.fEndByteCount / fOutBytesPerFrame;
        const UInt64 target = fZeroSampleTime + fZeroTimeSamplePeriod;
        if (target < end) {
            const UInt64 start = following.fStartByteCount / fOutBytesPerFrame;
            popZeroTimeDelayLine();
            // After a stall longer than the ring the target lies before the block, by any distance.
            const double offset = (double(target) - double(start)) * 1e9 / double(fSampleRate.load());
            FilterZHT(OffsetHostTime(following.fHostTime, offset), *fLog);
            fZeroSampleTime = target;
        }
    }
}

void SA_DeviceUSB::popZeroTimeDelayLine()
{
    for (UInt32 entry = 0; entry + 1 < kZeroTimeDelayLineLength; ++entry) {
        fZeroTimeDelayLine[entry] = fZeroTimeDelayLine[entry + 1];
    }
    fZeroTimeDelayLine[kZeroTimeDelayLineLength - 1] = {fZeroSampleTime, fZeroHostTime};
}

void SA_DeviceUSB::GetZeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed)
{
    std::lock_guard<std::recursive_mutex> lock(fZeroTimeLock);
    UpdateZeroTimes();
    const UInt64 now = mach_absolute_time();
    seed = 1;
    if (fZeroHostTime != fLastZeroHostTime && now >= fZeroHostTime) {
        fLastZeroHostTime = fZeroHostTime;
        fLastZeroSampleTime = fZeroSampleTime;
    } else {
        for (UInt32 entry = kZeroTimeDelayLineLength; entry-- > 0;) {
            const ZeroTimeStamp& candidate = fZeroTimeDelayLine[entry];
            if (candidate.fHostTime != 0 && candidate.fHostTime > fLastZeroHostTime &&
                candidate.fHostTime <= now) {
                fLastZeroHostTime = candidate.fHostTime;
                fLastZeroSampleTime = candidate.fSampleTime;
                break;
            }
        }
    }
    sampleTime = Float64(fLastZeroSampleTime);
    hostTime = fLastZeroHostTime;
}
