// The playback stream: what the host sends is taken apart into 24-bit samples, logged, and looped
// back to the record stream when asked.

#include <KorvanInterface/KorvanDevice.h>

#include <SimUSB/Setup.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <unordered_map>

namespace KorvanInterface {

namespace {

constexpr uint64_t kPlaybackDelayMicroframes = 2400;
constexpr size_t kLoopbackLimit = 1u << 20;

// The 24-bit sample in the top bytes of a subslot; a subslot narrower than 3 bytes holds its top part.
int32_t decodeSample(const uint8_t* at, uint32_t subslot)
{
    if (subslot >= 3) {
        const uint8_t* top = at + (subslot - 3);
        return int32_t(top[0] | top[1] << 8 | top[2] << 16);
    }
    uint32_t value = 0;
    for (uint32_t byte = 0; byte < subslot; ++byte) {
        value |= uint32_t(at[byte]) << (8 * (3 - subslot + byte));
    }
    return int32_t(value);
}

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
    const uint32_t looped = fLoopback ? loopbackWidth() : 0;
    const size_t frames = bytes.size() / bytesPerFrame;
    // Decoded a bufferful at a time; a packet from the bus fills at most one.
    int32_t samples[SimUSB::kMaxBytesPerMicroframe];
    const uint8_t* at = bytes.data();
    if (looped == 0 && stream.subslot == 4) {
        // The common layout, in words.
        const size_t total = frames * stream.channels;
        for (size_t done = 0; done < total;) {
            const size_t run = std::min(total - done, std::size(samples));
            for (size_t i = 0; i < run; ++i) {
                uint32_t word;
                std::memcpy(&word, at + 4 * (done + i), 4);
                samples[i] = int32_t(word >> 8);
            }
            fPlayed.push(samples, run);
            done += run;
        }
        return;
    }
    size_t count = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        if (count + stream.channels > std::size(samples)) {
            fPlayed.push(samples, count);
            count = 0;
        }
        for (uint32_t channel = 0; channel < stream.channels; ++channel) {
            const int32_t value = decodeSample(at, stream.subslot);
            samples[count++] = value;
            if (channel < looped && fLoopbackFifo.size() < kLoopbackLimit) {
                fLoopbackFifo.push_back(value);
            }
            at += stream.subslot;
        }
    }
    fPlayed.push(samples, count);
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
