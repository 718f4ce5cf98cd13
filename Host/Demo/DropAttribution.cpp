#include "DropAttribution.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace Demo {

namespace {

// How far a silence may start from where its drop is expected, in frames: the zero timestamps'
// error and a packet's frames.
constexpr double kTolerance = 48;
constexpr double kBin = 16;
// The distances looked at: up to four of the largest input periods either way.
constexpr int64_t kReach = 4 * 65536;
// How far a dropped packet's frames may lie from where they are expected when counting those read
// before their repair: the zero timestamps' error at a frame or two.
constexpr int64_t kLateSlack = 2;

// The drops, by time, from the first at or after `from`.
std::vector<ExpectedDrop>::const_iterator DropsFrom(const std::vector<ExpectedDrop>& drops, double from)
{
    return std::lower_bound(drops.begin(), drops.end(), from,
                            [](const ExpectedDrop& drop, double time) { return drop.time < time; });
}

// Calls `visit` with the distance from each drop within `reach` of a silence's start to it. Silence
// an IO cycle read early where the buffer held silence before says nothing of where drops land.
template <typename Visit>
void ForEachPair(const std::vector<SilentStretch>& silences, const std::vector<ExpectedDrop>& drops,
                 double reach, Visit visit)
{
    for (const SilentStretch& silence : silences) {
        if (silence.newestOfCycle && silence.silentPeriodBefore) {
            continue;
        }
        const double start = double(silence.start);
        for (auto drop = DropsFrom(drops, start - reach); drop != drops.end() && drop->time < start + reach;
             ++drop) {
            visit(start - drop->time);
        }
    }
}

// The distance most silence-drop pairs share: the bin most pairs fall near, then the median of the
// pairs near it. `drops` are in time order.
double CommonDistance(const std::vector<SilentStretch>& silences, const std::vector<ExpectedDrop>& drops)
{
    const auto bins = size_t(2 * kReach / kBin) + 1;
    std::vector<int> votes(bins, 0);
    ForEachPair(silences, drops, double(kReach),
                [&](double difference) { ++votes[size_t(std::lround((difference + kReach) / kBin))]; });
    size_t best = 0;
    int bestVotes = 0;
    // Among bins as popular, the one nearest no distance: a silence pairs with every drop near it,
    // and the bus's timeline and the stream's lie close.
    const auto center = size_t(kReach / kBin);
    const auto offCenter = [center](size_t bin) { return bin > center ? bin - center : center - bin; };
    for (size_t bin = 1; bin + 1 < bins; ++bin) {
        const int near = votes[bin - 1] + votes[bin] + votes[bin + 1];
        if (near > bestVotes || (near != 0 && near == bestVotes && offCenter(bin) < offCenter(best))) {
            bestVotes = near;
            best = bin;
        }
    }
    if (bestVotes == 0) {
        return 0;
    }
    const double coarse = double(best) * kBin - kReach;
    std::vector<double> close;
    ForEachPair(silences, drops, double(kReach), [&](double difference) {
        if (std::abs(difference - coarse) <= 1.5 * kBin) {
            close.push_back(difference);
        }
    });
    if (close.empty()) {
        return coarse;
    }
    const auto middle = close.begin() + std::ptrdiff_t(close.size() / 2);
    std::nth_element(close.begin(), middle, close.end());
    return *middle;
}

// The drop nearest to where silence starting at `start` is expected of it, within the tolerance.
// `drops` are in time order.
std::optional<size_t> ExplainingDrop(int64_t start, const std::vector<ExpectedDrop>& drops, double distance)
{
    const double expected = double(start) - distance;
    std::optional<size_t> nearest;
    for (auto drop = DropsFrom(drops, expected - kTolerance);
         drop != drops.end() && drop->time <= expected + kTolerance; ++drop) {
        const auto index = size_t(drop - drops.begin());
        if (!nearest || std::abs(drop->time - expected) < std::abs(drops[*nearest].time - expected)) {
            nearest = index;
        }
    }
    return nearest;
}

// Whether [start, start + frames) was recorded as silence.
bool SilentWithin(const std::vector<SilentStretch>& silences, int64_t start, int64_t frames)
{
    return std::any_of(silences.begin(), silences.end(), [&](const SilentStretch& silence) {
        return silence.start <= start && start + frames <= silence.start + silence.frames;
    });
}

// Whether [start, start + frames) lies where a dropped packet is expected, so that its repair left
// silence there, whether or not a read saw it.
bool RepairedWithin(const std::vector<ExpectedDrop>& drops, double distance, int64_t start, int64_t frames)
{
    return std::any_of(drops.begin(), drops.end(), [&](const ExpectedDrop& drop) {
        const int64_t expected = std::lround(drop.time + distance);
        return expected - kLateSlack <= start && start + frames <= expected + drop.frames + kLateSlack;
    });
}

// Late bus frames within [start, end).
int64_t LateFramesWithin(const std::vector<FrameStretch>& late, int64_t start, int64_t end)
{
    int64_t frames = 0;
    for (const FrameStretch& stretch : late) {
        frames += std::max<int64_t>(0, std::min(end, stretch.start + stretch.frames) -
                                           std::max(start, stretch.start));
    }
    return frames;
}

// Whether every played frame `silence` stands in for was output of a late cycle.
bool WithinLateOutput(const SilentStretch& silence, const std::vector<CyclePoint>& cycles)
{
    int64_t covered = 0;
    for (const CyclePoint& cycle : cycles) {
        if (cycle.late && cycle.segment == silence.segment) {
            covered += std::max<int64_t>(
                0, std::min(silence.played + silence.frames, cycle.outputTime + int64_t(cycle.frames)) -
                       std::max(silence.played, cycle.outputTime));
        }
    }
    return covered == silence.frames;
}

} // namespace

