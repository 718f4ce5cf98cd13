#pragma once

// Smooths the zero host times the device derives from its output ring: a time within 100 us of
// the ideal period moves the last zero time on by the running average of the last ten periods;
// any other time is taken as it stands, and the average kept.

#include <cstdint>

class ZeroTimeFilter
{
public:
    // Forgets the last time; the average starts at the ideal period. `rate` is a supported rate.
    void Reset(uint32_t period, uint32_t rate);

    // The filtered zero host time for `hostTime`. False when the time was taken unfiltered, with
    // its distance from the ideal in `deviationMicroseconds`.
    bool Filter(uint64_t hostTime, uint32_t period, uint32_t rate, int64_t& deviationMicroseconds);

    uint64_t LastZeroHostTime() const { return fLast; }
    uint64_t Average() const { return fAverage; }
    uint64_t Sum() const { return fSum; }

private:
    uint64_t fLast = 0;
    uint64_t fAverage = 0;
    uint64_t fSum = 0;
};
