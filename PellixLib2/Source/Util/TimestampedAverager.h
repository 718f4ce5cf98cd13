#pragma once

// The last N samples with their timestamps, oldest first. Timestamps are pushed in ascending order.
// Not thread-safe.

#include <algorithm>
#include <cstddef>
#include <deque>

namespace Pellix {

template <typename T, std::size_t N>
class TimestampedAverager
{
public:
    void push(T value, T timestamp)
    {
        if (fTimestamps.size() >= N) {
            fTimestamps.pop_front();
        }
        fTimestamps.push_back(timestamp);
        if (fValues.size() >= N) {
            fValues.pop_front();
        }
        fValues.push_back(value);
    }

    // The values stamped strictly after `start` and strictly before `end`, oldest first.
    std::deque<T> extractTimeRange(T start, T end) const
    {
        auto first = std::upper_bound(fTimestamps.begin(), fTimestamps.end(), start);
        auto last = std::lower_bound(fTimestamps.begin(), fTimestamps.end(), end);
        if (last <= first) {
            return {};
        }
        auto values = fValues.begin();
        return std::deque<T>(values + (first - fTimestamps.begin()), values + (last - fTimestamps.begin()));
    }

    const std::deque<T>& values() const { return fValues; }
    const std::deque<T>& timestamps() const { return fTimestamps; }

private:
    std::deque<T> fValues;
    std::deque<T> fTimestamps;
};

} // namespace Pellix
