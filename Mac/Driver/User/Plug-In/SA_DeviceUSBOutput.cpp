#include "SA_DeviceUSB.h"

#include "SampleConversion.h"

#include <mach/mach_time.h>

#include <algorithm>
#include <cmath>

using namespace KorvanDeviceIO;

void SA_DeviceUSB::WriteFrames(UInt8* destination, const float* source, UInt32 frames)
{
    const UInt32 channels = fOutNumCh;
    if (!IsConvertibleChannelCount(channels)) {
        LOG_THREAD_POST(fLog.get(), "UNSUPPORTED CHANNEL COUNT %u", unsigned(channels));
        return;
    }
    // The gains as they stand now: a volume or mute set may change them while this runs.
    float gains[kMaxChannels];
    for (UInt32 channel = 0; channel < channels; ++channel) {
        gains[channel] = fOutputGains[channel].load(std::memory_order_relaxed);
    }
    if (fBusBytesPerSample == 4) {
        WriteSamples(reinterpret_cast<SInt32*>(destination), source, frames, channels, gains);
        return;
    }
    // Through the scratch area, a piece at a time.
    const UInt32 framesPerPiece = kOutScratchSamples / channels;
    while (frames > 0) {
        const UInt32 piece = std::min(frames, framesPerPiece);
        source = WriteSamples(fOutScratch.get(), source, piece, channels, gains);
        PackSamples3(destination, fOutScratch.get(), piece * channels);
        destination += std::size_t(piece) * channels * 3;
        frames -= piece;
    }
}

void SA_DeviceUSB::WriteOutputData(AudioObjectID streamID, UInt32 frames, Float64 sampleTime,
                                   const void* buffer, UInt32 channels)
{
    if (streamID != fOutputStreamID || fOutRequestBlocks == nullptr || fOutBytesPerFrame == 0 ||
        channels == 0) {
        return;
    }
    fIOThreadChases = true;
    const auto* source = static_cast<const float*>(buffer);
    const int64_t time = std::isfinite(sampleTime) && sampleTime > 0 ? int64_t(sampleTime) : 0;

    if (fExtraInputChannels != 0 && channels >= 2) {
        const UInt64 period = fZeroTimeSamplePeriod;
        float* loopback = fLoopbackBuffer.get();
        UInt64 at = (UInt64(time) + fBufferSyncOffsetSamples) % period;
        for (UInt32 frame = 0; frame < frames; ++frame) {
            loopback[at * 2] = source[std::size_t(frame) * channels];
            loopback[at * 2 + 1] = source[std::size_t(frame) * channels + 1];
            at = (at + 1) % period;
        }
    }

    UInt64 sample = UInt64(time);
    UInt32 left = frames;
    UInt32 written = 0;
    for (std::size_t round = 0; round < kRequestBlockCount && left > 0; ++round) {
        if (sample >= fOutSampleCount && sample < fOutSampleCount + fOutRequestFrames) {
            const UInt32 count = UInt32(std::min<UInt64>(left, fOutSampleCount + fOutRequestFrames - sample));
            UInt8* destination =
                fOutRequestBlocks[fOutRequestIndex].fBuffer + (sample - fOutSampleCount) * fOutBytesPerFrame;
            WriteFrames(destination, source + std::size_t(written) * channels, count);
            written += count;
            left -= count;
            sample += count;
            if (left == 0) {
                break;
            }
        }
        const UInt32 next = (fOutRequestIndex + 1) % kRequestBlockCount;
        const BlockHeader current = ReadBlockHeader(fOutRequestBlocks[fOutRequestIndex]);
        const BlockHeader following = ReadBlockHeader(fOutRequestBlocks[next]);
        if (following.fHostTime >= current.fHostTime) {
            fOutRequestIndex = next;
            fOutSampleCount += fOutRequestFrames;
            fOutRequestFrames = BlockFrames(following);
            continue;
        }
        const UInt64 now = mach_absolute_time();
        LOG_THREAD_POST(fLog.get(), "%u, searching for %llu in %lld %lld now %lld", unsigned(left),
                        static_cast<unsigned long long>(sample), static_cast<long long>(fOutSampleCount),
                        static_cast<long long>(fOutSampleCount + fOutRequestFrames),
                        static_cast<long long>(now));
        LOG_THREAD_POST(fLog.get(), "request %d not ready dropping %u (%llu, %llu, td %lld)",
                        int(fOutRequestIndex), unsigned(left), static_cast<unsigned long long>(now),
                        static_cast<unsigned long long>(current.fHostTime),
                        static_cast<long long>(now - current.fHostTime));
        bool found = false;
        for (UInt32 block = 0; block < kRequestBlockCount; ++block) {
            const BlockHeader header = ReadBlockHeader(fOutRequestBlocks[block]);
            const UInt64 start = header.fStartByteCount / fOutBytesPerFrame;
            const UInt64 end = start + BlockFrames(header);
            if (start < end && sample >= start && sample < end) {
                LOG_THREAD_POST(
                    fLog.get(),
                    "CoreAudio fell behind, resynchronizing request %d sample %llu inrange %llu - %llu",
                    int(block), static_cast<unsigned long long>(sample),
                    static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
                fOutRequestIndex = block;
                fOutSampleCount = start;
                fOutRequestFrames = end - start;
                found = true;
                break;
            }
            LOG_THREAD_POST(fLog.get(), "Couldn't find sample %llu in request %d (range %llu - %llu)",
                            static_cast<unsigned long long>(sample), int(block),
                            static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
        }
        if (!found) {
            LOG_THREAD_POST(fLog.get(), "Couldn't find USB request block for sample time %llu",
                            static_cast<unsigned long long>(sample));
            break;
        }
    }
    if (written != frames) {
        LOG_THREAD_POST(
            fLog.get(),
            "Asked to write %u sample frames, only wrote %u sample frames (starting at sample frame time %f",
            unsigned(frames), unsigned(written), sampleTime);
    }
}
