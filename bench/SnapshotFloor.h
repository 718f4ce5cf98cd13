#pragma once

// The floor of a driver's frame snapshot polling: for each snapshot, the time from its first frame
// read to the start of the frame its last read saw, the boundary it caught. Reads more than 5 ms
// apart belong to different snapshots. Told on the snapshot thread only.

#include <SimUSB/Bus.h>

#include <cstdint>

class SnapshotFloor
{
public:
    static void read(void* context, uint64_t frame, uint64_t time)
    {
        auto& self = *static_cast<SnapshotFloor*>(context);
        if (self.fStart == 0 || time - self.fLastTime > 5'000'000) {
            self.close();
            self.fStart = time;
        }
        self.fLastFrame = frame;
        self.fLastTime = time;
    }

    // Once no more reads come.
    double seconds()
    {
        close();
        return double(fTotal) * 1e-9;
    }

private:
    void close()
    {
        if (fStart == 0) {
            return;
        }
        const uint64_t boundary = SimUSB::Bus::shared().frameClock().microframeStart(fLastFrame * 8);
        fTotal += boundary > fStart ? boundary - fStart : 0;
        fStart = 0;
    }

    uint64_t fStart = 0;
    uint64_t fLastFrame = 0;
    uint64_t fLastTime = 0;
    uint64_t fTotal = 0;
};
