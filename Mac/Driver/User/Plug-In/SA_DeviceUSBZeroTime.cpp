#include "SA_DeviceUSB.h"

#include <mach/mach_time.h>

using namespace KorvanDeviceIO;

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
            const double offset = double(target - start) * 1e9 / double(fSampleRate.load());
            FilterZHT(following.fHostTime + UInt64(offset), *fLog);
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
