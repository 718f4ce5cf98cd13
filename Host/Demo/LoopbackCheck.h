#pragma once

// Recorded against played, frame by frame, through the counter channel: each recorded frame names
// the played frame it came from, so the round-trip latency, and every frame lost, repeated or
// replaced by silence, shows. The other channels are compared with what was played at the same
// frame and summed into per-channel checksums. A run is cut into segments wherever audio starts
// again (a rate change, a wake, a re-plug), since sample time starts again there.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Demo {

struct InputLayout
{
    uint32_t rate = 0;
    // Channels of the plug-in's input stream, and of them those that come from the device.
    uint32_t channels = 0;
    uint32_t deviceChannels = 0;
    // The plug-in's loopback pair (output channels 0 and 1) follows the device channels.
    bool loopbackChannels = false;
    // The plug-in's input buffer wraps after this many frames (its zero-timestamp period).
    uint32_t inputPeriod = 0;
};

// Frames in a row, from the input sample time where they start.
struct FrameStretch
{
    int64_t start;
    int64_t frames;
};

// Silence in place of recorded frames.
struct SilentStretch
{
    int64_t start;
    int64_t frames;
    // The newest frames of an IO cycle: up to its end, or followed there only by frames one period
    // old. Read before the bus had written them, they come back as what the plug-in's buffer held
    // one period earlier, which may have been silence.
    bool newestOfCycle = false;
    // The buffer held silence one period earlier: before the first played frame came back, or
    // where silence was recorded then.
    bool silentPeriodBefore = false;
    // The input sample time one period earlier.
    int64_t periodEarlier = 0;
    // The segment, and the first played frame the silence stands in for at the segment's latency.
    uint32_t segment = 0;
    int64_t played = 0;
};

struct LoopbackResult
{
    uint32_t segments = 0;
    // Of the last segment, in frames from the played to the recorded sample time.
    int64_t latencyFrames = 0;
    // Constant unless frames were lost or repeated; a loopback underrun moves it as the device did.
    bool latencyConstant = true;
    uint64_t framesCompared = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    std::vector<SilentStretch> silences;
    // Frames the plug-in read before the bus had written them: what it delivered is the frame one
    // input period older, still in its buffer. A controller writes as the bus runs, so these are the
    // simulated bus falling behind on a busy machine.
    uint64_t lateBusFrames = 0;
    // Frames two or more input periods old: the plug-in's buffer was not written for a whole
    // period, the input had stopped.
    uint64_t stoppedInputFrames = 0;
    std::vector<FrameStretch> lateBusStretches;
    // Silence the device's loopback inserted when it had no played frame waiting, which delays every
    // later frame by as much: nothing played is lost. Part of it may have been read one period old,
    // before the bus wrote it; it may follow silence of another cause (a late cycle's output).
    uint64_t loopbackUnderrunFrames = 0;
    // Samples on the other device channels that differ from what was played.
    uint64_t mismatchedSamples = 0;
    // The plug-in's loopback channels: frames compared, and how often their latency changed.
    uint64_t loopbackFramesCompared = 0;
    uint64_t loopbackMismatches = 0;
    // Frames whose mix channels are not the plug-in's mix of the inputs and the loopback pair.
    uint64_t mixMismatches = 0;
    std::vector<uint64_t> playedChecksums;
    std::vector<uint64_t> recordedChecksums;
};

class LoopbackCheck
{
public:
    explicit LoopbackCheck(const InputLayout& layout);

    // A new segment starts with the next frames, in `layout`.
    void startSegment(const InputLayout& layout);
    // Interleaved input frames from input sample time `time` on.
    void add(int64_t time, const float* samples, uint32_t frames);

    const LoopbackResult& result() const { return fResult; }

private:
    void checkFrame(int64_t time, const float* frame);
    void addLateBusFrame(int64_t time);
    void closeSilence();
    // Whether the input one period before [start, start + frames) was silence too.
    bool SilentOnePeriodEarlier(int64_t start, int64_t frames) const;
    // Frames recorded as silence or read one period old since the last compared frame.
    int64_t FramesSinceCompared() const;
    // The device's loopback inserted `frames` of the silence recorded since the last compared
    // frame, the newest first: those stand in for no played frame.
    void takeInsertedSilence(int64_t frames);
    // The most frames of silence the device inserts at once, at the segment's rate.
    int64_t MostInserted() const;
    void compareChannels(int64_t played, const float* frame);
    void checkLoopbackChannels(int64_t time, const float* frame);
    void checkMixChannels(const float* frame);
    // How many whole input periods older than its place the frame a latency `shift` frames longer
    // than the segment's names (0 for none): a position of the plug-in's input buffer read before
    // it was written again.
    int64_t PeriodsOld(int64_t shift) const;

    InputLayout fLayout;
    LoopbackResult fResult;
    bool fHaveLatency = false;
    int64_t fLatency = 0;
    // The input sample time at which the segment's first played frame came back.
    int64_t fFirstPlayedBack = 0;
    int64_t fSilenceStart = 0;
    // The latency of the frames before the pending silence: the played frames it stands in for.
    int64_t fSilenceLatency = 0;
    int64_t fSilence = 0;
    // Frames read one period old since the last compared frame: what the bus wrote there later is
    // unknown, silence the device inserted among it.
    int64_t fLateSinceCompared = 0;
    // Whether the silence running now reached the last frame of a cycle.
    bool fSilenceEndsCycle = false;
    // Frames one or more periods old came after the silence running now: silence after them is a
    // stretch of its own.
    bool fSilenceInterrupted = false;
    // The last silences ended that way since the last played frame of the cycle.
    size_t fInterruptedSilences = 0;
    // The segment's silences start at this index of the result's.
    size_t fSegmentSilences = 0;
    // The silences closed since the last compared frame start at this index of the result's.
    size_t fClosedSinceCompared = 0;
    // The input sample time of the last compared frame.
    int64_t fLastCompared = 0;
    // Silence the device's loopback inserted somewhere in [start, end): among frames recorded as
    // silence or read before the bus wrote them, which hide where.
    struct InsertedSilence
    {
        int64_t start;
        int64_t end;
        int64_t frames;
    };
    // This segment's, in time order.
    std::vector<InsertedSilence> fInserted;
    bool fHaveLoopbackLatency = false;
    int64_t fLoopbackLatency = 0;
};

} // namespace Demo
