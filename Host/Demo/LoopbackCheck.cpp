#include "LoopbackCheck.h"

#include "TestSignal.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace Demo {

namespace {

constexpr uint64_t kChecksumPrime = 0x100000001B3ull;
// The most silence the device inserts at once that may follow other silence or be read before the
// bus wrote it: the empty OUT microframes of a burst of dropped packets, well under this.
constexpr int64_t kMostInsertedMilliseconds = 2;

void AddToChecksum(uint64_t& checksum, int32_t value)
{
    checksum = (checksum ^ uint32_t(value)) * kChecksumPrime;
}

// A loopback underrun since the stale frame was written moves the latency by a few frames.
constexpr int64_t kLoopbackSlack = 64;

} // namespace

int64_t LoopbackCheck::PeriodsOld(int64_t shift) const
{
    const int64_t period = fLayout.inputPeriod;
    if (period == 0 || shift < period - kLoopbackSlack) {
        return 0;
    }
    const int64_t periods = (shift + kLoopbackSlack) / period;
    return std::abs(shift - periods * period) <= kLoopbackSlack ? periods : 0;
}

LoopbackCheck::LoopbackCheck(const InputLayout& layout)
{
    startSegment(layout);
}

void LoopbackCheck::startSegment(const InputLayout& layout)
{
    fLayout = layout;
    if (fResult.playedChecksums.size() < layout.channels) {
        fResult.playedChecksums.resize(layout.channels, 0xCBF29CE484222325ull);
        fResult.recordedChecksums.resize(layout.channels, 0xCBF29CE484222325ull);
    }
    ++fResult.segments;
    fHaveLatency = false;
    fSilence = 0;
    fLateSinceCompared = 0;
    fSilenceEndsCycle = false;
    fSilenceInterrupted = false;
    fInterruptedSilences = 0;
    fSegmentSilences = fResult.silences.size();
    fClosedSinceCompared = fSegmentSilences;
    fInserted.clear();
    fHaveLoopbackLatency = false;
}

void LoopbackCheck::add(int64_t time, const float* samples, uint32_t frames)
{
    for (uint32_t index = 0; index < frames; ++index) {
        checkFrame(time + index, samples + std::size_t(index) * fLayout.channels);
    }
    fSilenceEndsCycle = fSilence != 0;
    // Silences that only stale frames and silence followed to the cycle's end are its newest too.
    for (size_t index = fResult.silences.size() - fInterruptedSilences; index < fResult.silences.size();
         ++index) {
        fResult.silences[index].newestOfCycle = true;
    }
    fInterruptedSilences = 0;
}

bool LoopbackCheck::SilentOnePeriodEarlier(int64_t start, int64_t frames) const
{
    const int64_t period = fLayout.inputPeriod;
    if (start + frames <= fFirstPlayedBack + period) {
        return true;
    }
    const int64_t earlier = start - period;
    for (size_t index = fResult.silences.size(); index-- > fSegmentSilences;) {
        const SilentStretch& silence = fResult.silences[index];
        if (silence.start + silence.frames < earlier) {
            break;
        }
        if (silence.start <= earlier && earlier + frames <= silence.start + silence.frames) {
            return true;
        }
    }
    // What the device's loopback inserted was never recorded as a silence of its own.
    for (auto inserted = fInserted.rbegin(); inserted != fInserted.rend(); ++inserted) {
        if (inserted->end < earlier) {
            break;
        }
        if (frames <= inserted->frames && inserted->start <= earlier && earlier + frames <= inserted->end) {
            return true;
        }
    }
    return false;
}

int64_t LoopbackCheck::FramesSinceCompared() const
{
    int64_t frames = fSilence + fLateSinceCompared;
    for (size_t index = fClosedSinceCompared; index < fResult.silences.size(); ++index) {
        frames += fResult.silences[index].frames;
    }
    return frames;
}

void LoopbackCheck::takeInsertedSilence(int64_t frames)
{
    const int64_t pending = std::min(fSilence, frames);
    fSilence -= pending;
    frames -= pending;
    while (frames > 0 && fResult.silences.size() > fClosedSinceCompared) {
        SilentStretch& last = fResult.silences.back();
        const int64_t taken = std::min(last.frames, frames);
        last.frames -= taken;
        frames -= taken;
        if (last.frames != 0) {
            break;
        }
        fResult.silences.pop_back();
    }
}

void LoopbackCheck::closeSilence()
{
    fResult.silences.push_back(
        {fSilenceStart, fSilence, fSilenceEndsCycle, SilentOnePeriodEarlier(fSilenceStart, fSilence),
         fSilenceStart - int64_t(fLayout.inputPeriod), fResult.segments, fSilenceStart - fSilenceLatency});
    fSilence = 0;
    fSilenceInterrupted = false;
}

int64_t LoopbackCheck::MostInserted() const
{
    return int64_t(fLayout.rate) * kMostInsertedMilliseconds / 1000;
}

void LoopbackCheck::addLateBusFrame(int64_t time)
{
    ++fResult.lateBusFrames;
    std::vector<FrameStretch>& stretches = fResult.lateBusStretches;
    if (!stretches.empty() && stretches.back().start + stretches.back().frames == time) {
        ++stretches.back().frames;
    } else {
        stretches.push_back({time, 1});
    }
}

