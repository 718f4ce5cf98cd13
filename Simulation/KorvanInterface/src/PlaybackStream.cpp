// The playback stream: what the host sends is taken apart into 24-bit samples, logged, and looped
// back to the record stream when asked.

#include <KorvanInterface/KorvanDevice.h>

#include <algorithm>
#include <unordered_map>

namespace KorvanInterface {

namespace {

constexpr uint64_t kPlaybackDelayMicroframes = 2400;
constexpr size_t kLoopbackLimit = 1u << 20;

} // namespace

void KorvanDevice::isochronousOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> bytes)
{
    std::lock_guard lock(fLock);
    if (endpoint != Endpoint::kPlayback) {
        return;
    }
    const uint8_t alternate = fAlternates[kPlaybackInterface];
    if (fConfiguration != 1 || alternate == 0) {
        logError("playback data while interface 1 is at alternate 0");
        return;
    }
    const Stream& stream = fStreams[kPlaybackInterface][alternate];
    const uint32_t bytesPerFrame = uint32_t(stream.channels) * stream.subslot;
    fPlaybackBytes.push({microframe, uint32_t(bytes.size()), bytesPerFrame});
    if (bytesPerFrame == 0) {
        return;
    }
    if (bytes.size() % bytesPerFrame != 0) {
        logError("playback packet of " + std::to_string(bytes.size()) + " bytes holds a partial frame");
    }
    const uint32_t looped = loopbackWidth();
    const uint8_t* at = bytes.data();
    for (size_t frame = 0; frame < bytes.size() / bytesPerFrame; ++frame) {
        for (uint32_t channel = 0; channel < stream.channels; ++channel) {
            const uint8_t* sample = stream.subslot == 4 ? at + 1 : at;
            const int32_t value = int32_t(sample[0] | sample[1] << 8 | sample[2] << 16);
            fPlayed.push(value);
            if (fLoopback && channel < looped && fLoopbackFifo.size() < kLoopbackLimit) {
                fLoopbackFifo.push_back(value);
            }
            at += stream.subslot;
        }
    }
}

uint32_t KorvanDevice::loopbackWidth() const
{
    const uint32_t record = fStreams[kRecordInterface][fAlternates[kRecordInterface]].channels;
    const uint32_t playback = fStreams[kPlaybackInterface][fAlternates[kPlaybackInterface]].channels;
    return std::min<uint32_t>({record, playback, 32});
}

std::vector<uint64_t> KorvanDevice::mirrorMismatches() const
{
    std::lock_guard lock(fLock);
    std::unordered_map<uint64_t, uint32_t> recorded;
    for (const auto& [microframe, frames] : fRecordFrames.items()) {
        recorded[microframe] = frames;
    }
    std::vector<uint64_t> mismatches;
    for (const PlaybackRecord& record : fPlaybackBytes.items()) {
        if (record.microframe < kPlaybackDelayMicroframes) {
            continue;
        }
        auto found = recorded.find(record.microframe - kPlaybackDelayMicroframes);
        if (found != recorded.end() && record.bytes != found->second * record.bytesPerFrame) {
            mismatches.push_back(record.microframe);
        }
    }
    return mismatches;
}

} // namespace KorvanInterface