Attribution AttributeSilences(const LoopbackResult& loopback, std::vector<ExpectedDrop> drops,
                              const std::vector<CyclePoint>& cycles)
{
    std::sort(drops.begin(), drops.end(),
              [](const ExpectedDrop& one, const ExpectedDrop& other) { return one.time < other.time; });
    Attribution attribution;
    const double distance = drops.empty() ? 0 : CommonDistance(loopback.silences, drops);
    std::vector<int64_t> silenceOfDrop(drops.size(), 0);
    std::vector<const SilentStretch*> firstSilenceOfDrop(drops.size(), nullptr);
    for (const SilentStretch& silence : loopback.silences) {
        // A read before the bus wrote returns what the buffer held a period earlier: silence there,
        // or a repair's silence (which that period's read may itself have missed).
        const bool staleRead =
            silence.newestOfCycle &&
            (silence.silentPeriodBefore || ExplainingDrop(silence.periodEarlier, drops, distance));
        if (const std::optional<size_t> drop = ExplainingDrop(silence.start, drops, distance)) {
            ++attribution.repairedStretches;
            attribution.repairedFrames += uint64_t(silence.frames);
            silenceOfDrop[*drop] += silence.frames;
            if (firstSilenceOfDrop[*drop] == nullptr) {
                firstSilenceOfDrop[*drop] = &silence;
            }
        } else if (staleRead) {
            attribution.unwrittenFrames += uint64_t(silence.frames);
        } else if (WithinLateOutput(silence, cycles)) {
            attribution.xrunFrames += uint64_t(silence.frames);
        } else {
            attribution.unexplainedFrames += uint64_t(silence.frames);
        }
    }
    // Packets dropped one after the other are repaired as one stretch. Its frames read before the
    // repair are the newest of an IO cycle, so they end where its silence begins, inside any of its
    // packets; read early all of them, they lie where the stretch is expected.
    for (size_t first = 0; first < drops.size();) {
        size_t end = first;
        int64_t frames = 0;
        int64_t silence = 0;
        const SilentStretch* firstSilence = nullptr;
        do {
            frames += drops[end].frames;
            silence += silenceOfDrop[end];
            if (const SilentStretch* own = firstSilenceOfDrop[end];
                own != nullptr && (firstSilence == nullptr || own->start < firstSilence->start)) {
                firstSilence = own;
            }
            ++end;
        } while (end < drops.size() &&
                 drops[end].time - (drops[end - 1].time + double(drops[end - 1].frames)) <= kLateSlack);
        const int64_t missing = frames - silence;
        if (missing < 0 && firstSilence != nullptr &&
            (SilentWithin(loopback.silences, firstSilence->periodEarlier, -missing) ||
             RepairedWithin(drops, distance, firstSilence->periodEarlier, -missing))) {
            // Silence before the stretch's own: an IO cycle read the buffer before the bus wrote
            // there, where a repair had left silence a period earlier (which that period's read may
            // itself have missed).
            attribution.repairedFrames -= uint64_t(-missing);
            attribution.unwrittenFrames += uint64_t(-missing);
        }
        if (missing > 0) {
            const int64_t expected = std::lround(drops[first].time + distance);
            const int64_t lateStart =
                firstSilence != nullptr ? firstSilence->start - missing - kLateSlack : expected - kLateSlack;
            const int64_t lateEnd =
                firstSilence != nullptr ? firstSilence->start : expected + frames + kLateSlack;
            const int64_t late = LateFramesWithin(loopback.lateBusStretches, lateStart, lateEnd);
            attribution.readBeforeRepairFrames += uint64_t(std::min(late, missing));
        }
        first = end;
    }
    return attribution;
}

} // namespace Demo