void LoopbackCheck::checkFrame(int64_t time, const float* frame)
{
    if (fLayout.loopbackChannels) {
        checkLoopbackChannels(time, frame);
        checkMixChannels(frame);
    }
    const int32_t counter = ToValue(frame[kCounterChannel]);
    if (counter == 0) {
        // Silence before the first played frame comes back is the stream's start, not a loss.
        if (fHaveLatency) {
            if (fSilenceInterrupted) {
                closeSilence();
                ++fInterruptedSilences;
            }
            if (fSilence++ == 0) {
                fSilenceStart = time;
                fSilenceLatency = fLatency;
            }
            fSilenceEndsCycle = false;
        }
        return;
    }
    const int64_t played = FrameOfCounter(counter, time - fLatency);
    const int64_t latency = time - played;
    if (!fHaveLatency) {
        fHaveLatency = true;
        fLatency = latency;
        fFirstPlayedBack = time;
    }
    const int64_t shift = latency - fLatency;
    // One period old: the newest frames read before the bus wrote them. More: a buffer position not
    // rewritten for a whole period, which no late bus write explains: the input had stopped.
    if (const int64_t periods = PeriodsOld(shift); periods != 0) {
        if (periods == 1) {
            addLateBusFrame(time);
            ++fLateSinceCompared;
        } else {
            ++fResult.stoppedInputFrames;
        }
        fSilenceInterrupted = fSilence != 0;
        return;
    }
    if (shift > 0 && (shift == fSilence || (shift <= FramesSinceCompared() && shift <= MostInserted()))) {
        // Later by no more than the silence before, up to what empty OUT microframes insert at once
        // (some of that silence may have been read one period old, before the bus wrote it, and a
        // cycle's end may have fallen inside it): no played frame came twice. The device's loopback
        // inserted `shift` frames of that silence; the rest, a late cycle's for one, stands in for
        // played frames from the old latency on.
        fResult.loopbackUnderrunFrames += uint64_t(shift);
        fInserted.push_back({fLastCompared + 1, time, shift});
        takeInsertedSilence(shift);
        if (fSilence != 0) {
            closeSilence();
        }
        fLatency = latency;
    } else if (shift != 0) {
        // Recorded frames newer than expected: frames were skipped; older: frames came twice.
        if (shift < 0) {
            fResult.lost += uint64_t(-shift);
        } else {
            fResult.duplicated += uint64_t(shift);
        }
        fResult.latencyConstant = false;
        fLatency = latency;
    }
    if (fSilence != 0) {
        closeSilence();
    }
    fClosedSinceCompared = fResult.silences.size();
    fLastCompared = time;
    fInterruptedSilences = 0;
    fLateSinceCompared = 0;
    fResult.latencyFrames = fLatency;
    ++fResult.framesCompared;
    compareChannels(played, frame);
}

void LoopbackCheck::compareChannels(int64_t played, const float* frame)
{
    for (uint32_t channel = 0; channel < fLayout.deviceChannels; ++channel) {
        const int32_t expected = SignalValue(channel, played, fLayout.rate);
        const int32_t recorded = ToValue(frame[channel]);
        const bool same = CameBack(expected, recorded);
        AddToChecksum(fResult.playedChecksums[channel], expected);
        // The playback gain's step is no difference; anything else changes the sum.
        AddToChecksum(fResult.recordedChecksums[channel], same ? expected : recorded);
        fResult.mismatchedSamples += same ? 0 : 1;
    }
}

// The mix pair after the loopback pair: half the sum of the first inputs, added to the other inputs
// and the loopback pair as the plug-in adds them, in float.
void LoopbackCheck::checkMixChannels(const float* ch)
{
    float left = 0;
    float right = 0;
    switch (fLayout.channels) {
    case 6: {
        const float mix = (ch[0] + ch[1]) * 0.5f;
        left = ch[2] + mix;
        right = mix + ch[3];
        break;
    }
    case 8: {
        const float mix = (ch[0] + ch[1]) * 0.5f;
        left = ch[2] + mix + ch[4];
        right = mix + ch[3] + ch[5];
        break;
    }
    case 10: {
        const float mix = (ch[0] + ch[1] + ch[2] + ch[3]) * 0.5f;
        left = ch[4] + mix + ch[6];
        right = mix + ch[5] + ch[7];
        break;
    }
    default:
        return;
    }
    const uint32_t last = fLayout.channels - 1;
    fResult.mixMismatches += ch[last - 1] == left && ch[last] == right ? 0 : 1;
}

// The plug-in's own loopback pair carries output channels 0 and 1 at a latency of its own.
void LoopbackCheck::checkLoopbackChannels(int64_t time, const float* frame)
{
    const float* pair = frame + fLayout.deviceChannels;
    const int32_t counter = ToValue(pair[kCounterChannel]);
    if (counter == 0) {
        return;
    }
    const int64_t played = FrameOfCounter(counter, time - fLoopbackLatency);
    if (!fHaveLoopbackLatency) {
        fHaveLoopbackLatency = true;
        fLoopbackLatency = time - played;
    }
    ++fResult.loopbackFramesCompared;
    const bool same = time - played == fLoopbackLatency &&
                      CameBack(SignalValue(kSineChannel, played, fLayout.rate), ToValue(pair[kSineChannel]));
    fResult.loopbackMismatches += same ? 0 : 1;
}

} // namespace Demo
