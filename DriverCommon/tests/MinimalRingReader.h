#pragma once

// Plays the plug-in's side of a pair of request rings, as little of it as a driver's tests need: it
// chases the input ring on record 0 with the shared chaser, consuming each packet once the one after
// it has arrived and repairing dropped stretches, and reads the output ring's block headers.

#include "KorvanChaseRoutinesMac.h"

#include <atomic>

class MinimalRingReader
{
public:
    MinimalRingReader(KorvanDeviceIO::USBRequestBlock* input, const KorvanDeviceIO::USBRequestBlock* output,
                      uint32_t maxPacketSize, uint32_t bytesPerFrame, uint8_t headerVersion)
        : fOutput(output), fBytesPerFrame(bytesPerFrame),
          fChaser(maxPacketSize, bytesPerFrame, true, headerVersion, &fNoLog), fPosition{input, input, 0,
                                                                                         maxPacketSize}
    {}

    // Consumes every packet that can be consumed now; the number consumed.
    uint64_t chase()
    {
        using namespace KorvanDeviceIO;
        uint64_t consumed = 0;
        for (;;) {
            const USBRequestIter next = fPosition.next();
            if (IsPacketFresh(next, Driver::CoreAudio, true)) {
                const IsocPacketHeader header = ReadPacketHeader(fPosition.packet());
                fFrames = header.totalNumSampleFramesSent;
                StorePacketLength(fPosition, Driver::CoreAudio,
                                  header.numSampleFramesThisPacket * fBytesPerFrame + kIsocPacketHeaderBytes);
                ConsumePacket(fPosition, Driver::CoreAudio, true);
                fPosition = next;
                ++consumed;
                continue;
            }
            USBRequestIter nextGood;
            int count = 0;
            int64_t dropped = 0;
            if (fFrames < 1 || !fChaser.didIsocInGetDropped(next, 9, nextGood, count) ||
                !fChaser.SettleDroppedStretch(next, 9, nextGood, count) ||
                !fChaser.handleDroppedIsoc([](const uint8_t*, uint32_t) {}, fPosition, nextGood,
                                           unsigned(count), fFrames, dropped)) {
                break;
            }
            fFrames += dropped;
            fPosition = nextGood;
            consumed += uint64_t(count) + 1;
        }
        fConsumed.fetch_add(consumed, std::memory_order_relaxed);
        return consumed;
    }

    uint64_t consumed() const { return fConsumed.load(std::memory_order_relaxed); }

    KorvanDeviceIO::BlockHeader outputHeader(std::size_t block) const
    {
        return KorvanDeviceIO::ReadBlockHeader(fOutput[block]);
    }

private:
    const KorvanDeviceIO::USBRequestBlock* fOutput;
    uint32_t fBytesPerFrame;
    KorvanDeviceIO::NoOpLogThread fNoLog;
    KorvanDeviceIO::USBInputChaser<KorvanDeviceIO::Driver::CoreAudio, KorvanDeviceIO::NoOpLogThread> fChaser;
    KorvanDeviceIO::USBRequestIter fPosition;
    int64_t fFrames = 0;
    std::atomic<uint64_t> fConsumed{0};
};
