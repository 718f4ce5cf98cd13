#include "Recorder.h"

#include "TestSignal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace Demo {

namespace {

// Half a second of cycles, and never fewer than 16, lets the worker fall that far behind.
size_t RingCapacity(uint32_t rate, uint32_t bufferFrames)
{
    return std::max<size_t>(16, rate / 2 / std::max<uint32_t>(bufferFrames, 1));
}

constexpr uint32_t kSmallestBuffer = 32;
constexpr auto kWorkerPoll = std::chrono::milliseconds(2);
// Channel 0 is kept for the plot over the first seconds only, so that the recorder's memory stays
// put however long the run.
constexpr uint32_t kTraceSeconds = 4;

} // namespace

Recorder::Recorder(uint32_t maxChannels, uint32_t maxBufferFrames, uint32_t rate)
    : fMaxSamples(maxChannels * maxBufferFrames), fRate(rate),
      fCycles(RingCapacity(rate, maxBufferFrames),
              [&](CycleSlot& slot) { slot.samples.resize(size_t(maxChannels) * maxBufferFrames); }),
      fTimings(RingCapacity(192000, kSmallestBuffer), [](TimingSlot&) {}), fWorker([this] { work(); })
{}

Recorder::~Recorder()
{
    {
        std::lock_guard lock(fMutex);
        fStopping = true;
    }
    fWorker.join();
}

void Recorder::startSegment(const InputLayout& layout)
{
    drain();
    std::lock_guard lock(fMutex);
    fRate = layout.rate;
    fLayout = layout;
    fLastInputTime.store(INT64_MIN, std::memory_order_relaxed);
    if (!fLoopback) {
        fLoopback = std::make_unique<LoopbackCheck>(layout);
    } else {
        fLoopback->startSegment(layout);
    }
    fTiming.startSegment();
}

bool Recorder::openWav(const std::string& path, uint32_t rate, uint32_t channels)
{
    auto wav = std::make_unique<WavWriter>(path, rate, channels);
    std::lock_guard lock(fMutex);
    fWav = std::move(wav);
    return fWav->ok();
}

IOCallback Recorder::callback()
{
    return [this](const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                  std::vector<IOBuffer>& outputs) { onCycle(cycle, inputs, outputs); };
}

IOCycleObserver Recorder::observer()
{
    return [this](const IOCycleTiming& timing) { onTiming(timing); };
}

void Recorder::onCycle(const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                       std::vector<IOBuffer>& outputs)
{
    const uint32_t frames = cycle.mNominalIOBufferFrameSize;
    const uint32_t rate = fRate.load(std::memory_order_relaxed);
    const auto outputTime = int64_t(cycle.mOutputTime.mSampleTime);
    fCycleOutputTime = outputTime;
    fCycleFrames = frames;
    if (!outputs.empty() && frames != 0) {
        std::vector<UInt8>& bytes = outputs.front().fBytes;
        const uint32_t channels = uint32_t(bytes.size() / sizeof(float) / frames);
        auto* samples = reinterpret_cast<float*>(bytes.data());
        for (uint32_t frame = 0; frame < frames; ++frame) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                samples[size_t(frame) * channels + channel] =
                    ToFloat(SignalValue(channel, outputTime + frame, rate));
            }
        }
    }
    if (inputs.empty() || frames == 0) {
        return;
    }
    const std::vector<UInt8>& bytes = inputs.front().fBytes;
    CycleSlot* slot = fCycles.claim();
    if (slot == nullptr || bytes.size() / sizeof(float) > fMaxSamples) {
        fOverruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot->counter = cycle.mIOCycleCounter;
    slot->inputTime = int64_t(cycle.mInputTime.mSampleTime);
    slot->restart = slot->inputTime < fLastInputTime.exchange(slot->inputTime, std::memory_order_relaxed);
    slot->frames = frames;
    slot->channels = uint32_t(bytes.size() / sizeof(float) / frames);
    std::memcpy(slot->samples.data(), bytes.data(), bytes.size());
    fCycles.publish();
    fHandedOver.fetch_add(1, std::memory_order_release);
}

void Recorder::onTiming(const IOCycleTiming& timing)
{
    TimingSlot* slot = fTimings.claim();
    if (slot == nullptr) {
        fOverruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    *slot = {timing, fCycleOutputTime, fCycleFrames};
    fTimings.publish();
    fHandedOver.fetch_add(1, std::memory_order_release);
}

bool Recorder::takeOne()
{
    std::lock_guard lock(fMutex);
    if (const CycleSlot* slot = fCycles.front(); slot != nullptr && fLoopback) {
        if (slot->restart) {
            fLoopback->startSegment(fLayout);
            fTiming.startSegment();
        }
        fLoopback->add(slot->inputTime, slot->samples.data(), slot->frames);
        if (fWav && fWav->channels() == slot->channels) {
            fWav->write(slot->samples.data(), slot->frames);
        }
        const size_t traceLimit = size_t(kTraceSeconds) * fRate.load();
        if (fTrace.samples.empty()) {
            fTrace.start = slot->inputTime;
        }
        if (fLoopback->result().segments <= 1 && fTrace.samples.size() < traceLimit) {
            for (uint32_t frame = 0; frame < slot->frames; ++frame) {
                fTrace.samples.push_back(slot->samples[size_t(frame) * slot->channels + kSineChannel]);
            }
        }
        fCycles.pop();
        ++fTaken;
        return true;
    }
    if (const TimingSlot* timing = fTimings.front()) {
        fTiming.add(timing->timing, timing->outputTime, timing->frames);
        fTimings.pop();
        ++fTaken;
        return true;
    }
    return false;
}

void Recorder::work()
{
    for (;;) {
        while (takeOne()) {
        }
        {
            std::lock_guard lock(fMutex);
            fProgress.notify_all();
            if (fStopping) {
                return;
            }
        }
        std::this_thread::sleep_for(kWorkerPoll);
    }
}

void Recorder::drain()
{
    const uint64_t target = fHandedOver.load(std::memory_order_acquire);
    std::unique_lock lock(fMutex);
    fProgress.wait(lock, [&] { return fTaken >= target || fStopping; });
}

LoopbackResult Recorder::loopback()
{
    drain();
    std::lock_guard lock(fMutex);
    return fLoopback ? fLoopback->result() : LoopbackResult{};
}

TimingResult Recorder::timing(double nanosecondsPerFrame, const std::vector<ShortOutput>& shortOutputs)
{
    drain();
    std::lock_guard lock(fMutex);
    return fTiming.result(nanosecondsPerFrame, shortOutputs);
}

std::vector<CyclePoint> Recorder::cycles()
{
    drain();
    std::lock_guard lock(fMutex);
    return fTiming.cycles();
}

std::optional<double> Recorder::sampleTimeAt(uint64_t hostTime)
{
    drain();
    std::lock_guard lock(fMutex);
    return fTiming.sampleTimeAt(hostTime);
}

Recorder::Trace Recorder::sineTrace()
{
    drain();
    std::lock_guard lock(fMutex);
    return fTrace;
}

} // namespace Demo
