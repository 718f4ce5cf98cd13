#include "SegmentRecorders.h"

#include <chrono>
#include <thread>

namespace Demo {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(5);

} // namespace

SegmentRecorders::SegmentRecorders(LayoutOf layoutOf, std::string wavPath)
    : fLayoutOf(std::move(layoutOf)), fWavPath(std::move(wavPath))
{}

IOCallback SegmentRecorders::callback()
{
    return [this](const AudioServerPlugInIOCycleInfo& cycle, const std::vector<IOBuffer>& inputs,
                  std::vector<IOBuffer>& outputs) {
        if (Segment* segment = fCurrent.load(std::memory_order_acquire)) {
            segment->callback(cycle, inputs, outputs);
        }
    };
}

IOCycleObserver SegmentRecorders::observer()
{
    return [this](const IOCycleTiming& timing) {
        if (Segment* segment = fCurrent.load(std::memory_order_acquire)) {
            segment->observer(timing);
        }
    };
}

IOStartObserver SegmentRecorders::startObserver()
{
    return [this](const IOConfiguration& configuration) { start(configuration); };
}

void SegmentRecorders::start(const IOConfiguration& configuration)
{
    auto segment = std::make_unique<Segment>();
    segment->layout = fLayoutOf(configuration);
    const uint32_t rate = uint32_t(configuration.fNominalRate);
    segment->recorder = std::make_unique<Recorder>(std::max<uint32_t>(segment->layout.channels, 1),
                                                   configuration.fBufferFrames, rate);
    std::lock_guard lock(fMutex);
    if (fSegments.empty() && !fWavPath.empty()) {
        segment->recorder->openWav(fWavPath, rate, segment->layout.channels);
    }
    segment->recorder->startSegment(segment->layout);
    segment->callback = segment->recorder->callback();
    segment->observer = segment->recorder->observer();
    fCurrent.store(segment.get(), std::memory_order_release);
    fSegments.push_back(std::move(segment));
}

void SegmentRecorders::forgetRefusedStart()
{
    std::lock_guard lock(fMutex);
    if (fSegments.empty()) {
        return;
    }
    fSegments.pop_back();
    fCurrent.store(fSegments.empty() ? nullptr : fSegments.back().get(), std::memory_order_release);
}

size_t SegmentRecorders::count() const
{
    std::lock_guard lock(fMutex);
    return fSegments.size();
}

bool SegmentRecorders::waitForCount(size_t segments, double seconds) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (count() < segments) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

SegmentRecorders::Segment& SegmentRecorders::at(size_t index) const
{
    std::lock_guard lock(fMutex);
    return *fSegments.at(index);
}

Recorder& SegmentRecorders::recorder(size_t index)
{
    return *at(index).recorder;
}

InputLayout SegmentRecorders::layout(size_t index) const
{
    return at(index).layout;
}

} // namespace Demo
