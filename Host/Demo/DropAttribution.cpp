#include "DropAttribution.h"

#include <algorithm>
#include <cmath>

namespace Demo {

namespace {

// How far a silence may start from where its drop is expected, in frames: the zero timestamps'
// error and a packet's frames.
constexpr double kTolerance = 48;
constexpr double kBin = 16;
// The distances looked at: up to four of the largest input periods either way.
constexpr int64_t kReach = 4 * 65536;

// The distance most silence-drop pairs share.
double CommonDistance(const std::vector<SilentStretch>& silences, const std::vector<double>& drops)
{
    const auto bins = size_t(2 * kReach / kBin) + 1;
    std::vector<int> votes(bins, 0);
    for (const SilentStretch& silence : silences) {
        for (const double drop : drops) {
            const double difference = double(silence.start) - drop;
            if (std::abs(difference) < kReach) {
                ++votes[size_t(std::lround((difference + kReach) / kBin))];
            }
        }
    }
    size_t best = 0;
    int bestVotes = 0;
    for (size_t bin = 1; bin + 1 < bins; ++bin) {
        const int near = votes[bin - 1] + votes[bin] + votes[bin + 1];
        if (near > bestVotes) {
            bestVotes = near;
            best = bin;
        }
    }
    return double(best) * kBin - kReach;
}

} // namespace

Attribution AttributeSilences(const std::vector<SilentStretch>& silences, const std::vector<double>& drops)
{
    Attribution attribution;
    const double distance = drops.empty() ? 0 : CommonDistance(silences, drops);
    for (const SilentStretch& silence : silences) {
        const double expected = double(silence.start) - distance;
        const bool explained = std::any_of(
            drops.begin(), drops.end(), [&](double drop) { return std::abs(drop - expected) <= kTolerance; });
        if (explained) {
            ++attribution.repairedStretches;
            attribution.repairedFrames += uint64_t(silence.frames);
        } else if (silence.staleRead) {
            attribution.unwrittenFrames += uint64_t(silence.frames);
        } else {
            attribution.unexplainedFrames += uint64_t(silence.frames);
        }
    }
    return attribution;
}

} // namespace Demo
