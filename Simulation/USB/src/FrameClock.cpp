#include <SimUSB/FrameClock.h>

#include <Darwin/Clock.h>

namespace SimUSB {

namespace {

constexpr uint64_t kFramePeriodPs = 1'000'000'000;

} // namespace

FrameClock::FrameClock() : fBase{DarwinClock::hostNow(), 0, kFramePeriodPs} {}

FrameClock::Base FrameClock::base() const
{
    std::lock_guard lock(fLock);
    return fBase;
}

uint64_t FrameClock::Base::microframeAt(uint64_t at) const
{
    if (at <= time) {
        return microframe;
    }
    const uint64_t elapsed = at - time;
    // 64-bit arithmetic while it cannot overflow (26 days from the base), being the streaming hot path.
    if (elapsed <= UINT64_MAX / 8000u) {
        return microframe + elapsed * 8000u / periodPs;
    }
    const unsigned __int128 elapsedPs = (unsigned __int128)elapsed * 1000u;
    return microframe + uint64_t(elapsedPs * 8u / periodPs);
}

uint64_t FrameClock::Base::microframeStart(uint64_t wanted) const
{
    if (wanted <= microframe) {
        return time;
    }
    // The first nanosecond at which the count reaches `wanted`.
    const uint64_t microframes = wanted - microframe;
    uint64_t ps;
    if (!__builtin_mul_overflow(microframes, periodPs, &ps) && ps <= UINT64_MAX - 7999u) {
        return time + (ps + 7999u) / 8000u;
    }
    const unsigned __int128 wide = (unsigned __int128)microframes * periodPs;
    return time + uint64_t((wide + 7999u) / 8000u);
}

uint64_t FrameClock::microframeAt(uint64_t time) const
{
    return base().microframeAt(time);
}

uint64_t FrameClock::frameAt(uint64_t time) const
{
    return microframeAt(time) / 8;
}

uint64_t FrameClock::currentFrame() const
{
    return frameAt(DarwinClock::hostNow());
}

uint64_t FrameClock::microframeStart(uint64_t microframe) const
{
    return base().microframeStart(microframe);
}

FrameReading FrameClock::read()
{
    std::function<void()> onRead;
    FrameReading reading;
    {
        std::lock_guard lock(fLock);
        if (fScriptNext < fScript.size()) {
            reading = fScript[fScriptNext++];
            onRead = fOnRead;
        } else {
            const uint64_t now = DarwinClock::hostNow();
            uint64_t seen = now;
            if (fJitter != 0) {
                // xorshift: deterministic from run to run.
                fJitterState ^= fJitterState << 13;
                fJitterState ^= fJitterState >> 7;
                fJitterState ^= fJitterState << 17;
                const uint64_t back = fJitterState % (fJitter + 1);
                seen = now > back ? now - back : 0;
            }
            reading.frame = fBase.microframeAt(seen) / 8 + fSkip;
            reading.time = now;
            fSkip = 0;
        }
    }
    if (onRead) {
        onRead();
    }
    return reading;
}

void FrameClock::restart(uint64_t epoch)
{
    std::lock_guard lock(fLock);
    fBase = {epoch, 0, fBase.periodPs};
}

void FrameClock::setDeviationPpm(int32_t ppm)
{
    const uint64_t now = DarwinClock::hostNow();
    std::lock_guard lock(fLock);
    const uint64_t microframe = fBase.microframeAt(now);
    fBase.time = fBase.microframeStart(microframe);
    fBase.microframe = microframe;
    fBase.periodPs = uint64_t(int64_t(kFramePeriodPs) + int64_t(ppm) * 1000);
}

void FrameClock::setReadJitter(uint64_t maxNs)
{
    std::lock_guard lock(fLock);
    fJitter = maxNs;
}

void FrameClock::skipFrames(uint64_t frames)
{
    std::lock_guard lock(fLock);
    fSkip += frames;
}

void FrameClock::setScript(std::vector<FrameReading> readings, std::function<void()> onRead)
{
    std::lock_guard lock(fLock);
    fScript = std::move(readings);
    fScriptNext = 0;
    fOnRead = std::move(onRead);
}

} // namespace SimUSB
