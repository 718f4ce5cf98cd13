#pragma once

// Writes input packets into the scripted driver's input ring as the controller would, one
// microframe after another from block 1 (the drivers skip block 0), with or without streaming
// headers. Frame g, channel c carries the 24-bit sample (g mod 2^16) << 8 | c, so no frame starts
// with the stale pattern.

#include "KorvanRequestRing.h"

#include <cmath>
#include <cstring>

namespace DeviceTesting {

class ScriptedInput
{
public:
    ScriptedInput(KorvanDeviceIO::USBRequestBlock* ring, uint32_t stride, uint32_t channels,
                  uint32_t bytesPerSample, bool headers, std::size_t firstBlock = 1, uint64_t firstFrame = 0)
        : fChannels(channels), fBytesPerSample(bytesPerSample), fHeaders(headers), fFramesSent(firstFrame)
    {
        fPosition = {ring, ring + firstBlock, 0, stride};
    }

    static int32_t Sample(uint64_t frame, uint32_t channel)
    {
        return int32_t((uint32_t(frame & 0xFFFF) << 8 | channel) << 8);
    }

    static float Expected(uint64_t frame, uint32_t channel)
    {
        return float(Sample(frame, channel)) * std::ldexp(1.0f, -31);
    }

    // The next microframe carries `frames` frames; its header's running total is `jump` off.
    void Write(uint32_t frames, uint32_t jump = 0)
    {
        uint8_t* packet = fPosition.packet();
        uint8_t* samples = packet + (fHeaders ? KorvanDeviceIO::kIsocPacketHeaderBytes : 0);
        for (uint32_t frame = 0; frame < frames; ++frame) {
            for (uint32_t channel = 0; channel < fChannels; ++channel) {
                const int32_t sample = Sample(fFramesSent + frame, channel);
                uint8_t bytes[4];
                std::memcpy(bytes, &sample, 4);
                // The plug-in reads the ring while it is written; byte stores keep that defined.
                for (uint32_t byte = 0; byte < fBytesPerSample; ++byte) {
                    __atomic_store_n(samples + byte, bytes[4 - fBytesPerSample + byte], __ATOMIC_RELAXED);
                }
                samples += fBytesPerSample;
            }
        }
        fFramesSent += frames;
        if (fHeaders) {
            KorvanDeviceIO::WritePacketHeader(packet, {uint32_t(fFramesSent + jump), uint8_t(frames)});
        }
        fPosition = fPosition.next();
    }

    // The next microframes never arrive: nothing is written, the device's count goes on.
    void Lose(uint32_t packets, uint32_t framesEach)
    {
        for (uint32_t packet = 0; packet < packets; ++packet) {
            fFramesSent += framesEach;
            fPosition = fPosition.next();
        }
    }

    uint64_t FramesSent() const { return fFramesSent; }
    const KorvanDeviceIO::USBRequestIter& Position() const { return fPosition; }

private:
    uint32_t fChannels;
    uint32_t fBytesPerSample;
    bool fHeaders;
    KorvanDeviceIO::USBRequestIter fPosition;
    uint64_t fFramesSent;
};

} // namespace DeviceTesting
